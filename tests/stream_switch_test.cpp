#include "app/stream_switch.h"

#include <gtest/gtest.h>

namespace {

// Which connections run, and whose picture is drawn.
void ExpectStreams(const StreamSwitch& s, bool mainOpen, bool subOpen, StreamKind shown) {
  EXPECT_EQ(s.mainOpen, mainOpen);
  EXPECT_EQ(s.subOpen, subOpen);
  EXPECT_EQ(s.shown, shown);
}

constexpr StreamKind kMain = StreamKind::kMain;
constexpr StreamKind kSub = StreamKind::kSub;

}  // namespace

TEST(StreamSwitch, EachTileWantsTheStreamThatFitsIt) {
  // Without a sub stream, or after it failed: always the main one.
  EXPECT_EQ(WantedStream(false, false, false, 232, 131, 640, 360), kMain);
  EXPECT_EQ(WantedStream(true, true, false, 232, 131, 640, 360), kMain);
  // A thumbnail, on screen or hidden, whether or not the sub size is known yet.
  EXPECT_EQ(WantedStream(true, false, false, 232, 131, 640, 360), kSub);
  EXPECT_EQ(WantedStream(true, false, false, 232, 131, 0, 0), kSub);
  EXPECT_EQ(WantedStream(true, false, false, 0, 0, 640, 360), kSub);
  // The stage and the whole window: the main stream, whatever the size.
  EXPECT_EQ(WantedStream(true, false, true, 232, 131, 640, 360), kMain);
  // A tile the sub picture would be enlarged for (a 2 x 2 grid on 1080p).
  EXPECT_EQ(WantedStream(true, false, false, 960, 540, 640, 360), kMain);
  EXPECT_EQ(WantedStream(true, false, false, 641, 361, 640, 360), kMain);
  EXPECT_EQ(WantedStream(true, false, false, 640, 360, 640, 360), kSub);
  // Fitted, the picture fills the tile one way only: not enlarged.
  EXPECT_EQ(WantedStream(true, false, false, 640, 361, 640, 360), kSub);
  EXPECT_EQ(WantedStream(true, false, false, 900, 300, 640, 360), kSub);
  EXPECT_EQ(WantedStream(true, false, false, 480, 270, 640, 360), kSub);  // a 4 x 4 grid
}

TEST(StreamSwitch, AThumbnailThatBecomesTheStageKeepsItsSubPictureUntilTheMainOne) {
  StreamSwitch s;
  StartStreams(s, true, kSub, 0.0);
  ExpectStreams(s, false, true, kSub);
  EXPECT_TRUE(NotePicture(s, kSub));

  WantStream(s, kMain, 1000.0);  // clicked: on the stage now
  ExpectStreams(s, true, true, kSub);
  EXPECT_TRUE(NotePicture(s, kSub)) << "the sub picture is drawn, scaled up, meanwhile";
  EXPECT_TRUE(NotePicture(s, kMain)) << "the first main picture takes over";
  ExpectStreams(s, true, false, kMain);
  EXPECT_FALSE(NotePicture(s, kSub)) << "a late picture of the closed sub stream";
  EXPECT_TRUE(NotePicture(s, kMain));
}

TEST(StreamSwitch, TheCameraLeavingTheStageKeepsItsMainPictureUntilTheSubOne) {
  StreamSwitch s;
  StartStreams(s, true, kMain, 0.0);
  ExpectStreams(s, true, false, kMain);
  EXPECT_TRUE(NotePicture(s, kMain));

  WantStream(s, kSub, 2000.0);
  ExpectStreams(s, true, true, kMain);
  EXPECT_TRUE(NotePicture(s, kMain));
  EXPECT_TRUE(NotePicture(s, kSub));
  ExpectStreams(s, false, true, kSub);
  EXPECT_FALSE(NotePicture(s, kMain));
}

TEST(StreamSwitch, ASwitchGivenUpBeforeItsFirstPictureClosesThatStream) {
  StreamSwitch s;
  StartStreams(s, true, kSub, 0.0);
  NotePicture(s, kSub);
  WantStream(s, kMain, 100.0);
  ExpectStreams(s, true, true, kSub);
  WantStream(s, kSub, 150.0);  // another camera was clicked at once
  ExpectStreams(s, false, true, kSub);
  EXPECT_FALSE(NotePicture(s, kMain)) << "a picture of the abandoned main connection";
  EXPECT_TRUE(NotePicture(s, kSub));
  // Asked for the same stream again: nothing changes.
  WantStream(s, kSub, 200.0);
  ExpectStreams(s, false, true, kSub);
  EXPECT_TRUE(s.subPicture);
}

TEST(StreamSwitch, ASubStreamWithoutPicturesFallsBackToTheMainOneUntilTheRebuild) {
  StreamSwitch s;
  StartStreams(s, true, kSub, 1000.0);
  NoteTime(s, 5999.0);
  ExpectStreams(s, false, true, kSub);
  NoteTime(s, 6000.0);
  EXPECT_TRUE(s.subFailed);
  ExpectStreams(s, true, false, kMain);
  EXPECT_TRUE(NotePicture(s, kMain)) << "the thumbnail shows the main stream";
  WantStream(s, kSub, 7000.0);
  ExpectStreams(s, true, false, kMain);
  // The next rebuild tries the sub stream again.
  StartStreams(s, true, kSub, 20000.0);
  EXPECT_FALSE(s.subFailed);
  ExpectStreams(s, false, true, kSub);

  // Leaving the stage for a sub stream that never answers: the main picture
  // stays on screen all along.
  StartStreams(s, true, kMain, 0.0);
  NotePicture(s, kMain);
  WantStream(s, kSub, 100.0);
  NoteTime(s, 5100.0);
  ExpectStreams(s, true, false, kMain);
  EXPECT_TRUE(s.mainPicture) << "the main picture was never dropped";
}

TEST(StreamSwitch, ASubStreamThatDropsLaterIsNoFailure) {
  StreamSwitch s;
  StartStreams(s, true, kSub, 0.0);
  NotePicture(s, kSub);
  NoteTime(s, 60000.0);  // silent for a minute: it reconnects as any stream does
  EXPECT_FALSE(s.subFailed);
  ExpectStreams(s, false, true, kSub);
}

TEST(StreamSwitch, WithoutASubStreamOnlyTheMainOneRuns) {
  StreamSwitch s;
  StartStreams(s, false, kSub, 0.0);
  ExpectStreams(s, true, false, kMain);
  WantStream(s, kSub, 10.0);
  ExpectStreams(s, true, false, kMain);
  NoteTime(s, 100000.0);
  EXPECT_FALSE(s.subFailed);
  EXPECT_TRUE(NotePicture(s, kMain));
  EXPECT_FALSE(NotePicture(s, kSub));
}
