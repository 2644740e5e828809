"""An application that embeds CPython and restarts it: every runtime gets a
complete module of its own.

tests/embedding/host.c (built beside the probe, CALLBACK_MODEL_PROBE_DIR/../embed)
runs one script in several rounds, each between Py_InitializeEx and
Py_FinalizeEx.  The pydantic those runtimes import must itself survive a
restart, which is tried first with pydantic alone: this environment's
pydantic where it does (pydantic 2 on 3.9 to 3.13, pure-Python pydantic
1.10), else the pure-Python pydantic 1.10 in CALLBACK_MODEL_EMBED_SITE (for
pydantic 2 on 3.8, whose pydantic-core initialises once per process; on 3.14
and 3.15, where a second runtime cannot import its BaseModel; and compiled
pydantic 1.10).
"""
import json
import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from conftest import CHILD_PRELUDE, MODULE_ROOT, PROBE_DIR, TB_FUNCTION, spawn

HOST = os.path.join(os.path.dirname(os.path.abspath(PROBE_DIR or ".")), "embed",
                    "embed_host.exe" if sys.platform == "win32" else "embed_host")
GUARD_TEXT = ("Interpreter change detected - this module can only be loaded into one "
              "interpreter per process.")


PYDANTIC_ALONE = """
import sys
from pydantic import BaseModel
class Record(BaseModel):
    status: str
assert Record(status=sys.argv[1]).status == sys.argv[1]
"""


def host_env(path, scenario=""):
    env = dict(os.environ, EMBED_SCENARIO=scenario, PYTHONPATH=path, PYTHONHOME=sys.base_prefix,
               PYTHONDONTWRITEBYTECODE="1")
    if scenario == "exit_table_full":
        env["EMBED_TAKE_EXIT_SLOTS"] = "1"
    if sys.platform == "win32":
        # The interpreter's DLL, for the Windows loader.
        env["PATH"] = sys.base_prefix + os.pathsep + env.get("PATH", "")
    # Leaks of the runtimes themselves are CPython's (each restart leaves
    # some behind); the sanitizer run checks the host's accesses.
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return env


def host(script, rounds, env, timeout=600):
    if not os.path.exists(HOST):
        pytest.fail("the embedding host is not built (%s)" % HOST)
    return spawn([HOST, str(script), str(rounds)], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                 universal_newlines=True, timeout=timeout)


def round_ends(proc):
    return [l.split(",")[:2] for l in proc.stdout.splitlines() if l.startswith("round ")]


def clean_ends(rounds):
    return [["round %d: script 0" % n, " finalize 0"] for n in range(1, rounds + 1)]


@pytest.fixture(scope="module")
def runtime_path(tmp_path_factory):
    """What the host's runtimes import from: the module under test, then a
    pydantic that survives a restart, then this environment's packages."""
    own = [os.path.abspath(MODULE_ROOT)] if MODULE_ROOT else []
    packages = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    packages += sorted({sysconfig.get_paths()["purelib"], sysconfig.get_paths()["platlib"]})
    script = tmp_path_factory.mktemp("embed") / "pydantic_alone.py"
    script.write_text(PYDANTIC_ALONE)
    candidates = [packages]
    if os.environ.get("CALLBACK_MODEL_EMBED_SITE"):
        candidates.append([os.path.abspath(os.environ["CALLBACK_MODEL_EMBED_SITE"])] + packages)
    for candidate in candidates:
        path = os.pathsep.join(own + candidate)
        if round_ends(host(script, 2, host_env(path))) == clean_ends(2):
            return path
    pytest.skip("no pydantic here survives a restart of the runtime (CALLBACK_MODEL_EMBED_SITE names none)")


# Each round reports one RESULT line: what it did, and what it got.
SCRIPT = CHILD_PRELUDE + textwrap.dedent("""
    import importlib, os, types
    ROUND = int(sys.argv[1])
    def use():
        import pydantic
        m = importlib.import_module(FULL_NAME)
        M = m.VelTarnCallbackModel
        good = M(procedure="p", status="done", msg="m", successful={"round": ROUND}, failed={})
        try:
            M(procedure="p", status=["x"], msg="m", successful={}, failed={})
            bad = None
        except pydantic.ValidationError as exc:
            bad = [list(e["loc"]) for e in exc.errors()]
        return dict(round=ROUND, good=good.successful, bad=bad, module=M.__module__, test=m.__test__)
    def attempt(code):
        try:
            code()
            return None
        except ImportError as exc:
            return [type(exc).__name__, str(exc), module_entries(exc)]
    scenario = os.environ["EMBED_SCENARIO"]
    if scenario == "rounds" or ROUND > 1:
        result(**use())
    elif scenario == "import_fails":
        sys.modules["pydantic"] = None
        result(round=ROUND, error=attempt(lambda: importlib.import_module(FULL_NAME)))
    elif scenario == "exit_table_full":
        # Other extensions have taken every Py_AtExit slot (the host took them).
        result(taken=int(sys.argv[2]) > 0, **use())
    elif scenario == "thread_left_inside":
        # A daemon thread's import is still inside the exec (its pydantic
        # never finishes) when the runtime ends.
        import threading
        inside = threading.Event()
        class Stuck(types.ModuleType):
            def __getattr__(self, name):
                inside.set()
                threading.Event().wait()
        sys.modules["pydantic"] = Stuck("pydantic")
        threading.Thread(target=lambda: importlib.import_module(FULL_NAME), daemon=True).start()
        result(round=ROUND, inside=inside.wait(60))
    elif scenario == "sub_interpreter_first":
        sub = run_in_sub_interpreter(
            "import sys, types\\n"
            "sys.modules['pydantic'] = fake = types.ModuleType('pydantic')\\n"
            "fake.BaseModel = type('BaseModel', (), {})\\n"
            "import vel_tarn.server.misc.models.callback_model")
        result(round=ROUND, sub=sub, error=attempt(lambda: importlib.import_module(FULL_NAME)))
""")


def run_host(tmp_path, runtime_path, scenario, rounds, timeout=600):
    script = tmp_path / "rounds.py"
    script.write_text(SCRIPT)
    proc = host(script, rounds, host_env(runtime_path, scenario), timeout)
    results = [json.loads(l[len("RESULT "):]) for l in proc.stdout.splitlines() if l.startswith("RESULT ")]
    assert proc.returncode == 0 and round_ends(proc) == clean_ends(rounds), proc.stdout + proc.stderr
    return results


def working(n):
    from conftest import FULL_NAME
    return {"round": n, "good": {"round": n}, "bad": [["status"]], "module": FULL_NAME, "test": {}}


def test_every_runtime_of_a_restarting_host_gets_a_working_module(tmp_path, runtime_path):
    assert run_host(tmp_path, runtime_path, "rounds", 3) == [working(n) for n in (1, 2, 3)]


def test_a_runtime_whose_import_failed_is_followed_by_one_that_works(tmp_path, runtime_path):
    first, second = run_host(tmp_path, runtime_path, "import_fails", 2)
    assert first == {"round": 1, "error": ["ModuleNotFoundError", "import of pydantic halted; None in sys.modules",
                                           [[TB_FUNCTION, 20]]]}
    assert second == working(2)


def test_the_interpreter_pinned_in_one_runtime_is_forgotten_with_it(tmp_path, runtime_path):
    # A sub-interpreter pins the module in the first runtime, so its main
    # interpreter is refused; the next runtime starts over.
    first, second = run_host(tmp_path, runtime_path, "sub_interpreter_first", 2)
    assert first == {"round": 1, "sub": None, "error": ["ImportError", GUARD_TEXT, []]}
    assert second == working(2)


def test_a_runtime_that_ends_with_no_exit_slot_left_or_with_a_thread_inside_the_exec_is_followed_by_one_that_works(
        tmp_path, runtime_path):
    # Neither needs a Py_AtExit slot, nor waits on what the ended runtime's
    # thread holds.
    full, _ = run_host(tmp_path, runtime_path, "exit_table_full", 2)
    assert full == dict(working(1), taken=True)
    left, second = run_host(tmp_path, runtime_path, "thread_left_inside", 2, timeout=120)
    assert left == {"round": 1, "inside": True} and second == working(2)
