"""A buffer exporter written at the C level through ctypes.

Python code cannot hand out a buffer view with a NULL format, shape or
strides, nor one whose fields contradict each other; a type built with
PyType_FromSpec whose getbuffer slot is a ctypes callback can. Each
RawExporter owns its pixel memory and fills the view exactly as told, and
counts how often its buffer was requested (keeping the last request's
flags) and released.
"""
import ctypes

import numpy as np

_ssize_p = ctypes.POINTER(ctypes.c_ssize_t)


class _PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p),
                ("len", ctypes.c_ssize_t), ("itemsize", ctypes.c_ssize_t),
                ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_void_p), ("shape", _ssize_p), ("strides", _ssize_p),
                ("suboffsets", _ssize_p), ("internal", ctypes.c_void_p)]


class _TypeSlot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]


class _TypeSpec(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int),
                ("itemsize", ctypes.c_int), ("flags", ctypes.c_uint),
                ("slots", ctypes.POINTER(_TypeSlot))]


_PY_BF_GETBUFFER = 1
_PY_BF_RELEASEBUFFER = 2
_PY_TPFLAGS_BASETYPE = 1 << 10

_GETBUFFER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.POINTER(_PyBuffer),
                              ctypes.c_int)
_RELEASEBUFFER = ctypes.CFUNCTYPE(None, ctypes.py_object, ctypes.POINTER(_PyBuffer))


def _ssize_array(values):
    return (ctypes.c_ssize_t * len(values))(*values)


def _getbuffer(exporter, view, flags):
    # Must not raise: a ctypes callback cannot report an exception.
    layout = exporter.layout
    v = view.contents
    v.buf = ctypes.addressof(exporter.memory) + layout["offset"]
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(exporter))
    v.obj = id(exporter)  # the view's new reference, dropped by PyBuffer_Release
    v.len = layout["len"]
    v.itemsize = layout["itemsize"]
    v.readonly = 0
    v.ndim = layout["ndim"]
    v.format = ctypes.cast(exporter.format_field, ctypes.c_void_p) \
        if exporter.format_field is not None else None
    v.shape = exporter.shape_field
    v.strides = exporter.strides_field
    v.suboffsets = None
    v.internal = None
    exporter.requests += 1
    exporter.flags = flags
    return 0


def _releasebuffer(exporter, view):
    exporter.releases += 1


# Kept alive for as long as the type exists.
_callbacks = (_GETBUFFER(_getbuffer), _RELEASEBUFFER(_releasebuffer))
_slots = (_TypeSlot * 3)(
    _TypeSlot(_PY_BF_GETBUFFER, ctypes.cast(_callbacks[0], ctypes.c_void_p)),
    _TypeSlot(_PY_BF_RELEASEBUFFER, ctypes.cast(_callbacks[1], ctypes.c_void_p)),
    _TypeSlot(0, None))
_spec = _TypeSpec(b"raw_exporter.RawBase", 0, 0, _PY_TPFLAGS_BASETYPE, _slots)
ctypes.pythonapi.PyType_FromSpec.restype = ctypes.py_object
ctypes.pythonapi.PyType_FromSpec.argtypes = [ctypes.POINTER(_TypeSpec)]
_RawBase = ctypes.pythonapi.PyType_FromSpec(ctypes.byref(_spec))


class RawExporter(_RawBase):
    """Exports `rows` x `cols` RGBA8 pixels (C order, in fresh memory) through
    a view whose fields are as given: None for shape, strides or format
    leaves that field NULL; shape and strides may say anything at all.
    """

    def __init__(self, rows, cols, shape="default", strides="default", fmt=b"B",
                 itemsize=1, ndim=3, fill=0):
        self.rows, self.cols = rows, cols
        size = rows * cols * 4
        self.memory = (ctypes.c_uint8 * (size + 64))()  # trailing guard bytes
        ctypes.memset(self.memory, fill, size)
        ctypes.memset(ctypes.addressof(self.memory) + size, 0xA5, 64)
        if shape == "default":
            shape = (rows, cols, 4)
        if strides == "default":
            strides = (cols * 4, 4, 1)
        self.shape_field = None if shape is None else _ssize_array(shape)
        self.strides_field = None if strides is None else _ssize_array(strides)
        self.format_field = None if fmt is None else ctypes.create_string_buffer(fmt)
        self.layout = {"offset": 0, "len": size, "itemsize": itemsize, "ndim": ndim}
        self.requests = 0
        self.flags = None
        self.releases = 0

    def all_bytes(self):
        """Pixels and guard bytes, as a copy."""
        return bytes(self.memory)

    def pixels(self):
        """The pixel memory as a writable (rows, cols, 4) array."""
        return np.frombuffer(self.memory, np.uint8, self.rows * self.cols * 4).reshape(
            self.rows, self.cols, 4)
