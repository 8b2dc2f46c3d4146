// The WinHTTP client and discovery over it. The HttpClientLive and DiscoveryLive
// cases talk to the stand-in console (tests/bed/console.py) whose port is in
// TAVIK_CONSOLE_PORT; tests/e2e/http_client_test.py starts it with the scenario
// each case expects. Without it they are skipped.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "config/json.h"
#include "config/wide_text_win.h"
#include "console/discovery.h"
#include "console/http_client_win.h"

namespace {

const char kNoConsole[] =
    "no test console: run tests/e2e/http_client_test.py (it sets TAVIK_CONSOLE_PORT)";

uint16_t ConsolePort() {
  const char* text = std::getenv("TAVIK_CONSOLE_PORT");
  return text != nullptr ? static_cast<uint16_t>(std::atoi(text)) : 0;
}

// A local port with nothing listening on it.
uint16_t ClosedPort() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  uint16_t port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  closesocket(s);
  WSACleanup();
  return port;
}

// The request headers the console echoed back, as (name, value) pairs.
std::vector<std::pair<std::string, std::string>> EchoedHeaders(const HttpResponse& response) {
  std::vector<std::pair<std::string, std::string>> headers;
  JsonValue echo;
  if (!ParseJson(response.body, echo)) return headers;
  const JsonValue* list = FindMember(echo, "headers");
  if (list == nullptr) return headers;
  for (const JsonValue& pair : list->items)
    if (pair.items.size() == 2) headers.emplace_back(pair.items[0].text, pair.items[1].text);
  return headers;
}

std::vector<std::string> HeaderValues(const HttpResponse& echo, const std::string& name) {
  std::vector<std::string> values;
  for (const auto& [key, value] : EchoedHeaders(echo))
    if (_stricmp(key.c_str(), name.c_str()) == 0) values.push_back(value);
  return values;
}

}  // namespace

TEST(HttpClient, FailuresWithoutAConsole) {
  const uint16_t port = ClosedPort();
  ASSERT_NE(port, 0);
  HttpClient refused(L"127.0.0.1", port);
  const HttpResponse response = refused.Request(L"GET", L"/", "", L"");
  EXPECT_FALSE(response.ok);
  EXPECT_EQ(response.status, 0u);
  EXPECT_EQ(response.error.rfind("SendRequest failed (", 0), 0u) << response.error;
  EXPECT_EQ(response.error.back(), ')');

  const DiscoveryResult result = DiscoverCamerasAt("127.0.0.1", port, "u", "p", true);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error.rfind("Cannot reach console: SendRequest failed (", 0), 0u)
      << result.error;
}

TEST(HttpClient, CertificateFingerprints) {
  const unsigned char abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(CertificateSha256(abc, sizeof abc),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Nothing to read is no fingerprint, never the hash of nothing.
  EXPECT_EQ(CertificateSha256(abc, 0), "");
  EXPECT_EQ(CertificateSha256(nullptr, 3), "");
  EXPECT_EQ(ServerCertificateSha256(nullptr), "");

  // A request that never connected has no certificate to read, and a pinned
  // client refuses what it cannot read.
  HttpClient refused(L"127.0.0.1", ClosedPort());
  refused.PinCertificate(CertPolicy{std::string(64, 'a'), ""});
  const HttpResponse response = refused.Request(L"POST", L"/", "secret", L"application/json");
  EXPECT_FALSE(response.ok);
  EXPECT_FALSE(response.certificateRefused);  // nothing was presented: a transport failure
  EXPECT_EQ(refused.PresentedCertificate(), "");
}

// The console's certificate fingerprint, from TAVIK_CONSOLE_CERT.
std::string ConsoleCertificate() {
  const char* text = std::getenv("TAVIK_CONSOLE_CERT");
  return text != nullptr ? text : "";
}

// Each request to a pinned server: the certificate judged before the body goes.
// tests/e2e/http_client_test.py checks in the console's log that no body of a
// refused request arrived.
TEST(HttpClientLive, PinnedCertificate) {
  const uint16_t port = ConsolePort();
  const std::string actual = ConsoleCertificate();
  if (port == 0 || actual.empty()) GTEST_SKIP() << kNoConsole;
  const std::string other(64, 'e');

  HttpClient unpinned(L"127.0.0.1", port);
  HttpResponse echo = unpinned.Request(L"GET", L"/test/echo", "", L"");
  ASSERT_TRUE(echo.ok) << echo.error;
  EXPECT_EQ(unpinned.PresentedCertificate(), actual);

  HttpClient impostor(L"127.0.0.1", port);
  impostor.PinCertificate(CertPolicy{other, ""});
  echo = impostor.Request(L"POST", L"/test/echo", "refused-body", L"application/json");
  EXPECT_FALSE(echo.ok);
  EXPECT_TRUE(echo.certificateRefused);
  EXPECT_EQ(echo.status, 0u);
  EXPECT_EQ(echo.body, "");
  EXPECT_EQ(impostor.PresentedCertificate(), actual);
  // Refused again, also without a body.
  EXPECT_TRUE(impostor.Request(L"GET", L"/test/echo", "", L"").certificateRefused);

  // Pinned to it, or offered it for acceptance: the body follows its headers.
  for (const CertPolicy& policy : {CertPolicy{actual, ""}, CertPolicy{other, actual}}) {
    HttpClient pinned(L"127.0.0.1", port);
    pinned.PinCertificate(policy);
    for (int i = 0; i < 2; ++i) {  // the second over the kept connection
      echo = pinned.Request(L"POST", L"/test/echo", "pinned-body", L"application/json");
      ASSERT_TRUE(echo.ok) << echo.error;
      EXPECT_FALSE(echo.certificateRefused);
      JsonValue parsed;
      ASSERT_TRUE(ParseJson(echo.body, parsed)) << echo.body;
      EXPECT_EQ(GetString(parsed, "body", ""), "pinned-body");
      EXPECT_EQ(HeaderValues(echo, "Content-Length"), std::vector<std::string>{"11"});
      EXPECT_EQ(HeaderValues(echo, "Content-Type"), std::vector<std::string>{"application/json"});
    }
  }

  // Discovery: refused with the changed-certificate message and the certificate
  // to offer; accepted when offered; pinned to the certificate that signed in.
  DiscoveryResult result = DiscoverCamerasAt("127.0.0.1", port, "viewer", "refused-secret", false,
                                             CertPolicy{other, ""});
  EXPECT_FALSE(result.ok);
  EXPECT_TRUE(result.certificateRefused);
  EXPECT_EQ(result.error, kCertificateChangedMessage);
  EXPECT_EQ(result.certificateSha256, actual);
  result =
      DiscoverCamerasAt("127.0.0.1", port, "viewer", "secret", false, CertPolicy{other, actual});
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.certificateSha256, actual);
  result = DiscoverCamerasAt("127.0.0.1", port, "viewer", "secret", false);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.certificateSha256, actual);
}

TEST(HttpClientLive, HeadersCookieAndToken) {
  const uint16_t port = ConsolePort();
  if (port == 0) GTEST_SKIP() << kNoConsole;
  HttpClient client(L"127.0.0.1", port);

  // Nothing known yet, no body: no additional headers at all.
  HttpResponse echo = client.Request(L"GET", L"/test/echo", "", L"");
  ASSERT_TRUE(echo.ok) << echo.error;
  EXPECT_EQ(echo.status, 200u);
  EXPECT_TRUE(HeaderValues(echo, "Content-Type").empty());
  EXPECT_TRUE(HeaderValues(echo, "Cookie").empty());
  EXPECT_TRUE(HeaderValues(echo, "X-CSRF-Token").empty());
  EXPECT_EQ(HeaderValues(echo, "User-Agent"), std::vector<std::string>{"Orbisfield-Tavik/1.0"});

  HttpResponse set = client.Request(L"GET", L"/test/cookie-attrs", "", L"");
  ASSERT_TRUE(set.ok) << set.error;
  EXPECT_EQ(client.Cookie(), "TOKEN=abc123");
  EXPECT_EQ(client.CsrfToken(), "csrf-1");

  echo = client.Request(L"POST", L"/test/echo", "{\"a\":1}", L"application/json");
  ASSERT_TRUE(echo.ok) << echo.error;
  EXPECT_EQ(HeaderValues(echo, "Cookie"), std::vector<std::string>{"TOKEN=abc123"});
  EXPECT_EQ(HeaderValues(echo, "X-CSRF-Token"), std::vector<std::string>{"csrf-1"});
  EXPECT_EQ(HeaderValues(echo, "Content-Type"), std::vector<std::string>{"application/json"});
  JsonValue parsed;
  ASSERT_TRUE(ParseJson(echo.body, parsed));
  EXPECT_EQ(GetString(parsed, "method", ""), "POST");
  EXPECT_EQ(GetString(parsed, "body", ""), "{\"a\":1}");

  // A lower-case token cookie and a response without a token change nothing.
  ASSERT_TRUE(client.Request(L"GET", L"/test/cookie-lower", "", L"").ok);
  ASSERT_TRUE(client.Request(L"GET", L"/test/plain", "", L"").ok);
  EXPECT_EQ(client.Cookie(), "TOKEN=abc123");
  EXPECT_EQ(client.CsrfToken(), "csrf-1");

  ASSERT_TRUE(client.Request(L"GET", L"/test/two-tokens", "", L"").ok);
  EXPECT_EQ(client.Cookie(), "TOKEN=second");
  EXPECT_EQ(client.CsrfToken(), "csrf-2");
  ASSERT_TRUE(client.Request(L"GET", L"/test/long-cookie", "", L"").ok);
  EXPECT_EQ(client.Cookie(), "TOKEN=after-long");
  echo = client.Request(L"GET", L"/test/echo", "", L"");
  EXPECT_EQ(HeaderValues(echo, "Cookie"), std::vector<std::string>{"TOKEN=after-long"});
}

TEST(HttpClientLive, StatusesAndBodies) {
  const uint16_t port = ConsolePort();
  if (port == 0) GTEST_SKIP() << kNoConsole;
  HttpClient client(L"127.0.0.1", port);
  HttpResponse denied = client.Request(L"GET", L"/test/status/401", "", L"");
  EXPECT_TRUE(denied.ok);
  EXPECT_EQ(denied.status, 401u);
  EXPECT_EQ(denied.body, "status 401 body");
  EXPECT_EQ(denied.error, "");

  HttpResponse large = client.Request(L"GET", L"/test/big?bytes=3000000", "", L"");
  ASSERT_TRUE(large.ok) << large.error;
  EXPECT_EQ(large.body.size(), 3000000u);

  HttpResponse huge = client.Request(L"GET", L"/test/big?bytes=40000000", "", L"");
  EXPECT_FALSE(huge.ok);
  EXPECT_EQ(huge.error, "response too large (over 32 MiB)");
  EXPECT_TRUE(huge.body.empty());
}

// Console started with its defaults (tests/bed/console.py).
TEST(DiscoveryLive, DefaultConsole) {
  const uint16_t port = ConsolePort();
  if (port == 0) GTEST_SKIP() << kNoConsole;
  const DiscoveryResult wrong = DiscoverCamerasAt("127.0.0.1", port, "viewer", "wrong", true);
  EXPECT_FALSE(wrong.ok);
  EXPECT_EQ(wrong.error, "Login failed (HTTP 401). Check username/password.");

  const DiscoveryResult plain = DiscoverCamerasAt("127.0.0.1", port, "viewer", "secret", false);
  ASSERT_TRUE(plain.ok) << plain.error;
  ASSERT_EQ(plain.cameras.size(), 5u);
  EXPECT_EQ(plain.cameras[0].name, "Porch");
  EXPECT_EQ(plain.cameras[0].streamAlias, "porchHigh");
  EXPECT_EQ(plain.cameras[1].streamAlias, "");

  const DiscoveryResult result = DiscoverCamerasAt("127.0.0.1", port, "viewer", "secret", true);
  ASSERT_TRUE(result.ok) << result.error;
  const char* names[] = {"Porch", "Garage", "Yard", "Shed", "Gate"};
  const char* aliases[] = {"porchHigh", "cam2High", "", "", "gateHigh"};
  ASSERT_EQ(result.cameras.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(result.cameras[i].name, names[i]);
    EXPECT_EQ(result.cameras[i].streamAlias, aliases[i]) << names[i];
  }
}

// The expected outcome is named by TAVIK_CONSOLE_EXPECT, matching the scenario
// the console was started with.
TEST(DiscoveryLive, ScenarioOutcome) {
  const uint16_t port = ConsolePort();
  const wchar_t* expect = _wgetenv(L"TAVIK_CONSOLE_EXPECT");  // wide: the text holds an em dash
  if (port == 0 || expect == nullptr) GTEST_SKIP() << kNoConsole;
  const DiscoveryResult result = DiscoverCamerasAt("127.0.0.1", port, "viewer", "secret", true);
  // For tests/e2e/hostile_console_test.py, which bounds what a hostile answer costs.
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
    std::printf("peak working set: %llu MiB, peak commit: %llu MiB\n",
                static_cast<unsigned long long>(memory.PeakWorkingSetSize >> 20),
                static_cast<unsigned long long>(memory.PeakPagefileUsage >> 20));
  const std::string expected = Narrow(expect);
  if (expected.rfind("ok:", 0) == 0) {
    ASSERT_TRUE(result.ok) << result.error;
    std::string aliases;
    for (const DiscoveredCamera& camera : result.cameras) aliases += camera.streamAlias + ",";
    EXPECT_EQ("ok:" + aliases, expected);
  } else {
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, expected);
    EXPECT_TRUE(result.cameras.empty());
  }
}
