// Trampolines from the engine's function callback to Python callables.
#include "host_functions.h"

#include <array>
#include <memory>
#include <string_view>
#include <utility>

namespace pyexp {
namespace {

constexpr size_t kSlots = 64;
// Type letters that have a Python form, in either case ('a' passes any of them).
constexpr std::string_view kArgumentLetters = "birsdaBIRSD";
constexpr std::string_view kResultLetters = "birsdBIRSD";

template <size_t N>
int trampoline(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  return static_cast<EngineHooks *>(exp_get_callback_data(e))->functions->call(e, N, result, argc, argv);
}

template <size_t... I>
constexpr std::array<exp_func_cb, sizeof...(I)> make_trampolines(std::index_sequence<I...>) {
  return {trampoline<I>...};
}

constexpr auto kTrampolines = make_trampolines(std::make_index_sequence<kSlots>());

// Registers f into e at `slot`; throws ValueError naming f when the engine refuses it.
void register_in(exp_engine *e, const HostFunction &f, size_t slot) {
  if (slot >= kSlots) throw py::value_error("at most " + std::to_string(kSlots) + " functions per engine");
  for (char c : f.args)
    if (kArgumentLetters.find(c) == std::string_view::npos)
      throw py::value_error("cannot register '" + f.name + "': argument letter '" + std::string(1, c) +
                            "' is not one of b i r s d a (upper case: no conversion)");
  if (kResultLetters.find(f.returns) == std::string_view::npos)
    throw py::value_error("cannot register '" + f.name + "': result letter '" + std::string(1, f.returns) +
                          "' is not one of b i r s d");
  const int n = static_cast<int>(f.args.size());
  const int rc = exp_register_function(e, f.name.c_str(), kTrampolines[slot], n, static_cast<uint32_t>(n),
                                       f.args.c_str(), f.returns, 0, "Python function", 0, nullptr);
  if (rc) {
    const char *message = "";
    exp_error_info(e, &message, nullptr, nullptr);
    throw py::value_error("cannot register '" + f.name + "': " + message);
  }
}


}  // namespace

void HostFunctions::add(exp_engine *e, HostFunction f) {
  register_in(e, f, functions_.size());
  functions_.push_back(std::move(f));
}

void HostFunctions::check(const std::vector<HostFunction> &functions) {
  std::unique_ptr<exp_engine, int (*)(exp_engine *)> scratch(exp_init_ex(EXP_INIT_NO_USER_SETTINGS), exp_clean);
  if (!scratch) throw std::bad_alloc();
  for (size_t i = 0; i < functions.size(); ++i) register_in(scratch.get(), functions[i], i);
}

int HostFunctions::call(exp_engine *e, size_t slot, exp_symval *result, int argc, exp_symval **argv) {
  py::gil_scoped_acquire gil;
  const HostFunction &f = functions_[slot];
  try {
    py::tuple args(argc);
    for (int i = 0; i < argc; ++i) args[static_cast<size_t>(i)] = load(e, *types_, argv[i]);
    py::object value = f.fn(*args);
    try {
      store(e, *types_, value, result);
    } catch (const Refused &err) {
      return exp_raise_error(e, (f.name + ": the value returned: " + err.what()).c_str());
    }
    return 0;
  } catch (py::error_already_set &err) {
    const std::string text = f.name + ": " + std::string(py::str(err.type().attr("__name__"))) + ": " +
                             std::string(py::str(err.value()));
    if (!error_) error_.emplace(std::move(err));
    return exp_raise_error(e, text.c_str());
  } catch (const std::exception &err) {
    return exp_raise_error(e, (f.name + ": " + err.what()).c_str());
  }
}

std::optional<py::error_already_set> HostFunctions::take_error() {
  std::optional<py::error_already_set> out;
  out.swap(error_);
  return out;
}

}  // namespace pyexp
