# make demo        build, install and run the example server code (Python 3.8)
# make test        every test suite on every CPython 3.8-3.13 found, the
#                  sanitizers, memcheck, exact reference counts and Windows
# make test-quick  the 3.8 suite alone, under pydantic 2
# make bench       import, instruction, throughput and size figures (3.8)
#
# PYTHONS="/path/python3.X ..." names the interpreters to test instead of
# searching; PYTHON=/path/to/python3.X stands for its own version (and picks
# the demo's interpreter).

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := demo
.DELETE_ON_ERROR:
.SECONDEXPANSION:
.SECONDARY:

SUPPORTED := 3.8 3.9 3.10 3.11 3.12 3.13
FOUND := $(shell tools/find-pythons)
VERSIONS := $(foreach e,$(FOUND),$(firstword $(subst =, ,$(e))))
MISSING := $(filter-out $(VERSIONS),$(SUPPORTED))
NEWEST := $(lastword $(VERSIONS))
# The environment whose build tools (cmake, ninja) the other builds use.
TOOL_VENV := .venv/$(firstword $(VERSIONS))
# The demo and the benchmarks run where the servers do: 3.8, unless PYTHON
# names another interpreter.
DEMO_VERSION := $(if $(PYTHON),$(shell "$(PYTHON)" -c 'import sys; print("%d.%d" % sys.version_info[:2])'),3.8)

PIP_OPT := --disable-pip-version-check --quiet
SOURCES := CMakeLists.txt pyproject.toml $(wildcard server/misc/models/*) \
           $(wildcard support/*) $(wildcard tools/*) $(wildcard tests/probe/*)

# .venv/3.X holds pydantic 2, the test tools and the build tools and builds
# the wheel; .venv/3.X-pydantic1 holds pydantic 1.10.
version_of = $(firstword $(subst -, ,$(1)))

.PHONY: demo test test-quick bench wheel probe clean check-tools summary dist windows suite-refcount suite-windows suite-dist

check-tools:
	@command -v c++ >/dev/null 2>&1 || { echo "No C++ compiler found: install g++ (apt-get install g++)." >&2; exit 1; }

.venv/%/.deps: requirements/build.txt requirements/test.txt requirements/pydantic2.txt requirements/pydantic1.txt | check-tools
	@v=$(call version_of,$*); py=$$(tools/find-pythons --one $$v); \
	[ -x .venv/$*/bin/python ] || "$$py" -m venv .venv/$*
	@case "$*" in \
	    *-pydantic1) reqs="-r requirements/test.txt -r requirements/pydantic1.txt" ;; \
	    *) reqs="-r requirements/build.txt -r requirements/test.txt -r requirements/pydantic2.txt" ;; \
	esac; \
	echo ".venv/$*: installing $$reqs"; .venv/$*/bin/python -m pip install $(PIP_OPT) $$reqs
	@touch $@

# The wheel of each version, built in that version's environment.
build/%/dist/.built: .venv/%/.deps $(SOURCES)
	rm -rf build/$*/dist
	PATH="$(CURDIR)/.venv/$*/bin:$$PATH" .venv/$*/bin/python -m pip wheel $(PIP_OPT) \
	    --no-build-isolation --no-deps -w build/$*/dist .
	@touch $@

.venv/%/.installed: .venv/%/.deps build/$$(call version_of,$$*)/dist/.built
	.venv/$*/bin/python -m pip install $(PIP_OPT) --force-reinstall --no-deps build/$(call version_of,$*)/dist/*.whl
	@touch $@

# The test build: the module and the test-only probe, from the same sources.
build/%/test/.built: .venv/%/.deps $(SOURCES)
	PATH="$(CURDIR)/.venv/$*/bin:$$PATH" cmake -S . -B build/$*/test -G Ninja \
	    -DPython_EXECUTABLE=$(CURDIR)/.venv/$*/bin/python -DCALLBACK_MODEL_PROBE=ON -DCALLBACK_MODEL_BENCH=ON >/dev/null
	PATH="$(CURDIR)/.venv/$*/bin:$$PATH" cmake --build build/$*/test
	@touch $@

# The module and the probe with AddressSanitizer and UBSan.
build/%/asan/.built: .venv/%/.deps $(SOURCES)
	PATH="$(CURDIR)/.venv/$*/bin:$$PATH" cmake -S . -B build/$*/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DPython_EXECUTABLE=$(CURDIR)/.venv/$*/bin/python -DCALLBACK_MODEL_PROBE=ON -DCALLBACK_MODEL_SANITIZE=ON >/dev/null
	PATH="$(CURDIR)/.venv/$*/bin:$$PATH" cmake --build build/$*/asan
	@touch $@

wheel: build/$(DEMO_VERSION)/dist/.built
probe: build/$(DEMO_VERSION)/test/.built

# The HTTP demo's FastAPI and uvicorn go into the demo environment only.
.venv/%/.demo-deps: requirements/demo.txt .venv/%/.deps
	.venv/$*/bin/python -m pip install $(PIP_OPT) -r requirements/demo.txt
	@touch $@

demo: .venv/$(DEMO_VERSION)/.installed .venv/$(DEMO_VERSION)/.demo-deps
	.venv/$(DEMO_VERSION)/bin/python examples/server.py
	.venv/$(DEMO_VERSION)/bin/python examples/http_service.py

# The demo's own suite also runs the HTTP round trip.
suite-$(DEMO_VERSION)-pydantic2: .venv/$(DEMO_VERSION)/.demo-deps

# The installed wheel under pydantic 2 and 1.10, with the probe of the test build.
suite-%-pydantic2: .venv/%/.installed build/%/test/.built
	@echo "=== CPython $*, pydantic 2"
	CALLBACK_MODEL_WHEEL_DIR=build/$*/dist CALLBACK_MODEL_PROBE_DIR=build/$*/test/probe \
	    .venv/$*/bin/python -m pytest -q -p no:cacheprovider tests

suite-%-pydantic1: .venv/%-pydantic1/.installed build/%/test/.built
	@echo "=== CPython $*, pydantic 1.10"
	CALLBACK_MODEL_WHEEL_DIR=build/$*/dist CALLBACK_MODEL_PROBE_DIR=build/$*/test/probe \
	    .venv/$*-pydantic1/bin/python -m pytest -q -p no:cacheprovider tests

# The whole module suite against the sanitizer build, except the wheel and
# typing tests, which never load that build, and the HTTP demo, whose web
# stack (asyncio, uvicorn's threads) leaves blocks of its own at exit.  The
# interpreter is not sanitized: the runtime is preloaded, the plain allocator
# makes every object a malloc block, and full unwinding lets the suppressions
# (interpreter-only, each explained; per version in lsan-3.X.supp) match.
suite-%-asan: build/%/asan/.built .venv/%/.installed
	@echo "=== CPython $*, AddressSanitizer and UBSan"
	@asan=$$(c++ -print-file-name=libasan.so); [ -f "$$asan" ] || { echo "No AddressSanitizer runtime: install libasan (apt-get install libasan8)." >&2; exit 1; }; \
	cat tests/sanitizers/lsan.supp $(wildcard tests/sanitizers/lsan-$*.supp) > build/$*/asan/lsan.supp; \
	LD_PRELOAD="$$asan" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/build/$*/asan/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	CALLBACK_MODEL_ROOT=build/$*/asan/root CALLBACK_MODEL_PROBE_DIR=build/$*/asan/probe \
	.venv/$*/bin/python -m pytest -q -p no:cacheprovider tests --ignore tests/test_wheel.py --ignore tests/test_typing.py \
	    --deselect tests/test_model.py::test_http_demo_answers_200_with_the_record_or_422_with_the_errors

# memcheck over the import, a validation and the failure scenarios.
suite-%-memcheck: build/%/test/.built .venv/%/.installed
	@echo "=== CPython $*, valgrind memcheck"
	@if ! command -v valgrind >/dev/null 2>&1; then \
	    if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	        echo "valgrind not found: installing it from the Debian packages"; \
	        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null; \
	    else \
	        echo "SKIPPED: valgrind is not installed (install valgrind to run memcheck)." | tee -a build/skipped.txt; exit 0; \
	    fi; \
	fi; \
	.venv/$*/bin/python tests/sanitizers/memcheck.py build/$*/test/root

# Reference totals under Debian's debug interpreter: the module built for it
# and the reference-total suite run in it.
DEBUG_PYTHON ?= /usr/bin/python3.11-dbg
suite-refcount: $(TOOL_VENV)/.deps
	@echo "=== $(DEBUG_PYTHON), exact reference counts"
	@if ! [ -x $(DEBUG_PYTHON) ] || ! [ -f /usr/include/python3.11d/Python.h ]; then \
	    if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	        echo "python3.11-dbg not found: installing it from the Debian packages"; \
	        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3.11-dbg python3.11-dev python3.11-venv >/dev/null; \
	    fi; \
	fi; \
	if ! [ -x $(DEBUG_PYTHON) ]; then \
	    echo "SKIPPED: exact reference counts ($(DEBUG_PYTHON) is not installed; install python3.11-dbg to run them)." | tee -a build/skipped.txt; exit 0; \
	fi; \
	[ -x .venv/3.11d/bin/python ] || $(DEBUG_PYTHON) -m venv .venv/3.11d; \
	[ -f .venv/3.11d/.deps ] || { .venv/3.11d/bin/python -m pip install $(PIP_OPT) -r requirements/test.txt && touch .venv/3.11d/.deps; }; \
	PATH="$(CURDIR)/$(TOOL_VENV)/bin:$$PATH" cmake -S . -B build/3.11d -G Ninja -DPython_EXECUTABLE=$(DEBUG_PYTHON) >/dev/null; \
	PATH="$(CURDIR)/$(TOOL_VENV)/bin:$$PATH" cmake --build build/3.11d >/dev/null; \
	CALLBACK_MODEL_ROOT=build/3.11d/root .venv/3.11d/bin/python -m pytest -q -p no:cacheprovider tests/refcount

# The Windows module for each Windows interpreter PyPI carries (3.8 to 3.12),
# cross-compiled with mingw-w64 against the headers of the interpreter of the
# same version found here, and its suites in the Windows CPython under Wine.
windows: $(TOOL_VENV)/.deps
	PATH="$(CURDIR)/$(TOOL_VENV)/bin:$$PATH" $(TOOL_VENV)/bin/python tools/windows.py build $(FOUND)

suite-windows: $(TOOL_VENV)/.deps
	@echo "=== Windows CPython under Wine"
	PATH="$(CURDIR)/$(TOOL_VENV)/bin:$$PATH" $(TOOL_VENV)/bin/python tools/windows.py test $(FOUND)

# Release files: make dist writes dist/ (see tools/dist.py).
$(TOOL_VENV)/.dist-deps: requirements/dist.txt $(TOOL_VENV)/.deps
	$(TOOL_VENV)/bin/python -m pip install $(PIP_OPT) -r requirements/dist.txt
	@touch $@

BUILD_PYTHONS := $(foreach v,$(VERSIONS),$(v)=$(CURDIR)/.venv/$(v)/bin/python)
dist: $(TOOL_VENV)/.dist-deps $(foreach v,$(VERSIONS),.venv/$(v)/.deps)
	PATH="$(CURDIR)/$(TOOL_VENV)/bin:$$PATH" $(TOOL_VENV)/bin/python tools/dist.py dist $(BUILD_PYTHONS)

# Installs of the release files as a user makes them, their metadata, and two
# dist runs from clean clones compared byte for byte.
suite-dist: dist
	@echo "=== Release files"
	CALLBACK_MODEL_DIST=$(CURDIR)/dist CALLBACK_MODEL_PYTHONS="$(FOUND)" CALLBACK_MODEL_BUILD_PYTHONS="$(BUILD_PYTHONS)" \
	    PATH="$(CURDIR)/$(TOOL_VENV)/bin:$$PATH" $(TOOL_VENV)/bin/python -m pytest -q -p no:cacheprovider tests/dist

# pydantic 2 and 1.10 everywhere; the sanitizers on 3.8 and the newest
# version; memcheck on 3.8; the debug interpreter; Windows; the release files.
HAVE_38 := $(filter 3.8,$(VERSIONS))
TEST_SUITES := $(foreach v,$(VERSIONS),suite-$(v)-pydantic2 suite-$(v)-pydantic1) \
               $(sort $(if $(HAVE_38),suite-3.8-asan) suite-$(NEWEST)-asan) \
               $(if $(HAVE_38),suite-3.8-memcheck) suite-refcount suite-windows suite-dist

# Two suites at a time (the machine's two cores), each one's output kept together.
JOBS ?= 2
test:
	@mkdir -p build && rm -f build/skipped.txt
	$(MAKE) --no-print-directory -j$(JOBS) --output-sync=target $(TEST_SUITES)
	@$(MAKE) --no-print-directory summary

test-quick: suite-3.8-pydantic2

summary:
	@echo "=== Tested CPython: $(VERSIONS)"
	@for v in $(MISSING); do echo "SKIPPED: CPython $$v (not installed; install it or name it in PYTHONS=)"; done
	@if [ -f build/skipped.txt ]; then awk '!seen[$$0]++' build/skipped.txt; fi

# Figures for the README: import time and instructions, validation
# throughput and library size, beside the plain Python model's.
bench: .venv/3.8/.installed .venv/3.8-pydantic1/.installed build/3.8/test/.built
	.venv/3.8/bin/python benchmarks/bench.py build/3.8/test/bench/empty_module$$(.venv/3.8/bin/python -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))') \
	    $(CURDIR)/.venv/3.8/bin/python $(CURDIR)/.venv/3.8-pydantic1/bin/python

clean:
	rm -rf build .venv dist
