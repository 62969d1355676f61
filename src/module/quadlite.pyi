"""Accelerated quadlite helpers."""
from typing import Any, Callable, TypeVar

_R = TypeVar("_R")

# host_method is the renderer's bound drawing method; its __self__ must export
# the pixels through the buffer protocol. None when the fast path drew, the
# host method's result when it drew.
def draw_quad_mesh(host_method: Callable[..., _R], /, *args: Any) -> _R | None: ...
