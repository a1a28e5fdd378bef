# Entry points for newcomers and CI. Every target installs what it needs first.
#
#   make demo       build the module, run examples/demo.py and examples/lease_takeover.py
#   make test       C++ tests (ctest), then the Python suite against the wheel under
#                   CPython 3.9 to 3.13, stubtest and the stable-ABI checks
#   make wheel      dist/durnel_core-<version>-cp39-abi3-linux_<arch>.whl (pip wheel .)
#   make bench      scripts/bench.sh
#   make sanitize   scripts/sanitize.sh
#   make test-quick the Python suite against build/ with .venv's Python only
#   make test-lock-deep  the lock's schedule exploration with a far larger random budget
PYTHON ?= python3
VENV   := .venv
BUILD  := build
VPY    := $(VENV)/bin/python
PYTEST_ARGS ?=

VERSION := ${shell sed -n 's/^project(durnel_core .*VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt}
WHEEL   := dist/durnel_core-$(VERSION)-cp39-abi3-linux_$(shell uname -m).whl
WHEEL_INPUTS := CMakeLists.txt pyproject.toml README.md $(wildcard src/core/* src/python/*)

.PHONY: all bootstrap build wheel test test-core test-python test-quick test-lock-deep demo bench sanitize clean

all: build

bootstrap:
	@PYTHON=$(PYTHON) VENV=$(VENV) scripts/bootstrap.sh

build: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	@cmake --build $(BUILD)

# The wheel is rebuilt only when a source, the build or the packaging changed. pip builds it
# in an isolated environment with scikit-build-core from PyPI, driving CMakeLists.txt.
wheel: $(WHEEL)

$(WHEEL): $(WHEEL_INPUTS) | bootstrap
	@mkdir -p dist
	@rm -f dist/durnel_core-*.whl
	@echo "wheel: pip wheel . -> dist/"
	@$(VPY) -m pip wheel . --no-deps --wheel-dir dist --quiet
	@test -f $@ || { echo "wheel: pip did not produce $@"; ls dist; exit 1; }
	@echo "wheel: $@"

test-core: build
	ctest --test-dir $(BUILD) --output-on-failure

# One venv per CPython under build-wheel/venvs, the wheel installed in each, pytest run from a
# scratch directory so that only the installed module can be imported.
test-python: wheel
	@$(VPY) scripts/test-wheel.py --wheel $(WHEEL) -- $(PYTEST_ARGS)

test: test-core test-python

# The ShardLockSchedules tests of core_tests (exhaustive for two threads in any case) with
# LOCK_SCHEDULES seeded random schedules per scenario of three or four threads, instead of
# the 10000 that ctest runs. About five minutes with the default (300000 took 81 s).
LOCK_SCHEDULES ?= 1000000
test-lock-deep: build
	DURNEL_SCHEDULES=$(LOCK_SCHEDULES) $(BUILD)/tests/core/core_tests --gtest_filter='ShardLockSchedules.*'

test-quick: build
	PYTHONPATH=$(abspath $(BUILD)) $(VPY) -m pytest -q tests/python $(PYTEST_ARGS)

demo: build
	PYTHONPATH=$(abspath $(BUILD)) $(VPY) examples/demo.py
	PYTHONPATH=$(abspath $(BUILD)) $(VPY) examples/lease_takeover.py

bench: bootstrap
	@if [ -f scripts/bench.sh ]; then bash scripts/bench.sh; \
	else echo "bench: scripts/bench.sh is not there yet"; exit 1; fi

sanitize: bootstrap
	@if [ -f scripts/sanitize.sh ]; then bash scripts/sanitize.sh; \
	else echo "sanitize: scripts/sanitize.sh is not there yet"; exit 1; fi

clean:
	rm -rf $(BUILD) build-wheel dist
