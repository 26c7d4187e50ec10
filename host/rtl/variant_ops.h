// Comparison, arithmetic and logic on Variants, with the host library's rules.
// The query engine's operators, grouping, MIN/MAX and accumulators are built on
// these, so they must order every pair of kinds consistently and never let a
// signed overflow, an infinity or a NaN through.
//
// Comparison (VarCompare, VarEquals), the host's loose Null rules:
//  - Null equals Null and sorts below every other value, Empty included.
//  - Empty equals Empty; beside another value it is 0 (numbers, dates), ''
//    (strings) or False (Booleans).
//  - False < True. A Boolean beside any other value is the number 0 or 1, and
//    compares as a number does (text beside it is read as a number).
//  - Two strings are equal only when their bytes are (their 16-bit units when
//    either is wide); they are ordered by CollateAnsiStr (CollateWideStr when
//    either is wide).
//  - A string beside a date is read as a date (the host's fixed date form), a
//    string beside a number as a number: an integer when the text is one, else
//    a double.
//  - Numbers and dates by value: integers and currency exactly, an integer
//    against a double exactly, currency against a double as doubles; a date is
//    its day count. A NaN (only a damaged stored value holds one) equals NaN and
//    sorts below every other number.
//  - So the order is total (antisymmetric and transitive) over any mix of
//    Null, Empty, Booleans, numbers and dates, and over any mix of texts with
//    Null and Empty. Texts that read as numbers mixed with numbers are the
//    exception the loose rules make: '10' < '9' as texts, 9 < 9.5 < 10 as
//    numbers.
//  - Text that is not a number or a date raises EVariantTypeCastError (a number
//    beyond the double range EVariantOverflowError); an array raises
//    EVariantTypeCastError.
//
// Arithmetic (VarAdd, VarSub, VarMul, VarDiv):
//  - A Null operand gives Null, whatever the other operand. (The engine's
//    operator evaluator turns that into its own Null result.)
//  - Empty is the integer 0, or '' in a concatenation.
//  - VarAdd of two strings, or of a string and Empty, concatenates them (wide
//    text when either is wide). Otherwise a string is read as a number, as in
//    comparison, and a Boolean is -1 or 0.
//  - With a date operand: date + number, number + date, date - number and
//    date + date give a date, date - date a double (the days between); "*" and
//    "/" take the date's day count and give a double.
//  - Integers give an Integer (an Int64 when either operand is one); a result
//    too large for it becomes an Int64 and then a double.
//  - Currency with currency or an integer: "+", "-" and "*" give currency
//    (products rounded to ten-thousandths, halves to even), a double when the
//    result does not fit. A double operand gives a double.
//  - VarDiv always gives a double; a zero divisor raises EZeroDivide
//    "Floating point division by zero".
//  - A result that would be infinite raises EOverflow "Floating point
//    overflow"; a NaN (from a NaN operand) EInvalidOp "Invalid floating point
//    operation".
//  - An operand that cannot be read as a number raises EVariantTypeCastError.
//
// Logic (VarAnd, VarOr, VarNot): the operands are read as Booleans (AsBoolean:
// Empty is False); a Null operand gives Null; otherwise the result is a Boolean.
#pragma once

#include "host/rtl/variant.h"

namespace host {

// Two doubles in a total order: NaN equals NaN and sorts below every other
// value.
int CompareDoubles(double a, double b);
// An integer against a double, exactly (the integer is not rounded).
int CompareIntDouble(int64_t i, double d);

// -1, 0 or 1 as `a` sorts before, equal to or after `b`.
int VarCompare(const Variant& a, const Variant& b);
// VarCompare(a, b) == 0, with a quick path for two 8-bit strings.
bool VarEquals(const Variant& a, const Variant& b);

Variant VarAdd(const Variant& a, const Variant& b);
Variant VarSub(const Variant& a, const Variant& b);
Variant VarMul(const Variant& a, const Variant& b);
Variant VarDiv(const Variant& a, const Variant& b);

Variant VarAnd(const Variant& a, const Variant& b);
Variant VarOr(const Variant& a, const Variant& b);
Variant VarNot(const Variant& a);

}  // namespace host
