"""Exact reference totals under a debug interpreter (sys.gettotalrefcount).

Each scenario repeats one import outcome in a single fresh interpreter and
asserts that, after warm-up, the process-wide reference total is unchanged
by every further repetition: a failed import at each line and of each kind,
a removal from sys.modules followed by a re-import, and a reload.  Stand-in
pydantic modules keep pydantic's own caches out of the count.
"""
import sys

import pytest

from conftest import run_python
from test_body import CLASS_FAILURES, STAND_IN_PYDANTIC

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug interpreter")

WARM_UP = 4
MEASURED = 6

# SETUP prepares the process once; STEP is one repetition.
REPEAT = """
import gc, importlib, sys, types
%(stand_in)s
class PlainBase:
    pass
stand_in_pydantic(PlainBase)
%(setup)s
def attempt():
%(step)s
def total():
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount()
errors = set()
for _ in range(%(warm_up)d):
    attempt()
# Every name the loop binds exists beforehand, so the loop adds no entry.
deltas, before, i = [0] * %(measured)d, 0, 0
for i in range(%(measured)d):
    before = total()
    attempt()
    deltas[i] = total() - before
result(deltas=deltas, errors=sorted(set(errors)))
"""

FAILING_STEP = """
    try:
        importlib.import_module(FULL_NAME)
        errors.add("no failure")
    except BaseException as exc:
        errors.add("%s: %s at %s" % (type(exc).__name__, exc, module_entries(exc)))
        del exc
    sys.modules.pop(FULL_NAME, None)
"""


def repeat(setup, step=FAILING_STEP):
    r = run_python(REPEAT % dict(stand_in=STAND_IN_PYDANTIC, setup=setup, step=step,
                                 warm_up=WARM_UP, measured=MEASURED))
    return r["deltas"], r["errors"]


IMPORT_FAILURES = {
    "line_1_zlib_blocked": ("""
sys.modules["zlib"] = None
""", "ImportError: Failed to import 'zlib.decompress'", "[]"),
    "line_1_zlib_without_decompress": ("""
sys.modules["zlib"] = types.ModuleType("zlib")
""", "ImportError: Failed to import 'zlib.decompress'", "[]"),
    "line_18_typing_without_dict": ("""
import typing
fake = types.ModuleType("typing"); fake.Any = typing.Any
sys.modules["typing"] = fake
""", "ImportError: cannot import name Dict", "18"),
    "line_20_pydantic_missing": ("""
sys.modules["pydantic"] = None
""", "ModuleNotFoundError: import of pydantic halted", "20"),
    "line_20_pydantic_without_base_model": ("""
del stand_in_pydantic(None).BaseModel
""", "ImportError: cannot import name BaseModel", "20"),
}
IMPORT_FAILURES.update({
    "line_23_" + name: (setup, kind + ":", "23") for name, (setup, kind, _) in CLASS_FAILURES.items()
})


@pytest.mark.parametrize("name", list(IMPORT_FAILURES))
def test_each_failed_import_leaves_the_total_unchanged(name):
    setup, error, line = IMPORT_FAILURES[name]
    deltas, errors = repeat(setup)
    assert len(errors) == 1 and errors[0].startswith(error), errors
    assert errors[0].endswith(" at []" if line == "[]" else ", %s)]" % line), errors
    assert deltas == [0] * MEASURED


def test_removal_and_reimport_leaves_the_total_unchanged():
    deltas, errors = repeat("""
first = importlib.import_module(FULL_NAME)
""", step="""
    del sys.modules[FULL_NAME]
    if importlib.import_module(FULL_NAME) is not first:
        errors.add("a new module object")
""")
    assert errors == [] and deltas == [0] * MEASURED


def test_reload_leaves_the_total_unchanged():
    deltas, errors = repeat("""
first = importlib.import_module(FULL_NAME)
""", step="""
    if importlib.reload(first) is not first:
        errors.add("a new module object")
""")
    assert errors == [] and deltas == [0] * MEASURED

