// Synchronisation helpers shared by the pool tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace quadlite {
namespace testing_support {

constexpr std::chrono::seconds patience{20};

// A one-shot gate: wait() blocks until open() has been called.
class Gate {
 public:
  void open() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  // False if the gate stayed shut for `patience`.
  bool wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, patience, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Lets `parties` threads meet; false if they did not all arrive in time
// (used to prove that that many threads run at once).
class Rendezvous {
 public:
  explicit Rendezvous(std::size_t parties) : parties_(parties) {}
  bool arrive_and_wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (++arrived_ == parties_) cv_.notify_all();
    return cv_.wait_for(lock, patience, [this] { return arrived_ >= parties_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::size_t parties_;
  std::size_t arrived_ = 0;
};

}  // namespace testing_support
}  // namespace quadlite
