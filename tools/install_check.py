"""Checks a quadlite installed the way a user installs it.

Run with the interpreter of a venv that holds quadlite (from a wheel or the
sdist) and what pip brought with it, nothing else:

    VENV/bin/python -I tools/install_check.py

The module must come from that venv, carry its licence, and draw two small
meshes (a curvilinear one, cell by cell, and an exact grid, from its axes)
byte for byte as the stand-in host's own method does.
"""
import importlib.metadata
import os
import platform
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests", "python"))

import quadlite  # noqa: E402
import standin_host  # noqa: E402

ROWS, COLS = 90, 120
BACKGROUND = (250, 250, 245, 255)


def curvilinear_mesh(width=40, height=24):
    """A bent annulus sector in device pixels, coloured cell by cell."""
    theta = np.linspace(0.2, 2.6, width + 1)
    radius = np.linspace(12.0, 55.0, height + 1)
    t, r = np.meshgrid(theta, radius)
    r = r * (1.0 + 0.05 * np.sin(5.0 * t))
    coords = np.stack([60.0 + r * np.cos(t), 8.0 + r * np.sin(t)], axis=-1)
    return coords, cell_colours(width, height)


def grid_mesh(width=30, height=20):
    """Every node of a column at one x, of a row at one y, unevenly spaced."""
    xs = np.cumsum(np.linspace(1.0, 5.5, width + 1)) - 3.3
    ys = np.cumsum(np.linspace(4.0, 1.5, height + 1)) + 7.6
    x, y = np.meshgrid(xs, ys)
    return np.stack([x, y], axis=-1), cell_colours(width, height)


def cell_colours(width, height):
    """Face colours that differ from cell to cell; every seventh transparent."""
    index = np.arange(width * height, dtype=float)
    return np.stack([(index % 11) / 10.0, (index % 5) / 4.0, (index % 3) / 2.0,
                     np.where(index % 7 == 3, 0.0, 1.0)], axis=-1)


def draw(name, coords, colours):
    """Draws through quadlite and with the host's method; the same bytes."""
    fast = standin_host.Renderer.new(ROWS, COLS, fill=BACKGROUND)
    result = quadlite.draw_quad_mesh(fast.draw_quad_mesh,
                                     *standin_host.mesh_args(fast, coords, colours))
    if result is not None or fast.host_calls:
        sys.exit(f"install check: quadlite handed the {name} mesh back to the host")
    host = standin_host.Renderer.new(ROWS, COLS, fill=BACKGROUND)
    host.draw_quad_mesh(*standin_host.mesh_args(host, coords, colours))
    painted = int(np.count_nonzero(np.any(host.pixels != BACKGROUND, axis=-1)))
    if painted < ROWS * COLS // 10:
        sys.exit(f"install check: the {name} mesh covers only {painted} pixels")
    if fast.pixels.tobytes() != host.pixels.tobytes():
        differing = int(np.count_nonzero(np.any(fast.pixels != host.pixels, axis=-1)))
        sys.exit(f"install check: the {name} mesh differs from the host's in "
                 f"{differing} pixels")
    return f"{name} {len(colours)} cells, {painted} pixels"


def main():
    where = os.path.realpath(quadlite.__file__)
    if not where.startswith(os.path.realpath(sys.prefix) + os.sep):
        sys.exit(f"install check: quadlite imported from {where}, not from {sys.prefix}")
    metadata = importlib.metadata.metadata("quadlite")
    files = {str(f) for f in importlib.metadata.files("quadlite") or []}
    if metadata["License-Expression"] != "BSD-3-Clause" or not any(
            f.endswith(".dist-info/licenses/LICENSE") for f in files):
        sys.exit("install check: the licence is missing from the installed metadata")
    drawn = [draw("curvilinear", *curvilinear_mesh()), draw("grid", *grid_mesh())]
    print(f"install check: quadlite {metadata['Version']} on "
          f"{platform.python_implementation()} {platform.python_version()}, "
          f"numpy {np.__version__}: {'; '.join(drawn)}: byte-identical")


if __name__ == "__main__":
    main()
