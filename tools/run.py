#!/usr/bin/env python3
"""Builds what a cell of the test matrix needs, runs it, and says how it went.

    run.py test [--allow-missing] [PATTERN...]   provision, then every cell (or those whose
                                                 name, like 3.8:pydantic2, matches a pattern)
    run.py demo                                  the examples, in the 3.8 wheel's environment
    run.py dist [OUTDIR [TARGET...]]             the release files (default dist/, every target)
    run.py bench                                 the README's figures

A cell is a target of tools/targets.py and one of its suites (SUITES below:
each builds what it needs and returns its command and environment).  Cells
run two at a time, each one's output kept together; one line per cell ends
the run.  A cell whose interpreter could not be made fails the run, naming
it and the cause; with --allow-missing it is listed as SKIPPED instead.
Environments live in the cache (CALLBACK_MODEL_VENVS moves them), builds in build/.
PYTHON=/path/python3.X picks the demo's version.
"""
import collections
import concurrent.futures
import contextlib
import fnmatch
import hashlib
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import targets  # noqa: E402
from targets import LINUX, LINUX_ARM64, REPO, TARGETS, WINDOWS, file_lock  # noqa: E402

VENVS = pathlib.Path(os.environ.get("CALLBACK_MODEL_VENVS") or targets.CACHE / "venvs").resolve()
BUILD = REPO / "build"
PYTEST = ["-m", "pytest", "-q", "-p", "no:cacheprovider"]
NOT_THE_WHEEL = ["--ignore", "tests/test_wheel.py", "--ignore", "tests/test_typing.py"]  # tests of the installed wheel
# What a wheel is built from, with the versions of tools/targets.py (CMake
# and ninja track the rest of a build).
WHEEL_INPUTS = ["CMakeLists.txt", "pyproject.toml", "README.md", "server", "support", "cmake",
                "tools/gen_string_table.py", "tools/string_entries.txt"]
_guard, _locks = threading.Lock(), collections.defaultdict(threading.Lock)
# A Debian root's programs see the work tree and the environments at their own paths.
os.environ["CALLBACK_MODEL_SANDBOX_BINDS"] = "%s:%s" % (REPO, VENVS)
VENVS.mkdir(parents=True, exist_ok=True)

@contextlib.contextmanager
def step(key):
    """One thread at a time builds a given thing; the others wait and reuse it."""
    with _guard:
        lock = _locks[str(key)]
    with lock:
        yield

def digest(paths):
    h = hashlib.sha256()
    for path in sorted(p for top in paths for p in ([top] if top.is_file() else top.rglob("*")) if p.is_file()):
        h.update(str(path.relative_to(REPO)).encode() + b"\0" + path.read_bytes())
    return h.hexdigest()

def stale(stamp, key):
    return not stamp.exists() or stamp.read_text() != key

def sh(cmd, log, **kw):
    log.write("$ %s\n" % " ".join(map(str, cmd)))
    log.flush()
    subprocess.run([str(c) for c in cmd], stdout=log, stderr=subprocess.STDOUT, check=True, **kw)

def env_with(python=None, **extra):
    """The environment of a build or test command: python's bin first on PATH,
    ninja kept away from make's jobserver, the work trees visible in a root."""
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "PYTHONPATH")}
    if python:
        env["PATH"] = os.path.dirname(str(python)) + os.pathsep + env["PATH"]
    return dict(env, **{k: str(v) for k, v in extra.items()})

def venv(target, line, log, extra=()):
    """The target's environment: the build and test tools, and pydantic 2
    (a release target's) or 1.10 (line "pydantic1", an environment of its
    own), plus the extra requirement files; each file installed once."""
    where = VENVS / (target.name + ("-pydantic1" if line == "pydantic1" else ""))
    names = ["test", "pydantic1"] if line == "pydantic1" else ["build", "test"] + ["pydantic2"] * (target.kind == "release")
    files = {REPO / "requirements" / (n + ".txt"): where / (".req-" + n) for n in names + list(extra)}
    with step(where):
        if not (where / "bin" / "python").exists():
            targets.make_venv(target, where)
        todo = [f for f, stamp in files.items() if stale(stamp, digest([f]))]
        if todo:
            sh([where / "bin" / "python", *targets.PIP, "install", *[a for f in todo for a in ("-r", f)]], log,
               env=env_with())
            for f in todo:
                files[f].write_text(digest([f]))
    return where / "bin" / "python"

def wheel(target, log):
    """The target's wheel, built by pip in its environment."""
    out = BUILD / target.name / "dist"
    with step(out):
        python, key = venv(target, "pydantic2", log), digest([REPO / p for p in WHEEL_INPUTS]) + " ".join(targets.supported_versions())
        if stale(out / ".stamp", key):
            shutil.rmtree(str(out), ignore_errors=True)
            sh([python, *targets.PIP, "wheel", "--no-build-isolation", "--no-deps",
                "--config-settings=build-dir=build/release/{wheel_tag}", "-w", out, "."], log, cwd=str(REPO),
               env=env_with(python))
            (out / ".stamp").write_text(key)
    return next(out.glob("*.whl"))

def installed(target, line, log, extra=()):
    """The line's environment with the target's wheel installed."""
    python, whl = venv(target, line, log, extra), wheel(target, log)
    stamp = python.parent.parent / ".installed"
    with step(stamp.parent):  # the environment's own lock: one pip in it at a time
        key = hashlib.sha256(whl.read_bytes()).hexdigest()
        if stale(stamp, key):
            sh([python, *targets.PIP, "install", "--force-reinstall", "--no-deps", whl], log, env=env_with())
            stamp.write_text(key)
    return python

VARIANTS = {"test": ["-DCALLBACK_MODEL_PROBE=ON", "-DCALLBACK_MODEL_BENCH=ON", "-DCALLBACK_MODEL_EMBED_HOST=ON"],
            "asan": ["-DCMAKE_BUILD_TYPE=Debug", "-DCALLBACK_MODEL_PROBE=ON", "-DCALLBACK_MODEL_SANITIZE=ON",
                     "-DCALLBACK_MODEL_EMBED_HOST=ON"],
            "refcount": ["-DCALLBACK_MODEL_REFCOUNT_CONTROL=ON"],
            "tsan": ["-DCMAKE_BUILD_TYPE=Debug", "-DCALLBACK_MODEL_TSAN=ON"],
            "release": ["-DCALLBACK_MODEL_PROBE=ON"]}

def tool_python(log):
    """The environment whose cmake and ninja build for other platforms."""
    return venv(next(t for t in TARGETS if isinstance(t.source, targets.Host) and t.python()), "pydantic2", log)

def cmake(target, variant, log):
    """A CMake build of the module (and what the variant adds) for the
    target: with its own compiler, or from here with its platform's toolchain."""
    out = BUILD / target.name / variant
    with step(out):
        if target.platform.toolchain is None:
            python = venv(target, "pydantic2", log)
            args = ["-DPython_EXECUTABLE=%s" % python]
        else:
            python = tool_python(log)
            args = ["-DCMAKE_TOOLCHAIN_FILE=%s" % target.platform.toolchain]
        if target.platform is LINUX_ARM64:
            root = target.source.root
            args += ["-DCALLBACK_MODEL_SYSROOT=%s" % root, "-DPython_EXECUTABLE=%s/usr/bin/%s" % (root, target.executable),
                     "-DCMAKE_POLICY_DEFAULT_CMP0190=NEW", "-DCALLBACK_MODEL_HOST_PYTHON=%s" % python]
        elif target.platform is WINDOWS:
            include = subprocess.run([target.host().python(), "-c", "import sysconfig; print(sysconfig.get_paths()['include'])"],
                                     stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout.strip()
            args += ["-DPython_EXECUTABLE=%s" % python, "-DCALLBACK_MODEL_PYTHON_INCLUDE=%s" % include,
                     "-DCALLBACK_MODEL_PYTHON_DLL=%s" % pathlib.Path(target.python()).with_name(
                         "python%s.dll" % target.version.replace(".", ""))]
        args += VARIANTS[variant]
        tool = [python.parent / "cmake"]
        if stale(out / ".args", " ".join(args)) or not (out / "build.ninja").exists():
            sh(tool + ["-S", REPO, "-B", out, "-G", "Ninja", *args], log, env=env_with(python))
            (out / ".args").write_text(" ".join(args))
        sh(tool + ["--build", out], log, env=env_with(python))
    return out

def embed_site(target, log):
    """A pure-Python pydantic 1.10 (its sdist without Cython), which the
    embedding test's restarting runtimes use where the environment's own
    cannot be initialised twice in a process."""
    windows = target.platform is WINDOWS
    out = BUILD / ("windows" if windows else target.name) / "embed-site"
    with step(out):
        key = digest([REPO / "requirements" / "pydantic1.txt"])
        if stale(out.with_suffix(".stamp"), key):
            shutil.rmtree(str(out), ignore_errors=True)
            python = tool_python(log) if windows else venv(target, "pydantic2", log)
            sh([python, *targets.PIP, "install", "--no-binary", "pydantic", "--target", out,
                "-r", REPO / "requirements" / "pydantic1.txt"], log, env=env_with(python, SKIP_CYTHON=1))
            out.with_suffix(".stamp").write_text(key)
    return out

def windows_site(target, line, log):
    """The line's wheelhouse, unpacked: the suite's PYTHONPATH under Wine."""
    wheels = WINDOWS.wheelhouse(target.version, line)
    site = wheels.with_name(wheels.name + "-site")
    with step(site):
        if not site.exists():
            for whl in sorted(wheels.glob("*.whl")):
                with zipfile.ZipFile(str(whl)) as zf:
                    zf.extractall(str(site) + ".tmp")
            os.rename(str(site) + ".tmp", str(site))
    return site

def wine_server(target):
    """Makes the Wine prefix once and keeps one Wine server running for the
    suites: the service processes the first program starts then hold no
    suite's output pipe open.  Returns its stop command."""
    env = env_with(**WINDOWS.env())
    server = [os.path.join(os.path.dirname(WINDOWS.wine()), "wineserver")]
    warm = dict(args=[*WINDOWS.command(target), "-c", "pass"], env=env, stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(**warm)
    subprocess.run(server + ["-w"], env=env, check=True)
    subprocess.run(server + ["-p"], env=env, check=True)
    subprocess.run(**warm)
    return lambda: subprocess.run(server + ["-k"], env=env)

# --- the suites: what a cell of each kind builds, and its command -------------------

def module_suite(target, line, log):
    """The whole suite against the installed wheel, with the probe of the test build."""
    if target.platform is WINDOWS:
        out, site = cmake(target, "test", log), windows_site(target, line, log)
        with step("wine"):
            if not STOP.get("wine"):
                STOP["wine"] = wine_server(target)
        p = WINDOWS.path
        return ([*WINDOWS.command(target), *PYTEST, "tests", *NOT_THE_WHEEL],
                dict(WINDOWS.env(), PYTHONPATH=p(site), CALLBACK_MODEL_ROOT=p(out / "root"),
                     CALLBACK_MODEL_PROBE_DIR=p(out / "probe"), CALLBACK_MODEL_EMBED_SITE=p(embed_site(target, log))))
    demo = ["demo"] if line == "pydantic2" and target.name == demo_target().name else []
    python, out = installed(target, line, log, demo), cmake(target, "test", log)
    return [python, *PYTEST, "tests"], dict(CALLBACK_MODEL_WHEEL_DIR=BUILD / target.name / "dist",
                                            CALLBACK_MODEL_PROBE_DIR=out / "probe",
                                            CALLBACK_MODEL_EMBED_SITE=embed_site(target, log))

def asan_suite(target, log):
    """The suite against the AddressSanitizer and UBSan build, except the wheel
    and typing tests (they never load it) and the HTTP demo (its web stack
    leaves blocks of its own at exit).  The interpreter is not sanitized: the
    runtime is preloaded, and the suppressions (interpreter-only, each
    explained; lsan-3.X.supp per version) match through full unwinding."""
    python, out = installed(target, "pydantic2", log), cmake(target, "asan", log)
    supp = [REPO / "tests" / "sanitizers" / n for n in ("lsan.supp", "lsan-%s.supp" % target.version)]
    (out / "lsan.supp").write_text("".join(p.read_text() for p in supp if p.exists()))
    return ([python, "tests/sanitizers/asan_run.py", out, *PYTEST, "tests", *NOT_THE_WHEEL, "--deselect",
             "tests/test_model.py::test_http_demo_answers_200_with_the_record_or_422_with_the_errors"],
            dict(CALLBACK_MODEL_EMBED_SITE=embed_site(target, log)))

def memcheck_suite(target, log):
    python, out = installed(target, "pydantic2", log), cmake(target, "test", log)
    return [python, "tests/sanitizers/memcheck.py", out / "root", out / "embed" / "embed_host", embed_site(target, log)], {}

def refcount_suite(target, log):
    """Reference totals under a debug interpreter, beside a control extension's."""
    python, out = venv(target, "pydantic2", log), cmake(target, "refcount", log)
    return [python, *PYTEST, "tests/refcount"], dict(CALLBACK_MODEL_ROOT=out / "root", CALLBACK_MODEL_PROBE_DIR=out / "control")

def racing_suite(target, log):
    """The concurrency tests under ThreadSanitizer (module and interpreter
    built with it): reports that involve the module fail the cell."""
    python, out = venv(target, "pydantic2", log), cmake(target, "tsan", log)
    return [python, "tests/sanitizers/tsan_run.py", out, *PYTEST, "tests/test_robustness.py", "-k", "racing"], {}

def dist_suite(target, log):
    """The release files installed as a user installs them, and two dist runs
    from clean clones compared byte for byte."""
    built = dist(BUILD / "dist-test", available(), log)
    pyds = [str(p) for t in built if t.platform is WINDOWS for p in (BUILD / t.name / "release" / "root").rglob("*.pyd")]
    return ([venv(target, "pydantic2", log, ["dist"]), *PYTEST, "tests/dist", "tests/windows"],
            dict(CALLBACK_MODEL_DIST=BUILD / "dist-test", CALLBACK_MODEL_PYDS=os.pathsep.join(pyds),
                 CALLBACK_MODEL_TARGETS=" ".join(t.name for t in built), CALLBACK_MODEL_VENVS=VENVS))

SUITES = {"pydantic2": lambda t, log: module_suite(t, "pydantic2", log),
          "pydantic1": lambda t, log: module_suite(t, "pydantic1", log),
          "asan": asan_suite, "memcheck": memcheck_suite, "refcount": refcount_suite, "racing": racing_suite,
          "dist": dist_suite}
TOOLS = {"memcheck": ["valgrind"]}  # Debian packages a suite needs on this machine
STOP, TOOK = {}, {}

# --- release files ------------------------------------------------------------------

def dist(outdir, chosen, log):
    """The sdist, a manylinux wheel per Linux release target (auditwheel
    repairs and checks each) and a win_amd64 wheel per Windows one.  Files
    carry the commit's time and a fixed order: a commit gives the same bytes."""
    tools = venv(next(t for t in TARGETS if "dist" in t.suites), "pydantic2", log, ["dist"])
    shutil.rmtree(str(outdir), ignore_errors=True)
    outdir.mkdir(parents=True)
    env = env_with(tools)
    with tempfile.TemporaryDirectory() as tmp:
        tree = pathlib.Path(tmp) / "source"
        names = subprocess.run(["git", "ls-files", "-z", "-co", "--exclude-standard"], cwd=str(REPO),
                               stdout=subprocess.PIPE, check=True).stdout.decode().split("\0")
        for name in sorted(n for n in names if n and (REPO / n).is_file()):
            (tree / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(str(REPO / name), str(tree / name))
        sh([tools, "-m", "build", "--sdist", "--no-isolation", "--outdir", outdir, tree], log, env=env)
    built = [t for t in chosen if t.kind == "release" and t.platform is not WINDOWS]
    for target in built:
        sh([tools, "-m", "auditwheel", "repair", "-w", outdir, wheel(target, log)], log, env=env)
    with zipfile.ZipFile(str(wheel(built[0], log))) as zf:
        metadata = zf.read(next(n for n in zf.namelist() if n.endswith(".dist-info/METADATA")))
    for target in [t for t in chosen if t.platform is WINDOWS]:
        pack_wheel(target, cmake(target, "release", log), metadata, outdir)
        built.append(target)
    sh([tools, "-m", "twine", "check", "--strict", *sorted(outdir.iterdir())], log, env=env)
    for path in sorted(outdir.iterdir()):
        log.write("%-92s %8d bytes\n" % (path.name, path.stat().st_size))
    return built

def pack_wheel(target, out, metadata, outdir):
    """A win_amd64 wheel: the .pyd, its stub and py.typed, and the Linux
    wheels' METADATA, at the commit's time in a fixed order."""
    import base64
    fields = dict(line.split(": ", 1) for line in metadata.decode().split("\n\n", 1)[0].splitlines() if ": " in line)
    dist_name, tag = fields["Name"].replace("-", "_").lower(), target.wheel_tag()
    pyd = "callback_model.cp%s-win_amd64.pyd" % target.version.replace(".", "")
    models, info = "vel_tarn/server/misc/models/", "%s-%s.dist-info/" % (dist_name, fields["Version"])
    files = [(models + pyd, (out / "root" / models / pyd).read_bytes())]
    files += [(models + n, (REPO / "server" / "misc" / "models" / n).read_bytes()) for n in ("callback_model.pyi", "py.typed")]
    files += [(info + "METADATA", metadata),
              (info + "WHEEL", ("Wheel-Version: 1.0\nGenerator: vel_tarn tools/run.py\nRoot-Is-Purelib: false\n"
                                "Tag: %s\n" % tag).encode())]
    record = "".join("%s,sha256=%s,%d\n" % (n, base64.urlsafe_b64encode(hashlib.sha256(d).digest()).rstrip(b"=").decode(),
                                            len(d)) for n, d in files)
    files.append((info + "RECORD", (record + info + "RECORD,,\n").encode()))
    stamp = time.gmtime(max(int(os.environ.get("SOURCE_DATE_EPOCH", "0")), 315532800))[:6]
    with zipfile.ZipFile(str(outdir / ("%s-%s-%s.whl" % (dist_name, fields["Version"], tag))), "w") as zf:
        for name, data in files:
            entry = zipfile.ZipInfo(name, stamp)
            entry.external_attr, entry.compress_type = 0o644 << 16, zipfile.ZIP_DEFLATED
            zf.writestr(entry, data)

# --- the runner ---------------------------------------------------------------------

def available():
    with file_lock(targets.CACHE, shared=True):
        return [t for t in TARGETS if targets.selected(t) and t.python()]

def demo_target():
    version = os.environ.get("PYTHON") and subprocess.run(
        [os.environ["PYTHON"], "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
        stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()
    return next(t for t in TARGETS if t.platform is LINUX and t.kind == "release" and t.version == (version or "3.8"))

def provision(cells):
    """Makes every interpreter and tool the cells need (once per machine);
    returns the causes of what failed, by target name."""
    failed = {}
    with file_lock(targets.CACHE):
        for tool in sorted({p for _, suite in cells for p in TOOLS.get(suite, [])}):
            if not shutil.which(tool):
                try:
                    targets.apt_install([tool])
                except targets.ProvisionError as exc:
                    failed[tool] = str(exc)
        for t in dict.fromkeys(t for t, _ in cells if not t.unavailable):
            try:
                t.source.provision(t)
            except targets.ProvisionError as exc:
                failed[t.name] = str(exc)
    return failed

def run_cell(target, suite):
    name = "%s:%s" % (target.name, suite)
    path = BUILD / "logs" / (name.replace(":", "-") + ".log")
    path.parent.mkdir(parents=True, exist_ok=True)
    started = time.time()
    with open(str(path), "w") as log:
        try:
            cmd, extra = SUITES[suite](target, log)
            # Through a pipe: a Windows program under Wine cannot write to a file.
            proc = subprocess.run([str(c) for c in cmd], cwd=str(REPO), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  stdin=subprocess.DEVNULL, env=env_with(cmd[0], **extra))
            log.write(proc.stdout.decode(errors="replace"))
            code = proc.returncode
            outcome = "passed" if code == 0 else "FAILED (exit %d)" % code
        except Exception as exc:  # a build step: the log says which
            outcome = "FAILED (could not start: %s)" % exc
    took = time.time() - started
    if "could not start" not in outcome:
        TOOK[name] = took
    print("=== %s, %s (%.0f s): %s\n%s" % (target.label, suite, took, outcome, path.read_text()), flush=True)
    return "  %-28s %5.0f s  %s" % (name, took, outcome)

TIMES = targets.CACHE / "cell-times.json"  # each cell's last time here, to start the longest first

def test(args):
    allow = "--allow-missing" in args
    patterns = [a for a in args if a != "--allow-missing"] or ["*"]
    cells = [(t, s) for t in TARGETS if targets.selected(t) for s in t.suites
             if any(fnmatch.fnmatch("%s:%s" % (t.name, s), p) for p in patterns)]
    failed = provision(cells)
    lines, ready = [], []
    for t, s in cells:
        cause = failed.get(t.name) or next((failed[p] for p in TOOLS.get(s, []) if p in failed), None)
        if t.unavailable:
            lines.append("  %-28s %7s  UNAVAILABLE (%s)" % (t.name + ":" + s, "", t.unavailable))
        elif cause or not t.python():
            lines.append("  %-28s %7s  %s (%s)" % (t.name + ":" + s, "", "SKIPPED" if allow else "FAILED: could not start",
                                               cause or t.source.missing(t)))
        else:
            ready.append((t, s))
    os.environ.setdefault("SOURCE_DATE_EPOCH", commit_time())
    try:
        with file_lock(targets.CACHE, shared=True), concurrent.futures.ThreadPoolExecutor(2) as pool:
            known = json.loads(TIMES.read_text()) if TIMES.exists() else {}
            ready.sort(key=lambda c: -known.get("%s:%s" % (c[0].name, c[1]), 600))
            lines = list(pool.map(lambda c: run_cell(*c), ready)) + lines
    finally:
        for stop in STOP.values():
            stop()
    with file_lock(targets.CACHE):
        TIMES.write_text(json.dumps(dict(json.loads(TIMES.read_text()) if TIMES.exists() else {}, **TOOK), indent=0))
    print("=== Cells:\n" + "\n".join(lines), flush=True)
    return int(any("FAILED" in line for line in lines))

def commit_time():
    return subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=str(REPO), stdout=subprocess.PIPE,
                          universal_newlines=True).stdout.strip() or "315532800"

def bench():
    """import and throughput figures on 3.8, the import's instruction ratio on
    every Linux version, thread figures on free-threaded 3.13, and a soak of
    1,000 runtimes on the oldest and the newest version."""
    log = sys.stdout
    linux = [t for t in available() if t.platform is LINUX and t.kind == "release"]
    first, newest = linux[0], [t for t in linux if not t.abiflags][-1]
    py = {(t.name, line): installed(t, line, log) for t in linux for line in ("pydantic2", "pydantic1")}
    builds = {t.name: cmake(t, "test", log) for t in (first, newest)}
    suffix = subprocess.run([py[first.name, "pydantic2"], "-c", "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))"],
                            stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()
    main = py[first.name, "pydantic2"]
    runs = [(main, builds[first.name] / "bench" / ("empty_module" + suffix), main, py[first.name, "pydantic1"]),
            (main, "--ratios", *[py[t.name, line] for t in linux for line in ("pydantic2", "pydantic1")])]
    runs += [(py[t.name, "pydantic2"], "--threads", py[t.name, "pydantic2"]) for t in linux if t.abiflags]
    # The embedding host runs where its interpreter lives (in a root for some).
    runs += [(py[t.name, "pydantic2"], "--soak", builds[t.name] / "embed" / "embed_host", embed_site(t, log), 1000)
             for t in (first, newest)]
    for python, *args in runs:
        subprocess.run([str(python), "benchmarks/bench.py", *map(str, args)], cwd=str(REPO), check=True, env=env_with())

def main(argv):
    command, args = (argv[0], argv[1:]) if argv else ("", [])
    if command == "test":
        return test(args)
    if command == "demo":
        os.environ.setdefault("SOURCE_DATE_EPOCH", commit_time())
        python = installed(demo_target(), "pydantic2", sys.stdout, ["demo"])
        for example in ("examples/server.py", "examples/http_service.py"):
            subprocess.run([str(python), example], cwd=str(REPO), check=True)
    elif command == "dist":
        os.environ.setdefault("SOURCE_DATE_EPOCH", commit_time())
        chosen = [targets.by_name(n) for n in args[1:]] or available()
        dist(pathlib.Path(args[0] if args else "dist").resolve(), chosen, sys.stdout)
    elif command == "bench":
        bench()
    else:
        raise SystemExit(__doc__)
    return 0

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
