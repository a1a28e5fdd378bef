# Entry points for newcomers and CI. Every target installs what it needs first; `make demo`
# only the compiler, CMake and the module's build (scripts/bootstrap.sh demo).
#
#   make demo       build the module, run examples/demo.py and examples/lease_takeover.py, then
#                   the same story with four agent processes on a SQLite file
#                   (examples/processes.py; nothing more to install) and examples/waiting.py
#                   (asyncio agents that wait instead of polling), in-process then on SQLite
#   make demo-redis that story on a redis-server that examples/processes.py --redis starts,
#                   then examples/waiting.py --redis (redis-server and redis-py installed if
#                   missing)
#   make test       the linters (lint, lint-cpp), mypy over the package (typecheck), the
#                   documentation site (docs), C++ tests
#                   (ctest), then the nox sessions: the wheel, the suite against it under
#                   CPython 3.9 to 3.13, stubtest, the ABI and packaging checks, the sdist
#                   built by pip in a fresh venv, the cibuildwheel matrix
#   make docs       the documentation site (mkdocs.yml, docs/, the API pages from the
#                   docstrings) into site/ with mkdocs build --strict: a broken link, anchor or
#                   API reference fails it (part of make test)
#   make docs-serve that site on http://127.0.0.1:8000, rebuilt on every edit
#   make lint       ruff check and ruff format --check over the Python sources (part of make test)
#   make typecheck  mypy over src/durnel against the native modules' stubs, as pyproject.toml
#                   configures it (part of make test)
#   make lint-cpp   the C++ sources against .clang-format (the pinned clang-format; part of
#                   make test); make format-cpp rewrites them so
#   make wheel      dist/durnel_core-<version>-cp39-abi3-manylinux_*_<arch>.whl and the sdist
#                   (nox -s wheel: python -m build, auditwheel repair)
#   make bench      scripts/bench.sh
#   make sanitize   scripts/sanitize.sh
#   make test-quick the Python suite against build/ with .venv's Python only
#   make chaos      every engine under random faults for CHAOS_SECONDS each (tests/chaos/run.py;
#                   CHAOS_ENGINES, CHAOS_SEED, CHAOS_NEMESES and CHAOS_WAIT_BOUND pick the
#                   engines, the schedule, the faults and how long a wait may sleep with its
#                   due), the history checked; per engine: operations, faults injected,
#                   violations and the seed
#   make test-chaos the short seeded version of it that make test runs (tests/chaos, pytest)
#   make test-lock-deep  the lock's schedule exploration with a far larger random budget
#   make test-portable  the core without Linux-only calls (build-portable/): C++ tests, the
#                   Python suite once, ThreadSanitizer on the threaded tests (part of make test)
#   make test-clang the C++ tests built with clang++ (build-clang/; part of make test)
#   make test-reproducible  two builds of HEAD in different directories give identical
#                   bytes of each module (part of make test)
#   make wheel-aarch64  dist-aarch64/durnel_core-<version>-cp39-abi3-manylinux_*_aarch64.whl,
#                   cross-compiled with Debian's aarch64 toolchain
#   make test-aarch64   the aarch64 C++ tests and the native modules' Python tests against the
#                   aarch64 wheel, under qemu-user with Debian's arm64 CPython (build-aarch64/)
#   make test-platforms  the core and C++ tests built for macOS (x86_64, arm64) and musl with
#                   the ziglang wheel's clang, for Windows with Debian's MinGW-w64 GCC, the
#                   macOS and musl modules linked and the one export of each checked; the
#                   Windows tests run under wine64, the musl ones natively (build-platforms/,
#                   scripts/test-platforms.sh)
PYTHON ?= python3
VENV   := .venv
BUILD  := build
VPY    := $(VENV)/bin/python
NOX    := $(VENV)/bin/nox
PYTEST_ARGS ?=
# The sessions `make test` runs; `nox -l` describes them.
NOX_SESSIONS := wheel tests stubtest abi sdist matrix

.PHONY: all bootstrap bootstrap-demo build build-module wheel lint test test-core test-python \
        test-quick test-lock-deep demo demo-redis bench sanitize clean chaos test-chaos
.PHONY: docs docs-serve typecheck
.PHONY: test-portable test-clang test-reproducible wheel-aarch64 test-aarch64 test-platforms \
        lint-cpp format-cpp

all: build

bootstrap:
	@PYTHON=$(PYTHON) VENV=$(VENV) scripts/bootstrap.sh test

bootstrap-demo:
	@PYTHON=$(PYTHON) VENV=$(VENV) scripts/bootstrap.sh demo

# Our own builds treat warnings as errors; what pip builds for a user does not.
DEV_CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=Release -DDURNEL_WERROR=ON
DEV_CMAKE := $(DEV_CMAKE_FLAGS) -DPython3_EXECUTABLE=$(abspath $(VPY))

define configure
	@cmake -S . -B $(BUILD) $(DEV_CMAKE) -DDURNEL_BUILD_TESTS=$(1) >/dev/null
endef

build: bootstrap
	$(call configure,ON)
	@cmake --build $(BUILD)

# The modules alone (durnel_core and its snapshot reader), for the demo: no GoogleTest needed.
# A build/ that already has the C++ tests keeps them.
build-module: bootstrap-demo
	$(call configure,$(if $(shell grep -s '^DURNEL_BUILD_TESTS:BOOL=ON' $(BUILD)/CMakeCache.txt),ON,OFF))
	@cmake --build $(BUILD) --target durnel_core durnel_core_snapshot

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

test: lint lint-cpp typecheck docs test-core test-python test-portable test-clang test-reproducible \
      test-chaos

# The tracked C++ sources; the C files (bench/floor, tests/python) keep the C API's own layout.
CPP_SOURCES = $(shell git ls-files '*.h' '*.cpp')

lint-cpp: bootstrap
	@$(VENV)/bin/clang-format --dry-run --Werror $(CPP_SOURCES)
	@echo "lint-cpp: $(words $(CPP_SOURCES)) C++ files match .clang-format"

format-cpp: bootstrap
	@$(VENV)/bin/clang-format -i $(CPP_SOURCES)

# The ShardLockSchedules tests of core_tests (exhaustive for two threads in any case) with
# LOCK_SCHEDULES seeded random schedules per scenario of three or four threads, instead of
# the 10000 that ctest runs. About five minutes with the default (300000 took 81 s).
LOCK_SCHEDULES ?= 1000000
test-lock-deep: build
	DURNEL_SCHEDULES=$(LOCK_SCHEDULES) $(BUILD)/tests/core/core_tests --gtest_filter='ShardLockSchedules.*'

test-quick: build
	PYTHONPATH=$(abspath $(BUILD)):$(abspath src) $(VPY) -m pytest -q tests/python $(PYTEST_ARGS)

# ---- chaos: the workload of tests/chaos under random faults, every engine, the history checked ----
CHAOS_ENGINES ?= inprocess,sqlite,redis,cluster
CHAOS_SECONDS ?= 180
CHAOS_SEED    ?=
CHAOS_NEMESES ?=
CHAOS_WAIT_BOUND ?=
# the short run of make test: every nemesis at least once, about 2.5 minutes for the four
CHAOS_TEST_SECONDS ?= 25
CHAOS_TEST_SEED    ?= 26

chaos: build
	PYTHONPATH=$(abspath $(BUILD)):$(abspath src) $(VPY) tests/chaos/run.py --engines $(CHAOS_ENGINES) \
	  --seconds $(CHAOS_SECONDS) $(if $(CHAOS_SEED),--seed $(CHAOS_SEED)) \
	  $(if $(CHAOS_NEMESES),--nemeses $(CHAOS_NEMESES)) $(if $(CHAOS_WAIT_BOUND),--wait-bound $(CHAOS_WAIT_BOUND))

test-chaos: build
	CHAOS_SECONDS=$(CHAOS_TEST_SECONDS) CHAOS_SEED=$(CHAOS_TEST_SEED) \
	  PYTHONPATH=$(abspath $(BUILD)):$(abspath src) $(VPY) -m pytest -q -p no:cacheprovider tests/chaos $(PYTEST_ARGS)
# ---- end of chaos ----

demo: build-module
	PYTHONPATH=$(abspath $(BUILD)):$(abspath src) $(VPY) examples/demo.py
	PYTHONPATH=$(abspath $(BUILD)):$(abspath src) $(VPY) examples/lease_takeover.py
	PYTHONPATH=$(abspath $(BUILD)):$(abspath src) $(VPY) examples/processes.py
	PYTHONPATH=$(abspath $(BUILD)):$(abspath src) $(VPY) examples/waiting.py
	PYTHONPATH=$(abspath $(BUILD)):$(abspath src) $(VPY) examples/waiting.py --sqlite

demo-redis: build-module
	@VENV=$(VENV) scripts/need-redis.sh
	PYTHONPATH=$(abspath $(BUILD)):$(abspath src) $(VPY) examples/processes.py --redis
	PYTHONPATH=$(abspath $(BUILD)):$(abspath src) $(VPY) examples/waiting.py --redis

bench: bootstrap
	@bash scripts/bench.sh

sanitize: bootstrap
	@bash scripts/sanitize.sh

# Python: ruff's lint rules and its formatting, as configured in pyproject.toml.
lint: bootstrap
	@$(VENV)/bin/ruff check --quiet .
	@$(VENV)/bin/ruff format --check --quiet .

# mypy over the package itself ([tool.mypy] in pyproject.toml); its cache stays in .mypy_cache.
typecheck: bootstrap
	@$(VENV)/bin/mypy

# The documentation site. Material for MkDocs prints a notice about its own future on every
# build; the variable it names silences it.
MKDOCS := NO_MKDOCS_2_WARNING=1 $(VENV)/bin/mkdocs

docs: bootstrap
	@$(MKDOCS) build --strict

docs-serve: bootstrap
	$(MKDOCS) serve

# ---- portability: the portable core, clang, aarch64, the other platforms ----
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
# What the architecture can change: the binding, claims, mailboxes, threads and snapshots on
# the native modules (the engines written in Python run the same on every architecture).
AARCH64_TESTS     := $(addprefix tests/python/,test_module.py test_arguments.py test_claims.py \
                     test_mailboxes.py test_threads.py test_load.py test_snapshot.py)

wheel-aarch64: bootstrap
	@BOOTSTRAP_EXTRA_PACKAGES="g++-aarch64-linux-gnu qemu-user" PYTHON=$(PYTHON) VENV=$(VENV) scripts/bootstrap.sh
	@scripts/arm64-sysroot.sh build-aarch64/sysroot
	@scripts/wheel-aarch64.sh

test-aarch64: wheel-aarch64
	@cmake -S . -B build-aarch64/cmake $(DEV_CMAKE_FLAGS) --no-warn-unused-cli --toolchain $(AARCH64_TOOLCHAIN) >/dev/null
	@cmake --build build-aarch64/cmake
	# a death test's child cannot exec itself under qemu-user (no binfmt): it forks instead
	GTEST_DEATH_TEST_STYLE=fast ctest --test-dir build-aarch64/cmake --output-on-failure
	@rm -rf build-aarch64/site && mkdir -p build-aarch64/site
	@$(VPY) -m zipfile -e $$(ls dist-aarch64/durnel_core-*-manylinux_*_aarch64.whl) build-aarch64/site
	DURNEL_ENGINES=native PYTHONPATH=$(abspath build-aarch64/site) $(AARCH64_PYTHON) -m pytest -q -p no:cacheprovider $(AARCH64_TESTS) $(PYTEST_ARGS)

# Cross builds with the ziglang wheel's clang and, for Windows, Debian's MinGW-w64 GCC (posix
# threads); wine runs the Windows tests, llvm-nm reads the modules' symbol tables.
test-platforms: bootstrap
	@BOOTSTRAP_EXTRA_PACKAGES="wine wine64 llvm g++-mingw-w64-x86-64-posix" PYTHON=$(PYTHON) VENV=$(VENV) scripts/bootstrap.sh
	@DEV_CMAKE_FLAGS="$(DEV_CMAKE_FLAGS)" VENV=$(VENV) scripts/test-platforms.sh
# ---- end of portability ----

clean:
	rm -rf $(BUILD) build-wheel dist build-portable build-tsan-portable build-clang build-aarch64 dist-aarch64 \
	  build-platforms site
