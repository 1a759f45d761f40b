// Engines on several threads at once: each thread has its own engine (a clone running a copy of
// one compiled program), one thread switches the process locale with the locale built-in while
// the others map case (which reads the locale's name), and a run is cancelled from another
// thread. Run under ThreadSanitizer by the test script, where any data race fails it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "expression.h"

namespace {

constexpr int kWorkers = 3;
constexpr int kSwitches = 2000;

// Runs `p` in `e` until `stop` is set, at least once; true when every run gave `expected`.
bool run_until(exp_engine *e, exp_pcode *p, const std::string &expected, const std::atomic<bool> &stop) {
  bool all = true;
  do {
    exp_symval *result = nullptr;
    all &= exp_execute(e, p, &result) == 0 && result && expected == result->value.s;
  } while (!stop);
  return all;
}

TEST(Threads, EnginesOnManyThreadsWhileOneSwitchesTheLocaleAndAnotherIsCancelled) {
  testutil::EnginePtr base = testutil::make_engine();
  exp_pcode *mapped = nullptr;
  ASSERT_EQ(exp_make_pcode(base.get(), R"~(upper("abc déf") & lower("XYZ"))~", &mapped, EXP_STRING, 64, 0, nullptr),
            0);
  // Clones and copies are made here; each thread then uses only its own engine.
  std::vector<testutil::EnginePtr> engines;
  std::vector<exp_pcode *> copies;
  for (int w = 0; w < kWorkers; ++w) {
    engines.emplace_back(exp_clone(base.get()));
    ASSERT_TRUE(engines.back());
    exp_pcode *copy = nullptr;
    ASSERT_EQ(exp_copy_pcode(base.get(), engines.back().get(), mapped, &copy), 0);
    copies.push_back(copy);
  }
  std::vector<char> good(kWorkers, 0);
  std::atomic<bool> switching_done{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w)
    threads.emplace_back(
        [&, w] { good[w] = run_until(engines[w].get(), copies[w], "ABC DÉFxyz", switching_done) ? 1 : 0; });

  testutil::EnginePtr switcher = testutil::make_engine();
  exp_pcode *switching = nullptr;
  ASSERT_EQ(exp_make_pcode(switcher.get(), R"~(locale("C.UTF-8") & locale("C"))~", &switching, EXP_STRING, 64, 0,
                           nullptr),
            0);
  std::atomic<int> switched{0};
  threads.emplace_back([&] {
    for (int i = 0; i < kSwitches; ++i) switched += exp_execute(switcher.get(), switching, nullptr) == 0 ? 1 : 0;
    switching_done = true;
  });

  testutil::EnginePtr looping = testutil::make_engine();
  exp_pcode *forever = nullptr;
  ASSERT_EQ(exp_make_pcode(looping.get(), "integer x\nwhile true x = 1", &forever, EXP_INTEGER, 0, 0, nullptr), 0);
  std::atomic<int> cancelled_rc{-1};
  std::atomic<bool> done{false};
  std::thread runner([&] {
    cancelled_rc = exp_execute(looping.get(), forever, nullptr);
    done = true;
  });
  // A cancel that comes before the run starts is cleared by it, so cancel until the run ends.
  while (!done) {
    exp_cancel_execution(forever);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  runner.join();
  for (std::thread &t : threads) t.join();

  EXPECT_EQ(cancelled_rc.load(), 104);
  EXPECT_EQ(switched.load(), kSwitches);
  for (int w = 0; w < kWorkers; ++w) EXPECT_TRUE(good[w]) << "worker " << w;
  for (int w = 0; w < kWorkers; ++w) exp_free_pcode(engines[w].get(), copies[w]);
  exp_free_pcode(switcher.get(), switching);
  exp_free_pcode(looping.get(), forever);
  exp_free_pcode(base.get(), mapped);
}

}  // namespace
