// The platform-independent part of the socket layer.
#include "rtsp/net_socket.h"

long long SocketByteStream::Receive(uint8_t* buffer, size_t capacity) {
  if (!StillOwned()) return -1;
  return NetReceive(socket_, buffer, capacity);
}

long long SocketByteStream::Send(const uint8_t* data, size_t size) {
  if (!StillOwned()) return -1;
  return NetSend(socket_, data, size);
}
