// Winsock 2 behind net_socket.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "rtsp/net_socket.h"

// The first caller starts Winsock; callers that arrive meanwhile wait for it to finish.
bool NetStartup() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(0x0202, &data) == 0;
  }();
  return started;
}

NetSocket NetCreateTcpSocket() {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return s == INVALID_SOCKET ? kInvalidNetSocket : static_cast<NetSocket>(s);
}

void NetSetTimeouts(NetSocket s, int milliseconds) {
  DWORD ms = static_cast<DWORD>(milliseconds);
  setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms),
             sizeof ms);
  setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms),
             sizeof ms);
}

void NetSetNoDelay(NetSocket s) {
  DWORD one = 1;
  setsockopt(static_cast<SOCKET>(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
             sizeof one);
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
  return ::connect(static_cast<SOCKET>(s), reinterpret_cast<const sockaddr*>(&sin), sizeof sin) ==
         0;
}

long long NetSend(NetSocket s, const uint8_t* data, size_t size) {
  int chunk = size > 0x40000000u ? 0x40000000 : static_cast<int>(size);
  return ::send(static_cast<SOCKET>(s), reinterpret_cast<const char*>(data), chunk, 0);
}

long long NetReceive(NetSocket s, uint8_t* buffer, size_t capacity) {
  int chunk = capacity > 0x40000000u ? 0x40000000 : static_cast<int>(capacity);
  return ::recv(static_cast<SOCKET>(s), reinterpret_cast<char*>(buffer), chunk, 0);
}

// closesocket wakes a call blocked on the handle in another thread (shutdown does not).
void NetClose(NetSocket s) {
  if (s == kInvalidNetSocket) return;
  closesocket(static_cast<SOCKET>(s));
}

NetSocket NetListenLoopback(uint16_t port, uint16_t* boundPort) {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kInvalidNetSocket;
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof sin;
  if (::bind(s, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0 || ::listen(s, 16) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
    closesocket(s);
    return kInvalidNetSocket;
  }
  if (boundPort != nullptr) *boundPort = ntohs(sin.sin_port);
  return static_cast<NetSocket>(s);
}

NetSocket NetAccept(NetSocket listener) {
  SOCKET s = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  return s == INVALID_SOCKET ? kInvalidNetSocket : static_cast<NetSocket>(s);
}
