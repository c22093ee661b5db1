# make test    build on CPython 3.8 in .venv and run the tests
# make demo    replay the bundled trading day through the bridge and print the summary (the main job)
# PYTHON=/path/to/python picks another interpreter; VENV=dir another environment.

PYTHON ?= $(firstword $(wildcard $(HOME)/.pyenv/versions/3.8*/bin/python3.8) $(shell command -v python3.8 2>/dev/null) python3)
VENV ?= .venv
BUILD_DIR ?= build/$(notdir $(VENV))
CMAKE_DEFINES ?=
PYTEST_ARGS ?=
VPY := $(VENV)/bin/python

.PHONY: venv install test demo clean

$(VENV)/.deps: pyproject.toml requirements-dev.txt stand_in/pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt \
	    "numpy>=1.21,<1.25; python_version < '3.9'" \
	    "numpy>=1.21,<2.3; python_version >= '3.9' and python_version < '3.13'" \
	    "numpy>=2.1,<2.4; python_version >= '3.13'" \
	    numpy_ringbuffer==0.2.2 click
	touch $@

venv: $(VENV)/.deps

# The stand-ins go in first: the bridge's files land in their package directories.
install: venv
	$(VPY) -m pip install -q --no-deps ./stand_in
	$(VPY) -m pip install -q --no-deps --no-build-isolation \
	    -Cbuild-dir=$(BUILD_DIR) $(foreach d,$(CMAKE_DEFINES),-Ccmake.define.$(d)) .

test: install
	$(VPY) -m pytest -q $(PYTEST_ARGS) tests

demo: install
	$(VPY) -m pymach.replay replay

clean:
	rm -rf build .venv .venv-* *.egg-info stand_in/build stand_in/*.egg-info
