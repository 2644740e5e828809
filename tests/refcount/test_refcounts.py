"""Exact reference totals under a debug interpreter (sys.gettotalrefcount).

Each scenario repeats one import outcome in a single fresh interpreter: a
failed import at each line and of each kind, a removal from sys.modules
followed by a re-import, and a reload.  Stand-in pydantic modules keep
pydantic's own caches out of the count.

Up to 3.13 the process-wide total must be unchanged, exactly, by every
repetition after warm-up.  From 3.14 the interpreter's import system drifts
by itself, so the same scenario also drives refcount_control (a minimal
module of the same shape, built beside the module, CALLBACK_MODEL_PROBE_DIR)
in the same process, alternating with the module, and the module must change
the total by exactly as much as the control does, every time.  Before each
reading the interpreter's internal caches are cleared (the type cache holds
strong references to the names last looked up, so which names sit in it
moves the total by a few, at random) and the garbage collected.
"""
import sys

import pytest

from conftest import run_python
from test_body import CLASS_FAILURES, STAND_IN_PYDANTIC

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug interpreter")

# The interpreters whose own total does not drift: the module's is checked
# against zero there, and against the control's elsewhere.
EXACT = sys.version_info < (3, 14)
WARM_UP = 4 if EXACT else 20
MEASURED = 6 if EXACT else 10

# SETUP prepares the process once; STEP is one repetition, run for the module
# (NAME is its full name) and, from 3.14, for the control (NAME is
# "refcount_control").
REPEAT = """
import gc, importlib, sys, types
%(stand_in)s
class PlainBase:
    pass
stand_in_pydantic(PlainBase)
%(setup)s
def attempt(NAME, errors):
%(step)s
clear = getattr(sys, "_clear_internal_caches", lambda: None)
def total():
    clear()
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount()
names = [FULL_NAME] + ([] if %(exact)s else ["refcount_control"])
errors = {name: set() for name in names}
for _ in range(%(warm_up)d):
    for name in names:
        attempt(name, errors[name])
# Every name the loop binds exists beforehand, so the loop adds no entry,
# and holds an object of the kind it will hold (from 3.12 a small int or None
# is immortal: replacing one by a counted object would add one to the total).
deltas = {name: [0] * %(measured)d for name in names}
before, i, name = total(), 0, names[-1]
for i in range(%(measured)d):
    for name in names:
        before = total()
        attempt(name, errors[name])
        deltas[name][i] = total() - before
result(deltas=deltas[FULL_NAME], control=deltas.get("refcount_control"),
       errors=sorted(errors[FULL_NAME]), control_errors=sorted(errors.get("refcount_control", ())))
"""

FAILING_STEP = """
    try:
        importlib.import_module(NAME)
        errors.add("no failure")
    except BaseException as exc:
        errors.add("%s: %s at %s" % (type(exc).__name__, exc, module_entries(exc)))
        del exc
    sys.modules.pop(NAME, None)
"""


def repeat(setup, step=FAILING_STEP):
    r = run_python(REPEAT % dict(stand_in=STAND_IN_PYDANTIC, setup=setup, step=step, exact=EXACT,
                                 warm_up=WARM_UP, measured=MEASURED))
    if EXACT:
        assert r["deltas"] == [0] * MEASURED, r
    else:
        # The control fails (or re-imports) as the module does, and the
        # module adds nothing to what the interpreter does around it.
        assert len(r["control_errors"]) == len(r["errors"]), r
        assert r["deltas"] == r["control"], r
    return r["errors"]


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
    errors = repeat(setup)
    assert len(errors) == 1 and errors[0].startswith(error), errors
    assert errors[0].endswith(" at []" if line == "[]" else ", %s)]" % line), errors


FIRST = """
first = {name: importlib.import_module(name) for name in [FULL_NAME] + ([] if EXACT else ["refcount_control"])}
"""


def test_removal_and_reimport_leaves_the_total_unchanged():
    errors = repeat(FIRST.replace("EXACT", str(EXACT)), step="""
    del sys.modules[NAME]
    if importlib.import_module(NAME) is not first[NAME]:
        errors.add("a new module object")
""")
    assert errors == []


def test_reload_leaves_the_total_unchanged():
    errors = repeat(FIRST.replace("EXACT", str(EXACT)), step="""
    if importlib.reload(first[NAME]) is not first[NAME]:
        errors.add("a new module object")
""")
    assert errors == []

