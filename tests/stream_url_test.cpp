#include "console/stream_url.h"

#include <gtest/gtest.h>

TEST(StreamUrl, ConvertsTheConsoleForm) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"rtsps://10.0.0.1:7441/AbCd?enableSrtp", "rtsp://10.0.0.1:7447/AbCd"},
      {" \t rtsps://H:7441/A \t", "rtsp://H:7447/A"},
      {"rtsps://H/A?enableSrtp", "rtsp://H/A"},
      {"rtsps://H:7441?enableSrtp", "rtsp://H:7441"},
      {"rtsps://H:7441/A?x=:7441/", "rtsp://H:7447/A"},
      {"rtsps://H:8000/B:7441/", "rtsp://H:8000/B:7447/"},
      {"rtsps://H:7441/a:7441/b", "rtsp://H:7447/a:7441/b"},
      {"rtsps://", "rtsp://"},
      {"rtsps://?", "rtsp://"},
  };
  for (const Case& c : cases) EXPECT_EQ(ToPlainRtspUrl(c.in), c.out) << c.in;
}

TEST(StreamUrl, LeavesOtherTextTrimmedButUnchanged) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"rtsp://H:7441/A?enableSrtp", "rtsp://H:7441/A?enableSrtp"},
      {"RTSPS://H:7441/A", "RTSPS://H:7441/A"},
      {"  rtsp://cam/x\t", "rtsp://cam/x"},
      {"", ""},
      {" \t \t", ""},
      {"rtsps:/", "rtsps:/"},
      {"\rrtsps://H:7441/A\n", "\rrtsps://H:7441/A\n"},
      {" x y ", "x y"},
  };
  for (const Case& c : cases) EXPECT_EQ(ToPlainRtspUrl(c.in), c.out) << c.in;
  // CR and LF are not blanks: they stay and, leading, stop the conversion.
  EXPECT_EQ(ToPlainRtspUrl("rtsps://H:7441/A\n"), "rtsp://H:7447/A\n");
}
