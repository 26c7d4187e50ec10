#include "host/forms/graphics.h"

#include "host/rtl/exceptions.h"

namespace host {

const char* CharsetCodePage(uint8_t charset) {
  switch (charset) {
    case SHIFTJIS_CHARSET: return "CP932";
    case HANGEUL_CHARSET: return "CP949";
    case GB2312_CHARSET: return "CP936";
    case CHINESEBIG5_CHARSET: return "CP950";
    case GREEK_CHARSET: return "WINDOWS-1253";
    case TURKISH_CHARSET: return "WINDOWS-1254";
    case VIETNAMESE_CHARSET: return "WINDOWS-1258";
    case HEBREW_CHARSET: return "WINDOWS-1255";
    case ARABIC_CHARSET: return "WINDOWS-1256";
    case BALTIC_CHARSET: return "WINDOWS-1257";
    case RUSSIAN_CHARSET: return "WINDOWS-1251";
    case THAI_CHARSET: return "CP874";
    case EASTEUROPE_CHARSET: return "WINDOWS-1250";
    default: return "WINDOWS-1252";
  }
}

const TEnumInfo& FontStyleInfo() {
  static const TEnumInfo info("TFontStyle", {"fsBold", "fsItalic", "fsUnderline", "fsStrikeOut"});
  return info;
}

// ---------------------------------------------------------------- TFont

void TFont::Changed() {
  if (OnChange) OnChange();
}
void TFont::SetCharset(uint8_t v) {
  charset_ = v;
  Changed();
}
void TFont::SetColor(TColor v) {
  color_ = v;
  Changed();
}
void TFont::SetHeight(int32_t v) {
  height_ = v;
  Changed();
}
void TFont::SetName(const std::string& v) {
  name_ = v;
  Changed();
}
int32_t TFont::Size() const {
  const int64_t h = height_ < 0 ? -int64_t{height_} : height_;
  return static_cast<int32_t>((h * 72 + 48) / 96);
}
void TFont::SetSize(int32_t v) {
  height_ = static_cast<int32_t>(-((int64_t{v} * 96 + 36) / 72));
  Changed();
}
void TFont::SetStyle(TFontStyles v) {
  style_ = v;
  Changed();
}

void TFont::Assign(const TPersistent& source) {
  const auto* f = dynamic_cast<const TFont*>(&source);
  if (!f) AssignError(&source);
  charset_ = f->charset_;
  color_ = f->color_;
  height_ = f->height_;
  name_ = f->name_;
  style_ = f->style_;
  escapement_ = f->escapement_;
  Changed();
}

const TPropertyTable& TFont::ClassProperties() {
  static const TPropertyTable table = PublishClass<TFont>("TFont", nullptr, [](TPublisher<TFont>& p) {
    p.Integer("Charset", &TFont::Charset, &TFont::SetCharset);
    p.Integer("Color", &TFont::Color, &TFont::SetColor);
    p.Integer("Height", &TFont::Height, &TFont::SetHeight);
    p.String("Name", &TFont::Name, &TFont::SetName);
    p.Integer("Size", &TFont::Size, &TFont::SetSize).StoredWhen<TFont>([](const TFont&) { return false; });
    p.Set("Style", FontStyleInfo(), &TFont::Style, &TFont::SetStyle);
  });
  return table;
}

// ---------------------------------------------------------------- graphics

void TGraphic::Assign(const TPersistent& source) {
  const auto* g = dynamic_cast<const TGraphic*>(&source);
  if (!g || typeid(*g) != typeid(*this)) AssignError(&source);
  data_ = g->data_;
}

void TGraphic::DefineProperties(TFiler& filer) const {
  filer.Define<TGraphic>([](TPublisher<TGraphic>& p) {
    p.Binary("Data", &TGraphic::Data, &TGraphic::SetData)
        .StoredWhen<TGraphic>([](const TGraphic& g) { return !g.Empty(); });
  });
}

std::unique_ptr<TGraphic> TBitmap::Clone() const { return CloneAs<TBitmap>(); }
std::unique_ptr<TGraphic> TIcon::Clone() const { return CloneAs<TIcon>(); }

void TPicture::SetGraphic(const TGraphic* graphic) {
  graphic_ = graphic ? graphic->Clone() : nullptr;
  Changed();
}

TBitmap& TPicture::Bitmap() { return Holding<TBitmap>(); }
TIcon& TPicture::Icon() { return Holding<TIcon>(); }

void TPicture::Assign(const TPersistent& source) {
  if (const auto* p = dynamic_cast<const TPicture*>(&source)) {
    SetGraphic(p->Graphic());
  } else if (const auto* g = dynamic_cast<const TGraphic*>(&source)) {
    SetGraphic(g);
  } else {
    AssignError(&source);
  }
}

std::string TPicture::StreamData() const {
  if (!graphic_) return std::string();
  const std::string cls = graphic_->ClassName();
  std::string out(1, static_cast<char>(cls.size()));
  out += cls;
  out += graphic_->Data();
  return out;
}

void TPicture::SetStreamData(const std::string& data) {
  if (data.empty()) {
    SetGraphic(nullptr);
    return;
  }
  const size_t len = static_cast<unsigned char>(data[0]);
  if (1 + len > data.size()) throw EReadError("Picture data damaged");
  const std::string cls = data.substr(1, len);
  std::unique_ptr<TGraphic> g;
  if (cls == "TBitmap")
    g = std::make_unique<TBitmap>();
  else if (cls == "TIcon")
    g = std::make_unique<TIcon>();
  else
    throw EReadError("Unknown picture format " + cls);
  g->SetData(data.substr(1 + len));
  graphic_ = std::move(g);
  Changed();
}

void TPicture::DefineProperties(TFiler& filer) const {
  filer.Define<TPicture>([](TPublisher<TPicture>& p) {
    p.Binary("Data", &TPicture::StreamData, &TPicture::SetStreamData)
        .StoredWhen<TPicture>([](const TPicture& pic) { return pic.Graphic() != nullptr; });
  });
}

const TPropertyTable& TPicture::ClassProperties() {
  static const TPropertyTable table =
      PublishClass<TPicture>("TPicture", nullptr, [](TPublisher<TPicture>&) {});
  return table;
}

// ---------------------------------------------------------------- canvas

int FontEm(const TFont& font) {
  if (font.Height() < 0) return -font.Height();
  if (font.Height() > 0) return font.Height();
  return font.Size() * 96 / 72;
}

int FontTextHeight(const TFont& font) {
  const int em = FontEm(font);
  return em + (em + 3) / 4;
}

int FontTextWidth(const TFont& font, size_t bytes) {
  const int per = (FontEm(font) + 1) / 2 + ((font.Style() & (1u << fsBold)) ? 1 : 0);
  return static_cast<int>(bytes) * per;
}

void TCanvas::FillRect(const TRect& rect) {
  TCanvasOp op;
  op.Kind = TCanvasOp::coFillRect;
  op.Rect = rect;
  op.Color = brush_.Color;
  ops_.push_back(std::move(op));
}

void TCanvas::Polygon(const std::vector<TPoint>& points) {
  if (brush_.Style == bsClear) return;
  TCanvasOp op;
  op.Kind = TCanvasOp::coPolygon;
  op.Points = points;
  op.Color = brush_.Color;
  ops_.push_back(std::move(op));
}

void TCanvas::Rectangle(const TRect& rect) {
  TCanvasOp op;
  op.Kind = TCanvasOp::coRectangle;
  op.Rect = rect;
  op.Color = brush_.Color;
  ops_.push_back(std::move(op));
}

void TCanvas::LineTo(int x, int y) {
  TCanvasOp op;
  op.Kind = TCanvasOp::coLine;
  op.Rect = TRect{pen_pos_.X, pen_pos_.Y, x, y};
  op.Color = pen_.Color;
  ops_.push_back(std::move(op));
  pen_pos_ = TPoint{x, y};
}

void TCanvas::TextOut(int x, int y, const std::string& text) {
  TCanvasOp op;
  op.Kind = TCanvasOp::coTextOut;
  op.At = TPoint{x, y};
  op.Text = text;
  op.Color = font_.Color();
  op.Escapement = font_.Escapement();
  op.FontName = font_.Name();
  op.FontHeight = font_.Height();
  ops_.push_back(std::move(op));
}

int TCanvas::TextWidth(const std::string& text) const { return FontTextWidth(font_, text.size()); }
int TCanvas::TextHeight(const std::string&) const { return FontTextHeight(font_); }

}  // namespace host
