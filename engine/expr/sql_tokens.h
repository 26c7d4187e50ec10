// The token kinds of the SQL layer and the sets of them that parsers use to
// know where a clause ends. The ordinals are fixed: the clause keywords are the
// range tstSelect..tstForUpdate plus tstInsert, tstDelete and tstUpdate, and
// every parser tests those ranges, so never insert or reorder a value.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace tav {

enum TTavSQLToken : uint8_t {
  tstUnknown, tstTableName, tstTableAlias, tstFieldName, tstAscending, tstDescending,
  tstSelect, tstFrom, tstWhere, tstGroupBy, tstHaving, tstUnion, tstPlan, tstOrderBy,
  tstForUpdate, tstEnd, tstPredicate, tstValue, tstStringLiteral, tstIsNull, tstIsNotNull,
  tstLike, tstAnd, tstOr, tstNumber, tstComment, tstDistinct, tstComma, tstLParen, tstRParen,
  tstAdd, tstSub, tstMult, tstDiv, tstBetween, tstAS, tstCase, tstWhen, tstThen, tstNullif,
  tstCoalesce, tstJoin, tstInner, tstOuter, tstLeft, tstRight, tstCross, tstNatural, tstFull,
  tstAggFunc, tstFunc, tstDataType, tstParameter, tstCast, tstNot, tstIn, tstCompOperator,
  tstNull, tstTrue, tstFalse, tstStrFunc, tstFor, tstConcatenate, tstOn, tstUsing, tstEscape,
  tstNotLike, tstNotBetween, tstNotIn, tstChar, tstInt, tstSmallInt, tstFloat, tstDate,
  tstTime, tstTimeStamp, tstDecimal, tstVarChar, tstNumeric, tstBoolean, tstMoney, tstBlob,
  tstExtract, tstYear, tstMonth, tstDay, tstHour, tstMinute, tstSecond, tstCurrentDate,
  tstCurrentTime, tstCurrentTimestamp, tstAll, tstExists, tstAny, tstSome, tstInsert, tstInto,
  tstValues, tstDelete, tstUpdate, tstSet, tstCreate, tstTable, tstAddWord, tstDrop, tstAlter,
  tstColumn, tstPrimaryKey, tstIndex, tstAutoInc, tstUnique, tstType, tstTo, tstTemporary
};

inline constexpr int TTavSQLTokenCount = tstTemporary + 1;
static_assert(TTavSQLTokenCount == 115);
static_assert(tstEnd == 15 && tstComment == 25 && tstAggFunc == 49 && tstStrFunc == 60 &&
              tstInsert == 96 && tstDelete == 99 && tstUpdate == 100 && tstAddWord == 104);

// A keyword that opens a clause: it starts a section of the pre-parser.
constexpr bool IsClauseToken(TTavSQLToken t) {
  return (t >= tstSelect && t <= tstForUpdate) || t == tstInsert || t == tstDelete ||
         t == tstUpdate;
}

// A set of token kinds, one bit per ordinal (115 of 128 bits used).
class TTavSQLTokens {
 public:
  constexpr TTavSQLTokens() = default;
  constexpr TTavSQLTokens(std::initializer_list<TTavSQLToken> members) {
    for (TTavSQLToken m : members) Include(m);
  }

  constexpr bool Contains(TTavSQLToken m) const {
    return (bits_[m >> 6] >> (m & 63) & 1) != 0;
  }
  constexpr bool Empty() const { return bits_[0] == 0 && bits_[1] == 0; }
  constexpr void Include(TTavSQLToken m) { bits_[m >> 6] |= uint64_t{1} << (m & 63); }
  constexpr void Exclude(TTavSQLToken m) { bits_[m >> 6] &= ~(uint64_t{1} << (m & 63)); }

  constexpr TTavSQLTokens operator+(const TTavSQLTokens& o) const {
    TTavSQLTokens r;
    r.bits_[0] = bits_[0] | o.bits_[0];
    r.bits_[1] = bits_[1] | o.bits_[1];
    return r;
  }
  constexpr TTavSQLTokens operator-(const TTavSQLTokens& o) const {
    TTavSQLTokens r;
    r.bits_[0] = bits_[0] & ~o.bits_[0];
    r.bits_[1] = bits_[1] & ~o.bits_[1];
    return r;
  }
  constexpr TTavSQLTokens operator*(const TTavSQLTokens& o) const {
    TTavSQLTokens r;
    r.bits_[0] = bits_[0] & o.bits_[0];
    r.bits_[1] = bits_[1] & o.bits_[1];
    return r;
  }
  constexpr bool operator==(const TTavSQLTokens&) const = default;

 private:
  uint64_t bits_[2] = {0, 0};
};

}  // namespace tav
