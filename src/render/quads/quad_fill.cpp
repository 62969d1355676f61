// The choice of fill for one quad's box.
#include "render/quads/quad_fill.hpp"

#include <cstring>

namespace quadlite {

void fill_quad(const PreparedQuad& q, std::int32_t first, std::int32_t last,
               const TargetImage& target, int lanes) noexcept {
  if (first >= last) return;
  const Edges e = edges_of(q.p);
  const std::int64_t width = std::int64_t{q.x1} - q.x0;
  if (width == 1 && last - first == 1) {  // one pixel: the plain test is cheapest
    if (covers_centre(e, pixel_centre(q.x0), pixel_centre(first)))
      std::memcpy(buffer_row(target, first) + std::int64_t{q.x0} * target.col_stride, &q.colour,
                  4);
    return;
  }
  bool slants = false;
  for (int k = 0; k < 4; ++k) slants = slants || (e.dx[k] != 0.0 && e.dy[k] != 0.0);
  // Spans pay off from a few columns on at once when no edge slants (their
  // ends then need no search on each row), else only past the narrow
  // fill's widest box.
  if (width > 2 && !(slants && width <= narrow_columns(lanes))) {
    fill_spans(q, e, first, last, target);
  } else {
    fill_narrow(q, e, first, last, target, lanes);
  }
}

}  // namespace quadlite
