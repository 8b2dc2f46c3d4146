#include "app/stream_switch.h"

StreamKind WantedStream(bool hasSub, bool subFailed, bool fillsStage, int32_t tileWidth,
                        int32_t tileHeight, uint32_t subWidth, uint32_t subHeight) {
  if (!hasSub || subFailed || fillsStage) return StreamKind::kMain;
  // The picture is fitted into the tile: it is enlarged only when the tile is
  // larger than the sub picture both ways.
  const bool known = subWidth > 0 && subHeight > 0;
  if (known && int64_t{tileWidth} > subWidth && int64_t{tileHeight} > subHeight)
    return StreamKind::kMain;
  return StreamKind::kSub;
}

namespace {

void OpenStream(StreamSwitch& s, StreamKind kind, double nowMs) {
  if (kind == StreamKind::kMain) {
    if (!s.mainOpen) s.mainPicture = false;
    s.mainOpen = true;
  } else {
    if (!s.subOpen) {
      s.subPicture = false;
      s.subOpenedMs = nowMs;
    }
    s.subOpen = true;
  }
}

void CloseStream(StreamSwitch& s, StreamKind kind) {
  if (kind == StreamKind::kMain) {
    s.mainOpen = false;
    s.mainPicture = false;
  } else {
    s.subOpen = false;
    s.subPicture = false;
  }
}

StreamKind Other(StreamKind kind) {
  return kind == StreamKind::kMain ? StreamKind::kSub : StreamKind::kMain;
}

}  // namespace

void StartStreams(StreamSwitch& s, bool hasSub, StreamKind wanted, double nowMs) {
  s = StreamSwitch();
  s.hasSub = hasSub;
  s.wanted = hasSub ? wanted : StreamKind::kMain;
  s.shown = s.wanted;
  OpenStream(s, s.wanted, nowMs);
}

void WantStream(StreamSwitch& s, StreamKind wanted, double nowMs) {
  if (!s.hasSub || s.subFailed) wanted = StreamKind::kMain;
  s.wanted = wanted;
  if (wanted == s.shown) {
    // Back where it is (a switch given up before its first picture), or
    // nothing to do: only the shown stream runs.
    CloseStream(s, Other(wanted));
    OpenStream(s, wanted, nowMs);
    return;
  }
  // The shown stream stays on screen until the wanted one has a picture.
  OpenStream(s, wanted, nowMs);
}

bool NotePicture(StreamSwitch& s, StreamKind from) {
  const bool open = from == StreamKind::kMain ? s.mainOpen : s.subOpen;
  if (!open) return false;  // a connection being closed
  (from == StreamKind::kMain ? s.mainPicture : s.subPicture) = true;
  if (from != s.shown && from == s.wanted) {
    s.shown = from;
    CloseStream(s, Other(from));
  }
  return from == s.shown;
}

void NoteTime(StreamSwitch& s, double nowMs) {
  if (!s.subOpen || s.subPicture || nowMs - s.subOpenedMs < kSubStreamPatienceMs) return;
  s.subFailed = true;
  CloseStream(s, StreamKind::kSub);
  s.wanted = StreamKind::kMain;
  OpenStream(s, StreamKind::kMain, nowMs);
  s.shown = StreamKind::kMain;
}
