"""The module surface and the draw_quad_mesh entry point."""
import shutil
import subprocess
import sys
import types

import numpy as np
import pytest

import quadlite
import standin_host
from conftest import DECLINED, readonly_target

STANDARD_ATTRIBUTES = {"__doc__", "__file__", "__loader__", "__name__", "__package__",
                       "__spec__"}


class TestModule:
    def test_docstring(self):
        assert quadlite.__doc__ == "Accelerated quadlite helpers."

    def test_only_draw_quad_mesh_besides_standard_attributes(self):
        assert set(vars(quadlite)) - STANDARD_ATTRIBUTES == {"draw_quad_mesh"}

    def test_function_has_no_prose_docstring(self):
        doc = quadlite.draw_quad_mesh.__doc__.strip()
        assert doc.startswith("draw_quad_mesh(")
        assert "\n" not in doc

    @pytest.mark.skipif(shutil.which("nm") is None, reason="nm not installed")
    def test_only_the_init_entry_is_exported(self):
        listing = subprocess.run(["nm", "-D", "--defined-only", quadlite.__file__],
                                 capture_output=True, text=True, check=True).stdout
        names = [line.split()[-1] for line in listing.splitlines() if line.strip()]
        assert names == ["PyInit_quadlite"]


class TestCallSignature:
    @pytest.mark.parametrize("call", [
        lambda: quadlite.draw_quad_mesh(),
        lambda: quadlite.draw_quad_mesh(host_method=print),
        lambda: quadlite.draw_quad_mesh(print, 1, 2, flag=True),
        lambda: quadlite.draw_quad_mesh(arg0=print),
    ], ids=["nothing", "host by keyword", "extra keyword", "arg0 by keyword"])
    def test_keywords_and_missing_host_are_refused(self, call):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            call()


def _host_for(renderer, result="host drew", error=None):
    return standin_host.HostMethod(renderer, result=result, error=error)


class ForgetfulHost:
    """A host method that keeps nothing of its calls, so counts stay put."""

    def __init__(self, renderer, error_type=None):
        self.__self__ = renderer
        self.error_type = error_type

    def __call__(self, *args):
        if self.error_type is not None:
            raise self.error_type("host failed")
        return "host drew"


class TestRenderer:
    def test_missing_self_propagates_attribute_error(self):
        called = []

        def plain(*args):
            called.append(args)

        with pytest.raises(AttributeError, match="__self__"):
            quadlite.draw_quad_mesh(plain, 1, 2, 3)
        assert called == []

    def test_error_raised_by_self_lookup_propagates_unchanged(self):
        class Boom(Exception):
            pass

        error = Boom("no renderer today")

        class Method:
            @property
            def __self__(self):
                raise error

        with pytest.raises(Boom) as caught:
            quadlite.draw_quad_mesh(Method())
        assert caught.value is error

    class Plain:
        pass

    @pytest.mark.parametrize("renderer, type_name", [
        (object(), "object"),
        (Plain(), "Plain"),
        ("text", "str"),
        ([1, 2], "list"),
        (None, "NoneType"),
    ])
    @pytest.mark.parametrize("nargs", [0, 9, 10])
    def test_renderer_without_buffer_support(self, renderer, type_name, nargs):
        host = _host_for(renderer)
        with pytest.raises(TypeError) as caught:
            quadlite.draw_quad_mesh(host, *range(nargs))
        assert str(caught.value) == f"Object of type '{type_name}' is not an instance of 'buffer'"
        assert host.calls == []

    @pytest.mark.parametrize("renderer", [
        bytearray(16), b"read only", memoryview(bytearray(8)), np.zeros(3),
    ], ids=["bytearray", "bytes", "memoryview", "1-d array"])
    def test_any_buffer_exporter_is_accepted_as_renderer(self, renderer, classify_call):
        # A 9-argument call is declined before the buffer is looked at.
        assert classify_call(tuple(range(9)), renderer) == DECLINED


class TestFallback:
    @pytest.mark.parametrize("nargs", [0, 1, 2, 9, 11, 12, 30])
    def test_other_argument_counts_go_to_the_host(self, nargs, classify_call):
        args = tuple(object() for _ in range(nargs))
        assert classify_call(args) == DECLINED

    @pytest.mark.parametrize("result", [None, 0, "drawn", (1, 2), object()])
    def test_host_result_is_returned_unchanged(self, result):
        host = _host_for(readonly_target(), result=result)
        assert quadlite.draw_quad_mesh(host, 1, 2, 3) is result

    def test_host_exception_propagates_unchanged(self):
        error = KeyError("host failed")
        host = _host_for(readonly_target(), error=error)
        with pytest.raises(KeyError) as caught:
            quadlite.draw_quad_mesh(host, *range(11))
        assert caught.value is error
        assert len(host.calls) == 1

    def test_real_bound_method_of_the_standin_renderer(self, mesh):
        renderer = standin_host.Renderer.new(6, 5, channels=3)
        coords, colours = mesh()
        args = standin_host.mesh_args(renderer, coords, colours)
        assert quadlite.draw_quad_mesh(renderer.draw_quad_mesh, *args) == "host drew"
        assert len(renderer.host_calls) == 1
        assert all(a is b for a, b in zip(renderer.host_calls[0], args))

    def test_host_sees_positional_arguments_in_order(self):
        seen = []

        class Target(bytearray):
            def method(self, *args, **kwargs):
                seen.append((args, kwargs))
                return len(args)

        target = Target(4)
        values = tuple(range(100, 111))
        assert quadlite.draw_quad_mesh(target.method, *values) == 11
        assert seen == [(values, {})]

    def test_host_as_plain_method_object(self):
        target = bytearray(4)
        method = types.MethodType(lambda self, *args: ("bound", self, args), target)
        assert quadlite.draw_quad_mesh(method, 1, 2) == ("bound", target, (1, 2))


@pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="needs reference counts")
class TestReferences:
    """Every exit path gives back what it took."""

    @staticmethod
    def _counts(objects):
        return [sys.getrefcount(o) for o in objects]

    def _check_balanced(self, call, objects, repeat=50):
        call()  # first-use caches (numpy's API, pybind11's internals)
        before = self._counts(objects)
        for _ in range(repeat):
            call()
        assert self._counts(objects) == before

    def test_declined_call(self, mesh):
        renderer = np.zeros((6, 5, 3), np.uint8)
        host = ForgetfulHost(renderer)
        coords, colours = mesh()
        args = standin_host.mesh_args(renderer, coords, colours)
        self._check_balanced(lambda: quadlite.draw_quad_mesh(host, *args),
                             [host, renderer, coords, colours, *args])

    def test_failed_buffer_request(self, mesh):
        renderer = readonly_target()
        host = _host_for(renderer)
        coords, colours = mesh()
        args = standin_host.mesh_args(renderer, coords, colours)

        def call():
            with pytest.raises(ValueError):
                quadlite.draw_quad_mesh(host, *args)

        self._check_balanced(call, [host, renderer, coords, colours, *args])

    def test_raised_conversion_error(self, mesh):
        renderer = readonly_target()
        host = _host_for(renderer)
        coords, colours = mesh()
        args = standin_host.mesh_args(renderer, coords, colours, antialiased="yes")

        def call():
            with pytest.raises(RuntimeError):
                quadlite.draw_quad_mesh(host, *args)

        self._check_balanced(call, [host, renderer, *args])

    def test_host_exception(self):
        renderer = bytearray(4)
        host = ForgetfulHost(renderer, error_type=KeyError)
        args = (object(),) * 3

        def call():
            with pytest.raises(KeyError):
                quadlite.draw_quad_mesh(host, *args)

        self._check_balanced(call, [host, renderer, args[0]])

    def test_buffer_view_released_after_decline(self, mesh):
        # A memoryview refuses release() while a view of it is still held.
        view = memoryview(bytearray(6 * 5 * 3)).cast("B", (6, 5, 3))
        coords, colours = mesh()
        args = standin_host.mesh_args(np.zeros((6, 5, 3)), coords, colours)
        host = _host_for(view)
        assert quadlite.draw_quad_mesh(host, *args) == "host drew"
        view.release()
