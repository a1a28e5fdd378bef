# Entry points for newcomers and CI. Every target installs what it needs first.
PYTHON ?= python3
VENV   := .venv
BUILD  := build
VPY    := $(VENV)/bin/python

.PHONY: all bootstrap build test test-core test-python demo clean

all: build

bootstrap:
	@PYTHON=$(PYTHON) VENV=$(VENV) scripts/bootstrap.sh

build: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	@cmake --build $(BUILD)

test-core: build
	ctest --test-dir $(BUILD) --output-on-failure

test-python: build
	PYTHONPATH=$(abspath $(BUILD)) $(VPY) -m pytest -q tests/python

test: test-core test-python

demo: build
	PYTHONPATH=$(abspath $(BUILD)) $(VPY) examples/demo.py

clean:
	rm -rf $(BUILD)
