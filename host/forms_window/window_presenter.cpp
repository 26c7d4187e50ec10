#include "host/forms_window/window_presenter.h"

#include <FL/Enumerations.H>
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Image_Surface.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Input_Choice.H>
#include <FL/Fl_PNG_Image.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Secret_Input.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>
#include <FL/Fl_Text_Editor.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xlib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <vector>

#include "host/forms/forms.h"
#include "host/forms/std_controls.h"
#include "host/forms/terminal_presenter.h"
#include "host/forms_window/window_model.h"
#include "os/host_profile.h"

namespace host {

namespace {

Fl_Color Rgb(uint32_t rgb) {
  return fl_rgb_color(static_cast<uchar>(rgb >> 16), static_cast<uchar>(rgb >> 8), static_cast<uchar>(rgb));
}

Fl_Font FontFace(const std::string& name, bool bold) {
  Fl_Font face = FL_HELVETICA;
  if (name.rfind("Courier", 0) == 0 || name == "Fixedsys" || name == "Lucida Console") face = FL_COURIER;
  else if (name.rfind("Times", 0) == 0) face = FL_TIMES;
  return bold ? face + FL_BOLD : face;
}

uint8_t CharsetOf(const TControl* c) { return c ? c->Font().Charset() : ANSI_CHARSET; }

// Replays what `control` painted on its recording canvas (a form's OnPaint
// too) with (ox, oy) as its origin. False when it painted nothing.
bool ReplayPainting(TControl& control, int ox, int oy, int w, int h) {
  TCanvas& canvas = control.Canvas();
  canvas.ClearOps();
  try {
    control.Paint();
    if (auto* form = dynamic_cast<TCustomForm*>(&control); form && form->OnPaint) form->OnPaint(form);
  } catch (...) {
    // Painting code that fails leaves what it drew; the window goes on.
  }
  if (canvas.Ops().empty()) return false;
  fl_push_clip(ox, oy, w, h);
  for (const TCanvasOp& op : canvas.Ops()) {
    fl_color(Rgb(ColorToRgb(op.Color)));
    switch (op.Kind) {
      case TCanvasOp::coFillRect:
        fl_rectf(ox + op.Rect.Left, oy + op.Rect.Top, op.Rect.Width(), op.Rect.Height());
        break;
      case TCanvasOp::coRectangle:
        fl_rect(ox + op.Rect.Left, oy + op.Rect.Top, op.Rect.Width(), op.Rect.Height());
        break;
      case TCanvasOp::coLine:
        fl_line(ox + op.Rect.Left, oy + op.Rect.Top, ox + op.Rect.Right, oy + op.Rect.Bottom);
        break;
      case TCanvasOp::coPolygon:
        if (op.Points.size() >= 3) {
          fl_begin_complex_polygon();
          for (const TPoint& p : op.Points) fl_vertex(ox + p.X, oy + p.Y);
          fl_end_complex_polygon();
        }
        break;
      case TCanvasOp::coTextOut: {
        const int em = op.FontHeight < 0 ? -op.FontHeight : op.FontHeight > 0 ? op.FontHeight : FontEm(control.Font());
        fl_font(FontFace(op.FontName, (control.Font().Style() & (1u << fsBold)) != 0 ||
                                          (canvas.Font().Style() & (1u << fsBold)) != 0),
                em);
        const std::string text = CodePageToUtf8(op.Text, CharsetOf(&control));
        // The canvas places text by the top of its cell; the toolkit by the
        // baseline, which turns with the text.
        const double angle = op.Escapement / 10.0;
        const double rad = angle * M_PI / 180.0;
        const int ascent = fl_height() - fl_descent();
        const int x = ox + op.At.X + static_cast<int>(std::lround(ascent * std::sin(rad)));
        const int y = oy + op.At.Y + static_cast<int>(std::lround(ascent * std::cos(rad)));
        if (op.Escapement % 3600 == 0)
          fl_draw(text.c_str(), x, y);
        else
          fl_draw(static_cast<int>(std::lround(angle)), text.c_str(), x, y);
        break;
      }
    }
  }
  fl_pop_clip();
  return true;
}

// ---------------------------------------------------------------- widgets

// What every bound widget knows: its control, and where to send what the
// user did.
struct TBinding;
using TPost = std::function<void(const TUserAction&)>;

// A box that shows a control: its painting replayed over the box when the
// control paints (a rotated label draws its own caption), else its label.
template <class W>
class TPainted : public W {
 public:
  TPainted(TControl& c, int x, int y, int w, int h) : W(x, y, w, h), control_(c) {}
  void draw() override {
    W::draw_box();
    if (!ReplayPainting(control_, W::x(), W::y(), W::w(), W::h())) W::draw_label();
  }

 protected:
  TControl& control_;
};

// Labels, panels, group boxes, pages: a box whose label may carry a '&'
// that underlines the next letter; clicks run the control's OnClick.
class TBoxWidget : public TPainted<Fl_Box> {
 public:
  TBoxWidget(TControl& c, int x, int y, int w, int h, TPost post)
      : TPainted<Fl_Box>(c, x, y, w, h), post_(std::move(post)) {
    set_flag(SHORTCUT_LABEL);
  }
  int handle(int e) override {
    if (control_.OnClick && (e == FL_PUSH || e == FL_RELEASE)) {
      if (e == FL_RELEASE && Fl::event_inside(this)) post_(ClickAction(control_));
      return 1;
    }
    return Fl_Box::handle(e);
  }

 private:
  TPost post_;
};

class TButtonWidget : public Fl_Button {
 public:
  TButtonWidget(int x, int y, int w, int h) : Fl_Button(x, y, w, h) {}
  bool IsDefault = false;
  void draw() override {
    Fl_Button::draw();
    if (IsDefault) {
      fl_color(FL_BLACK);
      fl_rect(x(), y(), w(), h());
    }
  }
};

class TRadioButton : public Fl_Round_Button {
 public:
  TRadioButton(int x, int y, int w, int h) : Fl_Round_Button(x, y, w, h) {
    type(FL_RADIO_BUTTON);
    set_flag(SHORTCUT_LABEL);
  }
};

class TEditWidget : public Fl_Input {
 public:
  TEditWidget(TControl& c, int x, int y, int w, int h, TPost post)
      : Fl_Input(x, y, w, h), control_(c), post_(std::move(post)) {}
  int handle(int e) override {
    // A click in an edit focuses it and runs its OnClick, as the platform's.
    if (e == FL_PUSH && control_.OnClick) post_(ClickAction(control_));
    return Fl_Input::handle(e);
  }

 private:
  TControl& control_;
  TPost post_;
};

class TSecretWidget : public Fl_Secret_Input {
 public:
  using Fl_Secret_Input::Fl_Secret_Input;
};

// A tab control: a row of tabs across its top.
class TTabsWidget : public Fl_Widget {
 public:
  TTabsWidget(TControl& c, int x, int y, int w, int h, TPost post)
      : Fl_Widget(x, y, w, h), control_(c), post_(std::move(post)) {}
  std::vector<std::string> Tabs;
  int Index = -1;
  int TabRow() const { return std::min(h(), fl_height(labelfont(), labelsize()) + 8); }
  int TabWidth(size_t i) const {
    fl_font(labelfont(), labelsize());
    return static_cast<int>(fl_width(Tabs[i].c_str())) + 16;
  }
  void draw() override {
    fl_push_clip(x(), y(), w(), h());
    fl_color(color());
    fl_rectf(x(), y(), w(), h());
    const int row = TabRow();
    draw_box(FL_UP_FRAME, x(), y() + row - 1, w(), h() - row + 1, color());
    int at = x() + 2;
    for (size_t i = 0; i < Tabs.size(); ++i) {
      const int tw = TabWidth(i);
      const bool chosen = static_cast<int>(i) == Index;
      draw_box(chosen ? FL_UP_BOX : FL_THIN_UP_BOX, at, y() + (chosen ? 0 : 2), tw, row - (chosen ? 0 : 2), color());
      fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
      fl_draw(Tabs[i].c_str(), at, y(), tw, row, FL_ALIGN_CENTER);
      at += tw;
    }
    fl_pop_clip();
  }
  int handle(int e) override {
    if (e == FL_PUSH) {
      if (Fl::event_y() >= y() + TabRow()) return 0;
      int at = x() + 2;
      for (size_t i = 0; i < Tabs.size(); ++i) {
        const int tw = TabWidth(i);
        if (Fl::event_x() >= at && Fl::event_x() < at + tw) {
          if (static_cast<int>(i) != Index) post_(ChooseAction(control_, static_cast<int>(i)));
          return 1;
        }
        at += tw;
      }
    }
    return 0;
  }

 private:
  TControl& control_;
  TPost post_;
};

// An image: the picture when it decodes, else a frame.
class TImageWidget : public TBoxWidget {
 public:
  using TBoxWidget::TBoxWidget;
  ~TImageWidget() override { delete image_; }
  void SetBytes(const std::string& bytes, bool stretch, bool center) {
    if (bytes == bytes_ && stretch == stretch_ && center == center_) return;
    bytes_ = bytes;
    stretch_ = stretch;
    center_ = center;
    delete image_;
    image_ = nullptr;
    decoded_ = false;
    if (const std::optional<TRgbImage> bmp = DecodeBitmap(bytes)) {
      pixels_ = bmp->Pixels;
      image_ = new Fl_RGB_Image(pixels_.data(), bmp->Width, bmp->Height, 3);
    } else if (bytes.size() > 8 && bytes.compare(0, 4, "\x89PNG") == 0) {
      image_ = new Fl_PNG_Image(nullptr, reinterpret_cast<const unsigned char*>(bytes_.data()),
                                static_cast<int>(bytes_.size()));
    }
    if (image_ && (image_->w() <= 0 || image_->h() <= 0 || image_->fail() != 0)) {
      delete image_;
      image_ = nullptr;
    }
    if (image_ && stretch_ && w() > 0 && h() > 0) {
      Fl_Image* scaled = image_->copy(w(), h());
      delete image_;
      image_ = scaled;
    }
    decoded_ = image_ != nullptr;
    redraw();
  }
  void draw() override {
    if (decoded_) {
      int ix = x(), iy = y();
      if (center_) ix += (w() - image_->w()) / 2, iy += (h() - image_->h()) / 2;
      fl_push_clip(x(), y(), w(), h());
      image_->draw(ix, iy);
      fl_pop_clip();
    } else {
      fl_color(FL_DARK3);
      fl_rect(x(), y(), w(), h());
    }
  }

 private:
  std::string bytes_;
  std::vector<uint8_t> pixels_;  // the decoded bitmap the image draws from
  Fl_Image* image_ = nullptr;
  bool decoded_ = false;
  bool stretch_ = false;
  bool center_ = false;
};

std::string PictureBytes(const TImage& image) {
  const TGraphic* g = image.Picture().Graphic();
  return g ? g->Data() : std::string();
}

// ---------------------------------------------------------------- windows

class TFormWindow;

struct TBinding {
  TControl* Control = nullptr;
  void* Data = nullptr;              // the TRef its widgets call back with
  TFormWindow* Window = nullptr;
  Fl_Widget* Widget = nullptr;
  TWidgetKind Kind = wkOther;
  Fl_Text_Buffer* Buffer = nullptr;  // memos
  TControlView Last;                 // what the widget shows
  std::vector<int> Widths;           // a list view's column widths, as the browser keeps them
  bool Fresh = true;
};

// What decides which widget a control needs: a change rebuilds the window.
struct TShape {
  TControl* Control;
  TWinControl* Parent;
  TWidgetKind Kind;
  bool ReadOnly;
  bool Password;
  size_t Items;  // radio buttons
  bool operator==(const TShape&) const = default;
};

}  // namespace

// What a widget's callback is given: the presenter and the control.
using TRef = std::pair<TWindowPresenterImpl*, TControl*>;

struct TWindowPresenterImpl {
  std::map<TCustomForm*, std::unique_ptr<TFormWindow>> windows;
  std::map<TControl*, TBinding> bindings;
  std::deque<TUserAction> actions;
  bool dirty = true;
  int in_toolkit = 0;  // inside FLTK's wait or check: no re-entry

  void Post(const TUserAction& a) { actions.push_back(a); }
  void Sync();
  void SyncWindow(TFormWindow& w);
  void Rebuild(TFormWindow& w, const std::vector<TControl*>& controls);
  void Unbind(TControl* c);
  void Apply(TBinding& b, const TControlView& v);
  bool Take(TUserAction& a);
  void Wait(double seconds) {
    ++in_toolkit;
    Fl::wait(seconds);
    --in_toolkit;
  }
  void Check() {
    ++in_toolkit;
    Fl::check();
    --in_toolkit;
  }
};

namespace {

class TFormWindow : public Fl_Double_Window {
 public:
  TFormWindow(TCustomForm& form, TWindowPresenterImpl& impl)
      : Fl_Double_Window(std::max(1, form.ClientWidth()), std::max(1, form.ClientHeight())),
        form_(form),
        impl_(impl) {
    end();
    box(FL_FLAT_BOX);
    callback([](Fl_Widget* w, void*) { static_cast<TFormWindow*>(w)->Closing(); });
  }
  TCustomForm& Form() const { return form_; }
  std::vector<TShape> Shapes;
  TControl* PushedFocus = nullptr;  // the control whose focus was last given to a widget

  void draw() override {
    if (damage() & ~FL_DAMAGE_CHILD) {
      draw_box(box(), 0, 0, w(), h(), color());
      ReplayPainting(form_, 0, 0, w(), h());
    }
    draw_children();
  }
  // A key reaches the window when the focused widget and its parents
  // passed it up (FL_KEYBOARD), or as a shortcut nothing took.
  int handle(int e) override {
    if (e == FL_KEYBOARD || e == FL_SHORTCUT) {
      const int key = Fl::event_key();
      if (key == FL_Enter || key == FL_KP_Enter) {
        if (e == FL_SHORTCUT && Fl_Double_Window::handle(e)) return 1;
        const TUserAction a = EnterAction(form_);
        if (a.Kind == TUserAction::uaNone) return 0;
        impl_.Post(a);
        return 1;
      }
      if (key == FL_Escape) {
        impl_.Post(EscapeAction(form_));
        return 1;
      }
    }
    return Fl_Double_Window::handle(e);
  }

 private:
  void Closing() {
    // Escape reaches here when nothing took it; the close box otherwise.
    if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape)
      impl_.Post(EscapeAction(form_));
    else
      impl_.Post(CloseAction(form_));
  }
  TCustomForm& form_;
  TWindowPresenterImpl& impl_;
};

void CollectControls(const TWinControl& parent, std::vector<TControl*>& out) {
  for (int i = 0; i < parent.ControlCount(); ++i) {
    TControl* c = parent.Controls(i);
    out.push_back(c);
    if (auto* w = dynamic_cast<TWinControl*>(c)) CollectControls(*w, out);
  }
}

TShape ShapeOf(TControl* c) {
  TShape s{c, c->Parent(), WidgetKindOf(*c), false, false, 0};
  if (auto* e = dynamic_cast<TCustomEdit*>(c)) s.ReadOnly = e->ReadOnly();
  if (auto* e = dynamic_cast<TEdit*>(c)) s.Password = e->PasswordChar() != 0;
  if (auto* rg = dynamic_cast<TRadioGroup*>(c)) s.Items = static_cast<size_t>(rg->Items().Count());
  return s;
}

void SetLabel(Fl_Widget* w, const std::string& utf8) {
  const std::string text = LiteralLabel(utf8);
  if (!w->label() || text != w->label()) w->copy_label(text.c_str());
}

void SetBrowserItems(Fl_Hold_Browser* b, const std::vector<std::string>& items, const std::vector<std::string>& header) {
  b->clear();
  if (!header.empty()) {
    std::string line;
    for (size_t i = 0; i < header.size(); ++i) line += (i ? "\t" : "") + header[i];
    b->add(line.c_str());
  }
  for (const std::string& item : items) b->add(item.c_str());
}

}  // namespace

void TWindowPresenterImpl::Unbind(TControl* c) {
  auto it = bindings.find(c);
  if (it == bindings.end()) return;
  Fl_Widget* w = it->second.Widget;
  if (Fl_Group* g = w->parent()) g->remove(w);
  delete w;
  delete it->second.Buffer;
  delete static_cast<TRef*>(it->second.Data);
  bindings.erase(it);
}

void TWindowPresenterImpl::Rebuild(TFormWindow& window, const std::vector<TControl*>& controls) {
  for (auto it = bindings.begin(); it != bindings.end();) {
    if (it->second.Window == &window) {
      TControl* c = it->first;
      ++it;
      Unbind(c);
    } else {
      ++it;
    }
  }
  window.begin();
  TPost post = [this](const TUserAction& a) { Post(a); };
  for (TControl* c : controls) {
    const TControlView v = ViewOf(*c);
    const TRect& r = v.Bounds;
    const int x = r.Left, y = r.Top, w = std::max(1, r.Width()), h = std::max(1, r.Height());
    TBinding b;
    b.Control = c;
    b.Window = &window;
    b.Kind = v.Kind;
    switch (v.Kind) {
      case wkButton: {
        auto* bt = new TButtonWidget(x, y, w, h);
        bt->callback([](Fl_Widget*, void* d) {
          auto* b = static_cast<TRef*>(d);
          b->first->Post(ClickAction(*b->second));
        });
        b.Widget = bt;
        break;
      }
      case wkCheckBox:
        b.Widget = new Fl_Check_Button(x, y, w, h);
        break;
      case wkRadioGroup: {
        auto* g = new Fl_Group(x, y, w, h);
        g->box(FL_ENGRAVED_FRAME);
        g->align(FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE);
        const int count = static_cast<int>(v.Items.size());
        const int top = y + 16, each = count ? std::max(1, (h - 20) / count) : 1;
        for (int i = 0; i < count; ++i) {
          new TRadioButton(x + 8, top + i * each, std::max(1, w - 16), std::min(each, 24));
        }
        g->end();
        g->resizable(nullptr);
        b.Widget = g;
        break;
      }
      case wkEdit:
        if (v.Password)
          b.Widget = new TSecretWidget(x, y, w, h);
        else
          b.Widget = new TEditWidget(*c, x, y, w, h, post);
        b.Widget->when(FL_WHEN_CHANGED);
        break;
      case wkMemo: {
        b.Buffer = new Fl_Text_Buffer();
        Fl_Text_Display* d = v.ReadOnly ? new Fl_Text_Display(x, y, w, h) : new Fl_Text_Editor(x, y, w, h);
        d->buffer(b.Buffer);
        if (v.WordWrap) d->wrap_mode(Fl_Text_Display::WRAP_AT_BOUNDS, 0);
        b.Widget = d;
        break;
      }
      case wkComboBox:
        b.Widget = new Fl_Input_Choice(x, y, w, h);
        b.Widget->when(FL_WHEN_CHANGED);
        break;
      case wkDropDownList:
        b.Widget = new Fl_Choice(x, y, w, h);
        break;
      case wkListBox:
      case wkListView: {
        auto* lb = new Fl_Hold_Browser(x, y, w, h);
        lb->format_char(0);
        b.Widget = lb;
        break;
      }
      case wkTabControl:
        b.Widget = new TTabsWidget(*c, x, y, w, h, post);
        break;
      case wkProgressBar: {
        auto* p = new Fl_Progress(x, y, w, h);
        p->minimum(0);
        p->maximum(100);
        p->selection_color(fl_rgb_color(0, 120, 215));
        b.Widget = p;
        break;
      }
      case wkImage:
        b.Widget = new TImageWidget(*c, x, y, w, h, post);
        break;
      case wkPanel:
      case wkGroupBox:
      case wkPage:
      case wkLabel:
      case wkOther:
        b.Widget = new TBoxWidget(*c, x, y, w, h, post);
        break;
    }
    auto* data = new TRef(this, c);
    // The pair lives as long as the widget: Unbind frees both.
    b.Data = data;
    b.Widget->user_data(data);
    if (v.Kind != wkButton && v.Kind != wkTabControl && v.Kind != wkImage && v.Kind != wkLabel &&
        v.Kind != wkPanel && v.Kind != wkGroupBox && v.Kind != wkPage && v.Kind != wkOther) {
      b.Widget->callback([](Fl_Widget* w, void* d) {
        auto* p = static_cast<TRef*>(d);
        TWindowPresenterImpl& impl = *p->first;
        TControl& c = *p->second;
        auto it = impl.bindings.find(&c);
        if (it == impl.bindings.end()) return;
        switch (it->second.Kind) {
          case wkCheckBox:
            impl.Post(CheckAction(c, static_cast<Fl_Check_Button*>(w)->value() != 0));
            break;
          case wkEdit:
            impl.Post(TypeAction(c, static_cast<Fl_Input_*>(w)->value()));
            break;
          case wkComboBox:
            impl.Post(ComboAction(static_cast<TComboBox&>(c), static_cast<Fl_Input_Choice*>(w)->value()));
            break;
          case wkDropDownList:
            impl.Post(ChooseAction(c, static_cast<Fl_Choice*>(w)->value()));
            break;
          case wkListBox:
          case wkListView: {
            const int line = static_cast<Fl_Hold_Browser*>(w)->value();
            const int first = it->second.Last.Columns.empty() ? 1 : 2;
            if (line >= first && line - first != it->second.Last.Index) impl.Post(ChooseAction(c, line - first));
            break;
          }
          default:
            break;
        }
      });
    }
    if (v.Kind == wkRadioGroup) {
      auto* g = static_cast<Fl_Group*>(b.Widget);
      for (int i = 0; i < g->children(); ++i) {
        g->child(i)->user_data(data);
        g->child(i)->callback([](Fl_Widget* w, void* d) {
          auto* p = static_cast<TRef*>(d);
          const int index = w->parent()->find(w);
          auto it = p->first->bindings.find(p->second);
          if (it != p->first->bindings.end() && index != it->second.Last.Index)
            p->first->Post(ChooseAction(*p->second, index));
        });
      }
    }
    if (v.Kind == wkMemo) {
      b.Buffer->add_modify_callback(
          [](int, int inserted, int deleted, int, const char*, void* d) {
            auto* p = static_cast<TRef*>(d);
            if (inserted == 0 && deleted == 0) return;
            auto it = p->first->bindings.find(p->second);
            if (it == p->first->bindings.end() || it->second.Fresh) return;  // set by the presenter
            char* text = it->second.Buffer->text();
            p->first->Post(TypeAction(*p->second, text));
            free(text);
          },
          data);
    }
    bindings.emplace(c, b);
  }
  window.end();
  window.redraw();
}

void TWindowPresenterImpl::Apply(TBinding& b, const TControlView& v) {
  Fl_Widget* w = b.Widget;
  const TControlView& last = b.Last;
  const bool fresh = b.Fresh;
  b.Fresh = true;  // a memo's buffer calls back while it is set here
  const TRect& r = v.Bounds;
  if (fresh || r != last.Bounds) w->resize(r.Left, r.Top, std::max(1, r.Width()), std::max(1, r.Height()));
  if (v.Shown && !w->visible()) w->show();
  if (!v.Shown && w->visible()) w->hide();
  if (v.Enabled && !w->active()) w->activate();
  if (!v.Enabled && w->active()) w->deactivate();
  const Fl_Font face = FontFace(b.Control->Font().Name(), v.Bold);
  w->labelfont(face);
  w->labelsize(v.FontSize);
  w->labelcolor(Rgb(v.FontColor));
  switch (b.Kind) {
    case wkButton: {
      auto* bt = static_cast<TButtonWidget*>(w);
      SetLabel(bt, v.Label);
      if (bt->IsDefault != v.Default) bt->IsDefault = v.Default, bt->redraw();
      break;
    }
    case wkCheckBox: {
      auto* cb = static_cast<Fl_Check_Button*>(w);
      SetLabel(cb, v.Label);
      if ((cb->value() != 0) != v.Checked) cb->value(v.Checked ? 1 : 0);
      break;
    }
    case wkRadioGroup: {
      auto* g = static_cast<Fl_Group*>(w);
      SetLabel(g, v.Label);
      g->labelsize(v.FontSize);
      for (int i = 0; i < g->children() && i < static_cast<int>(v.Items.size()); ++i) {
        auto* rb = static_cast<Fl_Round_Button*>(g->child(i));
        SetLabel(rb, v.Items[static_cast<size_t>(i)]);
        rb->labelsize(v.FontSize);
        rb->labelfont(face);
        if ((rb->value() != 0) != (i == v.Index)) rb->value(i == v.Index ? 1 : 0);
      }
      break;
    }
    case wkEdit: {
      auto* in = static_cast<Fl_Input_*>(w);
      in->textsize(v.FontSize);
      in->textfont(face);
      if (v.Text != in->value()) in->value(v.Text.c_str());
      in->readonly(v.ReadOnly ? 1 : 0);
      break;
    }
    case wkMemo: {
      auto* d = static_cast<Fl_Text_Display*>(w);
      d->textsize(v.FontSize);
      d->textfont(face);
      if (fresh || v.Text != last.Text) {
        char* now = b.Buffer->text();
        if (v.Text != now) b.Buffer->text(v.Text.c_str());
        free(now);
      }
      break;
    }
    case wkComboBox: {
      auto* ic = static_cast<Fl_Input_Choice*>(w);
      if (fresh || v.Items != last.Items) {
        ic->clear();
        for (const std::string& item : v.Items) ic->add(LiteralLabel(item).c_str());
      }
      if (v.Text != ic->value()) ic->value(v.Text.c_str());
      break;
    }
    case wkDropDownList: {
      auto* ch = static_cast<Fl_Choice*>(w);
      if (fresh || v.Items != last.Items) {
        ch->clear();
        for (const std::string& item : v.Items) ch->add(LiteralLabel(item).c_str());
      }
      if (ch->value() != v.Index) ch->value(v.Index);
      break;
    }
    case wkListBox:
    case wkListView: {
      auto* lb = static_cast<Fl_Hold_Browser*>(w);
      lb->textsize(v.FontSize);
      if (fresh || v.Items != last.Items || v.Columns != last.Columns) SetBrowserItems(lb, v.Items, v.Columns);
      if (b.Kind == wkListView) {
        const auto& lv = static_cast<const TListView&>(*b.Control);
        std::vector<int> widths;
        for (int i = 0; i < lv.Columns().Count(); ++i) widths.push_back(lv.Columns().Items(i)->Width());
        widths.push_back(0);
        if (widths != b.Widths) {
          b.Widths = std::move(widths);
          lb->column_widths(b.Widths.data());
        }
      }
      const int first = v.Columns.empty() ? 1 : 2;
      const int line = v.Index >= 0 ? v.Index + first : 0;
      if (lb->value() != line) lb->value(line);
      break;
    }
    case wkTabControl: {
      auto* t = static_cast<TTabsWidget*>(w);
      if (t->Tabs != v.Items || t->Index != v.Index) {
        t->Tabs = v.Items;
        t->Index = v.Index;
        t->redraw();
      }
      break;
    }
    case wkProgressBar: {
      auto* p = static_cast<Fl_Progress*>(w);
      if (fresh || v.Percent != last.Percent) {
        p->value(static_cast<float>(v.Percent));
        p->copy_label((std::to_string(v.Percent) + "%").c_str());
      }
      break;
    }
    case wkImage: {
      const auto& img = static_cast<const TImage&>(*b.Control);
      static_cast<TImageWidget*>(w)->SetBytes(PictureBytes(img), img.Stretch(), img.Center());
      break;
    }
    case wkLabel: {
      auto* box = static_cast<Fl_Box*>(w);
      const auto& l = static_cast<const TCustomLabel&>(*b.Control);
      box->box(l.Transparent() ? FL_NO_BOX : FL_FLAT_BOX);
      box->color(Rgb(v.Color));
      Fl_Align align = FL_ALIGN_INSIDE | FL_ALIGN_TOP |
                       (v.Alignment == taCenter ? FL_ALIGN_CENTER
                        : v.Alignment == taRightJustify ? FL_ALIGN_RIGHT : FL_ALIGN_LEFT);
      if (v.WordWrap) align |= FL_ALIGN_WRAP;
      box->align(align);
      SetLabel(box, v.Label);
      break;
    }
    case wkPanel: {
      auto* box = static_cast<Fl_Box*>(w);
      const auto& p = static_cast<const TCustomPanel&>(*b.Control);
      box->box(p.BevelOuter() == bvRaised  ? FL_THIN_UP_BOX
               : p.BevelOuter() == bvLowered ? FL_THIN_DOWN_BOX
                                             : FL_FLAT_BOX);
      box->color(Rgb(v.Color));
      box->align(FL_ALIGN_INSIDE | FL_ALIGN_CENTER);
      SetLabel(box, v.Label);
      break;
    }
    case wkGroupBox: {
      auto* box = static_cast<Fl_Box*>(w);
      box->box(FL_ENGRAVED_FRAME);
      box->align(FL_ALIGN_INSIDE | FL_ALIGN_TOP_LEFT);
      SetLabel(box, v.Label);
      break;
    }
    case wkPage: {
      auto* box = static_cast<Fl_Box*>(w);
      box->box(FL_FLAT_BOX);
      box->color(Rgb(v.Color));
      break;
    }
    case wkOther: {
      auto* box = static_cast<Fl_Box*>(w);
      box->box(FL_NO_BOX);
      break;
    }
  }
  if (v.Label != last.Label || v.Shown != last.Shown || v.Enabled != last.Enabled || fresh) w->redraw();
  b.Last = v;
  b.Fresh = false;
}

void TWindowPresenterImpl::SyncWindow(TFormWindow& window) {
  TCustomForm& form = window.Form();
  std::vector<TControl*> controls;
  CollectControls(form, controls);
  std::vector<TShape> shapes;
  shapes.reserve(controls.size());
  for (TControl* c : controls) shapes.push_back(ShapeOf(c));
  if (shapes != window.Shapes) {
    Rebuild(window, controls);
    window.Shapes = std::move(shapes);
  }
  const std::string caption = LiteralLabel(CodePageToUtf8(form.Caption(), CharsetOf(&form)));
  if (!window.label() || caption != window.label()) window.copy_label(caption.c_str());
  window.color(Rgb(ColorToRgb(form.Color())));
  if (window.w() != form.ClientWidth() || window.h() != form.ClientHeight())
    window.size(std::max(1, form.ClientWidth()), std::max(1, form.ClientHeight()));
  TControl* focus = nullptr;
  for (TControl* c : controls) {
    auto it = bindings.find(c);
    if (it == bindings.end()) continue;
    const TControlView v = ViewOf(*c);
    Apply(it->second, v);
    if (v.Focused && v.Shown) focus = c;
  }
  // The form's active control takes the focus when the program moved it.
  if (focus && focus != window.PushedFocus) {
    window.PushedFocus = focus;
    if (window.shown()) bindings[focus].Widget->take_focus();
  }
  window.redraw();
}

void TWindowPresenterImpl::Sync() {
  if (!dirty) return;
  dirty = false;
  for (auto& [form, window] : windows) {
    if (!form->Visible()) {
      if (window->shown()) window->hide();
      continue;
    }
    SyncWindow(*window);
    if (!window->shown()) {
      window->clear_modal_states();
      if (form->Modal()) window->set_modal();
      if (form->Position() == poScreenCenter || form->Position() == poDesktopCenter ||
          form->Position() == poMainFormCenter || form->Position() == poOwnerFormCenter)
        window->position((Fl::w() - window->w()) / 2, (Fl::h() - window->h()) / 2);
      else
        window->position(form->Left(), form->Top());
      window->show();
      if (window->PushedFocus) {
        auto it = bindings.find(window->PushedFocus);
        if (it != bindings.end()) it->second.Widget->take_focus();
      }
    }
  }
}

bool TWindowPresenterImpl::Take(TUserAction& a) {
  while (!actions.empty()) {
    a = actions.front();
    actions.pop_front();
    // The user acted on what was shown then; what changed since may have
    // taken the control away.
    bool formLives = false;
    for (int i = 0; i < Screen().FormCount() && !formLives; ++i) formLives = Screen().Forms(i) == a.Form;
    if (!formLives) continue;
    if (a.Kind == TUserAction::uaClose) return true;
    auto* c = dynamic_cast<TControl*>(a.Form->FindComponent(a.Control));
    if (!c || !c->Showing()) continue;
    bool enabled = true;
    for (const TControl* p = c; p && enabled; p = p->Parent()) enabled = p->Enabled();
    if (enabled) return true;
  }
  return false;
}

// ---------------------------------------------------------------- presenter

bool WindowDisplayUsable(std::string& why) {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) {
    why = "DISPLAY is not set";
    return false;
  }
  Display* d = XOpenDisplay(name);
  if (!d) {
    why = std::string("cannot open the display ") + name;
    return false;
  }
  XCloseDisplay(d);
  return true;
}

TWindowPresenter::TWindowPresenter() : impl_(std::make_unique<TWindowPresenterImpl>()) {
  std::string why;
  if (!WindowDisplayUsable(why)) throw EPresenterError("No window can be shown: " + why);
  fl_open_display();
  Fl::visual(FL_DOUBLE | FL_RGB);
  Fl::scheme("gtk+");
}

TWindowPresenter::~TWindowPresenter() {
  while (!impl_->bindings.empty()) impl_->Unbind(impl_->bindings.begin()->first);
  impl_->windows.clear();
  Fl::check();
}

void TWindowPresenter::FormShown(TCustomForm& form, bool) {
  if (!form.Parent() && !impl_->windows.count(&form))
    impl_->windows.emplace(&form, std::make_unique<TFormWindow>(form, *impl_));
  impl_->dirty = true;
}

void TWindowPresenter::FormHidden(TCustomForm& form) {
  impl_->dirty = true;
  auto it = impl_->windows.find(&form);
  if (it != impl_->windows.end() && it->second->shown()) {
    it->second->hide();
    impl_->Check();
  }
}

void TWindowPresenter::FormGone(TCustomForm& form) {
  std::erase_if(impl_->actions, [&](const TUserAction& a) { return a.Form == &form; });
  auto it = impl_->windows.find(&form);
  if (it == impl_->windows.end()) return;
  for (auto b = impl_->bindings.begin(); b != impl_->bindings.end();) {
    TControl* c = b->first;
    const bool mine = b->second.Window == it->second.get();
    ++b;
    if (mine) impl_->Unbind(c);
  }
  impl_->windows.erase(it);
  impl_->dirty = true;
}

void TWindowPresenter::ControlChanged(TControl& control) {
  impl_->dirty = true;
  // Progress shows at once, also where the work never asks for messages.
  if (impl_->in_toolkit || !dynamic_cast<TProgressBar*>(&control)) return;
  auto it = impl_->bindings.find(&control);
  if (it != impl_->bindings.end() && it->second.Last.Percent == static_cast<TProgressBar&>(control).Percent())
    return;
  impl_->Sync();
  impl_->Check();
}

void TWindowPresenter::ControlGone(TControl& control) {
  impl_->Unbind(&control);
  impl_->dirty = true;
}

TUserAction TWindowPresenter::WaitAction(TCustomForm& form) {
  for (;;) {
    impl_->Sync();
    TUserAction a;
    if (impl_->Take(a)) return a;
    if (!form.Visible()) throw EPresenterError("Form " + FormTitle(form) + " waits for the user but is not shown");
    impl_->Wait(0.25);
  }
}

bool TWindowPresenter::PendingAction(TUserAction& action) {
  impl_->Sync();
  impl_->Check();
  return impl_->Take(action);
}

unsigned long TWindowPresenter::WindowId(const TCustomForm& form) {
  impl_->Sync();
  impl_->Check();
  auto it = impl_->windows.find(const_cast<TCustomForm*>(&form));
  if (it == impl_->windows.end() || !it->second->shown()) return 0;
  return static_cast<unsigned long>(fl_xid(it->second.get()));
}

bool TWindowPresenter::SaveScreenshot(const TCustomForm& form, const std::string& path) {
  if (!WindowId(form)) return false;
  Fl_Window* w = impl_->windows[const_cast<TCustomForm*>(&form)].get();
  Fl::flush();
  // The window is drawn again into an image of its own, so the shot does not
  // depend on whether the display has mapped and exposed it yet.
  Fl_RGB_Image* image = nullptr;
  {
    Fl_Image_Surface surface(w->w(), w->h());
    surface.set_current();
    fl_color(w->color());
    fl_rectf(0, 0, w->w(), w->h());
    surface.draw(w);
    image = surface.image();
    Fl_Display_Device::display_device()->set_current();
  }
  if (!image) return false;
  const int iw = image->w(), ih = image->h(), depth = image->d();
  const int line = image->ld() ? image->ld() : iw * depth;
  const auto* data = reinterpret_cast<const unsigned char*>(image->data()[0]);
  bool ok = depth >= 3;
  if (ok) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
      std::fprintf(f, "P6\n%d %d\n255\n", iw, ih);
      for (int y = 0; y < ih && ok; ++y)
        for (int x = 0; x < iw && ok; ++x)
          ok = std::fwrite(data + static_cast<size_t>(y) * line + static_cast<size_t>(x) * depth, 1, 3, f) == 3;
      ok = std::fclose(f) == 0 && ok;
    } else {
      ok = false;
    }
  }
  delete image;
  return ok;
}

// ---------------------------------------------------------------- dialogs

namespace {

// Runs `window` modally until `done`.
void RunModal(Fl_Window& window, const bool& done) {
  window.set_modal();
  window.show();
  while (!done && window.shown()) Fl::wait(0.25);
  window.hide();
  Fl::check();
}

int TextWidth(const std::string& s) {
  fl_font(FL_HELVETICA, 14);
  return static_cast<int>(fl_width(s.c_str()));
}

}  // namespace

int TWindowPresenter::MessageBox(const std::string& text, const std::string& caption, int flags) {
  impl_->Sync();
  const uint8_t cs = CharsetOf(Screen().ActiveForm());
  const std::vector<TMessageButton> buttons = MessageBoxButtons(flags);
  const int def = MessageBoxDefault(flags);
  int cancel = def;
  for (const TMessageButton& b : buttons)
    if (b.Id == IDCANCEL) cancel = IDCANCEL;
  const std::string body = LiteralLabel(CodePageToUtf8(text, cs));
  fl_font(FL_HELVETICA, 14);
  int tw = 360, th = 0;
  fl_measure(body.c_str(), tw, th, 0);
  const int iconW = (flags & 0xF0) ? 48 : 0;
  const int bw = 88, gap = 8, n = static_cast<int>(buttons.size());
  const int width = std::max(tw + iconW + 40, n * (bw + gap) + 32);
  const int height = th + 80;
  Fl_Double_Window w(width, height);
  const std::string title = CodePageToUtf8(caption, cs);
  w.copy_label(title.c_str());
  int answer = 0;
  bool done = false;
  struct TClose {
    int* answer;
    bool* done;
    int cancel;
  } close{&answer, &done, cancel};
  w.callback(
      [](Fl_Widget*, void* d) {
        auto* c = static_cast<TClose*>(d);
        *c->answer = c->cancel;
        *c->done = true;
      },
      &close);
  if (iconW) {
    const int kind = flags & 0xF0;
    auto* icon = new Fl_Box(16, 16, 32, 32, kind == MB_ICONERROR ? "X" : kind == MB_ICONQUESTION ? "?" : kind == MB_ICONWARNING ? "!" : "i");
    icon->box(FL_OVAL_BOX);
    icon->color(kind == MB_ICONERROR ? FL_RED : kind == MB_ICONWARNING ? FL_YELLOW : fl_rgb_color(0, 120, 215));
    icon->labelcolor(kind == MB_ICONWARNING ? FL_BLACK : FL_WHITE);
    icon->labelfont(FL_HELVETICA_BOLD);
    icon->labelsize(20);
  }
  auto* message = new Fl_Box(20 + iconW, 16, tw, th);
  message->copy_label(body.c_str());
  message->labelsize(14);
  message->align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_WRAP);
  struct TPick {
    int id;
    int* answer;
    bool* done;
  };
  std::vector<TPick> picks;
  picks.reserve(buttons.size());
  int x = width - n * (bw + gap) - gap;
  Fl_Widget* focus = nullptr;
  for (const TMessageButton& b : buttons) {
    picks.push_back(TPick{b.Id, &answer, &done});
    Fl_Button* bt = b.Id == def ? new Fl_Return_Button(x, height - 40, bw, 28) : new Fl_Button(x, height - 40, bw, 28);
    bt->copy_label(b.Name);
    bt->callback(
        [](Fl_Widget*, void* d) {
          auto* p = static_cast<TPick*>(d);
          *p->answer = p->id;
          *p->done = true;
        },
        &picks.back());
    if (b.Id == def) focus = bt;
    x += bw + gap;
  }
  w.end();
  if (focus) focus->take_focus();
  ++impl_->in_toolkit;
  RunModal(w, done);
  --impl_->in_toolkit;
  return done ? answer : cancel;
}

namespace {

// The folder chooser: the folders of the current one, a path edit
// (TOFDPathEdit) that may name a folder not made yet, and a button that makes
// the folder the edit names (TOFDCreateButton).
class TOFDPathEdit : public Fl_Input {
 public:
  using Fl_Input::Fl_Input;
};
class TOFDCreateButton : public Fl_Button {
 public:
  using Fl_Button::Fl_Button;
};

class TFolderChooser {
 public:
  TFolderChooser(const std::string& title, const std::string& start, uint8_t charset)
      : browser_(start), charset_(charset), window_(420, 380) {
    const std::string caption = CodePageToUtf8(title, charset);
    window_.copy_label(caption.c_str());
    window_.callback([](Fl_Widget*, void* d) { static_cast<TFolderChooser*>(d)->Finish(false); }, this);
    list_ = new Fl_Hold_Browser(10, 10, 400, 250);
    list_->format_char(0);
    list_->callback([](Fl_Widget*, void* d) { static_cast<TFolderChooser*>(d)->Picked(); }, this);
    folderLabel_ = CodePageToUtf8(os::LoadString("shell32.dll", 8977), charset);
    const int lw = folderLabel_.empty() ? 0 : TextWidth(folderLabel_) + 12;
    auto* label = new Fl_Box(10, 270, lw, 26);
    label->copy_label(LiteralLabel(folderLabel_).c_str());
    label->align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT);
    path_ = new TOFDPathEdit(10 + lw, 270, 400 - lw, 26);
    const std::string createText = CodePageToUtf8(os::LoadString("comdlg32.dll", 703), charset);
    create_ = new TOFDCreateButton(10, 340, std::max(120, TextWidth(createText) + 24), 28);
    create_->copy_label(LiteralLabel(createText.empty() ? std::string("+") : createText).c_str());
    create_->callback([](Fl_Widget*, void* d) { static_cast<TFolderChooser*>(d)->Create(); }, this);
    auto* ok = new Fl_Return_Button(230, 340, 88, 28, "OK");
    ok->callback([](Fl_Widget*, void* d) { static_cast<TFolderChooser*>(d)->Finish(true); }, this);
    auto* cancel = new Fl_Button(322, 340, 88, 28, "Cancel");
    cancel->callback([](Fl_Widget*, void* d) { static_cast<TFolderChooser*>(d)->Finish(false); }, this);
    window_.end();
    Fill();
  }

  bool Run(std::string& path) {
    RunModal(window_, done_);
    if (!chosen_) return false;
    const std::string typed = Utf8ToCodePage(path_->value(), charset_);
    path = browser_.Resolve(typed.empty() ? browser_.Folder() : typed);
    return true;
  }

 private:
  void Fill() {
    list_->clear();
    list_->add("..");
    for (const std::string& name : browser_.SubFolders()) list_->add(CodePageToUtf8(name, charset_).c_str());
    path_->value(CodePageToUtf8(browser_.Folder(), charset_).c_str());
  }
  void Picked() {
    const int line = list_->value();
    if (line <= 0) return;
    const std::string name = Utf8ToCodePage(list_->text(line), charset_);
    if (Fl::event_clicks()) {  // a double click goes in (or up)
      if (line == 1 ? browser_.Up() : browser_.Open(name)) Fill();
      return;
    }
    const std::string p = line == 1 ? browser_.Folder() : browser_.Resolve(name);
    path_->value(CodePageToUtf8(p, charset_).c_str());
  }
  void Create() {
    const std::string typed = Utf8ToCodePage(path_->value(), charset_);
    if (browser_.CreateFolder(typed)) Fill();
  }
  void Finish(bool chosen) {
    chosen_ = chosen;
    done_ = true;
  }

  TFolderBrowser browser_;
  uint8_t charset_;
  Fl_Double_Window window_;
  Fl_Hold_Browser* list_ = nullptr;
  TOFDPathEdit* path_ = nullptr;
  TOFDCreateButton* create_ = nullptr;
  std::string folderLabel_;
  bool done_ = false;
  bool chosen_ = false;
};

}  // namespace

bool TWindowPresenter::BrowseForFolder(const std::string& title, std::string& path) {
  impl_->Sync();
  TFolderChooser chooser(title, path, CharsetOf(Screen().ActiveForm()));
  ++impl_->in_toolkit;
  const bool chosen = chooser.Run(path);
  --impl_->in_toolkit;
  return chosen;
}

// The library makes itself known to presenter choice when linked in.
namespace {
const bool g_registered = [] {
  TPresenterFactory f;
  f.Usable = [](std::string& why) { return WindowDisplayUsable(why); };
  f.Create = [](const TPresenterOptions&) -> std::unique_ptr<TPresenter> {
    return std::make_unique<TWindowPresenter>();
  };
  f.Preferred = true;
  RegisterPresenter("window", std::move(f));
  return true;
}();
}  // namespace

}  // namespace host
