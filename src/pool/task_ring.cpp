#include "pool/task_ring.hpp"

#include <utility>

namespace quadlite {

namespace {

constexpr std::size_t min_slots = 8;

// Moves the queued tasks, oldest first, into a buffer of `size` slots.
void regrow(TaskRing& ring, std::size_t size) {
  std::vector<Task> grown(size);  // the only step that can fail
  const std::size_t old_size = ring.slots.size();
  for (std::size_t i = 0; i < ring.count; ++i) {
    grown[i] = std::move(ring.slots[(ring.head + i) % old_size]);
  }
  ring.slots.swap(grown);
  ring.head = 0;
}

}  // namespace

void reserve_tasks(TaskRing& ring, std::size_t slots) {
  if (slots > ring.slots.size()) regrow(ring, slots);
}

void push_task(TaskRing& ring, Task&& task) {
  if (ring.count == ring.slots.size()) {
    const std::size_t size = ring.slots.size();
    regrow(ring, size < min_slots ? min_slots : 2 * size);
  }
  ring.slots[(ring.head + ring.count) % ring.slots.size()] = std::move(task);
  ++ring.count;
  ++ring.pushed;
}

Task pop_task(TaskRing& ring) noexcept {
  Task task = std::move(ring.slots[ring.head]);
  ring.head = (ring.head + 1) % ring.slots.size();
  --ring.count;
  return task;
}

void drop_newest(TaskRing& ring, std::size_t tasks) noexcept {
  for (; tasks > 0; --tasks) {
    --ring.count;
    ring.slots[(ring.head + ring.count) % ring.slots.size()] = Task();
  }
}

}  // namespace quadlite
