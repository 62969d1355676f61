// Task: a move-only, type-erased callable stored inline.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace quadlite {

// Holds any nothrow-movable, nothrow-callable object of up to `capacity`
// bytes in place, so queuing a task never allocates for its state. A
// default-constructed or moved-from Task is empty; only the queue's vacant
// slots are ever empty.
class Task {
 public:
  static constexpr std::size_t capacity = 48;

  Task() noexcept = default;

  template <class F, class = std::enable_if_t<!std::is_same<std::decay_t<F>, Task>::value>>
  explicit Task(F&& f) noexcept {
    using Fn = std::decay_t<F>;
    static_assert(sizeof(Fn) <= capacity, "callable too large to store inline");
    static_assert(alignof(Fn) <= alignof(std::max_align_t), "callable over-aligned");
    static_assert(std::is_nothrow_constructible<Fn, F&&>::value,
                  "callable must be stored without throwing");
    static_assert(std::is_nothrow_move_constructible<Fn>::value,
                  "callable must move without throwing");
    static_assert(noexcept(std::declval<Fn&>()()),
                  "a task must not throw: workers have nowhere to send the error");
    ::new (static_cast<void*>(storage_)) Fn(std::forward<F>(f));
    ops_ = &ops_for<Fn>;
  }

  Task(Task&& other) noexcept { take(other); }

  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      reset();
      take(other);
    }
    return *this;
  }

  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  ~Task() { reset(); }

  explicit operator bool() const noexcept { return ops_ != nullptr; }

  // Precondition: not empty.
  void operator()() noexcept { ops_->run(storage_); }

 private:
  struct Ops {
    void (*run)(void*) noexcept;
    void (*relocate)(void* from, void* to) noexcept;
    void (*destroy)(void*) noexcept;
  };

  template <class Fn>
  static void run_as(void* p) noexcept {
    (*static_cast<Fn*>(p))();
  }
  template <class Fn>
  static void relocate_as(void* from, void* to) noexcept {
    Fn* source = static_cast<Fn*>(from);
    ::new (to) Fn(std::move(*source));
    source->~Fn();
  }
  template <class Fn>
  static void destroy_as(void* p) noexcept {
    static_cast<Fn*>(p)->~Fn();
  }

  template <class Fn>
  static constexpr Ops ops_for{&run_as<Fn>, &relocate_as<Fn>, &destroy_as<Fn>};

  void take(Task& other) noexcept {
    if (other.ops_ != nullptr) {
      other.ops_->relocate(other.storage_, storage_);
      ops_ = other.ops_;
      other.ops_ = nullptr;
    }
  }

  void reset() noexcept {
    if (ops_ != nullptr) {
      ops_->destroy(storage_);
      ops_ = nullptr;
    }
  }

  alignas(std::max_align_t) unsigned char storage_[capacity];
  const Ops* ops_ = nullptr;
};

}  // namespace quadlite
