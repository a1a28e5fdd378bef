# Entry points for newcomers and CI. Every target installs what it needs first; `make demo`
# only the compiler, CMake and the module's build (scripts/bootstrap.sh demo).
#
#   make demo       build the module, run examples/demo.py, examples/lease_takeover.py and
#                   examples/waiting.py (asyncio agents that wait instead of polling)
#   make demo-redis the same story with four agent processes on a redis-server that
#                   examples/processes.py starts (redis-server and redis-py installed if missing)
#   make lint       ruff check and ruff format --check over the Python sources (part of make test)
#   make test       the linters, C++ tests (ctest), then the nox sessions: the wheel, the suite against it
#                   under CPython 3.9 to 3.13, stubtest, the ABI and packaging checks, the
#                   sdist built by pip in a fresh venv, the cibuildwheel matrix
#   make wheel      dist/durnel_core-<version>-cp39-abi3-manylinux_*_<arch>.whl and the sdist
#                   (nox -s wheel: python -m build, auditwheel repair)
#   make bench      scripts/bench.sh
#   make sanitize   scripts/sanitize.sh
#   make test-quick the Python suite against build/ with .venv's Python only
#   make test-lock-deep  the lock's schedule exploration with a far larger random budget
#   make test-portable  the core without Linux-only calls (build-portable/): C++ tests, the
#                   Python suite once, ThreadSanitizer on the threaded tests (part of make test)
#   make test-clang the C++ tests built with clang++ (build-clang/; part of make test)
#   make test-reproducible  two builds of HEAD in different directories give identical
#                   module bytes (part of make test)
#   make wheel-aarch64  dist-aarch64/durnel_core-<version>-cp39-abi3-manylinux_*_aarch64.whl,
#                   cross-compiled with Debian's aarch64 toolchain
#   make test-aarch64   the aarch64 C++ tests and the Python suite against the aarch64 wheel,
#                   under qemu-user with Debian's arm64 CPython (build-aarch64/)
PYTHON ?= python3
VENV   := .venv
BUILD  := build
VPY    := $(VENV)/bin/python
NOX    := $(VENV)/bin/nox
PYTEST_ARGS ?=
# The sessions `make test` runs; `nox -l` describes them.
NOX_SESSIONS := wheel tests stubtest abi sdist matrix

.PHONY: all bootstrap bootstrap-demo build build-module wheel lint test test-core test-python \
        test-quick test-lock-deep demo demo-redis bench sanitize clean
.PHONY: test-portable test-clang test-reproducible wheel-aarch64 test-aarch64

all: build

bootstrap:
	@PYTHON=$(PYTHON) VENV=$(VENV) scripts/bootstrap.sh test

bootstrap-demo:
	@PYTHON=$(PYTHON) VENV=$(VENV) scripts/bootstrap.sh demo

define configure
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DDURNEL_BUILD_TESTS=$(1) \
	  -DDURNEL_WERROR=ON -DPython3_EXECUTABLE=$(abspath $(VPY)) >/dev/null
endef

build: bootstrap
	$(call configure,ON)
	@cmake --build $(BUILD)

# The module alone, for the demo: no GoogleTest needed. A build/ that already has the C++
# tests keeps them.
build-module: bootstrap-demo
	$(call configure,$(if $(shell grep -s '^DURNEL_BUILD_TESTS:BOOL=ON' $(BUILD)/CMakeCache.txt),ON,OFF))
	@cmake --build $(BUILD) --target durnel_core

# nox rebuilds the wheel only when a source, the build or the packaging changed.
wheel: bootstrap
	@$(NOX) -s wheel

test-core: build
	ctest --test-dir $(BUILD) --output-on-failure

# One nox session per CPython, the same wheel installed in each, pytest run from a scratch
# directory so that only the installed module can be imported; then the checks. Every session
# runs even when an earlier one failed; the summary adds them up in its closing line
# "python: N passed, N failed[, N skipped]".
test-python: bootstrap
	@rm -rf build-wheel/results
	@$(NOX) -s $(NOX_SESSIONS) -- $(PYTEST_ARGS); sessions=$$?; \
	  $(NOX) -s summary; summary=$$?; \
	  exit $$(( sessions || summary ))

test: lint test-core test-python test-portable test-clang test-reproducible

# The ShardLockSchedules tests of core_tests (exhaustive for two threads in any case) with
# LOCK_SCHEDULES seeded random schedules per scenario of three or four threads, instead of
# the 10000 that ctest runs. About five minutes with the default (300000 took 81 s).
LOCK_SCHEDULES ?= 1000000
test-lock-deep: build
	DURNEL_SCHEDULES=$(LOCK_SCHEDULES) $(BUILD)/tests/core/core_tests --gtest_filter='ShardLockSchedules.*'

test-quick: build
	PYTHONPATH=$(abspath $(BUILD)):$(abspath src) $(VPY) -m pytest -q tests/python $(PYTEST_ARGS)

demo: build-module
	PYTHONPATH=$(abspath $(BUILD)):$(abspath src) $(VPY) examples/demo.py
	PYTHONPATH=$(abspath $(BUILD)):$(abspath src) $(VPY) examples/lease_takeover.py
	PYTHONPATH=$(abspath $(BUILD)):$(abspath src) $(VPY) examples/waiting.py

demo-redis: build-module
	@VENV=$(VENV) scripts/need-redis.sh
	PYTHONPATH=$(abspath $(BUILD)):$(abspath src) $(VPY) examples/processes.py

bench: bootstrap
	@bash scripts/bench.sh

sanitize: bootstrap
	@bash scripts/sanitize.sh

# Python: ruff's lint rules and its formatting, as configured in pyproject.toml.
lint: bootstrap
	@$(VENV)/bin/ruff check --quiet .
	@$(VENV)/bin/ruff format --check --quiet .

# ---- portability: the portable core, clang, aarch64 ----
# Our own builds treat warnings as errors; what pip builds for a user does not.
DEV_CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=Release -DDURNEL_WERROR=ON
DEV_CMAKE := $(DEV_CMAKE_FLAGS) -DPython3_EXECUTABLE=$(abspath $(VPY))

# The path macOS and Windows take (emulated futex, getentropy), built and tested on Linux.
test-portable: bootstrap
	@cmake -S . -B build-portable $(DEV_CMAKE) -DDURNEL_PORTABLE=ON >/dev/null
	@cmake --build build-portable
	ctest --test-dir build-portable --output-on-failure
	DURNEL_ENGINES=native PYTHONPATH=$(abspath build-portable):$(abspath src) $(VPY) -m pytest -q -p no:cacheprovider tests/python $(PYTEST_ARGS)
	@DURNEL_SANITIZE_STAGES=tsan-portable VENV=$(VENV) scripts/sanitize.sh

test-clang: bootstrap
	@BOOTSTRAP_EXTRA_PACKAGES=clang PYTHON=$(PYTHON) VENV=$(VENV) scripts/bootstrap.sh
	@cmake -S . -B build-clang $(DEV_CMAKE) -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build build-clang
	ctest --test-dir build-clang --output-on-failure

# Two builds of the committed tree in different directories give the same module bytes.
test-reproducible: bootstrap
	@VENV=$(VENV) scripts/check-reproducible.sh

AARCH64_TOOLCHAIN := cmake/aarch64-linux-gnu.cmake
AARCH64_PYTHON    := build-aarch64/bin/python3

wheel-aarch64: bootstrap
	@BOOTSTRAP_EXTRA_PACKAGES="g++-aarch64-linux-gnu qemu-user" PYTHON=$(PYTHON) VENV=$(VENV) scripts/bootstrap.sh
	@scripts/arm64-sysroot.sh build-aarch64/sysroot
	@scripts/wheel-aarch64.sh

test-aarch64: wheel-aarch64
	@cmake -S . -B build-aarch64/cmake $(DEV_CMAKE_FLAGS) --no-warn-unused-cli --toolchain $(AARCH64_TOOLCHAIN) >/dev/null
	@cmake --build build-aarch64/cmake
	ctest --test-dir build-aarch64/cmake --output-on-failure
	@rm -rf build-aarch64/site && mkdir -p build-aarch64/site
	@$(VPY) -m zipfile -e $$(ls dist-aarch64/durnel_core-*-manylinux_*_aarch64.whl) build-aarch64/site
	DURNEL_ENGINES=native PYTHONPATH=$(abspath build-aarch64/site) $(AARCH64_PYTHON) -m pytest -q -p no:cacheprovider tests/python $(PYTEST_ARGS)
# ---- end of portability ----

clean:
	rm -rf $(BUILD) build-wheel dist build-portable build-tsan-portable build-clang build-aarch64 dist-aarch64
