// User-defined functions from program files, on the public ABI only.
#include "user_functions.h"

#include <string>

#include "column_plan.h"

namespace {

constexpr int kInitialStringLimit = 255;
constexpr int kResultLimit = 65535;

}  // namespace

void bind_unknown_names(exp_engine *e, const Options &o, const char *text) {
  exp_determine_symbols(e, text);  // its errors show when compiling
  std::vector<std::string> names;
  const char *name;
  while (exp_get_next_req_symbol(e, &name)) names.emplace_back(name);
  for (const std::string &n : names) {
    int type = EXP_STRING;
    for (const FieldType &ft : o.fields)
      if (fold_name(ft.name) == fold_name(n)) type = ft.type;
    exp_add_symbol(e, n.c_str(), type, kInitialStringLimit, 0, nullptr);
  }
}

bool compile_functions(exp_engine *e, const Options &o, bool bind_unknown, std::vector<exp_pcode *> *out, Failure *f) {
  for (const FunctionFile &fn : o.functions_files) {
    if (bind_unknown) bind_unknown_names(e, o, fn.text.c_str());
    exp_pcode *p = nullptr;
    const int limit = fn.type == EXP_STRING ? kResultLimit : 0;
    int rc = exp_make_pcode(e, fn.text.c_str(), &p, fn.type, limit, EXP_MAKE_PRIVATE, fn.name.c_str());
    if (rc) {
      read_failure(e, rc, f);
      f->file = fn.path;
      f->text = fn.text;
      if (rc == EXP_E_FUNCTION_EXISTS) f->message = "--function " + fn.name + ": the name is given twice";
      return false;
    }
    out->push_back(p);
  }
  return true;
}

bool copy_functions(exp_engine *src, exp_engine *dst, const std::vector<exp_pcode *> &functions,
                    std::vector<exp_pcode *> *out, Failure *f) {
  for (exp_pcode *p : functions) {
    exp_pcode *copy = nullptr;
    if (int rc = exp_copy_pcode(src, dst, p, &copy)) {
      read_failure(dst, rc, f);
      return false;
    }
    out->push_back(copy);
  }
  return true;
}

void free_functions(exp_engine *e, std::vector<exp_pcode *> *functions) {
  for (auto it = functions->rbegin(); it != functions->rend(); ++it) exp_free_pcode(e, *it);
  functions->clear();
}
