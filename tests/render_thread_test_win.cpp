#include "video/render_thread_win.h"

#include <gtest/gtest.h>

#include <deque>

#include "app/app_state.h"
#include "app/slot_plan.h"
#include "video/decode_policy.h"
#include "tests/video_test_util_win.h"

namespace {

HWND MakeWindow() {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"TavikRenderThreadTest";
  RegisterClassExW(&wc);
  return CreateWindowExW(0, wc.lpszClassName, L"render thread test", WS_POPUP, 0, 0, 160, 120,
                         nullptr, nullptr, wc.hInstance, nullptr);
}

size_t QueuedUnits(Slot& slot) {
  std::lock_guard<std::mutex> lock(slot.main.queueLock);
  return slot.main.queue.size();
}

}  // namespace

TEST(RenderThreadWin, DropsUnitsWithoutACodecAndStopsOnRequest) {
  MediaFoundationScope mf;
  ASSERT_TRUE(mf.ok);
  HWND window = MakeWindow();
  ASSERT_NE(window, nullptr);
  g_app.mainWindow = window;
  g_app.renderStop = false;

  // A slot without a stream client: its units cannot be decoded and go.
  Slot slot;
  for (int i = 0; i < 5; ++i) slot.main.queue.push_back(AccessUnit{{0, 0, 0, 1, 0x65, 0x88}, i});
  g_app.renderGate.Pause();  // no tick walks the list while it changes
  g_app.slots.push_back(&slot);
  g_app.renderGate.Resume();

  HANDLE thread = CreateThread(nullptr, 0, RenderThreadProc, nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  const ULONGLONG deadline = GetTickCount64() + 30000;
  while (QueuedUnits(slot) != 0 && GetTickCount64() < deadline) Sleep(10);
  EXPECT_EQ(QueuedUnits(slot), 0u);
  EXPECT_EQ(slot.main.decoder, nullptr);

  g_app.renderStop = true;
  ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(thread);

  g_app.slots.clear();
  g_app.mainWindow = nullptr;
  g_app.renderStop = false;
  DestroyWindow(window);
}

TEST(RenderThreadWin, WorkingQueueIsEmptyAfterEverySlotAndTicksKeepTakingUnits) {
  // Slots without a stream client: every tick takes their units and drops
  // them. The thread's working queue goes from slot to slot and tick to
  // tick, so a unit left in it would reach the next slot's decoder.
  Renderer renderer;  // never initialised: no unit gets as far as drawing
  Slot a;
  Slot b;
  for (int i = 0; i < 40; ++i) a.main.queue.push_back(AccessUnit{{0, 0, 0, 1, 0x65, 0x88}, i});
  b.main.queue.push_back(AccessUnit{{0, 0, 0, 1, 0x41, 0x9a}, 0});
  g_app.renderGate.Pause();
  g_app.slots = {&a, &b};
  g_app.renderGate.Resume();

  std::deque<AccessUnit> taken;
  DecodeSchedule schedule;
  schedule.firstThumbnail = 1;
  DecodeQueuedUnits(renderer, schedule, taken);
  EXPECT_EQ(schedule.firstThumbnail, 0u);  // began at b; a comes first next tick
  EXPECT_TRUE(taken.empty());
  EXPECT_EQ(QueuedUnits(a), 0u);
  EXPECT_EQ(QueuedUnits(b), 0u);

  for (int tick = 0; tick < 50; ++tick) {
    for (int i = 0; i < 3; ++i) {
      std::lock_guard<std::mutex> lock(a.main.queueLock);
      a.main.queue.push_back(AccessUnit{{0, 0, 0, 1, 0x41, 0x9a}, tick});
    }
    if (tick % 7 == 0) {  // b: now and then, and empty in between
      std::lock_guard<std::mutex> lock(b.main.queueLock);
      b.main.queue.push_back(AccessUnit{{0, 0, 0, 1, 0x41, 0x9a}, tick});
    }
    DecodeQueuedUnits(renderer, schedule, taken);
    ASSERT_LT(schedule.firstThumbnail, 2u);
    ASSERT_TRUE(taken.empty()) << "tick " << tick;
    ASSERT_EQ(QueuedUnits(a), 0u) << "tick " << tick;
    ASSERT_EQ(QueuedUnits(b), 0u) << "tick " << tick;
  }
  EXPECT_EQ(a.main.decoder, nullptr);
  EXPECT_EQ(b.main.decoder, nullptr);

  g_app.renderGate.Pause();
  g_app.slots.clear();
  g_app.renderGate.Resume();
  EXPECT_EQ(DecodeQueuedUnits(renderer, schedule, taken).decodedUnits,
            0u);  // no slots: nothing to do
}

namespace {

// Slots with open decoders on an initialised renderer, and a scene that puts
// them on the stage, in the strip or outside the window.
class RenderTickWin : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mf.ok);
    window = MakeWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(renderer.Init(window));
    units = SplitAtDelimiters(ReadTestClip("two_colour_1280x720.h264"));  // IDR, then 5 P
    ASSERT_EQ(units.size(), 6u);
    g_app.renderGate.Pause();
    for (Slot& slot : slots) {
      slot.main.decoder = new VideoDecoder;
      ASSERT_TRUE(slot.main.decoder->Open(renderer.Device(), renderer.DeviceManager(), 1));
      g_app.slots.push_back(&slot);
    }
    g_app.renderGate.Resume();
  }
  void TearDown() override {
    g_app.renderGate.Pause();
    g_app.slots.clear();
    g_app.renderGate.Resume();
    for (Slot& slot : slots) {
      if (!slot.main.decoder) continue;
      slot.main.decoder->Close();
      delete slot.main.decoder;
      slot.main.decoder = nullptr;
    }
    renderer.Shutdown();
    if (window) DestroyWindow(window);
  }
  // Slot 0 a thumbnail in the window, slot 1 one scrolled out of it, slot 2 on the stage.
  void ShowScene() {
    RenderScene scene;
    TileView tile;
    tile.slotIndex = 0;
    tile.left = 2, tile.top = 2, tile.right = 50, tile.bottom = 29;
    scene.tiles.push_back(tile);
    tile.slotIndex = 1;
    tile.top = 130, tile.bottom = 157;
    scene.tiles.push_back(tile);
    tile.slotIndex = 2;
    tile.left = 52, tile.top = 0, tile.right = 160, tile.bottom = 120;
    scene.tiles.push_back(tile);
    scene.selectedSlot = 2;
    renderer.SetScene(scene);
    renderer.DrawFrame();  // the tick reads the scene of the last frame drawn
  }
  // Appends as the slot's stream callback does (the queue rule included).
  void Arrive(Slot& slot, size_t unit) {
    std::lock_guard<std::mutex> lock(slot.main.queueLock);
    if (AppendAccessUnit(slot.main.queue, AccessUnit{units[unit], static_cast<int64_t>(unit)}))
      slot.main.queueDropped = true;
  }
  size_t Tick() { return DecodeQueuedUnits(renderer, schedule, taken).decodedUnits; }
  // Ticks until every queue is empty (a slow first decode may carry units
  // over to the next tick); units decoded in all.
  size_t TickUntilIdle() {
    size_t decoded = 0;
    for (int i = 0; i < 50; ++i) {
      decoded += Tick();
      if (QueuedUnits(slots[0]) + QueuedUnits(slots[1]) + QueuedUnits(slots[2]) == 0) break;
    }
    return decoded;
  }

  MediaFoundationScope mf;
  HWND window = nullptr;
  Renderer renderer;
  Slot slots[3];
  std::vector<std::vector<uint8_t>> units;
  DecodeSchedule schedule;
  std::deque<AccessUnit> taken;
};

}  // namespace

TEST_F(RenderTickWin, AfterAQueueOverflowNoUnitReachesADecoderBeforeAKeyframe) {
  ShowScene();
  Slot& stage = slots[2];
  for (size_t i = 0; i < 5; ++i) Arrive(stage, i);
  EXPECT_EQ(TickUntilIdle(), 5u) << "a whole group of pictures is decoded";
  EXPECT_NE(renderer.GetLastFrameTick(2), 0u);

  // The render thread stalls; the queue overflows and is emptied; deltas follow.
  for (int i = 0; i < 121; ++i) Arrive(stage, 1 + i % 4);
  Arrive(stage, 3);
  Arrive(stage, 4);
  EXPECT_EQ(QueuedUnits(stage), 2u);
  EXPECT_EQ(Tick(), 0u) << "units handed to the decoder after the drop and before a keyframe";
  Arrive(stage, 2);
  EXPECT_EQ(Tick(), 0u) << "still waiting for a keyframe";
  for (size_t i = 0; i < 5; ++i) Arrive(stage, i);
  EXPECT_EQ(TickUntilIdle(), 5u) << "decoding resumes at the keyframe";
  EXPECT_TRUE(taken.empty());

  // A decoder that had to be opened again starts at a keyframe too.
  stage.main.decoder->Close();
  delete stage.main.decoder;
  stage.main.decoder = nullptr;
  Arrive(stage, 3);
  EXPECT_EQ(Tick(), 0u);  // no client, no codec: dropped
  stage.main.decoder = new VideoDecoder;
  ASSERT_TRUE(stage.main.decoder->Open(renderer.Device(), renderer.DeviceManager(), 1));
  Arrive(stage, 4);
  EXPECT_EQ(Tick(), 0u);
}

TEST_F(RenderTickWin, SelectedSlotIsDecodedWholeWhileThumbnailsOverflowTheBudget) {
  ShowScene();
  for (Slot& slot : slots) {
    for (size_t i = 0; i < 2; ++i) Arrive(slot, i);
  }
  // Decoders warmed up, room for all: the thumbnail in the window gets every
  // unit, the one outside it the keyframe only.
  EXPECT_EQ(TickUntilIdle(), 2u + 2u + 1u);

  // No time left for thumbnails: the selected slot still gets its unit,
  // first; the thumbnail in the window keeps its units queued for a later
  // tick. (One unit: a 720p picture with its upload takes most of a tick
  // under Wine; several units against a clock are in the portable tests.)
  schedule.budgetMs = 0.0;
  schedule.drawMs = 0.0;
  Arrive(slots[2], 2);
  for (size_t i = 2; i < 4; ++i) {
    Arrive(slots[0], i);
    Arrive(slots[1], i);
  }
  const TickReport report = DecodeQueuedUnits(renderer, schedule, taken);
  EXPECT_EQ(report.decodedUnits, 1u);
  EXPECT_TRUE(report.thumbnailsCut);
  EXPECT_EQ(QueuedUnits(slots[2]), 0u);
  EXPECT_EQ(QueuedUnits(slots[0]), 2u);
  EXPECT_TRUE(taken.empty());
}

TEST(RenderThreadWin, DecoderWhoseGpuHandOffFailedMakesWayForSystemMemory) {
  MediaFoundationScope mf;
  ASSERT_TRUE(mf.ok);
  HWND window = MakeWindow();
  ASSERT_NE(window, nullptr);
  Renderer renderer;
  ASSERT_TRUE(renderer.Init(window));
  const auto units = SplitAtDelimiters(ReadTestClip("two_colour_1280x720.h264"));
  ASSERT_EQ(units.size(), 6u);
  // A decoder on the GPU hand-off none of whose pictures is taken.
  VideoDecoder* decoder = new VideoDecoder;
  ASSERT_TRUE(decoder->Open(renderer.Device(), renderer.DeviceManager(), 1));
  const FrameCallback refuse = [](const DecodedFrame&) { return false; };
  for (int64_t i = 0; i < 30 && !decoder->GpuHandOffFailed(); ++i)
    decoder->Decode(units[i % 6].data(), units[i % 6].size(), i * 2000000, refuse);
  ASSERT_TRUE(decoder->GpuHandOffFailed());

  Slot slot;
  slot.main.decoder = decoder;
  slot.main.queue.push_back(AccessUnit{units[1], 0});
  g_app.renderGate.Pause();
  g_app.slots = {&slot};
  g_app.renderGate.Resume();
  std::deque<AccessUnit> taken;
  DecodeSchedule schedule;
  DecodeQueuedUnits(renderer, schedule, taken);
  // Closed at the next data; the slot's next decoder opens without the
  // device manager (here there is no client yet, so none opens).
  EXPECT_EQ(slot.main.decoder, nullptr);
  EXPECT_TRUE(slot.systemMemoryDecoding);
  EXPECT_EQ(QueuedUnits(slot), 0u);

  g_app.renderGate.Pause();
  g_app.slots.clear();
  g_app.renderGate.Resume();
  if (slot.main.decoder) {
    slot.main.decoder->Close();
    delete slot.main.decoder;
  }
  renderer.Shutdown();
  DestroyWindow(window);
}

// A camera with a sub stream on the stage, switching over from its sub
// stream (1280 x 720 here) to its main one (1920 x 1080): the sub pictures
// are drawn until the first main picture, and none after it; the sub
// connection is then due to close.
TEST_F(RenderTickWin, ASwitchDrawsTheStreamShownUntilTheOtherOneHasAPicture) {
  const std::vector<std::vector<uint8_t>> mainUnits =
      SplitAtDelimiters(ReadTestClip("two_colour_1920x1080.h264"));
  ASSERT_GE(mainUnits.size(), 3u);  // IDR, then P pictures
  Slot& stage = slots[2];
  g_app.renderGate.Pause();
  stage.sub.client = new RtspClient();  // never started: the lane runs, its codec is unknown
  stage.sub.decoder = new VideoDecoder;
  ASSERT_TRUE(stage.sub.decoder->Open(renderer.Device(), renderer.DeviceManager(), 1));
  StartStreams(stage.streams, true, StreamKind::kSub, 0.0);
  g_app.renderGate.Resume();
  ShowScene();
  auto arrive = [](Feed& feed, const std::vector<uint8_t>& bytes, int64_t time) {
    std::lock_guard<std::mutex> lock(feed.queueLock);
    AppendAccessUnit(feed.queue, AccessUnit{bytes, time});
  };
  auto tickUntil = [&](auto done) {
    for (int i = 0; i < 50 && !done(); ++i) {
      Tick();
      renderer.DrawFrame();
    }
    return done();
  };
  auto shownWidth = [&] { return renderer.GetVideoSize(2).width; };

  for (int64_t i = 0; i < 3; ++i) arrive(stage.sub, units[static_cast<size_t>(i)], i);
  ASSERT_TRUE(tickUntil([&] { return shownWidth() == 1280u; })) << "the sub picture is drawn";
  EXPECT_EQ(stage.subWidth.load(), 1280u);
  EXPECT_EQ(stage.subHeight.load(), 720u);

  // Selected: the main stream opens; the sub picture stays meanwhile.
  WantStream(stage.streams, StreamKind::kMain, 1000.0);
  arrive(stage.sub, units[3], 3);
  ASSERT_TRUE(tickUntil([&] { return QueuedUnits(stage) == 0 && stage.sub.queue.empty(); }));
  EXPECT_EQ(shownWidth(), 1280u);

  for (int64_t i = 0; i < 3; ++i) arrive(stage.main, mainUnits[static_cast<size_t>(i)], i);
  ASSERT_TRUE(tickUntil([&] { return shownWidth() == 1920u; })) << "the main picture takes over";
  EXPECT_EQ(stage.streams.shown, StreamKind::kMain);
  EXPECT_FALSE(stage.streams.subOpen);
  EXPECT_TRUE(stage.settlePosted.load()) << "the UI thread is told to close the sub connection";

  // Sub pictures still in flight are decoded but not drawn.
  arrive(stage.sub, units[4], 4);
  arrive(stage.sub, units[5], 5);
  ASSERT_TRUE(tickUntil([&] { return stage.sub.queue.empty(); }));
  renderer.DrawFrame();
  EXPECT_EQ(shownWidth(), 1920u);

  g_app.renderGate.Pause();
  stage.sub.decoder->Close();
  delete stage.sub.decoder;
  stage.sub.decoder = nullptr;
  delete stage.sub.client;
  stage.sub.client = nullptr;
  g_app.renderGate.Resume();
}
