// The process-wide GPU owner: device, swap chain of the main window, shaders,
// per-slot video textures, the decoders' device manager and the Direct2D /
// DirectWrite objects of the overlays. Lives on the render thread; the UI
// thread only posts a scene and a size and reads per-slot values.
#pragma once

#include <windows.h>
#include <d2d1.h>
#include <d3d11.h>
#include <dwrite.h>
#include <dxgi1_2.h>
#include <mfobjects.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "video/frame_plan.h"
#include "video/render_scene.h"
#include "video/video_decoder_win.h"

constexpr int kMaxVideoSlots = 16;

struct VideoSize {
  uint32_t width = 0;
  uint32_t height = 0;
};

// The planes of one system-memory picture: Y, then either the interleaved UV
// plane (NV12) or the U and V planes (I420), as dynamic textures.
struct UploadPlanes {
  ID3D11Texture2D* planes[3] = {};
  ID3D11ShaderResourceView* views[3] = {};
};

// One slot's textures. A picture that stays on the GPU is copied into one
// NV12 texture (seen through R8 / R8G8 views); a picture from system memory
// is written into the next texture set of a small ring. Tiles draw straight
// from those planes; a tile much smaller than the picture draws from a
// reduced, mip-mapped BGRA copy made when such a tile is drawn.
struct SlotTexture {
  ID3D11Texture2D* nv12 = nullptr;
  ID3D11ShaderResourceView* lumaView = nullptr;
  ID3D11ShaderResourceView* chromaView = nullptr;
  UploadPlanes ring[kUploadRingSize];
  PlaneLayout ringLayout = PlaneLayout::kNv12;
  int latest = -1;  // ring entry of the newest picture; -1: it is in nv12, or there is none
  int drawn = -1;   // ring entry the last frame drew from
  ID3D11Texture2D* rgb = nullptr;
  ID3D11RenderTargetView* rgbTarget = nullptr;
  ID3D11ShaderResourceView* rgbView = nullptr;
  uint64_t reducedSerial = 0;  // the picture the reduced copy was made from; 0 = none
  uint32_t width = 0;
  uint32_t height = 0;
  bool hasPicture = false;
};

class Renderer {
 public:
  // Render thread.
  bool Init(HWND window);
  void Shutdown();
  // Returns whether the picture was taken into the slot's textures.
  bool OnDecodedFrame(int slotIndex, const DecodedFrame& frame);
  // Draws and presents a frame when anything on screen changed since the last
  // one (FrameCauses) and the device has finished the frame before; returns
  // whether it presented.
  bool DrawFrame();
  // The last DrawFrame had something to show but the device was still busy
  // with the frame before: the next call shows it.
  bool DeviceWasBusy() const { return deviceBusy; }

  // UI thread.
  void RequestResize(int width, int height);
  void SetScene(const RenderScene& scene);
  // The window's content must be drawn again (it was uncovered, say).
  void RequestRedraw() { redrawRequested.store(true); }
  VideoSize GetVideoSize(int slotIndex) const;
  uint64_t GetLastFrameTick(int slotIndex) const;
  // The slot list is being rebuilt (called while no decoding runs): every
  // position may now name another camera. From this call on every position
  // reports no picture size and no picture time, and the render thread drops
  // every position's picture before it takes a new one or draws a tile.
  void ForgetSlotPictures();

  // Render thread: the scene of the last frame drawn, and the back buffer's size.
  const RenderScene& DrawnScene() const { return frameScene; }
  int BackBufferWidth() const { return width; }
  int BackBufferHeight() const { return height; }

  // For the decoders (render thread).
  ID3D11Device* Device() const { return device; }
  IMFDXGIDeviceManager* DeviceManager() const { return deviceManager; }

  // Test access (render thread): a slot's reduced copy, or null; the texture
  // that identifies its picture textures (nv12, or the ring's first luma).
  ID3D11Texture2D* SlotPicture(int slotIndex) const;
  ID3D11Texture2D* SlotSource(int slotIndex) const;
  // Each presented frame is first copied into a texture (null before one).
  void CaptureFramesForTest(bool on) { captureFrames = on; }
  ID3D11Texture2D* CapturedFrameForTest() const { return capturedFrame; }
  uint64_t PresentCount() const { return presents; }
  // DrawFrame waits for the device instead of leaving the frame for later.
  void WaitForDeviceForTest(bool on) { waitForDevice = on; }
  ID3D11DeviceContext* Context() const { return context; }
  ID3D11Texture2D* BackBufferForTest() const;  // a reference the caller releases
  bool UsesNv12Textures() const { return nv12Supported; }
  void AssumeNv12TexturesForTest(bool on) { nv12Supported = on; }

 private:
  bool ApplyPendingResize();
  bool DeviceIdle();
  bool CreateBackBufferTargets();
  void ReleaseBackBufferTargets();
  bool ProbeNv12Textures();
  bool CreateNv12Texture(SlotTexture& slot, uint32_t width, uint32_t height);
  void EnsureSlotSize(SlotTexture& slot, uint32_t width, uint32_t height);
  bool EnsureUploadRing(SlotTexture& slot, PlaneLayout layout);
  bool UploadPicture(SlotTexture& slot, const DecodedFrame& frame, const PlaneOffsets& at);
  bool ApplyForgottenSlots();
  void ReleaseUploadRing(SlotTexture& slot);
  void ReleaseReducedCopy(SlotTexture& slot);
  void ReleaseSlotTexture(SlotTexture& slot);
  bool CompilePixelShader(const char* entry, ID3D11PixelShader** shader);
  // The shader and plane views that draw a slot's newest picture; false: none.
  bool PictureSource(const SlotTexture& slot, ID3D11PixelShader** shader,
                     ID3D11ShaderResourceView* views[3]) const;
  void MakeReducedCopies(const RenderScene& scene);
  void DrawTilePictures(const RenderScene& scene);
  void CaptureFrame();
  void DrawQuad(float x, float y, float w, float h, const float src[4], const float color[4],
                ID3D11PixelShader* shader, ID3D11ShaderResourceView* view0,
                ID3D11ShaderResourceView* view1, ID3D11ShaderResourceView* view2 = nullptr);
  void DrawQuadNdc(const float dst[4], const float src[4], const float color[4],
                   ID3D11PixelShader* shader, ID3D11ShaderResourceView* view0,
                   ID3D11ShaderResourceView* view1, ID3D11ShaderResourceView* view2 = nullptr);
  void CreateTextFormats();

  // Overlays (overlays_win.cpp).
  void DrawNavigator(const RenderScene& scene);
  void DrawScrollIndicator(const RenderScene& scene);
  void DrawHighlights(const RenderScene& scene);
  void DrawTextOverlays(const RenderScene& scene);
  void DrawSoundIcon(const RenderScene& scene);
  bool DrawCachedText(int kind, const std::wstring& text, IDWriteTextFormat* format,
                      const D2D1_COLOR_F& ink, int32_t left, int32_t top, int32_t right,
                      int32_t bottom, const D2D1_COLOR_F* background, float textInset);
  void ReleaseTextBitmaps(bool unusedOnly);

  HWND window = nullptr;
  int width = 0;
  int height = 0;
  ID3D11Device* device = nullptr;
  ID3D11DeviceContext* context = nullptr;
  IDXGISwapChain1* swapChain = nullptr;
  ID3D11RenderTargetView* backBufferView = nullptr;
  IMFDXGIDeviceManager* deviceManager = nullptr;
  UINT resetToken = 0;
  ID3D11VertexShader* vertexShader = nullptr;
  ID3D11PixelShader* psNv12 = nullptr;
  ID3D11PixelShader* psI420 = nullptr;
  ID3D11PixelShader* psRgb = nullptr;
  ID3D11PixelShader* psSolid = nullptr;
  ID3D11Buffer* constants = nullptr;
  ID3D11SamplerState* sampler = nullptr;
  ID3D11BlendState* blend = nullptr;
  ID2D1Factory* d2dFactory = nullptr;
  ID2D1RenderTarget* d2dTarget = nullptr;
  ID2D1SolidColorBrush* brush = nullptr;
  IDWriteFactory* dwriteFactory = nullptr;
  IDWriteTextFormat* labelFormat = nullptr;
  IDWriteTextFormat* messageFormat = nullptr;
  IDWriteTextFormat* iconFormat = nullptr;
  bool iconGlyphs = false;  // iconFormat uses the icon font; else the icon is drawn as shapes
  // Each text overlay is laid out and drawn once into a bitmap of d2dTarget
  // and then copied every frame while it stays on screen; laying out and
  // rasterizing text costs milliseconds per text on every frame otherwise.
  struct TextBitmap {
    int kind = 0;
    std::wstring text;
    int32_t boxWidth = 0, boxHeight = 0;  // the box the text is laid out in
    int32_t left = 0, top = 0;            // the bitmap's place relative to the box
    ID2D1Bitmap* bitmap = nullptr;
    bool used = false;  // drawn in the current frame
  };
  std::vector<TextBitmap> textBitmaps;
  bool MakeTextBitmap(TextBitmap& made, IDWriteTextFormat* format, const D2D1_COLOR_F& ink,
                      const D2D1_COLOR_F* background, float textInset);
  // The device can sample NV12 textures: found out once, by Init. A later
  // failure to make one (short of memory, an impossible size) costs only
  // that picture; the next one tries again.
  bool nv12Supported = false;

  SlotTexture slots[kMaxVideoSlots];
  PictureSerials serials;            // pictures taken and drawn, per position
  RenderScene lastDrawnScene;        // the scene of the last frame presented
  bool presentedOnce = false;        // a frame was presented since Init
  bool redrawPending = false;        // a resize, a redraw request or dropped pictures not yet shown
  ID3D11Query* frameDone = nullptr;  // event query ended after each present
  bool frameSubmitted = false;       // frameDone was ended and has not been seen done
  bool deviceBusy = false;
  bool waitForDevice = false;
  std::atomic<bool> redrawRequested{false};
  uint64_t presents = 0;
  bool captureFrames = false;
  ID3D11Texture2D* capturedFrame = nullptr;
  std::atomic<uint64_t> videoSize[kMaxVideoSlots] = {};
  std::atomic<uint64_t> lastFrameTick[kMaxVideoSlots] = {};
  // ForgetSlotPictures calls made (UI thread) and acted on (render thread);
  // while they differ, the per-slot values still belong to the old list.
  std::atomic<uint64_t> forgetRequests{0};
  std::atomic<uint64_t> forgetsApplied{0};
  mutable std::mutex sceneLock;
  RenderScene scene;
  RenderScene frameScene;  // the render thread's copy of scene for the frame being drawn
  std::atomic<uint64_t> pendingSize{0};
};
