// A fixed set of worker threads for the whole run: each round, every worker runs the same task
// with its own number, and the caller may do other work before waiting for the round to end.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class WorkerPool {
 public:
  explicit WorkerPool(size_t workers) {
    for (size_t k = 0; k < workers; ++k) threads_.emplace_back([this, k] { loop(k); });
  }
  ~WorkerPool() {
    {
      std::lock_guard<std::mutex> lock(m_);
      quit_ = true;
    }
    work_.notify_all();
    for (std::thread &t : threads_) t.join();
  }
  WorkerPool(const WorkerPool &) = delete;
  WorkerPool &operator=(const WorkerPool &) = delete;

  // Starts a round: task(k) runs on worker k for every worker. The task must not throw.
  void start(std::function<void(size_t)> task) {
    {
      std::lock_guard<std::mutex> lock(m_);
      task_ = std::move(task);
      busy_ = threads_.size();
      ++round_;
    }
    work_.notify_all();
  }
  // Waits until every worker has finished the round.
  void wait() {
    std::unique_lock<std::mutex> lock(m_);
    done_.wait(lock, [this] { return busy_ == 0; });
  }

 private:
  void loop(size_t k) {
    uint64_t seen = 0;
    for (;;) {
      std::function<void(size_t)> task;
      {
        std::unique_lock<std::mutex> lock(m_);
        work_.wait(lock, [&] { return quit_ || round_ != seen; });
        if (quit_) return;
        seen = round_;
        task = task_;
      }
      task(k);
      {
        std::lock_guard<std::mutex> lock(m_);
        if (--busy_ == 0) done_.notify_all();
      }
    }
  }

  std::vector<std::thread> threads_;
  std::mutex m_;
  std::condition_variable work_, done_;
  std::function<void(size_t)> task_;
  size_t busy_ = 0;
  uint64_t round_ = 0;
  bool quit_ = false;
};
