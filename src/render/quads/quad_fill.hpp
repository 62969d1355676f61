// The fill of one quad's box: fill_quad (quad_fill.cpp) picks the span fill
// for wide boxes (span_fill.cpp) or the narrow fill pixel by pixel for the
// rest (narrow_fill.cpp). Each writes the colour into exactly the pixels of the
// box's device rows [first, last) whose centres covers() accepts.
#pragma once

#include <cstdint>

#include "render/cpu_features.hpp"
#include "render/edge_rule.hpp"
#include "render/render_types.hpp"

namespace quadlite {

// Row by row, each row's covered columns settled as at most two runs.
void fill_spans(const PreparedQuad& q, const Edges& e, std::int32_t first, std::int32_t last,
                const TargetImage& target);

// Pixel by pixel for boxes at most narrow_columns(lanes) wide, `lanes` (2,
// 4 where the processor has AVX2, 8 where it has AVX-512) columns to a
// vector; a narrower vector where the processor lacks the wider.
void fill_narrow(const PreparedQuad& q, const Edges& e, std::int32_t first, std::int32_t last,
                 const TargetImage& target, int lanes);

// The widest box fill_narrow takes at `lanes` on this processor: 8
// columns on two lanes, 24 on four (AVX2) and on eight (AVX-512): a
// slanted 17 to 24 column box costs less in vector compares than in the
// span fill's per-row end search.
inline int narrow_columns(int lanes) {
  return (lanes >= 8 && cpu_has_avx512) || (lanes >= 4 && cpu_has_avx2) ? 24 : 8;
}

// Writes q's colour into every pixel of q's box in device rows [first, last)
// whose centre q covers: wide boxes row by row as spans, narrow ones pixel
// by pixel, `lanes` (2, or up to widest_lanes()) pixels to a vector.
void fill_quad(const PreparedQuad& q, std::int32_t first, std::int32_t last,
               const TargetImage& target, int lanes = widest_lanes()) noexcept;

}  // namespace quadlite
