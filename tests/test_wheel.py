"""The built wheel: its contents, its tags and its library.  Installs of the
release wheels are tested in tests/dist."""
import glob
import os
import re
import subprocess
import sys
import sysconfig
import zipfile

import pytest

from conftest import REPO, targets

MODELS = "vel_tarn/server/misc/models/"
TAG = "cp%d%d" % sys.version_info[:2]
ABI = TAG + getattr(sys, "abiflags", "")  # cp313t on a free-threaded build
# The platform of the interpreter under test: linux_x86_64, linux_aarch64, ...
PLATFORM = sysconfig.get_platform().replace("-", "_").replace(".", "_")


@pytest.fixture(scope="module")
def wheel():
    found = glob.glob(os.path.join(os.environ.get("CALLBACK_MODEL_WHEEL_DIR", str(REPO / "build" / "dist")), "*.whl"))
    if len(found) != 1:
        pytest.fail("expected one built wheel (make wheel), found %r" % found)
    return found[0]


def test_wheel_holds_the_module_stub_and_marker_only(wheel):
    assert os.path.basename(wheel).endswith("-%s-%s-%s.whl" % (TAG, ABI, PLATFORM))
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        payload = sorted(n for n in names if ".dist-info/" not in n)
        metadata = zf.read([n for n in names if n.endswith(".dist-info/METADATA")][0]).decode()
        wheel_info = zf.read([n for n in names if n.endswith(".dist-info/WHEEL")][0]).decode()
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert payload == sorted([MODELS + "callback_model" + suffix, MODELS + "callback_model.pyi",
                              MODELS + "py.typed"])
    assert "Requires-Dist: pydantic<3,>=1.10" in metadata or "Requires-Dist: pydantic>=1.10,<3" in metadata
    assert "Requires-Python: >=%s\n" % targets.supported_versions()[0] in metadata
    # One classifier for each version of the list of targets, and no other.
    assert re.findall(r"^Classifier: Programming Language :: Python :: (3\.\d+)$", metadata, re.M) == \
        targets.supported_versions()
    assert "Tag: %s-%s-%s" % (TAG, ABI, PLATFORM) in wheel_info and "Root-Is-Purelib: false" in wheel_info


def library(which, wheel, tmp_path):
    """The module's library from the wheel, or from the CMake test build (the
    one beside the probe; cross-compiled for an arm64 interpreter)."""
    if which == "wheel":
        with zipfile.ZipFile(wheel) as zf:
            lib = [n for n in zf.namelist() if n.endswith(".so")][0]
            return zf.extract(lib, str(tmp_path))
    probe = os.environ.get("CALLBACK_MODEL_PROBE_DIR")
    if not probe:
        pytest.skip("no test build named (CALLBACK_MODEL_PROBE_DIR)")
    (path,) = glob.glob(os.path.join(probe, os.pardir, "root", MODELS, "callback_model*.so"))
    return path


@pytest.mark.parametrize("which", ["wheel", "test build"])
def test_library_exports_one_symbol_and_needs_no_cxx_runtime(which, wheel, tmp_path):
    path = library(which, wheel, tmp_path)
    symbols = subprocess.run(["nm", "-D", "--defined-only", path], stdout=subprocess.PIPE,
                             universal_newlines=True, check=True).stdout.split()
    assert symbols[2::3] == ["PyInit_callback_model"]
    needed = subprocess.run(["readelf", "-d", path], stdout=subprocess.PIPE, universal_newlines=True,
                            check=True).stdout
    libs = [l.split("[")[1].rstrip("]") for l in needed.splitlines() if "(NEEDED)" in l]
    here = targets.platform_here()
    # musl's libc keeps zig's name for it in a build; the wheel gets Alpine's.
    assert libs == [here.needed if which == "wheel" or here.needed == "libc.so.6" else "libc.so"]
    # On glibc, nothing above the oldest glibc its platform's manylinux wheels
    # allow (2.5 on x86_64, 2.17 on aarch64): the release tags rest on it.
    versions = subprocess.run(["readelf", "-V", path], stdout=subprocess.PIPE, universal_newlines=True,
                              check=True).stdout
    needs = [tuple(int(n) for n in v.split(".")) for v in re.findall(r"Name: GLIBC_([0-9.]+)", versions)]
    assert (needs and max(needs) <= here.libc) if here.needed == "libc.so.6" else not needs, needs
