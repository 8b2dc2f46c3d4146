// The slot rebuild over AppState: order, limits, selection and the live view.
// The cameras point at a closed local port; their clients just keep retrying.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "app/app_state.h"
#include "app/slots_win.h"
#include "tests/video_test_util_win.h"

namespace {

CameraEntry Camera(const std::string& name, const std::string& url, double zoom = 1.0,
                   double panX = 0.5, double panY = 0.5) {
  CameraEntry entry;
  entry.Name = name;
  entry.Url = url;
  entry.Zoom = zoom;
  entry.PanX = panX;
  entry.PanY = panY;
  return entry;
}

const char kClosedPort[] = "rtsp://127.0.0.1:9/";

class SlotsTest : public testing::Test {
 protected:
  void SetUp() override { saved_ = g_app.config; }
  void TearDown() override {
    g_app.config.Cameras.clear();
    BuildSlots();
    g_app.config = saved_;
  }
  AppConfig saved_;
};

}  // namespace

TEST_F(SlotsTest, SortedTilesWithTheirEntriesAndTheSelectedView) {
  g_app.config.Cameras = {Camera("b", std::string(kClosedPort) + "b"),
                          Camera("A", std::string(kClosedPort) + "a", 2.5, 0.25, 0.75),
                          Camera("c", std::string(kClosedPort) + "c")};
  g_app.config.SelectedCamera = "A";
  g_app.zoom = 7.0;
  BuildSlots();
  ASSERT_EQ(g_app.slots.size(), 3u);
  EXPECT_EQ(g_app.config.Cameras[0].Name, "A") << "the configured list itself is sorted";
  EXPECT_EQ(g_app.config.Cameras[1].Name, "b");
  EXPECT_EQ(g_app.config.Cameras[2].Name, "c");
  for (size_t p = 0; p < 3; ++p) {
    EXPECT_EQ(g_app.slots[p]->configIndex, static_cast<int32_t>(p));
    EXPECT_NE(g_app.slots[p]->main.client, nullptr);
    EXPECT_EQ(g_app.slots[p]->main.decoder, nullptr);
    EXPECT_FALSE(g_app.slots[p]->main.connected.load());
  }
  EXPECT_EQ(g_app.slots[0]->name, "A");
  EXPECT_EQ(g_app.selected, 0);
  EXPECT_EQ(g_app.zoom, 2.5) << "the live view comes from the selected camera";
  EXPECT_EQ(g_app.panX, 0.25);
  EXPECT_EQ(g_app.panY, 0.75);

  // A rebuild replaces every slot; the selection follows the name, and a zoom
  // animation or drag of the old list does not carry over.
  g_app.config.SelectedCamera = "c";
  g_app.zoomAnimating = true;
  g_app.panning = true;
  g_app.navigatorDragging = true;
  BuildSlots();
  ASSERT_EQ(g_app.slots.size(), 3u);
  EXPECT_EQ(g_app.selected, 2);
  EXPECT_EQ(g_app.zoom, 1.0);
  EXPECT_FALSE(g_app.zoomAnimating);
  EXPECT_FALSE(g_app.panning);
  EXPECT_FALSE(g_app.navigatorDragging);
}

TEST_F(SlotsTest, CaseMismatchSelectsTheFirstAndEmptyListResetsTheView) {
  g_app.config.Cameras = {Camera("Drive", std::string(kClosedPort) + "d", 3.0),
                          Camera("Porch", std::string(kClosedPort) + "p", 4.0)};
  g_app.config.SelectedCamera = "porch";
  BuildSlots();
  ASSERT_EQ(g_app.slots.size(), 2u);
  EXPECT_EQ(g_app.selected, 0);
  EXPECT_EQ(g_app.zoom, 3.0);

  g_app.config.Cameras.clear();
  g_app.panX = 0.1;
  BuildSlots();
  EXPECT_TRUE(g_app.slots.empty());
  EXPECT_EQ(g_app.selected, 0);
  EXPECT_EQ(g_app.zoom, 1.0);
  EXPECT_EQ(g_app.panX, 0.5);
  EXPECT_EQ(g_app.panY, 0.5);
}

TEST_F(SlotsTest, AtMostSixteenTilesAndNoneWithoutAddress) {
  for (int i = 0; i < 20; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "cam%02d", i);
    g_app.config.Cameras.push_back(Camera(name, std::string(kClosedPort) + name));
  }
  g_app.config.Cameras.push_back(Camera("aaa no address", ""));
  BuildSlots();
  ASSERT_EQ(g_app.slots.size(), 16u);
  EXPECT_EQ(g_app.slots[0]->name, "cam00");
  EXPECT_EQ(g_app.slots[0]->configIndex, 1)
      << "the entry without address sorts first, gets no tile";
  EXPECT_EQ(g_app.slots[15]->name, "cam15");
}

// "A live" (selected, showing a picture) and "B dead"; then the file names
// "A dead" and "B live" and the slots are rebuilt: position 0 must not keep
// A live's picture under the new camera's "connecting…".
TEST_F(SlotsTest, RebuiltPositionsStartWithoutTheOldCamerasPicture) {
  MediaFoundationScope mf;
  ASSERT_TRUE(mf.ok);
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"TavikSlotsTest";
  RegisterClassExW(&wc);
  HWND window = CreateWindowExW(0, wc.lpszClassName, L"slots test", WS_POPUP, 0, 0, 160, 120,
                                nullptr, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  Renderer& renderer = g_app.renderer;  // this thread plays the render thread
  ASSERT_TRUE(renderer.Init(window));

  g_app.config.Cameras = {Camera("A live", std::string(kClosedPort) + "a"),
                          Camera("B dead", std::string(kClosedPort) + "b")};
  g_app.config.SelectedCamera = "A live";
  BuildSlots();
  std::vector<uint8_t> nv12(64 * 48 * 3 / 2, 128);
  DecodedFrame picture;
  picture.data = nv12.data();
  picture.pitch = 64;
  picture.planeRows = 48;
  picture.size = nv12.size();
  picture.width = 64;
  picture.height = 48;
  ASSERT_TRUE(renderer.OnDecodedFrame(0, picture));
  renderer.DrawFrame();
  ASSERT_NE(renderer.SlotSource(0), nullptr);
  ASSERT_EQ(renderer.GetVideoSize(0).width, 64u);

  g_app.config.Cameras = {Camera("A dead", std::string(kClosedPort) + "c"),
                          Camera("B live", std::string(kClosedPort) + "d")};
  g_app.config.SelectedCamera = "A dead";
  BuildSlots();
  ASSERT_EQ(g_app.slots[0]->name, "A dead");
  // The layout sees no picture size and no picture time at once...
  EXPECT_EQ(renderer.GetVideoSize(0).width, 0u);
  EXPECT_EQ(renderer.GetVideoSize(0).height, 0u);
  EXPECT_EQ(renderer.GetLastFrameTick(0), 0u);
  // ...and the next frame, the first of the new list, has no old picture.
  renderer.DrawFrame();
  EXPECT_EQ(renderer.SlotSource(0), nullptr);
  EXPECT_EQ(renderer.SlotPicture(0), nullptr);
  EXPECT_EQ(renderer.GetVideoSize(0).width, 0u);

  renderer.Shutdown();
  DestroyWindow(window);
}
