# make demo   build, install and run the example server code
# make test   every test suite: both pydantic lines, the probe, typing,
#             the wheel, sanitizers and valgrind
# make bench  import, instruction, throughput and size figures
#
# PYTHON=/path/to/python3.8 overrides the interpreter that is found.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := demo
.DELETE_ON_ERROR:

VENV    := .venv
VENV1   := .venv-pydantic1
PY      := $(VENV)/bin/python
PY1     := $(VENV1)/bin/python
PIP_OPT := --disable-pip-version-check --quiet
DIST    := build/dist
# The test build: the module and the test-only probe, built from the same sources.
TEST_BUILD := build/test
ASAN_BUILD := build/asan

SOURCES := CMakeLists.txt pyproject.toml $(wildcard server/misc/models/*) \
           $(wildcard support/*) $(wildcard tools/*) $(wildcard tests/probe/*)

.PHONY: demo test test-pydantic2 test-pydantic1 test-asan test-valgrind bench wheel probe clean check-tools

check-tools:
	@command -v c++ >/dev/null 2>&1 || { echo "No C++ compiler found: install g++ (apt-get install g++)." >&2; exit 1; }

# One virtual environment per pydantic line; the first also builds the wheel.
$(VENV)/.deps: requirements/build.txt requirements/test.txt requirements/pydantic2.txt | check-tools
	@py=$$(tools/find-python38) && { [ -x $(PY) ] || "$$py" -m venv $(VENV); }
	$(PY) -m pip install $(PIP_OPT) -r requirements/build.txt -r requirements/test.txt -r requirements/pydantic2.txt
	@touch $@

$(VENV1)/.deps: requirements/test.txt requirements/pydantic1.txt
	@py=$$(tools/find-python38) && { [ -x $(PY1) ] || "$$py" -m venv $(VENV1); }
	$(PY1) -m pip install $(PIP_OPT) -r requirements/test.txt -r requirements/pydantic1.txt
	@touch $@

$(DIST)/.built: $(VENV)/.deps $(SOURCES)
	rm -rf $(DIST)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(PY) -m pip wheel $(PIP_OPT) --no-build-isolation --no-deps -w $(DIST) .
	@touch $@

wheel: $(DIST)/.built

$(VENV)/.installed: $(DIST)/.built
	$(PY) -m pip install $(PIP_OPT) --force-reinstall --no-deps $(DIST)/*.whl
	@touch $@

$(VENV1)/.installed: $(DIST)/.built $(VENV1)/.deps
	$(PY1) -m pip install $(PIP_OPT) --force-reinstall --no-deps $(DIST)/*.whl
	@touch $@

$(TEST_BUILD)/.built: $(VENV)/.deps $(SOURCES)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(TEST_BUILD) -G Ninja \
	    -DPython_EXECUTABLE=$(CURDIR)/$(PY) -DCALLBACK_MODEL_PROBE=ON -DCALLBACK_MODEL_BENCH=ON >/dev/null
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(TEST_BUILD)
	@touch $@

probe: $(TEST_BUILD)/.built

demo: $(VENV)/.installed
	$(PY) examples/server.py

# The installed wheel under each pydantic line, with the probe from the test build.
test-pydantic2: $(VENV)/.installed $(TEST_BUILD)/.built
	CALLBACK_MODEL_PROBE_DIR=$(TEST_BUILD)/probe $(PY) -m pytest -q tests

test-pydantic1: $(VENV1)/.installed $(TEST_BUILD)/.built
	CALLBACK_MODEL_PROBE_DIR=$(TEST_BUILD)/probe $(PY1) -m pytest -q tests

# The module and the probe built with AddressSanitizer and UBSan, under the
# whole suite except the wheel and typing tests, which never load that build.
# The interpreter is not sanitized: the runtime is preloaded, the plain
# allocator makes every object a malloc block, and full unwinding lets the
# suppressions (interpreter-only, each explained) match.
$(ASAN_BUILD)/.built: $(VENV)/.deps $(SOURCES)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DPython_EXECUTABLE=$(CURDIR)/$(PY) -DCALLBACK_MODEL_PROBE=ON -DCALLBACK_MODEL_SANITIZE=ON >/dev/null
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(ASAN_BUILD)
	@touch $@

test-asan: $(ASAN_BUILD)/.built $(VENV)/.installed
	@asan=$$(c++ -print-file-name=libasan.so); [ -f "$$asan" ] || { echo "No AddressSanitizer runtime: install libasan (apt-get install libasan8)." >&2; exit 1; }; \
	LD_PRELOAD="$$asan" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	CALLBACK_MODEL_ROOT=$(ASAN_BUILD)/root CALLBACK_MODEL_PROBE_DIR=$(ASAN_BUILD)/probe \
	$(PY) -m pytest -q -p no:cacheprovider tests --ignore tests/test_wheel.py --ignore tests/test_typing.py

# memcheck over the import, a validation and the failure scenarios.
test-valgrind: $(TEST_BUILD)/.built $(VENV)/.installed
	@if ! command -v valgrind >/dev/null 2>&1; then \
	    if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	        echo "valgrind not found: installing it from the Debian packages"; \
	        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null; \
	    else \
	        echo "valgrind not found: skipping memcheck (install valgrind to run it)."; exit 0; \
	    fi; \
	fi; \
	$(PY) tests/sanitizers/memcheck.py $(TEST_BUILD)/root

# Figures for the README: import time and instructions, validation
# throughput and library size, beside the plain Python model's.
bench: $(VENV)/.installed $(VENV1)/.installed $(TEST_BUILD)/.built
	$(PY) benchmarks/bench.py $(TEST_BUILD)/bench/empty_module$$($(PY) -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))') \
	    $(CURDIR)/$(PY) $(CURDIR)/$(PY1)

test: test-pydantic2 test-pydantic1 test-asan test-valgrind

clean:
	rm -rf build $(VENV) $(VENV1)
