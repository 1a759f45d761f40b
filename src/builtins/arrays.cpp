// The five array classes (one per scalar element type) and aparse, which splits a string into a
// string array. Arrays are object instances shared by reference: assigning an array variable to
// another makes both use the same elements. Indexes seen by programs are 1-based.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "builtins/builtins.h"
#include "builtins/cancel.h"
#include "builtins/cells.h"
#include "engine.h"
#include "errors.h"
#include "support/text_search.h"
#include "support/uchar.h"
#include "values.h"

using namespace builtin_cells;

namespace {

// One element: a payload wide enough for every scalar type, and whether it holds a value. An
// all-zero element is null; a null string element owns no text.
struct ArrayElement {
  union {
    int64_t i;
    exp_decimal192 d;
    char *s;
  } value;
  uint8_t is_set;
};

// The data of an array instance: `count` elements in index order, inside storage for `capacity`
// (aparse reserves ahead; every slot past `count` is zero). The bytes of its storage and of its
// strings are charged to the memory of the engine that made it (`budget`).
struct ArrayData {
  int32_t count = 0;
  int32_t capacity = 0;
  ArrayElement *elements = nullptr;
  MemoryBudgetRef budget;
  int64_t charged = 0;
};

// Charges `bytes` more (or, negative, fewer) to the array's engine. 0, or error 109 with nothing
// charged when the engine's memory limit would be passed.
int charge(exp_engine *e, ArrayData *a, int64_t bytes) {
  if (!e) return 0;
  if (!a->budget) a->budget = e->memory;
  if (bytes > 0)
    if (int rc = limit_charge(e, bytes)) return rc;
  if (bytes < 0) limit_release(*a->budget, -bytes);
  a->charged += bytes;
  return 0;
}

// Bytes of the storage of `n` elements, and of one string element's text.
int64_t storage_bytes(int64_t n) { return n * static_cast<int64_t>(sizeof(ArrayElement)); }
int64_t text_bytes(const char *s) { return s ? static_cast<int64_t>(std::strlen(s)) + 1 : 0; }

// What distinguishes the five classes: the element type and the class name.
struct ArrayKind {
  int type;
  const char *class_name;
};
constexpr ArrayKind kIntegerArray{EXP_INTEGER, "integer_array"};
constexpr ArrayKind kStringArray{EXP_STRING, "string_array"};
constexpr ArrayKind kRealArray{EXP_REAL, "real_array"};
constexpr ArrayKind kBooleanArray{EXP_BOOLEAN, "boolean_array"};
constexpr ArrayKind kDateArray{EXP_DATE, "date_array"};

constexpr int32_t kAparseFirst = 16;  // aparse's first storage; it doubles from there

// ---- storage -------------------------------------------------------------------------------------

// Zeroed storage for `n` elements; none for 0 elements. Sizes outside 0..INT32_MAX and byte counts
// that do not fit are refused like a failed allocation (calloc checks the multiplication).
bool allocate_elements(int64_t n, ArrayElement **out) {
  *out = nullptr;
  if (n < 0 || n > INT32_MAX) return false;
  if (n == 0) return true;
  *out = static_cast<ArrayElement *>(std::calloc(static_cast<size_t>(n), sizeof(ArrayElement)));
  return *out != nullptr;
}

void free_strings(ArrayElement *elements, int32_t from, int32_t to) {
  for (int32_t k = from; k < to; ++k) {
    std::free(elements[k].value.s);
    elements[k].value.s = nullptr;
  }
}

// Destructors of the classes: every instance's data is an ArrayData from new_array.
void array_destructor(void *data) {
  auto *a = static_cast<ArrayData *>(data);
  if (!a) return;
  if (a->budget) limit_release(*a->budget, a->charged);
  std::free(a->elements);
  delete a;
}

void string_array_destructor(void *data) {
  auto *a = static_cast<ArrayData *>(data);
  if (a) free_strings(a->elements, 0, a->count);
  array_destructor(data);
}

// Owns an array under construction until it is bound to a variable.
struct StringArrayOwner {
  void operator()(ArrayData *a) const { string_array_destructor(a); }
};
using OwnedStringArray = std::unique_ptr<ArrayData, StringArrayOwner>;

// A copy of `text` as a separately allocated, terminated string, or none out of memory.
char *copy_text(std::string_view text) {
  auto *s = static_cast<char *>(std::malloc(text.size() + 1));
  if (!s) return nullptr;
  std::memcpy(s, text.data(), text.size());
  s[text.size()] = '\0';
  return s;
}

// ---- the object argument -------------------------------------------------------------------------------

// Binds `a` to the variable in place of what it held (that instance loses one reference).
// On failure `a` still belongs to the caller.
bool bind_array(exp_symval *cell, ArrayData *a) {
  exp_symval_setnull(cell);
  return exp_instantiate_object(cell, a) != nullptr;
}

// ---- dim ---------------------------------------------------------------------------------------------

// A new array of `n` null elements bound to `cell`. Result n, or the out-of-memory error with the
// variable unchanged.
int dim_new(exp_engine *e, exp_symval *result, exp_symval *cell, int64_t n) {
  auto a = std::make_unique<ArrayData>();
  if (int rc = charge(e, a.get(), storage_bytes(n))) return rc;
  if (!allocate_elements(n, &a->elements)) {
    array_destructor(a.release());
    return exp_raise_memory_error(e);
  }
  a->count = a->capacity = static_cast<int32_t>(n);
  if (!bind_array(cell, a.get())) {
    array_destructor(a.release());
    return exp_raise_memory_error(e);
  }
  a.release();
  exp_symval_setint(result, n);
  return 0;
}

// Resizes `a` in place (every variable sharing it sees the new size): the first min(n, count)
// elements are kept, new ones are null, dropped strings are freed. On allocation failure the array
// keeps its previous storage and size.
int dim_resize(exp_engine *e, exp_symval *result, ArrayData *a, int64_t n, const ArrayKind &kind) {
  if (n > a->capacity)
    if (int rc = charge(e, a, storage_bytes(n - a->capacity))) return rc;
  ArrayElement *storage = nullptr;
  if (!allocate_elements(n, &storage)) {
    if (n > a->capacity) charge(e, a, -storage_bytes(n - a->capacity));
    return exp_raise_memory_error(e);
  }
  if (n < a->capacity) charge(e, a, -storage_bytes(a->capacity - n));
  auto size = static_cast<int32_t>(n);
  int32_t kept = size < a->count ? size : a->count;
  if (kept > 0) std::memcpy(storage, a->elements, static_cast<size_t>(kept) * sizeof(ArrayElement));
  if (kind.type == EXP_STRING) {
    int64_t dropped = 0;
    for (int32_t k = kept; k < a->count; ++k) dropped += text_bytes(a->elements[k].value.s);
    charge(e, a, -dropped);
    free_strings(a->elements, kept, a->count);
  }
  std::free(a->elements);
  a->elements = storage;
  a->count = a->capacity = size;
  exp_symval_setint(result, n);
  return 0;
}

// dim(obj): the element count, or null for a null variable. dim(obj, n): creates the array (for a
// null or empty variable) or resizes it, and returns n.
int array_dim(exp_engine *e, exp_symval *result, int argc, exp_symval **argv, const ArrayKind &kind) {
  exp_symval *cell = argv[0];
  if (!is_object_of(cell, kind.class_name)) return wrong_object(e, kind.class_name);
  auto *a = instance_of<ArrayData>(cell);
  if (argc < 2) {
    if (a) exp_symval_setint(result, a->count);
    else exp_symval_setnull(result);
    return 0;
  }
  if (symval_is_null(argv[1])) {
    exp_symval_setnull(result);
    return 0;
  }
  int64_t n = argv[1]->value.i;
  if (n < 0 || n > INT32_MAX) return exp_raise_memory_error(e);
  // New elements are cleared, kept ones moved and dropped ones freed.
  const int64_t touched = n + (a ? a->count : 0);
  if (int rc = charge_bytes(e, argv[argc], static_cast<size_t>(touched) * sizeof(ArrayElement))) return rc;
  if (!a || a->count == 0) return dim_new(e, result, cell, n);
  if (n == a->count) {
    exp_symval_setint(result, n);
    return 0;
  }
  return dim_resize(e, result, a, n, kind);
}

// ---- get and set -------------------------------------------------------------------------------------

// Copies an element into the result cell; a string longer than the result's limit grows the
// result so it is returned whole (its copy charged to the run of `self`).
int read_element(exp_engine *e, const exp_symval *self, exp_symval *result, const ArrayElement &el,
                 const ArrayKind &kind) {
  if (!el.is_set) {
    exp_symval_setnull(result);
    return 0;
  }
  switch (kind.type) {
    case EXP_STRING: {
      int64_t chars = np_uchar_length(el.value.s);
      if (int rc = limit_check(e, EXP_LIMIT_STRING, chars)) return rc;
      if (int rc = charge_bytes(e, self, static_cast<size_t>(chars) * 2)) return rc;  // measured, then copied
      if (chars > result->len)
        if (int rc = limit_resize_string(e, result, chars, RESIZE_KEEP)) return rc;
      exp_symval_setstr(result, el.value.s);
      return 0;
    }
    case EXP_REAL:
    case EXP_DATE: exp_symval_setfdnum(result, &el.value.d); return 0;
    default: exp_symval_setint(result, el.value.i); return 0;
  }
}

// Stores `value` (null allowed) into the element. A string is copied whole before the old one is
// freed, so an allocation failure leaves the element as it was.
int write_element(exp_engine *e, ArrayData *a, ArrayElement &el, const exp_symval *value, const ArrayKind &kind) {
  bool null = symval_is_null(value) || symval_type(value) != kind.type;
  if (kind.type != EXP_STRING) {
    if (!null && (kind.type == EXP_REAL || kind.type == EXP_DATE)) el.value.d = value->value.d;
    else if (!null) el.value.i = value->value.i;
    el.is_set = null ? 0 : 1;
    return 0;
  }
  const char *text = null ? nullptr : value->value.s ? value->value.s : "";
  if (int rc = charge(e, a, text_bytes(text) - text_bytes(el.value.s))) return rc;
  char *copy = nullptr;
  if (text && !(copy = copy_text(text))) {
    charge(e, a, text_bytes(el.value.s) - text_bytes(text));
    return exp_raise_memory_error(e);
  }
  std::free(el.value.s);
  el.value.s = copy;
  el.is_set = null ? 0 : 1;
  return 0;
}

// get(obj, i) reads element i; set(obj, i, v) also stores v and so returns the old value. A null
// index gives null and stores nothing.
int array_access(exp_engine *e, exp_symval *result, int argc, exp_symval **argv, const ArrayKind &kind) {
  exp_symval *cell = argv[0];
  if (!is_object_of(cell, kind.class_name)) return wrong_object(e, kind.class_name);
  auto *a = instance_of<ArrayData>(cell);
  if (!a) return exp_raise_error(e, "Array is null");
  if (symval_is_null(argv[1])) {
    exp_symval_setnull(result);
    return 0;
  }
  int64_t index = argv[1]->value.i;
  if (index < 1 || index > a->count) return exp_raise_error(e, "Index out of bounds");
  ArrayElement &el = a->elements[index - 1];
  if (int rc = read_element(e, argv[argc], result, el, kind)) return rc;
  return argc >= 3 ? write_element(e, a, el, argv[2], kind) : 0;
}

template <const ArrayKind &Kind>
int dim_cb(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  return array_dim(e, result, argc, argv, Kind);
}

template <const ArrayKind &Kind>
int access_cb(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  return array_access(e, result, argc, argv, Kind);
}

// ---- aparse ------------------------------------------------------------------------------------------------

// Builds aparse's array: appends pieces, doubling the storage when it is full (so n pieces cost
// linear time), charging the array's engine for every byte and looking for cancellation as the
// source is scanned.
class PieceList {
 public:
  PieceList(exp_engine *e, const exp_symval *self) : e_(e), meter_(e, self) {}

  // 0, or error 1 (memory), 104 (cancelled) or 109 (memory limit).
  int start() {
    a_.reset(new (std::nothrow) ArrayData);
    if (!a_) return exp_raise_memory_error(e_);
    return grow();
  }
  int append(std::string_view piece) {
    if (int rc = meter_.add(static_cast<int64_t>(piece.size()) + 1)) return rc;
    if (a_->count == a_->capacity)
      if (int rc = grow()) return rc;
    if (int rc = charge(e_, a_.get(), static_cast<int64_t>(piece.size()) + 1)) return rc;
    char *copy = copy_text(piece);
    if (!copy) return exp_raise_memory_error(e_);
    a_->elements[a_->count].value.s = copy;
    a_->elements[a_->count].is_set = 1;
    ++a_->count;
    return 0;
  }
  OwnedStringArray take() { return std::move(a_); }

 private:
  int grow() {
    int64_t capacity = a_->capacity == 0 ? kAparseFirst : int64_t{a_->capacity} * 2;
    if (capacity > INT32_MAX) capacity = INT32_MAX;
    if (capacity <= a_->capacity) return exp_raise_memory_error(e_);
    if (int rc = charge(e_, a_.get(), storage_bytes(capacity - a_->capacity))) return rc;
    ArrayElement *storage = nullptr;
    if (!allocate_elements(capacity, &storage)) return exp_raise_memory_error(e_);
    if (a_->count > 0) std::memcpy(storage, a_->elements, static_cast<size_t>(a_->count) * sizeof(ArrayElement));
    std::free(a_->elements);
    a_->elements = storage;
    a_->capacity = static_cast<int32_t>(capacity);
    return 0;
  }

  exp_engine *e_;
  WorkMeter meter_;
  OwnedStringArray a_;
};

// The pieces of `source` between non-overlapping occurrences of `delimiter` (compared bytewise),
// the last piece possibly empty; an empty delimiter gives the whole source. 0 or an error.
int split(std::string_view source, std::string_view delimiter, PieceList &list) {
  if (int rc = list.start()) return rc;
  size_t piece = 0;
  if (!delimiter.empty()) {
    for (size_t at = text_find(source, delimiter); at != std::string_view::npos;
         at = text_find(source, delimiter, piece)) {
      if (int rc = list.append(source.substr(piece, at - piece))) return rc;
      piece = at + delimiter.size();
    }
  }
  return list.append(source.substr(piece));
}

// aparse(source, delimiter, arr): fills the string array `arr` with the pieces of `source` and
// returns their number. The class check comes first, even before null arguments.
int aparse(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  exp_symval *arr = argv[2];
  if (!is_object_of(arr, kStringArray.class_name))
    return exp_raise_error(e, "aparse parameter 3 is invalid type. Must be string array.");
  if (symval_is_null(argv[0]) || symval_is_null(argv[1])) {
    exp_symval_setnull(result);
    return 0;
  }
  PieceList list(e, argv[argc]);
  if (int rc = split(argv[0]->value.s ? argv[0]->value.s : "", argv[1]->value.s ? argv[1]->value.s : "", list))
    return rc;
  OwnedStringArray a = list.take();
  if (!bind_array(arr, a.get())) return exp_raise_memory_error(e);
  exp_symval_setint(result, a.release()->count);
  return 0;
}

// ---- copies -------------------------------------------------------------------------------------------------

const ArrayKind *kind_of(const exp_symval *cell) {
  for (const ArrayKind *k : {&kIntegerArray, &kStringArray, &kRealArray, &kBooleanArray, &kDateArray})
    if (is_object_of(cell, k->class_name)) return k;
  return nullptr;
}

}  // namespace

bool array_cell(const exp_symval *cell) { return kind_of(cell) != nullptr; }

int array_copy(exp_engine *e, const exp_symval *src, exp_symval *dst) {
  const ArrayKind *kind = kind_of(src);
  if (!kind || dst->cls != src->cls) return engine_error(e, ERR_INVALID_INPUT, "not an array of the same class");
  const auto *from = instance_of<ArrayData>(src);
  if (!from) {
    exp_symval_setnull(dst);
    return 0;
  }
  // Until bound, the copy is freed by its class's destructor (string elements copied so far included).
  std::unique_ptr<ArrayData, void (*)(void *)> a(new (std::nothrow) ArrayData,
                                                 kind->type == EXP_STRING ? string_array_destructor : array_destructor);
  if (!a) return exp_raise_memory_error(e);
  if (int rc = charge(e, a.get(), storage_bytes(from->count))) return rc;
  if (!allocate_elements(from->count, &a->elements)) return exp_raise_memory_error(e);
  a->count = a->capacity = from->count;
  for (int32_t k = 0; k < from->count; ++k) {
    const ArrayElement &el = from->elements[k];
    if (kind->type != EXP_STRING || !el.value.s) {
      a->elements[k] = el;
      continue;
    }
    if (int rc = charge(e, a.get(), text_bytes(el.value.s))) return rc;
    if (!(a->elements[k].value.s = copy_text(el.value.s))) return exp_raise_memory_error(e);
    a->elements[k].is_set = el.is_set;
  }
  if (!bind_array(dst, a.get())) return exp_raise_memory_error(e);
  a.release();
  return 0;
}

namespace {

// ---- records ------------------------------------------------------------------------------------------------

// Description texts shared by the records of the five classes (literals, since the records hold
// the texts in arrays).
#define ARRAY_SET_DESC "Set an element. The old value is returned"
#define ARRAY_GET_DESC "Get an element value."
#define DIM_DESC                                                                                   \
  "Create, resize, or determine the size of array. If a parameter is specified, the array is " \
  "resized/created. The (new) size is returned"

const builtin_class kClasses[] = {
    {"integer_array", "Array of integer", true, array_destructor},
    {"string_array", "Array of string", true, string_array_destructor},
    {"real_array", "Array of real", true, array_destructor},
    {"boolean_array", "Array of boolean", true, array_destructor},
    {"date_array", "Array of date", true, array_destructor},
};

const builtin_method kMethods[] = {
    {"integer_array", "dim", "int_array_dim"},   {"integer_array", "set", "int_array_set"},
    {"integer_array", "get", "int_array_get"},   {"string_array", "dim", "str_array_dim"},
    {"string_array", "set", "str_array_set"},    {"string_array", "get", "str_array_get"},
    {"real_array", "dim", "real_array_dim"},     {"real_array", "set", "real_array_set"},
    {"real_array", "get", "real_array_get"},     {"boolean_array", "dim", "bool_array_dim"},
    {"boolean_array", "set", "bool_array_set"},  {"boolean_array", "get", "bool_array_get"},
    {"date_array", "dim", "date_array_dim"},     {"date_array", "set", "date_array_set"},
    {"date_array", "get", "date_array_get"},
};

const exp_function kFunctions[] = {
    {"int_array_dim", dim_cb<kIntegerArray>, 1, 2, "Oi", 'i', 0, DIM_DESC, 1, ""},
    {"int_array_set", access_cb<kIntegerArray>, 3, 3, "Oii", 'i', 0, ARRAY_SET_DESC, 1, ""},
    {"int_array_get", access_cb<kIntegerArray>, 2, 2, "Oi", 'i', 0, ARRAY_GET_DESC, 1, ""},
    {"str_array_dim", dim_cb<kStringArray>, 1, 2, "Oi", 'i', 0, DIM_DESC, 1, ""},
    {"str_array_set", charging_texts<access_cb<kStringArray>, 2>, 3, 3, "Ois", 's', 255, ARRAY_SET_DESC, 1, ""},
    {"str_array_get", access_cb<kStringArray>, 2, 2, "Oi", 's', 255, ARRAY_GET_DESC, 1, ""},
    {"real_array_dim", dim_cb<kRealArray>, 1, 2, "Oi", 'i', 0, DIM_DESC, 1, ""},
    {"real_array_set", access_cb<kRealArray>, 3, 3, "Oir", 'r', 0, ARRAY_SET_DESC, 1, ""},
    {"real_array_get", access_cb<kRealArray>, 2, 2, "Oi", 'r', 0, ARRAY_GET_DESC, 1, ""},
    {"bool_array_dim", dim_cb<kBooleanArray>, 1, 2, "Oi", 'i', 0, DIM_DESC, 1, ""},
    {"bool_array_set", access_cb<kBooleanArray>, 3, 3, "Oib", 'b', 0, ARRAY_SET_DESC, 1, ""},
    {"bool_array_get", access_cb<kBooleanArray>, 2, 2, "Oi", 'b', 0, ARRAY_GET_DESC, 1, ""},
    {"date_array_dim", dim_cb<kDateArray>, 1, 2, "Oi", 'i', 0, DIM_DESC, 1, ""},
    {"date_array_set", access_cb<kDateArray>, 3, 3, "Oid", 'd', 0, ARRAY_SET_DESC, 1, ""},
    {"date_array_get", access_cb<kDateArray>, 2, 2, "Oi", 'd', 0, ARRAY_GET_DESC, 1, ""},
    {"aparse", aparse, 3, 3, "ssO", 'i', 0,
     "Parse a string into a string array. Number of elements is returned.", 0, ""},
};

}  // namespace

class_family array_classes() { return {kClasses, kMethods, kFunctions}; }
