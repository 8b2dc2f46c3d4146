#pragma once
// A small synchronous HTTPS client over WinHTTP for one UniFi console: bound to
// one host and port, it carries the console's session cookie (TOKEN=...) and CSRF
// token from each response into the following requests. Every request uses TLS
// and accepts any server certificate, unless a pin is set (PinCertificate): then
// the server's certificate is judged before any request body is sent. Nothing it
// learns is persisted.
#include <cstdint>
#include <string>
#include <string_view>

#include "console/discovery.h"  // HttpResponse

// Response bodies larger than this fail ("response too large") instead of
// growing without bound.
constexpr size_t kMaxResponseBody = size_t{32} << 20;

// No request lasts longer than this, however slowly the server answers: WinHTTP's
// 12 s time-outs bound each wait for the next byte, and a server that sends one
// byte every few seconds would otherwise hold the Discover dialog for ever. Three
// times the time-out: as long as a request stalled at each of its three waits
// (send, response headers, one read) could already last, and many times what a
// console on the local network needs for its largest answer. A request that runs
// out of time fails as a time-out would fail it there: during the send
// "SendRequest failed (12002)", later "ReceiveResponse failed (12002)" (a body
// cut short is never passed on as the answer).
constexpr unsigned kRequestDeadlineMs = 36000;

class HttpClient {
 public:
  // Opens the WinHTTP session and connection; a failure there surfaces as the
  // error "no connection" of every request.
  HttpClient(std::wstring host, uint16_t port);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Blocks the caller until the response is read, at most kRequestDeadlineMs.
  // The exchange itself runs on a thread of its own; one overdue at the deadline
  // is left to close its request handle and end by itself.
  HttpResponse Request(std::wstring_view method, std::wstring_view path, const std::string& body,
                       std::wstring_view contentType);

  const std::string& Cookie() const { return cookie; }
  const std::string& CsrfToken() const { return csrfToken; }

  // The certificate the server must present (cert_pin.h). Every request's server
  // certificate is judged when the request is about to be sent, and the body
  // follows the headers only once it is trusted; a refused request fails with
  // certificateRefused set. The first trusted certificate of a session without a
  // pin becomes its pin, so a session never changes servers midway.
  void PinCertificate(const CertPolicy& policy) { certificate = policy; }
  // The fingerprint of the certificate presented for the last request; empty
  // when none could be read.
  const std::string& PresentedCertificate() const { return presented; }

 private:
  void* session = nullptr;     // HINTERNET from WinHttpOpen
  void* connection = nullptr;  // HINTERNET from WinHttpConnect
  std::wstring host;
  uint16_t port = 0;
  std::string cookie;     // "TOKEN=..." or empty
  std::string csrfToken;  // last X-CSRF-Token value or empty
  CertPolicy certificate;
  std::string presented;
};

// SHA-256 of a DER certificate as 64 lowercase hex digits; empty for no bytes or
// when the hash cannot be made.
std::string CertificateSha256(const unsigned char* der, size_t size);
// The fingerprint of the certificate presented to a WinHTTP request handle
// (HINTERNET); empty when it cannot be read.
std::string ServerCertificateSha256(void* request);
