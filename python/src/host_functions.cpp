// Trampolines from the engine's function callback to Python callables.
#include "host_functions.h"

#include <array>
#include <utility>

namespace pyexp {
namespace {

constexpr size_t kSlots = 64;

template <size_t N>
int trampoline(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  return static_cast<HostFunctions *>(exp_get_callback_data(e))->call(e, N, result, argc, argv);
}

template <size_t... I>
constexpr std::array<exp_func_cb, sizeof...(I)> make_trampolines(std::index_sequence<I...>) {
  return {trampoline<I>...};
}

constexpr auto kTrampolines = make_trampolines(std::make_index_sequence<kSlots>());

}  // namespace

void HostFunctions::add(exp_engine *e, HostFunction f) {
  if (functions_.size() >= kSlots) throw py::value_error("at most " + std::to_string(kSlots) + " functions per engine");
  const int n = static_cast<int>(f.args.size());
  const int rc = exp_register_function(e, f.name.c_str(), kTrampolines[functions_.size()], n, static_cast<uint32_t>(n),
                                       f.args.c_str(), f.returns, 0, "Python function", 0, nullptr);
  if (rc) {
    const char *message = "";
    exp_error_info(e, &message, nullptr, nullptr);
    throw py::value_error("cannot register '" + f.name + "': " + message);
  }
  functions_.push_back(std::move(f));
}

int HostFunctions::call(exp_engine *e, size_t slot, exp_symval *result, int argc, exp_symval **argv) {
  py::gil_scoped_acquire gil;
  const HostFunction &f = functions_[slot];
  try {
    py::tuple args(argc);
    for (int i = 0; i < argc; ++i) args[static_cast<size_t>(i)] = load(e, *types_, argv[i]);
    py::object value = f.fn(*args);
    store(e, *types_, value, result, "value returned by " + f.name);
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
