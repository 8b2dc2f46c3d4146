// The safety net of the GPU hand-off. A decoder opened with the Direct3D
// device manager is meant to hand its pictures to the renderer as textures on
// the shared device. A decoder or driver that takes access units but never
// yields a texture the renderer can use would leave its tile without a picture
// for good; the watch notices that (a few seconds of stream after a key
// picture, and not one usable picture) so that the slot can decode into
// system memory instead.
#pragma once

#include <cstddef>
#include <cstdint>

// Stream time (100 ns units) and accepted access units, both reached without a
// usable picture, after which the hand-off counts as failed.
constexpr int64_t kHandOffStallTime = 30000000;  // 3 s
constexpr uint32_t kHandOffStallUnits = 20;

struct HandOffWatch {
  bool watching = false;     // the decoder hands its pictures over on the GPU
  bool pictureUsed = false;  // the renderer took at least one of them
  bool counting = false;     // units went in since a key picture or the last used picture
  int64_t since = 0;         // timestamp of the first of those units
  int64_t latest = 0;        // timestamp of the last of them
  uint32_t units = 0;        // how many there were
};

// A decoder was opened; gpuHandOff: it hands its pictures over as textures.
// A decoder that does not is never judged.
void StartHandOffWatch(HandOffWatch& watch, bool gpuHandOff);
// The decoder accepted an access unit with this timestamp (100 ns units).
// keyPicture: the unit holds a picture that decodes on its own; nothing can
// come out before the first one, so counting starts there.
void NoteUnitAccepted(HandOffWatch& watch, bool keyPicture, int64_t timestamp);
// The renderer took one of the decoder's pictures.
void NotePictureUsed(HandOffWatch& watch);
// True once a watched decoder has accepted at least kHandOffStallUnits units
// spanning at least kHandOffStallTime of stream, counted from its first key
// picture or from its last used picture, without a picture the renderer took.
bool HandOffFailed(const HandOffWatch& watch);

// Whether an Annex-B access unit holds a picture that decodes on its own: an
// IDR slice for H.264 (any codec other than 2), an IRAP picture (BLA, IDR,
// CRA) for H.265 (codec 2).
bool HasKeyPicture(const uint8_t* data, size_t size, int codec);
