#pragma once
// A camera with a low-resolution sub stream shows the stream that fits its
// tile: the sub stream in a thumbnail (or while hidden), the main stream on
// the stage, filling the window, or in a tile the sub picture would have to
// be enlarged for. A switch never leaves the tile empty: the picture shown
// stays until the first picture of the other stream is decoded, then that
// stream's pictures are drawn and the first one's connection closes.
#include <cstdint>

enum class StreamKind : uint8_t { kMain, kSub };

// A sub stream that delivers no picture this long after it was opened has
// failed: the slot shows its main stream everywhere until the next rebuild.
inline constexpr double kSubStreamPatienceMs = 5000.0;

// The stream a slot wants. fillsStage: the slot is on the stage or fills the
// window. tileWidth x tileHeight: its tile in pixels (0 x 0 while hidden);
// subWidth x subHeight: the sub stream's picture size, 0 while unknown (a
// thumbnail then assumes it fits).
StreamKind WantedStream(bool hasSub, bool subFailed, bool fillsStage, int32_t tileWidth,
                        int32_t tileHeight, uint32_t subWidth, uint32_t subHeight);

struct StreamSwitch {
  bool hasSub = false;
  StreamKind wanted = StreamKind::kMain;  // where the slot is going
  StreamKind shown = StreamKind::kMain;   // whose pictures are drawn
  bool mainOpen = false;                  // the main connection should run
  bool subOpen = false;                   // the sub connection should run
  bool mainPicture = false;               // a picture came since the main stream opened
  bool subPicture = false;                // likewise for the sub stream
  bool subFailed = false;                 // no sub picture in time: main until the rebuild
  double subOpenedMs = 0.0;
};

// The slot list was built: everything starts afresh, the sub stream included.
void StartStreams(StreamSwitch& s, bool hasSub, StreamKind wanted, double nowMs);
// The tile's role or size changed what it wants (WantedStream).
void WantStream(StreamSwitch& s, StreamKind wanted, double nowMs);
// A picture of `from` was decoded. Returns whether it is drawn.
bool NotePicture(StreamSwitch& s, StreamKind from);
// Time passes: a sub stream out of patience fails over to the main stream.
void NoteTime(StreamSwitch& s, double nowMs);
