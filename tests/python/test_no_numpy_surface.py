"""The module surface and the chain's first steps, without numpy.

Plain unittest so that it runs on an interpreter that has neither numpy nor
pytest; it uses no numpy and no stand-in host. Renderers are bytearray
subclasses with a drawing method: enough for every step before the arrays.
"""
import ast
import glob
import importlib.metadata
import importlib.util
import os
import re
import subprocess
import sys
import textwrap
import unittest

import cast_error
import quadlite

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STANDARD_ATTRIBUTES = {"__doc__", "__file__", "__loader__", "__name__", "__package__",
                       "__spec__"}
VERSION = "%d.%d" % sys.version_info[:2]


# run_isolated(code) runs code in a new isolated sub-interpreter and raises if
# it raised; None where there are none (before 3.12). The module for them is
# _xxsubinterpreters in 3.12, whose run_string raises, and _interpreters from
# 3.13 on, whose run_string returns the uncaught exception instead. Source
# text, for the test that runs it in a fresh process too.
ISOLATED_RUNNER = textwrap.dedent("""
    import sys

    interpreters = None
    if sys.version_info >= (3, 12):
        try:
            import _interpreters as interpreters
        except ImportError:
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                pass

    def run_isolated(code):
        interp = interpreters.create()
        try:
            failure = interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)
        if failure is not None:
            raise AssertionError(failure.errdisplay)

    if interpreters is None:
        run_isolated = None
""")
_runner = {}
exec(ISOLATED_RUNNER, _runner)
run_isolated = _runner["run_isolated"]


def numpy_available():
    return importlib.util.find_spec("numpy") is not None


class Renderer(bytearray):
    """A buffer exporter whose drawing method records its calls."""

    def __init__(self, size=16):
        super().__init__(size)
        self.calls = []

    def draw_quad_mesh(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "host drew"


class Context:
    def __init__(self, hatch=None, clip_path=(None, None)):
        self.hatch = hatch
        self.clip_path = clip_path
        self.log = []

    def get_hatch(self):
        self.log.append("get_hatch")
        return self.hatch

    def get_clip_path(self):
        self.log.append("get_clip_path")
        return self.clip_path

    def get_clip_rectangle(self):
        self.log.append("get_clip_rectangle")
        return None


def call(gc=None, width=2, height=1, antialiased=False, coords="untouched",
         offsets="untouched"):
    """Ten arguments; the array arguments are strings, which no step before
    the array conversion may look at."""
    return (Context() if gc is None else gc, "transform", width, height, coords, offsets,
            "offset transform", "colours", antialiased, "edges")


class ModuleTest(unittest.TestCase):
    def test_docstring(self):
        self.assertEqual(quadlite.__doc__, "Accelerated quadlite helpers.")

    def test_surface(self):
        self.assertEqual(set(vars(quadlite)) - STANDARD_ATTRIBUTES, {"draw_quad_mesh"})
        self.assertTrue(callable(quadlite.draw_quad_mesh))

    def test_type_stub_covers_the_surface(self):
        # Shipped as a stub-only package: type checkers ignore a lone .pyi
        # beside a single-file module in site-packages.
        try:
            files = importlib.metadata.files("quadlite") or []
        except importlib.metadata.PackageNotFoundError:
            self.skipTest("quadlite is not installed as a distribution")
        shipped = {str(f): f for f in files}
        self.assertIn("quadlite-stubs/py.typed", shipped)
        stub = ast.parse(shipped["quadlite-stubs/__init__.pyi"].read_text())
        self.assertEqual(ast.get_docstring(stub), quadlite.__doc__)
        functions = {node.name for node in stub.body if isinstance(node, ast.FunctionDef)}
        self.assertEqual(functions, set(vars(quadlite)) - STANDARD_ATTRIBUTES)

    def test_built_for_this_interpreter(self):
        self.assertIn("cpython-%d%d" % sys.version_info[:2], os.path.basename(quadlite.__file__))

    @unittest.skipUnless(sys.version_info >= (3, 12), "the slot exists from 3.12 on")
    def test_refused_in_an_isolated_subinterpreter(self):
        if run_isolated is None:
            self.skipTest("no subinterpreter module")
        code = textwrap.dedent(f"""
            import sys
            sys.path.insert(0, {os.path.dirname(quadlite.__file__)!r})
            try:
                import quadlite
            except ImportError as error:
                assert "does not support loading in subinterpreters" in str(error), error
            else:
                raise AssertionError("imported")
        """)
        run_isolated(code)


SUBINTERPRETER_IMPORT = textwrap.dedent("""
    import sys
    sys.path.insert(0, {path!r})
    try:
        import quadlite
    except ImportError as error:
        assert "does not support loading in subinterpreters" in str(error), error
        assert "quadlite" not in sys.modules
    else:
        raise AssertionError("imported")
""")


ISOLATED = sys.version_info >= (3, 12)


class SubinterpreterTest(unittest.TestCase):
    """Every kind of sub-interpreter is refused, and the main one is unharmed.
    Legacy sub-interpreters (which share the main one's lock) are refused by
    the module itself, isolated ones (3.12 on) by the interpreter too."""

    def code(self):
        return SUBINTERPRETER_IMPORT.format(path=os.path.dirname(quadlite.__file__))

    def assert_main_module_works(self):
        renderer = Renderer()
        self.assertEqual(quadlite.draw_quad_mesh(renderer.draw_quad_mesh, 1, 2), "host drew")
        self.assertEqual(renderer.calls, [((1, 2), {})])

    def test_refused_in_a_legacy_subinterpreter(self):
        try:
            import _testcapi
        except ImportError:
            self.skipTest("no _testcapi")
        # The interpreter would let a module that declares no support for
        # sub-interpreters load here; it shared process-wide state and
        # crashed the process on the next such import once loaded.
        for _ in range(3):
            self.assertEqual(_testcapi.run_in_subinterp(self.code()), 0)
        self.assert_main_module_works()

    @unittest.skipUnless(ISOLATED, "isolated sub-interpreters exist from 3.12 on")
    def test_refused_in_many_isolated_subinterpreters(self):
        if run_isolated is None:
            self.skipTest("no subinterpreter module")
        for _ in range(10):
            run_isolated(self.code())
        self.assert_main_module_works()

    def test_main_interpreter_imports_after_subinterpreters_were_refused(self):
        # In a fresh process, so that the sub-interpreters try first.
        try:
            import _testcapi  # noqa: F401 - only its presence matters here
        except ImportError:
            self.skipTest("no _testcapi")
        script = ISOLATED_RUNNER + textwrap.dedent(f"""
            import sys, _testcapi
            code = {self.code()!r}
            assert _testcapi.run_in_subinterp(code) == 0
            if run_isolated is not None:
                run_isolated(code)
            sys.path.insert(0, {os.path.dirname(quadlite.__file__)!r})
            import quadlite

            class Renderer(bytearray):
                def draw_quad_mesh(self, *args):
                    return args

            print(quadlite.draw_quad_mesh(Renderer(4).draw_quad_mesh, 7))
        """)
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             timeout=60)
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        self.assertEqual(run.stdout, "(7,)\n")


def _other_module():
    """(path, "3.N") of a module built here for another interpreter version,
    or (None, None): the venvs and meson build trees of `make test`'s legs."""
    name = "quadlite.cpython-3*.so"
    patterns = [os.path.join(ROOT, venv, "lib", "python3.*", "site-packages", name)
                for venv in (".venv", os.path.join("build", "venv-*"))]
    patterns.append(os.path.join(ROOT, "build", "*", "src", "module", name))
    for path in sorted(found for pattern in patterns for found in glob.glob(pattern)):
        minor = int(re.search(r"cpython-3(\d+)", os.path.basename(path)).group(1))
        if minor != sys.version_info[1]:
            return path, "3.%d" % minor
    return None, None


LOAD_FOREIGN = textwrap.dedent("""
    import importlib.machinery, importlib.util, os, sys
    # Resolve symbols lazily so that the version check itself gets to run.
    sys.setdlopenflags(os.RTLD_LAZY)
    path = sys.argv[1]
    loader = importlib.machinery.ExtensionFileLoader("quadlite", path)
    found = importlib.util.spec_from_file_location("quadlite", path, loader=loader)
    try:
        importlib.util.module_from_spec(found)
    except ImportError as error:
        print(type(error).__name__)
        print(error)
    else:
        print("imported")
""")


class VersionCheckTest(unittest.TestCase):
    def test_module_for_another_version_refuses_to_load(self):
        path, other = _other_module()
        if path is None:
            self.skipTest("no module built here for another Python version")
        run = subprocess.run([sys.executable, "-c", LOAD_FOREIGN, path],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        kind, message = run.stdout.rstrip("\n").split("\n", 1)
        self.assertEqual(kind, "ImportError")
        self.assertEqual(message,
                         "Python version mismatch: module was compiled for Python %s, but the "
                         "interpreter version is incompatible: %s." % (other, sys.version))


class DeclineTest(unittest.TestCase):
    """Calls declined before the array step: the host draws with the same objects."""

    def assert_declined(self, args, renderer=None):
        renderer = Renderer() if renderer is None else renderer
        before = bytes(renderer)
        result = quadlite.draw_quad_mesh(renderer.draw_quad_mesh, *args)
        self.assertEqual(result, "host drew")
        self.assertEqual(len(renderer.calls), 1)
        passed, kwargs = renderer.calls[0]
        self.assertEqual(kwargs, {})
        self.assertEqual(len(passed), len(args))
        for got, sent in zip(passed, args):
            self.assertIs(got, sent)
        self.assertEqual(bytes(renderer), before)

    def test_argument_counts(self):
        for count in (0, 1, 9, 11, 20):
            with self.subTest(count=count):
                self.assert_declined(tuple(object() for _ in range(count)))

    def test_antialiased(self):
        for flag in (True, 1, -1, 0.5, 2**70):
            with self.subTest(flag=flag):
                self.assert_declined(call(antialiased=flag))

    def test_hatch(self):
        for hatch in ("/", "", 0, ()):
            with self.subTest(hatch=hatch):
                gc = Context(hatch=hatch)
                self.assert_declined(call(gc))
                self.assertEqual(gc.log, ["get_hatch"])

    def test_clip_path(self):
        for path in (("path", None), ["p"], "xy", (0,), range(1, 3)):
            with self.subTest(path=path):
                gc = Context(clip_path=path)
                self.assert_declined(call(gc))
                self.assertEqual(gc.log, ["get_hatch", "get_clip_path"])


class EmptyMeshTest(unittest.TestCase):
    def test_served_without_the_host(self):
        for width, height in ((0, 1), (1, 0), (0, 0), (0, 2**64 - 1), (True, False)):
            with self.subTest(width=width, height=height):
                renderer = Renderer()
                renderer[:] = b"\x07" * len(renderer)
                gc = Context()
                result = quadlite.draw_quad_mesh(renderer.draw_quad_mesh,
                                                 *call(gc, width, height))
                self.assertIsNone(result)
                self.assertEqual(renderer.calls, [])
                self.assertEqual(bytes(renderer), b"\x07" * len(renderer))
                self.assertEqual(gc.log, ["get_hatch", "get_clip_path"])

    def test_served_for_a_read_only_renderer(self):
        # The buffer is not even requested.
        class Frozen(bytes):
            def draw_quad_mesh(self, *args):
                raise AssertionError("host called")

        renderer = Frozen(8)
        self.assertIsNone(quadlite.draw_quad_mesh(renderer.draw_quad_mesh, *call(width=0)))


class RaiseTest(unittest.TestCase):
    def assert_raises(self, args, error, messages=None):
        renderer = Renderer()
        with self.assertRaises(error) as caught:
            quadlite.draw_quad_mesh(renderer.draw_quad_mesh, *args)
        self.assertEqual(renderer.calls, [])
        if messages is not None:  # the whole text, as pybind11 words it (cast_error.py)
            self.assertIn(str(caught.exception), messages)
        return caught.exception

    def test_bad_mesh_sizes(self):
        for width, height, bad in ((-1, 1, -1), (1, -1, -1), (2**64, 1, 2**64), (1.0, 1, 1.0),
                                   (1, 2.5, 2.5), ("1", 1, "1"), (None, 1, None),
                                   (1, [1], [1]), (0, -1, -1)):
            with self.subTest(width=width, height=height):
                self.assert_raises(call(width=width, height=height), RuntimeError,
                                   cast_error.messages(bad, cast_error.UINT64))

    def test_bad_antialiased(self):
        for flag in ("yes", [True], object(), {}):
            with self.subTest(flag=flag):
                self.assert_raises(call(antialiased=flag), RuntimeError,
                                   cast_error.messages(flag, cast_error.BOOL))

    def test_bad_clip_paths(self):
        for path, error in ((None, TypeError), (5, TypeError), ((), IndexError),
                            ([], IndexError)):
            with self.subTest(path=path):
                self.assert_raises(call(Context(clip_path=path)), error)

    def test_renderer_without_buffer(self):
        class NoBuffer:
            def draw_quad_mesh(self, *args):
                raise AssertionError("host called")

        for args in ((), call(), call(width=0)):
            with self.subTest(count=len(args)):
                with self.assertRaises(TypeError) as caught:
                    quadlite.draw_quad_mesh(NoBuffer().draw_quad_mesh, *args)
                self.assertEqual(str(caught.exception),
                                 "Object of type 'NoBuffer' is not an instance of 'buffer'")


NUMPY_BLOCKED = textwrap.dedent("""
    import sys
    sys.modules["numpy"] = None  # as if numpy were not installed
    import quadlite

    class Renderer(bytearray):
        def draw_quad_mesh(self, *args):
            raise AssertionError("host called")

    class Context:
        def get_hatch(self): return None
        def get_clip_path(self): return (None, None)

    r = Renderer(8)
    for attempt in range(2):  # the failed load is not cached
        try:
            quadlite.draw_quad_mesh(r.draw_quad_mesh, Context(), None, 2, 1, [[0.0]], [[0, 0]],
                                    None, [[1, 1, 1, 1]], False, [])
        except ImportError as error:
            print(type(error).__name__, "numpy" in str(error))
        else:
            print("no error")
""")


class ArrayStepWithoutNumpyTest(unittest.TestCase):
    def test_import_error_in_a_fresh_interpreter(self):
        run = subprocess.run([sys.executable, "-c", NUMPY_BLOCKED], capture_output=True,
                             text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.split("\n")[:2], ["ModuleNotFoundError True"] * 2)

    @unittest.skipIf(numpy_available(), "numpy is installed here")
    def test_import_error_in_process(self):
        renderer = Renderer()
        with self.assertRaises(ImportError):
            quadlite.draw_quad_mesh(renderer.draw_quad_mesh, *call())
        self.assertEqual(renderer.calls, [])


if __name__ == "__main__":
    unittest.main()
