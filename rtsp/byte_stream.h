#pragma once
// The two socket calls the RTSP reader and writer need, behind an interface so
// that the byte-level code runs over a real socket in the client and over a
// scripted source in tests.
#include <cstddef>
#include <cstdint>

struct ByteStream {
  virtual ~ByteStream() = default;
  // One receive of at most `capacity` bytes. Below 1: error, time-out or orderly close.
  virtual long long Receive(uint8_t* buffer, size_t capacity) = 0;
  // One send of at most `size` bytes; returns how many went, below 1 on failure.
  virtual long long Send(const uint8_t* data, size_t size) = 0;
};
