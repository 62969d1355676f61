// The render job: clip box, prepare pass, decision, fill pass.
#pragma once

#include <cstdint>

#include "pool/worker_pool.hpp"
#include "render/prepare_pass.hpp"
#include "render/render_records.hpp"

namespace quadlite {

struct RenderInputs {
  MeshView mesh;
  double extents[4] = {0, 0, 0, 0};  // x0, y0, x1, y1 in device pixels
  TargetImage target;
};

// Draws the mesh into the target, or returns false with nothing written
// when a drawn quad has a non-finite device vertex. `unlocked(body)` runs
// body with whatever the caller must not hold while the pool works (from
// Python: the interpreter lock).
template <class Unlocked>
bool render_job(const RenderInputs& in, Unlocked&& unlocked) {
  (void)in;
  (void)unlocked;
  return false;  // placeholder: every eligible call is declined for now
}

}  // namespace quadlite
