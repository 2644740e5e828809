#!/usr/bin/env python3
"""run.py test [--allow-missing] [PATTERN...] | demo | bench | dist [OUTDIR [TARGET...]]

test provisions, then runs every cell (a target of tools/targets.py and one of
its SUITES; or those whose name, like 3.8:pydantic2, matches a pattern), two at
a time, and ends with one line per cell.  A cell that could not start fails the
run, naming the cause (--allow-missing: SKIPPED instead).  demo: the examples
(PYTHON=/path/python3.X: of its version); bench: the README's figures; dist:
the release files (in dist/).  Environments live in the cache
(CALLBACK_MODEL_VENVS moves them), builds in build/."""
import collections, concurrent.futures, contextlib, fnmatch, hashlib, json, os, pathlib, shutil, subprocess, sys, tempfile, threading, time, zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import targets  # noqa: E402
from targets import LINUX, PIP, REPO, TARGETS, WINDOWS, file_lock  # noqa: E402

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
# Emulated arm64: a CPU whose pointer authentication qemu emulates fast.
os.environ.setdefault("QEMU_CPU", "cortex-a72")
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

def env_with(*pythons, **extra):
    """The environment of a build or test command: the pythons' bin first on
    PATH, ninja kept away from make's jobserver."""
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "PYTHONPATH")}
    env["PATH"] = os.pathsep.join([os.path.dirname(str(p)) for p in pythons] + [env["PATH"]])
    return dict(env, **{k: str(v) for k, v in extra.items()})

def venv(target, line, log, extra=()):
    """The target's environment of a pydantic line (pydantic1: one of its
    own), each requirement file installed once; from wheels fetched here
    where pip there cannot reach the index."""
    where = VENVS / (target.name + ("-pydantic1" if line == "pydantic1" else ""))
    python = where / "bin" / "python"
    with step(where):
        if not python.exists():
            targets.make_venv(target, where)
        todo = [f for f in target.requirements(line, extra) if stale(where / (".req-" + f.stem), digest([f]))]
        if todo:
            source = ["--no-index", "--find-links", targets.wheelhouse(target, todo)] if target.platform.pip_platforms else []
            sh([python, *PIP, "install", *source, *[a for f in todo for a in ("-r", f)]], log, env=env_with())
            for f in todo:
                (where / (".req-" + f.stem)).write_text(digest([f]))
    return python

def tool_python(log):
    """The environment whose cmake and ninja build for other platforms."""
    return venv(next(t for t in TARGETS if isinstance(t.source, targets.Host) and t.python()), "pydantic2", log)

def wheel(target, log):
    """The target's wheel, built by pip in its environment."""
    out = BUILD / target.name / "dist"
    with step(out):
        python, key = venv(target, "pydantic2", log), digest([REPO / p for p in WHEEL_INPUTS]) + " ".join(targets.supported_versions())
        if stale(out / ".stamp", key):
            shutil.rmtree(str(out), ignore_errors=True)
            sh([python, *PIP, "wheel", "--no-build-isolation", "--no-deps", "--config-settings=build-dir=build/%s/wheel-build" % target.name,
                "-w", out, "."], log, cwd=str(REPO), env=env_with(python, tool_python(log), **target.platform.wheel_env))
            (out / ".stamp").write_text(key)
    return next(out.glob("*.whl"))

def installed(target, line, log, extra=()):
    """The line's environment with the target's wheel installed."""
    python, whl = venv(target, line, log, extra), wheel(target, log)
    stamp = python.parent.parent / ".installed"
    with step(stamp.parent):  # the environment's own lock: one pip in it at a time
        key = hashlib.sha256(whl.read_bytes()).hexdigest()
        if stale(stamp, key):
            sh([python, *PIP, "install", "--force-reinstall", "--no-deps", whl], log, env=env_with())
            stamp.write_text(key)
    return python

VARIANTS = {"test": ["-DCALLBACK_MODEL_PROBE=ON", "-DCALLBACK_MODEL_BENCH=ON", "-DCALLBACK_MODEL_EMBED_HOST=ON"],
            "asan": ["-DCMAKE_BUILD_TYPE=Debug", "-DCALLBACK_MODEL_PROBE=ON", "-DCALLBACK_MODEL_SANITIZE=ON",
                     "-DCALLBACK_MODEL_EMBED_HOST=ON"],
            "refcount": ["-DCALLBACK_MODEL_REFCOUNT_CONTROL=ON"],
            "tsan": ["-DCMAKE_BUILD_TYPE=Debug", "-DCALLBACK_MODEL_TSAN=ON"],
            "release": ["-DCALLBACK_MODEL_PROBE=ON"]}

def cmake(target, variant, log):
    """A CMake build of the module (and what the variant adds) for the
    target: by its own compiler, or from here by its platform's toolchain."""
    out = BUILD / target.name / variant
    with step(out):
        tool = tool_python(log)
        python = tool if target.platform is WINDOWS else venv(target, "pydantic2", log)
        args = target.platform.cmake_args(target, python, tool) + VARIANTS[variant]
        builder = tool if target.platform.cross else python  # its cmake and ninja (first on PATH)
        run, env = [builder.parent / "cmake"], env_with(builder)
        if stale(out / ".args", " ".join(args)) or not (out / "build.ninja").exists():
            sh(run + ["-S", REPO, "-B", out, "-G", "Ninja", *args], log, env=env)
            (out / ".args").write_text(" ".join(args))
        sh(run + ["--build", out], log, env=env)
    return out

def embed_site(target, log):
    """A pure-Python pydantic 1.10 (its sdist without Cython), which the
    embedding test's restarting runtimes use where the environment's own
    cannot be initialised twice in a process."""
    offline = bool(target.platform.pip_platforms)
    out = BUILD / "embed-site" / ("offline" if offline else target.name)
    with step(out):
        key = digest([REPO / "requirements" / "pydantic1.txt"])
        if stale(out / ".stamp", key):
            shutil.rmtree(str(out), ignore_errors=True)
            python = tool_python(log) if offline else venv(target, "pydantic2", log)
            sh([python, *PIP, "install", "--no-binary", "pydantic", "--target", out,
                "-r", REPO / "requirements" / "pydantic1.txt"], log, env=env_with(python, SKIP_CYTHON=1))
            (out / ".stamp").write_text(key)
    return out

def windows_site(target, line, log):
    """The line's wheels, unpacked: the suite's PYTHONPATH under Wine."""
    wheels = targets.wheelhouse(target, target.requirements(line))
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
    env, server = env_with(**WINDOWS.env), [os.path.join(os.path.dirname(WINDOWS.wine()), "wineserver")]
    warm = [*WINDOWS.command(target), "-c", "pass"]
    for cmd in (warm, server + ["-w"], server + ["-p"], warm):  # a first program, the server stopped, one kept on
        subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return lambda: subprocess.run(server + ["-k"], env=env)
# --- the suites: what a cell of each kind builds, and its command -------------------

def module_suite(target, line, log):
    """The whole suite against the installed wheel, with the probe of the test build."""
    if target.platform is WINDOWS:
        out, site, p = cmake(target, "test", log), windows_site(target, line, log), WINDOWS.path
        with step("wine"):
            STOP["wine"] = STOP.get("wine") or wine_server(target)
        return ([*WINDOWS.command(target), *PYTEST, "tests", *NOT_THE_WHEEL],
                dict(WINDOWS.env, PYTHONPATH=p(site), CALLBACK_MODEL_ROOT=p(out / "root"),
                     CALLBACK_MODEL_PROBE_DIR=p(out / "probe"), CALLBACK_MODEL_EMBED_SITE=p(embed_site(target, log))))
    demo = ["demo"] if line == "pydantic2" and target.name == demo_target().name else []
    python, out = installed(target, line, log, demo), cmake(target, "test", log)
    return [python, *PYTEST, "tests"], dict(CALLBACK_MODEL_WHEEL_DIR=BUILD / target.name / "dist",
                                            CALLBACK_MODEL_PROBE_DIR=out / "probe",
                                            CALLBACK_MODEL_EMBED_SITE=embed_site(target, log))

def asan_suite(target, log):
    """The suite against the AddressSanitizer and UBSan build (not the wheel and
    typing tests, which never load it, nor the HTTP demo, whose web stack leaves
    blocks at exit); the runtime preloaded in the interpreter, the suppressions
    (interpreter-only, each explained) matched through full unwinding."""
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
    """The release files installed as a user installs them, and a dist run
    from a clean clone compared with them byte for byte."""
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
    """The sdist, a wheel per Linux release target (manylinux or musllinux:
    auditwheel repairs and checks each) and a win_amd64 wheel per Windows one.
    Files carry the commit's time and a fixed order: a commit gives the same bytes."""
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
        pack_wheel(target, cmake(target, "release", log), metadata, outdir, log, tools)
        built.append(target)
    sh([tools, "-m", "twine", "check", "--strict", *sorted(outdir.iterdir())], log, env=env)
    for path in sorted(outdir.iterdir()):
        log.write("%-92s %8d bytes\n" % (path.name, path.stat().st_size))
    return built

def pack_wheel(target, out, metadata, outdir, log, tools):
    """A win_amd64 wheel of the .pyd, its stub and py.typed, and the Linux wheels' METADATA."""
    fields = dict(line.split(": ", 1) for line in metadata.decode().split("\n\n", 1)[0].splitlines() if ": " in line)
    tree, models, pyd = BUILD / target.name / "wheel", "vel_tarn/server/misc/models/", "callback_model.cp%s-win_amd64.pyd" % target.short
    info = tree / ("%s-%s.dist-info" % (fields["Name"].replace("-", "_").lower(), fields["Version"]))
    shutil.rmtree(str(tree), ignore_errors=True)
    for path in (info, tree / models):
        path.mkdir(parents=True)
    for source in (out / "root" / models / pyd, REPO / "server/misc/models/callback_model.pyi", REPO / "server/misc/models/py.typed"):
        shutil.copyfile(str(source), str(tree / models / source.name))
    (info / "METADATA").write_bytes(metadata)
    (info / "WHEEL").write_text("Wheel-Version: 1.0\nGenerator: vel_tarn tools/run.py\nRoot-Is-Purelib: false\n"
                                "Tag: %s\n" % target.wheel_tag())
    sh([tools, "-m", "wheel", "pack", "-d", outdir, tree], log, env=env_with(tools))
# --- the runner ---------------------------------------------------------------------

def available():
    with file_lock(targets.CACHE, shared=True):
        return [t for t in TARGETS if targets.selected(t) and t.python()]

def demo_target():
    version = os.environ.get("PYTHON") and targets.output([os.environ["PYTHON"], "-c",
                                                           "import sys; print('%d.%d' % sys.version_info[:2])"])
    return next(t for t in TARGETS if t.platform is LINUX and t.kind == "release" and t.version == (version or "3.8"))

def provision(cells):
    """Makes every interpreter and tool the cells need (once per machine), two
    sources at a time; returns the causes of what failed, by target (or tool) name."""
    failed = {}
    def make(group):
        for t in group:
            try:
                t.source.provision(t)
            except targets.ProvisionError as exc:
                failed[t.name] = str(exc)
    with file_lock(targets.CACHE):
        for tool in sorted({p for _, suite in cells for p in TOOLS.get(suite, [])}):
            try:
                shutil.which(tool) or targets.apt_install([tool])
            except targets.ProvisionError as exc:
                failed[tool] = str(exc)
        groups = collections.defaultdict(list)
        for t in dict.fromkeys(t for t, _ in cells if not t.unavailable):
            groups[id(t.source)].append(t)
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            list(pool.map(make, groups.values()))
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
            outcome = "passed" if proc.returncode == 0 else "FAILED (exit %d)" % proc.returncode
            TOOK[name] = time.time() - started
        except Exception as exc:  # a build step: the log says which
            outcome = "FAILED (could not start: %s)" % exc
    took = time.time() - started
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
    return targets.output(["git", "-C", REPO, "log", "-1", "--format=%ct"]) or "315532800"

def bench():
    """import and throughput figures on 3.8, the import's instruction ratio on
    every Linux version, thread figures on free-threaded 3.13, and a soak of
    1,000 runtimes on the oldest and the newest version."""
    log = sys.stdout
    linux = [t for t in available() if t.platform is LINUX and t.kind == "release"]
    first, newest = linux[0], [t for t in linux if not t.abiflags][-1]
    py = {(t.name, line): installed(t, line, log) for t in linux for line in ("pydantic2", "pydantic1")}
    builds = {t.name: cmake(t, "test", log) for t in (first, newest)}
    main = py[first.name, "pydantic2"]
    suffix = targets.output([main, "-c", "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))"])
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
    os.environ.setdefault("SOURCE_DATE_EPOCH", commit_time())
    if command == "test":
        return test(args)
    if command == "demo":
        python = installed(demo_target(), "pydantic2", sys.stdout, ["demo"])
        for example in ("examples/server.py", "examples/http_service.py"):
            subprocess.run([str(python), example], cwd=str(REPO), check=True)
    elif command == "dist":
        chosen = [targets.by_name(n) for n in args[1:]] or available()
        dist(pathlib.Path(args[0] if args else "dist").resolve(), chosen, sys.stdout)
    elif command == "bench":
        bench()
    else:
        raise SystemExit(__doc__)
    return 0

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
