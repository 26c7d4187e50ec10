#include "host/rtl/string_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "host/rtl/exceptions.h"
#include "host/rtl/streams.h"

namespace host {
namespace {

using Lines = std::vector<std::string>;

Lines Of(const TStrings& s) {
  Lines v;
  for (int i = 0; i < s.Count(); ++i) v.push_back(s.Strings(i));
  return v;
}

void Fill(TStrings& s, const Lines& lines) {
  s.Clear();
  for (const auto& l : lines) s.Add(l);
}

std::string CommaOf(const Lines& lines) {
  TStringList s;
  Fill(s, lines);
  return s.CommaText();
}

Lines FromComma(std::string_view text) {
  TStringList s;
  s.Add("stale");
  s.SetCommaText(text);
  return Of(s);
}

template <class F>
std::string ListErrorOf(F op) {
  try {
    op();
  } catch (const EListError& e) {
    return e.what();
  }
  return "no error";
}

// ---- CommaText ----

TEST(StringListCommaTextTest, WritesQuotesOnlyWhereNeeded) {
  EXPECT_EQ(CommaOf({"a", "b", "c"}), "a,b,c");
  EXPECT_EQ(CommaOf({"a b", "c"}), "\"a b\",c");
  EXPECT_EQ(CommaOf({"a,b"}), "\"a,b\"");
  EXPECT_EQ(CommaOf({"say \"hi\""}), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CommaOf({"tab\there", "x\x01", std::string("n\0l", 3)}),
            "\"tab\there\",\"x\x01\",\"" + std::string("n\0l", 3) + "\"");
  EXPECT_EQ(CommaOf({"key=value", "\xE9t\xE9", "it's"}), "key=value,\xE9t\xE9,it's");
  // Empty items stand between delimiters; a lone empty item is quoted so it
  // differs from the empty list.
  EXPECT_EQ(CommaOf({"a", "", "b"}), "a,,b");
  EXPECT_EQ(CommaOf({"", "a"}), ",a");
  EXPECT_EQ(CommaOf({"a", ""}), "a,");
  EXPECT_EQ(CommaOf({""}), "\"\"");
  EXPECT_EQ(CommaOf({}), "");
}

TEST(StringListCommaTextTest, ReadsBlanksQuotesAndEmptyItems) {
  EXPECT_EQ(FromComma(""), Lines{});
  EXPECT_EQ(FromComma("   "), Lines{});
  EXPECT_EQ(FromComma(" a , b ,c "), (Lines{"a", "b", "c"}));
  EXPECT_EQ(FromComma("a b\tc"), (Lines{"a", "b", "c"}));  // unquoted blanks split
  EXPECT_EQ(FromComma("\"a b\", \"c,d\""), (Lines{"a b", "c,d"}));
  EXPECT_EQ(FromComma("\"say \"\"hi\"\"\""), (Lines{"say \"hi\""}));
  EXPECT_EQ(FromComma("\"\""), (Lines{""}));
  EXPECT_EQ(FromComma("a,,b"), (Lines{"a", "", "b"}));
  EXPECT_EQ(FromComma(","), (Lines{"", ""}));
  EXPECT_EQ(FromComma("a,"), (Lines{"a", ""}));
  EXPECT_EQ(FromComma("a, "), (Lines{"a"}));
  EXPECT_EQ(FromComma("\"a\"b"), (Lines{"a", "b"}));
  EXPECT_EQ(FromComma("x\"y\"z"), (Lines{"x\"y\"z"}));
  EXPECT_EQ(FromComma("\x01\x02" "a\x03" "b"), (Lines{"a", "b"}));
  EXPECT_EQ(FromComma("\"abc"), (Lines{"abc"}));  // unterminated: nothing lost
}

TEST(StringListCommaTextTest, RoundTripsAnyList) {
  const std::string alphabet = std::string("ab ,\"\t\x01\xE9=", 10) + std::string(1, '\0');
  std::mt19937 rng(11);
  for (int round = 0; round < 2000; ++round) {
    Lines lines(rng() % 5);
    for (auto& l : lines) {
      const size_t len = rng() % 4;
      for (size_t k = 0; k < len; ++k) l += alphabet[rng() % alphabet.size()];
    }
    const std::string text = CommaOf(lines);
    ASSERT_EQ(FromComma(text), lines) << text;
  }
}

TEST(StringListCommaTextTest, DelimitedTextUsesItsOwnCharacters) {
  TStringList s;
  s.SetDelimiter(';');
  s.SetQuoteChar('\'');
  Fill(s, {"a;b", "it's", "c,d"});
  EXPECT_EQ(s.DelimitedText(), "'a;b';'it''s';c,d");
  EXPECT_EQ(s.CommaText(), "a;b,it's,\"c,d\"");
  s.SetDelimitedText("x; 'y z' ;w");
  EXPECT_EQ(Of(s), (Lines{"x", "y z", "w"}));
}

// ---- Text, files and streams ----

TEST(StringListTextTest, SplitsOnEveryLineBreak) {
  TStringList s;
  s.SetText("a\r\nb\nc\rd\r\n\r\ne");
  EXPECT_EQ(Of(s), (Lines{"a", "b", "c", "d", "", "e"}));
  EXPECT_EQ(s.Text(), "a\r\nb\r\nc\r\nd\r\n\r\ne\r\n");
  s.SetText("\n\r");
  EXPECT_EQ(Of(s), (Lines{"", ""}));
  s.SetText("");
  EXPECT_EQ(s.Count(), 0);
  EXPECT_EQ(s.Text(), "");
  s.SetText(std::string("a\0b", 3));
  EXPECT_EQ(s.Strings(0).size(), 3u);  // a NUL is an ordinary character
}

class StringListFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tav_strings_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (const auto& f : files_) std::remove(f.c_str());
    rmdir(dir_.c_str());
  }
  std::string File(const std::string& name) {
    files_.push_back(dir_ + "/" + name);
    return files_.back();
  }
  std::string dir_;
  std::vector<std::string> files_;
};

TEST_F(StringListFileTest, SaveAndLoad) {
  TStringList s;
  Fill(s, {"first", "", "\xE9t\xE9=1"});
  const std::string name = File("lines.txt");
  s.SaveToFile(name);
  std::ifstream in(name, std::ios::binary);
  std::stringstream raw;
  raw << in.rdbuf();
  EXPECT_EQ(raw.str(), "first\r\n\r\n\xE9t\xE9=1\r\n");
  TStringList t;
  t.LoadFromFile(name);
  EXPECT_EQ(Of(t), Of(s));

  const std::string unix = File("unix.txt");
  std::ofstream(unix, std::ios::binary) << "x\ny\nz";
  t.LoadFromFile(unix);
  EXPECT_EQ(Of(t), (Lines{"x", "y", "z"}));

  try {
    t.LoadFromFile(dir_ + "/missing.txt");
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + dir_ + "/missing.txt\"");
  }
  EXPECT_EQ(Of(t), (Lines{"x", "y", "z"}));  // a failed load leaves the list
  EXPECT_THROW(s.SaveToFile(dir_ + "/no/such/dir.txt"), EFCreateError);
}

TEST(StringListStreamTest, LoadReadsFromThePosition) {
  TMemoryStream m;
  m.WriteBuffer("skip", 4);
  TStringList s;
  Fill(s, {"a", "b"});
  s.SaveToStream(m);
  EXPECT_EQ(m.Size(), 4 + 6);
  m.SetPosition(4);
  TStringList t;
  t.LoadFromStream(m);
  EXPECT_EQ(Of(t), (Lines{"a", "b"}));
}

// ---- names and values ----

TEST(StringListValuesTest, NamesAndValues) {
  TStringList s;
  Fill(s, {"a=1", "B=2", "noeq", "c=x=y", "=v"});
  EXPECT_EQ(s.Values("b"), "2");
  EXPECT_EQ(s.Values("C"), "x=y");
  EXPECT_EQ(s.Values("noeq"), "");
  EXPECT_EQ(s.Values(""), "v");
  EXPECT_EQ(s.IndexOfName("c"), 3);
  EXPECT_EQ(s.IndexOfName("noeq"), -1);
  EXPECT_EQ(s.Names(1), "B");
  EXPECT_EQ(s.Names(2), "");
  EXPECT_EQ(s.ValueFromIndex(3), "x=y");
  EXPECT_EQ(s.ValueFromIndex(2), "");  // no '=': no value, not a clipped line
  EXPECT_EQ(s.ValueFromIndex(-1), "");
  EXPECT_EQ(ListErrorOf([&] { s.Names(5); }), "List index out of bounds (5)");
  EXPECT_EQ(ListErrorOf([&] { s.ValueFromIndex(5); }), "List index out of bounds (5)");

  s.SetValues("b", "20");
  s.SetValues("d", "4");
  s.SetValues("a", "");
  s.SetValues("zz", "");
  EXPECT_EQ(Of(s), (Lines{"b=20", "noeq", "c=x=y", "=v", "d=4"}));
}

TEST(StringListValuesTest, AccentedNamesMatchAcrossCase) {
  TStringList s;
  s.Add("\xC9LAN=1");
  EXPECT_EQ(s.Values("\xE9lan"), "1");
  s.SetCaseSensitive(true);
  EXPECT_EQ(s.Values("\xE9lan"), "");
}

TEST(StringListValuesTest, SortedListTakesNewNamesAndRefusesPutCleanly) {
  TStringList s;
  s.SetSorted(true);
  s.Add("m=1");
  s.SetValues("a", "2");
  EXPECT_EQ(Of(s), (Lines{"a=2", "m=1"}));
  EXPECT_EQ(ListErrorOf([&] { s.SetValues("m", "3"); }), "Operation not allowed on sorted list");
  EXPECT_EQ(Of(s), (Lines{"a=2", "m=1"}));
  s.SetValues("m", "");
  EXPECT_EQ(Of(s), (Lines{"a=2"}));
}

// ---- lookups, sorting and duplicates ----

TEST(StringListLookupTest, IndexOfIgnoresCaseOfAccentedLetters) {
  TStringList s;
  Fill(s, {"x", "\xC0\xC9\xCE\x8A", "\xFF"});
  EXPECT_EQ(s.IndexOf("\xE0\xE9\xEE\x9A"), 1);
  EXPECT_EQ(s.IndexOf("\x9F"), 2);
  EXPECT_EQ(s.IndexOf("\xC0\xC9\xCE"), -1);
  s.SetCaseSensitive(true);
  EXPECT_EQ(s.IndexOf("\xE0\xE9\xEE\x9A"), -1);
  EXPECT_EQ(s.IndexOf("\xC0\xC9\xCE\x8A"), 1);
  s.SetSorted(true);  // bytes: \xC0 before \xFF
  EXPECT_EQ(Of(s), (Lines{"x", "\xC0\xC9\xCE\x8A", "\xFF"}));
  EXPECT_EQ(s.IndexOf("\xE0\xE9\xEE\x9A"), -1);
  s.SetCaseSensitive(false);  // folded: \xFF is 0x9F, before \xC0
  EXPECT_EQ(Of(s), (Lines{"x", "\xFF", "\xC0\xC9\xCE\x8A"}));
  EXPECT_EQ(s.IndexOf("\xE0\xE9\xEE\x9A"), 2);
}

TEST(StringListLookupTest, SortedInsertAndDuplicateModes) {
  TStringList s;
  s.SetSorted(true);
  EXPECT_EQ(s.Add("m"), 0);
  EXPECT_EQ(s.Add("c"), 0);
  EXPECT_EQ(s.Add("x"), 2);
  EXPECT_EQ(s.Add("M"), 1);  // dupIgnore: the index of the line already there
  EXPECT_EQ(Of(s), (Lines{"c", "m", "x"}));

  s.SetDuplicates(dupAccept);
  EXPECT_EQ(s.Add("M"), 1);  // goes before the equal line
  EXPECT_EQ(Of(s), (Lines{"c", "M", "m", "x"}));
  int index = -1;
  EXPECT_TRUE(s.Find("m", index));
  EXPECT_EQ(index, 1);  // the first of the equal lines
  EXPECT_FALSE(s.Find("d", index));
  EXPECT_EQ(index, 1);

  s.SetDuplicates(dupError);
  EXPECT_EQ(ListErrorOf([&] { s.Add("X"); }), "String list does not allow duplicates");
  EXPECT_EQ(s.Count(), 4);
  EXPECT_EQ(ListErrorOf([&] { s.Insert(0, "a"); }), "Operation not allowed on sorted list");
  EXPECT_EQ(ListErrorOf([&] { s.Put(0, "a"); }), "Operation not allowed on sorted list");
  EXPECT_EQ(ListErrorOf([&] { s.Move(0, 2); }), "Operation not allowed on sorted list");
  EXPECT_EQ(Of(s), (Lines{"c", "M", "m", "x"}));
}

TEST(StringListLookupTest, SortingAnUnsortedList) {
  TStringList s;
  std::mt19937 rng(3);
  Lines expect;
  for (int i = 0; i < 500; ++i) {
    std::string v = "k" + std::to_string(rng() % 1000);
    s.AddObject(v, reinterpret_cast<TObject*>(static_cast<uintptr_t>(i + 1)));
    expect.push_back(v);
  }
  s.SetSorted(true);
  Lines got = Of(s);
  std::sort(expect.begin(), expect.end());
  EXPECT_EQ(got, expect);
  // Objects travel with their lines.
  for (int i = 0; i < s.Count(); ++i) ASSERT_NE(s.Objects(i), nullptr);

  TStringList byLength;
  Fill(byLength, {"ccc", "a", "bb"});
  byLength.CustomSort([](TStringList& l, int a, int b) {
    return static_cast<int>(l.Strings(a).size()) - static_cast<int>(l.Strings(b).size());
  });
  EXPECT_EQ(Of(byLength), (Lines{"a", "bb", "ccc"}));
}

TEST(StringListLookupTest, SwitchingCaseSensitivityResortsASortedList) {
  TStringList s;
  s.SetDuplicates(dupAccept);
  s.SetSorted(true);
  for (const char* v : {"b", "A", "a", "B"}) s.Add(v);
  s.SetCaseSensitive(true);
  EXPECT_EQ(Of(s), (Lines{"A", "B", "a", "b"}));
  int index;
  EXPECT_TRUE(s.Find("a", index));
  EXPECT_EQ(index, 2);
}

// ---- editing ----

TEST(StringListEditTest, ObjectsExchangeAndMove) {
  TObject o1, o2;
  TStringList s;
  s.AddObject("one", &o1);
  s.Add("two");
  s.InsertObject(2, "three", &o2);
  s.Exchange(0, 2);
  EXPECT_EQ(Of(s), (Lines{"three", "two", "one"}));
  EXPECT_EQ(s.Objects(0), &o2);
  s.Move(0, 2);
  EXPECT_EQ(Of(s), (Lines{"two", "one", "three"}));
  EXPECT_EQ(s.Objects(2), &o2);
  s.PutObject(1, nullptr);
  EXPECT_EQ(s.Objects(1), nullptr);
  s.Put(2, "THREE");
  EXPECT_EQ(s.Objects(2), &o2);  // Put keeps the object

  EXPECT_EQ(ListErrorOf([&] { s.Move(0, 3); }), "List index out of bounds (3)");
  EXPECT_EQ(ListErrorOf([&] { s.Move(-1, 0); }), "List index out of bounds (-1)");
  EXPECT_EQ(Of(s), (Lines{"two", "one", "THREE"}));  // nothing lost
  EXPECT_EQ(ListErrorOf([&] { s.Strings(3); }), "List index out of bounds (3)");
  EXPECT_EQ(ListErrorOf([&] { s.Delete(-1); }), "List index out of bounds (-1)");
  EXPECT_EQ(ListErrorOf([&] { s.Insert(4, "x"); }), "List index out of bounds (4)");
  EXPECT_EQ(ListErrorOf([&] { s.Exchange(0, 3); }), "List index out of bounds (3)");
  EXPECT_EQ(ListErrorOf([&] { s.Objects(3); }), "List index out of bounds (3)");
}

TEST(StringListEditTest, AssignCopiesLinesObjectsAndQuoting) {
  TObject o;
  TStringList a;
  a.AddObject("x", &o);
  a.Add("y");
  a.SetDelimiter(';');
  TStringList b;
  b.Add("old");
  b.Assign(a);
  EXPECT_EQ(Of(b), (Lines{"x", "y"}));
  EXPECT_EQ(b.Objects(0), &o);
  EXPECT_EQ(b.Delimiter(), ';');
  b.Assign(b);
  EXPECT_EQ(Of(b), (Lines{"x", "y"}));
  TPersistent other;
  EXPECT_THROW(b.Assign(other), EConvertError);

  TStringList sorted;  // assigning into a sorted list sorts and drops duplicates
  sorted.SetSorted(true);
  Fill(a, {"b", "a", "B"});
  sorted.Assign(a);
  EXPECT_EQ(Of(sorted), (Lines{"a", "b"}));
}

TEST(StringListEditTest, ChangeEventsWaitForEndUpdate) {
  TStringList s;
  int changing = 0, changed = 0;
  s.OnChanging = [&](TObject* sender) {
    EXPECT_EQ(sender, &s);
    ++changing;
  };
  s.OnChange = [&](TObject*) { ++changed; };
  s.Add("a");
  s.Delete(0);
  EXPECT_EQ(changing, 2);
  EXPECT_EQ(changed, 2);
  s.BeginUpdate();
  s.BeginUpdate();
  s.SetCommaText("a,b,c");
  s.Sort();
  s.EndUpdate();
  EXPECT_EQ(changed, 2);
  s.EndUpdate();
  EXPECT_EQ(changing, 3);
  EXPECT_EQ(changed, 3);
  s.SetText("x");  // one notification for the whole replacement
  EXPECT_EQ(changed, 4);
  EXPECT_THROW(s.EndUpdate(), EAssertionFailed);
}

}  // namespace
}  // namespace host
