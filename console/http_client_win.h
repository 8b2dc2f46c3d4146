#pragma once
// A small synchronous HTTPS client over WinHTTP for one UniFi console: bound to
// one host and port, it carries the console's session cookie (TOKEN=...) and CSRF
// token from each response into the following requests. Every request uses TLS
// and accepts any server certificate. Nothing it learns is persisted.
#include <cstdint>
#include <string>
#include <string_view>

#include "console/discovery.h"  // HttpResponse

// Response bodies larger than this fail ("response too large") instead of
// growing without bound.
constexpr size_t kMaxResponseBody = size_t{32} << 20;

class HttpClient {
 public:
  // Opens the WinHTTP session and connection; a failure there surfaces as the
  // error "no connection" of every request.
  HttpClient(std::wstring host, uint16_t port);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  HttpResponse Request(std::wstring_view method, std::wstring_view path, const std::string& body,
                       std::wstring_view contentType);

  const std::string& Cookie() const { return cookie; }
  const std::string& CsrfToken() const { return csrfToken; }

 private:
  void* session = nullptr;     // HINTERNET from WinHttpOpen
  void* connection = nullptr;  // HINTERNET from WinHttpConnect
  std::wstring host;
  uint16_t port = 0;
  std::string cookie;     // "TOKEN=..." or empty
  std::string csrfToken;  // last X-CSRF-Token value or empty
};
