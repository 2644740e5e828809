# The README's commands, each a call of tools/run.py: demo, test (every cell
# of tools/targets.py; ALLOW_MISSING=1 lists the cells whose interpreter
# cannot be made here as SKIPPED instead of failing; CELLS="3.8:* arm64-*"
# picks cells by name), test-quick (3.8 under pydantic 2), tsan, dist, bench.
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
