// The Python module `quadlite`: its multi-phase definition and draw_quad_mesh.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <exception>
#include <string>

#include "module/intake.hpp"

namespace py = pybind11;

namespace {

#define QUADLITE_STR_(x) #x
#define QUADLITE_STR(x) QUADLITE_STR_(x)
constexpr const char* kCompiledVersion =
    QUADLITE_STR(PY_MAJOR_VERSION) "." QUADLITE_STR(PY_MINOR_VERSION);

// The ABI is tied to the minor version: "3.12.1" matches "3.12", "3.120" not.
bool interpreter_matches(const char* running) {
  const std::size_t len = std::strlen(kCompiledVersion);
  return std::strncmp(running, kCompiledVersion, len) == 0 &&
         !(running[len] >= '0' && running[len] <= '9');
}

// Draws through the fast path when it serves the call, otherwise hands the
// untouched arguments to the host's own method and returns what it returns.
py::object draw_quad_mesh(py::object host_method, py::args args) {
  py::object renderer = host_method.attr("__self__");
  if (!PyObject_CheckBuffer(renderer.ptr())) {
    throw py::type_error(std::string("Object of type '") + Py_TYPE(renderer.ptr())->tp_name +
                         "' is not an instance of 'buffer'");
  }
  if (quadlite::render_fast(py::reinterpret_borrow<py::buffer>(renderer), args)) {
    return py::none();
  }
  // Plain vector call over the tuple's own item array: no offset flag, since
  // the slot before the first item belongs to the tuple header.
  PyObject* const* items = &PyTuple_GET_ITEM(args.ptr(), 0);
  PyObject* result = PyObject_Vectorcall(
      host_method.ptr(), items, static_cast<std::size_t>(PyTuple_GET_SIZE(args.ptr())), nullptr);
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

PyObject* create_module(PyObject* module_spec, PyModuleDef*) {
  // The slot below refuses isolated sub-interpreters only; legacy ones would
  // share the binding library's and numpy's process-wide state with the
  // interpreter that set it up, and crash once that one is gone.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "module quadlite does not support loading in subinterpreters");
    return nullptr;
  }
  PyObject* name = PyObject_GetAttrString(module_spec, "name");
  if (name == nullptr) return nullptr;
  PyObject* module = PyModule_NewObject(name);
  Py_DECREF(name);
  return module;
}

// pybind11 binds numpy's array API on the first conversion, and in doing so
// releases and retakes the interpreter lock inside destructors. A daemon
// thread making that first conversion while the interpreter finalizes is
// ended there, which aborts the process. Where numpy is loaded already, the
// importing thread binds it now; quadlite never imports numpy itself.
void bind_numpy_if_loaded() {
  if (PyDict_GetItemString(PyImport_GetModuleDict(), "numpy") == nullptr) return;
  try {
    py::detail::npy_api::get();
  } catch (py::error_already_set&) {
    // The first conversion will meet the same error and report it.
  }
}

int exec_module(PyObject* raw) {
  try {
    py::detail::get_internals();
    auto m = py::reinterpret_borrow<py::module_>(raw);
    m.attr("__doc__") = py::str("Accelerated quadlite helpers.");
    m.def("draw_quad_mesh", &draw_quad_mesh);
    bind_numpy_if_loaded();
    return 0;
  } catch (py::error_already_set& e) {
    py::raise_from(e, PyExc_ImportError, "initialization failed");
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  }
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Process-wide state (the worker pool, the array API) is not per interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quadlite",    // m_name
    nullptr,       // m_doc: set by the exec step
    0,             // m_size: no per-module state
    nullptr,       // m_methods
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_quadlite() {
  const char* running = Py_GetVersion();
  if (!interpreter_matches(running)) {
    PyErr_Format(PyExc_ImportError,
                 "Python version mismatch: module was compiled for Python %s, "
                 "but the interpreter version is incompatible: %s.",
                 kCompiledVersion, running);
    return nullptr;
  }
  return PyModuleDef_Init(&module_def);
}
