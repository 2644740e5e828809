"""Import, instruction, validation and size figures for callback_model, each
beside the same figure for the identical model written as a plain Python
module, and for an empty extension module in the same package.

Usage: bench.py EMPTY_MODULE_SO PYTHON [PYTHON ...]
       bench.py --ratios PYTHON [PYTHON ...]
       bench.py --threads PYTHON
       bench.py --soak EMBED_HOST SITE ROUNDS      (run by the host's own Python)
Each PYTHON is an environment with the package and a pydantic installed.
--ratios prints the import's instruction ratio against the plain module
alone, with the interpreter's zlib already loaded and without, for
environments of any version (for one inside a Debian root, valgrind runs
there, on the interpreter itself).  --threads prints, for a free-threaded
build, validation throughput from 1 to 8 threads and the latency of 8
threads importing at once, compiled against plain.  --soak runs ROUNDS
runtimes one after the other in the embedding host, the import failing in
every tenth, with SITE (a pure-Python pydantic 1.10) first on the path, and
prints the host's resident memory per round.
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

PACKAGE = "vel_tarn.server.misc.models"
NAME = PACKAGE + ".callback_model"
HERE = os.path.dirname(os.path.abspath(__file__))
PLAIN_SOURCE = os.path.join(HERE, os.pardir, "tests", "reference", "plain_callback_model.py")
IMPORT_RUNS = 41

# Each measured script imports pydantic and the packages above the module
# first, so that only the module's own import is timed or counted.
PRELUDE = """
import sys, time, importlib
import pydantic, vel_tarn.server.misc.models
"""

CONSTRUCT = """
import typing
holder = type(sys)("bench_holder")
holder.Any, holder.Dict, holder.BaseModel = typing.Any, typing.Dict, pydantic.BaseModel
sys.modules["bench_holder"] = holder
ns = {"__module__": "bench_holder", "__qualname__": "VelTarnCallbackModel",
      "__doc__": "Callback Data Model for kernels to send data to server",
      "__annotations__": {"procedure": "str", "status": "str", "msg": "str",
                          "successful": "Dict[str, Any]", "failed": "Dict[str, Any]"}}
meta = type(pydantic.BaseModel)
"""


def run(python, code, env, timeout=600):
    return subprocess.run([python, "-c", code], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=timeout, check=True)


def site_module(python):
    code = "import importlib.util as u; print(u.find_spec(%r).origin)" % NAME
    return run(python, code, dict(os.environ)).stdout.strip()


def make_root(python, empty_so, workdir):
    """A package tree holding the three modules side by side."""
    root = os.path.join(workdir, "root")
    pkg = os.path.join(root, *PACKAGE.split("."))
    os.makedirs(pkg)
    compiled = site_module(python)
    shutil.copy(compiled, pkg)
    if empty_so:
        shutil.copy(empty_so, pkg)
    shutil.copy(PLAIN_SOURCE, os.path.join(pkg, "plain_callback_model.py"))
    run(python, "import compileall, sys; sys.exit(not compileall.compile_dir(%r, quiet=1))" % pkg, dict(os.environ))
    return root, os.path.join(pkg, os.path.basename(compiled))


def import_seconds(python, env, module):
    code = PRELUDE + textwrap.dedent("""
        t0 = time.perf_counter()
        importlib.import_module(%r)
        print(time.perf_counter() - t0)
    """ % module)
    return statistics.median(float(run(python, code, env).stdout) for _ in range(IMPORT_RUNS))


CALLGRIND = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"]
LAUNCHER = re.compile(r"^exec (\S+) /bin/bash -c 'exec -a \"\$0\" (\S+)", re.M)


def callgrind_command(python, env):
    """How valgrind counts python's own instructions, and the environment
    for it.  An environment of a Debian root has launchers for its
    interpreter, which enter the root: there valgrind runs the interpreter
    itself, with the environment's packages on its path."""
    with open(python, "rb") as f:
        text = f.read(4096).decode("latin-1")
    launcher = LAUNCHER.search(text) if text.startswith("#!") else None
    if launcher is None:
        return [*CALLGRIND, python], env
    runner, interpreter = launcher.groups()
    site = run(python, "import os, site; print(os.pathsep.join(site.getsitepackages()))", env).stdout.strip()
    path = os.pathsep.join(p for p in (env.get("PYTHONPATH"), site) if p)
    return [runner, *CALLGRIND, interpreter], dict(env, PYTHONPATH=path, PYTHONNOUSERSITE="1")


def instructions(python, env, code):
    # os._exit: the interpreter's teardown is not part of the import.
    code += "\nimport os\nos._exit(0)\n"
    cmd, cmd_env = callgrind_command(python, env)
    out = subprocess.run(cmd + ["-c", code], env=cmd_env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         universal_newlines=True, check=True).stderr
    found = re.search(r"Collected : (\d+)", out)
    if found is None:
        raise SystemExit("callgrind gave no count:\n" + out[-2000:])
    return int(found.group(1))


def check_counts_interpreter(python, env):
    """A count that is not the interpreter's (a launcher's, a shell's) would
    make every ratio meaningless: importing pydantic costs millions."""
    pydantic = instructions(python, env, PRELUDE) - instructions(python, env, "import sys, time, importlib\n")
    if pydantic < 1000000:
        raise SystemExit("%s: importing pydantic counted %d instructions: not the interpreter's count"
                         % (python, pydantic))


def import_instructions(python, env):
    base = instructions(python, env, PRELUDE)
    counts = {}
    for label, module in (("compiled", NAME), ("plain", PACKAGE + ".plain_callback_model"),
                          ("empty", PACKAGE + ".empty_module")):
        counts[label] = instructions(python, env, PRELUDE + "importlib.import_module(%r)\n" % module) - base
    construct_base = instructions(python, env, PRELUDE + CONSTRUCT)
    counts["construction"] = instructions(
        python, env, PRELUDE + CONSTRUCT + "meta('VelTarnCallbackModel', (pydantic.BaseModel,), ns)\n") - construct_base
    return counts


def validation_rates(python, env):
    code = PRELUDE + textwrap.dedent("""
        import timeit
        from vel_tarn.server.misc.models.callback_model import VelTarnCallbackModel as Compiled
        from vel_tarn.server.misc.models.plain_callback_model import VelTarnCallbackModel as Plain
        good = dict(procedure="p", status="done", msg="ok", successful={"a": 1, "b": [1, 2]}, failed={})
        bad = dict(procedure="p", status=["x"], msg="ok", successful=[1], failed={})
        v2 = pydantic.VERSION.startswith("2.")
        def rate(model, record):
            validate = model.model_validate if v2 else model.parse_obj
            def once():
                try:
                    validate(record)
                except pydantic.ValidationError:
                    pass
            n = 20000
            return n / min(timeit.repeat(once, number=n, repeat=5))
        for label, record in (("good", good), ("bad", bad)):
            print(label, rate(Compiled, record), rate(Plain, record))
    """)
    rates = {}
    for line in run(python, code, env).stdout.splitlines():
        label, compiled, plain = line.split()
        rates[label] = (float(compiled), float(plain))
    return rates


def stripped_size(path, workdir):
    copy = os.path.join(workdir, "stripped.so")
    shutil.copy(path, copy)
    subprocess.run(["strip", "--strip-unneeded", copy], check=True)
    needed = subprocess.run(["readelf", "-d", copy], stdout=subprocess.PIPE, universal_newlines=True,
                            check=True).stdout
    libs = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", needed)
    return os.path.getsize(copy), libs


def import_ratios(pythons):
    """Compiled against plain import instructions, per environment, with the
    interpreter's zlib loaded before the import and without."""
    print("import instructions, compiled / plain (callgrind, PYTHONHASHSEED=0, pydantic imported first):")
    for python in pythons:
        with tempfile.TemporaryDirectory() as workdir:
            root, _ = make_root(python, None, workdir)
            env = dict(os.environ, PYTHONPATH=root, PYTHONHASHSEED="0", PYTHONDONTWRITEBYTECODE="1")
            check_counts_interpreter(python, env)
            info = run(python, "import pydantic, sys; print(pydantic.VERSION, sys.version.split()[0], "
                               "'zlib' in sys.modules)", env).stdout.split()
            cells = []
            for label, prelude in (("zlib loaded", PRELUDE + "import zlib\n"), ("without", PRELUDE)):
                base = instructions(python, env, prelude)
                counts = [instructions(python, env, prelude + "importlib.import_module(%r)\n" % module) - base
                          for module in (NAME, PACKAGE + ".plain_callback_model")]
                cells.append("%s %d / %d = %.3f" % (label, counts[0], counts[1], counts[0] / counts[1]))
            print("  Python %-8s pydantic %-7s %s   (pydantic itself loads zlib: %s)"
                  % (info[1], info[0], "   ".join(cells), "yes" if info[2] == "True" else "no"), flush=True)
    return 0


THREADS = PRELUDE + """
import threading
from vel_tarn.server.misc.models.callback_model import VelTarnCallbackModel as Compiled
from vel_tarn.server.misc.models.plain_callback_model import VelTarnCallbackModel as Plain
good = dict(procedure="p", status="done", msg="ok", successful={"a": 1, "b": [1, 2]}, failed={})
validate = {m: (m.model_validate if pydantic.VERSION.startswith("2.") else m.parse_obj) for m in (Compiled, Plain)}
PER_THREAD = 20000
def rate(model, threads):
    barrier = threading.Barrier(threads + 1)
    def work():
        barrier.wait()
        for _ in range(PER_THREAD):
            validate[model](good)
    pool = [threading.Thread(target=work) for _ in range(threads)]
    for t in pool:
        t.start()
    barrier.wait()
    t0 = time.perf_counter()
    for t in pool:
        t.join()
    return threads * PER_THREAD / (time.perf_counter() - t0)
for threads in (1, 2, 4, 8):
    best = {Compiled: 0.0, Plain: 0.0}
    for _ in range(5):  # alternating, so that both meet the same machine
        for m in best:
            best[m] = max(best[m], rate(m, threads))
    print(threads, best[Compiled], best[Plain], getattr(sys, "_is_gil_enabled", lambda: True)())
"""

IMPORT_TOGETHER = PRELUDE + """
import threading
barrier = threading.Barrier(9)
ends = []
def work():
    barrier.wait()
    importlib.import_module(sys.argv[1])
    ends.append(time.perf_counter())
pool = [threading.Thread(target=work) for _ in range(8)]
for t in pool:
    t.start()
barrier.wait()
t0 = time.perf_counter()
for t in pool:
    t.join()
print(max(ends) - t0)
"""


def thread_figures(python):
    """Validation throughput from 1 to 8 threads, and the import's latency
    with 8 threads importing at once, compiled against plain."""
    with tempfile.TemporaryDirectory() as workdir:
        root, _ = make_root(python, None, workdir)
        env = dict(os.environ, PYTHONPATH=root, PYTHONDONTWRITEBYTECODE="1")
        print("== threads, %s" % run(python, "import sys, pydantic; print('Python', sys.version.split()[0], "
                                             "'pydantic', pydantic.VERSION)", env).stdout.strip())
        print("validation, good record, records/s (best of 5, alternating):")
        for line in run(python, THREADS, env).stdout.splitlines():
            threads, compiled, plain, gil = line.split()
            print("  %d threads: compiled %9.0f   plain %9.0f   ratio %.3f   GIL %s"
                  % (int(threads), float(compiled), float(plain), float(compiled) / float(plain),
                     "on" if gil == "True" else "off"))
        for label, module in (("compiled", NAME), ("plain", PACKAGE + ".plain_callback_model")):
            times = [float(subprocess.run([python, "-c", IMPORT_TOGETHER, module], env=env, stdout=subprocess.PIPE,
                                          universal_newlines=True, check=True).stdout)
                     for _ in range(IMPORT_RUNS)]
            print("import with 8 threads at once, %s: median %7.1f us   max %7.1f us   (%d fresh processes)"
                  % (label, statistics.median(times) * 1e6, max(times) * 1e6, IMPORT_RUNS))
    return 0


SOAK = """
import importlib, sys
ROUND, NAME = int(sys.argv[1]), "vel_tarn.server.misc.models." + %r
if ROUND %% 10 == 0:
    sys.modules["pydantic"] = None
    try:
        importlib.import_module(NAME)
        raise SystemExit("the import worked with pydantic blocked")
    except ImportError:
        pass
else:
    m = importlib.import_module(NAME)
    record = m.VelTarnCallbackModel(procedure="p", status="s", msg="m", successful={"r": ROUND}, failed={})
    assert record.successful == {"r": ROUND}
"""


def soak(host, site, rounds):
    """The embedding host through ROUNDS runtimes, with the module and with
    the plain module; resident memory per round."""
    import sysconfig
    print("== restart soak, Python %s, pure-Python pydantic 1.10: %d runtimes each, the import failing in "
          "every tenth" % (sys.version.split()[0], rounds))
    failed = 0
    with tempfile.TemporaryDirectory() as workdir:
        pkg = os.path.join(workdir, *PACKAGE.split("."))
        os.makedirs(pkg)
        shutil.copy(PLAIN_SOURCE, os.path.join(pkg, "plain_callback_model.py"))
        path = os.pathsep.join([os.path.abspath(site), workdir, sysconfig.get_paths()["purelib"]])
        env = dict(os.environ, PYTHONPATH=path, PYTHONHOME=sys.base_prefix, PYTHONDONTWRITEBYTECODE="1")
        for label, module in (("compiled", "callback_model"), ("plain", "plain_callback_model")):
            script = os.path.join(workdir, "soak.py")
            with open(script, "w") as f:
                f.write(SOAK % module)
            t0 = time.perf_counter()
            out = subprocess.run([host, script, str(rounds)], env=env, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, universal_newlines=True, check=True).stdout
            seconds = time.perf_counter() - t0
            ends = re.findall(r"round (\d+): script (-?\d+), finalize (-?\d+), rss (-?\d+) KiB", out)
            clean = sum(1 for e in ends if e[1:3] == ("0", "0"))
            rss = [int(e[3]) for e in ends]
            tenth = max(len(rss) // 10, 1)
            print("  %-8s %d of %d runtimes clean in %.0f s; resident memory: round 1 %d KiB, round %d %d KiB, "
                  "last %d KiB, %.1f KiB per round after round %d"
                  % (label, clean, len(ends), seconds, rss[0], tenth, rss[tenth - 1], rss[-1],
                     (rss[-1] - rss[tenth - 1]) / float(max(len(rss) - tenth, 1)), tenth))
            failed += clean != rounds
    return 1 if failed else 0


def main(argv):
    if len(argv) >= 2 and argv[1] == "--ratios":
        return import_ratios(argv[2:])
    if len(argv) == 3 and argv[1] == "--threads":
        return thread_figures(argv[2])
    if len(argv) == 5 and argv[1] == "--soak":
        return soak(argv[2], argv[3], int(argv[4]))
    if len(argv) < 3:
        raise SystemExit(__doc__)
    empty_so, pythons = argv[1], argv[2:]
    have_valgrind = shutil.which("valgrind") is not None
    for python in pythons:
        with tempfile.TemporaryDirectory() as workdir:
            root, compiled_so = make_root(python, empty_so, workdir)
            env = dict(os.environ, PYTHONPATH=root, PYTHONHASHSEED="0", PYTHONDONTWRITEBYTECODE="1")
            version = run(python, "import pydantic, sys; print(pydantic.VERSION, sys.version.split()[0])",
                          env).stdout.split()
            print("== pydantic %s, Python %s (%s)" % (version[0], version[1], python))
            t = {label: import_seconds(python, env, module) for label, module in (
                ("compiled", NAME), ("plain", PACKAGE + ".plain_callback_model"),
                ("empty", PACKAGE + ".empty_module"))}
            print("import, median of %d fresh interpreters (pydantic already imported):" % IMPORT_RUNS)
            print("  compiled %8.1f us   plain %8.1f us   ratio %.3f   empty extension %6.1f us"
                  % (t["compiled"] * 1e6, t["plain"] * 1e6, t["compiled"] / t["plain"], t["empty"] * 1e6))
            if have_valgrind:
                c = import_instructions(python, env)
                own, plain_own = c["compiled"] - c["construction"], c["plain"] - c["construction"]
                print("import, instructions (callgrind, PYTHONHASHSEED=0):")
                print("  compiled %10d   plain %10d   ratio %.3f" % (c["compiled"], c["plain"], c["compiled"] / c["plain"]))
                print("  model construction alone %10d" % c["construction"])
                print("  own work: compiled %8d   plain %8d   empty extension import %8d   compiled/empty %.3f"
                      % (own, plain_own, c["empty"], own / c["empty"]))
            else:
                print("import, instructions: valgrind not found, not measured")
            rates = validation_rates(python, env)
            for label in ("good", "bad"):
                compiled, plain = rates[label]
                print("validation, %s record: compiled %9.0f/s   plain %9.0f/s   ratio %.3f"
                      % (label, compiled, plain, compiled / plain))
            size, libs = stripped_size(compiled_so, workdir)
            empty_size, _ = stripped_size(empty_so, workdir)
            print("stripped library: %d bytes (%.1f KiB), needs %s; empty extension %d bytes"
                  % (size, size / 1024.0, ", ".join(libs), empty_size))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
