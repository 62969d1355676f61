// What this processor runs, read once, when the library loads.
#pragma once

namespace quadlite {

// Whether the AVX2 kernels may run. Read before the library's initialisers
// have run (by another library's), it is still false: the fills then keep
// to two lanes, which give the same bytes.
extern const bool cpu_has_avx2;
// Whether the AVX-512 kernels may run (F, VL, BW and DQ, and AVX2 with
// them); false in the same cases.
extern const bool cpu_has_avx512;

// The most doubles the fills put in one vector on this processor: 8 where
// it has AVX-512, 4 where it has AVX2, else 2. Every width gives the same
// bytes.
inline int widest_lanes() { return cpu_has_avx512 ? 8 : cpu_has_avx2 ? 4 : 2; }

}  // namespace quadlite
