#include "installer/frontend/decorative_controls.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/classes/component_text.h"
#include "host/forms/forms.h"
#include "installer/frontend/frontend_classes.h"

namespace orln {
namespace {

using host::TCanvasOp;

class DecorativeControlsTest : public ::testing::Test {
 protected:
  void SetUp() override { owner_ = std::make_unique<host::TComponent>(nullptr); }
  void TearDown() override { owner_.reset(); }

  template <class T>
  T* Make() {
    return host::New<T>(owner_.get());
  }
  // The label's text drawings: where and in which colour.
  static std::vector<std::string> Texts(host::TControl& c) {
    std::vector<std::string> out;
    for (const TCanvasOp& op : c.Canvas().Ops()) {
      if (op.Kind != TCanvasOp::coTextOut) continue;
      char buf[64];
      std::snprintf(buf, sizeof buf, "%06X@%d,%d/%d", static_cast<unsigned>(op.Color), op.At.X, op.At.Y,
                    op.Escapement);
      out.push_back(buf);
    }
    return out;
  }
  TRotate3DLabel* Label(const std::string& caption, int angle, host::TAlignment alignment,
                        T3DEffectShort effect) {
    auto* l = Make<TRotate3DLabel>();
    l->SetBounds(0, 0, 200, 100);
    l->SetCaption(caption);
    l->SetAlignment(alignment);
    l->LabelStyle().SetAngle(angle);
    l->LabelStyle().SetAStyle3D(effect);
    l->Font().SetColor(0x0000FF);
    return l;
  }

  std::unique_ptr<host::TComponent> owner_;
};

TEST_F(DecorativeControlsTest, LabelStyleKeepsItsRules) {
  TLabelStyle style;
  int changes = 0;
  style.OnChange = [&] { ++changes; };
  style.SetAngle(360);
  EXPECT_EQ(style.Angle(), 0);
  style.SetAngle(-1);
  EXPECT_EQ(style.Angle(), 0);
  style.SetAngle(359);
  EXPECT_EQ(style.Angle(), 359);
  EXPECT_EQ(changes, 3);

  // The left-top shade is put aside while the flag is set, and comes back.
  style.SetAShadeLeftTop(0x00FF00);
  style.SetAShadeLTSet(true);
  EXPECT_EQ(style.AShadeLeftTop(), 0xFFFFFF);
  style.SetAShadeLeftTop(0x123456);
  EXPECT_EQ(style.AShadeLeftTop(), 0xFFFFFF);
  style.SetAShadeLTSet(true);  // again: the shade put aside stays
  style.SetAShadeLTSet(false);
  EXPECT_EQ(style.AShadeLeftTop(), 0x00FF00);

  // The offsets matter, and repaint, only for a shadow.
  changes = 0;
  style.SetAHShadeOffSet(3);
  style.SetAVShadeOffSet(-3);
  EXPECT_EQ(changes, 0);
  style.SetAStyle3D(A3dShadowed);
  style.SetAHShadeOffSet(4);
  EXPECT_EQ(changes, 2);

  TLabelStyle copy;
  copy.Assign(style);
  EXPECT_EQ(copy.Angle(), 359);
  EXPECT_EQ(copy.AStyle3D(), A3dShadowed);
  EXPECT_EQ(copy.AShadeLeftTop(), 0x00FF00);
  EXPECT_EQ(copy.AShadeRightBottom(), 0x808080);
  EXPECT_EQ(copy.AHShadeOffSet(), 4);
  EXPECT_EQ(copy.AVShadeOffSet(), -3);
  EXPECT_FALSE(copy.AShadeLTSet());
}

TEST_F(DecorativeControlsTest, LabelGeometryForAnglesAlignmentsAndEffects) {
  // Arial bold of height 11 in the fixed metrics: 7 bytes are 7 * 6 + 7 = 49
  // pixels wide, a line 14 high. The control is 200 x 100.
  {
    // Flat, left aligned, raised: highlight up-left, shade down-right.
    TRotate3DLabel* l = Label("Install", 0, host::taLeftJustify, A3dRaised);
    l->Paint();
    EXPECT_EQ(Texts(*l), (std::vector<std::string>{"FFFFFF@-1,42/0", "808080@1,44/0", "0000FF@0,43/0"}));
    EXPECT_EQ(l->Canvas().Ops()[0].FontName, "Arial");
  }
  {
    // Upwards, centred: the text runs up from its start, 24.5 rounds to the
    // even 24, and the text's middle is the control's.
    TRotate3DLabel* l = Label("Install", 90, host::taCenter, A3dNormal);
    l->Paint();
    EXPECT_EQ(Texts(*l), (std::vector<std::string>{"0000FF@93,74/900"}));
  }
  {
    // Upside down, right aligned, sunken.
    TRotate3DLabel* l = Label("Install", 180, host::taRightJustify, A3dResit);
    l->Paint();
    EXPECT_EQ(Texts(*l), (std::vector<std::string>{"FFFFFF@152,58/1800", "808080@150,56/1800",
                                                   "0000FF@151,57/1800"}));
  }
  {
    // A shadow at its offsets, no highlight.
    TRotate3DLabel* l = Label("Setup", 45, host::taLeftJustify, A3dShadowed);
    l->LabelStyle().SetAHShadeOffSet(2);
    l->LabelStyle().SetAVShadeOffSet(3);
    l->Paint();
    // tw 35, th 14: y = round(17.5 * 0.7071) + 50 - round(7 * 0.7071) = 12 + 50 - 5.
    EXPECT_EQ(Texts(*l), (std::vector<std::string>{"808080@2,60/450", "0000FF@0,57/450"}));
  }
}

TEST_F(DecorativeControlsTest, AnOpaqueLabelPaintsABoxAndStaysFlat) {
  TRotate3DLabel* l = Label("Install", 90, host::taCenter, A3dRaised);
  l->SetColor(0x00FFFF);
  l->SetMyTransparent(false);
  l->Paint();
  const std::vector<TCanvasOp>& ops = l->Canvas().Ops();
  ASSERT_EQ(ops.size(), 2u);
  ASSERT_EQ(ops[0].Kind, TCanvasOp::coPolygon);
  EXPECT_EQ(ops[0].Color, 0x00FFFF);
  // 59 x 21 turned upright about the centre (100, 50).
  EXPECT_EQ(ops[0].Points, (std::vector<host::TPoint>{{90, 80}, {90, 20}, {110, 20}, {110, 80}}));
  EXPECT_EQ(l->LabelStyle().AStyle3D(), A3dNormal);
  // Transparent again, it keeps the flat look it was given.
  l->SetMyTransparent(true);
  l->Canvas().ClearOps();
  l->Paint();
  EXPECT_EQ(Texts(*l), (std::vector<std::string>{"0000FF@93,74/900"}));
}

TEST_F(DecorativeControlsTest, BackdropBandsCoverTheControlInEveryDirection) {
  auto* b = Make<TBackdrop>();
  EXPECT_EQ(b->Align(), host::alClient);
  b->SetStartColor(0xFF0000);
  b->SetEndColor(0x000000);
  for (int size : {0, 1, 7, 100, 300}) {
    for (int d = bdUp; d <= bdVertOut; ++d) {
      const auto dir = static_cast<TDirection>(d);
      const bool vertical = dir == bdUp || dir == bdDown || dir == bdHorzIn || dir == bdHorzOut;
      b->SetDirection(dir);
      b->SetBounds(0, 0, vertical ? 50 : size, vertical ? size : 50);
      b->Canvas().ClearOps();
      b->Paint();
      const std::vector<TCanvasOp>& ops = b->Canvas().Ops();
      const std::string what = "direction " + std::to_string(d) + " size " + std::to_string(size);
      ASSERT_EQ(ops.size(), 256u) << what;
      // Bands lie side by side along the axis and cover it once.
      std::vector<int> covered(static_cast<size_t>(size), 0);
      for (const TCanvasOp& op : ops) {
        const int from = vertical ? op.Rect.Top : op.Rect.Left;
        const int to = vertical ? op.Rect.Bottom : op.Rect.Right;
        EXPECT_EQ(vertical ? op.Rect.Width() : op.Rect.Height(), 50) << what;
        ASSERT_LE(from, to) << what;
        for (int p = from; p < to; ++p) ++covered[static_cast<size_t>(p)];
      }
      for (int c : covered) EXPECT_EQ(c, 1) << what;
    }
  }
  // Height 100 upwards: 256 bands, several 0 or 1 high, blue fading to black.
  b->SetDirection(bdUp);
  b->SetBounds(0, 0, 50, 100);
  b->Canvas().ClearOps();
  b->Paint();
  const std::vector<TCanvasOp>& up = b->Canvas().Ops();
  EXPECT_EQ(up[0].Rect, (host::TRect{0, 0, 50, 0}));
  EXPECT_EQ(up[2].Rect, (host::TRect{0, 0, 50, 1}));
  EXPECT_EQ(up[0].Color, 0xFF0000);
  EXPECT_EQ(up[128].Color, 127 << 16);
  EXPECT_EQ(up[255].Color, 0);
  EXPECT_EQ(up[255].Rect, (host::TRect{0, 99, 50, 100}));
  // Downwards the colours turn round.
  b->SetDirection(bdDown);
  b->Canvas().ClearOps();
  b->Paint();
  EXPECT_EQ(b->Canvas().Ops()[0].Color, 0);
  EXPECT_EQ(b->Canvas().Ops()[255].Color, 0xFF0000);
  // Inwards from both edges: the end colour at the edges, the start colour
  // meeting in the middle; 127 steps, rounded (255 * 64 / 127 = 128.5).
  b->SetDirection(bdHorzIn);
  b->Canvas().ClearOps();
  b->Paint();
  const std::vector<TCanvasOp>& in = b->Canvas().Ops();
  EXPECT_EQ(in[0].Color, 0);
  EXPECT_EQ(in[1].Color, 0);
  EXPECT_EQ(in[1].Rect, (host::TRect{0, 99, 50, 100}));
  EXPECT_EQ(in[254].Color, 0xFF0000);
  EXPECT_EQ(in[2 * 64].Color, 129 << 16);
}

TEST_F(DecorativeControlsTest, BackdropAssignsItsLook) {
  auto* a = Make<TBackdrop>();
  auto* b = Make<TBackdrop>();
  a->SetDirection(bdVertOut);
  a->SetStartColor(0x112233);
  a->SetEndColor(0x445566);
  a->SetAlign(host::alTop);
  b->Assign(*a);
  EXPECT_EQ(b->Direction(), bdVertOut);
  EXPECT_EQ(b->StartColor(), 0x112233);
  EXPECT_EQ(b->EndColor(), 0x445566);
  EXPECT_EQ(b->Align(), host::alTop);
  auto* l = Make<TRotate3DLabel>();
  EXPECT_THROW(b->Assign(*l), host::EConvertError);
}

TEST_F(DecorativeControlsTest, OneCurrentInstancePerClassByTag) {
  auto* first = Make<TBackdrop>();
  auto* second = Make<TBackdrop>();
  auto* label = Make<TRotate3DLabel>();
  EXPECT_EQ(TBackdrop::Current(), nullptr);
  first->SetTag(-1);
  label->SetTag(-1);  // the label's class keeps its own
  EXPECT_EQ(TBackdrop::Current(), first);
  EXPECT_EQ(TRotate3DLabel::Current(), label);
  second->SetTag(-1);
  EXPECT_EQ(first->Tag(), 0);
  EXPECT_EQ(TBackdrop::Current(), second);
  first->SetTag(7);  // not current: changes nothing else
  EXPECT_EQ(TBackdrop::Current(), second);
  second->SetTag(3);
  EXPECT_EQ(TBackdrop::Current(), nullptr);
  first->SetTag(-1);
  delete first;
  EXPECT_EQ(TBackdrop::Current(), nullptr);
  delete label;
  EXPECT_EQ(TRotate3DLabel::Current(), nullptr);

  // While designing, the first one made becomes current, the next does not.
  owner_->SetDesigning(true);
  auto* designed = Make<TRotate3DLabel>();
  auto* another = Make<TRotate3DLabel>();
  EXPECT_EQ(designed->Tag(), -1);
  EXPECT_EQ(another->Tag(), 0);
  EXPECT_EQ(TRotate3DLabel::Current(), designed);
  owner_.reset();
  EXPECT_EQ(TRotate3DLabel::Current(), nullptr);
}

TEST_F(DecorativeControlsTest, ControlsStreamThroughTheirFormText) {
  host::RegisterStdControls();
  RegisterFrontendClasses();
  RegisterFrontendClasses();
  const std::string text =
      "object Main: TForm\n"
      "  object Back: TBackdrop\n"
      "    Tag = -1\n"
      "    Direction = bdHorzOut\n"
      "    StartColor = 255\n"
      "    object Title: TRotate3DLabel\n"
      "      Caption = 'Tavrin'\n"
      "      Alignment = taCenter\n"
      "      MyTransparent = False\n"
      "      LabelStyle.Angle = 30\n"
      "      LabelStyle.AStyle3D = A3dShadowed\n"
      "      LabelStyle.AShadeLTSet = True\n"
      "      LabelStyle.AVShadeOffSet = 2\n"
      "    end\n"
      "  end\n"
      "end\n";
  std::unique_ptr<host::TComponent> form(host::ReadNewComponent(text, nullptr));
  auto* back = dynamic_cast<TBackdrop*>(form->FindComponent("Back"));
  auto* title = dynamic_cast<TRotate3DLabel*>(form->FindComponent("Title"));
  ASSERT_NE(back, nullptr);
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(TBackdrop::Current(), back);
  EXPECT_EQ(back->Direction(), bdHorzOut);
  EXPECT_EQ(back->StartColor(), 255);
  EXPECT_EQ(title->Parent(), back);
  EXPECT_EQ(title->LabelStyle().Angle(), 30);
  EXPECT_EQ(title->LabelStyle().AStyle3D(), A3dShadowed);
  EXPECT_TRUE(title->LabelStyle().AShadeLTSet());
  EXPECT_EQ(title->LabelStyle().AVShadeOffSet(), 2);
  EXPECT_FALSE(title->MyTransparent());
  EXPECT_EQ(title->Alignment(), host::taCenter);
  // Written and read again, it is the same text.
  const std::string written = host::WriteComponent(*form);
  std::unique_ptr<host::TComponent> again(host::ReadNewComponent(written, nullptr));
  EXPECT_EQ(host::WriteComponent(*again), written);
}

}  // namespace
}  // namespace orln
