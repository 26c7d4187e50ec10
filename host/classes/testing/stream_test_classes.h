// Test classes for component streaming: a component that publishes a
// property of every kind (with defaults, a stored-when condition, an owned
// sub-object and a collection whose items hold collections again), and the
// body of a fuzz run over arbitrary text. Test code only.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/classes/component.h"
#include "host/classes/component_text.h"
#include "host/classes/prop_table.h"
#include "host/rtl/exceptions.h"

namespace host::test {

enum TShape : uint8_t { shNone, shCircle, shSquare, shTriangle };

inline const TEnumInfo& ShapeInfo() {
  static const TEnumInfo info("TShape", {"shNone", "shCircle", "shSquare", "shTriangle"});
  return info;
}

class TStreamFont : public TPersistent {
 public:
  int32_t Height() const { return height_; }
  void SetHeight(int32_t v) { height_ = v; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& v) { name_ = v; }

  static const TPropertyTable& ClassProperties() {
    static const TPropertyTable table =
        PublishClass<TStreamFont>("TStreamFont", nullptr, [](TPublisher<TStreamFont>& p) {
          p.Integer("Height", &TStreamFont::Height, &TStreamFont::SetHeight).Default(-11);
          p.String("Name", &TStreamFont::Name, &TStreamFont::SetName).DefaultString("Arial");
        });
    return table;
  }
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  int32_t height_ = -11;
  std::string name_ = "Arial";
};

class TStreamItems;

class TStreamItem : public TCollectionItem {
 public:
  explicit TStreamItem(TCollection* collection = nullptr);
  ~TStreamItem() override;

  int32_t Width() const { return width_; }
  void SetWidth(int32_t v) {
    // A setter that refuses some values, as engine setters do.
    if (v < 0) throw EConvertError("Width must not be negative");
    width_ = v;
  }
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& v) { caption_ = v; }
  TShape Shape() const { return shape_; }
  void SetShape(TShape v) { shape_ = v; }
  TStreamItems& SubItems() { return *sub_items_; }
  const TStreamItems& SubItems() const { return *sub_items_; }

  // Another item of this class: every published property.
  void Assign(const TPersistent& source) override {
    if (source.PublishedProperties() != &ClassProperties()) AssignError(&source);
    CopyPublishedProperties(source, *this);
  }

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  int32_t width_ = 0;
  std::string caption_;
  TShape shape_ = shNone;
  std::unique_ptr<TStreamItems> sub_items_;
};

class TStreamItems : public TTypedCollection<TStreamItem> {};

inline TStreamItem::TStreamItem(TCollection* collection)
    : TCollectionItem(collection), sub_items_(std::make_unique<TStreamItems>()) {}
inline TStreamItem::~TStreamItem() = default;

inline const TPropertyTable& TStreamItem::ClassProperties() {
  static const TPropertyTable table =
      PublishClass<TStreamItem>("TStreamItem", nullptr, [](TPublisher<TStreamItem>& p) {
        p.Integer("Width", &TStreamItem::Width, &TStreamItem::SetWidth).Default(0);
        p.String("Caption", &TStreamItem::Caption, &TStreamItem::SetCaption).DefaultString("");
        p.Enumeration("Shape", ShapeInfo(), &TStreamItem::Shape, &TStreamItem::SetShape)
            .Default(shNone);
        p.Collection("SubItems", [](TStreamItem& i) -> TCollection& { return i.SubItems(); })
            .DefaultEmpty();
      });
  return table;
}

// Records Loaded calls: the name, whether the component was still marked
// loading and reading, and how many components its owner had by then.
inline std::vector<std::string>& LoadedLog() {
  static std::vector<std::string> log;
  return log;
}

class TStreamThing : public TComponent {
 public:
  explicit TStreamThing(TComponent* owner) : TComponent(owner) {}

  int32_t Size() const { return size_; }
  void SetSize(int32_t v) { size_ = v; }
  uint32_t Mask() const { return mask_; }
  void SetMask(uint32_t v) { mask_ = v; }
  int64_t Big() const { return big_; }
  void SetBig(int64_t v) { big_ = v; }
  double Ratio() const { return ratio_; }
  void SetRatio(double v) { ratio_ = v; }
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& v) { caption_ = v; }
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool v) { enabled_ = v; }
  TShape Shape() const { return shape_; }
  void SetShape(TShape v) { shape_ = v; }
  uint8_t Shapes() const { return shapes_; }
  void SetShapes(uint8_t v) { shapes_ = v; }
  // Written only while Enabled.
  int32_t Hint() const { return hint_; }
  void SetHint(int32_t v) { hint_ = v; }
  TStreamFont& Font() { return font_; }
  const TStreamFont& Font() const { return font_; }
  TStreamItems& Items() { return items_; }
  const TStreamItems& Items() const { return items_; }
  int LoadedCount() const { return loaded_count_; }

  static const TPropertyTable& ClassProperties() {
    static const TPropertyTable table = PublishClass<TStreamThing>(
        "TStreamThing", &TComponent::ClassProperties(), [](TPublisher<TStreamThing>& p) {
          p.Integer("Size", &TStreamThing::Size, &TStreamThing::SetSize).Default(0);
          p.Integer("Mask", &TStreamThing::Mask, &TStreamThing::SetMask);
          p.Integer("Big", &TStreamThing::Big, &TStreamThing::SetBig).Default(0);
          p.Float("Ratio", &TStreamThing::Ratio, &TStreamThing::SetRatio).DefaultFloatValue(0);
          p.String("Caption", &TStreamThing::Caption, &TStreamThing::SetCaption);
          p.Boolean("Enabled", &TStreamThing::Enabled, &TStreamThing::SetEnabled).Default(true);
          p.Enumeration("Shape", ShapeInfo(), &TStreamThing::Shape, &TStreamThing::SetShape)
              .Default(shNone);
          p.Set("Shapes", ShapeInfo(), &TStreamThing::Shapes, &TStreamThing::SetShapes).Default(0);
          p.Integer("Hint", &TStreamThing::Hint, &TStreamThing::SetHint)
              .StoredWhen<TStreamThing>([](const TStreamThing& t) { return t.Enabled(); });
          p.Object("Font", [](TStreamThing& t) -> TPersistent& { return t.Font(); });
          p.Collection("Items", [](TStreamThing& t) -> TCollection& { return t.Items(); })
              .DefaultEmpty();
        });
    return table;
  }
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  void Loaded() override {
    const TComponentState s = ComponentState();
    LoadedLog().push_back(Name() + ((s & csLoading) ? " loading" : "") +
                          ((s & csReading) ? " reading" : "") + " owner has " +
                          std::to_string(Owner() ? Owner()->ComponentCount() : 0));
    ++loaded_count_;
    TComponent::Loaded();
  }

 private:
  int32_t size_ = 0;
  uint32_t mask_ = 0;
  int64_t big_ = 0;
  double ratio_ = 0;
  std::string caption_;
  bool enabled_ = true;
  TShape shape_ = shNone;
  uint8_t shapes_ = 0;
  int32_t hint_ = 0;
  TStreamFont font_;
  TStreamItems items_;
  int loaded_count_ = 0;
};

// A component class that publishes nothing of its own.
class TStreamPlain : public TComponent {
 public:
  using TComponent::TComponent;
  static const TPropertyTable& ClassProperties() {
    static const TPropertyTable table = PublishClass<TStreamPlain>(
        "TStreamPlain", &TComponent::ClassProperties(), [](TPublisher<TStreamPlain>&) {});
    return table;
  }
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

// A component that makes a component of its own once made, as a form that
// reads its own text does.
class TStreamCompound : public TComponent {
 public:
  using TComponent::TComponent;
  void AfterConstruction() override {
    auto* part = New<TStreamPlain>(this);
    part->SetName("Part");
  }
  static const TPropertyTable& ClassProperties() {
    static const TPropertyTable table = PublishClass<TStreamCompound>(
        "TStreamCompound", &TComponent::ClassProperties(), [](TPublisher<TStreamCompound>&) {});
    return table;
  }
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

inline void RegisterStreamTestClasses() {
  RegisterClass(TStreamThing::ClassProperties());
  RegisterClass(TStreamPlain::ClassProperties());
  RegisterClass(TStreamCompound::ClassProperties());
  RegisterClass(TStreamItem::ClassProperties());
}

// Tight limits for the fuzz body, so that a run spends its time on shapes
// rather than on sizes.
inline TTextLimits FuzzLimits() {
  TTextLimits limits;
  limits.MaxLineLength = 512;
  limits.MaxDepth = 12;
  limits.MaxStringLength = 4096;
  limits.MaxItems = 256;
  limits.MaxComponents = 256;
  return limits;
}

// The fuzz body: any bytes either read as a component tree or raise
// EReadError. A tree that was read writes a text that reads back to the
// same text. Anything else (another exception, a crash, a leak under the
// sanitizers) is a fault; a broken round trip raises std::logic_error.
inline void FuzzReadComponentText(const uint8_t* data, size_t size) {
  RegisterStreamTestClasses();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<TComponent> root;
  try {
    root.reset(ReadNewComponent(text, nullptr, FuzzLimits()));
  } catch (const EReadError&) {
    return;
  }
  const std::string once = WriteComponent(*root);
  std::unique_ptr<TComponent> again(ReadNewComponent(once, nullptr));
  if (WriteComponent(*again) != once) throw std::logic_error("component text did not round-trip");
}

}  // namespace host::test
