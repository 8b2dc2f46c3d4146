#include "rtsp/stream_reader.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr size_t kInitialBuffer = 64 * 1024;

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Unsigned decimal after optional white space and sign, saturating at SIZE_MAX.
// A negative non-zero value is taken as the maximum (it can only be refused).
size_t ParseContentLength(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  size_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const size_t digit = static_cast<size_t>(text[i] - '0');
    value = value > (SIZE_MAX - digit) / 10 ? SIZE_MAX : value * 10 + digit;
  }
  return negative && value != 0 ? SIZE_MAX : value;
}

int32_t ParseStatus(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min<int64_t>(value * 10 + (text[i] - '0'), INT32_MAX);
  }
  return static_cast<int32_t>(negative ? -value : value);
}

// RTSP start lines are text: a control byte (other than tab) in one means the
// bytes are not a message but media read out of step with its framing.
bool HasControlByte(std::string_view line) {
  return std::any_of(line.begin(), line.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && byte != '\t') || byte == 0x7F;
  });
}

// Notes a "Content-Length:" header line; returns whether it was one.
bool NoteContentLength(std::string_view line, size_t& contentLength) {
  constexpr std::string_view kName = "Content-Length:";
  if (line.size() < kName.size() || !EqualIgnoringCase(line.substr(0, kName.size()), kName)) {
    return false;
  }
  contentLength = ParseContentLength(line.substr(kName.size()));
  return true;
}

// Takes bytes up to a line feed. `line` and `crRun` may be seeded with bytes
// already taken. Carriage returns are held back as a count and only become part
// of the line when another byte follows them, so trailing ones never count
// towards the limit and never take memory. A run of them longer than the limit
// still ends the line as too long: carriage returns without end would otherwise
// hold the reader for as long as they come.
LineResult TakeLine(StreamReader& reader, std::string& line, size_t crRun) {
  while (true) {
    if (reader.Available() == 0 && !reader.Fill()) return LineResult::kClosed;
    while (reader.head < reader.tail) {
      const uint8_t byte = reader.buffer[reader.head++];
      if (byte == '\n') return LineResult::kOk;
      if (byte == '\r') {
        if (++crRun > kRtspMaxLine) return LineResult::kTooLong;
        continue;
      }
      if (line.size() + crRun + 1 > kRtspMaxLine) return LineResult::kTooLong;
      line.append(crRun, '\r');
      crRun = 0;
      line.push_back(static_cast<char>(byte));
    }
  }
}

enum class HeaderBlock { kOk, kLineTooLong, kBlockTooLong };

// Reads header lines up to the empty line, noting Content-Length. A closed
// connection ends the block; an over-long line, or a block over its bounds, is
// reported (the block's lines are counted whether or not they are kept).
HeaderBlock ReadHeaderBlock(StreamReader& reader, std::string* headers, size_t& contentLength) {
  std::string line;
  size_t lines = 0;
  size_t bytes = 0;
  while (true) {
    const LineResult result = reader.ReadLineResult(line);
    if (result == LineResult::kTooLong) return HeaderBlock::kLineTooLong;
    if (result == LineResult::kClosed || line.empty()) return HeaderBlock::kOk;
    ++lines;
    bytes += line.size() + 1;
    if (lines > kRtspMaxHeaderLines || bytes > kRtspMaxHeaderBytes)
      return HeaderBlock::kBlockTooLong;
    if (headers) {
      headers->append(line);
      headers->push_back('\n');
    }
    NoteContentLength(line, contentLength);
  }
}

}  // namespace

bool StreamReader::Fill() {
  if (!stream) return false;
  if (head == tail) head = tail = 0;
  if (buffer.size() - tail < kRtspReceiveBlock) {
    if (head > 0) {
      std::memmove(buffer.data(), buffer.data() + head, tail - head);
      tail -= head;
      head = 0;
    }
    if (buffer.size() - tail < kRtspReceiveBlock) {
      buffer.resize(std::max({buffer.size() * 2, kInitialBuffer, tail + kRtspReceiveBlock}));
    }
  }
  const long long got = stream->Receive(buffer.data() + tail, kRtspReceiveBlock);
  if (got < 1) return false;
  tail += std::min(static_cast<size_t>(got), kRtspReceiveBlock);
  return true;
}

LineResult StreamReader::ReadLineResult(std::string& line) {
  line.clear();
  return TakeLine(*this, line, 0);
}

bool StreamReader::ReadLine(std::string& line) {
  return ReadLineResult(line) == LineResult::kOk;
}

bool StreamReader::ReadView(size_t n, const uint8_t*& data) {
  // Room for twice the request keeps the moves of unread bytes, made when the
  // storage runs out at its end, below one per received byte.
  const size_t wanted = 2 * (n + kRtspReceiveBlock);
  if (buffer.size() < wanted) {
    if (head > 0) {
      std::memmove(buffer.data(), buffer.data() + head, tail - head);
      tail -= head;
      head = 0;
    }
    buffer.resize(wanted);
  }
  while (Available() < n) {
    if (!Fill()) return false;
  }
  data = buffer.data() + head;
  head += n;
  return true;
}

bool StreamReader::ReadExact(size_t n, std::vector<uint8_t>& out) {
  const uint8_t* data = nullptr;
  if (!ReadView(n, data)) return false;
  out.assign(data, data + n);
  return true;
}

bool StreamReader::ReadByte(uint8_t& byte) {
  if (Available() == 0 && !Fill()) return false;
  byte = buffer[head++];
  return true;
}

bool StreamReader::Skip(size_t n) {
  while (n > 0) {
    if (Available() == 0 && !Fill()) return false;
    const size_t take = std::min(n, Available());
    head += take;
    n -= take;
  }
  return true;
}

bool SendAll(ByteStream& stream, std::string_view text) {
  const uint8_t* data = reinterpret_cast<const uint8_t*>(text.data());
  size_t left = text.size();
  while (left > 0) {
    const long long sent = stream.Send(data, left);
    if (sent < 1) return false;
    const size_t done = std::min(static_cast<size_t>(sent), left);
    data += done;
    left -= done;
  }
  return true;
}

bool ReadResponse(StreamReader& reader, RtspResponse& response) {
  std::string line;
  if (!reader.ReadLine(line)) return false;
  constexpr std::string_view kProtocol = "RTSP/1.0 ";
  if (line.size() < kProtocol.size() || line.compare(0, kProtocol.size(), kProtocol) != 0) {
    return false;
  }
  response.status = ParseStatus(std::string_view(line).substr(kProtocol.size()));
  response.headers.clear();
  response.body.clear();
  size_t contentLength = 0;
  if (ReadHeaderBlock(reader, &response.headers, contentLength) != HeaderBlock::kOk) return false;
  if (contentLength > kRtspMaxContentLength) return false;
  if (contentLength == 0) return true;
  const uint8_t* body = nullptr;
  if (!reader.ReadView(contentLength, body)) return false;
  response.body.assign(reinterpret_cast<const char*>(body), contentLength);
  return true;
}

std::string FindHeaderValue(std::string_view headers, std::string_view name) {
  while (!headers.empty()) {
    const size_t feed = headers.find('\n');
    const std::string_view line = headers.substr(0, feed);
    if (line.size() >= name.size() && EqualIgnoringCase(line.substr(0, name.size()), name)) {
      std::string_view value = line.substr(name.size());
      while (!value.empty() && (value.front() == ' ' || value.front() == ':'))
        value.remove_prefix(1);
      return std::string(value);
    }
    if (feed == std::string_view::npos) break;
    headers.remove_prefix(feed + 1);
  }
  return std::string();
}

bool SkipRtspMessage(StreamReader& reader, uint8_t firstByte) {
  // The first line is firstByte and the rest of its line; it is not examined.
  std::string line;
  if (firstByte != '\n') {
    if (firstByte != '\r') line.push_back(static_cast<char>(firstByte));
    if (TakeLine(reader, line, firstByte == '\r' ? 1 : 0) != LineResult::kOk) return false;
  }
  // An empty line is a stray line break between frames, not a message: taking
  // header lines after it would swallow the next interleaved frames.
  if (line.empty()) return true;
  // Binary bytes where a message should start: the stream lost its framing and
  // taking them as a message would swallow frames without end, so streaming ends
  // and the reconnect finds the framing again.
  if (HasControlByte(line)) return false;
  size_t contentLength = 0;
  // An over-long line ends the block; a block without end ends streaming, as the
  // frames it would swallow are lost anyway.
  if (ReadHeaderBlock(reader, nullptr, contentLength) == HeaderBlock::kBlockTooLong) return false;
  if (contentLength > kRtspMaxContentLength) return false;
  return reader.Skip(contentLength);
}

StreamItem ReadStreamItem(StreamReader& reader, InterleavedFrame& frame) {
  uint8_t first = 0;
  if (!reader.ReadByte(first)) return StreamItem::kClosed;
  if (first != '$')
    return SkipRtspMessage(reader, first) ? StreamItem::kMessage : StreamItem::kBroken;
  const uint8_t* header = nullptr;
  if (!reader.ReadView(3, header)) return StreamItem::kClosed;
  frame.channel = header[0];
  frame.length = (static_cast<size_t>(header[1]) << 8) | header[2];
  return reader.ReadView(frame.length, frame.data) ? StreamItem::kFrame : StreamItem::kClosed;
}
