// POSIX sockets behind net_socket.h.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include "rtsp/net_socket.h"

#ifdef MSG_NOSIGNAL
static constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed peer gives an error, not SIGPIPE
#else
static constexpr int kSendFlags = 0;
#endif

bool NetStartup() {
  return true;
}

NetSocket NetCreateTcpSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) return kInvalidNetSocket;
#ifdef SO_NOSIGPIPE
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
  return fd;
}

void NetSetTimeouts(NetSocket s, int milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = (milliseconds % 1000) * 1000;
  setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(static_cast<int>(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void NetSetNoDelay(NetSocket s) {
  int one = 1;
  setsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool NetResolveIpv4(const std::string& host, uint32_t* addressNetworkOrder) {
  in_addr addr{};
  if (inet_pton(AF_INET, host.c_str(), &addr) == 1) {
    *addressNetworkOrder = addr.s_addr;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) return false;
  bool found = false;
  if (list->ai_family == AF_INET && list->ai_addr != nullptr) {
    sockaddr_in sin{};
    std::memcpy(&sin, list->ai_addr, sizeof sin);
    *addressNetworkOrder = sin.sin_addr.s_addr;
    found = true;
  }
  freeaddrinfo(list);
  return found;
}

bool NetConnect(NetSocket s, uint32_t addressNetworkOrder, uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = addressNetworkOrder;
  return ::connect(static_cast<int>(s), reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == 0;
}

long long NetSend(NetSocket s, const uint8_t* data, size_t size) {
  return ::send(static_cast<int>(s), data, size, kSendFlags);
}

long long NetReceive(NetSocket s, uint8_t* buffer, size_t capacity) {
  return ::recv(static_cast<int>(s), buffer, capacity, 0);
}

void NetClose(NetSocket s) {
  if (s == kInvalidNetSocket) return;
  ::shutdown(static_cast<int>(s), SHUT_RDWR);
  ::close(static_cast<int>(s));
}

NetSocket NetListenLoopback(uint16_t port, uint16_t* boundPort) {
  int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) return kInvalidNetSocket;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0 ||
      ::listen(fd, 16) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
    ::close(fd);
    return kInvalidNetSocket;
  }
  if (boundPort != nullptr) *boundPort = ntohs(sin.sin_port);
  return fd;
}

NetSocket NetAccept(NetSocket listener) {
  int fd = ::accept(static_cast<int>(listener), nullptr, nullptr);
  return fd < 0 ? kInvalidNetSocket : fd;
}
