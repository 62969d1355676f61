// Decodes fuzzer bytes into one render job: mesh, matrix, colours, extents
// and the layout of a target. Every byte string decodes to something; a
// string that ends early reads as zeros. make_seeds.py writes this format.
//
// Layout, one byte each unless said:
//   pool         the pool the job runs on first (1 + b % 3 workers)
//   W, H         mesh size, 1 + b % 16 each
//   rows, cols   target size, b % 48 each (0 allowed)
//   flags        bit 0 rows stored bottom-up (negative row stride),
//                bit 1 columns stored right to left (negative column stride)
//   gap          extra bytes between pixels, b % 8
//   pad          extra bytes after each row, b % 16
//   fill         seed of the pseudo-random bytes the target starts with
//   nodes mode   0: every coordinate a decoded double; 1: a grid with
//                jitter; 2: a grid with some nodes replaced; 3: an exact
//                grid of any axes (folded, repeated, nudged)
//     grid:      origin x, y and spacing x, y (doubles), then per node one
//                jitter byte for x and one for y (signed, / 64)
//     replaced:  count byte (b % 8), then per replacement a node index
//                (two bytes, little-endian, mod node count), an axis byte
//                and a double
//     axes:      W + 1 doubles, the x of each mesh column, then H + 1, the
//                y of each mesh row
//   matrix mode  0: identity; 1: scale x, y and translation x, y (doubles);
//                2: six doubles; then always three doubles for the third
//                row, which is never read
//   colours      count byte (N = 1 + b % (W*H + 2)), then per row R, G, B
//                (doubles) and an alpha byte indexing kAlphas
//   extents mode 0: the whole target; 1: four doubles; 2: four bytes,
//                b - 8, each
//
// A double is a tag byte followed by its payload, see next_double().
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace quadlite {
namespace fuzzing {

// Alphas the eligibility checks let through: within 1e-12 of 0 or 1, or NaN.
constexpr double kAlphas[] = {1.0,    0.0,    -0.0,   1.0 - 1e-13, 1.0 + 1e-13, 1e-13,
                              -1e-13, 1e-12,  -1e-12, 1.0 - 1e-12, 1.0 + 1e-12,
                              std::numeric_limits<double>::quiet_NaN()};

// Values where rounding, conversion to 32 bits or the arithmetic overflows.
constexpr double kSpecials[] = {
    std::numeric_limits<double>::quiet_NaN(),
    -std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(),
    0.0,
    -0.0,
    std::numeric_limits<double>::max(),
    -std::numeric_limits<double>::max(),
    std::numeric_limits<double>::min(),
    std::numeric_limits<double>::denorm_min(),
    2147483648.0,
    -2147483648.0,
    2147483647.0,
    2147483647.5,
    -2147483649.0,
    -2147483648.5,
    4294967296.0,
    3e9,
    1e300,
    -1e300,
    1e-300,
    1e154,
    0.5,
    1e-12,
    -1e-12,
    9007199254740992.0,      // 2^53
    9223372036854775808.0,   // 2^63
    18446744073709551616.0,  // 2^64
};

// Small offsets around the 1e-12 edge tolerance.
constexpr double kNudges[] = {0.0, 1e-13, -1e-13, 5e-13, -5e-13, 1e-12, -1e-12, 2e-12, -2e-12,
                              1e-11, -1e-11, 1e-9};

struct FuzzInput {
  unsigned pool_index = 0;  // 0..2
  std::uint64_t width = 1, height = 1;
  std::int32_t rows = 0, cols = 0;
  bool rows_reversed = false, cols_reversed = false;
  std::int64_t gap = 0, pad = 0;
  std::uint8_t fill_seed = 0;
  std::vector<double> coords;   // (H+1) x (W+1) x 2
  std::vector<double> colours;  // N x 4
  double matrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  double extents[4] = {0, 0, 0, 0};
};

class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t next_u8() { return pos_ < size_ ? data_[pos_++] : 0; }

  std::uint16_t next_u16() {
    const std::uint16_t low = next_u8();
    return static_cast<std::uint16_t>(low | (next_u8() << 8));
  }

  // Tag byte, then: 0, 1: a quarter step in [-32, 32); 2: a pixel position
  // in [-8, 120) in 1/256 steps; 3: a special value; 4: eight raw bytes (any
  // bit pattern); 5: a power of two times a mantissa, from tiny to huge;
  // 6: a pixel centre plus a nudge; 7: an integer plus a nudge.
  double next_double() {
    const std::uint8_t tag = next_u8();
    switch (tag % 8) {
      case 0:
      case 1:
        return static_cast<std::int8_t>(next_u8()) / 4.0;
      case 2: {
        const double whole = next_u8() * 0.5 - 8.0;
        return whole + next_u8() / 256.0;
      }
      case 3:
        return kSpecials[next_u8() % (sizeof kSpecials / sizeof kSpecials[0])];
      case 4: {
        std::uint8_t bytes[8];
        for (auto& b : bytes) b = next_u8();
        double v;
        std::memcpy(&v, bytes, sizeof v);
        return v;
      }
      case 5: {
        const double mantissa = 1.0 + next_u8() / 256.0;
        const int exponent = static_cast<int>(next_u8() % 160) - 40;
        return (tag & 0x80 ? -1.0 : 1.0) * std::ldexp(mantissa, exponent);
      }
      case 6:
      case 7: {
        const double base = static_cast<std::int8_t>(next_u8()) + (tag % 8 == 6 ? 0.5 : 0.0);
        return base + kNudges[next_u8() % (sizeof kNudges / sizeof kNudges[0])];
      }
    }
    return 0.0;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

inline void decode_nodes(ByteReader& in, FuzzInput& out) {
  const std::uint64_t nodes = (out.width + 1) * (out.height + 1);
  out.coords.assign(2 * nodes, 0.0);
  const std::uint8_t mode = in.next_u8() % 4;
  if (mode == 0) {
    for (double& v : out.coords) v = in.next_double();
    return;
  }
  if (mode == 3) {
    std::vector<double> xs(out.width + 1), ys(out.height + 1);
    for (double& x : xs) x = in.next_double();
    for (double& y : ys) y = in.next_double();
    for (std::uint64_t r = 0; r <= out.height; ++r) {
      for (std::uint64_t c = 0; c <= out.width; ++c) {
        out.coords[2 * (r * (out.width + 1) + c)] = xs[c];
        out.coords[2 * (r * (out.width + 1) + c) + 1] = ys[r];
      }
    }
    return;
  }
  const double ox = in.next_double(), oy = in.next_double();
  const double sx = in.next_double(), sy = in.next_double();
  for (std::uint64_t r = 0; r <= out.height; ++r) {
    for (std::uint64_t c = 0; c <= out.width; ++c) {
      double* node = &out.coords[2 * (r * (out.width + 1) + c)];
      node[0] = ox + sx * static_cast<double>(c) + static_cast<std::int8_t>(in.next_u8()) / 64.0;
      node[1] = oy + sy * static_cast<double>(r) + static_cast<std::int8_t>(in.next_u8()) / 64.0;
    }
  }
  if (mode == 2) {
    const int count = in.next_u8() % 8;
    for (int k = 0; k < count; ++k) {
      const std::uint64_t node = in.next_u16() % nodes;
      const int axis = in.next_u8() & 1;
      out.coords[2 * node + axis] = in.next_double();
    }
  }
}

inline void decode_matrix(ByteReader& in, FuzzInput& out) {
  switch (in.next_u8() % 3) {
    case 0:
      break;
    case 1:
      out.matrix[0] = in.next_double();
      out.matrix[4] = in.next_double();
      out.matrix[2] = in.next_double();
      out.matrix[5] = in.next_double();
      break;
    case 2:
      for (int k = 0; k < 6; ++k) out.matrix[k] = in.next_double();
      break;
  }
  for (int k = 6; k < 9; ++k) out.matrix[k] = in.next_double();
}

inline void decode_colours(ByteReader& in, FuzzInput& out) {
  const std::uint64_t rows = 1 + in.next_u8() % (out.width * out.height + 2);
  out.colours.clear();
  for (std::uint64_t k = 0; k < rows; ++k) {
    for (int c = 0; c < 3; ++c) out.colours.push_back(in.next_double());
    out.colours.push_back(kAlphas[in.next_u8() % (sizeof kAlphas / sizeof kAlphas[0])]);
  }
}

inline void decode_extents(ByteReader& in, FuzzInput& out) {
  switch (in.next_u8() % 3) {
    case 0:
      out.extents[0] = 0;
      out.extents[1] = 0;
      out.extents[2] = out.cols;
      out.extents[3] = out.rows;
      break;
    case 1:
      for (double& e : out.extents) e = in.next_double();
      break;
    case 2:
      for (double& e : out.extents) e = static_cast<double>(in.next_u8()) - 8.0;
      break;
  }
}

inline FuzzInput decode(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  FuzzInput out;
  out.pool_index = in.next_u8() % 3;
  out.width = 1 + in.next_u8() % 16;
  out.height = 1 + in.next_u8() % 16;
  out.rows = in.next_u8() % 48;
  out.cols = in.next_u8() % 48;
  const std::uint8_t flags = in.next_u8();
  out.rows_reversed = (flags & 1) != 0;
  out.cols_reversed = (flags & 2) != 0;
  out.gap = in.next_u8() % 8;
  out.pad = in.next_u8() % 16;
  out.fill_seed = in.next_u8();
  decode_nodes(in, out);
  decode_matrix(in, out);
  decode_colours(in, out);
  decode_extents(in, out);
  return out;
}

}  // namespace fuzzing
}  // namespace quadlite
