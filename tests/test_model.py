"""VelTarnCallbackModel behaves exactly like the same class written in plain
Python, under whichever pydantic line is installed."""
import json
import pathlib
import subprocess
import sys

import pydantic
import pytest

from conftest import FULL_NAME, REPO, child_env, pydantic_major, run_python, spawn
from reference.plain_callback_model import VelTarnCallbackModel as Plain
from vel_tarn.server.misc.models.callback_model import VelTarnCallbackModel as Compiled

V2 = pydantic_major() == 2
EXAMPLE_RECORDS = sorted((REPO / "examples" / "records").glob("*.json"))

GOOD = dict(procedure="p", status="done", msg="ok", successful={"a": 1}, failed={})
TEST_RECORDS = [
    GOOD,
    dict(GOOD, successful={"nested": {"x": [1, 2]}, "n": None}, failed={"k": "v"}),
    dict(GOOD, status=b"bytes"),
    dict(GOOD, procedure=7),
    dict(GOOD, msg=None),
    dict(GOOD, successful={1: "int key"}),
    dict(GOOD, successful=[("a", 1)]),
    dict(GOOD, failed="not a mapping"),
    dict(GOOD, extra_field="ignored"),
    {k: v for k, v in GOOD.items() if k != "failed"},
    {},
]


def outcome(model, record):
    try:
        instance = model.model_validate(record) if V2 else model.parse_obj(record)
    except pydantic.ValidationError as exc:
        return "rejected", exc.errors()
    return "accepted", instance.model_dump() if V2 else instance.dict()


def schema(model):
    return model.model_json_schema() if V2 else model.schema()


@pytest.mark.parametrize("record", TEST_RECORDS + [json.loads(p.read_text()) for p in EXAMPLE_RECORDS])
def test_same_validation_result(record):
    assert outcome(Compiled, record) == outcome(Plain, record)


def test_same_fields_schema_and_class_attributes():
    assert schema(Compiled) == schema(Plain)
    fields = Compiled.model_fields if V2 else Compiled.__fields__
    plain_fields = Plain.model_fields if V2 else Plain.__fields__
    assert list(fields) == ["procedure", "status", "msg", "successful", "failed"]
    assert {k: repr(v) for k, v in fields.items()} == {k: repr(v) for k, v in plain_fields.items()}
    assert all((f.is_required() if V2 else f.required) for f in fields.values())
    assert Compiled.__doc__ == Plain.__doc__ == "Callback Data Model for kernels to send data to server"
    assert Compiled.__module__ == FULL_NAME and Compiled.__qualname__ == "VelTarnCallbackModel"
    # The compiled class keeps its annotations as texts; pydantic resolves them
    # in the module's globals to the types the plain class names directly.
    assert Compiled.__annotations__ == {
        "procedure": "str", "status": "str", "msg": "str",
        "successful": "Dict[str, Any]", "failed": "Dict[str, Any]"}
    assert {k: eval(v, vars(sys.modules[FULL_NAME])) for k, v in Compiled.__annotations__.items()} == \
        Plain.__annotations__
    assert Compiled.__mro__[1:] == Plain.__mro__[1:] and type(Compiled) is type(Plain)
    assert not hasattr(Compiled, "__orig_bases__")


def test_instances_round_trip_through_json():
    instance = Compiled(**GOOD)
    text = instance.model_dump_json() if V2 else instance.json()
    again = Compiled.model_validate_json(text) if V2 else Compiled.parse_raw(text)
    assert again == instance and instance.successful == {"a": 1}


def test_demo_prints_accepted_and_rejected_records():
    proc = spawn([sys.executable, str(REPO / "examples" / "server.py")], env=child_env(),
                 stdout=subprocess.PIPE, universal_newlines=True, check=True)
    lines = proc.stdout.splitlines()
    assert [l.split(":")[0] for l in lines if l.startswith(("accepted", "rejected"))] == [
        "accepted accepted_partial.json", "accepted accepted_summary.json",
        "rejected rejected_missing_field.json", "rejected rejected_successful_not_mapping.json",
        "rejected rejected_wrong_type.json"]
    assert lines[-1].startswith("2 accepted, 3 rejected")
    assert any(l.strip().startswith("msg:") for l in lines)  # the missing field is named


def test_http_demo_answers_200_with_the_record_or_422_with_the_errors():
    pytest.importorskip("fastapi")
    pytest.importorskip("uvicorn")
    proc = spawn([sys.executable, str(REPO / "examples" / "http_service.py")], env=child_env(),
                 stdout=subprocess.PIPE, universal_newlines=True, check=True, timeout=60)
    lines = proc.stdout.splitlines()
    answers = [l.split(" -> ") for l in lines if l.startswith("POST ")]
    assert [(a[0], a[1][:3]) for a in answers] == [
        ("POST accepted_partial.json", "200"), ("POST accepted_summary.json", "200"),
        ("POST rejected_missing_field.json", "422"), ("POST rejected_successful_not_mapping.json", "422"),
        ("POST rejected_wrong_type.json", "422")]
    assert json.loads(answers[1][1][4:])["procedure"] == "summarise_run"
    assert answers[2][1].startswith("422 body.msg:") and answers[4][1].startswith("422 body.status:")
    assert lines[0].startswith("service listening on http://127.0.0.1:") and lines[-1] == "service stopped"


# --- the string table's failures, reached through the interpreter's zlib ------------

ZLIB_TEXT = ("Failed to import 'zlib.decompress' - cannot initialise module strings. String compression "
             "was configured with the C macro 'CYTHON_COMPRESS_STRINGS=1'.")


@pytest.mark.parametrize("setup, expected", [
    ('sys.modules["zlib"] = None', ["ImportError", ZLIB_TEXT]),
    ('sys.modules["zlib"] = types.ModuleType("zlib")', ["ImportError", ZLIB_TEXT]),
    ('fake.decompress = lambda data: "text"',
     ["TypeError", "zlib.decompress returned 'str', not bytes - cannot initialise module strings."]),
    ('fake.decompress = lambda data: zlib.decompress(data)[:-1]',
     ["ValueError", "zlib.decompress returned 275 bytes, expected 276 - cannot initialise module strings."]),
    ('fake.decompress = lambda data: zlib.decompress(data) + b"x"',
     ["ValueError", "zlib.decompress returned 277 bytes, expected 276 - cannot initialise module strings."]),
    ('fake.decompress = lambda data: zlib.decompress(b"not a stream")', ["error", None]),
    ('fake.decompress = lambda data: b"\\xff" * 276', ["UnicodeDecodeError", None]),
])
def test_string_table_failures(setup, expected):
    r = run_python("""
        import importlib, sys, types, zlib
        fake = types.ModuleType("zlib")
        sys.modules["zlib"] = fake
        %s
        try:
            importlib.import_module(FULL_NAME)
        except Exception as exc:
            err = [type(exc).__name__, str(exc), module_entries(exc)]
        sys.modules["zlib"] = zlib
        m = importlib.import_module(FULL_NAME)
        result(err=err, ok=m.VelTarnCallbackModel.__name__)
    """ % setup)
    kind, message = expected
    assert r["err"][0] == kind and r["err"][2] == []  # no traceback entry before the table is ready
    if message is not None:
        assert r["err"][1] == message
    assert r["ok"] == "VelTarnCallbackModel"


def test_decompress_receives_a_read_only_view():
    r = run_python("""
        import importlib, sys, types, zlib
        fake = types.ModuleType("zlib")
        def decompress(data):
            sys.modules["zlib"] = zlib
            fake.seen = (type(data).__name__, data.readonly, None if bytes(data[:2]) == b"\\x78\\xda" else "bad header")
            return zlib.decompress(data)
        fake.decompress = decompress
        sys.modules["zlib"] = fake
        importlib.import_module(FULL_NAME)
        result(seen=list(fake.seen))
    """)
    assert r == {"seen": ["memoryview", True, None]}
