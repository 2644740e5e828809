"""The type stub, as mypy reads it from the installed package."""
import subprocess
import sys

import pytest

from conftest import REPO, child_env, pydantic_major, spawn

pytestmark = pytest.mark.skipif(pydantic_major() != 2, reason="typed construction needs pydantic 2's dataclass_transform")


def mypy(path):
    pytest.importorskip("mypy")
    # No SQLite cache: the musl interpreters are built without sqlite3.
    proc = spawn(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--no-sqlite-cache", "--show-error-codes",
         "--no-error-summary", str(path)],
        env=child_env(), cwd=str(REPO), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True)
    return proc.returncode, proc.stdout


def test_correct_server_code_passes():
    rc, out = mypy(REPO / "examples" / "typed_server.py")
    assert (rc, out) == (0, "")


def test_wrong_field_type_and_misspelt_field_are_reported():
    rc, out = mypy(REPO / "tests" / "typing_cases" / "bad_usage.py")
    assert rc == 1
    assert 'Argument "status" to "VelTarnCallbackModel" has incompatible type "int"; expected "str"  [arg-type]' in out
    assert 'Unexpected keyword argument "mesage" for "VelTarnCallbackModel"' in out
