#include "host/rtl/string_list.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <tuple>
#include <utility>

#include "host/rtl/exceptions.h"
#include "host/rtl/streams.h"
#include "host/rtl/sys_utils.h"

namespace host {

namespace {

constexpr const char* kSortedListError = "Operation not allowed on sorted list";
constexpr const char* kDuplicateString = "String list does not allow duplicates";

[[noreturn]] void IndexError(int index) {
  throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

inline bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

}  // namespace

// ---- TStrings ----

void TStrings::Put(int index, const std::string& s) {
  TObject* object = Objects(index);
  Delete(index);
  InsertObject(index, s, object);
}

TObject* TStrings::Objects(int) const { return nullptr; }

void TStrings::PutObject(int, TObject*) {}

int TStrings::Add(const std::string& s) {
  const int result = Count();
  Insert(result, s);
  return result;
}

int TStrings::AddObject(const std::string& s, TObject* object) {
  const int result = Add(s);
  PutObject(result, object);
  return result;
}

void TStrings::InsertObject(int index, const std::string& s, TObject* object) {
  Insert(index, s);
  PutObject(index, object);
}

void TStrings::AddStrings(const TStrings& strings) {
  Updating([&] {
    for (int i = 0; i < strings.Count(); ++i) AddObject(strings.Strings(i), strings.Objects(i));
  });
}

int TStrings::IndexOf(const std::string& s) const {
  for (int i = 0; i < Count(); ++i)
    if (CompareStrings(Strings(i), s) == 0) return i;
  return -1;
}

int TStrings::IndexOfName(std::string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string s = Strings(i);
    const size_t p = s.find('=');
    if (p != std::string::npos && CompareStrings(std::string_view(s).substr(0, p), name) == 0) return i;
  }
  return -1;
}

std::string TStrings::Names(int index) const {
  const std::string s = Strings(index);
  const size_t p = s.find('=');
  return p == std::string::npos ? std::string() : s.substr(0, p);
}

std::string TStrings::Values(std::string_view name) const {
  const int i = IndexOfName(name);
  if (i < 0) return {};
  const std::string s = Strings(i);
  return s.substr(s.find('=') + 1);
}

void TStrings::SetValues(std::string_view name, std::string_view value) {
  const int i = IndexOfName(name);
  if (value.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  std::string line(name);
  line += '=';
  line += value;
  // A new line goes in whole: adding an empty line first and filling it
  // would leave that empty line behind when the list refuses the Put.
  if (i < 0)
    Add(line);
  else
    Put(i, line);
}

std::string TStrings::ValueFromIndex(int index) const {
  if (index < 0) return {};
  const std::string s = Strings(index);
  const size_t p = s.find('=');
  return p == std::string::npos ? std::string() : s.substr(p + 1);
}

void TStrings::Exchange(int index1, int index2) {
  Updating([&] {
    const std::string s = Strings(index1);
    TObject* object = Objects(index1);
    Put(index1, Strings(index2));
    PutObject(index1, Objects(index2));
    Put(index2, s);
    PutObject(index2, object);
  });
}

void TStrings::Move(int curIndex, int newIndex) {
  if (curIndex == newIndex) return;
  const std::string s = Strings(curIndex);
  TObject* object = Objects(curIndex);
  // Checked before the delete, so a bad target never loses the line.
  if (newIndex < 0 || newIndex >= Count()) IndexError(newIndex);
  Updating([&] {
    Delete(curIndex);
    InsertObject(newIndex, s, object);
  });
}

std::string TStrings::Text() const {
  std::string r;
  for (int i = 0; i < Count(); ++i) {
    r += Strings(i);
    r += "\r\n";
  }
  return r;
}

void TStrings::SetText(std::string_view text) {
  Updating([&] {
    Clear();
    size_t p = 0;
    const size_t n = text.size();
    while (p < n) {
      const size_t start = p;
      while (p < n && text[p] != '\r' && text[p] != '\n') ++p;
      Add(std::string(text.substr(start, p - start)));
      if (p < n && text[p] == '\r') ++p;
      if (p < n && text[p] == '\n') ++p;
    }
  });
}

std::string TStrings::CommaText() const { return DelimitedTextWith(',', '"'); }

void TStrings::SetCommaText(std::string_view text) { SetDelimitedTextWith(text, ',', '"'); }

std::string TStrings::DelimitedText() const { return DelimitedTextWith(delimiter_, quote_char_); }

void TStrings::SetDelimitedText(std::string_view text) {
  SetDelimitedTextWith(text, delimiter_, quote_char_);
}

std::string TStrings::DelimitedTextWith(char delimiter, char quote) const {
  const int count = Count();
  if (count == 1 && Strings(0).empty()) return std::string(2, quote);
  std::string r;
  for (int i = 0; i < count; ++i) {
    const std::string s = Strings(i);
    const bool needsQuotes = std::any_of(s.begin(), s.end(), [&](char c) {
      return IsBlank(c) || c == quote || c == delimiter;
    });
    if (i > 0) r += delimiter;
    r += needsQuotes ? AnsiQuotedStr(s, quote) : s;
  }
  return r;
}

void TStrings::SetDelimitedTextWith(std::string_view text, char delimiter, char quote) {
  Updating([&] {
    Clear();
    size_t p = 0;
    const size_t n = text.size();
    while (p < n && IsBlank(text[p])) ++p;
    while (p < n) {
      std::string item;
      if (text[p] == quote) {
        std::string_view rest = text.substr(p);
        item = AnsiExtractQuotedStr(rest, quote);
        p = n - rest.size();
      } else {
        const size_t start = p;
        while (p < n && !IsBlank(text[p]) && text[p] != delimiter) ++p;
        item.assign(text.substr(start, p - start));
      }
      Add(item);
      while (p < n && IsBlank(text[p])) ++p;
      if (p < n && text[p] == delimiter) {
        // A delimiter at the very end stands before one more, empty, item.
        if (p + 1 == n) Add(std::string());
        do ++p;
        while (p < n && IsBlank(text[p]));
      }
    }
  });
}

void TStrings::BeginUpdate() {
  if (update_count_ == 0) SetUpdateState(true);
  ++update_count_;
}

void TStrings::EndUpdate() {
  TAV_ASSERT(update_count_ > 0, "EndUpdate without BeginUpdate");
  --update_count_;
  if (update_count_ == 0) SetUpdateState(false);
}

void TStrings::LoadFromFile(const std::string& fileName) {
  TFileStream stream(fileName, fmOpenRead);
  LoadFromStream(stream);
}

void TStrings::SaveToFile(const std::string& fileName) const {
  TFileStream stream(fileName, fmCreate);
  SaveToStream(stream);
}

void TStrings::LoadFromStream(TStream& stream) {
  Updating([&] {
    const int64_t size = stream.Size() - stream.Position();
    if (size > std::numeric_limits<int32_t>::max()) throw EReadError("Stream read error");
    std::string text(static_cast<size_t>(std::max<int64_t>(size, 0)), '\0');
    const int32_t got = text.empty() ? 0 : stream.Read(text.data(), static_cast<int32_t>(text.size()));
    text.resize(static_cast<size_t>(std::max(got, 0)));
    SetText(text);
  });
}

void TStrings::SaveToStream(TStream& stream) const {
  const std::string text = Text();
  size_t done = 0;
  while (done < text.size()) {
    const size_t chunk = std::min<size_t>(text.size() - done, 1 << 30);
    stream.WriteBuffer(text.data() + done, static_cast<int32_t>(chunk));
    done += chunk;
  }
}

void TStrings::Assign(const TPersistent& source) {
  const auto* strings = dynamic_cast<const TStrings*>(&source);
  if (!strings) {
    TPersistent::Assign(source);
    return;
  }
  if (strings == this) return;  // clearing first would lose the lines
  Updating([&] {
    Clear();
    delimiter_ = strings->delimiter_;
    quote_char_ = strings->quote_char_;
    AddStrings(*strings);
  });
}

int TStrings::CompareStrings(std::string_view s1, std::string_view s2) const {
  return AnsiCompareText(s1, s2);
}

// ---- TStringList ----

TStringList::~TStringList() {
  // Nobody is told about the lines going away with the list.
  OnChanging = nullptr;
  OnChange = nullptr;
}

void TStringList::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) IndexError(index);
}

std::string TStringList::Strings(int index) const {
  CheckIndex(index);
  return list_[static_cast<size_t>(index)].FString;
}

void TStringList::Put(int index, const std::string& s) {
  if (sorted_) throw EListError(kSortedListError);
  CheckIndex(index);
  Changing();
  list_[static_cast<size_t>(index)].FString = s;
  Changed();
}

TObject* TStringList::Objects(int index) const {
  CheckIndex(index);
  return list_[static_cast<size_t>(index)].FObject;
}

void TStringList::PutObject(int index, TObject* object) {
  CheckIndex(index);
  Changing();
  list_[static_cast<size_t>(index)].FObject = object;
  Changed();
}

void TStringList::Clear() {
  if (list_.empty()) return;
  Changing();
  list_.clear();
  list_.shrink_to_fit();
  Changed();
}

void TStringList::Delete(int index) {
  CheckIndex(index);
  Changing();
  list_.erase(list_.begin() + index);
  Changed();
}

void TStringList::Insert(int index, const std::string& s) { InsertObject(index, s, nullptr); }

void TStringList::InsertObject(int index, const std::string& s, TObject* object) {
  if (sorted_) throw EListError(kSortedListError);
  if (index < 0 || index > Count()) IndexError(index);
  InsertItem(index, s, object);
}

int TStringList::Add(const std::string& s) { return AddObject(s, nullptr); }

int TStringList::AddObject(const std::string& s, TObject* object) {
  int result = Count();
  if (sorted_ && Find(s, result)) {
    if (duplicates_ == dupIgnore) return result;
    if (duplicates_ == dupError) throw EListError(kDuplicateString);
  }
  InsertItem(result, s, object);
  return result;
}

int TStringList::IndexOf(const std::string& s) const {
  if (!sorted_) {
    for (size_t i = 0; i < list_.size(); ++i)
      if (CompareStrings(list_[i].FString, s) == 0) return static_cast<int>(i);
    return -1;
  }
  int result;
  return Find(s, result) ? result : -1;
}

void TStringList::Exchange(int index1, int index2) {
  CheckIndex(index1);
  CheckIndex(index2);
  Changing();
  ExchangeItems(index1, index2);
  Changed();
}

void TStringList::Move(int curIndex, int newIndex) {
  // Refused before the line is taken out, so it is never lost.
  if (sorted_ && curIndex != newIndex) throw EListError(kSortedListError);
  TStrings::Move(curIndex, newIndex);
}

bool TStringList::Find(const std::string& s, int& index) const {
  bool result = false;
  int l = 0;
  int h = Count() - 1;
  while (l <= h) {
    const int i = (l + h) >> 1;
    const int c = CompareStrings(list_[static_cast<size_t>(i)].FString, s);
    if (c < 0) {
      l = i + 1;
    } else {
      h = i - 1;
      if (c == 0) {
        result = true;
        if (duplicates_ != dupAccept) l = i;
      }
    }
  }
  index = l;
  return result;
}

void TStringList::Sort() { CustomSort(CompareItems); }

void TStringList::CustomSort(TStringListSortCompare compare) {
  if (sorted_ || Count() <= 1) return;
  Changing();
  QuickSort(0, Count() - 1, compare);
  Changed();
}

void TStringList::SetSorted(bool value) {
  if (sorted_ == value) return;
  if (value) Sort();
  sorted_ = value;
}

void TStringList::SetCaseSensitive(bool value) {
  if (case_sensitive_ == value) return;
  case_sensitive_ = value;
  if (sorted_) {
    // Find relies on the order of the comparison in force.
    sorted_ = false;
    try {
      Sort();
    } catch (...) {
      sorted_ = true;
      throw;
    }
    sorted_ = true;
  }
}

int TStringList::CompareStrings(std::string_view s1, std::string_view s2) const {
  return case_sensitive_ ? CompareStr(s1, s2) : AnsiCompareText(s1, s2);
}

void TStringList::SetUpdateState(bool updating) {
  if (updating)
    Changing();
  else
    Changed();
}

void TStringList::Changing() {
  if (UpdateCount() == 0 && OnChanging) OnChanging(this);
}

void TStringList::Changed() {
  if (UpdateCount() == 0 && OnChange) OnChange(this);
}

int TStringList::CompareItems(TStringList& list, int index1, int index2) {
  return list.CompareStrings(list.list_[static_cast<size_t>(index1)].FString,
                             list.list_[static_cast<size_t>(index2)].FString);
}

void TStringList::InsertItem(int index, const std::string& s, TObject* object) {
  Changing();
  list_.insert(list_.begin() + index, TStringItem{s, object});
  Changed();
}

void TStringList::ExchangeItems(int index1, int index2) {
  std::swap(list_[static_cast<size_t>(index1)], list_[static_cast<size_t>(index2)]);
}

void TStringList::QuickSort(int l, int r, TStringListSortCompare compare) {
  // The host library's quicksort: the pivot is followed by index as items
  // move, the left part is sorted apart and the right one continued in place.
  // Left parts wait on a stack rather than the call stack.
  std::vector<std::pair<int, int>> pending{{l, r}};
  while (!pending.empty()) {
    std::tie(l, r) = pending.back();
    pending.pop_back();
    int i;
    do {
      i = l;
      int j = r;
      int p = (l + r) >> 1;
      do {
        while (compare(*this, i, p) < 0) {
          ++i;
          TAV_ASSERT(i <= r, "TStringList.Sort: inconsistent compare function");
        }
        while (compare(*this, j, p) > 0) {
          --j;
          TAV_ASSERT(j >= l, "TStringList.Sort: inconsistent compare function");
        }
        if (i <= j) {
          ExchangeItems(i, j);
          if (p == i)
            p = j;
          else if (p == j)
            p = i;
          ++i;
          --j;
        }
      } while (i <= j);
      if (l < j) pending.emplace_back(l, j);
      l = i;
    } while (i < r);
  }
}

}  // namespace host
