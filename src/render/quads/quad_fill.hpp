// The fill of one quad's box: fill_quad picks the span fill for wide boxes
// (span_fill.cpp) or the narrow fill pixel by pixel for the rest
// (narrow_fill.cpp). Each writes the colour into exactly the pixels of the
// box's device rows [first, last) whose centres covers() accepts.
#pragma once

#include <cstdint>
#include <cstring>

#include "render/cpu_features.hpp"
#include "render/edge_rule.hpp"
#include "render/render_types.hpp"

namespace quadlite {

// Row by row, each row's covered columns settled as at most two runs.
void fill_spans(const PreparedQuad& q, const Edges& e, std::int32_t first, std::int32_t last,
                const TargetImage& target);

// Pixel by pixel for boxes at most 8 columns wide, `lanes` (2, or 4 where
// the processor has AVX2) columns to a vector.
void fill_narrow(const PreparedQuad& q, const Edges& e, std::int32_t first, std::int32_t last,
                 const TargetImage& target, int lanes);

// Writes q's colour into every pixel of q's box in device rows [first, last)
// whose centre q covers: wide boxes row by row as spans, narrow ones pixel
// by pixel, `lanes` (2, or up to widest_lanes()) pixels to a vector.
// Inlined into the band walks, which call it once a quad.
QUADLITE_INLINE void fill_quad(const PreparedQuad& q, std::int32_t first, std::int32_t last,
                               const TargetImage& target, int lanes = widest_lanes()) noexcept {
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
  // Spans pay off from a few columns on, at once when no edge slants (their
  // ends then need no search on each row).
  if (width > 2 && !(slants && width <= 8)) {
    fill_spans(q, e, first, last, target);
  } else {
    fill_narrow(q, e, first, last, target, lanes);
  }
}

}  // namespace quadlite
