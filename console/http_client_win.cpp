#include "console/http_client_win.h"

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "config/wide_text_win.h"

namespace {

constexpr DWORD kTimeoutMs = 12000;
// Any certificate is accepted: unknown issuer, wrong usage, wrong name, expired.
constexpr DWORD kSecurityFlags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                                 SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                 SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;  // 0x3300
constexpr DWORD kCsrfBufferBytes = 1024;
constexpr DWORD kCookieBufferBytes = 8192;
// Set-Cookie values longer than this are skipped; so are headers past this count.
constexpr DWORD kMaxCookieBytes = 65536;
constexpr DWORD kMaxCookieHeaders = 256;

std::string FailedWithCode(const char* what, DWORD code) {
  return std::string(what) + " (" + std::to_string(code) + ")";
}

// The Set-Cookie header at *index (the call advances it); false when there is none.
bool QuerySetCookie(HINTERNET request, DWORD* index, std::wstring& value) {
  const DWORD at = *index;
  DWORD bytes = kCookieBufferBytes;
  std::vector<wchar_t> buffer(bytes / sizeof(wchar_t));
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_SET_COOKIE, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(),
                           &bytes, index)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    // A long cookie of another name must not hide the session cookie after it:
    // read it whole, or skip it when it is beyond any sensible size.
    *index = at;
    if (bytes > kMaxCookieBytes) {
      *index = at + 1;
      value.clear();
      return true;
    }
    buffer.assign(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_SET_COOKIE, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(),
                             &bytes, index))
      return false;
  }
  value.assign(buffer.data(), bytes / sizeof(wchar_t));
  return true;
}

// Where a request stands, as far as a deadline is concerned.
enum class Stage : int {
  Sending,          // connecting, sending the request
  AwaitingHeaders,  // the request is out; waiting for the status line and headers
  ReadingBody,      // status, cookie and token known; reading the body
};

// One request on its way: handed to the thread that runs it. The request handle
// belongs to that thread alone (it makes every call on it and closes it); the
// caller only waits for the result, at most until the request's deadline, and
// reads the fields below under `lock`. A caller that stops waiting sets
// `abandoned`; the thread then stops at its next return from WinHTTP, closes the
// handle and lets go of the exchange. Shared ownership keeps the exchange alive
// for whichever of the two finishes last.
struct Exchange {
  HINTERNET request = nullptr;
  std::wstring headers;
  std::string body;
  std::atomic<Stage> stage{Stage::Sending};

  std::mutex lock;
  std::condition_variable finished;
  bool done = false;       // the thread has closed the handle and filled `response`
  bool abandoned = false;  // the caller has stopped waiting
  HttpResponse response;   // body grows as it is read
  std::string cookie;      // starts as the client's; replaced by a TOKEN cookie
  std::string csrfToken;   // starts as the client's; replaced by an X-CSRF-Token
};

// Notes when the request has gone out, so that a deadline is told apart from a
// send that never finished. In a synchronous session these notifications come
// during WinHttpSendRequest, while the running thread holds the exchange.
void CALLBACK OnRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
  if (status == WINHTTP_CALLBACK_STATUS_REQUEST_SENT && context != 0)
    reinterpret_cast<Exchange*>(context)->stage.store(Stage::AwaitingHeaders);
}

bool Abandoned(Exchange& exchange) {
  std::lock_guard<std::mutex> hold(exchange.lock);
  return exchange.abandoned;
}

// Sends the request, reads the response and closes the request handle; the
// whole of one request, on the thread that runs it.
void RunExchange(const std::shared_ptr<Exchange>& shared) {
  Exchange& exchange = *shared;
  HINTERNET request = exchange.request;
  HttpResponse response;
  const DWORD bodyBytes = static_cast<DWORD>(exchange.body.size());
  const BOOL sent = WinHttpSendRequest(
      request, exchange.headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : exchange.headers.c_str(),
      exchange.headers.empty() ? 0 : static_cast<DWORD>(-1),
      exchange.body.empty() ? WINHTTP_NO_REQUEST_DATA : exchange.body.data(), bodyBytes, bodyBytes,
      reinterpret_cast<DWORD_PTR>(&exchange));
  bool tooLarge = false;
  if (sent) exchange.stage.store(Stage::AwaitingHeaders);
  if (!sent) {
    response.error = FailedWithCode("SendRequest failed", GetLastError());
  } else if (Abandoned(exchange)) {
    // The caller has stopped waiting: nothing more to ask of the server.
  } else if (!WinHttpReceiveResponse(request, nullptr)) {
    response.error = FailedWithCode("ReceiveResponse failed", GetLastError());
  } else if (!Abandoned(exchange)) {
    DWORD status = 0;
    DWORD statusBytes = sizeof status;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusBytes, WINHTTP_NO_HEADER_INDEX))
      response.status = status;

    std::string csrfToken;
    bool tokenCame = false;
    wchar_t token[kCsrfBufferBytes / sizeof(wchar_t)];
    DWORD tokenBytes = sizeof token;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, L"X-CSRF-Token", token, &tokenBytes,
                            WINHTTP_NO_HEADER_INDEX)) {
      csrfToken = Narrow(std::wstring_view(token, tokenBytes / sizeof(wchar_t)));
      tokenCame = true;
    }
    std::string cookie;
    bool cookieCame = false;
    DWORD index = 0;
    std::wstring value;
    for (DWORD count = 0; count < kMaxCookieHeaders && QuerySetCookie(request, &index, value); ++count) {
      if (value.size() >= 6 && value.compare(0, 6, L"TOKEN=") == 0) {
        cookie = Narrow(std::wstring_view(value).substr(0, value.find(L';')));
        cookieCame = true;
      }
    }
    {
      std::lock_guard<std::mutex> hold(exchange.lock);
      exchange.response.status = response.status;
      if (tokenCame) exchange.csrfToken = std::move(csrfToken);
      if (cookieCame) exchange.cookie = std::move(cookie);
      exchange.stage.store(Stage::ReadingBody);
    }

    // Each piece read is added to the exchange at once; reading stops as soon
    // as the caller has given up on the request.
    std::string piece;
    size_t have = 0;
    while (!Abandoned(exchange)) {
      DWORD available = 0;
      if (!WinHttpQueryDataAvailable(request, &available) || available == 0) break;
      if (available > kMaxResponseBody - have) {
        tooLarge = true;
        break;
      }
      piece.resize(available);
      DWORD read = 0;
      if (!WinHttpReadData(request, piece.data(), available, &read) || read == 0) break;
      std::lock_guard<std::mutex> hold(exchange.lock);
      if (exchange.abandoned) break;
      exchange.response.body.append(piece.data(), read);
      have += read;
    }
  }
  WinHttpCloseHandle(request);

  std::lock_guard<std::mutex> hold(exchange.lock);
  if (!response.error.empty()) {
    exchange.response.error = std::move(response.error);
  } else if (tooLarge) {
    exchange.response.body.clear();
    exchange.response.body.shrink_to_fit();
    exchange.response.error = "response too large (over 32 MiB)";
  } else {
    exchange.response.ok = true;  // also when the body stopped on a failed read
  }
  exchange.done = true;
  exchange.finished.notify_all();
}

// The answer to a request whose deadline passed: a time-out, reported as the
// platform reports one at the same point. A body cut by the deadline is not
// handed on: read as a whole answer, it would be judged as a wrong one.
HttpResponse OverdueResponse(Exchange& exchange) {
  HttpResponse response;
  switch (exchange.stage.load()) {
    case Stage::Sending:
      response.error = FailedWithCode("SendRequest failed", ERROR_WINHTTP_TIMEOUT);
      break;
    case Stage::AwaitingHeaders:
    case Stage::ReadingBody:
      response.error = FailedWithCode("ReceiveResponse failed", ERROR_WINHTTP_TIMEOUT);
      break;
  }
  return response;
}

}  // namespace

HttpClient::HttpClient(std::wstring hostName, uint16_t serverPort)
    : host(std::move(hostName)), port(serverPort) {
  session = WinHttpOpen(L"Orbisfield-Tavik/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                        WINHTTP_NO_PROXY_BYPASS, 0);
  if (session == nullptr) return;
  WinHttpSetTimeouts(session, kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs);
  connection = WinHttpConnect(session, host.c_str(), port, 0);
}

HttpClient::~HttpClient() {
  if (connection != nullptr) WinHttpCloseHandle(connection);
  if (session != nullptr) WinHttpCloseHandle(session);
}

HttpResponse HttpClient::Request(std::wstring_view method, std::wstring_view path, const std::string& body,
                                 std::wstring_view contentType) {
  HttpResponse response;
  if (connection == nullptr) {
    response.error = "no connection";
    return response;
  }
  const std::wstring methodText(method);
  const std::wstring pathText(path);
  HINTERNET request = WinHttpOpenRequest(connection, methodText.c_str(), pathText.c_str(), nullptr,
                                         WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
  if (request == nullptr) {
    response.error = "OpenRequest failed";
    return response;
  }
  DWORD securityFlags = kSecurityFlags;
  WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &securityFlags, sizeof securityFlags);
  // The wait for the response headers has its own time-out (90 s by default),
  // not covered by the session's receive time-out: a console that accepts the
  // request and never answers would hold the Discover dialog that long.
  DWORD responseTimeout = kTimeoutMs;
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout, sizeof responseTimeout);
  // The session cookie is sent by hand below; WinHTTP's own cookie store would
  // add the console's other cookies (and duplicates) to the Cookie line.
  DWORD disabled = WINHTTP_DISABLE_COOKIES;
  WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled);

  std::wstring headers;
  if (!contentType.empty()) headers.append(L"Content-Type: ").append(contentType).append(L"\r\n");
  if (!cookie.empty()) headers.append(L"Cookie: ").append(Widen(cookie)).append(L"\r\n");
  if (!csrfToken.empty()) headers.append(L"X-CSRF-Token: ").append(Widen(csrfToken)).append(L"\r\n");

  if (body.size() > kMaxResponseBody) {  // nothing this client sends comes near it
    WinHttpCloseHandle(request);
    response.error = "request too large";
    return response;
  }
  auto exchange = std::make_shared<Exchange>();
  exchange->request = request;
  exchange->headers = std::move(headers);
  exchange->body = body;
  exchange->cookie = cookie;
  exchange->csrfToken = csrfToken;
  // Told when the request has gone out; without it, that is known when the send returns.
  WinHttpSetStatusCallback(request, OnRequestStatus, WINHTTP_CALLBACK_FLAG_SEND_REQUEST, 0);

  // WinHTTP's time-outs bound each wait for a byte, not a server that sends one
  // every few seconds for ever. The request runs on its own thread so that the
  // caller (the Discover dialog) waits no longer than the request's deadline.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestDeadlineMs);
  std::thread runner;
  try {
    runner = std::thread(RunExchange, exchange);
  } catch (const std::system_error&) {
    RunExchange(exchange);  // no thread to be had: run it here, bounded by the time-outs alone
  }
  std::unique_lock<std::mutex> hold(exchange->lock);
  const bool done = exchange->finished.wait_until(hold, deadline, [&] { return exchange->done; });
  if (done) {
    response = std::move(exchange->response);
  } else {
    exchange->abandoned = true;
    response = OverdueResponse(*exchange);
  }
  if (exchange->stage.load() == Stage::ReadingBody) {  // the headers were read: their cookie and token count
    cookie = exchange->cookie;
    csrfToken = exchange->csrfToken;
  }
  hold.unlock();
  if (runner.joinable()) {
    if (done)
      runner.join();  // it has closed the handle and is returning
    else
      runner.detach();  // still inside WinHTTP: it closes the handle and ends on its own
  }
  return response;
}
