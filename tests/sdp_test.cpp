#include "rtsp/sdp.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Annex(std::initializer_list<Bytes> sets) {
  Bytes out;
  for (const Bytes& set : sets) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), set.begin(), set.end());
  }
  return out;
}

}  // namespace

TEST(DecodeBase64, AlphabetPaddingAndSkippedBytes) {
  EXPECT_EQ(DecodeBase64("TWFu"), (Bytes{'M', 'a', 'n'}));
  EXPECT_EQ(DecodeBase64("TWE="), (Bytes{'M', 'a'}));
  EXPECT_EQ(DecodeBase64("TQ=="), (Bytes{'M'}));
  EXPECT_EQ(DecodeBase64("T W\r\nF,u"), (Bytes{'M', 'a', 'n'}));
  EXPECT_EQ(DecodeBase64("+/+/"), (Bytes{0xFB, 0xFF, 0xBF}));
  EXPECT_TRUE(DecodeBase64("").empty());
  EXPECT_TRUE(DecodeBase64("T").empty());  // 6 bits: no whole byte
  EXPECT_TRUE(DecodeBase64("==,; ").empty());
}

TEST(ParseSdp, H264WithTwoParameterSetsAndControl) {
  const char* text =
      "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=Session\r\na=control:session-level\r\n"
      "t=0 0\r\nm=video 0 RTP/AVP 96\r\nc=IN IP4 0.0.0.0\r\n"
      "a=rtpmap:96 H264/90000\r\n"
      "a=fmtp:96 "
      "packetization-mode=1;profile-level-id=42c01e;sprop-parameter-sets=Z0LAHg==,aM4MiA==\r\n"
      "a=control:stream=0\r\n";
  SdpInfo info;
  EXPECT_TRUE(ParseSdp(text, info));
  EXPECT_EQ(info.codec, 1);
  EXPECT_EQ(info.videoControl, "stream=0");
  EXPECT_EQ(info.parameterSets, Annex({{0x67, 0x42, 0xC0, 0x1E}, {0x68, 0xCE, 0x0C, 0x88}}));
  EXPECT_FALSE(info.hasAudio);
}

TEST(ParseSdp, H265SetsInFixedOrderAndValueEnds) {
  // Keys in the line out of order; the sets still come out VPS, SPS, PPS.
  const char* text =
      "m=video 0 RTP/AVP 96\n"
      "a=rtpmap:96 H265/90000\n"
      "a=fmtp:96 sprop-pps=RA== sprop-sps=Qg==;sprop-vps=QA==\n";
  SdpInfo info;
  EXPECT_TRUE(ParseSdp(text, info));
  EXPECT_EQ(info.codec, 2);
  EXPECT_EQ(info.parameterSets, Annex({{0x40}, {0x42}, {0x44}}));
  EXPECT_TRUE(info.videoControl.empty());
}

TEST(ParseSdp, CommaInsideSpropSpsIsOneBase64Text) {
  SdpInfo info;
  ParseSdp("m=video 0 RTP/AVP 96\na=rtpmap:96 h265/90000\na=fmtp:96 sprop-sps=QUFB,QkJC", info);
  EXPECT_EQ(info.codec, 2);
  EXPECT_EQ(info.parameterSets, Annex({{'A', 'A', 'A', 'B', 'B', 'B'}}));
}

TEST(ParseSdp, NoSupportedVideo) {
  SdpInfo info;
  EXPECT_FALSE(ParseSdp("", info));
  EXPECT_FALSE(ParseSdp("m=video 0 RTP/AVP 26\na=rtpmap:26 JPEG/90000\na=control:x\n", info));
  EXPECT_EQ(info.codec, 0);
  // An H.264 rtpmap outside a video section does not count.
  SdpInfo other;
  EXPECT_FALSE(
      ParseSdp("a=rtpmap:96 H264/90000\nm=audio 0 RTP/AVP 96\na=rtpmap:96 H264/90000\n", other));
}

TEST(ParseSdp, AacTrackRatesChannelsAndConfig) {
  const std::string video = "m=video 0 RTP/AVP 96\na=rtpmap:96 H264/90000\n";
  struct Case {
    const char* rtpmap;
    int rate;
    int channels;
  } cases[] = {{"a=rtpmap:97 mpeg4-generic/16000/1", 16000, 1},
               {"a=rtpmap:97 mpeg4-generic/48000/2", 48000, 2},
               {"a=rtpmap:97 mpeg4-generic/48000", 48000, 1}};
  for (const Case& c : cases) {
    SdpInfo info;
    ParseSdp(video + "m=audio 0 RTP/AVP 97\na=control:early\n" + c.rtpmap +
                 "\r\na=fmtp:97 streamtype=5;mode=AAC-hbr;config=1190;sizelength=13\r\n"
                 "a=control:stream=1\r\n",
             info);
    EXPECT_TRUE(info.hasAudio) << c.rtpmap;
    EXPECT_EQ(info.audioClockRate, c.rate) << c.rtpmap;
    EXPECT_EQ(info.audioChannels, c.channels) << c.rtpmap;
    EXPECT_EQ(info.audioControl, "stream=1");  // the control line before rtpmap is ignored
    EXPECT_EQ(info.audioSpecificConfig, (Bytes{0x11, 0x90}));
  }
}

TEST(ParseSdp, UpperCaseAacEncodingNameIsAac) {
  // GStreamer's server writes the encoding name in upper case; names are case-insensitive.
  SdpInfo info;
  ParseSdp(
      "m=video 0 RTP/AVP 96\na=rtpmap:96 H264/90000\nm=audio 0 RTP/AVP 97\n"
      "a=rtpmap:97 MPEG4-GENERIC/48000/2\na=fmtp:97 config=1190\na=control:stream=1\n",
      info);
  EXPECT_TRUE(info.hasAudio);
  EXPECT_EQ(info.audioClockRate, 48000);
  EXPECT_EQ(info.audioChannels, 2);
  EXPECT_EQ(info.audioControl, "stream=1");
}

TEST(ParseSdp, HexConfigPairs) {
  const std::string head = "m=audio 0 RTP/AVP 97\na=rtpmap:97 mpeg4-generic/8000\n";
  struct Case {
    const char* config;
    Bytes bytes;
  } cases[] = {{"1408", {0x14, 0x08}}, {"14G8", {0x14}}, {"140", {0x14}}, {"aBcD;x", {0xAB, 0xCD}}};
  for (const Case& c : cases) {
    SdpInfo info;
    ParseSdp(head + "a=fmtp:97 config=" + c.config + "\n", info);
    EXPECT_EQ(info.audioSpecificConfig, c.bytes) << c.config;
  }
  // Several fmtp lines append.
  SdpInfo info;
  ParseSdp(head + "a=fmtp:97 config=12\na=fmtp:97 config=34\n", info);
  EXPECT_EQ(info.audioSpecificConfig, (Bytes{0x12, 0x34}));
}

TEST(ParseSdp, NonAacAudioSectionIgnored) {
  SdpInfo info;
  ParseSdp(
      "m=video 0 RTP/AVP 96\na=rtpmap:96 H264/90000\na=control:v\n"
      "m=audio 0 RTP/AVP 0\na=rtpmap:0 PCMU/8000\na=control:a\na=fmtp:0 config=11\n"
      "m=application 0 RTP/AVP 107\na=control:app\n",
      info);
  EXPECT_FALSE(info.hasAudio);
  EXPECT_TRUE(info.audioControl.empty());
  EXPECT_TRUE(info.audioSpecificConfig.empty());
  EXPECT_EQ(info.videoControl, "v");
}

TEST(ParseSdp, SecondVideoSectionOverridesAndAppends) {
  SdpInfo info;
  ParseSdp(
      "m=video 0 RTP/AVP 96\na=rtpmap:96 H264/90000\na=control:first\n"
      "a=fmtp:96 sprop-parameter-sets=QQ==\n"
      "m=video 0 RTP/AVP 97\na=rtpmap:97 H265/90000\na=control:second\n"
      "a=fmtp:97 sprop-vps=Qg==\n",
      info);
  EXPECT_EQ(info.codec, 2);
  EXPECT_EQ(info.videoControl, "second");
  EXPECT_EQ(info.parameterSets, Annex({{'A'}, {0x42}}));
}

TEST(ParseSdp, ControlValuesKeptVerbatim) {
  SdpInfo info;
  ParseSdp("m=video 0 RTP/AVP 96\r\r\na=rtpmap:96 H264/90000\na=control:rtsp://h/p/trackID=1 \r\r",
           info);
  EXPECT_EQ(info.videoControl, "rtsp://h/p/trackID=1 ");
  SdpInfo empty;
  ParseSdp("m=video 0 RTP/AVP 96\na=rtpmap:96 H264/90000\na=control:", empty);
  EXPECT_EQ(empty.videoControl, "");
}
