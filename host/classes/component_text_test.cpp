#include "host/classes/component_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/classes/prop_table.h"
#include "host/classes/testing/stream_test_classes.h"
#include "host/rtl/exceptions.h"

namespace host::test {
namespace {

class ComponentTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterStreamTestClasses();
    LoadedLog().clear();
  }

  static std::unique_ptr<TComponent> Read(const std::string& text) {
    return std::unique_ptr<TComponent>(ReadNewComponent(text, nullptr));
  }
  static TStreamThing& Thing(const std::unique_ptr<TComponent>& c) {
    return dynamic_cast<TStreamThing&>(*c);
  }
};

std::string ReadErrorOf(const std::string& text, const TTextLimits& limits = TTextLimits()) {
  try {
    std::unique_ptr<TComponent> c(ReadNewComponent(text, nullptr, limits));
  } catch (const EReadError& e) {
    return e.what();
  }
  return "no error";
}

// A root with every kind of property off its default, an item tree three
// levels deep, and children owning children.
std::unique_ptr<TStreamThing> BuildTree() {
  auto root = std::make_unique<TStreamThing>(nullptr);
  root->SetName("Main");
  root->SetSize(-12);
  root->SetMask(0xFFFFFFFFu);
  root->SetBig(std::numeric_limits<int64_t>::min());
  root->SetRatio(0.1);
  root->SetCaption(std::string("It's\0a\r\nline", 12));
  root->SetEnabled(false);
  root->SetShape(shSquare);
  root->SetShapes((1u << shCircle) | (1u << shTriangle));
  root->Font().SetHeight(20);
  root->Font().SetName("Courier");
  TStreamItem* a = root->Items().Add();
  a->SetWidth(3);
  a->SetCaption("first");
  TStreamItem* a1 = a->SubItems().Add();
  a1->SetShape(shCircle);
  a1->SubItems().Add()->SetWidth(9);
  root->Items().Add();  // all defaults
  auto* child = new TStreamThing(root.get());
  child->SetName("Child");
  child->SetHint(5);
  auto* grand = new TStreamPlain(child);
  grand->SetName("Grand");
  new TStreamPlain(root.get());  // unnamed
  return root;
}

TEST_F(ComponentTextTest, WritesTheDocumentedForm) {
  auto root = BuildTree();
  EXPECT_EQ(WriteComponent(*root),
            "object Main: TStreamThing\r\n"
            "  Size = -12\r\n"
            "  Mask = 4294967295\r\n"
            "  Big = -9223372036854775808\r\n"
            "  Ratio = 0.1\r\n"
            "  Caption = 'It''s'#0'a'#13#10'line'\r\n"
            "  Enabled = False\r\n"
            "  Shape = shSquare\r\n"
            "  Shapes = [shCircle, shTriangle]\r\n"
            "  Font.Height = 20\r\n"
            "  Font.Name = 'Courier'\r\n"
            "  Items = <\r\n"
            "    item\r\n"
            "      Width = 3\r\n"
            "      Caption = 'first'\r\n"
            "      SubItems = <\r\n"
            "        item\r\n"
            "          Shape = shCircle\r\n"
            "          SubItems = <\r\n"
            "            item\r\n"
            "              Width = 9\r\n"
            "            end>\r\n"
            "        end>\r\n"
            "    end\r\n"
            "    item\r\n"
            "    end>\r\n"
            "  object Child: TStreamThing\r\n"
            "    Mask = 0\r\n"
            "    Caption = ''\r\n"
            "    Hint = 5\r\n"
            "    object Grand: TStreamPlain\r\n"
            "    end\r\n"
            "  end\r\n"
            "  object TStreamPlain\r\n"
            "  end\r\n"
            "end\r\n");
}

TEST_F(ComponentTextTest, TreeReadsBackEqual) {
  auto root = BuildTree();
  const std::string text = WriteComponent(*root);
  auto copy = Read(text);
  EXPECT_EQ(WriteComponent(*copy), text);
  TStreamThing& t = Thing(copy);
  EXPECT_EQ(t.Name(), "Main");
  EXPECT_EQ(t.Caption(), std::string("It's\0a\r\nline", 12));
  EXPECT_EQ(t.Mask(), 0xFFFFFFFFu);
  EXPECT_EQ(t.Big(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(t.Items().Count(), 2);
  EXPECT_EQ(t.Items().Items(0)->SubItems().Items(0)->SubItems().Items(0)->Width(), 9);
  ASSERT_EQ(t.ComponentCount(), 2);
  EXPECT_EQ(t.Components(0)->Components(0)->Name(), "Grand");
  EXPECT_EQ(t.Components(1)->Name(), "");
  // Nothing stays marked once the tree is read.
  EXPECT_EQ(t.ComponentState(), 0u);
  EXPECT_EQ(t.Components(0)->Components(0)->ComponentState(), 0u);
}

TEST_F(ComponentTextTest, LoadedRunsOnceEachAfterTheWholeTree) {
  auto root = BuildTree();
  auto* second = new TStreamThing(root.get());
  second->SetName("Second");
  const std::string text = WriteComponent(*root);
  auto copy = Read(text);
  // Reading order, root first; every component still loading but no longer
  // reading, and the root already holding all three of its children.
  EXPECT_EQ(LoadedLog(), (std::vector<std::string>{"Main loading owner has 0",
                                                   "Child loading owner has 3",
                                                   "Second loading owner has 3"}));
  EXPECT_EQ(Thing(copy).LoadedCount(), 1);

  // Into an existing root: the same, and the root's name comes from the text.
  LoadedLog().clear();
  TStreamThing target(nullptr);
  ReadComponent(text, target);
  EXPECT_EQ(target.Name(), "Main");
  EXPECT_EQ(target.LoadedCount(), 1);
  EXPECT_EQ(LoadedLog().size(), 3u);
  EXPECT_EQ(target.ComponentState(), 0u);
}

TEST_F(ComponentTextTest, DefaultsAndStoredConditionsDecideWhatIsWritten) {
  TStreamThing t(nullptr);
  // Mask and Caption have no default: always written. Hint is stored while
  // Enabled; Font and Items are at their defaults.
  EXPECT_EQ(WriteComponent(t),
            "object TStreamThing\r\n  Mask = 0\r\n  Caption = ''\r\n  Hint = 0\r\nend\r\n");
  t.SetEnabled(false);
  t.SetHint(4);
  EXPECT_EQ(WriteComponent(t),
            "object TStreamThing\r\n  Mask = 0\r\n  Caption = ''\r\n  Enabled = False\r\nend\r\n");
  // A float default compares bits: -0 is not the default 0.
  t.SetRatio(-0.0);
  EXPECT_NE(WriteComponent(t).find("Ratio = -0\r\n"), std::string::npos);

  // What the text leaves out keeps the constructor's value.
  auto c = Read("object TStreamThing\nSize = 3\nend");
  EXPECT_EQ(Thing(c).Size(), 3);
  EXPECT_TRUE(Thing(c).Enabled());
  EXPECT_EQ(Thing(c).Font().Name(), "Arial");
  EXPECT_EQ(Thing(c).Font().Height(), -11);
}

TEST_F(ComponentTextTest, AnyByteStringRoundTrips) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  const std::vector<std::string> cases = {
      "", "'", "''", "#", "a+b", std::string(1, '\0'), std::string(3, '\0'), all, all + all + all,
      std::string(5000, 'x'), std::string(300, '\'') + "\xFF", "\x7F\x80 end"};
  for (const std::string& s : cases) {
    TStreamThing t(nullptr);
    t.SetCaption(s);
    const std::string text = WriteComponent(t);
    // Long strings are cut into pieces on lines of their own.
    for (size_t p = 0, q; p < text.size(); p = q + 2) {
      q = text.find("\r\n", p);
      ASSERT_LT(q - p, 120u);
    }
    auto c = Read(text);
    EXPECT_EQ(Thing(c).Caption(), s) << text;
  }
  // The reader takes the pieces with any line ends and blanks around the +.
  auto c = Read("object TStreamThing\r  Caption = 'a'#9 +\n\n   #66'c'+'d'\rend");
  EXPECT_EQ(Thing(c).Caption(), "a\tBcd");
}

TEST_F(ComponentTextTest, FloatsReadBackBitExact) {
  const double cases[] = {0.1,
                          -0.0,
                          1.0 / 3,
                          45000.5,
                          std::numeric_limits<double>::denorm_min(),
                          std::numeric_limits<double>::min(),
                          std::numeric_limits<double>::max(),
                          -std::numeric_limits<double>::max(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(),
                          1e21,
                          123456789012345678.0};
  for (double v : cases) {
    TStreamThing t(nullptr);
    t.SetRatio(v);
    auto c = Read(WriteComponent(t));
    const double back = Thing(c).Ratio();
    EXPECT_EQ(std::memcmp(&back, &v, sizeof v), 0) << v;
  }
  TStreamThing t(nullptr);
  t.SetRatio(std::nan(""));
  auto c = Read(WriteComponent(t));
  EXPECT_TRUE(std::isnan(Thing(c).Ratio()));
  // Integers and exponents written by hand read as floats too.
  c = Read("object TStreamThing\nRatio = 2\nend");
  EXPECT_EQ(Thing(c).Ratio(), 2.0);
  c = Read("object TStreamThing\nRatio = -1.5E3\nend");
  EXPECT_EQ(Thing(c).Ratio(), -1500.0);
}

// A set of 40 long identifiers, so that a full set runs over several lines.
class TWideSetThing : public TComponent {
 public:
  using TComponent::TComponent;
  uint64_t Options() const { return options_; }
  void SetOptions(uint64_t v) { options_ = v; }
  static const TEnumInfo& OptionInfo() {
    static const TEnumInfo info("TOption", [] {
      std::vector<std::string> idents;
      for (int i = 0; i < 40; ++i) idents.push_back("optionNumber" + std::to_string(i));
      return idents;
    }());
    return info;
  }
  static const TPropertyTable& ClassProperties() {
    static const TPropertyTable table = PublishClass<TWideSetThing>(
        "TWideSetThing", &TComponent::ClassProperties(), [](TPublisher<TWideSetThing>& p) {
          p.Set("Options", OptionInfo(), &TWideSetThing::Options, &TWideSetThing::SetOptions);
        });
    return table;
  }
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  uint64_t options_ = 0;
};

TEST_F(ComponentTextTest, LongSetsWrapAndReadBack) {
  TWideSetThing t(nullptr);
  t.SetOptions((uint64_t{1} << 40) - 1);
  const std::string text = WriteComponent(t);
  EXPECT_GT(std::count(text.begin(), text.end(), '\n'), 8);
  TWideSetThing back(nullptr);
  ReadComponent(text, back);
  EXPECT_EQ(back.Options(), t.Options());
}

TEST_F(ComponentTextTest, ReaderIsLenientAboutLayoutAndCase) {
  auto c = Read(
      "OBJECT Main : tstreamthing\n"
      "\tSHAPE=SHCIRCLE  Enabled = true\n"
      "  shapes = [ ]\n"
      "  items = <item width = 1 end item end >\n"
      "END\n\n");
  TStreamThing& t = Thing(c);
  EXPECT_EQ(t.Name(), "Main");
  EXPECT_EQ(t.Shape(), shCircle);
  EXPECT_EQ(t.Shapes(), 0);
  EXPECT_EQ(t.Items().Count(), 2);
  EXPECT_EQ(t.Items().Items(0)->Width(), 1);
}

TEST_F(ComponentTextTest, ACollectionIsReplacedNotAppended) {
  TStreamThing t(nullptr);
  t.Items().Add()->SetWidth(1);
  t.Items().Add()->SetWidth(2);
  ReadComponent("object TStreamThing\nItems = <item Width = 7 end>\nend", t);
  ASSERT_EQ(t.Items().Count(), 1);
  EXPECT_EQ(t.Items().Items(0)->Width(), 7);
  ReadComponent("object TStreamThing\nItems = <>\nend", t);
  EXPECT_EQ(t.Items().Count(), 0);
}

TEST_F(ComponentTextTest, DamageGivesTheReadErrorNamingTheLine) {
  struct TCase {
    std::string text;
    std::string error;
  };
  const std::vector<TCase> cases = {
      {"", "'object' expected on line 1"},
      {"\n\nthing", "'object' expected on line 3"},
      {"object TNoSuchClass\nend", "Class TNoSuchClass not found on line 1"},
      {"object TStreamItem\nend", "Class TStreamItem is not a component class on line 1"},
      {"object TStreamThing\n  Colour = 1\nend", "Property TStreamThing.Colour does not exist on line 2"},
      {"object TStreamThing\n  Font.Size = 1\nend",
       "Property TStreamThing.Font.Size does not exist on line 2"},
      {"object TStreamThing\n  Size.Font = 1\nend",
       "Property TStreamThing.Size does not exist on line 2"},
      {"object TStreamThing\n  Size = 'x'\nend", "Invalid property value on line 2"},
      {"object TStreamThing\n  Size = 2147483648\nend", "Invalid property value on line 2"},
      {"object TStreamThing\n  Size = 1.5\nend", "Invalid property value on line 2"},
      {"object TStreamThing\n  Mask = -1\nend", "Invalid property value on line 2"},
      {"object TStreamThing\n  Big = 9223372036854775808\nend", "Invalid property value on line 2"},
      {"object TStreamThing\n  Ratio = 1e400\nend", "Invalid property value on line 2"},
      {"object TStreamThing\n  Ratio = -NAN\nend", "Invalid property value on line 2"},
      {"object TStreamThing\n  Caption = 5\nend", "Invalid property value on line 2"},
      {"object TStreamThing\n  Enabled = 1\nend", "Invalid property value on line 2"},
      {"object TStreamThing\n  Shape = shOval\nend", "Invalid property value on line 2"},
      {"object TStreamThing\n  Shapes = [shCircle shNone]\nend", "Invalid property value on line 2"},
      {"object TStreamThing\n  Font = 3\nend", "Invalid property value on line 2"},
      {"object TStreamThing\n  Items = 3\nend", "Invalid property value on line 2"},
      {"object TStreamThing\n  Items = <\n  thing\n  >\nend", "'item' expected on line 3"},
      {"object TStreamThing\n  Items = <\n  item\n    Width = -4\n  end>\nend",
       "Error reading TStreamItem.Width: Width must not be negative on line 4"},
      {"object TStreamThing\n  Items = <item", "'end' expected on line 2"},
      {"object TStreamThing\n  Size = 1\n", "'end' expected on line 3"},
      {"object TStreamThing\n  Size 1\nend", "'=' expected on line 2"},
      {"object TStreamThing\n  = 1\nend", "Identifier expected on line 2"},
      {"object TStreamThing\nend\nend", "Text after the end of the root object on line 3"},
      {"object TStreamThing\nend\nobject TStreamThing\nend",
       "Text after the end of the root object on line 3"},
      {"object TStreamThing\n  Caption = 'abc\nend", "Unterminated string on line 2"},
      {"object TStreamThing\n  Caption = #256\nend", "Invalid character code on line 2"},
      {"object TStreamThing\n  Caption = #\nend", "Invalid character code on line 2"},
      {"object TStreamThing\n  Caption = 'a' +\n\n  end\nend", "String expected on line 4"},
      {"object TStreamThing\n  Size = 1\x01\nend", "Invalid character #1 on line 2"},
      {"object TStreamThing\n  Size = 12abc\nend", "Invalid number on line 2"},
      {"object A: TStreamThing\n  object B: TStreamPlain\n  end\n  object b: TStreamPlain\n  end\nend",
       "Error reading TStreamPlain: A component named b already exists on line 4"},
      {"object A: TStreamThing\n  object 1B: TStreamPlain\n  end\nend", "Invalid number on line 2"},
      {"object A: TStreamThing\n  object B: TNoSuchClass\n  end\nend",
       "Class TNoSuchClass not found on line 2"},
      {"object A: TStreamThing\n  object B:\n  end\nend", "Class end not found on line 2"},
      {"object A: TStreamThing\n  object B: 'x'\n  end\nend", "Class name expected on line 2"},
  };
  for (const TCase& c : cases) EXPECT_EQ(ReadErrorOf(c.text), c.error) << c.text;
}

// What the reader accepts reads back from what the writer makes of it: a
// component that makes components of its own (as a form reading its own
// text) is refused where the text would nest it, naming the line.
TEST_F(ComponentTextTest, ComponentsWithComponentsOfTheirOwnAreRefused) {
  EXPECT_EQ(ReadErrorOf("object TStreamThing\n  object Inner: TStreamCompound\n  end\nend"),
            "Class TStreamCompound makes components of its own and cannot be read from a text "
            "on line 2");
  EXPECT_EQ(ReadErrorOf("object TStreamCompound\nend"),
            "Class TStreamCompound makes components of its own and cannot be read from a text "
            "on line 1");
  // As the instance given to the reader it reads, and reads back.
  std::unique_ptr<TStreamCompound> c(New<TStreamCompound>(nullptr));
  EXPECT_NO_THROW(ReadComponent("object C: TStreamCompound\nend", *c));
  const std::string once = WriteComponent(*c);
  std::unique_ptr<TStreamCompound> bare(new TStreamCompound(nullptr));
  ReadComponent(once, *bare);
  EXPECT_EQ(WriteComponent(*bare), once);
}

TEST_F(ComponentTextTest, LimitsAreEnforced) {
  TTextLimits limits;
  limits.MaxLineLength = 40;
  limits.MaxDepth = 4;
  limits.MaxStringLength = 10;
  limits.MaxItems = 3;
  limits.MaxComponents = 3;
  const std::string head = "object TStreamThing\n";
  EXPECT_EQ(ReadErrorOf(head + "  Caption = '" + std::string(30, 'x') + "'\nend", limits),
            "Line too long on line 2");
  EXPECT_EQ(ReadErrorOf(head + "Caption = '0123456789'\nend", limits), "no error");
  EXPECT_EQ(ReadErrorOf(head + "Caption = '01234' + '56789' + 'x'\nend", limits),
            "String too long on line 2");
  EXPECT_EQ(ReadErrorOf(head + "Items = <item end item end item end>\nend", limits), "no error");
  EXPECT_EQ(ReadErrorOf(head + "Items = <item end item end item end\nitem end>\nend", limits),
            "Too many items on line 3");
  // Root 1, collection 2, item 3, sub-collection 4, its item 5.
  EXPECT_EQ(ReadErrorOf(head + "Items = <item SubItems = <>\n end>\nend", limits), "no error");
  EXPECT_EQ(ReadErrorOf(head + "Items = <item SubItems = <\nitem end> end>\nend", limits),
            "Objects nested too deeply on line 3");
  const std::string two = "object TStreamPlain end\nobject TStreamPlain end\n";
  EXPECT_EQ(ReadErrorOf(head + two + "end", limits), "no error");
  EXPECT_EQ(ReadErrorOf(head + two + "object TStreamPlain end end", limits),
            "Too many components on line 4");
  EXPECT_EQ(ReadErrorOf("object TStreamThing\n" + std::string(300, 'A') + " = 1\nend"),
            "Identifier too long on line 2");
}

TEST_F(ComponentTextTest, AFailedReadFreesWhatItMade) {
  TStreamThing root(nullptr);
  auto* kept = new TStreamPlain(&root);
  kept->SetName("Kept");
  const std::string text =
      "object TStreamThing\n"
      "  object A: TStreamThing\n"
      "    object A1: TStreamPlain\n"
      "    end\n"
      "  end\n"
      "  object B: TStreamPlain\n"
      "    Size = 1\n"
      "  end\n"
      "end\n";
  try {
    ReadComponent(text, root);
    ADD_FAILURE() << "no error";
  } catch (const EReadError& e) {
    EXPECT_STREQ(e.what(), "Property TStreamPlain.Size does not exist on line 7");
  }
  // The components the read made are gone (AddressSanitizer checks they are
  // freed), what the root had stays, nothing is left marked, Loaded never ran.
  ASSERT_EQ(root.ComponentCount(), 1);
  EXPECT_EQ(root.Components(0), kept);
  EXPECT_EQ(root.ComponentState(), 0u);
  EXPECT_TRUE(LoadedLog().empty());
  // The text must name the root's class.
  try {
    ReadComponent("object TStreamPlain\nend", root);
    ADD_FAILURE() << "no error";
  } catch (const EReadError& e) {
    EXPECT_STREQ(e.what(), "Class TStreamPlain is not a TStreamThing on line 1");
  }
}

TEST_F(ComponentTextTest, ANewRootBelongsToItsOwner) {
  TStreamPlain owner(nullptr);
  TComponent* c = ReadNewComponent("object Made: TStreamThing\nend", &owner);
  EXPECT_EQ(c->Owner(), &owner);
  EXPECT_EQ(owner.FindComponent("Made"), c);
  // A failure leaves the owner as it was.
  EXPECT_THROW(ReadNewComponent("object Other: TStreamThing\nSize = x\nend", &owner), EReadError);
  EXPECT_EQ(owner.ComponentCount(), 1);
}

// ---- damaged texts ----

// A sample with every construct, as bytes of one written tree.
std::string SampleText() {
  auto root = BuildTree();
  root->Items().Add()->SetCaption(std::string(200, '\x01'));
  return WriteComponent(*root);
}

void Fuzz(const std::string& text) {
  ASSERT_NO_THROW(FuzzReadComponentText(reinterpret_cast<const uint8_t*>(text.data()), text.size()))
      << text;
}

TEST_F(ComponentTextTest, TruncatedAtEveryByteGivesTheReadError) {
  const std::string text = SampleText();
  for (size_t n = 0; n < text.size(); ++n) {
    const std::string cut = text.substr(0, n);
    // Only the whole text is a whole tree (the last line end may go).
    if (n < text.size() - 2) {
      EXPECT_NE(ReadErrorOf(cut), "no error") << n;
    }
    Fuzz(cut);
  }
}

TEST_F(ComponentTextTest, RandomByteFlipsNeverCrash) {
  const std::string text = SampleText();
  std::mt19937 rng(20261209);
  for (int round = 0; round < 4000; ++round) {
    std::string damaged = text;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips; ++i) {
      const size_t at = rng() % damaged.size();
      switch (rng() % 3) {
        case 0:
          damaged[at] = static_cast<char>(rng());
          break;
        case 1:
          damaged.erase(at, 1 + rng() % 8);
          break;
        default:
          damaged.insert(at, 1, "<>[]'#+=.:\n"[rng() % 11]);
          break;
      }
      if (damaged.empty()) damaged = "o";
    }
    Fuzz(damaged);
  }
}

TEST_F(ComponentTextTest, GeneratedTextsNeverCrash) {
  // Token soup from the format's own words, so that many texts get deep into
  // the reader before they go wrong.
  const std::vector<std::string> words = {
      "object", "end", "item", "TStreamThing", "TStreamPlain", "TStreamItem", "A", "B", ":",
      "=", "<", ">", "[", "]", ",", ".", "Size", "Font", "Height", "Items", "SubItems", "Width",
      "Shape", "Shapes", "shCircle", "Caption", "'x'", "#0", "+", "-", "1", "1e5", "INF", "NAN",
      "True", "Ratio", "Big", "\n", "\r\n", " "};
  std::mt19937 rng(7);
  for (int round = 0; round < 6000; ++round) {
    std::string text = "object TStreamThing\n";
    const int n = static_cast<int>(rng() % 60);
    for (int i = 0; i < n; ++i) {
      text += words[rng() % words.size()];
      text += ' ';
    }
    if (rng() % 2) text += "end";
    Fuzz(text);
  }
}

TEST_F(ComponentTextTest, DeepNestingAndHugeValuesAreRefused) {
  // Far deeper than the limit: refused before the reader's own recursion
  // could matter.
  std::string objects, items;
  for (int i = 0; i < 20000; ++i) objects += "object TStreamPlain\n";
  EXPECT_EQ(ReadErrorOf(objects), "Objects nested too deeply on line 33");
  items = "object TStreamThing\nItems = <";
  for (int i = 0; i < 20000; ++i) items += "item SubItems = <\n";
  EXPECT_EQ(ReadErrorOf(items), "Objects nested too deeply on line 17");
  std::string path = "object TStreamThing\n";
  for (int i = 0; i < 100; ++i) path += "Font.";
  EXPECT_EQ(ReadErrorOf(path + "Height = 1\nend"), "Property TStreamThing.Font.Font does not exist on line 2");

  // A string of 2 MiB in pieces under the line limit.
  std::string huge = "object TStreamThing\nCaption = ''";
  for (int i = 0; i < 32768; ++i) huge += "+\n'" + std::string(64, 'z') + "'";
  EXPECT_EQ(ReadErrorOf(huge + "\nend"), "String too long on line 16387");
  EXPECT_EQ(ReadErrorOf("object TStreamThing\nCaption = '" + std::string(5000, 'z') + "'\nend"),
            "Line too long on line 2");
  EXPECT_EQ(ReadErrorOf("object TStreamThing\nSize = " + std::string(100, '9') + "\nend"),
            "Number too long on line 2");
  Fuzz(objects);
  Fuzz(items);

  // As many named siblings as a text may hold read back (each name is
  // checked against its siblings); one more is refused.
  std::string flat = "object TStreamThing\n";
  for (int i = 1; i < TTextLimits().MaxComponents; ++i)
    flat += "object C" + std::to_string(i) + ": TStreamPlain end\n";
  auto c = Read(flat + "end");
  EXPECT_EQ(c->ComponentCount(), TTextLimits().MaxComponents - 1);
  EXPECT_EQ(ReadErrorOf(flat + "object TStreamPlain end\nend"), "Too many components on line 4097");
}

// ---- property tables and the registry ----

TEST_F(ComponentTextTest, TablesExtendTheirBase) {
  const TPropertyTable& t = TStreamThing::ClassProperties();
  EXPECT_TRUE(t.InheritsFrom(TComponent::ClassProperties()));
  EXPECT_FALSE(TComponent::ClassProperties().InheritsFrom(t));
  EXPECT_EQ(t.FindProp("SHAPES")->Kind, tkSet);
  EXPECT_EQ(t.FindProp("Big")->Kind, tkInt64);
  EXPECT_EQ(t.FindProp("Mask")->MaxValue, 0xFFFFFFFFLL);
  EXPECT_EQ(t.FindProp("Name"), nullptr);
  // A subclass that publishes nothing hands out its base's table.
  TStreamPlain plain(nullptr);
  EXPECT_EQ(plain.PublishedProperties()->ClassName(), "TStreamPlain");
  EXPECT_EQ(TStreamPlain::ClassProperties().PropCount(), 0);
}

TEST_F(ComponentTextTest, RegistryFindsClassesByName) {
  EXPECT_EQ(&FindClass("tstreamthing"), &TStreamThing::ClassProperties());
  EXPECT_EQ(GetClass("TNothing"), nullptr);
  try {
    FindClass("TNothing");
    ADD_FAILURE();
  } catch (const EClassNotFound& e) {
    EXPECT_STREQ(e.what(), "Class TNothing not found");
  }
  // Another class under a taken name is refused; the same one again is fine.
  static const TPropertyTable impostor("TStreamThing", nullptr);
  EXPECT_THROW(RegisterClass(impostor), EComponentError);
  RegisterClass(TStreamThing::ClassProperties());
  // Items are made by class name too.
  TStreamItems items;
  TCollectionItem* item = FindClass("TStreamItem").NewItem(&items);
  EXPECT_EQ(items.Count(), 1);
  EXPECT_EQ(item->Collection(), &items);
  EXPECT_EQ(FindClass("TStreamItem").NewComponent(nullptr), nullptr);
  std::unique_ptr<TComponent> made(FindClass("TStreamPlain").NewComponent(nullptr));
  EXPECT_EQ(made->ClassName(), "TStreamPlain");
}

TEST_F(ComponentTextTest, CopyPublishedPropertiesCopiesEveryKind) {
  auto source = BuildTree();
  TStreamThing dest(nullptr);
  dest.Items().Add();
  dest.Items().Add();
  dest.Items().Add();
  CopyPublishedProperties(*source, dest);
  // Everything published, nothing else: the name and the children stay.
  source->DestroyComponents();
  source->SetName("");
  EXPECT_EQ(WriteComponent(dest), WriteComponent(*source));
  TStreamPlain plain(nullptr);
  EXPECT_THROW(CopyPublishedProperties(*source, plain), EConvertError);
}

}  // namespace
}  // namespace host::test
