"""The release files of make dist, installed as a user would install them.

Environment: CALLBACK_MODEL_DIST (the dist directory) and
CALLBACK_MODEL_TARGETS (the names of the targets whose wheels it holds).
"""
import hashlib
import os
import pathlib
import re
import subprocess
import sys
import textwrap
import zipfile

import pytest

from conftest import REPO, targets

DIST = pathlib.Path(os.environ.get("CALLBACK_MODEL_DIST", str(REPO / "dist")))
BUILT = [targets.by_name(n) for n in os.environ.get("CALLBACK_MODEL_TARGETS", "").split()]
LINUX = [t for t in BUILT if t.platform is not targets.WINDOWS]
SUPPORTED = targets.supported_versions()

# Run in the installed environment: the model accepts a record, rejects a
# bad one with pydantic's error, and comes from that environment.
USE = textwrap.dedent("""
    import sys, pydantic
    from vel_tarn.server.misc.models import callback_model as m
    assert m.__file__.startswith(sys.prefix) or m.__file__.startswith(sys.argv[1]), m.__file__
    ok = m.VelTarnCallbackModel(procedure="p", status="done", msg="m", successful={"a": 1}, failed={})
    try:
        m.VelTarnCallbackModel(procedure="p", status=["x"], msg="m", successful={}, failed={})
        raise SystemExit("a bad record was accepted")
    except pydantic.ValidationError as exc:
        bad = [tuple(e["loc"]) for e in exc.errors()]
    print(ok.status, bad, pydantic.VERSION.split(".")[0])
""")


def version_order(target):
    return (target.platform is not targets.LINUX,) + tuple(map(int, target.version.split("."))) + (target.abiflags,)


def one(pattern):
    found = sorted(DIST.glob(pattern))
    assert len(found) == 1, (pattern, [p.name for p in DIST.iterdir()])
    return found[0]


def metadata(wheel):
    with zipfile.ZipFile(str(wheel)) as zf:
        (name,) = [n for n in zf.namelist() if n.endswith(".dist-info/METADATA")]
        return zf.read(name).decode("utf-8")


def fresh_env(target, where):
    """A new virtual environment of the target's interpreter (inside its
    Debian root for the versions that live there)."""
    return str(targets.make_venv(target, where))


def clean_env():
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "CALLBACK_MODEL_ROOT")}


def test_dist_holds_a_manylinux_wheel_per_interpreter_the_windows_wheels_and_one_sdist():
    names = sorted(p.name for p in DIST.iterdir())
    expected = {"vel_tarn_callback_model-1.0.0.tar.gz"}
    expected |= {"vel_tarn_callback_model-1.0.0-%s.whl" % t.wheel_tag() for t in BUILT}
    windows = {p.name for p in DIST.glob("*-win_amd64.whl")}
    assert windows and LINUX and set(names) == expected
    assert all(re.fullmatch(r"vel_tarn_callback_model-1\.0\.0-cp3(\d+)-cp3\1-win_amd64\.whl", w)
               for w in windows)


def test_metadata_is_complete():
    readme = (REPO / "README.md").read_text(encoding="utf-8")
    for wheel in sorted(DIST.glob("*.whl")):
        text = metadata(wheel)
        head, _, body = text.partition("\n\n")
        assert re.search(r"^Requires-Python: >=%s$" % re.escape(SUPPORTED[0]), head, re.M)
        classifiers = re.findall(r"^Classifier: (.*)$", head, re.M)
        assert [c for c in classifiers if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)] == \
            ["Programming Language :: Python :: %s" % v for v in SUPPORTED]
        assert "Programming Language :: Python :: Free Threading :: 3 - Stable" in classifiers
        assert "License :: Other/Proprietary License" in classifiers
        assert re.search(r"^License: \S", head, re.M)
        assert "Description-Content-Type: text/markdown" in head
        assert body.strip() == readme.strip()
        assert re.search(r"^Requires-Dist: pydantic(<3,>=1\.10|>=1\.10,<3)$", head, re.M)
    subprocess.run([sys.executable, "-m", "twine", "check", "--strict", *map(str, sorted(DIST.iterdir()))],
                   check=True, stdout=subprocess.DEVNULL)


@pytest.mark.parametrize("target", sorted(LINUX, key=version_order), ids=lambda t: t.name)
def test_each_linux_wheel_installs_with_its_dependencies_from_the_index(target, tmp_path):
    wheel = one("*-%s.whl" % target.wheel_tag())
    python = fresh_env(target, tmp_path / "env")
    # Wheels only, as for a free-threaded interpreter one must: the newest
    # pydantic-core has no cp313t wheel, and building it would need Rust.
    # A musl interpreter (no ssl here) takes the index's wheels fetched for it.
    offline = ["--no-index", "--find-links", str(targets.wheelhouse(target, target.requirements("pydantic2")))] \
        if target.platform.pip_platforms else []
    subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", "--only-binary", ":all:",
                    *offline, str(wheel)],
                   check=True, env=clean_env())
    out = subprocess.run([python, "-c", USE, str(tmp_path)], check=True, env=clean_env(), cwd=str(tmp_path),
                         stdout=subprocess.PIPE, universal_newlines=True).stdout
    assert out == "done [('status',)] 2\n"


def test_sdist_builds_from_source_with_build_isolation(tmp_path):
    target = sorted((t for t in LINUX if t.abiflags == "" and t.platform is targets.LINUX), key=version_order)[-1]
    python = fresh_env(target, tmp_path / "env")
    sdist = one("*.tar.gz")
    subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", str(sdist)],
                   check=True, env=clean_env(), cwd=str(tmp_path))
    out = subprocess.run([python, "-c", USE, str(tmp_path)], check=True, env=clean_env(), cwd=str(tmp_path),
                         stdout=subprocess.PIPE, universal_newlines=True).stdout
    assert out == "done [('status',)] 2\n"


def test_windows_wheel_installs_into_the_windows_interpreter(tmp_path):
    wheel = one("*-cp38-cp38-win_amd64.whl")
    target, windows = targets.by_name("windows-3.8"), targets.WINDOWS
    if not target.python():
        pytest.fail("%s cannot run here: %s" % (target.label, target.source.missing(target)))
    wheels = targets.wheelhouse(target, target.requirements("pydantic2"))  # pydantic's Windows wheels, from the index
    env = dict(clean_env(), **windows.env)
    site = tmp_path / "site"
    # The embeddable distribution's own pip, resolving pydantic from those wheels.
    subprocess.run([*windows.command(target), "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    "--no-index", "--find-links", windows.path(wheels), "--target", windows.path(site),
                    windows.path(wheel)], check=True, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    env["PYTHONPATH"] = windows.path(site)
    proc = subprocess.run([*windows.command(target), "-c", USE, windows.path(site)], env=env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    assert (proc.returncode, proc.stdout.replace("\r\n", "\n")) == (0, "done [('status',)] 2\n"), proc.stderr


def digests(directory):
    return {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in sorted(directory.iterdir())}


def test_a_dist_run_from_a_clean_clone_gives_the_same_bytes(tmp_path):
    # The oldest version and the newest of every platform (arm64's built under
    # emulation, in its Debian root), every musl one (zig's) and one Windows
    # one, against this tree's files when it is clean, else a second clone's.
    chosen = [t for t in sorted(LINUX, key=version_order) if t.platform is targets.LINUX][:1]
    chosen += [sorted((t for t in LINUX if t.platform is p), key=version_order)[-1]
               for p in dict.fromkeys(t.platform for t in LINUX)]
    chosen += [t for t in LINUX if t.platform.pip_platforms and t not in chosen]
    chosen += [t for t in BUILT if t.platform is targets.WINDOWS][:1]
    git = ["git", "-C", str(REPO)]
    head = subprocess.run(git + ["rev-parse", "HEAD"], stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
    clean = not subprocess.run(git + ["status", "--porcelain"], stdout=subprocess.PIPE, check=True).stdout
    runs = []
    for name in ("a",) if clean else ("a", "b"):
        clone = tmp_path / name
        subprocess.run(["git", "clone", "-q", "--no-local", str(REPO), str(clone)], check=True)
        subprocess.run(["git", "checkout", "-q", head.strip()], cwd=str(clone), check=True)
        # The clones build with this tree's environments (CALLBACK_MODEL_VENVS).
        subprocess.run([sys.executable, str(clone / "tools" / "run.py"), "dist", str(clone / "dist"),
                        *[t.name for t in chosen]], cwd=str(clone), check=True, stdout=subprocess.DEVNULL)
        runs.append(digests(clone / "dist"))
    if clean:
        runs.append({name: digest for name, digest in digests(DIST).items() if name in runs[0]})
    assert len([n for n in runs[0] if n.endswith(".whl")]) == len(chosen) and runs[0] == runs[1]
