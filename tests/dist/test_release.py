"""The release files of make dist, installed as a user would install them.

Environment: CALLBACK_MODEL_DIST (the dist directory), CALLBACK_MODEL_PYTHONS
("3.X=/path/python3.X ..."; the interpreters the wheels were built for) and
CALLBACK_MODEL_BUILD_PYTHONS (the same, naming environments with the build
tools, for the reproducibility check).
"""
import hashlib
import importlib.util
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
PYTHONS = dict(e.split("=", 1) for e in os.environ.get("CALLBACK_MODEL_PYTHONS", "").split())
BUILD_PYTHONS = dict(e.split("=", 1) for e in os.environ.get("CALLBACK_MODEL_BUILD_PYTHONS", "").split())
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


# The manylinux tags auditwheel gives a library that needs only libc, by
# platform: glibc 2.2.5 symbols on x86_64, the aarch64 floor (2.17) on arm64.
MANYLINUX = {targets.LINUX: "manylinux1_x86_64.manylinux_2_5_x86_64",
             targets.LINUX_ARM64: "manylinux2014_aarch64.manylinux_2_17_aarch64"}


def tag(name):
    """The wheel's tags for a target as targets.py names it (3.13t is the
    free-threaded 3.13: cp313-cp313t-...; arm64-3.11 is cp311 on aarch64)."""
    target = targets.by_name(name)
    python = "cp" + target.version.replace(".", "")
    return "%s-%s%s-%s" % (python, python, target.abiflags, MANYLINUX[target.platform])


def version_order(name):
    target = targets.by_name(name)
    return (target.platform != targets.LINUX,) + targets.version_key(target.version) + (target.abiflags,)


def one(pattern):
    found = sorted(DIST.glob(pattern))
    assert len(found) == 1, (pattern, [p.name for p in DIST.iterdir()])
    return found[0]


def metadata(wheel):
    with zipfile.ZipFile(str(wheel)) as zf:
        (name,) = [n for n in zf.namelist() if n.endswith(".dist-info/METADATA")]
        return zf.read(name).decode("utf-8")


def fresh_env(version, where):
    """A new virtual environment of that version's interpreter (inside its
    Debian root for the versions that live there)."""
    target = targets.by_name(version)
    target.source.make_venv(target, where)
    return str(where / "bin" / "python")


def clean_env():
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "CALLBACK_MODEL_ROOT")}


def test_dist_holds_a_manylinux_wheel_per_interpreter_the_windows_wheels_and_one_sdist():
    names = sorted(p.name for p in DIST.iterdir())
    expected = {"vel_tarn_callback_model-1.0.0.tar.gz"}
    expected |= {"vel_tarn_callback_model-1.0.0-%s.whl" % tag(v) for v in PYTHONS}
    windows = {p.name for p in DIST.glob("*-win_amd64.whl")}
    assert windows and set(names) == expected | windows
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


@pytest.mark.parametrize("version", sorted(PYTHONS, key=version_order))
def test_each_linux_wheel_installs_with_its_dependencies_from_the_index(version, tmp_path):
    wheel = one("*-%s.whl" % tag(version))
    python = fresh_env(version, tmp_path / "env")
    # Wheels only, as for a free-threaded interpreter one must: the newest
    # pydantic-core has no cp313t wheel, and building it would need Rust.
    subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", "--only-binary", ":all:",
                    str(wheel)],
                   check=True, env=clean_env())
    out = subprocess.run([python, "-c", USE, str(tmp_path)], check=True, env=clean_env(), cwd=str(tmp_path),
                         stdout=subprocess.PIPE, universal_newlines=True).stdout
    assert out == "done [('status',)] 2\n"


def test_sdist_builds_from_source_with_build_isolation(tmp_path):
    version = sorted((v for v in PYTHONS if targets.by_name(v).abiflags == "" and
                      targets.by_name(v).platform == targets.LINUX), key=version_order)[-1]
    python = fresh_env(version, tmp_path / "env")
    sdist = one("*.tar.gz")
    subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", str(sdist)],
                   check=True, env=clean_env(), cwd=str(tmp_path))
    out = subprocess.run([python, "-c", USE, str(tmp_path)], check=True, env=clean_env(), cwd=str(tmp_path),
                         stdout=subprocess.PIPE, universal_newlines=True).stdout
    assert out == "done [('status',)] 2\n"


def windows_tool():
    spec = importlib.util.spec_from_file_location("windows_tool", str(REPO / "tools" / "windows.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_windows_wheel_installs_into_the_windows_interpreter(tmp_path):
    wheel = one("*-cp38-cp38-win_amd64.whl")
    tool = windows_tool()
    if not tool.ensure_tools():
        pytest.fail("Wine and mingw-w64 are not installed: " + tool.targets.PyPIEmbeddable.missing_tools())
    exe = tool.windows_interpreter("3.8")
    tool.site_dir("3.8", "pydantic2")  # downloads pydantic's Windows wheels from the index
    wheels = tool.WORK / "wheels" / "3.8-pydantic2"
    env = {k: v for k, v in tool.wine_env().items() if k in clean_env()}
    site = tmp_path / "site"
    # The embeddable distribution's own pip, resolving pydantic from those wheels.
    subprocess.run([tool.wine_path(), str(exe), "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    "--no-index", "--find-links", tool.windows_path(wheels), "--target", tool.windows_path(site),
                    tool.windows_path(wheel)], check=True, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    env["PYTHONPATH"] = tool.windows_path(site)
    proc = subprocess.run([tool.wine_path(), str(exe), "-c", USE, tool.windows_path(site)], env=env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    assert (proc.returncode, proc.stdout.replace("\r\n", "\n")) == (0, "done [('status',)] 2\n"), proc.stderr


def digests(directory):
    return {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in sorted(directory.iterdir())}


def test_two_dist_runs_from_clean_clones_give_the_same_bytes(tmp_path):
    # The oldest version and the newest (built in its Debian root), and the
    # newest arm64 one (built under emulation) where there is one.
    built = sorted((v for v in BUILD_PYTHONS if targets.by_name(v).platform == targets.LINUX), key=version_order)
    arm64 = sorted((v for v in BUILD_PYTHONS if targets.by_name(v).platform == targets.LINUX_ARM64),
                   key=version_order)
    versions = sorted({built[0], built[-1]} | set(arm64[-1:]), key=version_order)
    head = subprocess.run(["git", "rev-parse", "HEAD"], cwd=str(REPO), stdout=subprocess.PIPE,
                          universal_newlines=True, check=True).stdout.strip()
    runs = []
    for name in ("a", "b"):
        clone = tmp_path / name
        subprocess.run(["git", "clone", "-q", "--no-local", str(REPO), str(clone)], check=True)
        subprocess.run(["git", "checkout", "-q", head], cwd=str(clone), check=True)
        subprocess.run([sys.executable, str(clone / "tools" / "dist.py"), str(clone / "dist"),
                        *["%s=%s" % (v, BUILD_PYTHONS[v]) for v in versions]], cwd=str(clone), check=True,
                       stdout=subprocess.DEVNULL)
        runs.append(digests(clone / "dist"))
    assert len([n for n in runs[0] if "manylinux" in n]) == len(versions) and runs[0] == runs[1]
