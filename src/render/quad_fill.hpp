// The fills of one quad's box, for the band driver (fill_pass.cpp): the span
// fill for wide boxes, the narrow fill pixel by pixel for the rest. Each
// writes the colour into exactly the pixels of the box's device rows
// [first, last) whose centres covers() accepts.
#pragma once

#include <cstdint>

#include "render/edge_rule.hpp"
#include "render/render_records.hpp"

namespace quadlite {

// Row by row, each row's covered columns settled as at most two runs.
void fill_spans(const PreparedQuad& q, const Edges& e, std::int32_t first, std::int32_t last,
                const TargetImage& target);

// Pixel by pixel for boxes at most 8 columns wide, `lanes` (2, or 4 where
// the processor has AVX2) columns to a vector.
void fill_narrow(const PreparedQuad& q, const Edges& e, std::int32_t first, std::int32_t last,
                 const TargetImage& target, int lanes);

// The most doubles the fill puts in one vector on this processor: 4 where
// it has AVX2, else 2. Every width gives the same bytes.
int widest_lanes();

}  // namespace quadlite
