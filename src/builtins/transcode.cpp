// decode and encode: text between the engine's UTF-8 and the encodings ICU knows by name. The
// third argument is the string variable that receives the converted bytes.
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "builtins/cells.h"
#include "builtins/types_family.h"
#include "errors.h"
#include "support/uchar.h"
#include "values.h"

namespace {

enum class Direction { FromUtf8, ToUtf8 };

// Byte room of the output's text (its limit in bytes for a cell counting bytes), terminator
// included, as the character layer counts it.
int room_of(const exp_symval *out) {
  size_t bytes = symval_text_room(out);
  return bytes >= INT32_MAX ? INT32_MAX : static_cast<int>(bytes) + 1;
}

// Sets the output null and the result 0: the answer for every failure.
int fail(exp_symval *out, exp_symval *result) {
  exp_symval_setnull(out);
  exp_symval_setint(result, 0);
  return 0;
}

// Cuts UTF-8 text in `out` to the output's limit in characters. Returns the bytes kept, or
// `count` when nothing had to be cut.
int64_t cut_to_limit(exp_symval *out, int count) {
  const char *end = np_uchar_seek(out->value.s, out->len);
  symval_note_cut(out, end && *end);
  if (!end || *end == '\0') return count;
  out->value.s[end - out->value.s] = '\0';
  return static_cast<int64_t>(std::strlen(out->value.s));
}

// Converts `source` into the output's buffer. Returns the converter's count (negative on failure).
int convert(Direction direction, int encoding, std::string_view source, exp_symval *out) {
  if (direction == Direction::FromUtf8) return np_uchar_decode(encoding, source, out->value.s, room_of(out));
  return np_uchar_encode(encoding, source, out->value.s, room_of(out));
}

// The shared body of decode and encode. The source is copied first when it is the output
// itself, since the converter must not write over the text it is reading.
int transcode(exp_engine *e, exp_symval *result, exp_symval **argv, Direction direction) {
  exp_symval *out = argv[2];
  if (int rc = builtin_cells::check_writable(e, out)) return rc;
  if (symval_is_null(argv[0]) || symval_is_null(argv[1]) || symval_type(out) != EXP_STRING || !out->value.s)
    return fail(out, result);
  int encoding = np_uchar_getenc(argv[0]->value.s);
  if (encoding < 0) return fail(out, result);
  const char *source = argv[1]->value.s ? argv[1]->value.s : "";
  size_t length = std::strlen(source);
  std::unique_ptr<char[]> copy;
  if (source == out->value.s) {
    copy.reset(new (std::nothrow) char[length + 1]);
    if (!copy) return engine_error(e, ERR_MEMORY);
    std::memcpy(copy.get(), source, length + 1);
    source = copy.get();
  }
  if (encoding == NP_UCHAR_ENC_UTF8) {
    exp_symval_setstr(out, source);
    exp_symval_setint(result, static_cast<int64_t>(std::strlen(out->value.s)));
    return 0;
  }
  int count = convert(direction, encoding, std::string_view(source, length), out);
  if (count < 0) return fail(out, result);
  symval_clear_null_flag(out);
  if (direction == Direction::FromUtf8) symval_note_cut(out, false);  // a converted text fits whole or fails
  exp_symval_setint(result, direction == Direction::ToUtf8 ? cut_to_limit(out, count) : count);
  return 0;
}

}  // namespace

int fn_decode(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  return transcode(e, result, argv, Direction::FromUtf8);
}

int fn_encode(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  return transcode(e, result, argv, Direction::ToUtf8);
}
