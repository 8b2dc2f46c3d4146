#include "console/http_client_win.h"

#include <windows.h>
#include <winhttp.h>

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
  const DWORD bodyBytes = static_cast<DWORD>(body.size());
  const BOOL sent = WinHttpSendRequest(
      request, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
      headers.empty() ? 0 : static_cast<DWORD>(-1),
      body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data()), bodyBytes, bodyBytes, 0);
  if (!sent) {
    response.error = FailedWithCode("SendRequest failed", GetLastError());
    WinHttpCloseHandle(request);
    return response;
  }
  if (!WinHttpReceiveResponse(request, nullptr)) {
    response.error = FailedWithCode("ReceiveResponse failed", GetLastError());
    WinHttpCloseHandle(request);
    return response;
  }

  DWORD status = 0;
  DWORD statusBytes = sizeof status;
  if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusBytes, WINHTTP_NO_HEADER_INDEX))
    response.status = status;

  wchar_t token[kCsrfBufferBytes / sizeof(wchar_t)];
  DWORD tokenBytes = sizeof token;
  if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, L"X-CSRF-Token", token, &tokenBytes,
                          WINHTTP_NO_HEADER_INDEX))
    csrfToken = Narrow(std::wstring_view(token, tokenBytes / sizeof(wchar_t)));

  DWORD index = 0;
  std::wstring value;
  for (DWORD count = 0; count < kMaxCookieHeaders && QuerySetCookie(request, &index, value); ++count) {
    if (value.size() >= 6 && value.compare(0, 6, L"TOKEN=") == 0)
      cookie = Narrow(std::wstring_view(value).substr(0, value.find(L';')));
  }

  bool tooLarge = false;
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available) || available == 0) break;
    const size_t have = response.body.size();
    if (available > kMaxResponseBody - have) {
      tooLarge = true;
      break;
    }
    response.body.resize(have + available);
    DWORD read = 0;
    const BOOL readOk = WinHttpReadData(request, response.body.data() + have, available, &read);
    response.body.resize(have + (readOk ? read : 0));
    if (!readOk || read == 0) break;
  }
  WinHttpCloseHandle(request);
  if (tooLarge) {
    response.body.clear();
    response.body.shrink_to_fit();
    response.error = "response too large (over 32 MiB)";
    return response;
  }
  response.ok = true;
  return response;
}
