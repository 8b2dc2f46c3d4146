#include "console/http_client_win.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
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

#include "config/app_config.h"
#include "config/wide_text_win.h"

namespace {

constexpr DWORD kTimeoutMs = 12000;
// Any certificate is accepted: unknown issuer, wrong usage, wrong name, expired.
constexpr DWORD kSecurityFlags =
    SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
    SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;  // 0x3300
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
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_SET_COOKIE, WINHTTP_HEADER_NAME_BY_INDEX,
                           buffer.data(), &bytes, index)) {
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
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_SET_COOKIE, WINHTTP_HEADER_NAME_BY_INDEX,
                             buffer.data(), &bytes, index))
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

  // The server's certificate, judged by the running thread when the request is
  // about to go out (set before it starts: certificate, withholdBody).
  CertPolicy certificate;     // the client's
  bool withholdBody = false;  // the body follows the headers only once the certificate is trusted
  bool judged = false;        // under `lock`, as are the two below
  bool refused = false;       // stays set: a redirect to a trusted server does not undo it
  std::string presented;      // the fingerprint last judged
};

// Judges the certificate the server of `request` presents.
void JudgeServer(HINTERNET request, Exchange& exchange) {
  std::string fingerprint = ServerCertificateSha256(request);
  const bool refuse = JudgeCertificate(exchange.certificate.pinned, fingerprint,
                                       exchange.certificate.offered) == CertVerdict::Refuse;
  std::lock_guard<std::mutex> hold(exchange.lock);
  exchange.presented = std::move(fingerprint);
  exchange.judged = true;
  if (refuse) exchange.refused = true;
}

// Judges the server's certificate when the connection is up and the request
// about to be sent, and notes when the request has gone out, so that a deadline
// is told apart from a send that never finished. In a synchronous session these
// notifications come during WinHttpSendRequest (and during WinHttpReceiveResponse
// for a redirect), while the running thread holds the exchange.
void CALLBACK OnRequestStatus(HINTERNET request, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
  if (context == 0) return;
  Exchange& exchange = *reinterpret_cast<Exchange*>(context);
  if (status == WINHTTP_CALLBACK_STATUS_SENDING_REQUEST)
    JudgeServer(request, exchange);
  else if (status == WINHTTP_CALLBACK_STATUS_REQUEST_SENT && !exchange.withholdBody)
    exchange.stage.store(Stage::AwaitingHeaders);
}

bool Judged(Exchange& exchange) {
  std::lock_guard<std::mutex> hold(exchange.lock);
  return exchange.judged;
}

bool Refused(Exchange& exchange) {
  std::lock_guard<std::mutex> hold(exchange.lock);
  return exchange.refused;
}

// The request body, after headers sent without it; false with the thread's last
// error set when it cannot be written whole.
bool WriteBody(HINTERNET request, const std::string& body) {
  size_t written = 0;
  while (written < body.size()) {
    DWORD wrote = 0;
    if (!WinHttpWriteData(request, body.data() + written, static_cast<DWORD>(body.size() - written),
                          &wrote))
      return false;
    if (wrote == 0) {
      SetLastError(ERROR_WINHTTP_CONNECTION_ERROR);
      return false;
    }
    written += wrote;
  }
  return true;
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
  // A body held back is announced (Content-Length) and written only after the
  // certificate has been judged.
  const bool bodyNow = !exchange.body.empty() && !exchange.withholdBody;
  bool sent =
      WinHttpSendRequest(
          request,
          exchange.headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : exchange.headers.c_str(),
          exchange.headers.empty() ? 0 : static_cast<DWORD>(-1),
          bodyNow ? exchange.body.data() : WINHTTP_NO_REQUEST_DATA, bodyNow ? bodyBytes : 0,
          bodyBytes, reinterpret_cast<DWORD_PTR>(&exchange)) != FALSE;
  DWORD sendError = sent ? ERROR_SUCCESS : GetLastError();
  bool refused = false;
  if (sent) {
    // Without the notification (or its callback) the certificate is judged here:
    // the connection is up, and the body still unsent.
    if (!Judged(exchange)) JudgeServer(request, exchange);
    refused = Refused(exchange);
    if (!refused && exchange.withholdBody && !WriteBody(request, exchange.body)) {
      sent = false;
      sendError = GetLastError();
    }
  }
  bool tooLarge = false;
  if (sent && !refused) exchange.stage.store(Stage::AwaitingHeaders);
  if (refused) {
    // Nothing more goes to this server: the handle is closed below.
  } else if (!sent) {
    response.error = FailedWithCode("SendRequest failed", sendError);
  } else if (Abandoned(exchange)) {
    // The caller has stopped waiting: nothing more to ask of the server.
  } else if (!WinHttpReceiveResponse(request, nullptr)) {
    response.error = FailedWithCode("ReceiveResponse failed", GetLastError());
  } else if (!Abandoned(exchange) && !Refused(exchange)) {
    DWORD status = 0;
    DWORD statusBytes = sizeof status;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusBytes,
                            WINHTTP_NO_HEADER_INDEX))
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
    for (DWORD count = 0; count < kMaxCookieHeaders && QuerySetCookie(request, &index, value);
         ++count) {
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
  if (exchange.refused) {  // also a redirect to a server not trusted
    exchange.response.status = 0;
    exchange.response.body.clear();
    exchange.response.error = "certificate refused";
    exchange.response.certificateRefused = true;
  } else if (!response.error.empty()) {
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
  session = WinHttpOpen(L"Orbisfield-Tavik/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (session == nullptr) return;
  WinHttpSetTimeouts(session, kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs);
  connection = WinHttpConnect(session, host.c_str(), port, 0);
}

HttpClient::~HttpClient() {
  if (connection != nullptr) WinHttpCloseHandle(connection);
  if (session != nullptr) WinHttpCloseHandle(session);
}

HttpResponse HttpClient::Request(std::wstring_view method, std::wstring_view path,
                                 const std::string& body, std::wstring_view contentType) {
  HttpResponse response;
  if (connection == nullptr) {
    response.error = "no connection";
    return response;
  }
  const std::wstring methodText(method);
  const std::wstring pathText(path);
  HINTERNET request =
      WinHttpOpenRequest(connection, methodText.c_str(), pathText.c_str(), nullptr,
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
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                   sizeof responseTimeout);
  // The session cookie is sent by hand below; WinHTTP's own cookie store would
  // add the console's other cookies (and duplicates) to the Cookie line.
  DWORD disabled = WINHTTP_DISABLE_COOKIES;
  WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled);

  std::wstring headers;
  if (!contentType.empty()) headers.append(L"Content-Type: ").append(contentType).append(L"\r\n");
  if (!cookie.empty()) headers.append(L"Cookie: ").append(Widen(cookie)).append(L"\r\n");
  if (!csrfToken.empty())
    headers.append(L"X-CSRF-Token: ").append(Widen(csrfToken)).append(L"\r\n");

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
  exchange->certificate = certificate;
  exchange->withholdBody = !certificate.pinned.empty() && !body.empty();
  // Told when the request is about to go out (the certificate is judged then) and
  // when it has gone; without these, both are done when the send returns.
  WinHttpSetStatusCallback(request, OnRequestStatus, WINHTTP_CALLBACK_FLAG_SEND_REQUEST, 0);

  // WinHTTP's time-outs bound each wait for a byte, not a server that sends one
  // every few seconds for ever. The request runs on its own thread so that the
  // caller (the Discover dialog) waits no longer than the request's deadline.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestDeadlineMs);
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
  if (exchange->stage.load() ==
      Stage::ReadingBody) {  // the headers were read: their cookie and token count
    cookie = exchange->cookie;
    csrfToken = exchange->csrfToken;
  }
  // The certificate that was trusted is the session's from now on.
  presented = exchange->presented;
  if (!exchange->refused && IsCertFingerprint(presented)) certificate.pinned = presented;
  hold.unlock();
  if (runner.joinable()) {
    if (done)
      runner.join();  // it has closed the handle and is returning
    else
      runner.detach();  // still inside WinHTTP: it closes the handle and ends on its own
  }
  return response;
}

std::string CertificateSha256(const unsigned char* der, size_t size) {
  if (der == nullptr || size == 0 || size > 0xFFFFFFFFu) return {};
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
    return {};
  unsigned char digest[32];
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool made = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  if (made) {
    made = BCRYPT_SUCCESS(
               BCryptHashData(hash, const_cast<PUCHAR>(der), static_cast<ULONG>(size), 0)) &&
           BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0));
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return made ? HexLower(digest, sizeof digest) : std::string();
}

std::string ServerCertificateSha256(void* request) {
  if (request == nullptr) return {};
  PCCERT_CONTEXT certificate = nullptr;
  DWORD size = sizeof certificate;
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size) ||
      certificate == nullptr)
    return {};
  std::string fingerprint =
      CertificateSha256(certificate->pbCertEncoded, certificate->cbCertEncoded);
  CertFreeCertificateContext(certificate);
  return fingerprint;
}
