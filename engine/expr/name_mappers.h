// The name mappers: they say whether a word names an aggregate function, a
// string function or a data type, how many words the name spans, and which
// ordinal stands for it (an aggregate or string function kind, or a field type
// of the host's TFieldType). The tokenizer asks them to classify words; the
// pre-parser asks them for the ordinal it stores on function and type tokens.
// A mapper is a small object made for one question; comparisons ignore ASCII
// case only.
#pragma once

#include <string_view>

#include "host/rtl/object.h"

namespace tav {

class TBaseMapper : public host::TObject {
 public:
  // The number of words the member spans (0 when `word` is none).
  virtual int IsMemberToken(std::string_view word, std::string_view nextWord) = 0;
  // The mapped ordinal, masked to 7 bits; 0 for a word that is no member.
  virtual int GetCustomOrdinal(std::string_view word, std::string_view nextWord) = 0;

 protected:
  int TokenCount = 0;
};

// COUNT, AVG, SUM, MAX, MIN: aggregate kinds 1 to 5.
class TAggFuncMapper : public TBaseMapper {
 public:
  int IsMemberToken(std::string_view word, std::string_view nextWord) override;
  int GetCustomOrdinal(std::string_view word, std::string_view nextWord) override;
};

// SUBSTRING 1, UPPER 2, LOWER 3, TRIM 4.
class TStrFuncMapper : public TBaseMapper {
 public:
  int IsMemberToken(std::string_view word, std::string_view nextWord) override;
  int GetCustomOrdinal(std::string_view word, std::string_view nextWord) override;
};

// The SQL type names, mapped to field types (string 1, small integer 2,
// integer 3, float 6, date 9, time 10, date-time 11). DOUBLE is a member only
// when followed by PRECISION (two words), or as the one word "DOUBLE PRECISION".
class TDataTypeMapper : public TBaseMapper {
 public:
  int IsMemberToken(std::string_view word, std::string_view nextWord) override;
  int GetCustomOrdinal(std::string_view word, std::string_view nextWord) override;

 private:
  int Lookup(std::string_view word, std::string_view nextWord);
};

}  // namespace tav
