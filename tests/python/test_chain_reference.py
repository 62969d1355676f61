"""Differential test of the whole eligibility chain against a plain-Python model.

Random calls are built from good and bad variants of every argument; the model
says, step by step, whether each call is served, declined, raises, or passes
every check (and so reaches the read-only target's buffer request).
"""
import random

import numpy as np
import pytest

from conftest import DECLINED, REACHED_BUFFER, SERVED, readonly_target
import standin_host

TOL = 1e-12
ABOVE_TOL = float(np.nextafter(TOL, 1.0))


# --- The model ------------------------------------------------------------------------

def model_truth(value):
    if value is True or value is None or value is False:
        return bool(value)
    if isinstance(value, (str, list, tuple, dict)) or type(value) is object:
        raise RuntimeError
    return bool(value)


def model_unsigned(value):
    if isinstance(value, float) or not isinstance(value, (int, np.integer)):
        raise RuntimeError
    value = int(value)
    if not 0 <= value < 2**64:
        raise RuntimeError
    return value


def model_array(value):
    try:
        return np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        return None


def model_masked(coordinates):
    mask = getattr(coordinates, "mask", None)
    if mask is None:
        return False
    if isinstance(mask, np.ndarray):
        return model_truth(mask.any())
    return model_truth(mask)


def model(args):
    """SERVED, DECLINED, REACHED_BUFFER, or the exception type raised."""
    try:
        return _model(args)
    except (RuntimeError, TypeError, IndexError) as error:
        return type(error)


def _model(args):
    if len(args) != 10:
        return DECLINED
    gc, transform, width, height, coords, offsets, _, colours, antialiased, edges = args
    if model_truth(antialiased):
        return DECLINED
    if gc.get_hatch() is not None:
        return DECLINED
    if tuple(gc.get_clip_path())[0] is not None:
        return DECLINED
    width, height = model_unsigned(width), model_unsigned(height)
    if width == 0 or height == 0:
        return SERVED
    arrays = [model_array(a) for a in (coords, offsets, colours, edges)]
    if any(a is None for a in arrays):
        return DECLINED
    if model_masked(coords):
        return DECLINED
    c, o, f, e = arrays
    # Python integers do not wrap: a size of 2**64 - 1 never matches an axis.
    if c.shape != (height + 1, width + 1, 2):
        return DECLINED
    if o.ndim != 2 or o.shape[1] != 2:
        return DECLINED
    if f.ndim != 2 or f.shape[1] != 4 or f.shape[0] == 0:
        return DECLINED
    if e.ndim != 2 or e.shape[0] != 0:
        return DECLINED
    if o.shape[0] != 1 or abs(o[0, 0]) > TOL or abs(o[0, 1]) > TOL:
        return DECLINED
    matrix = model_array(transform.get_matrix())
    if matrix is None or matrix.shape != (3, 3):
        return DECLINED
    rect = gc.get_clip_rectangle()
    if rect is None:
        return DECLINED
    extents = model_array(rect.extents)
    if extents is None or extents.ndim == 0 or extents.size != 4:
        return DECLINED
    alphas = f[:, 3]
    if np.any((np.abs(alphas) > TOL) & (np.abs(alphas - 1.0) > TOL)):
        return DECLINED
    return REACHED_BUFFER


# --- Random calls ---------------------------------------------------------------------

def pick(rng, good, bad, p_good=0.92):
    return rng.choice(good) if rng.random() < p_good or not bad else rng.choice(bad)


def random_size(rng, n):
    good = [n, np.uint64(n), np.int16(n), np.uint8(n)]
    bad = [-1, 2**64, float(n), str(n), None, 2**64 - 1, n + 1]
    return pick(rng, good, bad, 0.97)


def random_coordinates(rng, w, h):
    base = rng_array(rng, (h + 1, w + 1, 2))
    good = [lambda: base, lambda: base.tolist(), lambda: np.asfortranarray(base),
            lambda: base.astype(np.float32), lambda: np.round(base).astype(int),
            lambda: np.ma.array(base), lambda: np.ma.array(base, mask=False)]
    bad = [lambda: base[..., :1], lambda: base[:-1], lambda: base[:, :-1],
           lambda: base.reshape(-1, 2), lambda: "coords", lambda: object(),
           lambda: np.ma.array(base, mask=rng_mask(rng, base.shape)),
           lambda: np.zeros((h + 1, w + 1, 3))]
    return pick(rng, good, bad)()


def rng_array(rng, shape):
    return np.array([rng.uniform(-50, 50) for _ in range(int(np.prod(shape)))]).reshape(shape)


def rng_mask(rng, shape):
    mask = np.zeros(shape, bool)
    mask.flat[rng.randrange(mask.size)] = True
    return mask


def random_offsets(rng):
    small = [0.0, -0.0, 1e-13, -1e-13, TOL, -TOL, float("nan")]
    big = [ABOVE_TOL, -ABOVE_TOL, 1e-9, 1.0, float("inf")]
    x, y = pick(rng, small, big), pick(rng, small, big)
    good = [[[x, y]], np.array([[x, y]]), np.array([[x, y]], np.float32)]
    bad = [np.zeros((2, 2)), np.zeros(2), np.zeros((1, 3)), np.zeros((0, 2)), "o",
           np.zeros((1, 1, 2))]
    return pick(rng, good, bad, 0.9)


def random_colours(rng):
    rows = rng.randrange(1, 6)
    near = [0.0, 1.0, 1e-13, 1 - 1e-13, -1e-13, 1 + 1e-13, TOL, -TOL, float("nan"),
            1.0 - 2**-53]
    far = [0.5, ABOVE_TOL, -ABOVE_TOL, 1 + 1e-11, 1 - 1e-11, 2.0, float("inf")]
    colours = np.array([[rng.random(), rng.random(), rng.random(), pick(rng, near, far, 0.97)]
                        for _ in range(rows)])
    if rng.random() < 0.05:
        # Enough rows for the alpha check to leave the interpreter lock (and
        # go to the pool where there is one), the chosen ones spread among them.
        many = np.tile([0.3, 0.3, 0.3, 1.0], (40_000, 1))
        many[rng.randrange(40_000), 3] = pick(rng, near, far, 0.7)
        many[rng.randrange(40_000), 3] = pick(rng, near, far, 0.7)
        many[rng.sample(range(40_000), rows)] = colours
        colours = many
    good = [colours, colours.tolist(), np.asfortranarray(colours)]
    bad = [colours[:, :3], colours.ravel(), np.zeros((0, 4)), "red", colours[None]]
    return pick(rng, good, bad, 0.9)


def random_call(rng):
    w = 0 if rng.random() < 0.05 else rng.randrange(1, 5)
    h = 0 if rng.random() < 0.05 else rng.randrange(1, 4)
    target = readonly_target()
    matrix = pick(rng, [np.eye(3), np.eye(3).tolist(), np.eye(3, dtype=int),
                        np.full((3, 3), np.nan)],
                  [np.eye(2), np.zeros((3, 3, 1)), np.zeros(9), "m", object()])
    extents = pick(rng, [np.array([0.0, 0.0, 5.0, 6.0]), [[0, 0], [5, 6]], (1, 2, 3, 4),
                         np.array([[0.0, 0.0, 5.0, 6.0]])],
                   [(0, 0, 5), 4.0, (), "abcd", np.zeros((2, 3))])
    rect = None if rng.random() < 0.05 else standin_host.ClipRectangle(extents)
    gc = standin_host.GraphicsContext(
        rect,
        pick(rng, [None], ["/", "", 0], 0.9),
        pick(rng, [(None, None), [None], (None,)],
             [("p", None), (0,), "ab", None, 5, ()], 0.9))
    args = [gc, standin_host.Affine(matrix), random_size(rng, w), random_size(rng, h),
            random_coordinates(rng, w, h), random_offsets(rng), object(),
            random_colours(rng),
            pick(rng, [False, 0, None, np.False_, 0.0],
                 [True, 1, np.True_, 2.5, np.array(1), "s", [0], object()], 0.9),
            pick(rng, [np.zeros((0, 4)), np.zeros((0, 0)), np.zeros((0, 3), int)],
                 [np.zeros((1, 4)), [], np.zeros(0), object()], 0.9)]
    if rng.random() < 0.03:
        args = args[:rng.randrange(10)] if rng.random() < 0.5 else args + [None]
    return tuple(args)


@pytest.mark.parametrize("seed", range(8))
def test_chain_matches_model(seed, classify_call):
    rng = random.Random(seed)
    seen = set()
    for case in range(400):
        args = random_call(rng)
        expected = model(args)
        outcome = classify_call(args)
        got = outcome if isinstance(outcome, str) else type(outcome)
        assert got == expected, f"seed {seed} case {case}: {args!r}"
        seen.add(expected)
    # The mix must exercise every kind of outcome, or the test proves little.
    assert {SERVED, DECLINED, REACHED_BUFFER, RuntimeError} <= seen
