#include "video/hand_off_watch.h"

void StartHandOffWatch(HandOffWatch& watch, bool gpuHandOff) {
  watch = HandOffWatch{};
  watch.watching = gpuHandOff;
}

void NoteUnitAccepted(HandOffWatch& watch, bool keyPicture, int64_t timestamp) {
  if (!watch.watching) return;
  if (!watch.counting) {
    if (!keyPicture && !watch.pictureUsed) return;  // no picture can come out yet
    watch.counting = true;
    watch.since = timestamp;
    watch.units = 0;
  } else if (timestamp < watch.since) {
    watch.since = timestamp;  // the stream's clock began again (a new connection)
  }
  watch.latest = timestamp;
  if (watch.units < UINT32_MAX) ++watch.units;
}

void NotePictureUsed(HandOffWatch& watch) {
  watch.pictureUsed = true;
  watch.counting = false;
  watch.units = 0;
}

bool HandOffFailed(const HandOffWatch& watch) {
  return watch.watching && watch.counting && watch.units >= kHandOffStallUnits &&
         watch.latest - watch.since >= kHandOffStallTime;
}

bool HasKeyPicture(const uint8_t* data, size_t size, int codec) {
  if (!data) return false;
  // Every NAL unit follows a 00 00 01 start code (the 4-byte form ends in one).
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t header = data[i + 3];
    if (codec == 2) {
      const int type = (header >> 1) & 0x3F;
      if (type >= 16 && type <= 23) return true;  // BLA, IDR, CRA and the reserved IRAP types
    } else if ((header & 0x1F) == 5) {
      return true;
    }
    i += 2;
  }
  return false;
}
