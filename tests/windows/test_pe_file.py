"""The Windows modules as PE files: named by the interpreter's rule, one
export, and imports of the system DLLs and the interpreter's DLL only."""
import os
import re
import subprocess

import pytest

PYDS = [p for p in os.environ.get("CALLBACK_MODEL_PYDS", "").split(os.pathsep) if p]
OBJDUMP = "x86_64-w64-mingw32-objdump"


def pe_dump(path):
    return subprocess.run([OBJDUMP, "-p", path], stdout=subprocess.PIPE, universal_newlines=True,
                          check=True).stdout


def exported_names(dump):
    table = dump.split("[Ordinal/Name Pointer] Table", 1)[1]
    return re.findall(r"^\s+\[\s*\d+\]\s+(\S+)$", table.split("\n\n", 1)[0], re.M)


@pytest.mark.parametrize("path", [p for p in PYDS if "_callback_model_probe" not in p] or
                         [pytest.param(None, marks=pytest.mark.skip(reason="no Windows module built"))])
def test_module_exports_its_init_function_and_imports_only_system_and_interpreter_dlls(path):
    name = os.path.basename(path)
    match = re.fullmatch(r"callback_model\.cp3(\d+)-win_amd64\.pyd", name)
    assert match, name
    dump = pe_dump(path)
    assert "file format pei-x86-64" in dump
    assert exported_names(dump) == ["PyInit_callback_model"]
    dlls = sorted(set(re.findall(r"DLL Name: (\S+)", dump)))
    assert dlls == sorted(["KERNEL32.dll", "msvcrt.dll", "python3%s.dll" % match.group(1)])
    # Nothing of the C++ or GCC runtime: no libstdc++, libgcc_s or winpthread.
    assert not re.search(r"libstdc\+\+|libgcc|winpthread", dump, re.I)
