# Entry points for newcomers and CI. Every target installs what it needs first.
#
#   make demo       build the module, run examples/demo.py and examples/lease_takeover.py
#   make test       C++ tests (ctest), then the Python suite against the wheel under
#                   CPython 3.9 to 3.13, stubtest and the stable-ABI checks
#   make wheel      dist/durnel_core-<version>-cp39-abi3-linux_<arch>.whl (pip wheel .)
#   make bench      scripts/bench.sh
#   make sanitize   scripts/sanitize.sh
#   make test-quick the Python suite against build/ with .venv's Python only
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
PYTEST_ARGS ?=

VERSION := ${shell sed -n 's/^project(durnel_core .*VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt}
WHEEL   := dist/durnel_core-$(VERSION)-cp39-abi3-linux_$(shell uname -m).whl
WHEEL_INPUTS := CMakeLists.txt pyproject.toml README.md $(wildcard src/core/* src/python/*)

.PHONY: all bootstrap build wheel test test-core test-python test-quick demo bench sanitize clean
.PHONY: test-portable test-clang test-reproducible wheel-aarch64 test-aarch64

all: build

bootstrap:
	@PYTHON=$(PYTHON) VENV=$(VENV) scripts/bootstrap.sh

build: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DDURNEL_WERROR=ON -DPython3_EXECUTABLE=$(abspath $(VPY)) >/dev/null
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

test: test-core test-python test-portable test-clang test-reproducible

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

# ---- portability: the portable core, clang, aarch64 ----
# Our own builds treat warnings as errors; what pip builds for a user does not.
DEV_CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=Release -DDURNEL_WERROR=ON
DEV_CMAKE := $(DEV_CMAKE_FLAGS) -DPython3_EXECUTABLE=$(abspath $(VPY))

# The path macOS and Windows take (emulated futex, getentropy), built and tested on Linux.
test-portable: bootstrap
	@cmake -S . -B build-portable $(DEV_CMAKE) -DDURNEL_PORTABLE=ON >/dev/null
	@cmake --build build-portable
	ctest --test-dir build-portable --output-on-failure
	PYTHONPATH=$(abspath build-portable) $(VPY) -m pytest -q -p no:cacheprovider tests/python $(PYTEST_ARGS)
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
	PYTHONPATH=$(abspath build-aarch64/site) $(AARCH64_PYTHON) -m pytest -q -p no:cacheprovider tests/python $(PYTEST_ARGS)
# ---- end of portability ----

clean:
	rm -rf $(BUILD) build-wheel dist build-portable build-tsan-portable build-clang build-aarch64 dist-aarch64
