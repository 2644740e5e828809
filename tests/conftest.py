"""Shared helpers.

The module initialises once per process, so every scenario that changes
process-wide state runs in a fresh interpreter through run_python().  The
module under test is the installed one unless CALLBACK_MODEL_ROOT names a
directory holding vel_tarn/server/misc/models/ (a test or sanitizer build).
The probe extension is looked for in CALLBACK_MODEL_PROBE_DIR.
"""
import json
import os
import pathlib
import subprocess
import sys
import textwrap
import time

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent
FULL_NAME = "vel_tarn.server.misc.models.callback_model"
TB_FUNCTION = "init " + FULL_NAME
TB_FILE = "vel_tarn/server/misc/models/callback_model.py"

MODULE_ROOT = os.environ.get("CALLBACK_MODEL_ROOT")
PROBE_DIR = os.environ.get("CALLBACK_MODEL_PROBE_DIR")

# The reference-total suite runs only under a debug interpreter, the PE
# checks only when the Windows build names its modules, and the release
# checks only when make dist names its output.
collect_ignore = []
if not hasattr(sys, "gettotalrefcount"):
    collect_ignore.append("refcount")
if not os.environ.get("CALLBACK_MODEL_PYDS"):
    collect_ignore.append("windows")
if not os.environ.get("CALLBACK_MODEL_DIST"):
    collect_ignore.append("dist")

if MODULE_ROOT:
    sys.path.insert(0, os.path.abspath(MODULE_ROOT))
if PROBE_DIR:
    sys.path.insert(0, os.path.abspath(PROBE_DIR))

# Helpers every child script gets: a traceback summary and a JSON result line.
CHILD_PRELUDE = '''
import json, sys, traceback
FULL_NAME = %r
def tb_entries(exc):
    return [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]
def module_entries(exc):
    return [(n, l) for (n, f, l) in tb_entries(exc) if f == %r]
def result(**kw):
    print("RESULT " + json.dumps(kw))
def run_in_sub_interpreter(code, isolated=False):
    """Runs code in a new sub-interpreter (a legacy one, sharing the GIL,
    unless isolated); returns "Type: message" of what it raised, or None."""
    import os, tempfile
    fd, path = tempfile.mkstemp()
    os.close(fd)
    wrapped = ("try:\\n" + "".join("    " + l + "\\n" for l in code.splitlines()) + "    _r = ''\\n"
               "except BaseException as e:\\n    _r = type(e).__name__ + ': ' + str(e)\\n"
               "with open(%%r, 'w') as _f:\\n    _f.write(_r)\\n" %% path)
    if sys.version_info >= (3, 13):
        import _interpreters as api
        interp = api.create("isolated" if isolated else "legacy")
    elif sys.version_info >= (3, 12):
        import _xxsubinterpreters as api
        interp = api.create(isolated=isolated)
    else:
        import _xxsubinterpreters as api
        assert not isolated, "every interpreter shares the GIL before 3.12"
        interp = api.create()
    try:
        api.run_string(interp, wrapped)
    finally:
        api.destroy(interp)
    with open(path) as f:
        text = f.read()
    os.remove(path)
    return text or None
''' % (FULL_NAME, TB_FILE)


def _load_targets():
    """tools/targets.py, the one list of targets."""
    import importlib.util
    spec = importlib.util.spec_from_file_location("callback_model_targets", str(REPO / "tools" / "targets.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


targets = _load_targets()


def child_env(extra=None):
    env = dict(os.environ)
    paths = [p for p in (MODULE_ROOT, PROBE_DIR) if p]
    paths = [os.path.abspath(p) for p in paths]
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    env.update(extra or {})
    return env


def _under_wine():
    if sys.platform != "win32":
        return False
    import ctypes
    return hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")


UNDER_WINE = _under_wine()
# Wine's CreateProcess now and then fails with ERROR_INTERNAL_ERROR when the
# machine is busy; no child has run then, so starting it again is safe.
WINE_SPAWN_ERROR = 1359


def spawn(args, **kwargs):
    """subprocess.run, with a process creation that failed inside Wine tried again."""
    for attempt in range(3):
        try:
            return subprocess.run(args, **kwargs)
        except OSError as exc:
            if not UNDER_WINE or getattr(exc, "winerror", None) != WINE_SPAWN_ERROR or attempt == 2:
                raise
            time.sleep(1)


def run_python(code, extra_env=None, args=(), timeout=120):
    """Runs code in a fresh interpreter; returns the dict it passed to result()."""
    script = CHILD_PRELUDE + textwrap.dedent(code)
    proc = spawn(
        [sys.executable, "-c", script, *args],
        env=child_env(extra_env),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=timeout,
    )
    lines = [l for l in proc.stdout.splitlines() if l.startswith("RESULT ")]
    if proc.returncode != 0 or len(lines) != 1:
        raise AssertionError(
            "child failed (exit %d)\n--- stdout\n%s\n--- stderr\n%s" % (proc.returncode, proc.stdout, proc.stderr)
        )
    return json.loads(lines[0][len("RESULT "):])


@pytest.fixture(scope="session")
def probe():
    try:
        import _callback_model_probe
    except ImportError as exc:
        pytest.fail("the probe extension is not importable (build it with 'make probe' and set "
                    "CALLBACK_MODEL_PROBE_DIR): %s" % exc)
    return _callback_model_probe


@pytest.fixture(scope="session")
def models_dir():
    """Directory holding the module file, for imports under the short name."""
    import importlib.util
    spec = importlib.util.find_spec(FULL_NAME)
    assert spec is not None and spec.origin, "callback_model is not importable"
    return os.path.dirname(spec.origin)


def pydantic_major():
    import pydantic
    return int(pydantic.VERSION.split(".")[0])
