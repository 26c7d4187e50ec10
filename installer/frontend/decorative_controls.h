// The decorative controls of the installer's main window: TBackdrop, a panel
// filling its parent's client area with a two-colour gradient, and
// TRotate3DLabel, a label drawing its caption at any angle with a raised,
// sunken or shadowed look (its TLabelStyle).
//
// Painting goes to the control's recording canvas (host/forms/graphics.h):
// a presenter or a test calls Paint and reads what was drawn.
//
// Callers must keep:
//  - Each class has one current instance, the control whose Tag is -1:
//    setting Tag -1 on a control makes it current and sets the previous
//    current one's Tag to 0; any other Tag on the current one, or freeing
//    it, leaves the class without one. A control made on a designing owner
//    becomes current when there is none. Current() only borrows.
//  - A label's style belongs to the label; SetLabelStyle copies.
#pragma once

#include <cstdint>
#include <functional>

#include "host/classes/prop_table.h"
#include "host/forms/std_controls.h"

namespace orln {

enum T3DEffectShort : uint8_t { A3dNormal, A3dResit, A3dRaised, A3dShadowed };
const host::TEnumInfo& Effect3DInfo();

// How a TRotate3DLabel draws its caption.
class TLabelStyle : public host::TPersistent {
 public:
  TLabelStyle() = default;
  TLabelStyle(const TLabelStyle&) = delete;
  TLabelStyle& operator=(const TLabelStyle&) = delete;

  // Degrees counter-clockwise, 0 .. 359; any other value becomes 0.
  int32_t Angle() const { return angle_; }
  void SetAngle(int32_t v);
  T3DEffectShort AStyle3D() const { return style_; }
  void SetAStyle3D(T3DEffectShort v);
  host::TColor AShadeRightBottom() const { return shade_right_bottom_; }
  void SetAShadeRightBottom(host::TColor v);
  // Ignored while AShadeLTSet is set.
  host::TColor AShadeLeftTop() const { return shade_left_top_; }
  void SetAShadeLeftTop(host::TColor v);
  // Set: the left-top shade is kept aside and becomes white; cleared: it
  // comes back.
  bool AShadeLTSet() const { return shade_lt_set_; }
  void SetAShadeLTSet(bool v);
  // The shadow's offsets (A3dShadowed only).
  int32_t AHShadeOffSet() const { return h_offset_; }
  void SetAHShadeOffSet(int32_t v);
  int32_t AVShadeOffSet() const { return v_offset_; }
  void SetAVShadeOffSet(int32_t v);

  // The seven values of another style.
  void Assign(const host::TPersistent& source) override;
  // Runs after a change that alters the drawing (the label repaints).
  std::function<void()> OnChange;

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  void Changed() {
    if (OnChange) OnChange();
  }

  int32_t angle_ = 0;
  T3DEffectShort style_ = A3dRaised;
  host::TColor shade_right_bottom_ = 0x808080;
  host::TColor shade_left_top_ = 0xFFFFFF;
  host::TColor saved_left_top_ = 0xFFFFFF;
  bool shade_lt_set_ = false;
  int32_t h_offset_ = 5;
  int32_t v_offset_ = -5;
};

class TRotate3DLabel : public host::TCustomLabel {
 public:
  explicit TRotate3DLabel(host::TComponent* owner);
  ~TRotate3DLabel() override;

  TLabelStyle& LabelStyle() { return style_; }
  const TLabelStyle& LabelStyle() const { return style_; }
  void SetLabelStyle(const TLabelStyle& v) { style_.Assign(v); }
  // Without it the caption sits on a box of the label's colour, and the
  // style's effect becomes A3dNormal at the next painting, for good.
  bool MyTransparent() const { return my_transparent_; }
  void SetMyTransparent(bool v);

  void SetTag(int32_t v) override;
  // The label whose Tag is -1, or null.
  static TRotate3DLabel* Current();

  void Paint() override;

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  static constexpr double kDegToRad = 3.14159265358979323846 / 180.0;

  TLabelStyle style_;
  bool my_transparent_ = true;
  bool painting_ = false;
  // Of the angle last painted.
  double cos_ = 1.0;
  double sin_ = 0.0;
};

enum TDirection : uint8_t { bdUp, bdDown, bdLeft, bdRight, bdHorzIn, bdHorzOut, bdVertIn, bdVertOut };
const host::TEnumInfo& DirectionInfo();

class TBackdrop : public host::TCustomPanel {
 public:
  explicit TBackdrop(host::TComponent* owner);
  ~TBackdrop() override;

  TDirection Direction() const { return direction_; }
  void SetDirection(TDirection v);
  host::TColor StartColor() const { return start_color_; }
  void SetStartColor(host::TColor v);
  host::TColor EndColor() const { return end_color_; }
  void SetEndColor(host::TColor v);

  // The direction, both colours and the alignment of another backdrop.
  void Assign(const host::TPersistent& source) override;

  void SetTag(int32_t v) override;
  // The backdrop whose Tag is -1, or null.
  static TBackdrop* Current();

  void Paint() override;

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  TDirection direction_ = bdUp;
  host::TColor start_color_ = 0xFF0000;
  host::TColor end_color_ = 0;
};

}  // namespace orln
