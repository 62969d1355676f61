"""Renderers whose buffer views leave fields NULL or fill them oddly.

A view without a format or without strides is still a C-contiguous RGBA8
target and is drawn; a view without a shape, or with one that cannot be an
image, goes to the host untouched. Every view requested is released once.
"""
import numpy as np
import pytest

import quadlite
import reference_draw
import standin_host
from mesh_cases import mesh_case
from raw_exporter import RawExporter

WRITABLE_FORMAT_STRIDES = 0x1D


def case_for(seed):
    case = mesh_case(seed, hidden_nans=False)
    case.facecolors[:, 3] = 1.0
    return case


def exporter_for(case, **fields):
    exporter = RawExporter(case.rows, case.cols, **fields)
    exporter.pixels()[...] = case.prefill
    return exporter


def reference_bytes(case, exporter):
    """What the reference drawing makes of the exporter's memory."""
    expected = bytearray(exporter.all_bytes())
    pixels = np.frombuffer(expected, np.uint8, case.rows * case.cols * 4).reshape(
        case.rows, case.cols, 4)
    reference_draw.draw_mesh(pixels, case.mesh_width, case.mesh_height, case.coordinates,
                             case.facecolors, case.matrix, case.extents)
    return bytes(expected)


DRAWN = {
    "all fields": {},
    "no format": {"fmt": None},
    "no strides": {"strides": None},
    "no format, no strides": {"fmt": None, "strides": None},
    "another format": {"fmt": b"<i4"},
}


@pytest.mark.parametrize("fields", DRAWN.values(), ids=DRAWN.keys())
def test_contiguous_views_are_drawn(fields):
    for seed in range(20):
        case = case_for(seed)
        exporter = exporter_for(case, **fields)
        expected = reference_bytes(case, exporter)
        host = standin_host.HostMethod(exporter)
        assert quadlite.draw_quad_mesh(host, *case.args(exporter)) is None, case
        assert host.calls == []
        assert exporter.all_bytes() == expected, case
        assert exporter.requests == 1 and exporter.flags == WRITABLE_FORMAT_STRIDES
        assert exporter.releases == 1


DECLINED = {
    "no shape": {"shape": None},
    "nothing at all": {"shape": None, "strides": None, "fmt": None},
    "no shape, two dimensions": {"shape": None, "ndim": 2},
    "no shape, no dimensions": {"shape": None, "ndim": 0, "strides": None},
    "negative rows": {"shape": "rows=-1"},
    "negative columns": {"shape": "cols=-1"},
    "three channels": {"shape": "channels=3"},
    "two-byte items": {"itemsize": 2},
    "two-byte items, no strides": {"itemsize": 2, "strides": None},
    "channel stride 2": {"strides": "channel=2"},
    "channel stride 0": {"strides": "channel=0"},
    "2**31 rows": {"shape": "rows=2147483648", "strides": "row=0"},
    "2**31 columns": {"shape": "cols=2147483648", "strides": "col=0"},
}


def _field(field_desc, rows, cols):
    """Shape or strides from "name=value" over the conforming ones."""
    if not isinstance(field_desc, str):
        return field_desc
    shape = {"rows": rows, "cols": cols, "channels": 4}
    strides = {"row": cols * 4, "col": 4, "channel": 1}
    name, value = field_desc.split("=")
    if name in shape:
        shape[name] = int(value)
        return tuple(shape.values())
    strides[name] = int(value)
    return tuple(strides.values())


@pytest.mark.parametrize("fields", DECLINED.values(), ids=DECLINED.keys())
def test_unusable_views_go_to_the_host_untouched(fields):
    for seed in range(5):
        case = case_for(seed)
        fields = {key: _field(value, case.rows, case.cols) for key, value in fields.items()}
        exporter = exporter_for(case, **fields)
        before = exporter.all_bytes()
        host = standin_host.HostMethod(exporter)
        args = case.args(exporter)
        assert quadlite.draw_quad_mesh(host, *args) == "host drew", case
        assert len(host.calls) == 1
        assert all(a is b for a, b in zip(host.calls[0][0], args))
        assert exporter.all_bytes() == before, case
        assert exporter.requests == 1 and exporter.flags == WRITABLE_FORMAT_STRIDES
        assert exporter.releases == 1


def test_views_of_an_empty_image_are_served_without_writing():
    for rows, cols in ((0, 5), (5, 0), (0, 0)):
        case = case_for(1)
        exporter = RawExporter(rows, cols, strides=None, fmt=None)
        before = exporter.all_bytes()
        host = standin_host.HostMethod(exporter)
        assert quadlite.draw_quad_mesh(host, *case.args(exporter)) is None
        assert host.calls == []
        assert exporter.all_bytes() == before
        assert exporter.releases == 1
