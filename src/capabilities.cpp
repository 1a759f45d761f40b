// Capability groups: which built-ins reach outside the engine, and the checks that keep a program
// from calling one the host has denied.
#include "engine.h"
#include "errors.h"
#include "program.h"
#include "registry.h"

namespace {

struct GroupName {
  unsigned group;
  const char *name;
};
constexpr GroupName kGroupNames[] = {
    {EXP_CAP_PROCESS, "process"},         {EXP_CAP_FILE_READ, "file read"}, {EXP_CAP_FILE_WRITE, "file write"},
    {EXP_CAP_ENVIRONMENT, "environment"}, {EXP_CAP_LOCALE, "locale"},       {EXP_CAP_SLEEP, "sleep"},
    {EXP_CAP_VARIABLES, "variables"},     {EXP_CAP_PSEUDO_FILES, "pseudo files"},
};

// The name of the lowest group in `groups`.
const char *first_group_name(unsigned groups) {
  for (const GroupName &g : kGroupNames)
    if (groups & g.group) return g.name;
  return "unknown";
}

}  // namespace

unsigned capability_needed(const exp_engine *e, const exp_function &f) {
  const unsigned alternatives = (f.capability_any & e->capabilities) ? 0 : f.capability_any;
  return f.capability | alternatives;
}

int capability_recheck(exp_engine *e, const exp_function &f) {
  const unsigned needed = capability_needed(e, f);
  if ((needed & e->capabilities) == needed) return 0;
  return capability_check(e, needed, f.name, ERR_CAPABILITY_RUN);
}

int capability_check(exp_engine *e, unsigned groups, const char *function, int number) {
  unsigned denied = groups & ~e->capabilities;
  if (!denied) return 0;
  return engine_error(e, number, function, first_group_name(denied));
}

int capability_check_program(exp_engine *e, const exp_engine *src, const exp_pcode *p, int number) {
  for (int i = 0; i < p->count; ++i) {
    const exp_instr &ins = p->code[i];
    if (ins.kind == EXP_UDF_CALL && ins.b.program) {
      if (int rc = capability_check(e, ins.b.program->capabilities, ins.b.program->udf_name, number)) return rc;
    } else if (ins.kind == EXP_CALL) {
      const exp_function *f = registry_find_callback(src, ins.b.any);
      if (!f) continue;
      if (int rc = capability_check(e, capability_needed(e, *f), f->name, number)) return rc;
    }
  }
  // Whatever the program recorded at compile time is refused even if no call above names it.
  return capability_check(e, p->capabilities, p->udf_name[0] ? p->udf_name : "program", number);
}
