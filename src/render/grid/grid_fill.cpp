// The grid fill: a band's pixel rows from the grid's two axes.
#include "render/grid/grid_fill.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "render/edge_rule.hpp"
#include "render/grid/grid_sides.hpp"
#include "render/pixel_stores.hpp"

namespace quadlite {
namespace {

using grid_sides::covered;
using grid_sides::for_height;
using grid_sides::kUnsettled;
using grid_sides::level_sides;
using grid_sides::settles;
using grid_sides::sign_side;
using grid_sides::upright_sides;

// A cell row as a pixel row sees it.
struct RowCell {
  std::uint64_t r;
  double hy;
  double g0, g1;  // Y - y_r, Y - y_r+1
  bool level_known;  // every cell of the row has level sides `level`
  unsigned level;
};

// The cells a pixel row may draw: the y span's rows, last first.
struct PixelRow {
  double Y;
  RowCell rows[kMostCellsPerPixel];
  int count = 0;
};

PixelRow pixel_row(const GridAxis& ax, const GridAxis& ay, const AxisSpan& span,
                   std::int32_t i) {
  PixelRow row;
  row.Y = pixel_centre(i);
  // Without zero widths every cell's width has one sign.
  const double any_width = ax.edges[1] - ax.edges[0];
  for (std::uint64_t r = span.end_cell; r-- > span.first_cell;) {
    const double y0 = ay.edges[r], y1 = ay.edges[r + 1];
    RowCell& rc = row.rows[row.count++];
    rc = {r, y1 - y0, row.Y - y0, row.Y - y1, false, 0};
    rc.level_known =
        !ax.zero_widths && settles(ax.least_width, rc.g0) && settles(ax.least_width, rc.g1);
    if (rc.level_known) rc.level = level_sides(any_width, rc.g0, rc.g1);
  }
  return row;
}

// What decides a pixel row's winners besides its span: for each of its cell
// rows the signs of g0 and g1, where they settle the level sides of every
// cell. Rows with the same key have the same winners. Not valid when some
// side is not settled by the signs alone.
struct RowKey {
  bool valid = false;
  const AxisSpan* span = nullptr;
  std::uint64_t signs = 0;
  bool operator==(const RowKey& o) const {
    return valid && o.valid && span == o.span && signs == o.signs;
  }
};

RowKey row_key(const PixelRow& row, const AxisSpan& span, double least_width) {
  RowKey key;
  key.span = &span;
  for (int k = 0; k < row.count; ++k) {
    const RowCell& cell = row.rows[k];
    if (!settles(least_width, cell.g0) || !settles(least_width, cell.g1)) return key;
    key.signs |= std::uint64_t{sign_side(cell.g0) | sign_side(cell.g1) << 2} << (4 * k);
  }
  key.valid = true;
  return key;
}

QUADLITE_INLINE const double* colour_of(const MeshView& mesh, std::uint64_t r, std::uint64_t c) {
  const std::uint64_t quad = r * mesh.width + c;
  const auto rows = static_cast<std::uint64_t>(mesh.colour_rows);
  // Most meshes have a colour per cell: no division then.
  return mesh.colours + 4 * (quad < rows ? quad : quad % rows);
}

// The winner of x span `span` on the pixel row: the last cell in mesh order
// (rows, then columns, last first) that covers the span's every pixel centre
// and is drawn, when the sides of each cell tried are the same at the span's
// two ends. Each side changes monotonically along the row, so equal sides at
// both ends are equal throughout; otherwise the span is settled pixel by
// pixel.
QUADLITE_INLINE SpanWinner span_winner(const GridMesh& grid, const AxisSpan& span,
                                       const PixelRow& row, const MeshView& mesh) {
  SpanWinner out;
  const std::uint8_t* settled = grid.x_sides.data() + span.sides_at;  // by c - first_cell
  for (int k = 0; k < row.count; ++k) {
    const RowCell& rc = row.rows[k];
    for (std::uint64_t c = span.end_cell; c-- > span.first_cell;) {
      const double x0 = grid.x.edges[c], x1 = grid.x.edges[c + 1];
      const unsigned level = rc.level_known ? rc.level : level_sides(x1 - x0, rc.g0, rc.g1);
      if (!covered(level)) continue;  // no X rescues it
      unsigned at_first, at_last;
      const std::uint8_t code = settled[c - span.first_cell];
      if (code != kUnsettled) {
        const unsigned both = for_height(code, rc.hy);
        at_first = both & 15u;
        at_last = both >> 4;
      } else {
        const double first = pixel_centre(span.begin);
        const double last = pixel_centre(std::int64_t{span.end} - 1);
        at_first = upright_sides(rc.hy, x0, x1, first);
        at_last = last != first ? upright_sides(rc.hy, x0, x1, last) : at_first;
      }
      if (at_first != at_last) {
        out.kind = SpanWinner::per_pixel;
        return out;
      }
      if (!covered(at_first | level)) continue;
      const double* rgba = colour_of(mesh, rc.r, c);
      if (transparent(rgba)) continue;
      out.kind = SpanWinner::colour;
      out.packed = packed_colour(rgba);
      return out;
    }
  }
  return out;
}

// ---- Geometry shared by rows ------------------------------------------
//
// Where every side is settled by signs, which cell span_winner reaches
// first (ignoring colours) depends only on each cell row's level sides and
// the sign of its height: rows alike in those share it, and then need only
// the colour of that cell.

// geometry entries besides a cell's place (cell row k << 4 | column offset
// from the span's last cell; at most 16 cells, so at most 0xF0). Apart
// from x_sides' kUnsettled, which is another table's mark.
constexpr std::uint8_t kNoCell = 0xFE, kPerPixel = 0xFD, kSearch = 0xFC;

// The key of a row's geometry; false when some level side is unsettled or
// the row has more cell rows than the key holds.
bool geometry_key(const PixelRow& row, std::uint64_t& key) {
  if (row.count > 10) return false;
  key = static_cast<std::uint64_t>(row.count);
  for (int k = 0; k < row.count; ++k) {
    const RowCell& rc = row.rows[k];
    if (!rc.level_known) return false;
    key |= std::uint64_t{rc.level | sign_side(rc.hy) << 4} << (4 + 6 * k);
  }
  return true;
}

// span_winner's search without colours: the place of the first cell that
// covers the span, or why there is none to name.
std::uint8_t geometric_winner(const GridMesh& grid, const AxisSpan& span, const PixelRow& row) {
  const std::uint8_t* settled = grid.x_sides.data() + span.sides_at;
  const std::uint64_t cells = span.end_cell - span.first_cell;
  for (int k = 0; k < row.count; ++k) {
    const RowCell& rc = row.rows[k];
    if (!covered(rc.level)) continue;
    for (std::uint64_t offset = 0; offset < cells; ++offset) {
      const std::uint8_t code = settled[cells - 1 - offset];
      if (code == kUnsettled) return kSearch;
      const unsigned both = for_height(code, rc.hy);
      if ((both & 15u) != both >> 4) return kPerPixel;
      if (covered((both & 15u) | rc.level)) return static_cast<std::uint8_t>(k << 4 | offset);
    }
  }
  return kNoCell;
}

// span_winner, from the span's geometry entry.
QUADLITE_INLINE SpanWinner winner_by_geometry(std::uint8_t entry, const GridMesh& grid,
                                              const AxisSpan& span, const PixelRow& row,
                                              const MeshView& mesh) {
  SpanWinner out;
  if (entry == kNoCell) return out;
  if (entry == kPerPixel) {
    out.kind = SpanWinner::per_pixel;
    return out;
  }
  if (entry == kSearch) return span_winner(grid, span, row, mesh);
  const double* rgba = colour_of(mesh, row.rows[entry >> 4].r, span.end_cell - 1 - (entry & 15u));
  if (transparent(rgba)) return span_winner(grid, span, row, mesh);  // an earlier cell may show
  out.kind = SpanWinner::colour;
  out.packed = packed_colour(rgba);
  return out;
}

// Spans ahead whose colour is fetched while a row's winners are found.
constexpr std::size_t kAhead = 16;

// The colour of the last drawn cell in mesh order that covers (X, row.Y)
// among the span's cells; false when there is none.
bool pixel_winner(const GridAxis& ax, const AxisSpan& span, const PixelRow& row,
                  const MeshView& mesh, double X, std::uint32_t& colour) {
  for (int k = 0; k < row.count; ++k) {
    const RowCell& rc = row.rows[k];
    for (std::uint64_t c = span.end_cell; c-- > span.first_cell;) {
      const double x0 = ax.edges[c], x1 = ax.edges[c + 1];
      if (!covered(level_sides(x1 - x0, rc.g0, rc.g1) | upright_sides(rc.hy, x0, x1, X)))
        continue;
      const double* rgba = colour_of(mesh, rc.r, c);
      if (transparent(rgba)) continue;
      colour = packed_colour(rgba);
      return true;
    }
  }
  return false;
}

// The span's pixels one at a time.
void fill_per_pixel(const GridAxis& ax, const AxisSpan& span, const PixelRow& row,
                    const MeshView& mesh, std::uint8_t* out, std::int64_t col_stride) {
  for (std::int64_t j = span.begin; j < span.end; ++j) {
    std::uint32_t colour;
    if (pixel_winner(ax, span, row, mesh, pixel_centre(j), colour))
      std::memcpy(out + j * col_stride, &colour, 4);
  }
}

// The pieces of a row with these winners: stretches of spans in a colour
// each, and spans settled pixel by pixel. At most one piece a span, so
// `pieces` never grows beyond the room reserved for it.
void cut_pieces(const GridAxis& ax, const std::vector<SpanWinner>& winners,
                std::vector<RowPiece>& pieces) {
  pieces.clear();
  for (std::size_t s = 0; s < winners.size(); ++s) {
    const AxisSpan& span = ax.spans[s];
    if (winners[s].kind == SpanWinner::per_pixel) {
      pieces.push_back({span.begin, span.end, static_cast<std::uint32_t>(s), true});
    } else if (winners[s].kind == SpanWinner::colour) {
      if (!pieces.empty() && !pieces.back().per_pixel && pieces.back().end == span.begin) {
        pieces.back().end = span.end;
      } else {
        pieces.push_back({span.begin, span.end, 0, false});
      }
    }
  }
}

}  // namespace

bool make_band_rows(const GridMesh& grid, std::uint64_t bands, std::vector<BandRow>& rows) noexcept {
  try {
    rows.resize(bands);
    for (BandRow& row : rows) {
      row.winners.assign(grid.x.spans.size(), SpanWinner());
      row.pieces.reserve(grid.x.spans.size());
      row.geometry.assign(grid.x.spans.size(), 0);
    }
  } catch (...) {
    return false;
  }
  return true;
}

void fill_grid_band(const GridMesh& grid, const MeshView& mesh, const BandSplit& split,
                    std::uint64_t band, BandRow& band_row, const TargetImage& target) noexcept {
  if (!grid.usable || split.rows <= 0 || band >= split.bands) return;
  const GridAxis& ax = grid.x;
  const GridAxis& ay = grid.y;
  const std::size_t spans = ax.spans.size();
  std::vector<SpanWinner>& winners = band_row.winners;
  std::vector<RowPiece>& pieces = band_row.pieces;
  if (spans == 0 || winners.size() != spans || pieces.capacity() < spans ||
      band_row.geometry.size() != spans) {
    return;
  }
  const std::int32_t first = band_start(split, band);
  const std::int32_t last = band_start(split, band + 1);
  const std::int64_t stride = target.col_stride;
  const bool stream = streams(target);
  const bool fetch_ahead = ax.edges.size() - 1 > spans;  // more cells than spans

  // The y span holding the band's first row.
  auto y_span = std::upper_bound(ay.spans.begin(), ay.spans.end(), first,
                                 [](std::int32_t i, const AxisSpan& s) { return i < s.end; });
  RowKey previous;
  bool pieces_known = false;  // whether `pieces` describe `winners`
  for (std::int32_t i = first; i < last; ++i) {
    while (y_span->end <= i) ++y_span;
    std::uint8_t* out = buffer_row(target, i);
    const PixelRow row = pixel_row(ax, ay, *y_span, i);
    const RowKey key = row_key(row, *y_span, ax.least_width);
    const bool fresh = !(key == previous);
    previous = key;
    if (!fresh && stride == 4 && !stream) {
      // The row before has the same winners: copy its stretches.
      if (!pieces_known) {
        cut_pieces(ax, winners, pieces);
        pieces_known = true;
      }
      const std::uint8_t* above = buffer_row(target, i - 1);
      for (const RowPiece& piece : pieces) {
        if (piece.per_pixel) {
          fill_per_pixel(ax, ax.spans[piece.span], row, mesh, out, stride);
        } else {
          std::memcpy(out + std::int64_t{piece.begin} * 4, above + std::int64_t{piece.begin} * 4,
                      static_cast<std::size_t>((std::int64_t{piece.end} - piece.begin) * 4));
        }
      }
      continue;
    }
    std::uint64_t shape = 0;
    const bool by_geometry = fresh && geometry_key(row, shape);
    if (by_geometry && !(band_row.geometry_known && band_row.geometry_key == shape)) {
      for (std::size_t s = 0; s < spans; ++s)
        band_row.geometry[s] = geometric_winner(grid, ax.spans[s], row);
      band_row.geometry_key = shape;
      band_row.geometry_known = true;
    }
    if (fresh) pieces_known = false;
    for (std::size_t s = 0; s < spans; ++s) {
      const AxisSpan& span = ax.spans[s];
      SpanWinner winner;
      if (fresh) {
        // A span's likeliest winner is its last cell on the top cell row; on
        // sub-pixel cells their colours lie far apart, so fetch ahead.
        if (fetch_ahead && s + kAhead < spans && row.count > 0 && ax.spans[s + kAhead].end_cell > 0)
          __builtin_prefetch(colour_of(mesh, row.rows[0].r, ax.spans[s + kAhead].end_cell - 1));
        winners[s] = winner = by_geometry
                                  ? winner_by_geometry(band_row.geometry[s], grid, span, row, mesh)
                                  : span_winner(grid, span, row, mesh);
      } else {
        winner = winners[s];
      }
      if (winner.kind == SpanWinner::colour) {
        const std::int64_t n = std::int64_t{span.end} - span.begin;
        if (n <= 4 && stride == 4) {  // small cells: a few plain stores
          for (std::int64_t j = span.begin; j < span.end; ++j)
            std::memcpy(out + j * 4, &winner.packed, 4);
        } else {
          store_run(out, stride, span.begin, span.end, winner.packed, stream);
        }
      } else if (winner.kind == SpanWinner::per_pixel) {
        fill_per_pixel(ax, span, row, mesh, out, stride);
      }
    }
  }
#if defined(__SSE2__)
  if (stream) finish_streaming();
#endif
}

}  // namespace quadlite
