#pragma once
// A tiny TCP socket layer: the only place where POSIX sockets and Winsock
// differ. Handles travel as NetSocket (an int file descriptor or a SOCKET,
// both fit); kInvalidNetSocket is -1 / INVALID_SOCKET.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "rtsp/byte_stream.h"

using NetSocket = std::intptr_t;
inline constexpr NetSocket kInvalidNetSocket = -1;

// Winsock 2.2 start-up, done once per process (never cleaned up). No-op on POSIX.
bool NetStartup();

// socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); kInvalidNetSocket on failure.
NetSocket NetCreateTcpSocket();
// SO_RCVTIMEO and SO_SNDTIMEO in milliseconds; results ignored.
void NetSetTimeouts(NetSocket s, int milliseconds);
// TCP_NODELAY = 1; result ignored.
void NetSetNoDelay(NetSocket s);
// IPv4 address in network byte order: dotted text, else the first IPv4 result of getaddrinfo.
bool NetResolveIpv4(const std::string& host, uint32_t* addressNetworkOrder);
// Blocking connect to an IPv4 address (network order) and port (host order).
bool NetConnect(NetSocket s, uint32_t addressNetworkOrder, uint16_t port);
// One send / one receive; below 1 means failure (for receive also time-out or orderly close).
long long NetSend(NetSocket s, const uint8_t* data, size_t size);
long long NetReceive(NetSocket s, uint8_t* buffer, size_t capacity);
// Closes the handle so that a call blocked on it in another thread fails at once
// (POSIX: shutdown first, since close alone does not wake a blocked recv).
void NetClose(NetSocket s);

// Listening socket on 127.0.0.1 (port 0 picks a free one; the bound port is returned).
// Used by test servers.
NetSocket NetListenLoopback(uint16_t port, uint16_t* boundPort);
NetSocket NetAccept(NetSocket listener);

// The byte stream of one connection. When `owner` is given, every call first checks
// that the owner still holds this handle, so a handle that another thread has taken
// out and closed (and that the system may already have reused) is never touched again.
class SocketByteStream : public ByteStream {
 public:
  explicit SocketByteStream(NetSocket s, const std::atomic<NetSocket>* owner = nullptr)
      : socket_(s), owner_(owner) {}
  long long Receive(uint8_t* buffer, size_t capacity) override;
  long long Send(const uint8_t* data, size_t size) override;

 private:
  bool StillOwned() const { return owner_ == nullptr || owner_->load() == socket_; }
  NetSocket socket_;
  const std::atomic<NetSocket>* owner_;
};
