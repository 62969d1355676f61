#include "render/fill_pass.hpp"

namespace quadlite {
// placeholder: implemented with the rendering core
bool covers(const Point*, double, double) { return false; }
void fill_band(const std::vector<QuadList>&, std::int32_t, std::int32_t, std::uint64_t,
               std::uint64_t, const TargetImage&) noexcept {}
}  // namespace quadlite
