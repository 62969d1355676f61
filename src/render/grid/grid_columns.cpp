// The grid fill's pixel columns: each x span cut where the cells holding
// its centres change, and the pieces the fill draws.
#include "render/grid/grid_columns.hpp"

#include <cstddef>
#include <limits>

#include "render/edge_rule.hpp"
#include "render/grid/grid_check.hpp"
#include "render/grid/grid_sides.hpp"

namespace quadlite {
namespace {

using grid_sides::settled_sign;
using grid_sides::kNear;

// Columns [begin, end): centres in cells (cell, other), or the edge rule at
// each pixel over the cells of x span `span`.
struct Segment {
  std::int32_t begin, end;
  bool exact;
  std::uint64_t cell, other;
  std::uint32_t span;
};

// Cuts the spans into segments by the settled_sign code of each edge at the
// column centres (for the least non-zero height). Each X - x changes
// monotonically along a span, so where every edge gives the same code at a
// range's two ends it gives it throughout; where one is near at both ends,
// each centre between is near it or on it, and the whole range takes the
// edge rule. Anything else is halved: few halvings reach the columns where
// codes change.
class Segmenter {
 public:
  Segmenter(const GridAxis& x, double least, std::vector<Segment>& out)
      : x_(x), least_(least), out_(out) {}

  void cut(const AxisSpan& span, std::uint32_t index) {
    if (span.end_cell == span.first_cell) return;  // no cell: nothing drawn
    span_ = &span;
    index_ = index;
    // A zero-width cell covers the centres within the tolerance's reach of
    // its edge on every row its box holds, whatever their height, and all of
    // its box where its height is zero too: such spans take the edge rule.
    for (std::uint64_t c = span.first_cell; c < span.end_cell; ++c) {
      if (x_.edges[c] == x_.edges[c + 1]) {
        add_exact(span.begin, span.end);
        return;
      }
    }
    classify(span.begin, span.end);
  }

 private:
  // The code of each edge of the span's cells at column j's centre.
  void codes(std::int32_t j, unsigned* out) const {
    const double X = pixel_centre(j);
    for (std::uint64_t k = span_->first_cell; k <= span_->end_cell; ++k)
      out[k - span_->first_cell] = settled_sign(least_, X - x_.edges[k]);
  }

  void classify(std::int32_t begin, std::int32_t end) {
    unsigned first[kMostCellsPerPixel + 1], last[kMostCellsPerPixel + 1];
    codes(begin, first);
    codes(end - 1, last);
    const std::uint64_t edges = span_->end_cell - span_->first_cell + 1;
    bool same = true, near_throughout = false;
    for (std::uint64_t k = 0; k < edges; ++k) {
      same = same && first[k] == last[k] && first[k] != kNear;
      near_throughout = near_throughout || (first[k] == kNear && last[k] == kNear);
    }
    if (same) {
      settled(begin, end, first);
    } else if (end - begin == 1 || near_throughout) {
      add_exact(begin, end);
    } else {
      const auto mid = static_cast<std::int32_t>(begin + (std::int64_t{end} - begin) / 2);
      classify(begin, mid);
      classify(mid, end);
    }
  }

  // A cell holds the centres unless they lie clearly beyond one of its
  // upright edges: both edge values then have the same sign.
  void settled(std::int32_t begin, std::int32_t end, const unsigned* code) {
    std::uint64_t in[2];
    int count = 0;
    for (std::uint64_t t = 0; t + span_->first_cell < span_->end_cell; ++t) {
      if (code[t] == code[t + 1] && code[t] != 0) continue;
      if (count == 2) {  // not on a monotone axis of non-zero widths
        add_exact(begin, end);
        return;
      }
      in[count++] = span_->first_cell + t;
    }
    if (count == 0) return;  // beyond every cell: nothing drawn
    const std::uint64_t cell = in[count - 1], other = in[0];
    if (!out_.empty()) {
      Segment& last = out_.back();
      if (!last.exact && last.end == begin && last.cell == cell && last.other == other) {
        last.end = end;
        return;
      }
    }
    out_.push_back({begin, end, false, cell, other, 0});
  }

  void add_exact(std::int32_t begin, std::int32_t end) {
    if (!out_.empty()) {
      Segment& last = out_.back();
      if (last.exact && last.end == begin && last.span == index_) {
        last.end = end;
        return;
      }
    }
    out_.push_back({begin, end, true, 0, 0, index_});
  }

  const GridAxis& x_;
  const double least_;
  std::vector<Segment>& out_;
  const AxisSpan* span_ = nullptr;
  std::uint32_t index_ = 0;
};

// The gathers of the wide fill take run numbers as signed 32-bit indices;
// the table of runs stays within 32-bit offsets too.
constexpr std::uint64_t kMostRuns = std::uint64_t{1} << 31;

bool pieces_of(const std::vector<Segment>& segments, GridColumns& out) {
  for (const Segment& s : segments) {
    if (s.exact) {
      out.pieces.push_back({s.begin, s.end, s.span, ColumnPiece::exact});
      continue;
    }
    const std::uint64_t run = out.cell.size();
    if (run >= kMostRuns) return false;
    out.cell.push_back(s.cell);
    out.other.push_back(s.other);
    out.pairs = out.pairs || s.cell != s.other;
    if (std::int64_t{s.end} - s.begin >= kLongRun) {
      out.pieces.push_back(
          {s.begin, s.end, static_cast<std::uint32_t>(run), ColumnPiece::long_run});
      continue;
    }
    const std::uint64_t entries = out.run_of_column.size();
    if (entries + static_cast<std::uint64_t>(s.end - s.begin) > kMostRuns) return false;
    if (out.pieces.empty() || out.pieces.back().kind != ColumnPiece::short_runs ||
        out.pieces.back().end != s.begin) {
      out.pieces.push_back({s.begin, s.end, static_cast<std::uint32_t>(out.run_of_column.size()),
                            ColumnPiece::short_runs});
    }
    out.pieces.back().end = s.end;
    out.run_of_column.insert(out.run_of_column.end(), static_cast<std::size_t>(s.end - s.begin),
                             static_cast<std::uint32_t>(run));
  }
  return true;
}

}  // namespace

bool settle_columns(const GridAxis& x, double least_height, GridColumns& out) noexcept {
  out = GridColumns();
  if (x.spans.size() >= std::numeric_limits<std::uint32_t>::max()) return false;
  try {
    std::vector<Segment> segments;
    Segmenter cutter(x, least_height, segments);
    for (std::size_t s = 0; s < x.spans.size(); ++s)
      cutter.cut(x.spans[s], static_cast<std::uint32_t>(s));
    return pieces_of(segments, out);
  } catch (...) {
    return false;
  }
}

}  // namespace quadlite
