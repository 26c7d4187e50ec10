#include "installer/frontend/decorative_controls.h"

#include <cmath>
#include <cstdlib>
#include <vector>

namespace orln {
namespace {

TRotate3DLabel* g_current_label = nullptr;
TBackdrop* g_current_backdrop = nullptr;

// The current-instance rule of the head of decorative_controls.h, run before
// the control's Tag changes.
template <class T>
void TakeTag(T& control, int32_t tag, T*& current) {
  if (tag == -1) {
    if (current == &control) return;
    T* previous = current;
    current = &control;  // first, so that the previous one's new Tag finds it no longer current
    if (previous) previous->SetTag(0);
  } else if (current == &control) {
    current = nullptr;
  }
}

template <class T>
void TakeDesignTag(T& control, T* current) {
  if ((control.ComponentState() & host::csDesigning) != 0 && current == nullptr) control.SetTag(-1);
}

// The platform's rounding of a real to an integer: halves to the even neighbour.
int Round(double v) {
  return static_cast<int>(std::nearbyint(v));
}

// a * b / c rounded to the nearest, halves away from zero.
int MulDiv(int a, int b, int c) {
  const int64_t p = static_cast<int64_t>(a) * b;
  const int64_t q = (2 * std::llabs(p) + c) / (2 * static_cast<int64_t>(c));
  return static_cast<int>(p < 0 ? -q : q);
}

}  // namespace

const host::TEnumInfo& Effect3DInfo() {
  static const host::TEnumInfo info("T3DEffectShort", {"A3dNormal", "A3dResit", "A3dRaised", "A3dShadowed"});
  return info;
}

const host::TEnumInfo& DirectionInfo() {
  static const host::TEnumInfo info(
      "TDirection", {"bdUp", "bdDown", "bdLeft", "bdRight", "bdHorzIn", "bdHorzOut", "bdVertIn", "bdVertOut"});
  return info;
}

// ---------------------------------------------------------------- TLabelStyle

void TLabelStyle::SetAngle(int32_t v) {
  angle_ = v < 0 || v > 359 ? 0 : v;
  Changed();
}

void TLabelStyle::SetAStyle3D(T3DEffectShort v) {
  style_ = v;
  Changed();
}

void TLabelStyle::SetAShadeRightBottom(host::TColor v) {
  shade_right_bottom_ = v;
  Changed();
}

void TLabelStyle::SetAShadeLeftTop(host::TColor v) {
  if (shade_lt_set_) return;
  shade_left_top_ = v;
  Changed();
}

void TLabelStyle::SetAShadeLTSet(bool v) {
  // Setting it again would keep the white aside and lose the shade.
  if (v == shade_lt_set_) return;
  shade_lt_set_ = v;
  if (v) {
    saved_left_top_ = shade_left_top_;
    shade_left_top_ = 0xFFFFFF;
  } else {
    shade_left_top_ = saved_left_top_;
  }
  Changed();
}

void TLabelStyle::SetAHShadeOffSet(int32_t v) {
  h_offset_ = v;
  if (style_ == A3dShadowed) Changed();
}

void TLabelStyle::SetAVShadeOffSet(int32_t v) {
  v_offset_ = v;
  if (style_ == A3dShadowed) Changed();
}

void TLabelStyle::Assign(const host::TPersistent& source) {
  const auto* s = dynamic_cast<const TLabelStyle*>(&source);
  if (!s) AssignError(&source);
  angle_ = s->angle_;
  style_ = s->style_;
  shade_right_bottom_ = s->shade_right_bottom_;
  shade_left_top_ = s->shade_left_top_;
  saved_left_top_ = s->saved_left_top_;
  shade_lt_set_ = s->shade_lt_set_;
  h_offset_ = s->h_offset_;
  v_offset_ = s->v_offset_;
  Changed();
}

const host::TPropertyTable& TLabelStyle::ClassProperties() {
  static const host::TPropertyTable table =
      host::PublishClass<TLabelStyle>("TLabelStyle", nullptr, [](host::TPublisher<TLabelStyle>& p) {
        p.Integer("Angle", &TLabelStyle::Angle, &TLabelStyle::SetAngle).Default(0);
        p.Enumeration("AStyle3D", Effect3DInfo(), &TLabelStyle::AStyle3D, &TLabelStyle::SetAStyle3D)
            .Default(A3dRaised);
        p.Integer("AShadeRightBottom", &TLabelStyle::AShadeRightBottom, &TLabelStyle::SetAShadeRightBottom)
            .Default(0x808080);
        p.Integer("AShadeLeftTop", &TLabelStyle::AShadeLeftTop, &TLabelStyle::SetAShadeLeftTop)
            .Default(0xFFFFFF);
        p.Boolean("AShadeLTSet", &TLabelStyle::AShadeLTSet, &TLabelStyle::SetAShadeLTSet).Default(false);
        p.Integer("AHShadeOffSet", &TLabelStyle::AHShadeOffSet, &TLabelStyle::SetAHShadeOffSet).Default(5);
        p.Integer("AVShadeOffSet", &TLabelStyle::AVShadeOffSet, &TLabelStyle::SetAVShadeOffSet).Default(-5);
      });
  return table;
}

// ---------------------------------------------------------------- TRotate3DLabel

TRotate3DLabel::TRotate3DLabel(host::TComponent* owner) : host::TCustomLabel(owner) {
  SetTransparent(true);
  SetAutoSize(false);
  Font().SetName("Arial");
  Font().SetStyle(1u << host::fsBold);
  style_.OnChange = [this] {
    if (!painting_) Invalidate();
  };
  TakeDesignTag(*this, g_current_label);
}

TRotate3DLabel::~TRotate3DLabel() {
  style_.OnChange = nullptr;
  if (g_current_label == this) g_current_label = nullptr;
}

void TRotate3DLabel::SetMyTransparent(bool v) {
  my_transparent_ = v;
  Invalidate();
}

void TRotate3DLabel::SetTag(int32_t v) {
  TakeTag(*this, v, g_current_label);
  host::TCustomLabel::SetTag(v);
}

TRotate3DLabel* TRotate3DLabel::Current() { return g_current_label; }

void TRotate3DLabel::Paint() {
  painting_ = true;
  struct TDone {
    bool& flag;
    ~TDone() { flag = false; }
  } done{painting_};

  cos_ = std::cos(style_.Angle() * kDegToRad);
  sin_ = std::sin(style_.Angle() * kDegToRad);
  if (!my_transparent_) style_.SetAStyle3D(A3dNormal);
  int shade = 0;
  int highlight = 0;
  if (style_.AStyle3D() == A3dResit) {
    shade = -1;
    highlight = 1;
  } else if (style_.AStyle3D() == A3dRaised) {
    shade = 1;
    highlight = -1;
  }

  host::TCanvas& canvas = Canvas();
  canvas.Font().Assign(Font());
  canvas.Font().SetEscapement(style_.Angle() * 10);
  const std::string& text = Caption();
  const int tw = canvas.TextWidth(text);
  const int th = canvas.TextHeight(text);

  const int y = Round(tw / 2.0 * sin_) + Height() / 2 - Round(th / 2.0 * cos_);
  int x = 0;
  if (Alignment() == host::taRightJustify) {
    x = Width() - tw;
  } else if (Alignment() == host::taCenter) {
    x = Width() / 2 - Round(tw / 2.0 * cos_) - Round(th / 2.0 * sin_);
  }

  if (!my_transparent_) {
    // The box behind the text, turned with it about the control's centre:
    // along the text (cos, -sin), across it downwards (sin, cos).
    const double cx = Width() / 2.0;
    const double cy = Height() / 2.0;
    const double hw = (tw + 10) / 2.0;
    const double hh = (th + 7) / 2.0;
    std::vector<host::TPoint> box;
    for (const auto& [u, v] : {std::pair{-hw, -hh}, {hw, -hh}, {hw, hh}, {-hw, hh}}) {
      box.push_back(host::TPoint{Round(cx + u * cos_ + v * sin_), Round(cy - u * sin_ + v * cos_)});
    }
    canvas.Brush().Color = Color();
    canvas.Brush().Style = host::bsSolid;
    canvas.Pen().Color = Color();
    canvas.Polygon(box);
  }
  canvas.Brush().Style = host::bsClear;

  const T3DEffectShort effect = style_.AStyle3D();
  if (effect != A3dNormal) {
    if (effect != A3dShadowed) {
      canvas.Font().SetColor(style_.AShadeLeftTop());
      canvas.TextOut(x + highlight, y + highlight, text);
    }
    canvas.Font().SetColor(style_.AShadeRightBottom());
    if (effect == A3dShadowed) {
      canvas.TextOut(x + style_.AHShadeOffSet(), y + style_.AVShadeOffSet(), text);
    } else {
      canvas.TextOut(x + shade, y + shade, text);
    }
  }
  canvas.Font().SetColor(Font().Color());
  canvas.TextOut(x, y, text);
  // The turned font is the painting's own.
  canvas.Font().Assign(Font());
}

const host::TPropertyTable& TRotate3DLabel::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TRotate3DLabel>(
      "TRotate3DLabel", &host::TControl::ClassProperties(), [](host::TPublisher<TRotate3DLabel>& p) {
        p.String("Caption", &host::TControl::Caption, &host::TControl::SetCaption).DefaultString("");
        p.Object("LabelStyle", [](TRotate3DLabel& l) -> host::TPersistent& { return l.LabelStyle(); });
        p.Enumeration("Alignment", host::AlignmentInfo(), &host::TCustomLabel::Alignment,
                      &host::TCustomLabel::SetAlignment)
            .Default(host::taLeftJustify);
        p.Boolean("MyTransparent", &TRotate3DLabel::MyTransparent, &TRotate3DLabel::SetMyTransparent)
            .Default(true);
      });
  return table;
}

// ---------------------------------------------------------------- TBackdrop

TBackdrop::TBackdrop(host::TComponent* owner) : host::TCustomPanel(owner) {
  SetAlign(host::alClient);
  TakeDesignTag(*this, g_current_backdrop);
}

TBackdrop::~TBackdrop() {
  if (g_current_backdrop == this) g_current_backdrop = nullptr;
}

void TBackdrop::SetDirection(TDirection v) {
  direction_ = v;
  Invalidate();
}

void TBackdrop::SetStartColor(host::TColor v) {
  start_color_ = v;
  Invalidate();
}

void TBackdrop::SetEndColor(host::TColor v) {
  end_color_ = v;
  Invalidate();
}

void TBackdrop::Assign(const host::TPersistent& source) {
  const auto* b = dynamic_cast<const TBackdrop*>(&source);
  if (!b) AssignError(&source);
  direction_ = b->direction_;
  start_color_ = b->start_color_;
  end_color_ = b->end_color_;
  SetAlign(b->Align());
  Invalidate();
}

void TBackdrop::SetTag(int32_t v) {
  TakeTag(*this, v, g_current_backdrop);
  host::TCustomPanel::SetTag(v);
}

TBackdrop* TBackdrop::Current() { return g_current_backdrop; }

void TBackdrop::Paint() {
  struct TGradient {
    host::TColor from, to;
    bool mirrored;
    bool acrossHeight;
  };
  const host::TColor s = start_color_;
  const host::TColor e = end_color_;
  static_assert(bdVertOut == 7);
  const TGradient table[] = {
      {s, e, false, true}, {e, s, false, true}, {s, e, false, false}, {e, s, false, false},
      {e, s, true, true},  {s, e, true, true},  {s, e, true, false},  {e, s, true, false},
  };
  const TGradient& g = table[direction_];

  host::TCanvas& canvas = Canvas();
  canvas.Brush().Style = host::bsSolid;
  const int size = g.acrossHeight ? Height() : Width();
  const auto band = [&](int from, int to) {
    return g.acrossHeight ? host::TRect{0, from, Width(), to} : host::TRect{from, 0, to, Height()};
  };
  const auto channel = [](host::TColor c, int shift) { return static_cast<int>((c >> shift) & 0xFF); };
  const int n = g.mirrored ? 127 : 255;
  for (int i = 0; i <= n; ++i) {
    host::TColor color = 0;
    for (int shift : {0, 8, 16}) {
      const int from = channel(g.from, shift);
      const int value = from + MulDiv(channel(g.to, shift) - from, i, n);
      color |= static_cast<host::TColor>(value) << shift;
    }
    canvas.Brush().Color = color;
    canvas.FillRect(band(i * size / 256, (i + 1) * size / 256));
    if (g.mirrored) canvas.FillRect(band((255 - i) * size / 256, (256 - i) * size / 256));
  }
}

const host::TPropertyTable& TBackdrop::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TBackdrop>(
      "TBackdrop", &host::TWinControl::ClassProperties(), [](host::TPublisher<TBackdrop>& p) {
        p.String("Caption", &host::TControl::Caption, &host::TControl::SetCaption).DefaultString("");
        p.Enumeration("Direction", DirectionInfo(), &TBackdrop::Direction, &TBackdrop::SetDirection)
            .Default(bdUp);
        p.Integer("StartColor", &TBackdrop::StartColor, &TBackdrop::SetStartColor).Default(0xFF0000);
        p.Integer("EndColor", &TBackdrop::EndColor, &TBackdrop::SetEndColor).Default(0);
      });
  return table;
}

}  // namespace orln
