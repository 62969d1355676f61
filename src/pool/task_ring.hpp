// First-in-first-out queue of tasks in a circular buffer that only grows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pool/task.hpp"

namespace quadlite {

// Once the buffer has grown to the deepest queue seen, queuing allocates
// nothing more. Vacant slots hold empty tasks.
struct TaskRing {
  std::vector<Task> slots;
  std::size_t head = 0;   // slot of the oldest queued task
  std::size_t count = 0;  // queued tasks
  std::uint64_t pushed = 0;  // tasks ever queued: tells whether the newest are still one's own
};

// Makes room for at least `slots` queued tasks.
void reserve_tasks(TaskRing& ring, std::size_t slots);

// Appends at the back, growing the buffer when full. If growing fails, the
// ring and `task` are left as they were.
void push_task(TaskRing& ring, Task&& task);

// Removes and returns the oldest task. Precondition: ring.count > 0.
Task pop_task(TaskRing& ring) noexcept;

// Removes and destroys the `tasks` newest tasks. Precondition:
// tasks <= ring.count.
void drop_newest(TaskRing& ring, std::size_t tasks) noexcept;

}  // namespace quadlite
