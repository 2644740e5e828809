"""Runs the module's import, a validation and its failure scenarios under
valgrind's memcheck and fails on any invalid access or use of an
uninitialised value, and on any definitely lost block allocated through the
module.

Usage: memcheck.py MODULE_ROOT [EMBED_HOST EMBED_SITE]
Each scenario runs in its own interpreter, with the interpreter's plain
allocator (PYTHONMALLOC=malloc) so that memcheck sees every block.  With an
embedding host (tests/embedding/host.c) and a pydantic that survives a
restart of the runtime (EMBED_SITE), the host also runs three runtimes one
after the other, each importing the module and validating a record.
"""
import concurrent.futures
import os
import subprocess
import sys
import tempfile
import textwrap
import xml.etree.ElementTree as ET

MODULE_MARK = "callback_model.cpython"
ACCESS_ERRORS = {"InvalidRead", "InvalidWrite", "InvalidFree", "MismatchedFree", "InvalidJump",
                 "UninitCondition", "UninitValue", "SyscallParam", "Overlap", "FishyValue"}

PRELUDE = """
import importlib, os, sys, types
NAME = "vel_tarn.server.misc.models.callback_model"
ROOT = os.environ["MEMCHECK_MODULE_ROOT"]
def use():
    m = importlib.import_module(NAME)
    assert m.__file__.startswith(ROOT), "not the build under test: " + m.__file__
    M = m.VelTarnCallbackModel
    M(procedure="p", status="s", msg="m", successful={"a": 1}, failed={})
    try:
        M(procedure="p", status=["x"], msg="m", successful=[], failed={})
    except Exception:
        pass
    return m
def fails(setup, undo):
    setup()
    try:
        importlib.import_module(NAME)
    except Exception as exc:
        print("failed as expected:", type(exc).__name__, exc)
    else:
        raise SystemExit("import did not fail")
    undo()
    use()
"""

SCENARIOS = {
    "import_validate_reimport": """
        m = use()
        del sys.modules[NAME]
        assert use() is m
        importlib.reload(m)
    """,
    "zlib_blocked": """
        import zlib
        fails(lambda: sys.modules.__setitem__("zlib", None), lambda: sys.modules.__setitem__("zlib", zlib))
    """,
    "typing_name_missing": """
        import typing
        fake = types.ModuleType("typing"); fake.Any = typing.Any
        fails(lambda: sys.modules.__setitem__("typing", fake), lambda: sys.modules.__setitem__("typing", typing))
    """,
    "pydantic_missing": """
        for _ in range(3):
            try:
                sys.modules["pydantic"] = None
                importlib.import_module(NAME)
            except ImportError:
                pass
        fails(lambda: None, lambda: sys.modules.pop("pydantic"))
    """,
    "class_statement_fails": """
        class Meta(type):
            def __new__(mcs, name, bases, ns):
                if name == "VelTarnCallbackModel":
                    raise RuntimeError("rejected")
                return super().__new__(mcs, name, bases, ns)
        fake = types.ModuleType("pydantic"); fake.BaseModel = Meta("BaseModel", (), {})
        fails(lambda: sys.modules.__setitem__("pydantic", fake), lambda: sys.modules.pop("pydantic"))
    """,
}


# Run by the embedding host once per runtime.
EMBED_ROUNDS = 3
EMBED_SCRIPT = """
import sys
import vel_tarn.server.misc.models.callback_model as m
record = m.VelTarnCallbackModel(procedure="p", status=sys.argv[1], msg="m", successful={}, failed={})
assert record.status == sys.argv[1] and m.__file__.startswith(%r)
print("runtime", sys.argv[1], "validated a record")
"""


def frames(stack):
    return [(f.findtext("fn") or "?", f.findtext("obj") or "?") for f in stack.iter("frame")]


def through_module(error):
    return any(MODULE_MARK in obj for stack in error.iter("stack") for _, obj in frames(stack))


def run(name, code, module_root, workdir, embed=None):
    xml_path = os.path.join(workdir, name + ".xml")
    env = dict(os.environ, PYTHONMALLOC="malloc", PYTHONPATH=module_root, MEMCHECK_MODULE_ROOT=module_root)
    if embed:
        host, site = embed
        script = os.path.join(workdir, "embed.py")
        with open(script, "w") as f:
            f.write(EMBED_SCRIPT % module_root)
        env.update(PYTHONPATH=os.pathsep.join([module_root, site]), PYTHONHOME=sys.base_prefix)
        target = [host, script, str(EMBED_ROUNDS)]
    else:
        target = [sys.executable, "-c", PRELUDE + textwrap.dedent(code)]
    cmd = ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
           "--num-callers=40", "--xml=yes", "--xml-file=" + xml_path, *target]
    proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    findings, others = [], 0
    if proc.returncode != 0:
        findings.append("exit status %d:\n%s" % (proc.returncode, proc.stdout[-3000:]))
    if embed and proc.stdout.count("validated a record") != EMBED_ROUNDS:
        findings.append("not every runtime validated a record:\n%s" % proc.stdout[-3000:])
    for error in ET.parse(xml_path).getroot().iter("error"):
        kind = error.findtext("kind")
        text = error.findtext("what") or (error.find("xwhat").findtext("text") if error.find("xwhat") is not None else kind)
        if kind in ACCESS_ERRORS or (kind == "Leak_DefinitelyLost" and through_module(error)):
            stack = "\n".join("    %s (%s)" % fo for fo in frames(error.find("stack"))[:15])
            findings.append("%s: %s\n%s" % (kind, text, stack))
        else:
            others += 1
    return name, findings, others


def main(argv):
    if len(argv) not in (2, 4):
        raise SystemExit(__doc__)
    module_root = os.path.abspath(argv[1])
    failed = 0
    with tempfile.TemporaryDirectory() as workdir:
        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
            jobs = [pool.submit(run, n, c, module_root, workdir) for n, c in SCENARIOS.items()]
            if len(argv) == 4:
                embed = (os.path.abspath(argv[2]), os.path.abspath(argv[3]))
                jobs.append(pool.submit(run, "embedding_host_restarts", None, module_root, workdir, embed))
            for job in jobs:
                name, findings, others = job.result()
                status = "clean" if not findings else "%d finding(s)" % len(findings)
                print("memcheck %-26s %s (%d interpreter-only leak record(s) ignored)" % (name, status, others))
                for finding in findings:
                    print("  " + finding.replace("\n", "\n  "))
                failed += bool(findings)
    print("%d passed, %d failed" % (len(jobs) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
