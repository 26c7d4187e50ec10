// Graphics of the headless forms: colours, fonts, pictures and a canvas.
//
// Nothing here draws. A TFont is the description a control's text is shown
// with (its charset decides the code page a presenter converts texts from);
// TBitmap, TIcon and TPicture keep their image bytes as they came, opaque;
// TCanvas records what is painted on it (fills, polygons, text with its
// escapement) so that painting code can be checked, and measures text with
// fixed metrics that are the same on every machine:
//   em (pixels)   = |Font.Height|, or Font.Size * 96 / 72 when Height is 0
//   TextHeight    = em + ceil(em / 4)
//   TextWidth     = bytes * ((em + 1) / 2), one pixel more a byte when bold.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/classes/prop_table.h"
#include "host/rtl/object.h"

namespace host {

using TColor = int32_t;
inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clMaroon = 0x000080;
inline constexpr TColor clGreen = 0x008000;
inline constexpr TColor clNavy = 0x800000;
inline constexpr TColor clGray = 0x808080;
inline constexpr TColor clSilver = 0xC0C0C0;
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clBlue = 0xFF0000;
inline constexpr TColor clWhite = 0xFFFFFF;
// System colours: the index of the colour with the top bit set.
inline constexpr TColor clBtnFace = static_cast<TColor>(0x8000000F);
inline constexpr TColor clWindow = static_cast<TColor>(0x80000005);
inline constexpr TColor clWindowText = static_cast<TColor>(0x80000008);

struct TPoint {
  int X = 0;
  int Y = 0;
  bool operator==(const TPoint&) const = default;
};

struct TRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool operator==(const TRect&) const = default;
};

// Charsets a font may name.
inline constexpr uint8_t ANSI_CHARSET = 0;
inline constexpr uint8_t DEFAULT_CHARSET = 1;
inline constexpr uint8_t SHIFTJIS_CHARSET = 128;
inline constexpr uint8_t HANGEUL_CHARSET = 129;
inline constexpr uint8_t GB2312_CHARSET = 134;
inline constexpr uint8_t CHINESEBIG5_CHARSET = 136;
inline constexpr uint8_t GREEK_CHARSET = 161;
inline constexpr uint8_t TURKISH_CHARSET = 162;
inline constexpr uint8_t VIETNAMESE_CHARSET = 163;
inline constexpr uint8_t HEBREW_CHARSET = 177;
inline constexpr uint8_t ARABIC_CHARSET = 178;
inline constexpr uint8_t BALTIC_CHARSET = 186;
inline constexpr uint8_t RUSSIAN_CHARSET = 204;
inline constexpr uint8_t THAI_CHARSET = 222;
inline constexpr uint8_t EASTEUROPE_CHARSET = 238;

// The iconv name of the code page of a charset ("WINDOWS-1252" for ANSI and
// for any charset without a table of its own).
const char* CharsetCodePage(uint8_t charset);

enum TFontStyle : uint8_t { fsBold, fsItalic, fsUnderline, fsStrikeOut };
using TFontStyles = uint8_t;  // bit i for TFontStyle i
const TEnumInfo& FontStyleInfo();

class TFont : public TPersistent {
 public:
  TFont() = default;
  TFont(const TFont&) = delete;
  TFont& operator=(const TFont&) = delete;

  uint8_t Charset() const { return charset_; }
  void SetCharset(uint8_t v);
  TColor Color() const { return color_; }
  void SetColor(TColor v);
  // Negative: the character height in pixels; positive: the cell height.
  int32_t Height() const { return height_; }
  void SetHeight(int32_t v);
  const std::string& Name() const { return name_; }
  void SetName(const std::string& v);
  // Points at 96 pixels an inch.
  int32_t Size() const;
  void SetSize(int32_t v);
  TFontStyles Style() const { return style_; }
  void SetStyle(TFontStyles v);
  // Tenths of a degree, counter-clockwise: the angle text is drawn at. Not
  // streamed (a font made for painting, as the platform's font records).
  int32_t Escapement() const { return escapement_; }
  void SetEscapement(int32_t v) { escapement_ = v; }

  // Every property, escapement included.
  void Assign(const TPersistent& source) override;
  // Runs after every change (a control repaints, a presenter re-reads).
  std::function<void()> OnChange;

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  void Changed();

  uint8_t charset_ = DEFAULT_CHARSET;
  TColor color_ = clWindowText;
  int32_t height_ = -11;
  std::string name_ = "MS Sans Serif";
  TFontStyles style_ = 0;
  int32_t escapement_ = 0;
};

// An image kept as its bytes. Assign copies the bytes of a graphic of the
// same class.
class TGraphic : public TPersistent {
 public:
  const std::string& Data() const { return data_; }
  void SetData(std::string bytes) { data_ = std::move(bytes); }
  bool Empty() const { return data_.empty(); }
  void Assign(const TPersistent& source) override;
  virtual std::unique_ptr<TGraphic> Clone() const = 0;
  // Streams its bytes as the extra property "Data" (a button's Glyph.Data).
  void DefineProperties(TFiler& filer) const override;

 protected:
  template <class T>
  std::unique_ptr<TGraphic> CloneAs() const {
    auto g = std::make_unique<T>();
    g->SetData(data_);
    return g;
  }

 private:
  std::string data_;
};

class TBitmap : public TGraphic {
 public:
  std::unique_ptr<TGraphic> Clone() const override;
};

class TIcon : public TGraphic {
 public:
  std::unique_ptr<TGraphic> Clone() const override;
};

// Holds one graphic or none. Streams as the extra property "Data": one byte
// with the length of the graphic's class name, the name, then its bytes.
class TPicture : public TPersistent {
 public:
  TPicture() = default;
  TPicture(const TPicture&) = delete;
  TPicture& operator=(const TPicture&) = delete;

  TGraphic* Graphic() const { return graphic_.get(); }
  // Takes a copy of `graphic` (none: the picture becomes empty).
  void SetGraphic(const TGraphic* graphic);
  // The graphic as a bitmap, made (empty) when the picture holds none or
  // another kind.
  TBitmap& Bitmap();
  TIcon& Icon();
  bool Empty() const { return !graphic_ || graphic_->Empty(); }

  // A picture or a graphic.
  void Assign(const TPersistent& source) override;
  void DefineProperties(TFiler& filer) const override;
  // The streamed form of the "Data" property; SetStreamData raises
  // EReadError for a damaged or unknown one.
  std::string StreamData() const;
  void SetStreamData(const std::string& data);

  std::function<void()> OnChange;

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  void Changed() {
    if (OnChange) OnChange();
  }
  template <class T>
  T& Holding() {
    auto* g = dynamic_cast<T*>(graphic_.get());
    if (!g) {
      graphic_ = std::make_unique<T>();
      g = static_cast<T*>(graphic_.get());
    }
    return *g;
  }
  std::unique_ptr<TGraphic> graphic_;
};

enum TBrushStyle : uint8_t { bsSolid, bsClear };

struct TBrush {
  TColor Color = clWhite;
  TBrushStyle Style = bsSolid;
};

struct TPen {
  TColor Color = clBlack;
  int Width = 1;
};

// One recorded painting operation.
struct TCanvasOp {
  enum TKind { coFillRect, coPolygon, coTextOut, coRectangle, coLine };
  TKind Kind = coFillRect;
  TRect Rect;                 // coFillRect, coRectangle; coLine: from Left,Top to Right,Bottom
  std::vector<TPoint> Points; // coPolygon
  TPoint At;                  // coTextOut
  std::string Text;           // coTextOut
  TColor Color = clBlack;     // brush colour for fills, font colour for text, pen for lines
  int32_t Escapement = 0;     // coTextOut
  std::string FontName;       // coTextOut
  int32_t FontHeight = 0;     // coTextOut
};

class TCanvas {
 public:
  TCanvas() = default;
  TCanvas(const TCanvas&) = delete;
  TCanvas& operator=(const TCanvas&) = delete;

  TFont& Font() { return font_; }
  TBrush& Brush() { return brush_; }
  TPen& Pen() { return pen_; }

  void FillRect(const TRect& rect);
  // Filled with the brush (nothing recorded with a clear brush), outlined with the pen.
  void Polygon(const std::vector<TPoint>& points);
  void Rectangle(const TRect& rect);
  void MoveTo(int x, int y) { pen_pos_ = TPoint{x, y}; }
  void LineTo(int x, int y);
  // In the font's colour, at its escapement.
  void TextOut(int x, int y, const std::string& text);
  int TextWidth(const std::string& text) const;
  int TextHeight(const std::string& text) const;

  const std::vector<TCanvasOp>& Ops() const { return ops_; }
  void ClearOps() { ops_.clear(); }

 private:
  TFont font_;
  TBrush brush_;
  TPen pen_;
  TPoint pen_pos_;
  std::vector<TCanvasOp> ops_;
};

// The fixed text metrics of the head of this file, for a font.
int FontEm(const TFont& font);
int FontTextHeight(const TFont& font);
int FontTextWidth(const TFont& font, size_t bytes);

}  // namespace host
