// Replays the recorded RTSP captures of tests/data (made by
// tools/record_golden.py from GStreamer's RTSP server) through the reader, the
// message skipping and the depacketizers, in many receive sizes. Natively the
// Annex-B and ADTS output is decoded with ffmpeg and compared frame by frame
// with the source clip.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "rtsp/depacketizer.h"
#include "rtsp/stream_reader.h"
#include "tests/scripted_stream.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string DataPath(const std::string& name) {
  return std::string(TAVIK_SOURCE_DIR) + "/tests/data/" + name;
}

// ADTS header for one raw AAC frame, from the AudioSpecificConfig's object
// type, sampling frequency index and channel configuration.
void AppendAdts(const std::vector<uint8_t>& config, const uint8_t* frame, unsigned size,
                std::string& out) {
  const unsigned objectType = config[0] >> 3;
  const unsigned frequencyIndex = ((config[0] & 7u) << 1) | (config[1] >> 7);
  const unsigned channels = (config[1] >> 3) & 15u;
  const unsigned length = size + 7;
  const uint8_t header[7] = {
      0xFF,
      0xF1,
      static_cast<uint8_t>(((objectType - 1) << 6) | (frequencyIndex << 2) | (channels >> 2)),
      static_cast<uint8_t>(((channels & 3) << 6) | (length >> 11)),
      static_cast<uint8_t>((length >> 3) & 0xFF),
      static_cast<uint8_t>(((length & 7) << 5) | 0x1F),
      0xFC};
  out.append(reinterpret_cast<const char*>(header), 7);
  out.append(reinterpret_cast<const char*>(frame), size);
}

struct Replay {
  std::string video;  // Annex-B access units back to back
  std::string audio;  // ADTS frames
  size_t units = 0;
  size_t audioFrames = 0;
  size_t messages = 0;
  bool timestampsRise = true;
  int64_t firstTimestamp = -1;
};

// The streaming loop of the client over one chunking of a capture.
Replay Run(const SdpInfo& sdp, std::vector<std::string> pieces) {
  ScriptedStream stream;
  stream.pieces = std::move(pieces);
  StreamReader reader;
  reader.stream = &stream;
  MediaState state;
  ResetMediaState(state, sdp, sdp.hasAudio);
  Replay replay;
  int64_t last = -1;
  const AccessUnitCallback onAccessUnit = [&](std::vector<uint8_t>&& unit, int64_t time) {
    replay.video.append(reinterpret_cast<const char*>(unit.data()), unit.size());
    ++replay.units;
    if (replay.firstTimestamp < 0) replay.firstTimestamp = time;
    if (time <= last) replay.timestampsRise = false;
    last = time;
  };
  const AudioFrameCallback onAudioFrame = [&](const uint8_t* data, unsigned size) {
    AppendAdts(sdp.audioSpecificConfig, data, size, replay.audio);
    ++replay.audioFrames;
  };
  while (true) {
    uint8_t first = 0;
    if (!reader.ReadByte(first)) break;
    if (first == '$') {
      const uint8_t* header = nullptr;
      const uint8_t* data = nullptr;
      if (!reader.ReadView(3, header)) break;
      const uint8_t channel = header[0];
      const size_t length = size_t{header[1]} << 8 | header[2];
      if (!reader.ReadView(length, data)) break;
      HandleInterleavedFrame(state, channel, data, length, onAccessUnit, onAudioFrame);
    } else if (SkipRtspMessage(reader, first)) {
      ++replay.messages;
    } else {
      break;
    }
  }
  return replay;
}

#ifndef _WIN32
bool HaveFfmpeg() {
  return std::system("ffmpeg -version > /dev/null 2>&1") == 0;
}

// The MD5 of every decoded frame of one stream of a file.
std::vector<std::string> FrameHashes(const std::string& arguments) {
  std::vector<std::string> hashes;
  FILE* pipe = popen(("ffmpeg -v error " + arguments + " -f framemd5 - 2>/dev/null").c_str(), "r");
  if (!pipe) return hashes;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    if (line[0] == '#') continue;
    std::string text(line);
    const size_t comma = text.rfind(',');
    if (comma == std::string::npos) continue;
    std::istringstream value(text.substr(comma + 1));
    std::string hash;
    value >> hash;
    hashes.push_back(hash);
  }
  pclose(pipe);
  return hashes;
}
#endif

void CheckCapture(const std::string& name, int codec, bool audio) {
  const std::string sdpText = ReadFile(DataPath(name + ".sdp"));
  const std::string capture = ReadFile(DataPath(name + ".rtsp"));
  ASSERT_FALSE(capture.empty()) << name;
  SdpInfo sdp;
  ASSERT_TRUE(ParseSdp(sdpText, sdp));
  EXPECT_EQ(sdp.codec, codec);
  EXPECT_EQ(sdp.hasAudio, audio);
  EXPECT_EQ(sdp.videoControl, "stream=0");

  const Replay whole = Run(sdp, {capture});
  EXPECT_GE(whole.units, 25u);
  EXPECT_EQ(whole.messages, 1u);  // the answer to the OPTIONS sent while streaming
  EXPECT_EQ(whole.firstTimestamp, 0);
  EXPECT_TRUE(whole.timestampsRise);
  EXPECT_EQ(whole.video.compare(0, sdp.parameterSets.size(),
                                reinterpret_cast<const char*>(sdp.parameterSets.data()),
                                sdp.parameterSets.size()),
            0);
  if (audio) {
    EXPECT_GE(whole.audioFrames, 80u);
  } else {
    EXPECT_TRUE(whole.audio.empty());
  }
  for (const auto& pieces : Chunkings(capture)) {
    const Replay replay = Run(sdp, pieces);
    EXPECT_EQ(replay.video, whole.video) << name << " in " << pieces.size() << " pieces";
    EXPECT_EQ(replay.audio, whole.audio) << name << " in " << pieces.size() << " pieces";
    EXPECT_EQ(replay.messages, whole.messages);
  }

#ifndef _WIN32
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not found: decoded frames not compared";
  // Per process: other checkouts may run the same test at the same time.
  const std::string folder =
      testing::TempDir() + "tavik_golden_" + name + "_" + std::to_string(getpid());
  std::filesystem::create_directories(folder);
  const std::string videoPath = folder + (codec == 2 ? "/out.h265" : "/out.h264");
  std::ofstream(videoPath, std::ios::binary) << whole.video;
  const std::string source = DataPath(name + ".mp4");
  const std::vector<std::string> expected = FrameHashes("-i '" + source + "' -map 0:v");
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(FrameHashes("-i '" + videoPath + "' -map 0:v"), expected) << name << " video";
  if (audio) {
    const std::string audioPath = folder + "/out.aac";
    std::ofstream(audioPath, std::ios::binary) << whole.audio;
    // The source's own AAC frames in ADTS (no re-encoding), so that both sides
    // decode the same priming frames.
    const std::string reference = folder + "/source.aac";
    ASSERT_EQ(std::system(("ffmpeg -v error -y -i '" + source + "' -map 0:a -c copy '" + reference +
                           "' 2>/dev/null")
                              .c_str()),
              0);
    const std::vector<std::string> expectedAudio = FrameHashes("-i '" + reference + "'");
    ASSERT_FALSE(expectedAudio.empty());
    EXPECT_EQ(FrameHashes("-i '" + audioPath + "'"), expectedAudio) << name << " audio";
  }
  if (!testing::Test::HasFailure()) std::filesystem::remove_all(folder);  // kept for a look
#endif
}

}  // namespace

TEST(GoldenCapture, H264FragmentationUnits) {
  CheckCapture("golden_h264", 1, false);
}
TEST(GoldenCapture, H265) {
  CheckCapture("golden_h265", 2, false);
}
TEST(GoldenCapture, H264WithAac) {
  CheckCapture("golden_h264_aac", 1, true);
}
