// Value cells: every exported setter, appending, resizing, and object reference counting.
#include "values.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "errors.h"
#include "registry.h"
#include "support/uchar.h"
#include "utf8_bounded.h"

namespace {

bool is_string(const exp_symval *c) { return symval_type(c) == EXP_STRING; }
bool is_numeric_int(const exp_symval *c) {
  int t = symval_type(c);
  return t == EXP_BOOLEAN || t == EXP_INTEGER;
}
bool is_decimal(const exp_symval *c) {
  int t = symval_type(c);
  return t == EXP_REAL || t == EXP_DATE;
}

// Bytes of the buffer a string of `limit` characters needs: 4 per character and a terminator.
size_t buffer_size(int64_t limit) { return static_cast<size_t>(limit) * 4 + 1; }

// Bytes of the character at `p` (1 for an invalid byte); `p` is not at the terminator.
size_t char_bytes(const char *p) {
  if (static_cast<unsigned char>(*p) < 0x80) return 1;  // ASCII: no need to ask the character layer
  const char *next = np_uchar_seek(p, 1);
  return next ? static_cast<size_t>(next - p) : std::strlen(p);
}

// Buffer sizes passed to the character layer, which counts in int.
int room_of(size_t bytes) { return bytes > INT32_MAX ? INT32_MAX : static_cast<int>(bytes); }

}  // namespace

const char *type_name(int type) {
  const char *name = exp_type_name(type);
  return *name ? name : "unknown";
}

extern "C" EXP_API const char *exp_type_name(int type) {
  static constexpr const char *kNames[] = {"boolean", "integer", "real", "string", "date", "pointer", "object"};
  static_assert(std::size(kNames) == EXP_OBJECT - EXP_BOOLEAN + 1);
  return type >= EXP_BOOLEAN && type <= EXP_OBJECT ? kNames[type - EXP_BOOLEAN] : "";
}

int symval_init(exp_symval *c, int type, int limit, uint32_t flags, exp_class *cls) {
  std::memset(c, 0, sizeof *c);
  c->flags = (flags & ~uint32_t{EXP_TYPE_MASK | SYMVAL_ARENA}) | (static_cast<uint32_t>(type) & EXP_TYPE_MASK);
  if (type == EXP_STRING && limit > kMaxStringLimit) return 1;
  if (type == EXP_STRING && limit >= 1) {
    size_t size = buffer_size(limit);
    // Zero-filled: the whole buffer is written out by raw byte writers, never stale heap bytes.
    char *buf = static_cast<char *>(std::calloc(size, 1));
    if (!buf) return 1;
    c->value.s = buf;
    c->len = static_cast<uint32_t>(limit);
  } else if (type == EXP_OBJECT) {
    c->cls = cls;
  }
  return 0;
}

size_t symval_buffer_size(int64_t limit) { return buffer_size(limit); }

void symval_init_arena_string(exp_symval *c, int limit, uint32_t flags, char *buffer) {
  std::memset(buffer, 0, buffer_size(limit));  // zero-filled, as symval_init's calloc is
  std::memset(c, 0, sizeof *c);
  c->flags = (flags & ~uint32_t{EXP_TYPE_MASK}) | EXP_STRING | SYMVAL_ARENA;
  c->value.s = buffer;
  c->len = static_cast<uint32_t>(limit);
}

void symval_release_object(exp_symval *c) {
  exp_object *o = c->value.o;
  c->value.o = nullptr;
  if (!o || o->refcount == 0) return;
  if (--o->refcount > 0) return;
  if (c->cls && c->cls->destructor) c->cls->destructor(o->data);
  std::free(o);
}

void symval_release(exp_symval *c) {
  const int t = symval_type(c);
  if (t == EXP_STRING && !(c->flags & SYMVAL_ARENA)) std::free(c->value.s);
  if (t == EXP_OBJECT) symval_release_object(c);
}

void symval_clear(exp_symval *c) {
  symval_release(c);
  std::memset(c, 0, sizeof *c);
}

int symval_retype(exp_symval *c, int type, int limit, uint32_t flags) {
  if (symval_type(c) == EXP_OBJECT) return 1;
  if (is_string(c) && type == EXP_STRING && limit >= 1 && c->len >= static_cast<uint32_t>(limit)) {
    // The buffer stays, and with it whether the arena holds it.
    c->flags = (flags & ~uint32_t{EXP_TYPE_MASK | SYMVAL_ARENA}) | EXP_STRING | (c->flags & SYMVAL_ARENA);
    c->len = static_cast<uint32_t>(limit);
    c->value.s[symval_buffer_bytes(c)] = '\0';
    return 0;
  }
  symval_clear(c);
  return symval_init(c, type, limit, flags, nullptr);
}

size_t symval_buffer_bytes(const exp_symval *c) {
  return is_string(c) ? static_cast<size_t>(c->len) * 4 : 0;
}

size_t symval_text_room(const exp_symval *c) { return is_string(c) ? string_text_room(c) : 0; }

int symval_resize(exp_symval *c, int64_t n, int options) {
  if (!is_string(c)) return 1;
  int64_t limit = (options & RESIZE_BYTES) ? n / 4 + 1 : n;
  if (limit < 1 || limit > kMaxStringLimit) return 1;
  if (limit == c->len) return 0;
  if (limit > c->len) {
    char *buf = static_cast<char *>(std::calloc(buffer_size(limit), 1));
    if (!buf) return 1;
    buf[0] = '\0';
    if ((options & RESIZE_KEEP) && c->value.s) std::strcpy(buf, c->value.s);
    if (!(c->flags & SYMVAL_ARENA)) std::free(c->value.s);
    c->flags &= ~SYMVAL_ARENA;
    c->value.s = buf;
    c->len = static_cast<uint32_t>(limit);
    buf[limit * 4] = '\0';
    return 0;
  }
  c->len = static_cast<uint32_t>(limit);
  if (options & RESIZE_KEEP) {
    const char *end = np_uchar_seek(c->value.s, static_cast<int>(limit));
    if (end && *end) {
      c->value.s[end - c->value.s] = '\0';
      c->flags |= EXP_CUT;
    }
  }
  c->value.s[limit * 4] = '\0';
  return 0;
}

void symval_mark_raw(exp_symval *c) {
  if (!is_string(c) || !c->value.s || (c->flags & SYMVAL_RAW)) return;
  std::memset(c->value.s, 0, buffer_size(c->len));
  c->flags |= SYMVAL_RAW;
}

void symval_clear_stale(exp_symval *c) {
  if (!symval_raw_bytes(c) || !is_string(c) || !c->value.s) return;
  size_t used = std::strlen(c->value.s);
  std::memset(c->value.s + used, 0, buffer_size(c->len) - used);
  c->flags &= ~SYMVAL_RAW;
}

void symval_set_bytes(exp_symval *c, const char *text, size_t n) {
  if (!is_string(c) || !c->value.s) {
    exp_symval_setnull(c);
    return;
  }
  symval_clear_null_flag(c);
  size_t room = symval_text_room(c);
  size_t count = n < room ? n : room;
  np_uchar_bufcopy(text ? text : "", c->value.s, room_of(count + 1));
  symval_note_cut(c, count < n);
  symval_clear_stale(c);
}

// ---- exported setters --------------------------------------------------------------------------

namespace {

// A setter given a cell of another type makes it null. Kept out of line: inlined, the reset of
// every type would give each setter's common path a stack frame to build and take down.
[[gnu::noinline, gnu::cold]] void setnull_other_type(exp_symval *c) { exp_symval_setnull(c); }

}  // namespace

extern "C" EXP_API void exp_symval_setnull(exp_symval *c) {
  if (!c) return;
  // Tested in order of how often each type is reset, as predictable branches.
  int t = symval_type(c);
  if (t == EXP_INTEGER || t == EXP_BOOLEAN) c->value.i = 0;
  else if (t == EXP_REAL || t == EXP_DATE) decSextNaN(symval_dec(c));
  else if (t == EXP_STRING && c->value.s) {
    c->value.s[0] = '\0';
    c->flags &= ~uint32_t{EXP_CUT};
    symval_clear_stale(c);
  } else if (t == EXP_POINTER) c->value.p = nullptr;
  else if (t == EXP_OBJECT) symval_release_object(c);
  symval_set_null_flag(c);
}

extern "C" EXP_API void exp_symval_setint(exp_symval *c, int64_t v) {
  if (!c) return;
  if (!is_numeric_int(c)) return setnull_other_type(c);
  c->value.i = v;
  symval_clear_null_flag(c);
}

extern "C" EXP_API void exp_symval_setdbl(exp_symval *c, double v) {
  if (!c) return;
  if (!is_decimal(c)) return setnull_other_type(c);
  decContext ctx = kDecimal192Context;
  decSextFromDouble(symval_dec(c), v, &ctx);
  symval_clear_null_flag(c);
}

extern "C" EXP_API int exp_symval_getdbl(const exp_symval *c, double *out) {
  if (out) *out = 0.0;
  if (!c || !is_decimal(c) || symval_is_null(c)) return 0;
  if (double d; decSextToDoubleExact(symval_dec(c), &d)) {
    if (out) *out = d;
    return 1;
  }
  decContext ctx = kDecimal192Context;
  double d = decSextToDouble(symval_dec(c), &ctx, 2);
  if (out) *out = d;
  return ctx.status == 0 ? 1 : 0;
}

extern "C" EXP_API void exp_symval_setfdnum(exp_symval *c, const exp_decimal192 *v) {
  if (!c) return;
  if (!is_decimal(c) || !v) return setnull_other_type(c);
  std::memcpy(&c->value.d, v, sizeof *v);
  symval_clear_null_flag(c);
}

// Reads at most `n` characters of `text`: a host may pass a buffer without a terminator that
// holds exactly n characters, so nothing after the n-th character is looked at.
extern "C" EXP_API void exp_symval_setstrn(exp_symval *c, const char *text, int n) {
  if (!c) return;
  if (!is_string(c) || !c->value.s) return setnull_other_type(c);
  symval_clear_null_flag(c);
  const auto *p = reinterpret_cast<const unsigned char *>(text ? text : "");
  int64_t chars = n < 0 ? 0 : std::min<int64_t>(n, c->len);
  size_t room = string_text_room(c);
  size_t used = 0;
  for (; chars > 0 && p[used]; --chars) {
    size_t step = utf8_step(p + used, 4);
    if (used + step > room) break;
    used += step;
  }
  // The cell's limit cut the text when the copy stopped before the text's end: at the buffer's
  // room, or at the character limit where the caller allowed more (only then may p[used] be read).
  const bool cut = (chars > 0 || n > static_cast<int64_t>(c->len)) && p[used];
  std::memmove(c->value.s, p, used);  // the text may lie in the cell's own buffer
  c->value.s[used] = '\0';
  symval_note_cut(c, cut);
  symval_clear_stale(c);
}

extern "C" EXP_API void exp_symval_setstr(exp_symval *c, const char *text) {
  if (!c) return;
  exp_symval_setstrn(c, text, INT32_MAX);  // the cell's limit bounds the characters read
}

extern "C" EXP_API void exp_symval_setptr(exp_symval *c, void *p) {
  if (!c) return;
  if (symval_type(c) != EXP_POINTER) return setnull_other_type(c);
  c->value.p = p;
  symval_clear_null_flag(c);
}

// Makes `dst` share `src`'s instance. The source's instance is taken before the destination is
// released, so copying a cell onto itself keeps the instance.
static void share_object(const exp_symval *src, exp_symval *dst) {
  exp_object *o = (src->cls == dst->cls && !symval_is_null(src)) ? src->value.o : nullptr;
  if (o) ++o->refcount;
  exp_symval_setnull(dst);
  if (!o) return;
  dst->value.o = o;
  symval_clear_null_flag(dst);
}

extern "C" EXP_API void exp_symval_copy(const exp_symval *src, exp_symval *dst) {
  if (!dst) return;
  if (!src || symval_type(src) != symval_type(dst)) return exp_symval_setnull(dst);
  if (symval_type(src) == EXP_OBJECT) return share_object(src, dst);
  if (symval_is_null(src)) return exp_symval_setnull(dst);
  switch (symval_type(src)) {
    case EXP_BOOLEAN:
    case EXP_INTEGER:  // same type as src, so the setters' checks are done: store directly
      dst->value.i = src->value.i;
      symval_clear_null_flag(dst);
      break;
    case EXP_REAL:
    case EXP_DATE:
      dst->value.d = src->value.d;
      symval_clear_null_flag(dst);
      break;
    case EXP_STRING:
      if (src == dst) break;
      exp_symval_setstr(dst, src->value.s);
      break;
    case EXP_POINTER: exp_symval_setptr(dst, src->value.p); break;
    default: exp_symval_setnull(dst); break;
  }
}

// Appends whole characters of `text`, reading at most `max_bytes` of it, while the cell has room
// for both the character count and the bytes. A character that `max_bytes` cuts is not appended
// and its bytes past the bound are never read. Returns the characters appended.
static int append_chars(exp_symval *c, const char *text, size_t max_bytes) {
  if (!c || !is_string(c) || !c->value.s || !text) return 0;
  char *buf = c->value.s;
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  size_t used = std::strlen(buf);
  int64_t chars_left = static_cast<int64_t>(c->len) - np_uchar_length(buf);
  const size_t room = string_text_room(c);
  size_t bytes_left = room > used ? room - used : 0;
  // Measure first, then copy once: faster than a copy per character, and a text that lies in
  // the cell's own buffer is read before anything is written.
  size_t taken = 0;
  int count = 0;
  bool cut = false;  // the cell's limit, not the text's end or the caller's bound, stopped it
  while (taken < max_bytes && p[taken]) {
    if (chars_left <= 0 || bytes_left == 0) {
      cut = true;
      break;
    }
    size_t avail = max_bytes - taken;
    size_t step = utf8_char_bytes(p + taken, avail);
    if (step == 0) {
      if (utf8_lead_length(p[taken]) > avail) break;  // cut by the bound: stop before it
      step = 1;                                       // an invalid byte is a character of its own
    }
    if (step > bytes_left) {
      cut = true;
      break;
    }
    taken += step;
    bytes_left -= step;
    --chars_left;
    ++count;
  }
  std::memmove(buf + used, text, taken);
  buf[used + taken] = '\0';
  if (cut) c->flags |= EXP_CUT;  // a whole append keeps what the text before it was
  return count;
}

extern "C" EXP_API int exp_symval_str_concat(exp_symval *c, const char *text) {
  return append_chars(c, text, SIZE_MAX);
}

extern "C" EXP_API int exp_symval_strn_concat(exp_symval *c, const char *text, int n) {
  return n <= 0 ? 0 : append_chars(c, text, static_cast<size_t>(n));
}

// The limits a string cell puts on stored text: characters, and bytes (4 per character of the
// buffer, or the limit itself for a cell that counts bytes).
struct TextLimit {
  uint64_t chars;
  size_t bytes;
};
static TextLimit text_limit(const exp_symval *c) {
  return {(c->flags & EXP_BYTES) ? UINT64_MAX : c->len, symval_text_room(c)};
}

// Checks every character of the `nbytes` bytes (no NUL, only well-formed UTF-8) and finds where
// the cell's limit cuts them. Returns false for invalid text; *keep gets the bytes that fit.
static bool measure_bytes(const unsigned char *p, size_t nbytes, TextLimit limit, size_t *keep) {
  *keep = SIZE_MAX;
  uint64_t chars = 0;
  for (size_t pos = 0; pos < nbytes; ++chars) {
    size_t step = p[pos] ? utf8_char_bytes(p + pos, nbytes - pos) : 0;
    if (step == 0) return false;
    if (*keep == SIZE_MAX && (chars + 1 > limit.chars || pos + step > limit.bytes)) *keep = pos;
    pos += step;
  }
  if (*keep == SIZE_MAX) *keep = nbytes;
  return true;
}

// Stores exactly the given bytes, or nothing: invalid text leaves the cell null rather than
// holding part of a value the host did not mean.
extern "C" EXP_API int exp_symval_setbytes(exp_symval *c, const char *p, size_t nbytes) {
  if (!c) return EXP_E_INVALID_INPUT;
  if (!is_string(c) || !c->value.s || (!p && nbytes > 0)) {
    exp_symval_setnull(c);
    return EXP_E_INVALID_INPUT;
  }
  size_t keep = 0;
  if (nbytes > 0 && !measure_bytes(reinterpret_cast<const unsigned char *>(p), nbytes, text_limit(c), &keep)) {
    exp_symval_setnull(c);
    return EXP_E_INVALID_UTF8;
  }
  if (keep > 0) std::memmove(c->value.s, p, keep);
  c->value.s[keep] = '\0';
  symval_clear_null_flag(c);
  symval_note_cut(c, keep < nbytes);
  return keep < nbytes ? EXP_E_TEXT_CUT : 0;
}

// Failures have numbers of their own: a host telling "no memory" from a bad argument.
extern "C" EXP_API int exp_symval_str_resize(exp_symval *c, int n) {
  if (!c || !is_string(c)) return EXP_E_INVALID_INPUT;
  if (n < 1 || n > kMaxStringLimit) return EXP_E_STRING_LIMIT_RANGE;
  if (symval_resize(c, n, RESIZE_KEEP) != 0) return EXP_E_NOMEM;
  exp_symval_str_normalize(c);  // a cell counting bytes keeps at most n bytes
  return 0;
}

extern "C" EXP_API void exp_symval_str_normalize(exp_symval *c) {
  if (!c || !is_string(c) || !(c->flags & EXP_BYTES) || !c->value.s) return;
  char *text = c->value.s;
  size_t total = 0;
  while (text[total]) {
    size_t step = char_bytes(text + total);
    if (total + step > c->len) break;
    total += step;
  }
  if (text[total]) c->flags |= EXP_CUT;
  text[total] = '\0';
}

// Only object cells take an instance: in any other cell the reference would overwrite the
// value (a string's buffer pointer among them).
extern "C" EXP_API exp_object *exp_instantiate_object(exp_symval *c, void *data) {
  if (!c || symval_type(c) != EXP_OBJECT) return nullptr;
  auto *o = static_cast<exp_object *>(std::malloc(sizeof(exp_object)));
  if (!o) return nullptr;
  o->refcount = 1;
  o->data = data;
  c->value.o = o;
  symval_clear_null_flag(c);
  return o;
}

extern "C" EXP_API void *exp_object_value(exp_object *o) { return o ? o->data : nullptr; }
