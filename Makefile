# make demo        build, install and run the example server code (Python 3.8)
# make test        every test suite on every target of tools/targets.py: the
#                  interpreters are provisioned first (once per machine, in a
#                  cache outside the clone), then the matrix runs
# make test-quick  the 3.8 suite alone, under pydantic 2
# make bench       import, instruction, throughput and size figures (3.8), and
#                  the import's instruction ratio on every Linux version
# make tsan        the concurrency tests under ThreadSanitizer alone
# make arm64       the arm64 Linux suites alone (emulated; make test runs
#                  them too)
#
# The targets (versions, platforms, where each interpreter comes from and
# which suites it gets) are declared once, in tools/targets.py; this file
# reads them.  PYTHONS="/path/python3.X ..." names the host interpreters to
# test instead of searching; PYTHON=/path/to/python3.X stands for its own
# version (and picks the demo's interpreter).

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := demo
.DELETE_ON_ERROR:
.SECONDEXPANSION:
.SECONDARY:

TARGETS := python3 tools/targets.py
# Every Linux release interpreter available here, as 3.X=/path (a launcher
# for those that live in a Debian root).
FOUND := $(shell $(TARGETS) found)
VERSIONS := $(foreach e,$(FOUND),$(firstword $(subst =, ,$(e))))
# The arm64 ones (arm64-3.X=/path: a launcher into an emulated Debian root).
FOUND_ARM64 := $(shell $(TARGETS) found linux-aarch64)
ARM64 := $(foreach e,$(FOUND_ARM64),$(firstword $(subst =, ,$(e))))
# The environment whose build tools (cmake, ninja) the other builds use.
TOOL_VENV := .venv/3.8
# The demo and the benchmarks run where the servers do: 3.8, unless PYTHON
# names another interpreter.
DEMO_VERSION := $(if $(PYTHON),$(shell "$(PYTHON)" -c 'import sys; print("%d.%d" % sys.version_info[:2])'),3.8)

PIP_OPT := --disable-pip-version-check --quiet
# Runs a cell's command (the one after it on the line) and records one line
# with the cell's outcome and the command's time, for make test's summary.
CELL = $(TARGETS) cell $@ --
# What a build reads (CMake and ninja track the rest within a build).
SOURCES := CMakeLists.txt pyproject.toml $(wildcard server/misc/models/*) $(wildcard support/*) \
           tools/gen_string_table.py tools/string_entries.txt tools/targets.py $(wildcard tests/probe/*)
# Builds run ninja, which must not try make's jobserver (it cannot join it
# and says so); and a target that lives in a Debian root sees this work tree
# at its own path.
BUILD_ENV := env -u MAKEFLAGS -u MFLAGS
export CALLBACK_MODEL_SANDBOX_BINDS := $(CURDIR)

# .venv/3.X holds pydantic 2, the test tools and the build tools and builds
# the wheel; .venv/3.X-pydantic1 holds pydantic 1.10; .venv/3.Xd, a debug
# interpreter's, the build and test tools alone (its scenarios use stand-ins).
version_of = $(patsubst %-pydantic1,%,$(1))

.PHONY: demo test test-quick bench wheel probe clean check-tools summary dist windows provision tsan arm64 \
        suite-windows suite-dist

check-tools:
	@command -v c++ >/dev/null 2>&1 || { echo "No C++ compiler found: install g++ (apt-get install g++)." >&2; exit 1; }

.venv/%/.deps: requirements/build.txt requirements/test.txt requirements/pydantic2.txt requirements/pydantic1.txt | check-tools
	@[ -x .venv/$*/bin/python ] || $(TARGETS) venv $(call version_of,$*) .venv/$*
	@case "$*" in \
	    *-pydantic1) reqs="-r requirements/test.txt -r requirements/pydantic1.txt" ;; \
	    *d|*-tsan) reqs="-r requirements/build.txt -r requirements/test.txt" ;; \
	    *) reqs="-r requirements/build.txt -r requirements/test.txt -r requirements/pydantic2.txt" ;; \
	esac; \
	echo ".venv/$*: installing $$reqs"; .venv/$*/bin/python -m pip install $(PIP_OPT) $$reqs
	@touch $@

# The wheel of each version, built in that version's environment, in the
# build directory make dist builds its wheel in (so that make dist, which
# waits for it, only relinks: an arm64 build runs emulated and is slow).
build/%/dist/.built: .venv/%/.deps $(SOURCES)
	rm -rf build/$*/dist
	PATH="$(CURDIR)/.venv/$*/bin:$$PATH" $(BUILD_ENV) .venv/$*/bin/python -m pip wheel $(PIP_OPT) \
	    --no-build-isolation --no-deps --config-settings=build-dir=build/release/{wheel_tag} -w build/$*/dist .
	@touch $@

.venv/%/.installed: .venv/%/.deps build/$$(call version_of,$$*)/dist/.built
	.venv/$*/bin/python -m pip install $(PIP_OPT) --force-reinstall --no-deps build/$(call version_of,$*)/dist/*.whl
	@touch $@

# CMake builds of the module (and, with the probe, the test-only probe) from
# the same sources: build/3.X/test, build/3.X/asan (AddressSanitizer and
# UBSan), build/3.Xd/refcount (a debug interpreter's).
# An arm64 target's builds are cross-compiled on this machine with the
# project's toolchain file (tools/targets.py cross says how), with the build
# tools of TOOL_VENV.
cmake_build = $(if $(filter arm64-%,$(1)),$(call cmake_cross_build,$(1),$(2),$(3)),$(call cmake_native_build,$(1),$(2),$(3)))
cmake_native_build = PATH="$(CURDIR)/.venv/$(1)/bin:$$PATH" $(BUILD_ENV) .venv/$(1)/bin/cmake -S . -B $(2) -G Ninja \
	    -DPython_EXECUTABLE=$(CURDIR)/.venv/$(1)/bin/python $(3) >/dev/null && \
	PATH="$(CURDIR)/.venv/$(1)/bin:$$PATH" $(BUILD_ENV) .venv/$(1)/bin/cmake --build $(2) >/dev/null
cmake_cross_build = PATH="$(CURDIR)/$(TOOL_VENV)/bin:$$PATH" $(BUILD_ENV) $(TOOL_VENV)/bin/cmake -S . -B $(2) -G Ninja \
	    $$($(TARGETS) cross $(1)) $(3) >/dev/null && \
	PATH="$(CURDIR)/$(TOOL_VENV)/bin:$$PATH" $(BUILD_ENV) $(TOOL_VENV)/bin/cmake --build $(2) >/dev/null

build/%/test/.built: .venv/%/.deps $(TOOL_VENV)/.deps $(SOURCES)
	$(call cmake_build,$*,build/$*/test,-DCALLBACK_MODEL_PROBE=ON -DCALLBACK_MODEL_BENCH=ON -DCALLBACK_MODEL_EMBED_HOST=ON)
	@touch $@

build/%/asan/.built: .venv/%/.deps $(SOURCES)
	$(call cmake_build,$*,build/$*/asan,-DCMAKE_BUILD_TYPE=Debug -DCALLBACK_MODEL_PROBE=ON -DCALLBACK_MODEL_SANITIZE=ON -DCALLBACK_MODEL_EMBED_HOST=ON)
	@touch $@

# A pure-Python pydantic 1.10 (built from its sdist without Cython): the one
# the embedding test's restarting runtimes use where the environment's own
# pydantic cannot be initialised twice in a process.
build/%/embed-site/.built: .venv/%/.deps requirements/pydantic1.txt
	rm -rf build/$*/embed-site
	SKIP_CYTHON=1 $(BUILD_ENV) .venv/$*/bin/python -m pip install $(PIP_OPT) --no-binary pydantic \
	    --target build/$*/embed-site -r requirements/pydantic1.txt
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
suite-%-pydantic2: .venv/%/.installed build/%/test/.built build/%/embed-site/.built
	@echo "=== CPython $*, pydantic 2"
	CALLBACK_MODEL_WHEEL_DIR=build/$*/dist CALLBACK_MODEL_PROBE_DIR=build/$*/test/probe \
	CALLBACK_MODEL_EMBED_SITE=build/$*/embed-site \
	    $(CELL) .venv/$*/bin/python -m pytest -q -p no:cacheprovider tests

suite-%-pydantic1: .venv/%-pydantic1/.installed build/%/test/.built build/%/embed-site/.built
	@echo "=== CPython $*, pydantic 1.10"
	CALLBACK_MODEL_WHEEL_DIR=build/$*/dist CALLBACK_MODEL_PROBE_DIR=build/$*/test/probe \
	CALLBACK_MODEL_EMBED_SITE=build/$*/embed-site \
	    $(CELL) .venv/$*-pydantic1/bin/python -m pytest -q -p no:cacheprovider tests

# The whole module suite against the sanitizer build, except the wheel and
# typing tests, which never load that build, and the HTTP demo, whose web
# stack (asyncio, uvicorn's threads) leaves blocks of its own at exit.  The
# interpreter is not sanitized: the runtime is preloaded, the plain allocator
# makes every object a malloc block, and full unwinding lets the suppressions
# (interpreter-only, each explained; per version in lsan-3.X.supp) match.
# The runtime is the one of the compiler that built the module (inside the
# Debian root for the versions that live there).
suite-%-asan: build/%/asan/.built .venv/%/.installed build/%/embed-site/.built
	@echo "=== CPython $*, AddressSanitizer and UBSan"
	cat tests/sanitizers/lsan.supp $(wildcard tests/sanitizers/lsan-$*.supp) > build/$*/asan/lsan.supp
	CALLBACK_MODEL_EMBED_SITE=build/$*/embed-site $(CELL) .venv/$*/bin/python tests/sanitizers/asan_run.py build/$*/asan \
	    -m pytest -q -p no:cacheprovider tests --ignore tests/test_wheel.py --ignore tests/test_typing.py \
	    --deselect tests/test_model.py::test_http_demo_answers_200_with_the_record_or_422_with_the_errors

# The concurrency tests under ThreadSanitizer: the module built with it, run
# by a free-threaded interpreter built with it (provisioned once per
# machine, about 10 minutes).  Reports
# that involve the module fail the suite; the interpreter's own are counted.
suite-%-tsan: .venv/%-tsan/.deps
	@echo "=== ThreadSanitizer CPython $*, the concurrency tests"
	$(call cmake_build,$*-tsan,build/$*-tsan,-DCMAKE_BUILD_TYPE=Debug -DCALLBACK_MODEL_TSAN=ON)
	$(CELL) .venv/$*-tsan/bin/python tests/sanitizers/tsan_run.py build/$*-tsan \
	    -m pytest -q -p no:cacheprovider tests/test_robustness.py -k racing

tsan:
	$(TARGETS) provision 3.13t-tsan $(MISSING_OPT)
	$(MAKE) --no-print-directory suite-3.13t-tsan

# The arm64 targets alone (make test runs them with the rest): their roots,
# provisioned once, and their suites under emulation.
arm64:
	$(TARGETS) provision linux-aarch64 $(MISSING_OPT)
	suites="$$($(TARGETS) suites | tr ' ' '\n' | grep '^suite-arm64-' || true)"; \
	if [ -z "$$suites" ]; then echo "No arm64 interpreter here: see the lines above." >&2; exit 1; fi; \
	$(MAKE) --no-print-directory -j$(JOBS) --output-sync=target $$suites

# memcheck over the import, a validation and the failure scenarios.
suite-%-memcheck: build/%/test/.built .venv/%/.installed build/%/embed-site/.built
	@echo "=== CPython $*, valgrind memcheck"
	$(CELL) .venv/$*/bin/python tests/sanitizers/memcheck.py build/$*/test/root build/$*/test/embed/embed_host build/$*/embed-site

# Reference totals under a debug interpreter: the module (and the control
# extension the totals are compared with) built for it, and the reference-total
# suite run in it.
suite-refcount-%: .venv/%/.deps
	@echo "=== debug CPython $*, reference totals"
	$(call cmake_build,$*,build/$*/refcount,-DCALLBACK_MODEL_REFCOUNT_CONTROL=ON)
	CALLBACK_MODEL_ROOT=build/$*/refcount/root CALLBACK_MODEL_PROBE_DIR=build/$*/refcount/control \
	    $(CELL) .venv/$*/bin/python -m pytest -q -p no:cacheprovider tests/refcount

# The Windows module for each Windows target, cross-compiled with mingw-w64
# against the headers of the host interpreter of the same version, and its
# suites in the Windows CPython under Wine.
windows: $(TOOL_VENV)/.deps
	PATH="$(CURDIR)/$(TOOL_VENV)/bin:$$PATH" $(BUILD_ENV) $(TOOL_VENV)/bin/python tools/windows.py build $(FOUND)

suite-windows: $(TOOL_VENV)/.deps
	@echo "=== Windows CPython under Wine"
	PATH="$(CURDIR)/$(TOOL_VENV)/bin:$$PATH" $(BUILD_ENV) $(CELL) $(TOOL_VENV)/bin/python tools/windows.py test $(FOUND)

# Release files: make dist writes dist/ (see tools/dist.py), with the tools
# (build, auditwheel, twine) of the newest CPython of this machine: auditwheel
# repairs the wheels of other platforms (aarch64) only from 3.9 on.
DIST_VENV = .venv/$(shell $(TARGETS) release-tools)
.venv/%/.dist-deps: requirements/dist.txt .venv/%/.deps
	.venv/$*/bin/python -m pip install $(PIP_OPT) -r requirements/dist.txt
	@touch $@

BUILD_PYTHONS = $(foreach v,$(VERSIONS) $(ARM64),$(v)=$(CURDIR)/.venv/$(v)/bin/python)
dist: $$(DIST_VENV)/.dist-deps $$(foreach v,$$(VERSIONS) $$(ARM64),build/$$(v)/dist/.built)
	PATH="$(CURDIR)/$(DIST_VENV)/bin:$$PATH" $(BUILD_ENV) $(DIST_VENV)/bin/python tools/dist.py dist $(BUILD_PYTHONS)

# Installs of the release files as a user makes them, their metadata, and two
# dist runs from clean clones compared byte for byte.
suite-dist: dist
	@echo "=== Release files"
	CALLBACK_MODEL_DIST=$(CURDIR)/dist CALLBACK_MODEL_PYTHONS="$(FOUND) $(FOUND_ARM64)" CALLBACK_MODEL_BUILD_PYTHONS="$(BUILD_PYTHONS)" \
	    PATH="$(CURDIR)/$(DIST_VENV)/bin:$$PATH" $(BUILD_ENV) $(CELL) $(DIST_VENV)/bin/python -m pytest -q -p no:cacheprovider tests/dist

# The interpreters of every target: made available once per machine.  A
# target that cannot be made fails the run, naming it and the cause, unless
# ALLOW_MISSING=1 asks for the rest to run (the missing ones then listed as
# SKIPPED:).
MISSING_OPT := $(if $(ALLOW_MISSING),--allow-missing)
provision:
	$(TARGETS) provision $(MISSING_OPT)

# Two suites at a time (the machine's two cores), each one's output kept
# together; the matrix is the one tools/targets.py declares for the
# interpreters provisioned here.  Every cell runs even when one fails; the
# summary gives one line per cell, with its outcome and time.
JOBS ?= 2
test: provision
	@rm -f build/cells.txt
	$(MAKE) --no-print-directory -k -j$(JOBS) --output-sync=target $$($(TARGETS) suites) || \
	    { $(MAKE) --no-print-directory summary; exit 1; }
	@$(MAKE) --no-print-directory summary

test-quick: suite-3.8-pydantic2

summary:
	@$(TARGETS) summary $(MISSING_OPT)

# Figures for the README: import time and instructions, validation
# throughput and library size, beside the plain Python model's, for every
# Linux version (3.8 in full, the others the import ratio alone); the thread
# figures of free-threaded 3.13; and a soak of 1,000 restarted runtimes on
# the oldest and the newest version.
SOAK_VERSIONS := 3.8 $(lastword $(filter-out %t,$(VERSIONS)))
bench: .venv/3.8/.installed .venv/3.8-pydantic1/.installed build/3.8/test/.built \
       $$(foreach v,$$(VERSIONS),.venv/$$(v)/.installed .venv/$$(v)-pydantic1/.installed) \
       $$(foreach v,$$(SOAK_VERSIONS),build/$$(v)/test/.built build/$$(v)/embed-site/.built)
	.venv/3.8/bin/python benchmarks/bench.py build/3.8/test/bench/empty_module$$(.venv/3.8/bin/python -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))') \
	    $(CURDIR)/.venv/3.8/bin/python $(CURDIR)/.venv/3.8-pydantic1/bin/python
	.venv/3.8/bin/python benchmarks/bench.py --ratios $(foreach v,$(VERSIONS),$(CURDIR)/.venv/$(v)/bin/python $(CURDIR)/.venv/$(v)-pydantic1/bin/python)
	$(foreach v,$(filter %t,$(VERSIONS)),.venv/$(v)/bin/python benchmarks/bench.py --threads $(CURDIR)/.venv/$(v)/bin/python;)
	$(foreach v,$(SOAK_VERSIONS),.venv/$(v)/bin/python benchmarks/bench.py --soak build/$(v)/test/embed/embed_host build/$(v)/embed-site 1000;)

clean:
	rm -rf build .venv dist
