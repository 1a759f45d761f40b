// The rules of the operators that both the operator handlers and the run loop's steps apply:
// null operands, integer overflow and the six relations. Written once here so that the two ways
// of running an instruction cannot drift apart.
#pragma once

#include <cstdint>

#include "expression.h"

// A null operand gives a null result, and nothing is computed.
inline bool either_null(const exp_symval *x, const exp_symval *y) {
  return ((x->flags | y->flags) & EXP_NULL) != 0;
}

// Integer arithmetic: true when the exact result does not fit 64 bits (the result is then null);
// otherwise *r holds it.
inline bool add_overflows(int64_t a, int64_t b, int64_t *r) { return __builtin_add_overflow(a, b, r); }
inline bool sub_overflows(int64_t a, int64_t b, int64_t *r) { return __builtin_sub_overflow(a, b, r); }
inline bool mul_overflows(int64_t a, int64_t b, int64_t *r) { return __builtin_mul_overflow(a, b, r); }

// The relation of a comparison operator, numeric or string.
enum class Relation : uint8_t { Gt, Lt, Ge, Le, Eq, Ne };

// The outcomes of a three-way comparison for which each relation holds, one bit per outcome
// (bit 0: below, bit 1: equal, bit 2: above), in the order of Relation.
inline constexpr uint8_t kRelationOutcomes[] = {0b100, 0b001, 0b110, 0b011, 0b010, 0b101};

// Whether `rel` holds between two integers. A table bit rather than a switch: the run loop
// tests relations on every turn of a loop, and a switch costs an indirect jump each time.
inline bool relation_holds(Relation rel, int64_t a, int64_t b) {
  const int outcome = (a > b) - (a < b) + 1;
  return (kRelationOutcomes[static_cast<uint8_t>(rel)] >> outcome) & 1;
}

// Whether `rel` holds for the sign of a comparison (-1, 0 or 1: left below, equal to or above
// right): the relation of the sign to zero.
inline bool relation_holds(Relation rel, int sign) { return relation_holds(rel, int64_t{sign}, int64_t{0}); }
