"""The built wheel: its contents, its tags, and a clean install of it."""
import glob
import os
import subprocess
import sys
import sysconfig
import textwrap
import venv
import zipfile

import pytest

from conftest import REPO

MODELS = "vel_tarn/server/misc/models/"
TAG = "cp%d%d" % sys.version_info[:2]


@pytest.fixture(scope="module")
def wheel():
    found = glob.glob(os.path.join(os.environ.get("CALLBACK_MODEL_WHEEL_DIR", str(REPO / "build" / "dist")), "*.whl"))
    if len(found) != 1:
        pytest.fail("expected one built wheel (make wheel), found %r" % found)
    return found[0]


def test_wheel_holds_the_module_stub_and_marker_only(wheel):
    assert os.path.basename(wheel).endswith("-%s-%s-linux_x86_64.whl" % (TAG, TAG))
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        payload = sorted(n for n in names if ".dist-info/" not in n)
        metadata = zf.read([n for n in names if n.endswith(".dist-info/METADATA")][0]).decode()
        wheel_info = zf.read([n for n in names if n.endswith(".dist-info/WHEEL")][0]).decode()
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert payload == sorted([MODELS + "callback_model" + suffix, MODELS + "callback_model.pyi",
                              MODELS + "py.typed"])
    assert "Requires-Dist: pydantic<3,>=1.10" in metadata or "Requires-Dist: pydantic>=1.10,<3" in metadata
    assert "Requires-Python: <3.14,>=3.8" in metadata or "Requires-Python: >=3.8,<3.14" in metadata
    assert "Tag: %s-%s-linux_x86_64" % (TAG, TAG) in wheel_info and "Root-Is-Purelib: false" in wheel_info


def test_library_exports_one_symbol_and_needs_no_cxx_runtime(wheel, tmp_path):
    with zipfile.ZipFile(wheel) as zf:
        lib = [n for n in zf.namelist() if n.endswith(".so")][0]
        path = zf.extract(lib, str(tmp_path))
    symbols = subprocess.run(["nm", "-D", "--defined-only", path], stdout=subprocess.PIPE,
                             universal_newlines=True, check=True).stdout.split()
    assert symbols[2::3] == ["PyInit_callback_model"]
    needed = subprocess.run(["readelf", "-d", path], stdout=subprocess.PIPE, universal_newlines=True,
                            check=True).stdout
    libs = [l.split("[")[1].rstrip("]") for l in needed.splitlines() if "(NEEDED)" in l]
    assert libs == ["libc.so.6"]


def test_wheel_installs_and_works_in_a_fresh_environment(wheel, tmp_path):
    env_dir = tmp_path / "env"
    venv.EnvBuilder(with_pip=True).create(str(env_dir))
    python = str(env_dir / "bin" / "python")
    # After the install, pydantic comes from this environment: no network needed.
    site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout.strip()
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-deps", "--no-index", wheel], check=True)
    with open(os.path.join(site, "outer.pth"), "w") as f:
        f.write(sysconfig.get_paths()["purelib"] + "\n")
    code = textwrap.dedent("""
        import vel_tarn.server.misc.models.callback_model as m, sys
        assert m.__file__.startswith(sys.prefix), m.__file__
        print(m.__test__, m.VelTarnCallbackModel(procedure="p", status="s", msg="m", successful={}, failed={}).status)
    """)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "CALLBACK_MODEL_ROOT")}
    out = subprocess.run([python, "-c", code], env=env, cwd=str(tmp_path), stdout=subprocess.PIPE,
                         universal_newlines=True, check=True).stdout
    assert out == "{} s\n"
