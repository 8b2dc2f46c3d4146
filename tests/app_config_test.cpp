#include "config/app_config.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

AppConfig WithCameras(std::string_view cameras) {
  return ReadConfigText("{\"Cameras\": [" + std::string(cameras) + "]}");
}

void ExpectDefaults(const AppConfig& c) {
  EXPECT_TRUE(c.Cameras.empty());
  EXPECT_TRUE(c.SelectedCamera.empty());
  EXPECT_TRUE(c.ConsoleHost.empty());
  EXPECT_TRUE(c.ConsoleUser.empty());
  EXPECT_TRUE(c.ConsolePassEnc.empty());
  EXPECT_TRUE(c.ConsoleCertSha256.empty());
  EXPECT_FALSE(c.Muted);
  EXPECT_FALSE(c.AlwaysOnTop);
  EXPECT_FALSE(c.WindowMaximized);
  EXPECT_TRUE(std::isnan(c.WindowLeft));
  EXPECT_TRUE(std::isnan(c.WindowTop));
  EXPECT_EQ(c.WindowWidth, 520.0);
  EXPECT_EQ(c.WindowHeight, 330.0);
}

}  // namespace

TEST(AppConfig, DamagedOrForeignTextGivesCompleteDefaults) {
  ExpectDefaults(AppConfig());
  for (const char* text :
       {"", "[]", "{\"Cameras\": [", "{\"Muted\": true", "null", "\"x\"", "{\"Muted\": true,}",
        "{\"Cameras\":[{\"Url\":\"u\"}],\"Muted\":true,\"WindowWidth\":"}) {
    SCOPED_TRACE(text);
    ExpectDefaults(ReadConfigText(text));
  }
}

TEST(AppConfig, CameraEntriesAreReadLeniently) {
  AppConfig c = WithCameras(R"({"Name":"A"}, {"Url":"u"}, 5, "rtsp://x", {"Name":"B","Url":""})");
  ASSERT_EQ(c.Cameras.size(), 1u);
  EXPECT_EQ(c.Cameras[0].Name, "");
  EXPECT_EQ(c.Cameras[0].Url, "u");
  EXPECT_EQ(c.Cameras[0].Zoom, 1.0);
  EXPECT_EQ(c.Cameras[0].PanX, 0.5);
  EXPECT_EQ(c.Cameras[0].PanY, 0.5);

  c = WithCameras(R"({"Url":"a","Zoom":0.5,"PanX":-2,"PanY":3},
                     {"Url":"b","Zoom":7.5,"PanX":0.25,"PanY":"0.1"},
                     {"Url":"c","Zoom":"2","Name":7},
                     {"Url":"d","Name":"Dup","Url":"ignored"},
                     {"Url":"d","Name":"Dup"})");
  ASSERT_EQ(c.Cameras.size(), 5u);
  EXPECT_EQ(c.Cameras[0].Zoom, 1.0);
  EXPECT_EQ(c.Cameras[0].PanX, 0.0);
  EXPECT_EQ(c.Cameras[0].PanY, 1.0);
  EXPECT_EQ(c.Cameras[1].Zoom, 7.5);
  EXPECT_EQ(c.Cameras[1].PanX, 0.25);
  EXPECT_EQ(c.Cameras[1].PanY, 0.5);
  EXPECT_EQ(c.Cameras[2].Zoom, 1.0);
  EXPECT_EQ(c.Cameras[2].Name, "");
  EXPECT_EQ(c.Cameras[3].Url, "d");  // the first of duplicate keys counts
  EXPECT_EQ(c.Cameras[4].Name, "Dup");
}

TEST(AppConfig, NonFiniteViewValuesFallBackToTheirDefaults) {
  const AppConfig c = WithCameras(R"({"Url":"a","Zoom":nan,"PanX":nan,"PanY":-nan},
                                     {"Url":"b","Zoom":inf,"PanX":inf,"PanY":-inf},
                                     {"Url":"c","Zoom":1e308,"PanX":1e308,"PanY":-1e308})");
  ASSERT_EQ(c.Cameras.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(c.Cameras[i].Zoom, 1.0) << i;
    EXPECT_EQ(c.Cameras[i].PanX, 0.5) << i;
    EXPECT_EQ(c.Cameras[i].PanY, 0.5) << i;
  }
  EXPECT_EQ(c.Cameras[2].Zoom, 1e308);  // finite: no upper bound here
  EXPECT_EQ(c.Cameras[2].PanX, 1.0);
  EXPECT_EQ(c.Cameras[2].PanY, 0.0);
}

TEST(AppConfig, TopLevelFieldsKeepTheirKinds) {
  AppConfig c =
      ReadConfigText(R"({"Muted": 1, "muted": true, "AlwaysOnTop": true, "WindowMaximized": "true",
      "SelectedCamera": "Porch", "ConsoleHost": 5, "ConsoleUser": "admin", "ConsolePassEnc": "QUJD",
      "WindowLeft": -8, "WindowTop": "12", "WindowWidth": 1024.5, "WindowHeight": 100, "Extra": {"x": [1]}})");
  EXPECT_FALSE(c.Muted);
  EXPECT_TRUE(c.AlwaysOnTop);
  EXPECT_FALSE(c.WindowMaximized);
  EXPECT_EQ(c.SelectedCamera, "Porch");
  EXPECT_EQ(c.ConsoleHost, "");
  EXPECT_EQ(c.ConsoleUser, "admin");
  EXPECT_EQ(c.ConsolePassEnc, "QUJD");
  EXPECT_EQ(c.WindowLeft, -8.0);
  EXPECT_TRUE(std::isnan(c.WindowTop));
  EXPECT_EQ(c.WindowWidth, 1024.5);
  EXPECT_EQ(c.WindowHeight, 100.0);  // small sizes are the window code's business
}

TEST(AppConfig, ImpossibleWindowGeometryCountsAsMissing) {
  AppConfig c = ReadConfigText(
      R"({"WindowLeft": nan, "WindowTop": inf, "WindowWidth": inf, "WindowHeight": nan})");
  EXPECT_TRUE(std::isnan(c.WindowLeft));
  EXPECT_TRUE(std::isnan(c.WindowTop));
  EXPECT_EQ(c.WindowWidth, 520.0);
  EXPECT_EQ(c.WindowHeight, 330.0);
  c = ReadConfigText(
      R"({"WindowLeft": -1e12, "WindowTop": 3e9, "WindowWidth": 1e12, "WindowHeight": -5})");
  EXPECT_TRUE(std::isnan(c.WindowLeft));
  EXPECT_TRUE(std::isnan(c.WindowTop));
  EXPECT_EQ(c.WindowWidth, 520.0);
  EXPECT_EQ(c.WindowHeight, 330.0);
  c = ReadConfigText(
      R"({"WindowLeft": -3000, "WindowTop": 2160, "WindowWidth": 7680, "WindowHeight": 4320})");
  EXPECT_EQ(c.WindowLeft, -3000.0);
  EXPECT_EQ(c.WindowTop, 2160.0);
  EXPECT_EQ(c.WindowWidth, 7680.0);
  EXPECT_EQ(c.WindowHeight, 4320.0);
}

TEST(AppConfig, WritesTheFixedTemplate) {
  AppConfig c;
  c.Cameras.push_back({"Porch", "rtsps://10.0.0.1:7441/x?enableSrtp", 1.0, 0.5, 0.5});
  c.SelectedCamera = "Porch";
  EXPECT_EQ(WriteConfigText(c),
            "{\n"
            "  \"Cameras\": [\n"
            "    { \"Name\": \"Porch\", \"Url\": \"rtsps://10.0.0.1:7441/x?enableSrtp\", \"Zoom\": "
            "1, \"PanX\": 0.5, "
            "\"PanY\": 0.5 }\n"
            "  ],\n"
            "  \"SelectedCamera\": \"Porch\",\n"
            "  \"ConsoleHost\": \"\",\n"
            "  \"ConsoleUser\": \"\",\n"
            "  \"ConsolePassEnc\": \"\",\n"
            "  \"ConsoleCertSha256\": \"\",\n"
            "  \"Muted\": false,\n"
            "  \"AlwaysOnTop\": false,\n"
            "  \"WindowMaximized\": false,\n"
            "  \"WindowLeft\": nan,\n"
            "  \"WindowTop\": nan,\n"
            "  \"WindowWidth\": 520,\n"
            "  \"WindowHeight\": 330\n"
            "}\n");

  AppConfig d;
  d.Muted = d.AlwaysOnTop = d.WindowMaximized = true;
  d.WindowLeft = -8;
  d.WindowTop = 1234567.5;
  d.Cameras.push_back({"A \"B\" \\ C\tD", "u1", 1.2345678, 0.0, 1.0});
  d.Cameras.push_back({"Gar\xC3\xA9ge", "u2", 2, 0.125, 0.875});
  const std::string text = WriteConfigText(d);
  EXPECT_NE(text.find("  \"Cameras\": [\n    { \"Name\": \"A \\\"B\\\" \\\\ C\\tD\", \"Url\": "
                      "\"u1\", \"Zoom\": "
                      "1.23457, \"PanX\": 0, \"PanY\": 1 },\n    { \"Name\": \"Gar\xC3\xA9ge\", "
                      "\"Url\": \"u2\", "
                      "\"Zoom\": 2, \"PanX\": 0.125, \"PanY\": 0.875 }\n  ],\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  \"Muted\": true,\n  \"AlwaysOnTop\": true,\n  \"WindowMaximized\": true,\n"
                      "  \"WindowLeft\": -8,\n  \"WindowTop\": 1.23457e+06,\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(WriteConfigText(AppConfig()).substr(0, 25), "{\n  \"Cameras\": [\n  ],\n  \"");
}

TEST(AppConfig, SaveThenLoadKeepsEveryField) {
  AppConfig c;
  c.Cameras.push_back(
      {"Front \xE2\x80\x94 door", "rtsp://h:7447/a", 3.14159265, 0.333333333, 0.75});
  c.Cameras.push_back({"\x01\x1F ctl", "rtsps://h:7441/b?enableSrtp", 1.0, 0.0, 1.0});
  c.SelectedCamera = "Front \xE2\x80\x94 door";
  c.ConsoleHost = "192.168.1.1";
  c.ConsoleUser = "vi\"ewer";
  c.ConsolePassEnc = "AQAAANCMnd8BFdERjHoAwE/Cl+s=";
  c.ConsoleCertSha256 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  c.Muted = true;
  c.WindowMaximized = true;
  c.WindowTop = 40;
  c.WindowWidth = 1280;
  c.WindowHeight = 720.25;

  const std::string first = WriteConfigText(c);
  const AppConfig back = ReadConfigText(first);
  ASSERT_EQ(back.Cameras.size(), 2u);
  EXPECT_EQ(back.Cameras[0].Name, c.Cameras[0].Name);
  EXPECT_EQ(back.Cameras[0].Zoom, 3.14159);
  EXPECT_EQ(back.Cameras[0].PanX, 0.333333);
  EXPECT_EQ(back.Cameras[1].Name, c.Cameras[1].Name);
  EXPECT_EQ(back.Cameras[1].Url, c.Cameras[1].Url);
  EXPECT_EQ(back.SelectedCamera, c.SelectedCamera);
  EXPECT_EQ(back.ConsoleHost, c.ConsoleHost);
  EXPECT_EQ(back.ConsoleUser, c.ConsoleUser);
  EXPECT_EQ(back.ConsolePassEnc, c.ConsolePassEnc);
  EXPECT_EQ(back.ConsoleCertSha256, c.ConsoleCertSha256);
  EXPECT_TRUE(back.Muted);
  EXPECT_FALSE(back.AlwaysOnTop);
  EXPECT_TRUE(back.WindowMaximized);
  EXPECT_TRUE(std::isnan(back.WindowLeft));
  EXPECT_EQ(back.WindowTop, 40.0);
  EXPECT_EQ(back.WindowWidth, 1280.0);
  EXPECT_EQ(back.WindowHeight, 720.25);
  // A second round changes nothing more.
  EXPECT_EQ(WriteConfigText(back), first);
}

TEST(AppConfig, CertificatePinIsAFingerprintOrNothing) {
  const std::string pin = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
  AppConfig c = ReadConfigText("{\"ConsoleHost\": \"h\", \"ConsoleCertSha256\": \"" + pin + "\"}");
  EXPECT_EQ(c.ConsoleCertSha256, pin);
  // Missing (a file from before pinning) or empty: nothing pinned, all else as before.
  c = ReadConfigText(
      R"({"ConsoleHost": "h", "ConsoleUser": "u", "ConsolePassEnc": "QUJD", "Muted": true})");
  EXPECT_EQ(c.ConsoleCertSha256, "");
  EXPECT_EQ(c.ConsoleHost, "h");
  EXPECT_EQ(c.ConsolePassEnc, "QUJD");
  EXPECT_TRUE(c.Muted);
  EXPECT_EQ(ReadConfigText(R"({"ConsoleCertSha256": ""})").ConsoleCertSha256, "");
  // Malformed: too short or long, upper case, not hex, padded, another kind; and
  // a malformed first member ahead of a good one (the first member counts).
  std::string upper = pin;
  upper[0] = 'F';
  for (const std::string& value :
       {"\"" + pin.substr(1) + "\"", "\"" + pin + "0\"", "\"" + upper + "\"",
        "\"" + std::string(64, 'x') + "\"", "\" " + pin.substr(1) + "\"", std::string("5"),
        std::string("null"), "[\"" + pin + "\"]"}) {
    SCOPED_TRACE(value);
    c = ReadConfigText("{\"Muted\": true, \"ConsoleCertSha256\": " + value + "}");
    EXPECT_EQ(c.ConsoleCertSha256, "");
    EXPECT_TRUE(c.Muted);
  }
  EXPECT_EQ(
      ReadConfigText("{\"ConsoleCertSha256\": \"bad\", \"ConsoleCertSha256\": \"" + pin + "\"}")
          .ConsoleCertSha256,
      "");

  // Written right after the password, and read back.
  AppConfig d;
  d.ConsolePassEnc = "QUJD";
  d.ConsoleCertSha256 = pin;
  const std::string text = WriteConfigText(d);
  EXPECT_NE(text.find("  \"ConsolePassEnc\": \"QUJD\",\n  \"ConsoleCertSha256\": \"" + pin +
                      "\",\n  \"Muted\""),
            std::string::npos)
      << text;
  EXPECT_EQ(ReadConfigText(text).ConsoleCertSha256, pin);
}

TEST(AppConfig, SubStreamAddressIsStoredOnlyWhereThereIsOne) {
  // A file without sub streams reads and writes byte for byte as it was.
  AppConfig plain;
  plain.Cameras.push_back({"Porch", "rtsps://h:7441/a?enableSrtp", 1.5, 0.25, 0.75});
  const std::string plainText = WriteConfigText(plain);
  EXPECT_EQ(plainText.find("SubUrl"), std::string::npos);
  EXPECT_EQ(WriteConfigText(ReadConfigText(plainText)), plainText);

  // Right after Url, escaped like it, and read back.
  AppConfig c = plain;
  c.Cameras[0].SubUrl = "rtsps://h:7441/\"low\"?enableSrtp";
  const std::string text = WriteConfigText(c);
  EXPECT_NE(text.find("\"Url\": \"rtsps://h:7441/a?enableSrtp\", \"SubUrl\": "
                      "\"rtsps://h:7441/\\\"low\\\"?enableSrtp\", \"Zoom\": 1.5"),
            std::string::npos)
      << text;
  const AppConfig back = ReadConfigText(text);
  ASSERT_EQ(back.Cameras.size(), 1u);
  EXPECT_EQ(back.Cameras[0].SubUrl, c.Cameras[0].SubUrl);
  EXPECT_EQ(WriteConfigText(back), text);

  // Missing, empty or not a string: none, and nothing written for it.
  const AppConfig odd = ReadConfigText(
      R"({"Cameras":[{"Name":"A","Url":"u1","SubUrl":7},{"Name":"B","Url":"u2","SubUrl":""},)"
      R"({"Name":"C","Url":"u3","SubUrl":null},{"Name":"D","Url":"u4","SubUrl":["x"]}]})");
  ASSERT_EQ(odd.Cameras.size(), 4u);
  for (const CameraEntry& camera : odd.Cameras) EXPECT_EQ(camera.SubUrl, "") << camera.Name;
  EXPECT_EQ(WriteConfigText(odd).find("SubUrl"), std::string::npos);
  // A sub address alone is no camera.
  EXPECT_TRUE(ReadConfigText(R"({"Cameras":[{"Name":"A","SubUrl":"s"}]})").Cameras.empty());
}

TEST(AppConfig, GridLayoutIsStoredOnlyWhileInUse) {
  // A file of someone who never used the grid stays byte for byte as it was.
  AppConfig stage;
  stage.Cameras.push_back({"Porch", "rtsp://h/a", 1.0, 0.5, 0.5});
  const std::string stageText = WriteConfigText(stage);
  EXPECT_EQ(stageText.find("ViewLayout"), std::string::npos);
  EXPECT_FALSE(ReadConfigText(stageText).GridLayout);
  EXPECT_EQ(WriteConfigText(ReadConfigText(stageText)), stageText);

  AppConfig grid = stage;
  grid.GridLayout = true;
  const std::string gridText = WriteConfigText(grid);
  EXPECT_NE(gridText.find("  \"WindowHeight\": 330,\n  \"ViewLayout\": \"Grid\"\n}\n"),
            std::string::npos)
      << gridText;
  EXPECT_TRUE(ReadConfigText(gridText).GridLayout);
  EXPECT_EQ(WriteConfigText(ReadConfigText(gridText)), gridText);

  // "Stage", unknown values and other kinds all mean the stage and strip.
  for (const char* value : {R"("Stage")", R"("grid")", R"("Mosaic")", "1", "true", "null"}) {
    const AppConfig read = ReadConfigText(std::string(R"({"ViewLayout":)") + value + "}");
    EXPECT_FALSE(read.GridLayout) << value;
    EXPECT_EQ(WriteConfigText(read).find("ViewLayout"), std::string::npos) << value;
  }
}
