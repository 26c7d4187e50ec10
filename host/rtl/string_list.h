// TStrings, the abstract list of strings each with an associated object, and
// TStringList, the list that holds them. Callers use them for "name=value"
// settings, comma lists of names and line-oriented text files.
//
// Strings are Windows-1252 text. Lookups (IndexOf, IndexOfName, Find, sorting)
// ignore case through AnsiCompareText unless a TStringList is CaseSensitive,
// then bytes are compared. The objects are borrowed: a list never frees them.
// Indexes are checked; a bad one raises EListError "List index out of bounds
// (<index>)".
//
// Text forms:
//  - Text: every line followed by CR LF; setting splits on CR LF, LF or CR.
//  - CommaText / DelimitedText: items joined by the delimiter (',' for
//    CommaText, Delimiter otherwise). An item holding a character <= ' ', the
//    quote character ('"' or QuoteChar) or the delimiter is quoted, quotes
//    inside doubled; an empty item is written as nothing between delimiters,
//    and a list of one empty item as "" so that it differs from an empty list.
//    Setting splits on delimiters and on unquoted blanks and control
//    characters; a delimiter at the very end adds one empty item.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/rtl/event.h"
#include "host/rtl/object.h"

namespace host {

class TStream;
class TStringList;

enum TDuplicates { dupIgnore, dupAccept, dupError };

// Negative when the item at index1 sorts before the one at index2.
using TStringListSortCompare = int (*)(TStringList& list, int index1, int index2);

class TStrings : public TPersistent {
 public:
  TStrings() = default;
  TStrings(const TStrings&) = delete;
  TStrings& operator=(const TStrings&) = delete;

  // ---- what a descendant provides ----
  virtual int Count() const = 0;
  virtual std::string Strings(int index) const = 0;
  virtual void Clear() = 0;
  virtual void Delete(int index) = 0;
  virtual void Insert(int index, const std::string& s) = 0;
  // Default: delete the line and insert the new one with the same object.
  virtual void Put(int index, const std::string& s);
  // Default: no objects (nullptr); PutObject does nothing.
  virtual TObject* Objects(int index) const;
  virtual void PutObject(int index, TObject* object);

  // ---- built on the primitives ----
  virtual int Add(const std::string& s);
  virtual int AddObject(const std::string& s, TObject* object);
  virtual void InsertObject(int index, const std::string& s, TObject* object);
  void AddStrings(const TStrings& strings);
  virtual int IndexOf(const std::string& s) const;
  // The first line "<name>=..." whose name matches; -1 when there is none.
  int IndexOfName(std::string_view name) const;
  // The part of a line before its first '=', "" for a line without one.
  std::string Names(int index) const;
  // The part after the '=' of the line named name, "" when there is none.
  std::string Values(std::string_view name) const;
  // Sets the line named name to "<name>=<value>", adding it when there is
  // none; an empty value deletes the line.
  void SetValues(std::string_view name, std::string_view value);
  // The part after the first '=' of the line at index, "" without one.
  std::string ValueFromIndex(int index) const;
  virtual void Exchange(int index1, int index2);
  // Takes the line (and object) at curIndex out and puts it back at newIndex.
  // Both indexes are checked before anything moves.
  virtual void Move(int curIndex, int newIndex);

  std::string Text() const;
  void SetText(std::string_view text);
  std::string CommaText() const;
  void SetCommaText(std::string_view text);
  std::string DelimitedText() const;
  void SetDelimitedText(std::string_view text);
  char Delimiter() const { return delimiter_; }
  void SetDelimiter(char c) { delimiter_ = c; }
  char QuoteChar() const { return quote_char_; }
  void SetQuoteChar(char c) { quote_char_ = c; }

  // Calls nest; change notifications wait for the outermost EndUpdate.
  void BeginUpdate();
  void EndUpdate();

  // Files and streams hold Text: CR LF lines (LF or CR alone also load).
  virtual void LoadFromFile(const std::string& fileName);
  virtual void SaveToFile(const std::string& fileName) const;
  // Reads from the stream's position to its end.
  virtual void LoadFromStream(TStream& stream);
  virtual void SaveToStream(TStream& stream) const;

  // From another TStrings: its lines, objects, delimiter and quote character.
  void Assign(const TPersistent& source) override;

 protected:
  virtual int CompareStrings(std::string_view s1, std::string_view s2) const;
  // Told with true by the outermost BeginUpdate, with false by its EndUpdate.
  virtual void SetUpdateState(bool) {}
  int UpdateCount() const { return update_count_; }

  // Runs f between BeginUpdate and EndUpdate, also when f raises.
  template <class F>
  void Updating(F&& f) {
    BeginUpdate();
    try {
      f();
    } catch (...) {
      EndUpdate();
      throw;
    }
    EndUpdate();
  }

 private:
  std::string DelimitedTextWith(char delimiter, char quote) const;
  void SetDelimitedTextWith(std::string_view text, char delimiter, char quote);

  int update_count_ = 0;
  char delimiter_ = ',';
  char quote_char_ = '"';
};

// The list itself. When Sorted, lines are kept in CompareStrings order, Add
// and AddObject insert in place (subject to Duplicates), IndexOf searches
// binary, and Insert, Put and Move raise EListError "Operation not allowed on
// sorted list". Duplicates only matter while Sorted: dupIgnore returns the
// index of the line already there, dupError raises EListError "String list
// does not allow duplicates".
class TStringList : public TStrings {
 public:
  TStringList() = default;
  ~TStringList() override;

  int Count() const override { return static_cast<int>(list_.size()); }
  std::string Strings(int index) const override;
  void Put(int index, const std::string& s) override;
  TObject* Objects(int index) const override;
  void PutObject(int index, TObject* object) override;
  void Clear() override;
  void Delete(int index) override;
  void Insert(int index, const std::string& s) override;
  void InsertObject(int index, const std::string& s, TObject* object) override;
  int Add(const std::string& s) override;
  int AddObject(const std::string& s, TObject* object) override;
  int IndexOf(const std::string& s) const override;
  void Exchange(int index1, int index2) override;
  void Move(int curIndex, int newIndex) override;

  // Binary search of a sorted list: true when s is there; index is where it
  // is (the first of equal lines unless Duplicates is dupAccept) or where it
  // would go.
  bool Find(const std::string& s, int& index) const;
  // Both sort only an unsorted list; Sorted lists are always in order.
  virtual void Sort();
  virtual void CustomSort(TStringListSortCompare compare);

  bool Sorted() const { return sorted_; }
  void SetSorted(bool value);
  TDuplicates Duplicates() const { return duplicates_; }
  void SetDuplicates(TDuplicates value) { duplicates_ = value; }
  bool CaseSensitive() const { return case_sensitive_; }
  // A sorted list is sorted again under the new comparison.
  void SetCaseSensitive(bool value);

  // Told before and after each change, outside BeginUpdate/EndUpdate only.
  TNotifyEvent OnChanging;
  TNotifyEvent OnChange;

 protected:
  int CompareStrings(std::string_view s1, std::string_view s2) const override;
  void SetUpdateState(bool updating) override;
  virtual void Changing();
  virtual void Changed();

 private:
  struct TStringItem {
    std::string FString;
    TObject* FObject;
  };

  static int CompareItems(TStringList& list, int index1, int index2);
  void CheckIndex(int index) const;
  void InsertItem(int index, const std::string& s, TObject* object);
  void ExchangeItems(int index1, int index2);
  void QuickSort(int l, int r, TStringListSortCompare compare);

  std::vector<TStringItem> list_;
  bool sorted_ = false;
  bool case_sensitive_ = false;
  TDuplicates duplicates_ = dupIgnore;
};

}  // namespace host
