#include "video/hand_off_watch.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

constexpr int64_t kFrame = 400000;  // 25 pictures a second, in 100 ns units

// Feeds `count` accepted units, the first a key picture when `key`, one
// picture time apart from `start`; returns the next timestamp.
int64_t Feed(HandOffWatch& watch, int count, int64_t start, bool key) {
  int64_t t = start;
  for (int i = 0; i < count; ++i, t += kFrame) NoteUnitAccepted(watch, key && i == 0, t);
  return t;
}

}  // namespace

TEST(HandOffWatch, FailsOnlyAfterEnoughUnitsAndStreamTimeWithoutAUsedPicture) {
  HandOffWatch watch;
  StartHandOffWatch(watch, true);
  // Before the first key picture nothing can come out: not counted.
  int64_t t = Feed(watch, 200, 0, false);
  EXPECT_FALSE(HandOffFailed(watch));

  // At 25 a second, 3 s of stream lie between the first and the 76th unit.
  t = Feed(watch, 75, t, true);
  EXPECT_FALSE(HandOffFailed(watch)) << "2.96 s of stream";
  NoteUnitAccepted(watch, false, t);
  EXPECT_TRUE(HandOffFailed(watch));

  // Few units over a long time (a paused render thread) are not enough.
  StartHandOffWatch(watch, true);
  for (int i = 0; i < 19; ++i) NoteUnitAccepted(watch, i == 0, i * 10000000LL);
  EXPECT_FALSE(HandOffFailed(watch)) << "19 units over 18 s";
  NoteUnitAccepted(watch, false, 19 * 10000000LL);
  EXPECT_TRUE(HandOffFailed(watch));
}

TEST(HandOffWatch, UsedPicturesKeepItQuietAndABreakLaterIsCaught) {
  HandOffWatch watch;
  StartHandOffWatch(watch, true);
  int64_t t = 0;
  // A working hand-off: each unit yields a picture one unit later.
  for (int i = 0; i < 600; ++i, t += kFrame) {
    NoteUnitAccepted(watch, i % 120 == 0, t);
    if (i > 0) NotePictureUsed(watch);
    ASSERT_FALSE(HandOffFailed(watch)) << "unit " << i;
  }
  // Then the pictures stop reaching the renderer: counted from the next
  // unit on, no key picture needed.
  t = Feed(watch, 75, t, false);
  EXPECT_FALSE(HandOffFailed(watch));
  NoteUnitAccepted(watch, false, t);
  EXPECT_TRUE(HandOffFailed(watch));
  NotePictureUsed(watch);
  EXPECT_FALSE(HandOffFailed(watch));

  // The stream's clock beginning again (a new connection) neither fails
  // the decoder at once nor hides a stall after it.
  StartHandOffWatch(watch, true);
  Feed(watch, 60, 1000 * kFrame, true);
  t = Feed(watch, 60, 0, false);
  EXPECT_FALSE(HandOffFailed(watch));
  Feed(watch, 16, t, false);  // 3 s after the clock began again
  EXPECT_TRUE(HandOffFailed(watch));
}

TEST(HandOffWatch, DecoderWithoutTheGpuHandOffIsNeverJudged) {
  HandOffWatch watch;
  Feed(watch, 500, 0, true);
  EXPECT_FALSE(HandOffFailed(watch)) << "a watch never started";
  StartHandOffWatch(watch, false);
  Feed(watch, 500, 0, true);
  EXPECT_FALSE(HandOffFailed(watch));
  // Opening again restarts the judgement.
  StartHandOffWatch(watch, true);
  EXPECT_FALSE(HandOffFailed(watch));
}

TEST(HandOffWatch, KeyPicturesOfBothCodecs) {
  const std::vector<uint8_t> h264Idr = {0,    0, 0, 1, 0x09, 0xF0, 0,    0, 0, 1, 0x67, 0x42, 0x00,
                                        0x1F, 0, 0, 0, 1,    0x68, 0xCE, 0, 0, 1, 0x65, 0x88, 0x84};
  const std::vector<uint8_t> h264P = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x41, 0x9A, 0x65, 0x65};
  EXPECT_TRUE(HasKeyPicture(h264Idr.data(), h264Idr.size(), 1));
  EXPECT_FALSE(HasKeyPicture(h264P.data(), h264P.size(), 1))
      << "0x65 inside a slice is no NAL header";
  EXPECT_FALSE(HasKeyPicture(h264Idr.data(), h264Idr.size(), 2))
      << "read as H.265 it is no IRAP picture";

  const std::vector<uint8_t> h265Idr = {0, 0, 0, 1, 0x40, 0x01, 0x0C, 0, 0, 0, 1, 0x26, 0x01, 0xAF};
  const std::vector<uint8_t> h265Cra = {0, 0, 0, 1, 0x2A, 0x01, 0xAF};
  const std::vector<uint8_t> h265Trail = {0, 0, 0, 1, 0x02, 0x01, 0xD0, 0, 0, 1, 0x00, 0x01, 0x26};
  EXPECT_TRUE(HasKeyPicture(h265Idr.data(), h265Idr.size(), 2));
  EXPECT_TRUE(HasKeyPicture(h265Cra.data(), h265Cra.size(), 2));
  EXPECT_FALSE(HasKeyPicture(h265Trail.data(), h265Trail.size(), 2));

  // A start code at the very end, or nothing at all.
  const std::vector<uint8_t> cut = {0x88, 0, 0, 1};
  EXPECT_FALSE(HasKeyPicture(cut.data(), cut.size(), 1));
  EXPECT_FALSE(HasKeyPicture(nullptr, 10, 1));
  EXPECT_FALSE(HasKeyPicture(h264Idr.data(), 0, 1));
}
