// Everything drawn over the video: the zoom navigator and the strip's scroll
// indicator (Direct3D quads), the labels, "connecting…", the centred message
// and the sound icon (Direct2D).
#include <cmath>
#include <string>

#include "video/placement.h"
#include "video/renderer_win.h"

namespace {

const wchar_t kConnecting[] = L"connecting\u2026";
const wchar_t kConnectingSuffix[] = L" \u2014 connecting\u2026";
const wchar_t kVolumeGlyph[] = L"\uE767";
const wchar_t kMuteGlyph[] = L"\uE74F";

const float kNavigatorPanel[4] = {0.06f, 0.08f, 0.11f, 0.82f};
const float kNavigatorFrame[4] = {0.31f, 0.36f, 0.42f, 1.0f};
const float kNavigatorView[4] = {0.3f, 0.76f, 1.0f, 1.0f};
const float kScrollIndicator[4] = {0.6f, 0.65f, 0.7f, 0.8f};
const D2D1_COLOR_F kLabelBackground = {0.0f, 0.0f, 0.0f, 0.55f};
const D2D1_COLOR_F kLabelText = {1.0f, 1.0f, 1.0f, 0.92f};
const D2D1_COLOR_F kMessageText = {0.6f, 0.65f, 0.7f, 1.0f};
const D2D1_COLOR_F kIconBackground = {0.0f, 0.0f, 0.0f, 0.45f};
const D2D1_COLOR_F kIconOn = {1.0f, 1.0f, 1.0f, 0.95f};
const D2D1_COLOR_F kIconMuted = {0.85f, 0.45f, 0.45f, 0.95f};

bool FamilyInstalled(IDWriteFontCollection* fonts, const wchar_t* family) {
  UINT32 index = 0;
  BOOL exists = FALSE;
  return fonts && SUCCEEDED(fonts->FindFamilyName(family, &index, &exists)) && exists;
}

// DirectWrite draws nothing for a family that is not installed: take the
// wanted one when present, else a common sans family, else the first one.
std::wstring TextFamily(IDWriteFontCollection* fonts, const wchar_t* wanted) {
  if (!fonts || FamilyInstalled(fonts, wanted)) return wanted;
  for (const wchar_t* candidate : {L"Segoe UI", L"Arial", L"DejaVu Sans"}) {
    if (FamilyInstalled(fonts, candidate)) return candidate;
  }
  std::wstring name = wanted;
  IDWriteFontFamily* family = nullptr;
  IDWriteLocalizedStrings* names = nullptr;
  UINT32 length = 0;
  if (fonts->GetFontFamilyCount() > 0 && SUCCEEDED(fonts->GetFontFamily(0, &family)) && family &&
      SUCCEEDED(family->GetFamilyNames(&names)) && names &&
      SUCCEEDED(names->GetStringLength(0, &length))) {
    std::wstring first(length + 1, L'\0');
    if (SUCCEEDED(names->GetString(0, first.data(), length + 1))) name = first.c_str();
  }
  if (names) names->Release();
  if (family) family->Release();
  return name;
}

IDWriteTextFormat* MakeFormat(IDWriteFactory* factory, const std::wstring& family,
                              DWRITE_FONT_WEIGHT weight, float size, bool centred) {
  IDWriteTextFormat* format = nullptr;
  if (FAILED(factory->CreateTextFormat(family.c_str(), nullptr, weight, DWRITE_FONT_STYLE_NORMAL,
                                       DWRITE_FONT_STRETCH_NORMAL, size, L"", &format)))
    return nullptr;
  if (centred) {
    format->SetTextAlignment(DWRITE_TEXT_ALIGNMENT_CENTER);
    format->SetParagraphAlignment(DWRITE_PARAGRAPH_ALIGNMENT_CENTER);
  }
  return format;
}

D2D1_RECT_F Rect(float l, float t, float r, float b) {
  return D2D1::RectF(l, t, r, b);
}

}  // namespace

void Renderer::CreateTextFormats() {
  IDWriteFontCollection* fonts = nullptr;
  if (FAILED(dwriteFactory->GetSystemFontCollection(&fonts, FALSE))) fonts = nullptr;
  const std::wstring text = TextFamily(fonts, L"Segoe UI");
  labelFormat = MakeFormat(dwriteFactory, text, DWRITE_FONT_WEIGHT_SEMI_BOLD, 12.0f, false);
  messageFormat = MakeFormat(dwriteFactory, text, DWRITE_FONT_WEIGHT_NORMAL, 15.0f, true);
  // Without the icon font the sound icon is drawn as shapes instead.
  iconGlyphs = fonts == nullptr || FamilyInstalled(fonts, L"Segoe MDL2 Assets");
  if (iconGlyphs)
    iconFormat =
        MakeFormat(dwriteFactory, L"Segoe MDL2 Assets", DWRITE_FONT_WEIGHT_NORMAL, 18.0f, true);
  if (fonts) fonts->Release();
}

void Renderer::DrawNavigator(const RenderScene& s) {
  const float L = static_cast<float>(s.navigatorLeft);
  const float T = static_cast<float>(s.navigatorTop);
  const float R = static_cast<float>(s.navigatorRight);
  const float B = static_cast<float>(s.navigatorBottom);
  const float whole[4] = {0.0f, 0.0f, 1.0f, 1.0f};
  context->OMSetBlendState(blend, nullptr, 0xFFFFFFFFu);
  DrawQuad(L, T, R - L, B - T, whole, kNavigatorPanel, psSolid, nullptr, nullptr);
  DrawQuad(L, T, R - L, 1.0f, whole, kNavigatorFrame, psSolid, nullptr, nullptr);
  DrawQuad(L, B - 1.0f, R - L, 1.0f, whole, kNavigatorFrame, psSolid, nullptr, nullptr);
  DrawQuad(L, T, 1.0f, B - T, whole, kNavigatorFrame, psSolid, nullptr, nullptr);
  DrawQuad(R - 1.0f, T, 1.0f, B - T, whole, kNavigatorFrame, psSolid, nullptr, nullptr);
  PixelRect bars[4];
  NavigatorViewBars(s.navigatorLeft, s.navigatorTop, s.navigatorRight, s.navigatorBottom, s.viewX,
                    s.viewY, s.viewWidth, s.viewHeight, bars);
  for (const PixelRect& bar : bars) {
    DrawQuad(static_cast<float>(bar.x), static_cast<float>(bar.y), static_cast<float>(bar.w),
             static_cast<float>(bar.h), whole, kNavigatorView, psSolid, nullptr, nullptr);
  }
  context->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFFu);
}

// A 3-pixel border inside each highlighted tile (the selected camera of the
// grid), in the navigator's view colour.
void Renderer::DrawHighlights(const RenderScene& s) {
  const float whole[4] = {0.0f, 0.0f, 1.0f, 1.0f};
  const float w = 3.0f;
  for (const TileView& tile : s.tiles) {
    if (!tile.highlight) continue;
    const float L = static_cast<float>(tile.left);
    const float T = static_cast<float>(tile.top);
    const float R = static_cast<float>(tile.right);
    const float B = static_cast<float>(tile.bottom);
    if (R - L < 2.0f * w || B - T < 2.0f * w) continue;
    DrawQuad(L, T, R - L, w, whole, kNavigatorView, psSolid, nullptr, nullptr);
    DrawQuad(L, B - w, R - L, w, whole, kNavigatorView, psSolid, nullptr, nullptr);
    DrawQuad(L, T, w, B - T, whole, kNavigatorView, psSolid, nullptr, nullptr);
    DrawQuad(R - w, T, w, B - T, whole, kNavigatorView, psSolid, nullptr, nullptr);
  }
}

void Renderer::DrawScrollIndicator(const RenderScene& s) {
  const float whole[4] = {0.0f, 0.0f, 1.0f, 1.0f};
  context->OMSetBlendState(blend, nullptr, 0xFFFFFFFFu);
  DrawQuad(static_cast<float>(s.scrollIndicatorLeft), static_cast<float>(s.scrollIndicatorTop),
           static_cast<float>(s.scrollIndicatorRight - s.scrollIndicatorLeft),
           static_cast<float>(s.scrollIndicatorBottom - s.scrollIndicatorTop), whole,
           kScrollIndicator, psSolid, nullptr, nullptr);
  context->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFFu);
}

namespace {

// What a cached bitmap shows; with its text and box size it names the bitmap.
enum : int { kLabelKind = 1, kConnectingKind, kMessageKind, kIconKind };
// Antialiased edges reach a little beyond the text's laid-out bounds.
constexpr int32_t kInkMargin = 2;
constexpr int32_t kMaxBitmapSide = 4096;

int32_t Floor(float v) {
  return static_cast<int32_t>(std::floor(v));
}
int32_t Ceil(float v) {
  return static_cast<int32_t>(std::ceil(v));
}

}  // namespace

// Draws `text` laid out in `format` in the box (left, top, right, bottom),
// from `textInset` pixels right of its left edge, over `background` filling
// the box when given. The first frame that shows it draws it into a bitmap;
// later frames copy that bitmap, which puts the same pixels at the same
// place. Returns false when no bitmap could be had: the caller draws the
// text itself.
bool Renderer::DrawCachedText(int kind, const std::wstring& text, IDWriteTextFormat* format,
                              const D2D1_COLOR_F& ink, int32_t left, int32_t top, int32_t right,
                              int32_t bottom, const D2D1_COLOR_F* background, float textInset) {
  const int32_t boxWidth = right - left;
  const int32_t boxHeight = bottom - top;
  if (boxWidth <= 0 || boxHeight <= 0) return false;
  TextBitmap* shown = nullptr;
  for (TextBitmap& cached : textBitmaps) {
    if (cached.kind == kind && cached.boxWidth == boxWidth && cached.boxHeight == boxHeight &&
        cached.text == text) {
      shown = &cached;
      break;
    }
  }
  if (!shown) {
    TextBitmap made;
    made.kind = kind;
    made.text = text;
    made.boxWidth = boxWidth;
    made.boxHeight = boxHeight;
    if (!MakeTextBitmap(made, format, ink, background, textInset)) return false;
    textBitmaps.push_back(std::move(made));
    shown = &textBitmaps.back();
  }
  shown->used = true;
  const D2D1_SIZE_U size = shown->bitmap->GetPixelSize();
  const float x = static_cast<float>(left + shown->left);
  const float y = static_cast<float>(top + shown->top);
  d2dTarget->DrawBitmap(
      shown->bitmap,
      Rect(x, y, x + static_cast<float>(size.width), y + static_cast<float>(size.height)), 1.0f,
      D2D1_BITMAP_INTERPOLATION_MODE_NEAREST_NEIGHBOR, nullptr);
  return true;
}

// Lays out and draws the text of `made` (kind, text and box set) into a new
// bitmap covering the text and the background, and notes where it goes
// relative to the box.
bool Renderer::MakeTextBitmap(TextBitmap& made, IDWriteTextFormat* format, const D2D1_COLOR_F& ink,
                              const D2D1_COLOR_F* background, float textInset) {
  IDWriteTextLayout* layout = nullptr;
  if (!dwriteFactory || !format ||
      FAILED(dwriteFactory->CreateTextLayout(made.text.c_str(),
                                             static_cast<UINT32>(made.text.size()), format,
                                             static_cast<float>(made.boxWidth) - textInset,
                                             static_cast<float>(made.boxHeight), &layout)) ||
      !layout)
    return false;
  DWRITE_TEXT_METRICS metrics = {};
  if (FAILED(layout->GetMetrics(&metrics))) {
    layout->Release();
    return false;
  }
  // The bitmap covers the laid-out text and the background, relative to the box.
  int32_t x0 = Floor(textInset + metrics.left) - kInkMargin;
  int32_t y0 = Floor(metrics.top) - kInkMargin;
  int32_t x1 =
      Ceil(textInset + metrics.left + metrics.widthIncludingTrailingWhitespace) + kInkMargin;
  int32_t y1 = Ceil(metrics.top + metrics.height) + kInkMargin;
  if (background) {
    x0 = x0 < 0 ? x0 : 0;
    y0 = y0 < 0 ? y0 : 0;
    x1 = x1 > made.boxWidth ? x1 : made.boxWidth;
    y1 = y1 > made.boxHeight ? y1 : made.boxHeight;
  }
  ID2D1BitmapRenderTarget* target = nullptr;
  ID2D1SolidColorBrush* paint = nullptr;
  ID2D1Bitmap* bitmap = nullptr;
  if (x1 - x0 <= kMaxBitmapSide && y1 - y0 <= kMaxBitmapSide &&
      SUCCEEDED(d2dTarget->CreateCompatibleRenderTarget(
          D2D1::SizeF(static_cast<float>(x1 - x0), static_cast<float>(y1 - y0)), &target)) &&
      target && SUCCEEDED(target->CreateSolidColorBrush(ink, &paint)) && paint) {
    target->BeginDraw();
    target->Clear(D2D1::ColorF(0.0f, 0.0f, 0.0f, 0.0f));
    if (background) {
      paint->SetColor(*background);
      target->FillRectangle(
          Rect(static_cast<float>(-x0), static_cast<float>(-y0),
               static_cast<float>(made.boxWidth - x0), static_cast<float>(made.boxHeight - y0)),
          paint);
      paint->SetColor(ink);
    }
    target->DrawTextLayout(
        D2D1::Point2F(textInset - static_cast<float>(x0), -static_cast<float>(y0)), layout, paint,
        D2D1_DRAW_TEXT_OPTIONS_NONE);
    if (FAILED(target->EndDraw()) || FAILED(target->GetBitmap(&bitmap))) bitmap = nullptr;
  }
  if (paint) paint->Release();
  if (target) target->Release();
  layout->Release();
  if (!bitmap) return false;
  made.left = x0;
  made.top = y0;
  made.bitmap = bitmap;
  return true;
}

// Bitmaps of texts not drawn in the frame just ended (or all of them, when
// the target they belong to goes) are released.
void Renderer::ReleaseTextBitmaps(bool unusedOnly) {
  size_t kept = 0;
  for (size_t i = 0; i < textBitmaps.size(); ++i) {
    TextBitmap& cached = textBitmaps[i];
    if (unusedOnly && cached.used) {
      cached.used = false;
      if (kept != i) textBitmaps[kept] = std::move(cached);
      ++kept;
    } else {
      if (cached.bitmap) cached.bitmap->Release();
      cached.bitmap = nullptr;
    }
  }
  textBitmaps.resize(kept);
}

void Renderer::DrawTextOverlays(const RenderScene& s) {
  if (!brush) return;
  for (const TileView& tile : s.tiles) {
    const float tl = static_cast<float>(tile.left);
    const float tt = static_cast<float>(tile.top);
    if (tile.showLabel && !tile.label.empty() && labelFormat) {
      const PixelRect box = LabelBox(tile.left, tile.top, tile.label.size());
      if (!DrawCachedText(kLabelKind, tile.label, labelFormat, kLabelText, box.x, box.y,
                          box.x + box.w, box.y + box.h, &kLabelBackground, 5.0f)) {
        const D2D1_RECT_F r =
            Rect(static_cast<float>(box.x), static_cast<float>(box.y),
                 static_cast<float>(box.x + box.w), static_cast<float>(box.y + box.h));
        brush->SetColor(kLabelBackground);
        d2dTarget->FillRectangle(r, brush);
        brush->SetColor(kLabelText);
        d2dTarget->DrawText(tile.label.c_str(), static_cast<UINT32>(tile.label.size()), labelFormat,
                            Rect(r.left + 5.0f, r.top, r.right, r.bottom), brush,
                            D2D1_DRAW_TEXT_OPTIONS_NONE, DWRITE_MEASURING_MODE_NATURAL);
      }
    }
    if (tile.connecting && messageFormat) {
      const std::wstring text =
          tile.label.empty() ? std::wstring(kConnecting) : tile.label + kConnectingSuffix;
      if (!DrawCachedText(kConnectingKind, text, messageFormat, kMessageText, tile.left, tile.top,
                          tile.right, tile.bottom, nullptr, 0.0f)) {
        brush->SetColor(kMessageText);
        d2dTarget->DrawText(
            text.c_str(), static_cast<UINT32>(text.size()), messageFormat,
            Rect(tl, tt, static_cast<float>(tile.right), static_cast<float>(tile.bottom)), brush,
            D2D1_DRAW_TEXT_OPTIONS_NONE, DWRITE_MEASURING_MODE_NATURAL);
      }
    }
  }
  if (s.tiles.empty() && !s.message.empty() && messageFormat &&
      !DrawCachedText(kMessageKind, s.message, messageFormat, kMessageText, 0, 0, width, height,
                      nullptr, 0.0f)) {
    brush->SetColor(kMessageText);
    d2dTarget->DrawText(s.message.c_str(), static_cast<UINT32>(s.message.size()), messageFormat,
                        Rect(0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height)),
                        brush, D2D1_DRAW_TEXT_OPTIONS_NONE, DWRITE_MEASURING_MODE_NATURAL);
  }
  if (s.audioIconVisible) DrawSoundIcon(s);
}

void Renderer::DrawSoundIcon(const RenderScene& s) {
  const D2D1_RECT_F box = Rect(static_cast<float>(s.iconLeft), static_cast<float>(s.iconTop),
                               static_cast<float>(s.iconRight), static_cast<float>(s.iconBottom));
  const D2D1_COLOR_F ink = s.audioMuted ? kIconMuted : kIconOn;
  if (iconGlyphs) {
    if (!iconFormat) return;
    brush->SetColor(kIconBackground);
    d2dTarget->FillRoundedRectangle(D2D1::RoundedRect(box, 6.0f, 6.0f), brush);
    brush->SetColor(ink);
    d2dTarget->DrawText(s.audioMuted ? kMuteGlyph : kVolumeGlyph, 1, iconFormat, box, brush,
                        D2D1_DRAW_TEXT_OPTIONS_NONE, DWRITE_MEASURING_MODE_NATURAL);
    return;
  }

  // No icon font: a speaker drawn in a 24-unit square centred in the box,
  // with two sound waves, or a slash through it when muted.
  brush->SetColor(kIconBackground);
  d2dTarget->FillRoundedRectangle(D2D1::RoundedRect(box, 6.0f, 6.0f), brush);
  const float bw = box.right - box.left;
  const float bh = box.bottom - box.top;
  const float u = (bw < bh ? bw : bh) / 24.0f;
  if (!(u > 0.0f)) return;
  const float cx = (box.left + box.right) * 0.5f;
  const float cy = (box.top + box.bottom) * 0.5f;
  const auto P = [&](float x, float y) { return D2D1::Point2F(cx + x * u, cy + y * u); };
  brush->SetColor(ink);

  ID2D1PathGeometry* speaker = nullptr;
  ID2D1GeometrySink* sink = nullptr;
  if (SUCCEEDED(d2dFactory->CreatePathGeometry(&speaker)) && SUCCEEDED(speaker->Open(&sink))) {
    sink->BeginFigure(P(-8.0f, -3.0f), D2D1_FIGURE_BEGIN_FILLED);
    const D2D1_POINT_2F outline[] = {P(-4.5f, -3.0f), P(0.5f, -7.5f), P(0.5f, 7.5f), P(-4.5f, 3.0f),
                                     P(-8.0f, 3.0f)};
    sink->AddLines(outline, 5);
    sink->EndFigure(D2D1_FIGURE_END_CLOSED);
    sink->Close();
    d2dTarget->FillGeometry(speaker, brush);
  }
  if (sink) sink->Release();
  if (speaker) speaker->Release();

  const float stroke = 1.5f * u;
  if (s.audioMuted) {
    d2dTarget->DrawLine(P(-9.0f, -9.0f), P(9.0f, 9.0f), brush, 2.0f * u);
    return;
  }
  // Two sound waves: arcs of 120 degrees around the cone's mouth, drawn
  // as short straight pieces.
  constexpr int kPieces = 8;
  for (const float radius : {4.0f, 7.5f}) {
    for (int k = 0; k < kPieces; ++k) {
      const float a0 = -1.0472f + 2.0944f * static_cast<float>(k) / kPieces;
      const float a1 = -1.0472f + 2.0944f * static_cast<float>(k + 1) / kPieces;
      d2dTarget->DrawLine(P(1.5f + radius * std::cos(a0), radius * std::sin(a0)),
                          P(1.5f + radius * std::cos(a1), radius * std::sin(a1)), brush, stroke);
    }
  }
}
