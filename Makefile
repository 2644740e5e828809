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
	    -DPython_EXECUTABLE=$(CURDIR)/$(PY) -DCALLBACK_MODEL_PROBE=ON >/dev/null
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

test: test-pydantic2 test-pydantic1

clean:
	rm -rf build $(VENV) $(VENV1)
