#include "host/classes/component_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "host/classes/prop_table.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"

namespace host {

namespace {

constexpr std::string_view kLineEnd = "\r\n";
// Strings are cut into pieces of about this many text columns per line.
constexpr size_t kStringPieceColumns = 64;
// Bytes are written this many to a line.
constexpr size_t kBinaryLineBytes = 32;
// Sets wrap after a member once a line has grown this long.
constexpr size_t kSetLineColumns = 72;
// Longer identifiers and numbers are refused before they are looked at.
constexpr size_t kMaxIdentLength = 255;
constexpr size_t kMaxNumberLength = 64;

bool IsIdentStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsIdentChar(char c) { return IsIdentStart(c) || IsDigit(c); }
bool IsPrintable(unsigned char c) { return c >= 32 && c <= 126; }

std::string FloatText(double v) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// ---------------------------------------------------------------- writing

class TComponentTextWriter {
 public:
  explicit TComponentTextWriter(const TComponent& root) : root_(root) {}
  std::string Text() && { return std::move(out_); }

  void Component(const TComponent& c, int depth) {
    Indent(depth);
    out_ += "object ";
    if (!c.Name().empty()) {
      out_ += c.Name();
      out_ += ": ";
    }
    out_ += c.ClassName();
    out_ += kLineEnd;
    Properties(c, std::string(), depth + 1);
    std::vector<TComponent*> children;
    c.GetChildren(children, &root_);
    for (const TComponent* child : children) Component(*child, depth + 1);
    Indent(depth);
    out_ += "end";
    out_ += kLineEnd;
  }

 private:
  void Indent(int depth) { out_.append(static_cast<size_t>(depth) * 2, ' '); }

  // The published properties, then those DefineProperties adds.
  void Properties(const TPersistent& o, const std::string& prefix, int depth) {
    if (const TPropertyTable* table = o.PublishedProperties()) PropertiesOf(*table, o, prefix, depth);
    TFiler filer;
    o.DefineProperties(filer);
    if (!filer.Table().Empty()) PropertiesOf(filer.Table(), o, prefix, depth);
  }

  void PropertiesOf(const TPropertyTable& table, const TPersistent& o, const std::string& prefix,
                    int depth) {
    for (int i = 0; i < table.PropCount(); ++i) {
      const TPropInfo& p = table.Prop(i);
      if (!p.ShouldWrite(o)) continue;
      if (p.Kind == tkClass) {
        Properties(*p.GetObject(const_cast<TPersistent&>(o)), prefix + p.Name + ".", depth);
        continue;
      }
      std::string reference;
      if (p.Kind == tkComponent) {
        reference = ReferenceName(*p.GetComponent(o));
        if (reference.empty()) continue;  // nothing a reader could find
      }
      const size_t lineStart = out_.size();
      Indent(depth);
      out_ += prefix;
      out_ += p.Name;
      out_ += " = ";
      if (p.Kind == tkComponent)
        out_ += reference;
      else
        Value(p, o, depth, lineStart);
      out_ += kLineEnd;
    }
  }

  // The root and the components it owns by their names; others by their
  // owner's name and theirs.
  std::string ReferenceName(const TComponent& c) const {
    if (c.Name().empty()) return std::string();
    if (&c == &root_ || c.Owner() == &root_) return c.Name();
    if (c.Owner() && !c.Owner()->Name().empty()) return c.Owner()->Name() + "." + c.Name();
    return c.Name();
  }

  void Value(const TPropInfo& p, const TPersistent& o, int depth, size_t lineStart) {
    switch (p.Kind) {
      case tkInteger:
      case tkInt64:
        out_ += IntToStr(p.GetOrd(o));
        break;
      case tkFloat:
        out_ += FloatText(p.GetFloat(o));
        break;
      case tkString:
        String(p.GetStr(o), depth);
        break;
      case tkBoolean:
        out_ += p.GetOrd(o) ? "True" : "False";
        break;
      case tkEnumeration:
        out_ += p.EnumType->Ident(p.GetOrd(o));
        break;
      case tkSet:
        Set(*p.EnumType, static_cast<uint64_t>(p.GetOrd(o)), depth, lineStart);
        break;
      case tkCollection:
        Collection(*static_cast<const TCollection*>(p.GetObject(const_cast<TPersistent&>(o))), depth);
        break;
      case tkMethod:
        out_ += p.GetStr(o);
        break;
      case tkStrings:
        Lines(*static_cast<const TStrings*>(p.GetObject(const_cast<TPersistent&>(o))), depth);
        break;
      case tkBinary:
        Binary(p.GetStr(o), depth);
        break;
      case tkClass:
      case tkComponent:
        TAV_ASSERT(false, "WriteComponent: this property has no value of its own");
    }
  }

  void Lines(const TStrings& lines, int depth) {
    out_ += '(';
    for (int i = 0; i < lines.Count(); ++i) {
      out_ += kLineEnd;
      Indent(depth + 1);
      String(lines.Strings(i), depth + 1);
    }
    out_ += ')';
  }

  void Binary(const std::string& bytes, int depth) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out_ += '{';
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (i % kBinaryLineBytes == 0) {
        out_ += kLineEnd;
        Indent(depth + 1);
      }
      const auto b = static_cast<unsigned char>(bytes[i]);
      out_ += kHex[b >> 4];
      out_ += kHex[b & 15];
    }
    out_ += '}';
  }

  void String(const std::string& s, int depth) {
    if (s.empty()) {
      out_ += "''";
      return;
    }
    size_t columns = 0;
    bool quoted = false;
    for (unsigned char c : s) {
      if (columns >= kStringPieceColumns) {
        if (quoted) out_ += '\'';
        quoted = false;
        out_ += " +";
        out_ += kLineEnd;
        Indent(depth + 1);
        columns = 0;
      }
      if (IsPrintable(c)) {
        if (!quoted) {
          out_ += '\'';
          quoted = true;
          ++columns;
        }
        out_ += static_cast<char>(c);
        ++columns;
        if (c == '\'') {
          out_ += '\'';
          ++columns;
        }
      } else {
        if (quoted) {
          out_ += '\'';
          quoted = false;
          ++columns;
        }
        const std::string code = "#" + std::to_string(c);
        out_ += code;
        columns += code.size();
      }
    }
    if (quoted) out_ += '\'';
  }

  void Set(const TEnumInfo& type, uint64_t bits, int depth, size_t lineStart) {
    out_ += '[';
    bool first = true;
    for (int i = 0; i < type.Count(); ++i) {
      if (!(bits & (uint64_t{1} << i))) continue;
      if (!first) {
        out_ += ',';
        if (out_.size() - lineStart > kSetLineColumns) {
          out_ += kLineEnd;
          lineStart = out_.size();
          Indent(depth + 1);
        } else {
          out_ += ' ';
        }
      }
      out_ += type.Ident(i);
      first = false;
    }
    out_ += ']';
  }

  void Collection(const TCollection& c, int depth) {
    if (c.Count() == 0) {
      out_ += "<>";
      return;
    }
    out_ += '<';
    for (int i = 0; i < c.Count(); ++i) {
      out_ += kLineEnd;
      Indent(depth + 1);
      out_ += "item";
      out_ += kLineEnd;
      Properties(*c.Items(i), std::string(), depth + 2);
      Indent(depth + 1);
      out_ += "end";
    }
    out_ += '>';
  }

  const TComponent& root_;
  std::string out_;
};

}  // namespace

std::string WriteComponent(const TComponent& instance) {
  TComponentTextWriter w(instance);
  w.Component(instance, 0);
  return std::move(w).Text();
}

// ---------------------------------------------------------------- reading

namespace {

enum TTokenKind { ttEnd, ttIdent, ttNumber, ttString, ttBinary, ttSymbol };

// Splits the text into identifiers, numbers, strings (already decoded, their
// pieces joined) and one-character symbols, counting lines.
class TTextLexer {
 public:
  TTextLexer(std::string_view text, const TTextLimits& limits) : text_(text), limits_(limits) {
    CheckLineLengths();
  }

  TTokenKind Kind() const { return kind_; }
  // Identifier or number text, or the decoded string.
  const std::string& Value() const { return value_; }
  char Symbol() const { return symbol_; }
  int Line() const { return token_line_; }

  bool IsIdent(std::string_view word) const { return kind_ == ttIdent && SameText(value_, word); }
  bool IsSymbol(char c) const { return kind_ == ttSymbol && symbol_ == c; }

  [[noreturn]] void Error(const std::string& what) const { ErrorAt(what, token_line_); }
  [[noreturn]] static void ErrorAt(const std::string& what, int line) {
    throw EReadError(what + " on line " + std::to_string(line));
  }

  void Next() {
    SkipBlanks();
    token_line_ = line_;
    value_.clear();
    if (pos_ >= text_.size()) {
      kind_ = ttEnd;
      return;
    }
    const char c = text_[pos_];
    if (IsIdentStart(c)) {
      const size_t start = pos_;
      while (pos_ < text_.size() && IsIdentChar(text_[pos_])) ++pos_;
      if (pos_ - start > kMaxIdentLength) Error("Identifier too long");
      value_.assign(text_.substr(start, pos_ - start));
      kind_ = ttIdent;
    } else if (IsDigit(c) || (c == '-' && pos_ + 1 < text_.size() && IsDigit(text_[pos_ + 1]))) {
      ReadNumber();
    } else if (c == '\'' || c == '#') {
      ReadString();
    } else if (c == '{') {
      ReadBinary();
    } else if (std::strchr("=:<>[](),.-+", c) != nullptr && c != '\0') {
      symbol_ = c;
      ++pos_;
      kind_ = ttSymbol;
    } else {
      Error("Invalid character #" + std::to_string(static_cast<unsigned char>(c)));
    }
  }

 private:
  void CheckLineLengths() const {
    int line = 1;
    size_t start = 0;
    for (size_t i = 0; i <= text_.size(); ++i) {
      const bool end = i == text_.size() || text_[i] == '\n' || text_[i] == '\r';
      if (!end) continue;
      if (i - start > static_cast<size_t>(limits_.MaxLineLength)) ErrorAt("Line too long", line);
      if (i < text_.size() && text_[i] == '\r' && i + 1 < text_.size() && text_[i + 1] == '\n') ++i;
      ++line;
      start = i + 1;
    }
  }

  void SkipBlanks() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == ' ' || c == '\t') {
        ++pos_;
      } else if (c == '\n') {
        ++pos_;
        ++line_;
      } else if (c == '\r') {
        ++pos_;
        if (pos_ < text_.size() && text_[pos_] == '\n') ++pos_;
        ++line_;
      } else {
        break;
      }
    }
  }

  void ReadNumber() {
    const size_t start = pos_;
    if (text_[pos_] == '-') ++pos_;
    while (pos_ < text_.size() && (IsDigit(text_[pos_]) || text_[pos_] == '.')) ++pos_;
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      while (pos_ < text_.size() && IsDigit(text_[pos_])) ++pos_;
    }
    if (pos_ < text_.size() && IsIdentChar(text_[pos_])) Error("Invalid number");
    if (pos_ - start > kMaxNumberLength) Error("Number too long");
    value_.assign(text_.substr(start, pos_ - start));
    kind_ = ttNumber;
  }

  // Quoted pieces and #<code> characters, back to back; a + (line ends
  // around it allowed) joins the next run.
  void ReadString() {
    for (;;) {
      while (pos_ < text_.size() && (text_[pos_] == '\'' || text_[pos_] == '#')) {
        if (text_[pos_] == '\'')
          ReadQuoted();
        else
          ReadCharCode();
        if (value_.size() > static_cast<size_t>(limits_.MaxStringLength))
          ErrorAt("String too long", line_);
      }
      const size_t savePos = pos_;
      const int saveLine = line_;
      SkipBlanks();
      if (pos_ < text_.size() && text_[pos_] == '+') {
        ++pos_;
        SkipBlanks();
        if (pos_ < text_.size() && (text_[pos_] == '\'' || text_[pos_] == '#')) continue;
        ErrorAt("String expected", line_);
      }
      pos_ = savePos;
      line_ = saveLine;
      break;
    }
    kind_ = ttString;
  }

  // '{' hexadecimal digits, blanks and line ends allowed between, '}'.
  void ReadBinary() {
    ++pos_;
    int high = -1;
    for (;;) {
      SkipBlanks();
      if (pos_ >= text_.size()) ErrorAt("'}' expected", line_);
      const char c = text_[pos_++];
      if (c == '}') break;
      const int digit = HexDigit(c);
      if (digit < 0) ErrorAt("Invalid binary value", line_);
      if (high < 0) {
        high = digit;
        continue;
      }
      value_ += static_cast<char>(high * 16 + digit);
      high = -1;
      if (value_.size() > static_cast<size_t>(limits_.MaxStringLength))
        ErrorAt("Binary value too long", line_);
    }
    if (high >= 0) ErrorAt("Invalid binary value", line_);
    kind_ = ttBinary;
  }

  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  }

  void ReadQuoted() {
    ++pos_;
    for (;;) {
      if (pos_ >= text_.size() || text_[pos_] == '\n' || text_[pos_] == '\r')
        Error("Unterminated string");
      const size_t run = text_.find_first_of("'\r\n", pos_);
      const size_t stop = run == std::string_view::npos ? text_.size() : run;
      value_.append(text_.substr(pos_, stop - pos_));
      pos_ = stop;
      if (pos_ < text_.size() && text_[pos_] == '\'') {
        if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '\'') {
          value_ += '\'';
          pos_ += 2;
          continue;
        }
        ++pos_;
        return;
      }
    }
  }

  void ReadCharCode() {
    ++pos_;
    unsigned code = 0;
    size_t digits = 0;
    while (pos_ < text_.size() && IsDigit(text_[pos_]) && digits < 4) {
      code = code * 10 + static_cast<unsigned>(text_[pos_] - '0');
      ++pos_;
      ++digits;
    }
    if (digits == 0 || code > 255 || (pos_ < text_.size() && IsDigit(text_[pos_])))
      Error("Invalid character code");
    value_ += static_cast<char>(code);
  }

  std::string_view text_;
  const TTextLimits& limits_;
  size_t pos_ = 0;
  int line_ = 1;
  TTokenKind kind_ = ttEnd;
  std::string value_;
  char symbol_ = 0;
  int token_line_ = 1;
};

}  // namespace

// Reads one component tree; a friend of TComponent for its state and Loaded.
class TComponentTextReader {
 public:
  TComponentTextReader(std::string_view text, const TTextLimits& limits)
      : lex_(text, limits), limits_(limits) {}

  // Reads the object line of the root: its name and class.
  void ReadRootHeader(std::string& name, std::string& className) {
    lex_.Next();
    if (!lex_.IsIdent("object")) lex_.Error("'object' expected");
    header_line_ = lex_.Line();
    ReadHeader(name, className);
  }

  // Reads the rest of the text into root, then runs Loaded on everything
  // read. On failure the components made are freed and root's loading
  // states are cleared.
  void ReadRoot(TComponent& root, const std::string& name) {
    root_ = &root;
    TFailureGuard guard(*this, root);
    CountComponent(header_line_);
    try {
      root.SetName(UniqueRootName(root, name));
    } catch (const EReadError&) {
      throw;
    } catch (const Exception& e) {
      TTextLexer::ErrorAt(e.Message(), header_line_);
    }
    ReadBody(root, 1);
    if (lex_.Kind() != ttEnd) lex_.Error("Text after the end of the root object");
    ResolveReferences();
    guard.Release();
    for (TComponent* c : loaded_) c->Loaded();
  }

  int HeaderLine() const { return header_line_; }

  // A second root of one text under the same owner (two pages of one class
  // in one host) is named <name>_1, <name>_2, ...
  static std::string UniqueRootName(const TComponent& root, const std::string& name) {
    const TComponent* owner = root.Owner();
    if (name.empty() || !owner) return name;
    std::string candidate = name;
    for (int i = 1;; ++i) {
      const TComponent* clash = owner->FindComponent(candidate);
      if (!clash || clash == &root) return candidate;
      candidate = name + "_" + std::to_string(i);
    }
  }

 private:
  // Frees what a failed read made, the last made first (nested components
  // before their owners), and takes the loading marks off the root.
  class TFailureGuard {
   public:
    TFailureGuard(TComponentTextReader& reader, TComponent& root) : reader_(reader), root_(root) {}
    TFailureGuard(const TFailureGuard&) = delete;
    TFailureGuard& operator=(const TFailureGuard&) = delete;
    ~TFailureGuard() {
      if (released_) return;
      for (auto it = reader_.created_.rbegin(); it != reader_.created_.rend(); ++it) delete *it;
      reader_.created_.clear();
      reader_.loaded_.clear();
      root_.state_ &= ~static_cast<TComponentState>(csLoading | csReading);
    }
    void Release() { released_ = true; }

   private:
    TComponentTextReader& reader_;
    TComponent& root_;
    bool released_ = false;
  };

  // After "object": [Name ':'] Class.
  void ReadHeader(std::string& name, std::string& className) {
    lex_.Next();
    if (lex_.Kind() != ttIdent) lex_.Error("Identifier expected");
    std::string first = lex_.Value();
    lex_.Next();
    if (lex_.IsSymbol(':')) {
      lex_.Next();
      if (lex_.Kind() != ttIdent) lex_.Error("Class name expected");
      name = std::move(first);
      className = lex_.Value();
      lex_.Next();
    } else {
      name.clear();
      className = std::move(first);
    }
  }

  void CountComponent(int line) {
    if (++component_count_ > limits_.MaxComponents) TTextLexer::ErrorAt("Too many components", line);
  }

  void Enter(int level, int line) const {
    if (level > limits_.MaxDepth) TTextLexer::ErrorAt("Objects nested too deeply", line);
  }

  // Properties and nested objects up to the component's "end".
  void ReadBody(TComponent& c, int level) {
    c.state_ |= csLoading | csReading;
    loaded_.push_back(&c);
    for (;;) {
      if (lex_.IsIdent("end")) {
        lex_.Next();
        break;
      }
      if (lex_.IsIdent("object")) {
        ReadChild(c, level + 1);
      } else if (lex_.Kind() == ttIdent) {
        ReadProperty(c, level);
      } else if (lex_.Kind() == ttEnd) {
        lex_.Error("'end' expected");
      } else {
        lex_.Error("Identifier expected");
      }
    }
    c.state_ &= ~static_cast<TComponentState>(csReading);
  }

  void ReadChild(TComponent& parent, int level) {
    const int line = lex_.Line();
    Enter(level, line);
    CountComponent(line);
    std::string name, className;
    ReadHeader(name, className);
    const TPropertyTable* cls = GetClass(className);
    if (!cls) TTextLexer::ErrorAt("Class " + className + " not found", line);
    TComponent* child = nullptr;
    try {
      TComponent* owner = parent.GetChildOwner();
      child = cls->NewComponent(owner ? owner : root_);
      if (!child) TTextLexer::ErrorAt("Class " + className + " is not a component class", line);
      created_.push_back(child);
      RefuseOwnComponents(*child, className, line);
      child->SetName(name);
      child->SetParentComponent(&parent);
    } catch (const EReadError&) {
      throw;
    } catch (const Exception& e) {
      TTextLexer::ErrorAt("Error reading " + className + ": " + e.Message(), line);
    }
    ReadBody(*child, level);
  }

  // A component that made components of its own when it was made (a form
  // that reads its own text) would be written with them nested in it, and
  // that text could not be read back: refused here, as bad text.
  static void RefuseOwnComponents(const TComponent& c, const std::string& className, int line) {
    if (c.ComponentCount() > 0)
      TTextLexer::ErrorAt(
          "Class " + className + " makes components of its own and cannot be read from a text",
          line);
  }

  // Path '=' value, where the path names a property through owned
  // sub-objects (Font.Height).
  void ReadProperty(TPersistent& instance, int level) {
    const int line = lex_.Line();
    TPersistent* target = &instance;
    std::string path = lex_.Value();
    const TPropInfo* prop = FindProp(*target, lex_.Value());
    lex_.Next();
    int dots = 0;
    while (lex_.IsSymbol('.')) {
      if (!prop || prop->Kind != tkClass) break;
      if (++dots > limits_.MaxDepth) TTextLexer::ErrorAt("Property path too long", line);
      target = prop->GetObject(*target);
      lex_.Next();
      if (lex_.Kind() != ttIdent) lex_.Error("Identifier expected");
      path += '.';
      path += lex_.Value();
      prop = FindProp(*target, lex_.Value());
      lex_.Next();
    }
    const std::string fullName = instance.ClassName() + "." + path;
    if (!prop || lex_.IsSymbol('.'))
      TTextLexer::ErrorAt("Property " + fullName + " does not exist", line);
    if (!lex_.IsSymbol('=')) lex_.Error("'=' expected");
    lex_.Next();
    try {
      ReadValue(*target, *prop, level, line, fullName);
    } catch (const EReadError&) {
      throw;
    } catch (const Exception& e) {
      // A setter refused the value.
      TTextLexer::ErrorAt("Error reading " + fullName + ": " + e.Message(), line);
    }
  }

  // A published property, else one DefineProperties adds.
  const TPropInfo* FindProp(const TPersistent& o, const std::string& name) {
    const TPropertyTable* table = o.PublishedProperties();
    if (const TPropInfo* p = table ? table->FindProp(name) : nullptr) return p;
    auto& filer = filers_[&o];
    if (!filer) {
      filer = std::make_unique<TFiler>();
      o.DefineProperties(*filer);
    }
    return filer->Table().FindProp(name);
  }

  // References name components that may come later in the text, so they
  // are set once the whole tree is read: a name of the root or of one of its
  // components, or the root's name, a dot and one of its components.
  void ResolveReferences() {
    for (const TReference& r : references_) {
      TComponent* found = nullptr;
      const size_t dot = r.Name.find('.');
      if (dot == std::string::npos) {
        found = SameText(r.Name, root_->Name()) ? root_ : root_->FindComponent(r.Name);
      } else if (SameText(std::string_view(r.Name).substr(0, dot), root_->Name())) {
        found = root_->FindComponent(std::string_view(r.Name).substr(dot + 1));
      }
      if (!found) TTextLexer::ErrorAt("Component " + r.Name + " not found for " + r.Property, r.Line);
      try {
        r.Prop->SetComponent(*r.Target, found);
      } catch (const Exception& e) {
        TTextLexer::ErrorAt("Error reading " + r.Property + ": " + e.Message(), r.Line);
      }
    }
  }

  [[noreturn]] void InvalidValue(int line) const {
    TTextLexer::ErrorAt("Invalid property value", line);
  }

  void ReadValue(TPersistent& target, const TPropInfo& p, int level, int line,
                 const std::string& fullName) {
    switch (p.Kind) {
      case tkInteger:
      case tkInt64: {
        if (lex_.Kind() != ttNumber) InvalidValue(line);
        const std::string& s = lex_.Value();
        int64_t v = 0;
        const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
        if (r.ec != std::errc() || r.ptr != s.data() + s.size() || v < p.MinValue || v > p.MaxValue)
          InvalidValue(line);
        lex_.Next();
        p.SetOrd(target, v);
        break;
      }
      case tkFloat: {
        const double v = ReadFloat(line);
        p.SetFloat(target, v);
        break;
      }
      case tkString: {
        if (lex_.Kind() != ttString) InvalidValue(line);
        const std::string v = lex_.Value();
        lex_.Next();
        p.SetStr(target, v);
        break;
      }
      case tkBoolean: {
        int64_t v;
        if (lex_.IsIdent("True"))
          v = 1;
        else if (lex_.IsIdent("False"))
          v = 0;
        else
          InvalidValue(line);
        lex_.Next();
        p.SetOrd(target, v);
        break;
      }
      case tkEnumeration: {
        if (lex_.Kind() != ttIdent) InvalidValue(line);
        const int v = p.EnumType->Ordinal(lex_.Value());
        if (v < 0) InvalidValue(line);
        lex_.Next();
        p.SetOrd(target, v);
        break;
      }
      case tkSet: {
        const uint64_t bits = ReadSet(*p.EnumType, line);
        p.SetOrd(target, static_cast<int64_t>(bits));
        break;
      }
      case tkCollection:
        if (!lex_.IsSymbol('<')) InvalidValue(line);
        ReadCollection(*static_cast<TCollection*>(p.GetObject(target)), level + 1);
        break;
      case tkMethod: {
        if (lex_.Kind() != ttIdent) InvalidValue(line);
        const TPropertyTable* rootTable = root_->PublishedProperties();
        const TMethodInfo* m = rootTable ? rootTable->FindMethod(lex_.Value()) : nullptr;
        if (!m)
          TTextLexer::ErrorAt("Method " + lex_.Value() + " not found in " + root_->ClassName() +
                                  " for " + fullName,
                              line);
        if (*m->Signature != *p.EventType)
          TTextLexer::ErrorAt("Method " + m->Name + " does not fit " + fullName, line);
        lex_.Next();
        p.SetMethod(target, *m, *root_);
        break;
      }
      case tkComponent: {
        if (lex_.Kind() != ttIdent) InvalidValue(line);
        std::string name = lex_.Value();
        lex_.Next();
        if (lex_.IsSymbol('.')) {
          lex_.Next();
          if (lex_.Kind() != ttIdent) InvalidValue(line);
          name += '.';
          name += lex_.Value();
          lex_.Next();
        }
        references_.push_back(TReference{&target, &p, std::move(name), fullName, line});
        break;
      }
      case tkStrings:
        ReadLines(*static_cast<TStrings*>(p.GetObject(target)), line);
        break;
      case tkBinary: {
        if (lex_.Kind() != ttBinary) InvalidValue(line);
        const std::string v = lex_.Value();
        lex_.Next();
        p.SetStr(target, v);
        break;
      }
      case tkClass:
        InvalidValue(line);
    }
  }

  // '(' string* ')'; the list is emptied first.
  void ReadLines(TStrings& lines, int line) {
    if (!lex_.IsSymbol('(')) InvalidValue(line);
    lex_.Next();
    struct TUpdate {
      TStrings& lines;
      explicit TUpdate(TStrings& l) : lines(l) { lines.BeginUpdate(); }
      ~TUpdate() { lines.EndUpdate(); }
    } update(lines);
    lines.Clear();
    int count = 0;
    while (!lex_.IsSymbol(')')) {
      if (lex_.Kind() != ttString) lex_.Error(lex_.Kind() == ttEnd ? "')' expected" : "String expected");
      if (++count > limits_.MaxItems) lex_.Error("Too many lines");
      lines.Add(lex_.Value());
      lex_.Next();
    }
    lex_.Next();
  }

  double ReadFloat(int line) {
    double v = 0;
    bool negative = false;
    if (lex_.IsSymbol('-')) {
      negative = true;
      lex_.Next();
    }
    if (lex_.Kind() == ttNumber && !negative) {
      const std::string& s = lex_.Value();
      const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
      if (r.ec != std::errc() || r.ptr != s.data() + s.size()) InvalidValue(line);
    } else if (lex_.IsIdent("INF")) {
      v = negative ? -HUGE_VAL : HUGE_VAL;
    } else if (lex_.IsIdent("NAN") && !negative) {
      v = std::nan("");
    } else {
      InvalidValue(line);
    }
    lex_.Next();
    return v;
  }

  uint64_t ReadSet(const TEnumInfo& type, int line) {
    if (!lex_.IsSymbol('[')) InvalidValue(line);
    lex_.Next();
    uint64_t bits = 0;
    if (lex_.IsSymbol(']')) {
      lex_.Next();
      return bits;
    }
    for (;;) {
      if (lex_.Kind() != ttIdent) InvalidValue(line);
      const int v = type.Ordinal(lex_.Value());
      if (v < 0) InvalidValue(line);
      bits |= uint64_t{1} << v;
      lex_.Next();
      if (lex_.IsSymbol(']')) break;
      if (!lex_.IsSymbol(',')) InvalidValue(line);
      lex_.Next();
    }
    lex_.Next();
    return bits;
  }

  // '<' (item properties end)* '>'; the collection is emptied first.
  void ReadCollection(TCollection& collection, int level) {
    Enter(level, lex_.Line());
    lex_.Next();
    TCollectionUpdate update(collection);
    collection.Clear();
    int count = 0;
    while (!lex_.IsSymbol('>')) {
      if (!lex_.IsIdent("item")) lex_.Error("'item' expected");
      if (++count > limits_.MaxItems) lex_.Error("Too many items");
      Enter(level + 1, lex_.Line());
      lex_.Next();
      TCollectionItem* item = collection.Add();
      while (!lex_.IsIdent("end")) {
        if (lex_.Kind() != ttIdent) lex_.Error(lex_.Kind() == ttEnd ? "'end' expected" : "Identifier expected");
        ReadProperty(*item, level + 1);
      }
      lex_.Next();
    }
    lex_.Next();
  }

  struct TReference {
    TPersistent* Target;
    const TPropInfo* Prop;
    std::string Name;
    std::string Property;
    int Line;
  };

  TTextLexer lex_;
  const TTextLimits& limits_;
  TComponent* root_ = nullptr;
  int header_line_ = 1;
  std::vector<TReference> references_;
  // Extra properties of the objects read, asked for once each.
  std::unordered_map<const TPersistent*, std::unique_ptr<TFiler>> filers_;
  int component_count_ = 0;
  std::vector<TComponent*> loaded_;   // in reading order, the root first
  std::vector<TComponent*> created_;  // nested components made, in order
};

void ReadComponent(std::string_view text, TComponent& instance, const TTextLimits& limits) {
  TComponentTextReader reader(text, limits);
  std::string name, className;
  reader.ReadRootHeader(name, className);
  if (!SameText(className, instance.ClassName()))
    throw EReadError("Class " + className + " is not a " + instance.ClassName() + " on line " +
                     std::to_string(reader.HeaderLine()));
  reader.ReadRoot(instance, name);
}

TComponent* ReadNewComponent(std::string_view text, TComponent* owner, const TTextLimits& limits) {
  TComponentTextReader reader(text, limits);
  std::string name, className;
  reader.ReadRootHeader(name, className);
  const TPropertyTable* cls = GetClass(className);
  if (!cls)
    throw EReadError("Class " + className + " not found on line " + std::to_string(reader.HeaderLine()));
  std::unique_ptr<TComponent> root(cls->NewComponent(owner));
  if (!root)
    throw EReadError("Class " + className + " is not a component class on line " +
                     std::to_string(reader.HeaderLine()));
  if (root->ComponentCount() > 0)
    throw EReadError("Class " + className +
                     " makes components of its own and cannot be read from a text on line " +
                     std::to_string(reader.HeaderLine()));
  reader.ReadRoot(*root, name);
  return root.release();
}

}  // namespace host
