#include "rtsp/stream_reader.h"

#include <gtest/gtest.h>

#include "tests/scripted_stream.h"

namespace {

struct Connection {
  ScriptedStream stream;
  StreamReader reader;
  explicit Connection(std::vector<std::string> pieces) {
    stream.pieces = std::move(pieces);
    reader.stream = &stream;
  }
};

// Everything the streaming loop does with a byte text: frames taken in place,
// other messages skipped. The trace must not depend on how the bytes arrive.
std::string StreamingTrace(std::vector<std::string> pieces) {
  Connection c(std::move(pieces));
  std::string trace;
  while (true) {
    uint8_t first = 0;
    if (!c.reader.ReadByte(first)) {
      trace += "end";
      break;
    }
    if (first == '$') {
      const uint8_t* head = nullptr;
      if (!c.reader.ReadView(3, head)) {
        trace += "cut-header";
        break;
      }
      const size_t length = size_t{head[1]} << 8 | head[2];
      const uint8_t channel = head[0];
      const uint8_t* data = nullptr;
      if (!c.reader.ReadView(length, data)) {
        trace += "cut-frame";
        break;
      }
      unsigned sum = 0;
      for (size_t i = 0; i < length; ++i) sum = sum * 31 + data[i];
      trace += "F" + std::to_string(channel) + ":" + std::to_string(length) + ":" +
               std::to_string(sum) + " ";
    } else if (SkipRtspMessage(c.reader, first)) {
      trace += "M ";
    } else {
      trace += "X";
      break;
    }
  }
  // Where the reader stopped: bytes received but not consumed cannot be
  // compared (they depend on the pieces), the bytes consumed can.
  size_t total = 0;
  for (const std::string& piece : c.stream.pieces) total += piece.size();
  size_t delivered = 0;
  for (size_t i = 0; i < c.stream.next && i < c.stream.pieces.size(); ++i)
    delivered += c.stream.pieces[i].size();
  if (c.stream.next < c.stream.pieces.size()) delivered += c.stream.offset;
  trace += " @" + std::to_string(delivered - c.reader.Available()) + "/" + std::to_string(total);
  return trace;
}

std::string Frame(uint8_t channel, const std::string& data) {
  std::string out = "$";
  out.push_back(static_cast<char>(channel));
  out.push_back(static_cast<char>(data.size() >> 8));
  out.push_back(static_cast<char>(data.size() & 0xFF));
  return out + data;
}

std::string Repeat(const std::string& text, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += text;
  return out;
}

}  // namespace

TEST(StreamReader, LineEndingsAndEveryChunking) {
  const std::string text = "first\r\nsecond\nthird\r\r\n\r\nin\rside\r\n";
  for (const auto& pieces : Chunkings(text)) {
    Connection c(pieces);
    std::string line;
    std::vector<std::string> lines;
    while (c.reader.ReadLine(line)) lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "second", "third", "", "in\rside"}));
    EXPECT_FALSE(c.reader.ReadLine(line));  // closed
  }
}

TEST(StreamReader, LineLimitCountsWithoutTrailingCarriageReturns) {
  const std::string longest(kRtspMaxLine, 'a');
  for (const auto& pieces : Chunkings(longest + "\r\r\r\n" + longest + "a\r\nnext\r\n")) {
    Connection c(pieces);
    std::string line;
    EXPECT_EQ(c.reader.ReadLineResult(line), LineResult::kOk);
    EXPECT_EQ(line, longest);
    EXPECT_EQ(c.reader.ReadLineResult(line), LineResult::kTooLong);
    // The over-long line stopped at its first byte too many, whatever the pieces.
    EXPECT_EQ(c.reader.ReadLineResult(line), LineResult::kOk);
    EXPECT_EQ(line, "");
    EXPECT_EQ(c.reader.ReadLineResult(line), LineResult::kOk);
    EXPECT_EQ(line, "next");
  }
  // Carriage returns inside a line count.
  Connection c({std::string(kRtspMaxLine - 1, 'a') + "\rb\n"});
  std::string line;
  EXPECT_EQ(c.reader.ReadLineResult(line), LineResult::kTooLong);
  // Trailing ones do not, but a run of them has the same limit: carriage
  // returns without end must not hold the reader for ever.
  for (const auto& pieces : Chunkings(std::string(kRtspMaxLine, '\r') + "\n" +
                                      std::string(kRtspMaxLine + 1, '\r') + "\n")) {
    Connection crs(pieces);
    EXPECT_EQ(crs.reader.ReadLineResult(line), LineResult::kOk);
    EXPECT_EQ(line, "");
    EXPECT_EQ(crs.reader.ReadLineResult(line), LineResult::kTooLong);
  }
}

TEST(StreamReader, ExactViewAndSkipAcrossReceives) {
  std::string text;
  for (int i = 0; i < 70000; ++i) text.push_back(static_cast<char>(i * 7));
  for (const auto& pieces : Chunkings(text)) {
    Connection c(pieces);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(c.reader.ReadExact(3, bytes));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0, 7, 14}));
    const uint8_t* view = nullptr;
    ASSERT_TRUE(c.reader.ReadView(65535, view));
    EXPECT_EQ(0, std::memcmp(view, text.data() + 3, 65535));
    ASSERT_TRUE(c.reader.Skip(4000));
    uint8_t byte = 0;
    ASSERT_TRUE(c.reader.ReadByte(byte));
    EXPECT_EQ(byte, static_cast<uint8_t>(text[69538]));
    EXPECT_TRUE(c.reader.ReadView(0, view));
    EXPECT_FALSE(c.reader.ReadExact(462, bytes));  // one byte more than is left
  }
}

TEST(ReadResponse, StatusHeadersAndBodyInEveryChunking) {
  const std::string text =
      "RTSP/1.0 200 OK\r\nCSeq: 1\r\ncontent-length: 3\r\nContent-Type: application/sdp\r\n"
      "CONTENT-LENGTH:  5\r\n\r\nv=0\r\nRTSP/1.0 454 Session Not Found\n\nleft";
  for (const auto& pieces : Chunkings(text)) {
    Connection c(pieces);
    RtspResponse response;
    ASSERT_TRUE(ReadResponse(c.reader, response));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.headers,
              "CSeq: 1\ncontent-length: 3\nContent-Type: application/sdp\nCONTENT-LENGTH:  5\n");
    EXPECT_EQ(response.body, "v=0\r\n");  // the later Content-Length wins
    ASSERT_TRUE(ReadResponse(c.reader, response));
    EXPECT_EQ(response.status, 454);
    EXPECT_EQ(response.headers, "");
    EXPECT_EQ(response.body, "");  // no Content-Length: whatever follows is not body
    std::string line;
    EXPECT_FALSE(c.reader.ReadLine(line));  // "left" and no line feed before the close
  }
}

TEST(ReadResponse, StatusLineFailures) {
  for (const char* text : {"rtsp/1.0 200 OK\r\n\r\n", "RTSP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n",
                           "$\x01\x02\x03RTSP/1.0 200 OK\r\n\r\n", ""}) {
    Connection c({text});
    RtspResponse response;
    EXPECT_FALSE(ReadResponse(c.reader, response)) << text;
  }
  Connection c({"RTSP/1.0 \r\n\r\n"});
  RtspResponse response;
  EXPECT_TRUE(ReadResponse(c.reader, response));
  EXPECT_EQ(response.status, 0);
}

TEST(ReadResponse, ConnectionEndsInHeadersOrBody) {
  RtspResponse response;
  Connection inHeaders({"RTSP/1.0 200 OK\r\nSession: 12"});
  EXPECT_TRUE(ReadResponse(inHeaders.reader, response));
  EXPECT_EQ(response.headers, "");
  Connection inBody({"RTSP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n12345"});
  EXPECT_FALSE(ReadResponse(inBody.reader, response));
  Connection afterLength({"RTSP/1.0 200 OK\r\nContent-Length: 4\r\n"});
  EXPECT_FALSE(ReadResponse(afterLength.reader, response));
}

TEST(ReadResponse, HeaderLineLimit) {
  const std::string head = "RTSP/1.0 200 OK\r\nX: ";
  RtspResponse response;
  Connection fits({head + std::string(kRtspMaxLine - 3, 'v') + "\r\n\r\n"});
  EXPECT_TRUE(ReadResponse(fits.reader, response));
  EXPECT_EQ(response.headers.size(), kRtspMaxLine + 1);
  Connection tooLong({head + std::string(kRtspMaxLine - 2, 'v') + "\r\n\r\n"});
  EXPECT_FALSE(ReadResponse(tooLong.reader, response));
}

// Header lines without end, as fast as they are read: counts what was taken.
struct EndlessHeaderLines : ByteStream {
  std::string line = "X-Padding: " + std::string(987, 'a') + "\r\n";  // 1000 bytes
  size_t given = 0;
  size_t limit = size_t{8} << 20;  // a test that hangs is no test: the lines end here
  bool started = false;
  long long Receive(uint8_t* buffer, size_t capacity) override {
    std::string text = started ? "" : "RTSP/1.0 200 OK\r\nCSeq: 1\r\n";
    started = true;
    while (text.size() < capacity && given + text.size() < limit) text += line;
    if (given + text.size() >= limit) text += "\r\n";
    const size_t n = std::min(capacity, text.size());
    std::memcpy(buffer, text.data(), n);
    given += n;
    return static_cast<long long>(n);
  }
  long long Send(const uint8_t*, size_t size) override { return static_cast<long long>(size); }
};

TEST(ReadResponse, HeaderBlockBound) {
  // Header lines without end: refused once the block passes its bound, having
  // taken little more than the bound from the connection.
  EndlessHeaderLines endless;
  StreamReader reader;
  reader.stream = &endless;
  RtspResponse response;
  EXPECT_FALSE(ReadResponse(reader, response));
  EXPECT_LT(endless.given, kRtspMaxHeaderBytes + 2 * kRtspReceiveBlock);
  EXPECT_LE(response.headers.size(), kRtspMaxHeaderBytes);

  const std::string head = "RTSP/1.0 200 OK\r\n";
  std::string shortLines;
  for (size_t i = 0; i < kRtspMaxHeaderLines; ++i) shortLines += "A: 1\r\n";
  // Exactly the most lines, and exactly the most bytes (four lines of 16383
  // bytes and their line feeds), are accepted; one line more is refused.
  const std::string longLine = "X: " + std::string(16380, 'v') + "\r\n";
  const std::string longLines = longLine + longLine + longLine + longLine;
  static_assert(kRtspMaxHeaderBytes == 4 * 16384, "four lines of 16383 bytes fill the block");
  for (const std::string& lines : {shortLines, longLines}) {
    for (const auto& pieces : Chunkings(head + lines + "Content-Length: 2\r\n\r\nab")) {
      Connection c(pieces);
      EXPECT_FALSE(ReadResponse(c.reader, response));
    }
    Connection fits({head + lines + "\r\nRTSP/1.0 404 Not Found\r\n\r\n"});
    ASSERT_TRUE(ReadResponse(fits.reader, response));
    EXPECT_EQ(response.status, 200);
    ASSERT_TRUE(ReadResponse(fits.reader, response));
    EXPECT_EQ(response.status, 404);
  }
}

TEST(ReadResponse, ContentLengthBound) {
  const std::string head = "RTSP/1.0 200 OK\r\nContent-Length: ";
  RtspResponse response;
  Connection atBound({head + std::to_string(kRtspMaxContentLength) + "\r\n\r\n" +
                      std::string(kRtspMaxContentLength, 'b')});
  EXPECT_TRUE(ReadResponse(atBound.reader, response));
  EXPECT_EQ(response.body.size(), kRtspMaxContentLength);
  for (std::string value : {std::to_string(kRtspMaxContentLength + 1), std::string("4294967296"),
                            std::string("99999999999999999999999999"), std::string("-1")}) {
    Connection c({head + value + "\r\n\r\n" + std::string(100, 'b')});
    EXPECT_FALSE(ReadResponse(c.reader, response)) << value;
  }
  Connection junk({head + "x12\r\n\r\nRTSP/1.0 404 Not Found\r\n\r\n"});
  EXPECT_TRUE(ReadResponse(junk.reader, response));
  EXPECT_EQ(response.body, "");  // no digits: 0
  EXPECT_TRUE(ReadResponse(junk.reader, response));
  EXPECT_EQ(response.status, 404);
}

TEST(FindHeaderValue, CaseSpacesAndColons) {
  EXPECT_EQ(FindHeaderValue("CSeq: 2\nSession: 0123ABCD;timeout=60\n", "Session"),
            "0123ABCD;timeout=60");
  EXPECT_EQ(FindHeaderValue("session:0123ABCD;timeout=60\n", "Session"), "0123ABCD;timeout=60");
  EXPECT_EQ(FindHeaderValue("SESSION : :abc\nSession: second\n", "Session"), "abc");
  EXPECT_EQ(FindHeaderValue("CSeq: 2\nX-Session: 1\n", "Session"), "");
  EXPECT_EQ(FindHeaderValue("", "Session"), "");
  EXPECT_EQ(FindHeaderValue("Session: last-line-without-feed", "Session"),
            "last-line-without-feed");
}

TEST(SendAll, WholeTextThroughShortSends) {
  // A long request (a long URL) goes out whole, however little each send takes.
  const std::string request =
      "DESCRIBE rtsp://127.0.0.1:8554/" + std::string(3000, 'p') + " RTSP/1.0\r\nCSeq: 1\r\n\r\n";
  ScriptedStream stream;
  stream.maxSend = 100;
  EXPECT_TRUE(SendAll(stream, request));
  EXPECT_EQ(stream.sent, request);
  EXPECT_TRUE(SendAll(stream, ""));

  ScriptedStream failing;
  failing.maxSend = 10;
  failing.failSendAfter = 2;
  EXPECT_FALSE(SendAll(failing, request));
  EXPECT_EQ(failing.sent.size(), 20u);
}

TEST(SkipRtspMessage, MessagesBetweenFrames) {
  const std::string frame = Frame(0, "abc");
  const std::string text = "RTSP/1.0 200 OK\r\nCSeq: 5\r\nContent-Length: 6\r\n\r\n$$$$$$" + frame +
                           "\r\n" + frame + "\n" + frame +
                           "GET_PARAMETER rtsp://x RTSP/1.0\nCSeq: 1\n\n" + frame;
  for (const auto& pieces : Chunkings(text)) {
    // Body skipped, not taken for frames; a lone line break is no message.
    EXPECT_EQ(StreamingTrace(pieces), "M F0:3:96354 M F0:3:96354 M F0:3:96354 M F0:3:96354 end @" +
                                          std::to_string(text.size()) + "/" +
                                          std::to_string(text.size()));
  }
}

TEST(SkipRtspMessage, FailuresEndStreaming) {
  const std::string frame = Frame(2, "z");
  struct Case {
    std::string text;
    std::string trace;
  } cases[] = {
      // A body over the bound is not read through: streaming ends.
      {"RTSP/1.0 200 OK\r\nContent-Length: 1048577\r\n\r\n" + frame, "X"},
      {"RTSP/1.0 200 OK\r\nContent-Length: 18446744073709551616\r\n\r\n" + frame, "X"},
      // A first line that is too long, or cut by the connection, ends streaming.
      {"R" + std::string(kRtspMaxLine, 'x') + "\r\n" + frame, "X"},
      {"RTSP/1.0 200", "X"},
      // The body cut by the connection.
      {"RTSP/1.0 200 OK\r\nContent-Length: 9\r\n\r\n1234", "X"},
      // An over-long header line ends the header block; the rest of it is then
      // read as the next message.
      {"RTSP/1.0 200 OK\r\nX: " + std::string(kRtspMaxLine, 'x') + "\r\n\r\n" + frame,
       "M M F2:1:122 end"},
      // A header block over its bound ends streaming; one at the bound is skipped.
      {"RTSP/1.0 200 OK\r\n" + Repeat("A: 1\r\n", kRtspMaxHeaderLines + 1) + "\r\n" + frame, "X"},
      {"RTSP/1.0 200 OK\r\n" + Repeat("A: 1\r\n", kRtspMaxHeaderLines) + "\r\n" + frame,
       "M F2:1:122 end"},
      // A first line of exactly the limit, CRs not counted, is fine.
      {"R" + std::string(kRtspMaxLine - 1, 'x') + "\r\r\r\n\r\n" + frame, "M F2:1:122 end"},
  };
  for (const Case& c : cases) {
    for (const auto& pieces : Chunkings(c.text)) {
      const std::string trace = StreamingTrace(pieces);
      EXPECT_EQ(trace.substr(0, trace.find(" @")), c.trace) << c.text.substr(0, 60);
    }
  }
}

TEST(SkipRtspMessage, SameResultForEveryChunkingOfRandomStreams) {
  std::mt19937 random(20261208);
  auto randomText = [&](size_t n) {
    std::string s;
    const char alphabet[] = "ab$\r\n: 0123456789Content-Length";
    for (size_t i = 0; i < n; ++i) s.push_back(alphabet[random() % (sizeof(alphabet) - 1)]);
    return s;
  };
  for (int round = 0; round < 40; ++round) {
    std::string text;
    const int parts = 1 + random() % 12;
    for (int p = 0; p < parts; ++p) {
      switch (random() % 12) {
        case 0: text += Frame(random() % 4, randomText(random() % 300)); break;
        case 1: text += "\r\n"; break;
        case 2: text += "\r"; break;
        case 3: {
          const size_t body = random() % 40;
          text += "RTSP/1.0 200 OK\r\nContent-Length: " + std::to_string(body + random() % 3) +
                  "\r\n\r\n" + randomText(body);
          break;
        }
        case 4:
          text += "RTSP/1.0 200 OK\r\nCSeq: 3\r\n" +
                  std::string(kRtspMaxLine - 2 + random() % 5, 'x') + "\r\n\r\n";
          break;
        case 5: text += "OPTIONS * RTSP/1.0\ncontent-length:" + randomText(4) + "\n\n"; break;
        case 6: text += randomText(random() % 50); break;
        default: text += std::string(1 + random() % 4, '\n'); break;
      }
    }
    const std::string whole = StreamingTrace({text});
    for (const auto& pieces : Chunkings(text)) {
      ASSERT_EQ(StreamingTrace(pieces), whole) << "round " << round;
    }
  }
}
