// How the fills store a quad's colour: runs of a row, and the pixels of a
// row's coverage mask. Each store replaces all four bytes of a pixel.
#pragma once

#include <cstdint>
#include <cstring>

#include "render/render_types.hpp"
#include "render/vector_types.hpp"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace quadlite {

// Runs at least this long (pixels) in images at least this large (bytes)
// bypass the caches; see store_run.
constexpr std::int64_t kStreamedRun = 64;
constexpr std::int64_t kStreamedImage = std::int64_t{32} << 20;

// Whether the target is large enough that long runs are worth streaming.
inline bool streams(const TargetImage& t) {
  const std::int64_t row_bytes = t.row_stride < 0 ? -t.row_stride : t.row_stride;
  return row_bytes * t.height >= kStreamedImage;
}

// Columns [begin, end) of a row get the colour. Packed pixels go four at a
// time in 16-byte stores, so a long run costs about what memset costs. With
// `stream`, whole 64-byte lines inside a long run are written around the
// caches: an image far larger than them would otherwise have every line
// read in before it is overwritten.
inline void store_run(std::uint8_t* row, std::int64_t col_stride, std::int64_t begin,
                      std::int64_t end, std::uint32_t colour, bool stream = false) {
  std::uint8_t* p = row + begin * col_stride;
  std::int64_t n = end - begin;
  if (col_stride != 4) {
    for (; n > 0; --n, p += col_stride) std::memcpy(p, &colour, 4);
    return;
  }
#if defined(__SSE2__)
  const __m128i four = _mm_set1_epi32(static_cast<int>(colour));
  if (stream && n >= kStreamedRun && (reinterpret_cast<std::uintptr_t>(p) & 3) == 0) {
    // Up to a line boundary as one line's worth of cached stores; none at
    // a boundary, where they would read in the line streamed next.
    const std::int64_t head = ((64 - (reinterpret_cast<std::uintptr_t>(p) & 63)) & 63) / 4;
    if (head != 0) {
      for (int b = 0; b < 4; ++b) _mm_storeu_si128(reinterpret_cast<__m128i*>(p) + b, four);
      p += 4 * head;
      n -= head;
    }
    for (; n >= 16; n -= 16, p += 64) {
      __m128i* line = reinterpret_cast<__m128i*>(p);
      _mm_stream_si128(line, four);
      _mm_stream_si128(line + 1, four);
      _mm_stream_si128(line + 2, four);
      _mm_stream_si128(line + 3, four);
    }
  }
  // The last four pixels as one store that may overlap the one before, and
  // runs of two or three as two overlapping pairs: no loop over the tail.
  if (n >= 4) {
    std::uint8_t* const last = p + 4 * (n - 4);
    for (; p < last; p += 16) _mm_storeu_si128(reinterpret_cast<__m128i*>(p), four);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(last), four);
    return;
  }
  if (n >= 2) {
    const std::uint64_t two = colour | std::uint64_t{colour} << 32;
    std::memcpy(p, &two, 8);
    std::memcpy(p + 4 * (n - 2), &two, 8);
    return;
  }
#else
  (void)stream;
#endif
  for (; n > 0; --n, p += 4) std::memcpy(p, &colour, 4);
}

// Asks for the lines of columns [begin, end) of a row ahead of their stores.
inline void prefetch_run(const std::uint8_t* row, std::int64_t col_stride, std::int64_t begin,
                         std::int64_t end) {
  const std::uint8_t* p = row + begin * col_stride;
  const std::uint8_t* const last = row + (end - 1) * col_stride;
  for (; p < last; p += 64) __builtin_prefetch(p, 1);
  __builtin_prefetch(last, 1);
}

// Streamed stores are ordered before anything that follows.
inline void finish_streaming() {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

// Stores the colour at the set bits of one row's coverage mask, bit c at
// column c from column0, pixel by pixel: any column stride, either sign.
inline void store_row_bits(std::uint8_t* column0, std::int64_t col_stride, std::uint64_t mask,
                           std::uint32_t colour) {
  for (; mask != 0; mask &= mask - 1)
    std::memcpy(column0 + __builtin_ctzll(mask) * col_stride, &colour, 4);
}

// A run of 1 to 16 packed pixels with no loop: four 16-byte stores that may
// overlap (the last ends on the run's end), or under four pixels three
// 4-byte stores at 0, n / 2 and n - 1.
QUADLITE_INLINE void store_short_run(std::uint8_t* p, std::int64_t n, std::uint32_t colour) {
#if defined(__SSE2__)
  if (n >= 4) {
    const __m128i four = _mm_set1_epi32(static_cast<int>(colour));
    std::uint8_t* const last = p + 4 * (n - 4);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), four);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16 < last ? p + 16 : last), four);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 32 < last ? p + 32 : last), four);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(last), four);
    return;
  }
  std::memcpy(p, &colour, 4);
  std::memcpy(p + 4 * (n >> 1), &colour, 4);
  std::memcpy(p + 4 * (n - 1), &colour, 4);
#else
  for (; n > 0; --n, p += 4) std::memcpy(p, &colour, 4);
#endif
}

// store_row_bits for packed pixels (column stride 4): each run of set bits
// in a few overlapping stores, without a branch per pixel. A row of a
// convex quad is one run; a degenerate quad's may be two.
QUADLITE_INLINE void store_row_runs(std::uint8_t* column0, std::uint64_t mask,
                                    std::uint32_t colour) {
  while (mask != 0) {
    const int begin = __builtin_ctzll(mask);
    // The mask is narrower than 64 bits, so ~(mask >> begin) has a zero.
    const int end = begin + __builtin_ctzll(~(mask >> begin));
    int at = begin;
    for (; end - at > 16; at += 16) store_short_run(column0 + 4 * at, 16, colour);
    store_short_run(column0 + 4 * at, end - at, colour);
    mask &= ~std::uint64_t{0} << end;
  }
}

// Stores the colour at every set bit of a block's coverage mask: byte r
// holds device row block + r, bit c of it column c from column0. A branch
// per pixel, but one mask for up to 8 rows: cheaper than a row's runs where
// rows hold a pixel or three.
inline void store_mask(std::uint64_t mask, std::int64_t block, std::uint8_t* column0,
                       const TargetImage& target, std::uint32_t colour) {
  std::uint8_t* const first_row = column0 + row_offset(target, block);
  for (; mask != 0; mask &= mask - 1) {
    const int bit = __builtin_ctzll(mask);
    std::memcpy(first_row - (bit >> 3) * target.row_stride + (bit & 7) * target.col_stride,
                &colour, 4);
  }
}

}  // namespace quadlite
