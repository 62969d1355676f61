"""Shared fixtures: classifying what draw_quad_mesh did with one call."""
import numpy as np
import pytest

import quadlite
import standin_host

SERVED = "served"        # None returned, host not called
DECLINED = "declined"    # host called with the very same arguments, its result returned
REACHED_BUFFER = "reached buffer"  # every check before the buffer request passed


def readonly_target(rows=6, cols=5, channels=4):
    """A target whose writable request fails: reaching it proves steps 1-13 passed."""
    target = np.zeros((rows, cols, channels), np.uint8)
    target.flags.writeable = False
    return target


def classify(args, renderer=None):
    """Runs one call through a recording host method and names its outcome.

    Returns SERVED, DECLINED or REACHED_BUFFER, or the exception raised by
    anything else. Checks on the way that a declined call reached the host
    with the same argument objects and that its result came back unchanged.
    """
    if renderer is None:
        renderer = readonly_target()
    marker = object()
    host = standin_host.HostMethod(renderer, result=marker)
    try:
        result = quadlite.draw_quad_mesh(host, *args)
    except ValueError as error:
        assert host.calls == []
        # numpy's own refusal of a writable view of a read-only array
        readonly = isinstance(renderer, np.ndarray) and not renderer.flags.writeable
        return REACHED_BUFFER if readonly and "read-only" in str(error) else error
    except Exception as error:  # noqa: BLE001 - the caller inspects it
        assert host.calls == []
        return error
    if not host.calls:
        assert result is None
        return SERVED
    assert len(host.calls) == 1
    passed, kwargs = host.calls[0]
    assert kwargs == {}
    assert len(passed) == len(args) and all(a is b for a, b in zip(passed, args))
    assert result is marker
    return DECLINED


@pytest.fixture
def classify_call():
    return classify


@pytest.fixture
def target():
    return readonly_target


@pytest.fixture
def mesh():
    """An eligible mesh (coordinates, face colours) of W x H cells."""
    def make(width=3, height=2, seed=0):
        rng = np.random.default_rng(seed)
        ys, xs = np.mgrid[0:height + 1, 0:width + 1].astype(float)
        coords = np.stack([xs + rng.uniform(-0.3, 0.3, xs.shape),
                           ys + rng.uniform(-0.3, 0.3, ys.shape)], axis=-1)
        colours = rng.uniform(0, 1, (width * height, 4))
        colours[:, 3] = rng.integers(0, 2, width * height)
        return coords, colours
    return make
