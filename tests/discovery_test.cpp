// Camera discovery over a scripted console: sign-in and bootstrap judgement,
// reading the camera list, the RTSP enabling pass and the merge into the list.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "config/app_config.h"
#include "config/json.h"
#include "console/discovery.h"

namespace {

struct SentRequest {
  std::string method, path, body, contentType;
};

// Answers requests from a script; a step may carry a CSRF token.
class ScriptedConsole final : public ConsoleTransport {
 public:
  void Answer(uint32_t status, std::string body, bool csrf = false) {
    HttpResponse r;
    r.ok = true;
    r.status = status;
    r.body = std::move(body);
    steps.push_back({std::move(r), csrf});
  }
  void Fail(std::string error) {
    HttpResponse r;
    r.error = std::move(error);
    steps.push_back({std::move(r), false});
  }
  void SignedIn() { Answer(200, "{}", true); }
  // The server presents `certificate`, which the session does not trust: the
  // request fails without its body.
  void RefuseCertificate(std::string certificate) {
    HttpResponse r;
    r.error = "certificate refused";
    r.certificateRefused = true;
    steps.push_back({std::move(r), false, std::move(certificate)});
  }
  // The certificate presented from the next request on.
  void Present(std::string certificate) { presentNext = std::move(certificate); }

  HttpResponse Send(std::string_view method, std::string_view path, const std::string& body,
                    std::string_view contentType) override {
    sent.push_back({std::string(method), std::string(path), body, std::string(contentType)});
    if (steps.empty()) {
      HttpResponse none;
      none.error = "unexpected request";
      return none;
    }
    Step step = std::move(steps.front());
    steps.pop_front();
    if (step.csrf) csrf = true;
    presented = step.response.certificateRefused ? step.certificate : presentNext;
    return step.response;
  }
  bool HasCsrfToken() const override { return csrf; }
  std::string CertificateSha256() const override { return presented; }

  std::vector<SentRequest> sent;

 private:
  struct Step {
    HttpResponse response;
    bool csrf;
    std::string certificate;  // presented with a refusal
  };
  std::deque<Step> steps;
  bool csrf = false;
  std::string presentNext;
  std::string presented;
};

const char kMfa[] =
    "Login rejected \xE2\x80\x94 this account likely has 2FA. Use a dedicated local-only user "
    "without MFA.";

DiscoveryResult Discover(ScriptedConsole& console, bool enableRtsp = false) {
  return DiscoverCamerasOver(console, "viewer", "secret", enableRtsp);
}

std::string Camera(const std::string& id, const std::string& name, const std::string& channels) {
  return R"({"id":")" + id + R"(","name":")" + name + R"(","channels":)" + channels + "}";
}

std::string High(bool enabled, const std::string& alias) {
  return std::string(R"({"id":0,"name":"High","isRtspEnabled":)") + (enabled ? "true" : "false") +
         R"(,"rtspAlias":")" + alias + R"("})";
}

}  // namespace

TEST(DiscoverySignIn, SendsCredentialsAsCompactJson) {
  EXPECT_EQ(SignInBody("ann", "p\"w\\\t\xC3\xA9"), R"({"username":"ann","password":"p\"w\\\t)"
                                                   "\xC3\xA9\"}");
  ScriptedConsole console;
  console.Answer(403, "");
  Discover(console);
  ASSERT_EQ(console.sent.size(), 1u);
  EXPECT_EQ(console.sent[0].method, "POST");
  EXPECT_EQ(console.sent[0].path, "/api/auth/login");
  EXPECT_EQ(console.sent[0].contentType, "application/json");
  EXPECT_EQ(console.sent[0].body, R"({"username":"viewer","password":"secret"})");
}

TEST(DiscoverySignIn, EachOutcomeHasItsMessageAndStopsDiscovery) {
  struct Case {
    bool transportFails;
    uint32_t status;
    std::string body;
    bool csrf;
    std::string message;
  };
  const std::vector<Case> cases = {
      {true, 0, "", false, "Cannot reach console: SendRequest failed (12029)"},
      {false, 499, "anything", true, kMfa},
      {false, 499, "", false, kMfa},
      {false, 401, R"({"code":"MFA_REQUIRED"})", false, kMfa},
      {false, 401, "needs mfa", false, "Login failed (HTTP 401). Check username/password."},
      {false, 401, "", false, "Login failed (HTTP 401). Check username/password."},
      {false, 403, "MFA", false, "Login failed (HTTP 403). Check username/password."},
      {false, 201, "", true, "Login failed (HTTP 201). Check username/password."},
      {false, 204, "", true, "Login failed (HTTP 204). Check username/password."},
      {false, 500, "", true, "Login failed (HTTP 500). Check username/password."},
      {false, 200, "{}", false, "Login succeeded but no CSRF token was returned."},
  };
  for (const Case& c : cases) {
    ScriptedConsole console;
    if (c.transportFails)
      console.Fail("SendRequest failed (12029)");
    else
      console.Answer(c.status, c.body, c.csrf);
    console.Answer(200, R"({"cameras":[]})");  // must never be asked for
    const DiscoveryResult result = Discover(console);
    EXPECT_FALSE(result.ok) << c.message;
    EXPECT_EQ(result.error, c.message);
    EXPECT_TRUE(result.cameras.empty());
    EXPECT_EQ(console.sent.size(), 1u) << c.message;
  }
}

TEST(DiscoveryCertificate, ARefusedCertificateEndsDiscoveryAndIsReported) {
  const std::string changed(64, 'c');
  ScriptedConsole console;
  console.RefuseCertificate(changed);
  console.SignedIn();  // must never be asked for
  DiscoveryResult result = Discover(console);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(
      result.error,
      "The console's certificate has changed. Press Discover again to trust the new certificate.");
  EXPECT_TRUE(result.certificateRefused);
  EXPECT_EQ(result.certificateSha256, changed);
  EXPECT_EQ(console.sent.size(), 1u);

  // A server that changes certificate after the sign-in is refused just the same.
  ScriptedConsole midway;
  midway.Present(std::string(64, 'a'));
  midway.SignedIn();
  midway.RefuseCertificate(changed);
  result = Discover(midway);
  EXPECT_FALSE(result.ok);
  EXPECT_TRUE(result.certificateRefused);
  EXPECT_EQ(result.certificateSha256, changed);
  EXPECT_EQ(midway.sent.size(), 2u);
}

TEST(DiscoveryCertificate, SuccessReportsTheCertificateThatHadThePassword) {
  const std::string first(64, 'a');
  ScriptedConsole console;
  console.Present(first);
  console.SignedIn();
  console.Answer(200, R"({"cameras":[]})");
  DiscoveryResult result = Discover(console);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_FALSE(result.certificateRefused);
  EXPECT_EQ(result.certificateSha256, first);

  // Other failures are no certificate matter.
  ScriptedConsole denied;
  denied.Present(first);
  denied.Answer(401, "");
  result = Discover(denied);
  EXPECT_FALSE(result.certificateRefused);
  EXPECT_EQ(result.certificateSha256, "");
}

TEST(DiscoveryBootstrap, RequestAndOutcomes) {
  struct Case {
    bool transportFails;
    uint32_t status;
    std::string body;
    std::string message;  // empty: success
  };
  const std::string noList = "Bootstrap contained no camera list.";
  const std::vector<Case> cases = {
      {true, 0, "", "Bootstrap request failed: ReceiveResponse failed (12002)"},
      {false, 500, R"({"cameras":[]})", "Bootstrap failed (HTTP 500)."},
      {false, 401, "", "Bootstrap failed (HTTP 401)."},
      {false, 204, "", "Bootstrap failed (HTTP 204)."},
      {false, 200, "<html>starting</html>", noList},
      {false, 200, "", noList},
      {false, 200, "[]", noList},
      {false, 200, R"({"nvr":{}})", noList},
      {false, 200, R"({"cameras":{}})", noList},
      {false, 200, R"({"cameras":"cam1"})", noList},
      {false, 200, R"({"cameras":null,"cameras":[]})", noList},  // the first member counts
      {false, 200, R"({"cameras":[{"id":"a"})", noList},         // truncated
      {false, 200, R"({"cameras":[]})", ""},
      {false, 200, R"( {"nvr":1,"cameras":[],"cameras":5} trailing)", ""},
  };
  for (const Case& c : cases) {
    ScriptedConsole console;
    console.SignedIn();
    if (c.transportFails)
      console.Fail("ReceiveResponse failed (12002)");
    else
      console.Answer(c.status, c.body);
    const DiscoveryResult result = Discover(console, true);
    EXPECT_EQ(result.ok, c.message.empty()) << c.body;
    EXPECT_EQ(result.error, c.message) << c.body;
    EXPECT_TRUE(result.cameras.empty());
    ASSERT_EQ(console.sent.size(), 2u);
    EXPECT_EQ(console.sent[1].method, "GET");
    EXPECT_EQ(console.sent[1].path, "/proxy/protect/api/bootstrap");
    EXPECT_EQ(console.sent[1].contentType, "application/json");
    EXPECT_EQ(console.sent[1].body, "");
  }
}

TEST(DiscoveryCameras, ReadsIdNameAndTheHighChannelAlias) {
  const std::string bootstrap =
      std::string(R"({"cameras":[)") +
      Camera("a", "Porch",
             "[" + High(true, "porchA") +
                 R"(,{"name":"Medium","isRtspEnabled":true,"rtspAlias":"m"}])") +
      "," + Camera("b", "Off", "[" + High(false, "offB") + "]") + "," +
      Camera("c", "NoHigh", R"([{"name":"Medium","isRtspEnabled":true,"rtspAlias":"m"}])") + "," +
      Camera("d", "TwoHigh", "[" + High(false, "first") + "," + High(true, "second") + "]") + "," +
      Camera("e", "TextTrue", R"([{"name":"High","isRtspEnabled":"true","rtspAlias":"x"}])") + "," +
      Camera("f", "NoAlias", R"([{"name":"High","isRtspEnabled":true,"rtspAlias":7}])") + "," +
      Camera("g", "DupFlag",
             R"([{"name":"High","isRtspEnabled":false,"isRtspEnabled":true,"rtspAlias":"x"}])") +
      "," +
      Camera("h", "ChannelsObject", R"({"name":"High","isRtspEnabled":true,"rtspAlias":"x"})") +
      "," +
      R"({"id":5,"name":["x"],"channels":[{"name":"High","isRtspEnabled":true,"rtspAlias":"numId"}]},)"
      R"("just text",null,7,)"
      R"({"id":"i","name":"Porch","channels":[{"name":"High","isRtspEnabled":true,"rtspAlias":"dupName"}],)"
      R"("channels":[]},)"
      R"({"id":"j","name":"Case","channels":[{"name":"high","isRtspEnabled":true,"rtspAlias":"lower"}]}]})";
  ScriptedConsole console;
  console.SignedIn();
  console.Answer(200, bootstrap);
  const DiscoveryResult result = Discover(console);
  ASSERT_TRUE(result.ok) << result.error;
  struct Expect {
    const char* id;
    const char* name;
    const char* alias;
  };
  const std::vector<Expect> expected = {
      {"a", "Porch", "porchA"},
      {"b", "Off", ""},
      {"c", "NoHigh", ""},
      {"d", "TwoHigh", ""},
      {"e", "TextTrue", ""},
      {"f", "NoAlias", ""},
      {"g", "DupFlag", ""},
      {"h", "ChannelsObject", ""},
      {"", "", "numId"},
      {"", "", ""},
      {"", "", ""},
      {"", "", ""},
      {"i", "Porch", "dupName"},
      {"j", "Case", ""},
  };
  ASSERT_EQ(result.cameras.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(result.cameras[i].id, expected[i].id) << i;
    EXPECT_EQ(result.cameras[i].name, expected[i].name) << i;
    EXPECT_EQ(result.cameras[i].streamAlias, expected[i].alias) << i;
  }
  EXPECT_EQ(console.sent.size(), 2u);  // enableRtsp off: nothing patched
}

// A channel as a real console's bootstrap lists it: id, name, size, and an
// alias that is null while RTSP is off.
std::string Channel(int id, const char* name, bool rtsp, const char* alias, int w, int h) {
  return "{\"id\":" + std::to_string(id) + ",\"name\":\"" + name + "\",\"enabled\":true," +
         "\"isRtspEnabled\":" + (rtsp ? "true" : "false") +
         ",\"rtspAlias\":" + (alias ? "\"" + std::string(alias) + "\"" : std::string("null")) +
         ",\"width\":" + std::to_string(w) + ",\"height\":" + std::to_string(h) +
         ",\"fps\":30,\"bitrate\":2000000,\"minBitrate\":32000,\"isRtspEnabled2\":false}";
}

TEST(DiscoveryCameras, TheSubStreamIsTheSmallestOtherChannelWithRtspOn) {
  const std::string bootstrap =
      std::string(R"({"cameras":[)") +
      // Everything on: Low is the smallest.
      Camera("a", "Bullet",
             "[" + Channel(0, "High", true, "hi", 3840, 2160) + "," +
                 Channel(1, "Medium", true, "med", 1280, 720) + "," +
                 Channel(2, "Low", true, "low", 640, 360) + "]") +
      "," +
      // Low off (alias null): Medium.
      Camera("b", "Dome",
             "[" + Channel(0, "High", true, "hi", 2688, 1512) + "," +
                 Channel(1, "Medium", true, "med", 1280, 720) + "," +
                 Channel(2, "Low", false, nullptr, 640, 360) + "]") +
      "," +
      // A doorbell's four channels: its package camera is larger than Low.
      Camera("c", "Doorbell",
             "[" + Channel(0, "High", true, "hi", 1600, 1200) + "," +
                 Channel(1, "Medium", false, nullptr, 1024, 768) + "," +
                 Channel(2, "Low", true, "low", 480, 360) + "," +
                 Channel(3, "Package Camera", true, "pkg", 1600, 1200) + "]") +
      "," +
      // Only High on: none.
      Camera("d", "OnlyHigh",
             "[" + Channel(0, "High", true, "hi", 1920, 1080) + "," +
                 Channel(1, "Low", false, nullptr, 640, 360) + "]") +
      "," +
      // Names only: Low before Medium, whatever the order.
      Camera("e", "Names",
             R"([{"name":"Medium","isRtspEnabled":true,"rtspAlias":"m"},)"
             R"({"name":"Low","isRtspEnabled":true,"rtspAlias":"l"}])") +
      "," +
      // Sizes beat names where both channels give them...
      Camera("f", "Sizes",
             R"([{"name":"Medium","isRtspEnabled":true,"rtspAlias":"m","width":1280,"height":720},)"
             R"({"name":"Extra","isRtspEnabled":true,"rtspAlias":"x","width":320,"height":180}])") +
      "," +
      // ...and a size that is not a number leaves it to the names.
      Camera("f2", "OddSize",
             R"([{"name":"Medium","isRtspEnabled":true,"rtspAlias":"m","width":1280,"height":720},)"
             R"({"name":"Low","isRtspEnabled":true,"rtspAlias":"l","width":"640","height":360}])") +
      "," +
      // RTSP "on" as text, or an empty alias, is not on.
      Camera("g", "Strings",
             R"([{"name":"Low","isRtspEnabled":"true","rtspAlias":"l"},)"
             R"({"name":"Medium","isRtspEnabled":true,"rtspAlias":""}])") +
      R"(,{"id":"h","name":"NoChannels"}]})";
  ScriptedConsole console;
  console.SignedIn();
  console.Answer(200, bootstrap);
  const DiscoveryResult result = Discover(console);
  ASSERT_TRUE(result.ok) << result.error;
  const std::vector<std::string> expected = {"low", "med", "low", "", "l", "x", "l", "", ""};
  ASSERT_EQ(result.cameras.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(result.cameras[i].subAlias, expected[i]) << result.cameras[i].name;
  EXPECT_EQ(result.cameras[0].streamAlias, "hi");
  EXPECT_EQ(result.cameras[1].streamAlias, "hi");
}

TEST(DiscoveryEnable, PatchBodiesSendEverySettingBackExactly) {
  const struct {
    const char* channels;
    const char* body;
  } cases[] = {
      {R"([{"id":0,"name":"High","isRtspEnabled":false,"bitrate":1234567.5,"min":0.1,"big":1e300,"neg":-0.0},)"
       R"({"id":1,"name":"Medium","isRtspEnabled":false}])",
       R"({"channels":[{"id":0,"name":"High","isRtspEnabled":true,"bitrate":1234567.5,"min":0.1,"big":1e+300,)"
       R"("neg":0},{"id":1,"name":"Medium","isRtspEnabled":false}]})"},
      // no flag: appended at the end; duplicates: every one set
      {R"([{"name":"High","fps":30},{"isRtspEnabled":1,"name":"High","isRtspEnabled":null}])",
       R"({"channels":[{"name":"High","fps":30,"isRtspEnabled":true},)"
       R"({"isRtspEnabled":true,"name":"High","isRtspEnabled":true}]})"},
      // nothing named exactly High: sent back unchanged, odd elements included
      {R"([{"name":"Medium","isRtspEnabled":false},{"name":"high"},{"name":"High "},{"name":5},"High",null,)"
       R"({"name":"A\"/\u00e9\t"}])",
       R"({"channels":[{"name":"Medium","isRtspEnabled":false},{"name":"high"},{"name":"High "},{"name":5},)"
       "\"High\",null,{\"name\":\"A\\\"/\xC3\xA9\\t\"}]}"},
      {"[]", R"({"channels":[]})"},
  };
  for (const auto& c : cases) {
    JsonValue channels;
    ASSERT_TRUE(ParseJson(c.channels, channels)) << c.channels;
    std::string body;
    ASSERT_TRUE(BuildEnableRtspBody(channels, body));
    EXPECT_EQ(body, c.body);
  }
  JsonValue notArray;
  ASSERT_TRUE(ParseJson(R"({"name":"High"})", notArray));
  std::string body = "untouched";
  EXPECT_FALSE(BuildEnableRtspBody(notArray, body));
  EXPECT_FALSE(BuildEnableRtspBody(notArray, body, true));
}

TEST(DiscoveryEnable, TheLowChannelIsSwitchedOnInTheSameBody) {
  // A camera as a real console lists it, with RTSP off everywhere: one body
  // switches High and Low on and sends Medium and every setting back as it was.
  JsonValue channels;
  ASSERT_TRUE(ParseJson("[" + Channel(0, "High", false, nullptr, 2688, 1512) + "," +
                            Channel(1, "Medium", false, nullptr, 1280, 720) + "," +
                            Channel(2, "Low", false, nullptr, 640, 360) + "]",
                        channels));
  std::string body;
  ASSERT_TRUE(BuildEnableRtspBody(channels, body, true));
  EXPECT_EQ(body, "{\"channels\":[" + Channel(0, "High", true, nullptr, 2688, 1512) + "," +
                      Channel(1, "Medium", false, nullptr, 1280, 720) + "," +
                      Channel(2, "Low", true, nullptr, 640, 360) + "]}");
  // Without it, Low stays off; a name only like Low is no Low.
  ASSERT_TRUE(BuildEnableRtspBody(channels, body));
  EXPECT_NE(body.find(Channel(2, "Low", false, nullptr, 640, 360)), std::string::npos);
  JsonValue odd;
  ASSERT_TRUE(ParseJson(R"([{"name":"low","isRtspEnabled":false},{"name":"Low"}])", odd));
  ASSERT_TRUE(BuildEnableRtspBody(odd, body, true));
  EXPECT_EQ(body, R"({"channels":[{"name":"low","isRtspEnabled":false},)"
                  R"({"name":"Low","isRtspEnabled":true}]})");
}

TEST(DiscoveryEnable, PatchesOnlyCamerasWithoutAliasAndFillsTheAnswer) {
  const std::string bootstrap =
      std::string(R"({"cameras":[)") + Camera("on", "On", "[" + High(true, "onAlias") + "]") + "," +
      Camera("off", "Off", "[" + High(false, "") + "]") + "," +
      Camera("medium", "Medium only", R"([{"name":"Medium","isRtspEnabled":false}])") + "," +
      R"({"name":"No id","channels":[{"name":"High","isRtspEnabled":false}]},)" +
      Camera("a b/c?%\xC3\xA9", "Odd id", "[" + High(false, "") + "]") + "," +
      R"({"id":"nochannels","name":"Bare"},)" +
      R"({"id":"objchannels","name":"Obj","channels":{"name":"High"}}]})";
  ScriptedConsole console;
  console.SignedIn();
  console.Answer(200, bootstrap);
  console.Answer(
      200,
      R"({"id":"off","channels":[{"name":"High","isRtspEnabled":true,"rtspAlias":"newAlias"}]})");
  console.Answer(200, R"({"channels":[{"name":"Medium","isRtspEnabled":false}]})");
  console.Answer(200,
                 R"({"channels":[{"name":"High","isRtspEnabled":true,"rtspAlias":"oddAlias"}]})");
  const DiscoveryResult result = Discover(console, true);
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(result.error, "");
  ASSERT_EQ(console.sent.size(), 5u);
  EXPECT_EQ(console.sent[2].method, "PATCH");
  EXPECT_EQ(console.sent[2].path, "/proxy/protect/api/cameras/off");
  EXPECT_EQ(console.sent[2].contentType, "application/json");
  EXPECT_EQ(console.sent[2].body,
            R"({"channels":[{"id":0,"name":"High","isRtspEnabled":true,"rtspAlias":""}]})");
  EXPECT_EQ(console.sent[3].path, "/proxy/protect/api/cameras/medium");
  EXPECT_EQ(console.sent[3].body, R"({"channels":[{"name":"Medium","isRtspEnabled":false}]})");
  EXPECT_EQ(console.sent[4].path, "/proxy/protect/api/cameras/a%20b%2Fc%3F%25%C3%A9");
  ASSERT_EQ(result.cameras.size(), 7u);
  EXPECT_EQ(result.cameras[0].streamAlias, "onAlias");
  EXPECT_EQ(result.cameras[1].streamAlias, "newAlias");
  EXPECT_EQ(result.cameras[2].streamAlias, "");
  EXPECT_EQ(result.cameras[3].streamAlias, "");
  EXPECT_EQ(result.cameras[4].streamAlias, "oddAlias");
}

TEST(DiscoveryEnable, WithSubStreamsLowIsSwitchedOnInTheSamePatch) {
  const std::string bootstrap =
      std::string(R"({"cameras":[)") +
      // High on, Low and Medium off: one PATCH for Low.
      Camera("lowoff", "Low off",
             "[" + Channel(0, "High", true, "hi1", 1920, 1080) + "," +
                 Channel(1, "Medium", false, nullptr, 1280, 720) + "," +
                 Channel(2, "Low", false, nullptr, 640, 360) + "]") +
      "," +
      // Everything off: one PATCH for both.
      Camera("alloff", "All off",
             "[" + Channel(0, "High", false, nullptr, 1920, 1080) + "," +
                 Channel(2, "Low", false, nullptr, 640, 360) + "]") +
      "," +
      // Medium on already: nothing to switch, Medium is the sub stream.
      Camera("medium", "Medium on",
             "[" + Channel(0, "High", true, "hi3", 1920, 1080) + "," +
                 Channel(1, "Medium", true, "med3", 1280, 720) + "," +
                 Channel(2, "Low", false, nullptr, 640, 360) + "]") +
      "," +
      // No Low channel at all: nothing to switch.
      Camera("nolow", "No Low", "[" + Channel(0, "High", true, "hi4", 1920, 1080) + "]") + "]}";
  ScriptedConsole console;
  console.SignedIn();
  console.Answer(200, bootstrap);
  console.Answer(200, "{\"channels\":[" + Channel(0, "High", true, "hi1", 1920, 1080) + "," +
                          Channel(2, "Low", true, "low1", 640, 360) + "]}");
  console.Answer(200, "{\"channels\":[" + Channel(0, "High", true, "hi2", 1920, 1080) + "," +
                          Channel(2, "Low", true, "low2", 640, 360) + "]}");
  const DiscoveryResult result = DiscoverCamerasOver(console, "viewer", "secret", true, true);
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_EQ(console.sent.size(), 4u);
  EXPECT_EQ(console.sent[2].path, "/proxy/protect/api/cameras/lowoff");
  EXPECT_EQ(console.sent[2].body, "{\"channels\":[" + Channel(0, "High", true, "hi1", 1920, 1080) +
                                      "," + Channel(1, "Medium", false, nullptr, 1280, 720) + "," +
                                      Channel(2, "Low", true, nullptr, 640, 360) + "]}");
  EXPECT_EQ(console.sent[3].path, "/proxy/protect/api/cameras/alloff");
  EXPECT_EQ(console.sent[3].body, "{\"channels\":[" +
                                      Channel(0, "High", true, nullptr, 1920, 1080) + "," +
                                      Channel(2, "Low", true, nullptr, 640, 360) + "]}");
  ASSERT_EQ(result.cameras.size(), 4u);
  const char* high[] = {"hi1", "hi2", "hi3", "hi4"};
  const char* sub[] = {"low1", "low2", "med3", ""};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(result.cameras[i].streamAlias, high[i]) << i;
    EXPECT_EQ(result.cameras[i].subAlias, sub[i]) << i;
  }

  // Merged with sub streams, each entry gets its sub address; without, none.
  std::vector<CameraEntry> working;
  ASSERT_TRUE(ApplyDiscoveredCameras(working, result.cameras, "nvr", true));
  ASSERT_EQ(working.size(), 4u);
  EXPECT_EQ(working[0].SubUrl, "rtsps://nvr:7441/low1?enableSrtp");
  EXPECT_EQ(working[2].SubUrl, "rtsps://nvr:7441/med3?enableSrtp");
  EXPECT_EQ(working[3].SubUrl, "");
  ASSERT_TRUE(ApplyDiscoveredCameras(working, result.cameras, "nvr"));
  for (const CameraEntry& entry : working) EXPECT_EQ(entry.SubUrl, "") << entry.Name;

  // Without sub streams the same console gets no PATCH at all: every High is on.
  ScriptedConsole plain;
  plain.SignedIn();
  plain.Answer(200, bootstrap);
  const DiscoveryResult again = DiscoverCamerasOver(plain, "viewer", "secret", true);
  ASSERT_TRUE(again.ok);
  EXPECT_EQ(plain.sent.size(), 3u) << "only the camera with High off is patched";
  EXPECT_EQ(plain.sent[2].path, "/proxy/protect/api/cameras/alloff");
  EXPECT_EQ(plain.sent[2].body.find("\"name\":\"Low\",\"enabled\":true,\"isRtspEnabled\":true"),
            std::string::npos);
}

TEST(DiscoveryEnable, FailuresAreSilentAndLeaveNoAlias) {
  const char* answers[] = {
      nullptr,  // transport failure
      "500:"
      R"({"channels":[{"name":"High","isRtspEnabled":true,"rtspAlias":"x"}]})",
      "199:"
      R"({"channels":[{"name":"High","isRtspEnabled":true,"rtspAlias":"x"}]})",
      "200:not json",
      "204:",
      "200:[]",
      "200:"
      R"({"channels":[{"name":"High","isRtspEnabled":false,"rtspAlias":"x"}]})",
      "200:"
      R"({"channels":[{"name":"High","isRtspEnabled":"true","rtspAlias":"x"}]})",
      "200:"
      R"({"channels":{"name":"High","isRtspEnabled":true,"rtspAlias":"x"}})",
      "200:"
      R"({"channel":[{"name":"High","isRtspEnabled":true,"rtspAlias":"x"}]})",
      "200:"
      R"({"channels":[{"name":"High","isRtspEnabled":true}]})",
  };
  for (const char* answer : answers) {
    ScriptedConsole console;
    console.SignedIn();
    console.Answer(200, R"({"cameras":[)" + Camera("x", "X", "[" + High(false, "") + "]") + "," +
                            Camera("y", "Y", "[" + High(false, "") + "]") + "]}");
    if (answer == nullptr) {
      console.Fail("SendRequest failed (12002)");
    } else {
      const std::string text = answer;
      const size_t colon = text.find(':');
      console.Answer(static_cast<uint32_t>(std::stoul(text.substr(0, colon))),
                     text.substr(colon + 1));
    }
    console.Answer(299,
                   R"({"channels":[{"name":"High","isRtspEnabled":true,"rtspAlias":"yAlias"}]})");
    const DiscoveryResult result = Discover(console, true);
    const std::string label = answer ? answer : "transport";
    EXPECT_TRUE(result.ok) << label;
    EXPECT_EQ(result.error, "") << label;
    ASSERT_EQ(result.cameras.size(), 2u);
    EXPECT_EQ(result.cameras[0].streamAlias, "") << label;
    EXPECT_EQ(result.cameras[1].streamAlias, "yAlias") << label;  // the next camera still follows
    EXPECT_EQ(console.sent.size(), 4u) << label;
  }
}

TEST(DiscoveryHostile, DeepOrHugeOrOddDocumentsFailCleanly) {
  const std::string noList = "Bootstrap contained no camera list.";
  const std::vector<std::string> bodies = {
      std::string(200000, '['),
      R"({"cameras":[)" + std::string(100000, '{'),
      R"({"cameras":[{"id":"a","channels":)" + std::string(50000, '[') + std::string(50000, ']') +
          "}]}",
      R"({"cameras":[1,)" + std::string(100000, ',') + "]}",
  };
  for (const std::string& body : bodies) {
    ScriptedConsole console;
    console.SignedIn();
    console.Answer(200, body);
    const DiscoveryResult result = Discover(console, true);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, noList);
    EXPECT_EQ(console.sent.size(), 2u);
  }

  // A very long name and every kind in every place still reads.
  const std::string longName(4 << 20, 'n');
  ScriptedConsole console;
  console.SignedIn();
  console.Answer(
      200,
      R"({"cameras":[{"id":{"x":1},"name":")" + longName +
          R"(","channels":[true,1,"High",[],{"name":"High","isRtspEnabled":true,"rtspAlias":["a"]}]}]})");
  const DiscoveryResult result = Discover(console, true);
  ASSERT_TRUE(result.ok);
  ASSERT_EQ(result.cameras.size(), 1u);
  EXPECT_EQ(result.cameras[0].name, longName);
  EXPECT_EQ(result.cameras[0].id, "");
  EXPECT_EQ(result.cameras[0].streamAlias, "");
  EXPECT_EQ(console.sent.size(), 2u);  // no id: not patched
}

TEST(DiscoveryHostile, ThousandsOfCameras) {
  constexpr int kCount = 3000;
  std::string body = R"({"cameras":[)";
  for (int i = 0; i < kCount; ++i) {
    if (i > 0) body += ",";
    body += Camera("id" + std::to_string(i), "Cam " + std::to_string(i),
                   "[" + High(i % 2 == 0, "alias" + std::to_string(i)) + "]");
  }
  body += "]}";
  ScriptedConsole console;
  console.SignedIn();
  console.Answer(200, body);
  for (int i = 1; i < kCount; i += 2)
    console.Answer(200, R"({"channels":[{"name":"High","isRtspEnabled":true,"rtspAlias":"patched)" +
                            std::to_string(i) + R"("}]})");
  const DiscoveryResult result = Discover(console, true);
  ASSERT_TRUE(result.ok);
  ASSERT_EQ(result.cameras.size(), static_cast<size_t>(kCount));
  EXPECT_EQ(console.sent.size(), static_cast<size_t>(2 + kCount / 2));
  EXPECT_EQ(result.cameras[2998].streamAlias, "alias2998");
  EXPECT_EQ(result.cameras[2999].streamAlias, "patched2999");
  EXPECT_EQ(console.sent.back().path, "/proxy/protect/api/cameras/id2999");
}

TEST(DiscoveryHostile, TinyValuesBeyondTheValueBound) {
  // {"cameras":[0,0,...]}: two bytes of text per value, about a hundred bytes of
  // tree and as much again of camera list each. Past the bound the answer fails
  // with its own message instead of taking gigabytes.
  std::string body = R"({"cameras":[0)";
  const size_t count = kMaxConsoleJsonValues - 1;  // with the object and the array: one too many
  body.reserve(2 * count + 16);
  for (size_t i = 1; i < count; ++i) body += ",0";
  body += "]}";
  ScriptedConsole console;
  console.SignedIn();
  console.Answer(200, body);
  const DiscoveryResult result = Discover(console, true);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "Bootstrap is too large to read.");
  EXPECT_TRUE(result.cameras.empty());
  EXPECT_EQ(console.sent.size(), 2u);
}

TEST(DiscoveryMerge, StreamUrlAndTheNewList) {
  EXPECT_EQ(BuildStreamUrl("192.168.1.1", "abcDEF123"),
            "rtsps://192.168.1.1:7441/abcDEF123?enableSrtp");
  EXPECT_EQ(BuildStreamUrl("nvr.local", ""), "rtsps://nvr.local:7441/?enableSrtp");

  std::vector<CameraEntry> working = {
      {"Porch", "rtsp://old/porch", 3.5, 0.25, 0.75},
      {"Porch", "rtsp://old/porch2", 9.0, 0.9, 0.9},
      {"garage", "rtsp://old/garage", 2.0, 0.1, 0.2},
      {"By hand", "rtsp://10.0.0.9/x", 4.0, 0.3, 0.3},
  };
  const std::vector<DiscoveredCamera> found = {
      {"1", "Garage", "g"}, {"2", "Porch", "p1"},  {"3", "Dark", ""},
      {"4", "Porch", "p2"}, {"5", "", "nameless"},
  };
  ASSERT_TRUE(ApplyDiscoveredCameras(working, found, "nvr"));
  ASSERT_EQ(working.size(), 4u);
  EXPECT_EQ(working[0].Name, "Garage");  // differs in case from "garage": defaults
  EXPECT_EQ(working[0].Url, "rtsps://nvr:7441/g?enableSrtp");
  EXPECT_EQ(working[0].Zoom, 1.0);
  EXPECT_EQ(working[0].PanX, 0.5);
  EXPECT_EQ(working[0].PanY, 0.5);
  for (int i : {1, 2}) {  // both take the first matching entry's view
    EXPECT_EQ(working[i].Name, "Porch");
    EXPECT_EQ(working[i].Zoom, 3.5);
    EXPECT_EQ(working[i].PanX, 0.25);
    EXPECT_EQ(working[i].PanY, 0.75);
  }
  EXPECT_EQ(working[2].Url, "rtsps://nvr:7441/p2?enableSrtp");
  EXPECT_EQ(working[3].Name, "");
  EXPECT_EQ(working[3].Url, "rtsps://nvr:7441/nameless?enableSrtp");

  std::vector<CameraEntry> kept = {{"By hand", "rtsp://10.0.0.9/x", 4.0, 0.3, 0.3}};
  EXPECT_FALSE(ApplyDiscoveredCameras(kept, {{"1", "Dark", ""}}, "nvr"));
  EXPECT_FALSE(ApplyDiscoveredCameras(kept, {}, "nvr"));
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].Url, "rtsp://10.0.0.9/x");
}
