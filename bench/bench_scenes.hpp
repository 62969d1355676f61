// Standard meshes for the micro-benchmarks, matching bench_mesh.py's workloads.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "render/face_alphas.hpp"
#include "render/quads/check_pass.hpp"
#include "render/render_types.hpp"

namespace quadlite {
namespace bench {

struct Scene {
  std::string name;
  std::uint64_t w = 0, h = 0;
  std::vector<double> coords;   // (h+1) x (w+1) x 2
  std::vector<double> colours;  // (w*h) x 4
  std::vector<std::uint32_t> packed;  // the colours packed, as the module packs them
  double matrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  std::int32_t rows = 0, cols = 0;  // target size

  MeshView mesh() const {
    MeshView v;
    v.width = w;
    v.height = h;
    v.coords = coords.data();
    v.colours = colours.data();
    v.colour_rows = static_cast<std::int64_t>(colours.size() / 4);
    v.matrix = matrix;
    v.packed = packed.size() == colours.size() / 4 ? packed.data() : nullptr;
    return v;
  }
  // The mesh with its colours packed, as the intake hands it over.
  MeshView packed_mesh() const { return mesh(); }
  // The mesh as a call whose scratch could not be had hands it over.
  MeshView unpacked_mesh() const {
    MeshView v = mesh();
    v.packed = nullptr;
    return v;
  }
  ClipBox clip() const { return ClipBox{0, cols, 0, rows}; }
  std::uint64_t quads() const { return w * h; }
};

inline void random_colours(Scene& s, double transparent_share, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  s.colours.resize(4 * s.quads());
  for (std::uint64_t i = 0; i < s.quads(); ++i) {
    for (int c = 0; c < 3; ++c) s.colours[4 * i + c] = unit(rng);
    s.colours[4 * i + 3] = unit(rng) < transparent_share ? 0.0 : 1.0;
  }
  s.packed.resize(s.quads());
  alphas_binary(s.colours.data(), 0, s.quads(), s.packed.data());
}

// A regular grid of `cell`-pixel cells, scaled by the matrix as a host would.
inline Scene grid(const std::string& name, std::uint64_t w, std::uint64_t h, double cell,
                  std::int32_t size, double transparent_share) {
  Scene s;
  s.name = name;
  s.w = w;
  s.h = h;
  s.rows = s.cols = size;
  s.coords.reserve(2 * (w + 1) * (h + 1));
  for (std::uint64_t r = 0; r <= h; ++r)
    for (std::uint64_t c = 0; c <= w; ++c) {
      s.coords.push_back(static_cast<double>(c));
      s.coords.push_back(static_cast<double>(r));
    }
  s.matrix[0] = cell;
  s.matrix[4] = cell;
  random_colours(s, transparent_share, 1);
  return s;
}

// A swirled annulus filling most of a size x size image.
inline Scene curvilinear(std::uint64_t n, std::int32_t size) {
  Scene s;
  s.name = "curvilinear";
  s.w = s.h = n;
  s.rows = s.cols = size;
  const double pi = 3.14159265358979323846;
  for (std::uint64_t r = 0; r <= n; ++r)
    for (std::uint64_t c = 0; c <= n; ++c) {
      const double radius = 0.1 + 0.9 * static_cast<double>(r) / static_cast<double>(n);
      const double angle = 2 * pi * static_cast<double>(c) / static_cast<double>(n) +
                           1.5 * radius;
      s.coords.push_back(radius * std::cos(angle));
      s.coords.push_back(radius * std::sin(angle));
    }
  const double half = size / 2.0;
  s.matrix[0] = s.matrix[4] = 0.98 * half;
  s.matrix[2] = s.matrix[5] = half;
  random_colours(s, 0.0, 2);
  return s;
}

// A grid of `cell`-pixel cells turned by `degrees` about the centre of a
// size x size image, as bench_mesh.py's rotated grids.
inline Scene rotated(std::uint64_t cell, int degrees, std::int32_t size) {
  Scene s = grid("rot" + std::to_string(cell) + "_" + std::to_string(degrees),
                 static_cast<std::uint64_t>(size) / cell, static_cast<std::uint64_t>(size) / cell,
                 1.0, size, 0.0);
  const double t = degrees * 3.14159265358979323846 / 180.0;
  const double c = std::cos(t) * static_cast<double>(cell), n = std::sin(t) * static_cast<double>(cell);
  const double half = static_cast<double>(s.w) / 2.0;
  s.matrix[0] = c;
  s.matrix[1] = -n;
  s.matrix[2] = size / 2.0 - (c - n) * half;
  s.matrix[3] = n;
  s.matrix[4] = c;
  s.matrix[5] = size / 2.0 - (n + c) * half;
  return s;
}

// A heat map as a figure places it: cells between the edges xs and ys (data
// units) mapped into the axes box, 12.5-90 % across and 11-88 % up a
// 1600 x 1200 image, so that nearly every edge falls between pixel centres.
inline Scene figure(const std::string& name, const std::vector<double>& xs,
                    const std::vector<double>& ys) {
  Scene s;
  s.name = name;
  s.w = xs.size() - 1;
  s.h = ys.size() - 1;
  s.cols = 1600;
  s.rows = 1200;
  for (const double y : ys)
    for (const double x : xs) {
      s.coords.push_back(x);
      s.coords.push_back(y);
    }
  s.matrix[0] = (0.9 - 0.125) * s.cols / (xs.back() - xs.front());
  s.matrix[2] = 0.125 * s.cols - s.matrix[0] * xs.front();
  s.matrix[4] = (0.88 - 0.11) * s.rows / (ys.back() - ys.front());
  s.matrix[5] = 0.11 * s.rows - s.matrix[4] * ys.front();
  random_colours(s, 0.0, 3);
  return s;
}

// cells + 1 edges spaced evenly from 0 to `to`.
inline std::vector<double> evenly(std::uint64_t cells, double to) {
  std::vector<double> e;
  for (std::uint64_t k = 0; k <= cells; ++k)
    e.push_back(to * static_cast<double>(k) / static_cast<double>(cells));
  return e;
}

// 4000 time bins of a 10 s signal by 512 frequency bins spaced evenly in
// log frequency from 20 Hz to 20 kHz, on a log axis: the host hands over
// log10 of the bin edges.
inline Scene spectrogram() {
  std::vector<double> ys;
  for (int k = 0; k <= 512; ++k) ys.push_back(std::log10(20.0 * std::pow(1000.0, k / 512.0)));
  return figure("spectrogram", evenly(4000, 10.0), ys);
}

// A global lon-lat grid of `step`-degree cells in a Hammer projection,
// placed as a map figure places it: x in [-2.83, 2.83] and y in [-1.42,
// 1.42] across the axes box x 200-1440, y 132-1056 of a 1600 x 1200 image.
inline Scene hammer_map(const std::string& name, double step) {
  Scene s;
  s.name = name;
  s.w = static_cast<std::uint64_t>(std::lround(360.0 / step));
  s.h = static_cast<std::uint64_t>(std::lround(180.0 / step));
  s.cols = 1600;
  s.rows = 1200;
  const double degree = 3.14159265358979323846 / 180.0;
  for (std::uint64_t r = 0; r <= s.h; ++r)
    for (std::uint64_t c = 0; c <= s.w; ++c) {
      const double phi = (-90.0 + 180.0 * static_cast<double>(r) / static_cast<double>(s.h)) * degree;
      const double lambda = (-180.0 + 360.0 * static_cast<double>(c) / static_cast<double>(s.w)) * degree;
      const double z = std::sqrt(1.0 + std::cos(phi) * std::cos(lambda / 2));
      s.coords.push_back(2.0 * std::sqrt(2.0) * std::cos(phi) * std::sin(lambda / 2) / z);
      s.coords.push_back(std::sqrt(2.0) * std::sin(phi) / z);
    }
  s.matrix[0] = (1440.0 - 200.0) / 5.66;
  s.matrix[2] = 200.0 + 2.83 * s.matrix[0];
  s.matrix[4] = (1056.0 - 132.0) / 2.84;
  s.matrix[5] = 132.0 + 1.42 * s.matrix[4];
  random_colours(s, 0.0, 4);
  return s;
}

inline std::vector<Scene> standard_scenes() {
  std::vector<Scene> out;
  out.push_back(grid("heatmap_4px", 512, 512, 4.0, 2048, 0.1));
  out.push_back(grid("subpixel_2000", 2000, 2000, 0.5, 1000, 0.0));
  out.push_back(grid("cells_64px", 64, 64, 64.0, 4096, 0.0));
  out.push_back(curvilinear(1000, 2000));
  out.push_back(grid("small_10x10", 10, 10, 10.0, 100, 0.0));
  out.push_back(figure("figure_400x300", evenly(400, 400.0), evenly(300, 300.0)));
  out.push_back(figure("figure_800x600", evenly(800, 800.0), evenly(600, 600.0)));
  out.push_back(spectrogram());
  for (const std::uint64_t cell : {7, 14, 28, 56}) out.push_back(rotated(cell, 30, 4096));
  out.push_back(rotated(14, 10, 4096));
  out.push_back(hammer_map("map_quarter_degree", 0.25));
  out.push_back(hammer_map("map_one_degree", 1.0));
  return out;
}

// The scenes, built once per process (they are large).
inline const std::vector<Scene>& scenes() {
  static const std::vector<Scene> all = standard_scenes();
  return all;
}

// An RGBA8 image in C order, device row 0 last.
struct Image {
  std::vector<std::uint8_t> bytes;
  TargetImage target;
  Image(std::int32_t rows, std::int32_t cols)
      : bytes(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) * 4, 0) {
    target.data = bytes.data();
    target.height = rows;
    target.width = cols;
    target.row_stride = 4 * static_cast<std::int64_t>(cols);
    target.col_stride = 4;
  }
  std::uint64_t opaque_pixels() const {
    std::uint64_t n = 0;
    for (std::size_t k = 3; k < bytes.size(); k += 4) n += bytes[k] == 255;
    return n;
  }
};

}  // namespace bench
}  // namespace quadlite
