#!/usr/bin/env python3
"""Writes the seed corpus of the render fuzzer (tests/fuzz/corpus).

Each seed is one render job in the byte format that fuzz_input.hpp decodes,
chosen to start the fuzzer at the edges: declines, hidden non-finite nodes,
bow-ties and concave cells, huge and tiny coordinates, odd clip extents,
empty targets and every target layout. Run it again after changing the
format; the corpus is small enough to check in.
"""
import math
import os
import random
import struct
import sys

NAN, INF = math.nan, math.inf


def u8(v):
    return bytes([v & 0xFF])


def dbl(v):
    """A double as tag 4 (eight raw bytes), so any value comes out exact."""
    return b"\x04" + struct.pack("<d", v)


def header(w, h, rows, cols, pool=0, rows_reversed=False, cols_reversed=False, gap=0, pad=0,
           fill=0):
    flags = int(rows_reversed) | 2 * int(cols_reversed)
    return b"".join(u8(v) for v in (pool, w - 1, h - 1, rows, cols, flags, gap, pad, fill))


def grid(w, h, origin=(0.0, 0.0), spacing=(1.0, 1.0), jitter=None, replace=()):
    """Mode 1 (or 2 with replacements): a grid, jitter bytes per node."""
    out = u8(2 if replace else 1)
    out += b"".join(dbl(v) for v in (*origin, *spacing))
    rng = random.Random(jitter)
    for _ in range((w + 1) * (h + 1)):
        out += bytes(rng.randrange(256) if jitter is not None else 0 for _ in range(2))
    if replace:
        out += u8(len(replace))
        for node, axis, value in replace:
            out += struct.pack("<H", node) + u8(axis) + dbl(value)
    return out


def axes(xs, ys):
    """Mode 3: an exact grid, the x of each mesh column and the y of each row."""
    return u8(3) + b"".join(dbl(v) for v in (*xs, *ys))


def nodes(points):
    """Mode 0: every coordinate given, node by node in (row, column) order."""
    return u8(0) + b"".join(dbl(v) for p in points for v in p)


def matrix(m=None, third=(0.0, 0.0, 1.0)):
    """Mode 0 (identity) or 2 (six values), then the third row."""
    out = u8(0) if m is None else u8(2) + b"".join(dbl(v) for v in m)
    return out + b"".join(dbl(v) for v in third)


# Indices into kAlphas; -0.0 is told apart from 0.0 by its repr.
ALPHA = {"1.0": 0, "0.0": 1, "-0.0": 2, "nan": 11, "1e-13": 5}


def colours(rows):
    out = u8(len(rows) - 1)
    for r, g, b, a in rows:
        out += dbl(r) + dbl(g) + dbl(b) + u8(ALPHA[repr(float(a))])
    return out


def extents(values=None, small=None):
    if values is not None:
        return u8(1) + b"".join(dbl(v) for v in values)
    if small is not None:
        return u8(2) + bytes(v + 8 for v in small)
    return u8(0)


def palette(n, seed, alphas=(1.0,)):
    rng = random.Random(seed)
    return [(rng.random(), rng.random(), rng.random(), alphas[k % len(alphas)]) for k in range(n)]


def seeds():
    s = {}
    s["grid"] = (header(4, 3, 20, 24) + grid(4, 3, (1.0, 1.0), (4.0, 5.0)) + matrix()
                 + colours(palette(3, 1)) + extents())
    s["jittered-bottom-up-padded"] = (
        header(6, 5, 30, 33, pool=1, rows_reversed=True, pad=3, fill=7)
        + grid(6, 5, (0.5, 0.25), (5.0, 5.5), jitter=2) + matrix()
        + colours(palette(30, 2, (1.0, 0.0))) + extents())
    s["right-to-left-gaps"] = (
        header(5, 5, 17, 19, pool=2, rows_reversed=True, cols_reversed=True, gap=4, pad=7, fill=9)
        + grid(5, 5, (-1.0, -1.0), (4.2, 3.9), jitter=3) + matrix()
        + colours(palette(7, 3, (1.0, 0.0, NAN))) + extents(small=(2, 3, 15, 14)))
    s["nan-node-drawn"] = (header(3, 1, 8, 10) + grid(3, 1, (0.0, 0.0), (3.0, 6.0),
                                                      replace=((0, 0, NAN),))
                           + matrix() + colours(palette(1, 4)) + extents())
    s["nan-node-hidden"] = (header(3, 1, 8, 10) + grid(3, 1, (0.0, 0.0), (3.0, 6.0),
                                                       replace=((0, 1, -INF),))
                            + matrix() + colours(palette(3, 5, (0.0, 1.0, 1.0))) + extents())
    bowtie = [(0, 0), (0, 10), (10, 10), (10, 0)]  # nodes (0,0) (0,1) (1,0) (1,1)
    s["bowtie"] = header(1, 1, 12, 12) + nodes(bowtie) + matrix() + colours(palette(1, 6)) \
        + extents()
    arrow = [(0, 0), (4, 8), (4, 1), (8, 0)]
    s["arrowhead"] = header(1, 1, 10, 10) + nodes(arrow) + matrix() + colours(palette(1, 7)) \
        + extents()
    huge = [(-3e9, -3e9), (3e9, -3e9), (-3e9, 3e9), (3e9, 3e9)]
    s["beyond-int32"] = header(1, 1, 9, 13) + nodes(huge) + matrix() + colours(palette(1, 8)) \
        + extents((0.0, 0.0, 3e9, 9.0))
    s["overflow-to-inf"] = (header(2, 2, 10, 10) + grid(2, 2, (1e10, 1e10), (1.0, 1.0))
                            + matrix((1e300, 0, 0, 0, 1e300, 0)) + colours(palette(1, 9))
                            + extents())
    s["nan-extents"] = (header(2, 2, 10, 10) + grid(2, 2, (0.0, 0.0), (4.0, 4.0)) + matrix()
                        + colours(palette(4, 10)) + extents((NAN, NAN, NAN, NAN)))
    s["inverted-extents"] = (header(3, 3, 40, 40) + grid(3, 3, (5.0, 5.0), (10.0, 10.0))
                             + matrix() + colours(palette(9, 11))
                             + extents((20.2, 30.7, 10.1, 40.0)))
    s["no-rows"] = (header(2, 2, 0, 12) + grid(2, 2, (0.0, -3.0), (5.0, 5.0)) + matrix()
                    + colours(palette(1, 12)) + extents((-5.0, -5.0, 100.0, 100.0)))
    s["no-columns"] = (header(2, 2, 12, 0, rows_reversed=True, pad=5) + grid(2, 2) + matrix()
                       + colours(palette(1, 13)) + extents((-5.0, -5.0, 100.0, 100.0)))
    angle = 0.7
    rot = (3 * math.cos(angle), -3 * math.sin(angle), 24.0,
           3 * math.sin(angle), 3 * math.cos(angle), 2.0)
    s["rotated-16x16"] = (header(16, 16, 47, 47, pool=2, fill=3)
                          + grid(16, 16, (-1.0, -1.0), (0.8, 0.75), jitter=14)
                          + matrix(rot) + colours(palette(250, 14, (1.0, 1.0, 0.0)))
                          + extents((0.5, 0.5, 46.5, 46.5)))
    # Cells many pixels across, turned and sheared: rows whose ends the span
    # fill settles from each edge's crossing, with edges meeting centres.
    for name, turn, shear, size, origin in (("rotated-wide-cells", 0.52, 0.0, 14.0, (24.3, 1.7)),
                                            ("sheared-centre-edges", 0.0, 0.5, 12.0, (6.5, 4.5))):
        c, s_ = math.cos(turn), math.sin(turn)
        m = (size * c, size * (shear * c - s_), origin[0], size * s_, size * (shear * s_ + c),
             origin[1])
        s[name] = (header(3, 3, 47, 47, pool=1) + grid(3, 3) + matrix(m)
                   + colours(palette(9, 40 + len(name))) + extents())
    s["pixel-centre-edges"] = (
        header(4, 4, 16, 16, pool=1)
        + grid(4, 4, (0.5, 0.5), (3.0, 3.0),
               replace=((6, 0, 3.5 + 1e-13), (7, 1, 6.5 - 5e-13), (12, 0, 9.5 + 2e-12)))
        + matrix() + colours(palette(16, 15)) + extents())
    s["all-nodes-equal"] = (header(3, 2, 8, 8) + grid(3, 2, (3.5, 2.5), (0.0, 0.0)) + matrix()
                            + colours(palette(6, 16)) + extents())
    s["collinear"] = (header(3, 2, 8, 8) + grid(3, 2, (0.5, 0.5), (2.0, 0.0)) + matrix()
                      + colours(palette(6, 17)) + extents())
    s["third-row-nan"] = (header(2, 2, 9, 9) + grid(2, 2, (0.0, 0.0), (4.5, 4.5)) +
                          matrix((1, 0, 0, 0, 1, 0), third=(NAN, INF, -INF))
                          + colours(palette(2, 18)) + extents())
    s["odd-colours"] = (header(3, 1, 6, 12) + grid(3, 1, (0.0, 0.0), (4.0, 6.0)) + matrix()
                        + colours([(NAN, 1.5, -0.2, 1.0), (0.5, 0.5 / 255, INF, 1e-13),
                                   (-INF, 254.5 / 255, 1e-300, NAN)]) + extents())
    s["tiny"] = (header(2, 2, 4, 4) + grid(2, 2, (1e-300, 5e-324), (5e-324, 1e-310)) + matrix()
                 + colours(palette(1, 19)) + extents())
    s["more-colours-than-quads"] = (header(2, 1, 6, 8) + grid(2, 1, (0.0, 0.0), (4.0, 6.0))
                                    + matrix() + colours(palette(4, 20)) + extents())
    s.update(grid_seeds())
    s.update(batch_seeds())
    rng = random.Random(21)
    for k in range(4):
        s[f"random-{k}"] = bytes(rng.randrange(256) for _ in range(300 + 200 * k))
    return s


def grid_seeds():
    """Exact grids, which the render job draws from their axes: the traps of
    that path, each against the per-pixel reference."""
    s = {}
    s["grid-heat-map"] = (
        header(8, 6, 20, 26, pool=1, rows_reversed=True, pad=2, fill=5)
        + axes([1.0 + 3 * k for k in range(9)], [0.5 + 3 * k for k in range(7)]) + matrix()
        + colours(palette(11, 30, (1.0, 0.0, 1.0, 1e-13, NAN))) + extents())
    nudged = [3.5, 3.5 + 1e-13, 7.5 - 5e-13, 7.5 + 2e-12, 11.5, 11.5 - 1e-12]
    s["grid-centre-edges"] = (header(5, 5, 16, 16, pool=2) + axes(nudged, nudged[::-1])
                              + matrix() + colours(palette(25, 31)) + extents())
    s["grid-zero-width"] = (header(6, 4, 12, 14) + axes([2.0, 2.0, 4.5, 4.5, 7.0, 7.0, 9.5],
                                                         [1.0, 3.5, 3.5, 6.0, 6.0])
                            + matrix() + colours(palette(5, 32)) + extents())
    s["grid-folded"] = (header(5, 3, 14, 18, pool=1) + axes([2.0, 12.0, 5.5, 15.0, 1.0, 9.0],
                                                            [1.0, 9.0, 4.0, 12.0])
                        + matrix() + colours(palette(15, 33, (1.0, 0.0))) + extents())
    s["grid-mirrored"] = (header(6, 6, 18, 18, cols_reversed=True, gap=3)
                          + axes([-1.0 - 3 * k for k in range(7)], [2 * k - 0.5 for k in range(7)])
                          + matrix((-1.0, 0, 0.25, 0, 1.5, 0.5)) + colours(palette(36, 34))
                          + extents())
    tiny = [5.5 + k * 2.0 ** -42 for k in range(-2, 3)]
    s["grid-tiny-rows"] = (header(3, 4, 12, 12) + axes([0.5, 4.0, 8.5, 11.0], tiny)
                           + matrix() + colours(palette(12, 35)) + extents())
    s["grid-huge"] = (header(2, 2, 9, 9) + axes([-1.7e308, 4.5, 1.7e308], [-3e9, 2.0, 3e9])
                      + matrix() + colours(palette(4, 36)) + extents())
    s["grid-sub-pixel"] = (header(16, 16, 8, 9, pool=2)
                           + axes([0.5 + 0.35 * k for k in range(17)],
                                  [0.25 + 0.5 * k for k in range(17)])
                           + matrix() + colours(palette(200, 37, (1.0, 1.0, 0.0))) + extents())
    s["grid-clip-cuts"] = (header(4, 4, 30, 30) + axes([2.0, 9.3, 16.0, 21.7, 28.0],
                                                       [1.0, 8.0, 15.5, 22.0, 29.0])
                           + matrix() + colours(palette(16, 38))
                           + extents((5.5, 3.2, 19.9, 26.0)))
    s["grid-transposed"] = (header(4, 3, 16, 16) + axes([1.0, 4.0, 7.5, 11.0, 15.0],
                                                        [2.0, 6.0, 9.5, 13.0])
                            + matrix((0, 1.0, 0, 1.0, 0, 0)) + colours(palette(6, 39)) + extents())
    # A heat map as a figure places it: an axes box inside margins, cells of
    # fractional size, a log-spaced axis; placed by the matrix, and given in
    # pixels with edges on a centre and within the tolerance of one.
    log = [math.log10(20.0 * 100.0 ** (k / 10)) for k in range(11)]
    sy = 28.0 / (log[-1] - log[0])
    s["grid-figure"] = (header(14, 10, 36, 44, pool=1, pad=3)
                        + axes([float(k) for k in range(15)], log)
                        + matrix((2.3, 0, 5.3, 0, sy, 3.1 - sy * log[0]))
                        + colours(palette(140, 41, (1.0, 1.0, 1.0, 0.0, NAN))) + extents())
    xs = [4.3 + 2.37 * k for k in range(15)]
    xs[5], xs[8] = 16.5, 23.5 + 1e-13
    ys = [3.1 + sy * (v - log[0]) for v in log]
    ys[4] = math.floor(ys[4]) + 0.5 - 5e-13
    s["grid-figure-pixels"] = (header(14, 10, 36, 44, rows_reversed=True)
                               + axes(xs, ys) + matrix()
                               + colours(palette(100, 42, (1.0, 0.0, 1.0))) + extents())
    return s


def batch_seeds():
    """Meshes the fill walks several quads to a vector: batches cut at row
    ends, transparent quads and hidden non-finite nodes inside a batch,
    quads of one batch over each other, boxes at the size limit of the
    batch's own test, colour rows wrapping inside a batch."""
    s = {}
    s["batch-row-ends"] = (
        header(11, 4, 12, 18, pool=2, rows_reversed=True, pad=1, fill=11)
        + grid(11, 4, (0.3, 0.6), (1.4, 2.3), jitter=51) + matrix()
        + colours(palette(44, 52, (1.0, 1.0, 0.0, 1.0, 1e-13))) + extents((1.5, 0.5, 16.2, 11.0)))
    # Node columns alternate between two x: every quad is the same rectangle.
    zigzag = [((1.2, 30.7)[c % 2], y) for y in (1.3, 4.6) for c in range(10)]
    s["batch-overlap-small"] = (header(9, 1, 8, 8, pool=1) + nodes(
        [((1.2, 4.7)[c % 2], y) for y in (1.3, 4.6) for c in range(10)]) + matrix()
                                + colours(palette(9, 53)) + extents())
    s["batch-overlap-large"] = (header(9, 1, 8, 34, cols_reversed=True, gap=2) + nodes(zigzag)
                                + matrix() + colours(palette(9, 54, (1.0,) * 8 + (0.0,)))
                                + extents())
    s["batch-hidden-nan"] = (
        header(16, 2, 8, 40, pool=1)
        + grid(16, 2, (0.5, 0.5), (2.4, 2.6), jitter=55,
               replace=((5, 0, NAN), (17 + 12, 1, INF)))
        + matrix() + colours([(0.1 * (k % 10), 0.5, 0.9, 0.0 if k in (4, 5, 11, 12, 27, 28) else 1.0)
                              for k in range(32)]) + extents())
    turn = 0.31
    c, s_ = math.cos(turn), math.sin(turn)
    for name, size in (("batch-boxes-8", 5.6), ("batch-boxes-9", 6.5)):
        s[name] = (header(10, 3, 30, 47, pool=2) + grid(10, 3) +
                   matrix((size * c, -size * s_, 2.2, size * s_, size * c, 1.4))
                   + colours(palette(30, 56 + len(name))) + extents())
    s["batch-colour-wrap"] = (header(13, 2, 6, 30, rows_reversed=True) + grid(13, 2, (0.2, 0.4),
                                                                              (2.1, 2.7), jitter=57)
                              + matrix() + colours(palette(3, 58, (1.0, 0.0, 1.0))) + extents())
    return s


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    if len(sys.argv) > 1:
        out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, data in sorted(seeds().items()):
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
