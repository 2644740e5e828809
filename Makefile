# make demo        build, install and run the example server code (Python 3.8)
# make test        every cell of the matrix tools/targets.py declares, two at a time,
#                  after provisioning their interpreters (once per machine, in a
#                  cache outside the clone); ALLOW_MISSING=1 lists the cells whose
#                  interpreter cannot be made here as SKIPPED instead of failing
# make test-quick  the 3.8 suite alone, under pydantic 2
# make tsan        the concurrency tests under ThreadSanitizer alone
# make dist        the release files, in dist/
# make bench       the README's figures
# tools/run.py runs all of them; CELLS="3.8:* arm64-*" picks cells by name.

RUN := python3 tools/run.py
.PHONY: demo test test-quick tsan dist bench clean
.DEFAULT_GOAL := demo

demo:
	$(RUN) demo
test:
	$(RUN) test $(if $(ALLOW_MISSING),--allow-missing) $(CELLS)
test-quick:
	$(RUN) test 3.8:pydantic2
tsan:
	$(RUN) test '3.13t-tsan:*'
dist:
	$(RUN) dist
bench:
	$(RUN) bench
clean:
	rm -rf build .venv dist
