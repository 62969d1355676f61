#include "render/prepare_pass.hpp"

namespace quadlite {
// placeholder: implemented with the rendering core
bool quad_is_convex(const Point*) { return true; }
void sort_around_centroid(Point*) {}
std::uint8_t colour_byte(double) { return 0; }
void prepare_task(const MeshView&, const ClipBox&, std::uint64_t, std::uint64_t,
                  QuadList&, std::atomic<bool>&) noexcept {}
}  // namespace quadlite
