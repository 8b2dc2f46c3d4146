#pragma once
// The camera slots: rebuilding them from config.Cameras, and handing the
// selected slot's audio description to the audio output. UI thread only.

struct Slot;

// Stops every client, destroys every slot, sorts config.Cameras by name and
// builds one slot with a started stream client per camera with an address (at
// most 16); selects the slot named config.SelectedCamera and lays out the tiles.
void BuildSlots();
// Passes the selected slot's AAC description (once its stream announced one)
// to the audio output.
void RefreshAudioFormat();
