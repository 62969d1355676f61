// The fast path's entry from Python: eligibility checks, argument intake
// and the render job (src/render, which has no Python).
#pragma once

#include <pybind11/pybind11.h>

namespace quadlite {

// True when the call has been served (drawn, or nothing to draw); false when
// declined, with nothing written to the renderer's buffer.
bool render_fast(pybind11::buffer renderer, const pybind11::args& args);

}  // namespace quadlite
