#!/usr/bin/env python3
"""Every interpreter the module is built and tested for, and the platforms they
run on, declared once (tools/run.py runs their cells; `targets.py range` prints
the versions a build accepts, for CMake).  The cache: CALLBACK_MODEL_CACHE, else
/var/cache/vel-tarn-callback-model as root, else ~/.cache/vel-tarn-callback-model.
PYTHONS="/path/python3.X ..." names the host interpreters to use instead of searching."""
import contextlib, hashlib, os, pathlib, shutil, subprocess, sys, threading, time

REPO = pathlib.Path(__file__).resolve().parent.parent
IS_ROOT = hasattr(os, "geteuid") and os.geteuid() == 0
CACHE = pathlib.Path(os.environ.get("CALLBACK_MODEL_CACHE") or (
    "/var/cache/vel-tarn-callback-model" if IS_ROOT else
    os.path.join(os.environ.get("XDG_CACHE_HOME", os.path.expanduser("~/.cache")), "vel-tarn-callback-model")))
LAUNCHERS = CACHE / "bin"
PIP = ["-m", "pip", "--disable-pip-version-check", "-q"]
JOBS = "-j%d" % (os.cpu_count() or 2)
APT = threading.Lock()  # one apt-get of this process at a time

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

def must(cmd, what, **kw):
    """Runs a provisioning command (its output to kw's stdout, else nowhere); failing names what."""
    kw.setdefault("stdout", subprocess.DEVNULL)
    if subprocess.run([str(c) for c in cmd], **kw).returncode:
        raise ProvisionError("%s failed" % what)

def output(cmd):
    return subprocess.run([str(c) for c in cmd], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          universal_newlines=True).stdout.strip()

def apt_install(packages):
    """Installs Debian packages here (root only), waiting for another
    process's dpkg lock (an unattended upgrade at boot) instead of failing."""
    if not (IS_ROOT and shutil.which("apt-get")):
        raise ProvisionError("needs %s: install them as root (apt-get install %s)" % ((" ".join(packages),) * 2))
    apt, env = ["apt-get", "-qq", "-o", "DPkg::Lock::Timeout=900"], dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    with APT:
        # The timeout is dpkg's lock only: update waits for the lists' lock here.
        deadline = time.time() + 900
        while not (CACHE / ".apt-updated").exists():
            update = subprocess.run(apt + ["update"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                    universal_newlines=True)
            if update.returncode == 0:
                CACHE.mkdir(parents=True, exist_ok=True)
                (CACHE / ".apt-updated").touch()
            elif "Could not get lock" in update.stderr and time.time() < deadline:
                time.sleep(5)
            else:
                raise ProvisionError("apt-get update failed: " + update.stderr.strip())
        print("installing %s from the Debian packages" % " ".join(packages), file=sys.stderr, flush=True)
        must(apt + ["install", "-y", *packages], "apt-get install " + " ".join(packages), env=env)

def debian_archive():
    """The archive this machine's apt uses (a mirror of its own, say): its
    first deb entry of a release itself (not -security, -updates)."""
    out = output(["apt-get", "indextargets", "--no-release-info", "--format", "$(TARGET_OF) $(RELEASE) $(REPO_URI)"])
    for kind, release, uri in (line.split() for line in out.splitlines() if len(line.split()) == 3):
        if kind == "deb" and "-" not in release and "/" not in release:
            return uri.rstrip("/")
    raise ProvisionError("no Debian archive in this machine's apt sources (apt-get indextargets)")

def apt_fetch(work, entry, *args):
    """apt-get ARGS in work, with package lists of its own for one sources
    entry ("%s": this machine's archive); this machine's apt state is neither
    read nor changed."""
    lists = work / "apt"
    (lists / "lists" / "partial").mkdir(parents=True, exist_ok=True)
    (lists / "sources.list").write_text(entry % debian_archive() + "\n")
    apt = ["apt-get", "-q"] + [a for o in (
        "Dir::Etc::sourcelist=%s" % (lists / "sources.list"), "Dir::Etc::sourceparts=-", "Dir::State::status=/dev/null",
        "Dir::State::Lists=%s" % (lists / "lists"), "Dir::Cache=%s" % (lists / "cache"), "APT::Architectures::=arm64",
        "Acquire::Check-Valid-Until=false", "APT::Sandbox::User=root") for a in ("-o", o)]
    must(apt + ["update"], "apt-get update for '%s'" % (entry % debian_archive()), cwd=str(work))
    must(apt + list(args), "apt-get %s from %s" % (" ".join(args), debian_archive()), cwd=str(work))

def debian_source(package, suite, work):
    """The upstream tree of a Debian source package, unpacked in work."""
    apt_fetch(work, "deb-src %%s %s main" % suite, "source", "--download-only", package)
    must(["tar", "-xf", next(work.glob("%s_*.orig.tar.*" % package))], "unpacking %s's source" % package, cwd=str(work))
    return next(d for d in work.iterdir() if (d / "configure").exists())

def usable(python, version):
    """True when python runs, is that version, and can build (headers, venv)."""
    code = ("import os, sys, sysconfig, venv, ensurepip; sys.exit(not os.path.exists(os.path.join("
            "sysconfig.get_paths()['include'], 'Python.h')) or '%d.%d' % sys.version_info[:2] != " + repr(version) + ")")
    try:
        return subprocess.run([python, "-c", code], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        return False

def qemu_ready():
    """qemu's user-mode emulation of arm64, registered with the kernel."""
    if not all(shutil.which(t) for t in ("debootstrap", "bwrap", "qemu-aarch64-static", "aarch64-linux-gnu-g++")):
        apt_install(["debootstrap", "bubblewrap", "qemu-user-static", "binfmt-support", "g++-aarch64-linux-gnu"])
    if not os.path.exists("/proc/sys/fs/binfmt_misc/qemu-aarch64"):
        subprocess.run(["update-binfmts", "--enable", "qemu-aarch64"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not os.path.exists("/proc/sys/fs/binfmt_misc/qemu-aarch64"):
            raise ProvisionError("qemu-aarch64 is not registered with the kernel (update-binfmts)")
# --- where interpreters come from: python, provision (or ProvisionError), missing (why not)

class Host:
    """An interpreter installed on this machine: PYTHONS's, python3.X on PATH,
    pyenv's; or, with an executable, a Debian package of this machine."""
    def __init__(self, executable=None, packages=()):
        self.executable, self.packages = executable, list(packages)
    def python(self, target):  # the interpreters' interface: None until provisioned
        if self.executable:
            return self.executable if usable(self.executable, target.version) else None
        candidates = [explicit_pythons().get(target.version)] if os.environ.get("PYTHONS") else [
            shutil.which("python" + target.version)] + [
            os.path.join(p, "bin", "python" + target.version) for p in
            (output(["pyenv", "prefix", target.version]).split() if shutil.which("pyenv") else [])]
        python = next((c for c in candidates if c and usable(c, target.version)), None)
        return python and output([python, "-c", "import sys; print(sys.executable)"])
    def provision(self, target):
        if self.packages and not self.python(target):
            apt_install(self.packages)
    def missing(self, target):
        return "not installed: install " + (" ".join(self.packages) or "it (pyenv, or your distribution's python%s with "
                                              "its venv and dev packages), or name it in PYTHONS=" % target.version)

class DebianRoot:
    """Interpreters of another Debian suite (its packages: its targets' and
    `extra`), in a root made by debootstrap in a private mount namespace, run
    by bubblewrap (arm64: emulated, with a CPU whose pointer authentication
    qemu emulates fast).  No mount outlives a command."""
    MARKER = "/etc/vel-tarn-callback-model-root"
    def __init__(self, name, suite, arch, extra):
        self.name, self.suite, self.arch, self.extra = name, suite, arch, extra
        self.root, self.runner = CACHE / "roots" / name, LAUNCHERS / ("in-" + name)
    @property
    def packages(self):
        names = set(self.extra)
        for t in (t for t in TARGETS if t.source is self):
            names |= {"python%s%s" % (t.version, s) for s in ("", "-dev", "-venv") + ("-dbg",) * (t.kind == "debug")}
        return sorted(names)
    def ready(self):
        stamp = self.root / ".provisioned"
        return stamp.exists() and stamp.read_text().split() == self.packages and self.runner.exists()
    def python(self, target):
        launcher = LAUNCHERS / self.name / target.executable
        return str(launcher) if self.ready() and launcher.exists() else None
    def missing(self, target):
        return ("no Debian %s %s root in %s: make test run as root makes it with debootstrap and bubblewrap%s"
                % (self.suite, self.arch, self.root, " and qemu-user-static" * (self.arch != "amd64")))
    def provision(self, target):
        if not self.ready():
            self.make_root(target)
        write_script(LAUNCHERS / self.name / target.executable, "#!/bin/bash\n# %s of the Debian %s root, run there.\n"
                     'exec %s /usr/bin/%s "$@"\n' % (target.executable, self.suite, self.runner, target.executable))
    def make_root(self, target):
        if self.arch != "amd64":
            qemu_ready()
        elif not (shutil.which("debootstrap") and shutil.which("bwrap")):
            apt_install(["debootstrap", "bubblewrap"])
        if not IS_ROOT:
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
            must(private + ["debootstrap", "--variant=minbase", "--arch=" + self.arch, self.suite, tmp, debian_archive()],
                 "debootstrap of Debian %s (%s) from %s" % (self.suite, self.arch, debian_archive()))
            tmp.rename(self.root)
        etc = self.root / "etc"
        # The suite's Release file has expired; its signature still holds.
        (etc / "apt" / "apt.conf.d" / "99vel-tarn-no-valid-until").write_text('Acquire::Check-Valid-Until "false";\n')
        (self.root / self.MARKER.lstrip("/")).write_text(self.name + "\n")
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
    --cap-add ALL --setenv DEBIAN_FRONTEND noninteractive "${{binds[@]}}" --unsetenv PIP_FIND_LINKS {emulation}--chdir "$PWD" -- "$@"
""".format(suite=self.suite, arch=self.arch, root=self.root, marker=self.MARKER, launchers=LAUNCHERS, venvs=CACHE / "venvs",
           emulation="--setenv QEMU_CPU cortex-a72 " * (self.arch != "amd64")))
        must([self.runner, "sh", "-c", "apt-get update -qq && apt-get install -y -qq --no-install-recommends "
              + " ".join(self.packages)], "apt-get install in the Debian %s (%s) root" % (self.suite, self.arch), cwd="/")
        if os.path.exists("/etc/ssl/certs/ca-certificates.crt"):  # pip inside trusts what pip here trusts
            shutil.copyfile("/etc/ssl/certs/ca-certificates.crt", str(etc / "ssl" / "certs" / "ca-certificates.crt"))
        (self.root / ".provisioned").write_text("\n".join(self.packages) + "\n")

class SourceBuild:
    """An interpreter built from the upstream tarball of a Debian source
    package (from the archive this machine's apt names), with configure
    options of its own, installed in the cache once per machine."""
    BUILD_DEPS = ["build-essential", "dpkg-dev", "xz-utils", "libssl-dev", "zlib1g-dev", "libffi-dev", "libbz2-dev",
                  "liblzma-dev", "libsqlite3-dev", "libreadline-dev", "uuid-dev", "libncurses-dev"]
    def __init__(self, name, package, suite, configure=()):
        self.name, self.package, self.suite, self.configure = name, package, suite, list(configure)
        self.prefix = CACHE / "python" / name
    def python(self, target):
        exe = self.prefix / "bin" / target.executable
        return str(exe) if (self.prefix / ".built").exists() and exe.exists() else None
    def missing(self, target):
        return ("not built in %s: make test run as root builds it from Debian's %s source package (once per machine)"
                % (self.prefix, self.package))
    def tools(self):
        apt_install(self.BUILD_DEPS)
    def steps(self, work, source):
        """Each build step: its directory, command and environment."""
        env = dict(os.environ, LDFLAGS="-Wl,-rpath,%s" % (self.prefix / "lib"))
        return [(source, ["./configure", "--prefix=%s" % self.prefix, "--enable-shared", "--with-ensurepip=install",
                          *self.configure], env), (source, ["make", JOBS], env), (source, ["make", "install"], env)]
    def provision(self, target):
        if self.python(target):
            return
        if not IS_ROOT:
            raise ProvisionError(self.missing(target))
        self.tools()
        print("building %s from Debian's %s source package into %s (once per machine)"
              % (target.label, self.package, self.prefix), file=sys.stderr, flush=True)
        work = CACHE / "python" / (self.name + ".work")
        for tree in (work, self.prefix):
            shutil.rmtree(str(tree), ignore_errors=True)
        (work / "python").mkdir(parents=True)
        source = debian_source(self.package, self.suite, work / "python")
        with open(str(work / "build.log"), "w") as log:
            for where, cmd, env in self.steps(work, source):
                must(cmd, "building %s at '%s' (see %s)" % (target.label, " ".join(cmd), work / "build.log"),
                     cwd=str(where), env=env, stdout=log, stderr=subprocess.STDOUT)
        # The interpreter's ThreadSanitizer suppressions, for runs under it.
        (self.prefix / "share" / "tsan").mkdir(parents=True, exist_ok=True)
        for supp in (source / "Tools" / "tsan").glob("*.txt"):
            shutil.copyfile(str(supp), str(self.prefix / "share" / "tsan" / supp.name))
        (self.prefix / ".built").write_text(" ".join(self.configure) + "\n")
        shutil.rmtree(str(work), ignore_errors=True)

class MuslBuild(SourceBuild):
    """CPython for musl, built by zig's clang against a static zlib (Debian's
    source), without the modules that would pick up this machine's glibc
    libraries; its programs name the musl loader in the cache, not /lib's.
    An arm64 one builds as natively, its configure checks emulated."""
    LEFT_OUT = ["_lzma", "_bz2", "_ssl", "_hashlib", "_sqlite3", "_ctypes", "_curses", "_curses_panel", "readline",
                "_dbm", "_gdbm", "_uuid", "_tkinter"]
    def __init__(self, platform, version):
        SourceBuild.__init__(self, "musl-%s-%s" % (platform.arch, version), "python" + version,
                             {"3.11": "bookworm", "3.13": "testing"}[version])
        self.platform = platform
    def tools(self):
        self.platform.provision()
    def steps(self, work, source):
        (work / "zlib").mkdir()
        zlib, musl, prefix = debian_source("zlib", "bookworm", work / "zlib"), self.platform, self.prefix
        # clang's own <stdarg.h> lacks the musl mark the triplet probe looks
        # for (musl's <stdio.h> has it); zig's linker takes -soname, not -h.
        for name, old, new in (("Misc/platform_triplet.c", "<stdarg.h>", "<stdio.h>"), ("Makefile.pre.in", "-Wl,-h", "-Wl,-soname,")):
            if (source / name).exists():
                (source / name).write_text((source / name).read_text().replace(old, new))
        env = dict(os.environ, CC=str(musl.compiler("cc")), CXX=str(musl.compiler("c++")), PKG_CONFIG="false",
                   CFLAGS="-Wno-error=date-time", CPPFLAGS="-I%s/include" % prefix,
                   LDFLAGS="-L%s/lib -Wl,-rpath,%s/lib -Wl,--dynamic-linker=%s" % (prefix, prefix, musl.loader()),
                   **{"py_cv_module_" + m: "n/a" for m in self.LEFT_OUT})
        no_stub = "PY3LIBRARY="  # no libpython3.so, which zig cannot link for arm64
        return [(zlib, ["./configure", "--static", "--prefix=%s" % prefix], dict(env, CFLAGS="-O2 -fPIC")),
                (zlib, ["make", JOBS, "install"], env),
                (source, ["./configure", "--build=" + musl.triple, "--host=" + musl.triple, "--prefix=%s" % prefix,
                          "--enable-shared", "--with-ensurepip=install", "--disable-test-modules"], env),
                (source, ["make", JOBS, no_stub], env), (source, ["make", "install", no_stub], env)]
# --- platforms ---------------------------------------------------------------------

class Platform:
    """Where a wheel runs: its tag, libc floor (newest glibc symbol version, or
    musl release), the libraries it may need; CMake's arguments to build for
    it from here (`cross`: compilers of its own); how a program runs there."""
    pip_platforms = ()  # where pip there cannot reach the index: the tags of wheels fetched here
    build, pins, env, wheel_env = "build", [], {}, {}  # requirement files its environments add
    def __init__(self, name, prefix, tag, libc, needed="libc.so.6", toolchain=None):
        self.name, self.prefix, self.tag, self.libc, self.needed = name, prefix, tag, libc, needed
        self.toolchain, self.cross = toolchain and REPO / "cmake" / toolchain, toolchain is not None
    def command(self, target):
        return [target.python()]
    def path(self, path):
        return str(path)
    def cmake_args(self, target, python, tool):
        """CMake's arguments for a build for target (python: its environment's; tool: this machine's)."""
        if self is not LINUX_ARM64:
            return ["-DPython_EXECUTABLE=%s" % python]
        root = target.source.root
        return ["-DCMAKE_TOOLCHAIN_FILE=%s" % self.toolchain, "-DCALLBACK_MODEL_SYSROOT=%s" % root,
                "-DPython_EXECUTABLE=%s/usr/bin/%s" % (root, target.executable),
                "-DCMAKE_POLICY_DEFAULT_CMP0190=NEW", "-DCALLBACK_MODEL_HOST_PYTHON=%s" % tool]

class Musl(Platform):
    """musl Linux (Alpine): zig's clang (PyPI's ziglang, in the cache) builds
    for it; Debian's musl loader, in the cache, runs its programs.  Alpine's
    name for musl's libc, libc.musl-<arch>.so.1, is what the library needs."""
    build = "musl-build"
    def __init__(self, arch, debian_arch, prefix):
        Platform.__init__(self, "linux-musl-" + arch, prefix, "musllinux_1_2_" + arch, (1, 2),
                          needed="libc.musl-%s.so.1" % arch)
        self.arch, self.debian_arch, self.triple, self.cross = arch, debian_arch, arch + "-linux-musl", True
        self.pip_platforms = ["musllinux_1_1_" + arch, "musllinux_1_2_" + arch]
        self.wheel_env = {"CMAKE_ARGS": " ".join(self.compilers())}
    def loader(self):
        return CACHE / "musl" / self.arch / "usr" / "lib" / ("ld-musl-%s.so.1" % self.arch)
    def compiler(self, driver):
        return LAUNCHERS / ("%s-%s" % (self.triple, driver))
    def compilers(self):
        """What has CMake build with zig for this platform, in this build or in a wheel's."""
        return ["-DCMAKE_C_COMPILER=%s" % self.compiler("cc"), "-DCMAKE_CXX_COMPILER=%s" % self.compiler("c++"),
                "-DCMAKE_EXE_LINKER_FLAGS=-Wl,--dynamic-linker=%s" % self.loader(),
                "-DCALLBACK_MODEL_LIBC_NAME=" + self.needed, "-DCALLBACK_MODEL_PATCHELF=%s" % (CACHE / "zig" / "bin" / "patchelf")]
    def cmake_args(self, target, python, tool):
        return ["-DPython_EXECUTABLE=%s" % python, "-DCALLBACK_MODEL_HOST_PYTHON=%s" % tool] + self.compilers()
    def provision(self):
        """zig, the loader and the compiler wrappers, once per machine: under
        one lock, as each musl target's provisioning wants them."""
        zig = CACHE / "zig" / "ziglang" / "zig"
        with file_lock(CACHE / "musl"):
            if not zig.exists():
                must([sys.executable, *PIP, "install", "--target", zig.parent.parent, "-r", REPO / "requirements" / "zig.txt"],
                     "pip install -r requirements/zig.txt (zig's toolchain)")
            if self.arch != "x86_64":
                qemu_ready()
            if not self.loader().exists():
                work = CACHE / "musl" / (self.arch + ".work")
                shutil.rmtree(str(work), ignore_errors=True)
                apt_fetch(work, "deb [arch=%s] %%s sid main" % self.debian_arch, "download", "musl:" + self.debian_arch)
                must(["dpkg-deb", "-x", next(work.glob("musl_*.deb")), CACHE / "musl" / self.arch], "unpacking Debian's musl")
                shutil.rmtree(str(work))
            for driver in ("cc", "c++"):
                write_script(self.compiler(driver), """#!/bin/sh
# zig's clang for {triple}, its cache beside it (configure asks the multiarch name too).
case "$1" in -print-multiarch|--print-multiarch) echo {triple}; exit 0;; esac
ZIG_GLOBAL_CACHE_DIR={cache} exec {zig} {driver} -target {triple} "$@"
""".format(triple=self.triple, cache=CACHE / "zig" / "cache", zig=zig, driver=driver))

class Wine(Platform):
    """64-bit Windows, and its interpreters' source: mingw-w64 builds, Wine runs
    (one prefix under build/) the embeddable CPython of PyPI's qenvpython3X."""
    env = {"WINEPREFIX": str(REPO / "build" / "windows" / "wineprefix"), "WINEDEBUG": "-all"}
    pip_platforms, build, pins = ["win_amd64"], None, ["windows"]
    packages = ["g++-mingw-w64-x86-64-posix", "wine64"]
    def wine(self):
        return next((c for c in ("/usr/lib/wine/wine64", shutil.which("wine64")) if c and os.access(c, os.X_OK)), None)
    def tools_ready(self):
        return bool(self.wine() and shutil.which("x86_64-w64-mingw32-g++-posix"))
    def command(self, target):
        os.makedirs(os.path.dirname(self.env["WINEPREFIX"]), exist_ok=True)  # Wine makes the prefix, not its parents
        return [self.wine(), target.python()]
    def path(self, path):
        return "Z:" + str(path).replace("/", "\\")
    def cmake_args(self, target, python, tool):
        include = output([target.host().python(), "-c", "import sysconfig; print(sysconfig.get_paths()['include'])"])
        return ["-DCMAKE_TOOLCHAIN_FILE=%s" % self.toolchain, "-DPython_EXECUTABLE=%s" % tool,
                "-DCALLBACK_MODEL_PYTHON_INCLUDE=%s" % include,
                "-DCALLBACK_MODEL_PYTHON_DLL=%s" % pathlib.Path(target.python()).with_name("python%s.dll" % target.short)]
    def home(self, target):
        return CACHE / "windows" / ("qenvpython" + target.short)
    def python(self, target):
        exe = self.home(target) / "python.exe"
        return str(exe) if exe.exists() and self.tools_ready() and target.host() else None
    def missing(self, target):
        return ("install %s to build and test it" % " and ".join(self.packages) if not self.tools_ready() else
                "no CPython %s on this machine to compile against" % target.version if not target.host() else
                "qenvpython%s not unpacked in %s" % (target.short, self.home(target)))
    def provision(self, target):
        if not self.tools_ready():
            apt_install(self.packages)
        home = self.home(target)
        if (home / "python.exe").exists():
            return
        tmp = home.with_name(home.name + ".tmp")
        shutil.rmtree(str(tmp), ignore_errors=True)
        must([sys.executable, *PIP, "install", "--no-deps", "--no-compile", "--target", tmp, "qenvpython" + target.short],
             "pip install qenvpython" + target.short)
        (tmp / "QPT_SDK" / "QEnvPython" / ("python" + target.short)).rename(home)
        for pth in home.glob("*._pth"):  # without it, PYTHONPATH and the script's folder count
            pth.unlink()
        shutil.rmtree(str(tmp))

LINUX = Platform("linux-x86_64", "", "manylinux1_x86_64.manylinux_2_5_x86_64", (2, 5))
LINUX_ARM64 = Platform("linux-aarch64", "arm64-", "manylinux2014_aarch64.manylinux_2_17_aarch64", (2, 17),
                       toolchain="aarch64-linux-gnu.cmake")
MUSL = Musl("x86_64", "amd64", "musl-")
MUSL_ARM64 = Musl("aarch64", "arm64", "musl-arm64-")
WINDOWS = Wine("windows-amd64", "windows-", "win_amd64", None, needed=None, toolchain="mingw-w64-x86_64.cmake")

def wheelhouse(target, files):
    """Wheels of the requirement files for the target's version and platform,
    fetched here once (pip there cannot reach the index)."""
    key = hashlib.sha256(b"".join(pathlib.Path(f).read_bytes() for f in files)).hexdigest()[:16]
    where = CACHE / "wheels" / target.name / key
    with file_lock(where.parent):
        if not where.exists():
            tags = [a for p in target.platform.pip_platforms for a in ("--platform", p)]
            must([sys.executable, *PIP, "download", "--only-binary=:all:", "--implementation", "cp", "--python-version",
                  target.version, *tags, "-d", str(where) + ".tmp", *[a for f in files for a in ("-r", f)]],
                 "pip download of %s's wheels" % target.label, stderr=subprocess.DEVNULL)
            os.rename(str(where) + ".tmp", str(where))
    return where

class Target:
    """One interpreter: version, platform, kind ("release", "debug" or
    "tsan"), where it comes from, and the suites it gets (its cells)."""
    def __init__(self, version, platform, source, suites="pydantic2", kind="release", abiflags="", executable=None,
                 unavailable=None):
        self.version, self.platform, self.source, self.kind, self.abiflags = version, platform, source, kind, abiflags
        self.unavailable = unavailable  # why no provisioning here can make it (no registry has it)
        self.suites, self.short = suites.split(), version.replace(".", "")
        self.executable = executable or ("python%s%s" % (version, "d" if kind == "debug" else abiflags))
        self.name = platform.prefix + version + {"release": abiflags, "debug": "d", "tsan": abiflags + "-tsan"}[kind]
        what = {"release": "CPython", "debug": "debug CPython", "tsan": "ThreadSanitizer CPython"}[kind]
        self.label = "%s %s%s%s" % (what, version, abiflags, "" if platform is LINUX else " " + platform.name)
    def python(self):
        """The interpreter's path (a launcher where it lives in a root), or None."""
        self.found = getattr(self, "found", None) or (None if self.unavailable else self.source.python(self))
        return self.found
    def wheel_tag(self):
        return "cp%s-cp%s%s-%s" % (self.short, self.short, self.abiflags, self.platform.tag)
    def requirements(self, line, extra=()):
        """The requirement files of its environment for a pydantic line ("pydantic2", "pydantic1")."""
        names = ["test", "pydantic1"] if line == "pydantic1" else ["test"] + ["pydantic2"] * (self.kind == "release")
        names += [self.platform.build] * bool(line != "pydantic1" and self.platform.build) + self.platform.pins + list(extra)
        return [REPO / "requirements" / (n + ".txt") for n in names]
    def host(self):
        """This machine's own CPython of the same version (a Windows build compiles against its headers)."""
        return next((t for t in TARGETS if t.platform is LINUX and t.kind == "release" and t.version == self.version
                     and isinstance(t.source, Host) and selected(t) and t.python()), None)

HOST = Host()
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
    *[T(v, LINUX, HOST) for v in ("3.9", "3.10", "3.11", "3.12")],
    T("3.13", LINUX, HOST, "pydantic2 dist"),
    T("3.14", LINUX, SID_AMD64, "pydantic2 pydantic1"),
    T("3.15", LINUX, SID_AMD64, "pydantic2 pydantic1 asan"),
    T("3.13", LINUX, PYTHON313T, "pydantic2 pydantic1", abiflags="t"),
    T("3.13", LINUX, PYTHON313T_TSAN, "racing", kind="tsan", abiflags="t"),
    T("3.11", LINUX, Host("/usr/bin/python3.11-dbg", ["python3.11-dbg", "python3.11-dev", "python3.11-venv"]),
      "refcount", kind="debug", executable="python3.11-dbg"),
    *[T(v, LINUX, SID_AMD64, "refcount", kind="debug") for v in ("3.14", "3.15")],
    T("3.11", LINUX_ARM64, BOOKWORM_ARM64, "pydantic2 pydantic1"),
    *[T(v, LINUX_ARM64, SID_ARM64) for v in ("3.13", "3.14")],
    T("3.15", LINUX_ARM64, SID_ARM64, "pydantic2 pydantic1"),
    T("3.11", MUSL, MuslBuild(MUSL, "3.11"), "pydantic2 pydantic1"),
    T("3.13", MUSL, MuslBuild(MUSL, "3.13")),
    T("3.11", MUSL_ARM64, MuslBuild(MUSL_ARM64, "3.11"), "pydantic2 pydantic1"),
    T("3.13", MUSL_ARM64, MuslBuild(MUSL_ARM64, "3.13")),
    T("3.8", WINDOWS, WINDOWS, "pydantic2 pydantic1"),
    *[T(v, WINDOWS, WINDOWS) for v in ("3.9", "3.10", "3.11")],
    T("3.12", WINDOWS, WINDOWS, "pydantic2 pydantic1"),
    *[T(v, WINDOWS, WINDOWS, unavailable=NO_WINDOWS) for v in ("3.13", "3.14", "3.15")],
]

def supported_versions():
    return sorted({t.version for t in TARGETS if t.kind == "release" and not t.unavailable},
                  key=lambda v: tuple(map(int, v.split("."))))

def by_name(name):
    found = [t for t in TARGETS if t.name == name]
    if not found:
        raise SystemExit("no target named %r; the targets are: %s" % (name, " ".join(t.name for t in TARGETS)))
    return found[0]

def explicit_pythons():
    """The host interpreters PYTHONS names, by version."""
    return {output([p, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"]): p
            for p in os.environ.get("PYTHONS", "").split()}

def selected(target):
    """With PYTHONS set, only the versions it names are tested."""
    return not os.environ.get("PYTHONS") or target.version in explicit_pythons()

def platform_here():
    """The platform of the running interpreter (for the tests)."""
    import platform, sysconfig
    musl = "musl" in (sysconfig.get_config_var("MULTIARCH") or sysconfig.get_config_var("SOABI") or "")
    return next(p for p in (LINUX, LINUX_ARM64, MUSL, MUSL_ARM64) if p.tag.endswith(platform.machine())
                and isinstance(p, Musl) == musl)

def make_venv(target, directory):
    """A virtual environment of the target's interpreter; a Debian root's has
    launchers that enter the root and run it under the name called."""
    directory = pathlib.Path(os.path.abspath(str(directory)))
    subprocess.run([target.python(), "-m", "venv", str(directory)], check=True)
    for name in ("python", "python3", target.executable) if isinstance(target.source, DebianRoot) else ():
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
