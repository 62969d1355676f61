// The fast path: eligibility checks, argument intake and the render job.
#pragma once

#include <pybind11/pybind11.h>

namespace quadlite {

// True when the call has been served (drawn, or nothing to draw); false when
// declined, with nothing written to the renderer's buffer.
bool render_fast(pybind11::buffer renderer, const pybind11::args& args);

}  // namespace quadlite
