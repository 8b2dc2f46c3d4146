#pragma once
// The camera slots: rebuilding them from config.Cameras, and handing the
// selected slot's audio description to the audio output. UI thread only.

struct Slot;

// Stops every client, destroys every slot, sorts config.Cameras by name and
// builds one slot per camera with an address (at most 16); selects the slot
// named config.SelectedCamera, lays out the tiles and starts each slot's stream
// (its sub stream when it has one and its tile is a thumbnail).
void BuildSlots();
// After the layout changed, and on the refresh timer: each slot with a sub
// address asks for the stream that fits its tile (and gives up a sub stream
// that never delivered); connections open and close to match.
void UpdateStreams();
// kStreamsSettleMessage: a switch ended; the connection it left closes.
void SettleStreams();
// Passes the selected slot's AAC description (once its stream announced one)
// to the audio output.
void RefreshAudioFormat();
