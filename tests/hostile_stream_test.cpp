// The streaming loop's reading under hostile byte streams: binary bytes where a
// message should start end streaming (so that the reconnect finds the framing
// again) instead of being taken as a message that swallows the frames after it.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "rtsp/stream_reader.h"
#include "tests/scripted_stream.h"

namespace {

std::string Frame(uint8_t channel, const std::string& data) {
  std::string out = "$";
  out.push_back(static_cast<char>(channel));
  out.push_back(static_cast<char>(data.size() >> 8));
  out.push_back(static_cast<char>(data.size() & 0xFF));
  return out + data;
}

// Runs the streaming loop's reads: "F" per frame, "M" per skipped message, "X"
// where streaming ends on a failed skip, nothing when the bytes run out.
std::string Loop(const std::vector<std::string>& pieces, size_t* frames = nullptr) {
  ScriptedStream stream;
  stream.pieces = pieces;
  StreamReader reader;
  reader.stream = &stream;
  std::string trace;
  InterleavedFrame frame;
  for (StreamItem item; (item = ReadStreamItem(reader, frame)) != StreamItem::kClosed;) {
    if (item == StreamItem::kBroken) {
      trace += 'X';
      break;
    }
    trace += item == StreamItem::kFrame ? 'F' : 'M';
    if (item == StreamItem::kFrame && frames != nullptr) ++*frames;
  }
  return trace;
}

TEST(HostileStream, BinaryBytesWhereAMessageStartsEndStreaming) {
  const std::string frame = Frame(0, std::string("\x80\x60\x00\x01", 4) + std::string(40, 'v'));
  const std::string cases[] = {
      std::string("\x01\x02\x03garbage\r\n", 12) + frame,
      std::string("\0\0\0\0\n", 5) + frame,                  // NUL padding
      std::string("ab\x7f\n", 4) + frame,                    // DEL
      std::string("x\rbinary\n", 9) + frame,                 // a CR inside the line
      "\x80\x60" + std::string(100, '\x11') + "\n" + frame,  // an RTP header without its '$'
  };
  for (const std::string& text : cases) {
    for (const auto& pieces : Chunkings(text)) EXPECT_EQ(Loop(pieces), "X") << text.substr(0, 12);
  }
  // Text messages, also with UTF-8 and tabs, are still skipped.
  const std::string text =
      "SET_PARAMETER rtsp://127.0.0.1/\xC3\xA9\tx RTSP/1.0\r\nCSeq: 1\r\n"
      "Content-Length: 4\r\n\r\n" +
      std::string("$\0\0\x10", 4) + frame + "RTSP/1.0 200 OK\r\n\r\n" + frame;
  for (const auto& pieces : Chunkings(text)) EXPECT_EQ(Loop(pieces), "MFMF");
}

// Random garbage before a share of the frames, as a broken sender might write:
// without the check, the header block of the supposed message eats frames until
// some random empty line, then the loop stays out of step for good. Now the
// first binary line ends streaming, every time, before the garbage's frames.
TEST(HostileStream, GarbageBetweenFramesNeverSwallowsTheRest) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    std::string text;
    size_t before = 0;
    bool garbage = false;
    for (int i = 0; i < 30; ++i) {
      std::string payload(1 + random() % 1400, '\0');
      for (char& c : payload) c = static_cast<char>(random());
      if (!garbage && random() % 4 == 0) {
        garbage = true;
        std::string junk(1 + random() % 300, '\0');
        for (char& c : junk) c = static_cast<char>(random());
        if (junk[0] == '$' || junk[0] == '\r' || junk[0] == '\n') junk[0] = '\x01';
        junk.insert(junk.begin() + 1, '\x00');  // a control byte in the first line for sure
        text += junk;
      }
      if (!garbage) ++before;
      text += Frame(static_cast<uint8_t>(random() % 4), payload);
    }
    size_t frames = 0;
    const std::string trace = Loop({text}, &frames);
    EXPECT_EQ(frames, before) << "round " << round;
    if (garbage) EXPECT_EQ(trace.back(), 'X') << "round " << round;
  }
}

}  // namespace
