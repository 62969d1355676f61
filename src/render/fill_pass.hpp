// Fill pass: writes prepared quads into the target, one band of rows a task.
#pragma once

#include <cstdint>
#include <vector>

#include "render/render_records.hpp"

namespace quadlite {

// Whether pixel centre (cx, cy) is covered by the convex quad p: its four
// edge values do not disagree in sign beyond kTolerance.
bool covers(const Point p[4], double cx, double cy);

// Fills band `band` of `bands` over the clip rows [clip_y0, clip_y0 + rows),
// walking the lists in order so later quads win.
void fill_band(const std::vector<QuadList>& lists, std::int32_t clip_y0,
               std::int32_t rows, std::uint64_t band, std::uint64_t bands,
               const TargetImage& target) noexcept;

}  // namespace quadlite
