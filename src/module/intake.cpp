// The intake: eligibility checks and argument intake of the fast path, then
// the render job with the interpreter lock released.
#include "module/intake.hpp"

#include <pybind11/numpy.h>
#include <unistd.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <cmath>
#include <cstdint>
#include <memory>

#include "render/render_job.hpp"
#include "render/render_types.hpp"

namespace py = pybind11;

namespace quadlite {
namespace {

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A daemon thread that comes back to the interpreter lock while the
// interpreter is finalizing is ended by the interpreter with pthread_exit.
// That unwinding must not run through our frames or pybind11's: a noexcept
// frame on the way ends the process, and every reference above would be
// released without the lock. Nothing is left to return to, so the thread
// parks until the process exits. This covers the return from a pass and the
// conversions, in which numpy may copy with the lock released.
template <class Step>
auto parked_at_exit(Step&& step) -> decltype(step()) {
#if defined(__GLIBCXX__)
  try {
    return step();
  } catch (abi::__forced_unwind&) {
    for (;;) pause();
  }
#else
  return step();
#endif
}

// obj.name() and obj.name, through the C API: a call into Python may be
// where the interpreter's exit meets this thread, and unwinding from there
// through a C++ temporary (pybind11's accessors hold the bound method)
// would release a reference without a thread state. No reference is
// released between the call and parked_at_exit.
py::object call_method(py::handle obj, const char* name) {
  PyObject* method = parked_at_exit([&] { return PyObject_GetAttrString(obj.ptr(), name); });
  if (method == nullptr) throw py::error_already_set();
  PyObject* result = parked_at_exit([&] { return PyObject_CallNoArgs(method); });
  Py_DECREF(method);
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}
py::object attribute(py::handle obj, const char* name) {
  PyObject* value = parked_at_exit([&] { return PyObject_GetAttrString(obj.ptr(), name); });
  if (value == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(value);
}

// C-contiguous float64, cast from whatever numpy can read; empty on failure.
DoubleArray doubles(py::handle source) {
  return parked_at_exit([&] { return DoubleArray::ensure(source); });
}

// Height and width travel as 32-bit values through the passes.
constexpr py::ssize_t kMaxTargetExtent = py::ssize_t{1} << 31;

// Expected dimension n + 1 of a mesh axis; false when n + 1 wraps to 0, since
// no array can then hold the mesh.
bool axis_matches(py::ssize_t dim, std::uint64_t n) {
  const std::uint64_t nodes = n + 1;
  return nodes != 0 && static_cast<std::uint64_t>(dim) == nodes;
}

// The host accepts offsets within the alpha tolerance of zero.
bool near_zero(double v) { return !(std::fabs(v) > kAlphaTolerance); }

// Whether `mask` is there. An error raised while looking (other than
// AttributeError) also counts as absence; from 3.13 on the plain presence test
// would report that error through sys.unraisablehook, so the variant that
// returns it is used and the error dropped here.
bool has_mask_attribute(py::handle coordinates) {
#if PY_VERSION_HEX >= 0x030D0000
  const int found = PyObject_HasAttrStringWithError(coordinates.ptr(), "mask");
  if (found < 0) PyErr_Clear();
  return found == 1;
#else
  return PyObject_HasAttrString(coordinates.ptr(), "mask") == 1;
#endif
}

// Whether any coordinate is masked; absent or unreadable-by-presence means no.
bool has_masked_coordinates(py::handle coordinates) {
  if (!has_mask_attribute(coordinates)) return false;
  py::object mask = coordinates.attr("mask");
  if (py::isinstance<py::array>(mask))
    return parked_at_exit([&] { return mask.attr("any")(); }).cast<bool>();
  return mask.cast<bool>();
}

// The renderer's pixel buffer, requested writable with format and strides,
// and released (with the interpreter lock held) when the owner goes out of
// scope. Taken straight from the buffer protocol rather than through
// py::buffer_info, which copies format, shape and strides without checking
// them for NULL.
struct BufferView {
  Py_buffer view{};

  explicit BufferView(py::handle exporter) {
    if (PyObject_GetBuffer(exporter.ptr(), &view,
                           PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
      throw py::error_already_set();
    }
  }
  ~BufferView() { PyBuffer_Release(&view); }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
};

// Byte strides of a view of shape (rows, cols, 4) with rows and cols below
// 2^31; an exporter may leave them out, which means C-contiguous.
void strides_of(const Py_buffer& view, py::ssize_t out[3]) {
  if (view.strides != nullptr) {
    for (int k = 0; k < 3; ++k) out[k] = view.strides[k];
    return;
  }
  out[2] = view.itemsize;
  out[1] = view.shape[2] * out[2];
  out[0] = view.shape[1] * out[1];
}

// The fill writes four adjacent bytes per pixel and indexes rows and columns
// in 32 bits, so anything else is left to the host. A view without a shape
// cannot be addressed at all.
bool target_usable(const Py_buffer& view) {
  if (view.ndim != 3 || view.shape == nullptr) return false;
  if (view.shape[2] != 4 || view.itemsize != 1) return false;
  for (int k = 0; k < 2; ++k) {
    if (view.shape[k] < 0 || view.shape[k] >= kMaxTargetExtent) return false;
  }
  py::ssize_t strides[3];
  strides_of(view, strides);
  return strides[2] == 1;
}

TargetImage target_of(const Py_buffer& view) {
  py::ssize_t strides[3];
  strides_of(view, strides);
  TargetImage target;
  target.data = static_cast<std::uint8_t*>(view.buf);
  target.height = static_cast<std::int32_t>(view.shape[0]);
  target.width = static_cast<std::int32_t>(view.shape[1]);
  target.row_stride = strides[0];
  target.col_stride = strides[1];
  return target;
}

void retake_interpreter_lock(PyThreadState* state) {
  parked_at_exit([&] { PyEval_RestoreThread(state); });
}

// The interpreter lock, released for one scope; the passes touch no Python
// object.
struct InterpreterLockReleased {
  PyThreadState* const state = PyEval_SaveThread();

  InterpreterLockReleased() = default;
  ~InterpreterLockReleased() { retake_interpreter_lock(state); }
  InterpreterLockReleased(const InterpreterLockReleased&) = delete;
  InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;
};

// Runs body with the interpreter lock released.
const auto without_interpreter_lock = [](auto&& body) {
  const InterpreterLockReleased released;
  body();
};

}  // namespace

bool render_fast(py::buffer renderer, const py::args& args) {
  if (args.size() != 10) return false;
  // The drawing call's ten arguments, in order.
  const py::handle gc = args[0];
  const py::handle mesh_transform = args[1];
  const py::handle mesh_width_arg = args[2];
  const py::handle mesh_height_arg = args[3];
  const py::handle coordinates = args[4];
  const py::handle offsets_arg = args[5];
  // args[6], the offset transform, is not read: calls with any offset but a
  // single (0, 0) are declined, and the host's method draws such a mesh
  // where the mesh transform alone puts it.
  const py::handle face_colours = args[7];
  const py::handle antialiased = args[8];
  const py::handle edge_colours = args[9];

  if (antialiased.cast<bool>()) return false;

  if (!call_method(gc, "get_hatch").is_none()) return false;
  py::tuple clip_path = call_method(gc, "get_clip_path");
  if (!py::object(clip_path[0]).is_none()) return false;

  const auto mesh_width = mesh_width_arg.cast<std::uint64_t>();
  const auto mesh_height = mesh_height_arg.cast<std::uint64_t>();
  if (mesh_width == 0 || mesh_height == 0) return true;  // nothing to draw

  // All four conversions run before any result is looked at.
  DoubleArray coords = doubles(coordinates);
  DoubleArray offsets = doubles(offsets_arg);
  DoubleArray colours = doubles(face_colours);
  DoubleArray edges = doubles(edge_colours);
  if (!coords || !offsets || !colours || !edges) return false;

  if (has_masked_coordinates(coordinates)) return false;

  if (coords.ndim() != 3 || !axis_matches(coords.shape(0), mesh_height) ||
      !axis_matches(coords.shape(1), mesh_width) || coords.shape(2) != 2) {
    return false;
  }
  if (offsets.ndim() != 2 || offsets.shape(1) != 2) return false;
  if (colours.ndim() != 2 || colours.shape(1) != 4 || colours.shape(0) == 0) return false;
  if (edges.ndim() != 2 || edges.shape(0) != 0) return false;
  if (offsets.shape(0) != 1) return false;

  const double* offset = offsets.data();
  if (!near_zero(offset[0]) || !near_zero(offset[1])) return false;

  DoubleArray matrix = doubles(call_method(mesh_transform, "get_matrix"));
  if (!matrix || matrix.ndim() != 2 || matrix.shape(0) != 3 || matrix.shape(1) != 3) {
    return false;
  }

  py::object clip_rectangle = call_method(gc, "get_clip_rectangle");
  if (clip_rectangle.is_none()) return false;
  DoubleArray extents = doubles(attribute(clip_rectangle, "extents"));
  if (!extents || extents.ndim() == 0 || extents.size() != 4) return false;

  // Read on the pool with the lock released when there are many, but still
  // before the buffer is requested; each colour is packed on the way, into
  // scratch this call owns (without memory for it, the fills pack their own).
  const auto colour_rows = static_cast<std::uint64_t>(colours.shape(0));
  const std::unique_ptr<std::uint32_t[]> packed = packed_scratch(colour_rows);
  if (!face_alphas_binary(colours.data(), colour_rows, without_interpreter_lock, nullptr,
                          kPoolWorthwhile, packed.get())) {
    return false;
  }

  // Held until the job returns: it keeps the pixel memory valid for both passes.
  const BufferView target(renderer);
  if (!target_usable(target.view)) return false;

  RenderInputs inputs;
  inputs.mesh.width = mesh_width;
  inputs.mesh.height = mesh_height;
  inputs.mesh.coords = coords.data();
  inputs.mesh.colours = colours.data();
  inputs.mesh.colour_rows = colours.shape(0);
  inputs.mesh.matrix = matrix.data();
  inputs.mesh.packed = packed.get();
  for (int i = 0; i < 4; ++i) inputs.extents[i] = extents.data()[i];
  inputs.target = target_of(target.view);

  return render_job(inputs, without_interpreter_lock);
}

}  // namespace quadlite
