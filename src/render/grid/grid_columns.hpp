// The grid fill's pixel columns, worked out once per call from the x axis:
// where a column's centre lies clear of every edge (for every non-zero cell
// height), it lies in one cell column, or in two on the edge they share, and
// its pixel on a row is a lookup; elsewhere the fill takes the whole edge
// rule pixel by pixel.
#pragma once

#include <cstdint>
#include <vector>

namespace quadlite {

struct GridAxis;

// Runs of at least this many columns are written with store_run; shorter
// runs side by side are written pixel by pixel from a table of runs, which
// costs less than a call per run of a few pixels.
constexpr std::int32_t kLongRun = 16;

// How the fill draws columns [begin, end) of a row.
struct ColumnPiece {
  enum Kind : std::uint8_t {
    long_run,    // one run: `index`
    short_runs,  // runs of GridColumns::run_of_column[index + (j - begin)]
    exact,       // the edge rule at each pixel, over the cells of x span `index`
  };
  std::int32_t begin = 0, end = 0;
  std::uint32_t index = 0;
  Kind kind = exact;
};

// Run k: columns whose centres lie in cell column cell[k] and, where
// other[k] != cell[k], also in other[k] < cell[k], on the edge they share.
// A pixel takes the last drawn cell of those in mesh order.
struct GridColumns {
  std::vector<std::uint64_t> cell, other;
  std::vector<ColumnPiece> pieces;           // in column order; none where nothing is drawn
  std::vector<std::uint32_t> run_of_column;  // for short_runs pieces
  bool pairs = false;                        // whether some run has two cells
};

// Works out the pieces of the axis's spans, the tolerance reaching as far
// as it does for the least non-zero cell height `least_height`. False
// without memory for them (or with more runs than the table indexes).
bool settle_columns(const GridAxis& x, double least_height, GridColumns& out) noexcept;

}  // namespace quadlite
