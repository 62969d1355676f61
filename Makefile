# Entry points: `make demo` and `make test` set up everything on a fresh machine.
SHELL := /bin/bash
.DEFAULT_GOAL := build

PY311 := /usr/bin/python3
PY312 := $(shell pyenv prefix 3.12.1 2>/dev/null || echo $$HOME/.pyenv/versions/3.12.1)/bin/python3.12
VENV := .venv
VPY := $(VENV)/bin/python
comma := ,
MESON_SETUP = if [ -f $(1)/build.ninja ]; then :; else meson setup $(1) $(2); fi

.PHONY: deps build module module-py312 native test test-cpp test-sanitizers test-python \
        test-py312 demo bench fuzz memcheck clean fuzz-build test-fuzz-corpus

deps:
	@tools/install-deps.sh build

$(VPY): | deps
	$(PY311) -m venv --system-site-packages $(VENV)

# The module, installed into the venv with pip from the source tree.
module: deps $(VPY)
	@mkdir -p build
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps --no-index \
	    --config-settings=builddir=build/py311 .

# The same sources for CPython 3.12 (no numpy there).
module-py312: deps
	@if [ -x "$(PY312)" ]; then \
	  $(call MESON_SETUP,build/py312,-Dpython=$(PY312)) && meson compile -C build/py312; \
	else echo "warning: $(PY312) not found; skipping the CPython 3.12 build"; fi

# The C++ core with its GoogleTest suites and micro-benchmarks.
native: deps
	@$(call MESON_SETUP,build/native,-Dmodule=disabled -Dtests=enabled -Dbenchmarks=enabled)
	meson compile -C build/native

build: module module-py312 native

test: build test-cpp test-sanitizers test-fuzz-corpus test-python test-py312 memcheck

test-cpp: native
	meson test -C build/native --print-errorlogs

test-sanitizers: deps
	@$(call MESON_SETUP,build/asan,-Dmodule=disabled -Dtests=enabled -Dbuildtype=debugoptimized -Db_sanitize=address$(comma)undefined -Db_lundef=false)
	meson compile -C build/asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    meson test -C build/asan --print-errorlogs
	@$(call MESON_SETUP,build/tsan,-Dmodule=disabled -Dtests=enabled -Dbuildtype=debugoptimized -Db_sanitize=thread -Db_lundef=false)
	meson compile -C build/tsan
	TSAN_OPTIONS=halt_on_error=1 meson test -C build/tsan --print-errorlogs pool render_job

test-python: module
	$(VPY) -m pytest tests/python -q

test-py312: module-py312
	@if [ -x "$(PY312)" ]; then \
	  PYTHONPATH=build/py312/src/module $(PY312) -m unittest discover -s tests/python -p 'test_no_numpy*.py' -v; \
	fi

# The libFuzzer harness of the render job, under ASan+UBSan, built with clang
# in a build directory of its own.
FUZZ_SECONDS ?= 60
FUZZER := build/fuzz/tests/fuzz/render_fuzzer

fuzz-build: deps
	@tools/install-deps.sh fuzz
	@if [ ! -f build/fuzz/build.ninja ]; then \
	  CC=clang CXX=clang++ meson setup build/fuzz -Dmodule=disabled -Dfuzz=enabled \
	    -Dbuildtype=debugoptimized -Db_sanitize=address$(comma)undefined -Db_lundef=false; \
	fi
	meson compile -C build/fuzz render_fuzzer

# Every seed once, as a regression test.
test-fuzz-corpus: fuzz-build
	$(FUZZER) tests/fuzz/corpus/*

# Fuzzes for FUZZ_SECONDS. New inputs go to build/fuzz-corpus, failing ones to
# build/fuzz-artifacts; the checked-in seeds are only read.
fuzz: fuzz-build
	@mkdir -p build/fuzz-corpus build/fuzz-artifacts
	$(FUZZER) -max_total_time=$(FUZZ_SECONDS) -max_len=8192 -timeout=60 -print_final_stats=1 \
	    -artifact_prefix=build/fuzz-artifacts/ build/fuzz-corpus tests/fuzz/corpus

# A subset of the Python tests under valgrind's memcheck (every call path,
# the buffer exporters, the chain, the property tests); fails on any memcheck
# error or definite leak with a quadlite frame in its stack.
MEMCHECK_TESTS ?= tests/python/test_lifetime.py::test_repeated_calls_leave_reference_counts_unchanged \
    tests/python/test_raw_buffer_exporters.py tests/python/test_surface.py \
    tests/python/test_chain.py tests/python/test_unsafe_inputs.py tests/python/test_properties.py

memcheck: module
	@tools/install-deps.sh memcheck
	$(PY311) tests/memcheck/memcheck.py build/memcheck $(VPY) $(MEMCHECK_TESTS)

demo: module
	$(VPY) examples/demo.py

bench: build
	@tools/install-deps.sh bench
	@if [ -x build/native/bench/quadlite_bench ]; then build/native/bench/quadlite_bench; fi
	$(VPY) bench/bench_mesh.py

clean:
	rm -rf build $(VENV)
