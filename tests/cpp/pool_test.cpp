#include <gtest/gtest.h>

#include "pool/worker_pool.hpp"

namespace quadlite {
namespace {

TEST(WorkerCount, HalfTheHardwareThreadsAtLeastOne) {
  const struct { unsigned h; std::uint64_t workers; } table[] = {
      {0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 2}, {5, 2}, {8, 4}, {9, 4}, {16, 8}, {64, 32}};
  for (const auto& row : table) EXPECT_EQ(workers_for_hardware(row.h), row.workers) << row.h;
}

}  // namespace
}  // namespace quadlite
