"""The module body: the from-imports at lines 18 and 20 and the class
statement at line 23, driven through stand-in modules, bases and metaclasses.
Each scenario imports the real module in a fresh interpreter."""
import pytest

from conftest import TB_FUNCTION, run_python

# A scenario's SETUP runs before the import and may set:
#   watch    objects whose reference counts must be the same after a failure
#   restore  a function that undoes the set-up, before the retry
SCENARIO = """
import gc, importlib, sys, types
watch, restore = [], None
%s
counts = [sys.getrefcount(o) for o in watch]
try:
    importlib.import_module(FULL_NAME)
    err = None
except BaseException as exc:
    err = [type(exc).__name__, str(exc), module_entries(exc)]
    del exc
gc.collect()
leaked = [a - b for a, b in zip([sys.getrefcount(o) for o in watch], counts)]
registered = FULL_NAME in sys.modules
if restore is not None:
    restore()
for name in ("pydantic", "typing"):
    if isinstance(sys.modules.get(name), types.ModuleType) and getattr(sys.modules[name], "STAND_IN", False):
        del sys.modules[name]
retry = None
if err is not None:
    m = importlib.import_module(FULL_NAME)
    retry = m.VelTarnCallbackModel(procedure="p", status="s", msg="m", successful={}, failed={}).msg
extra = globals().get("extra", None)
result(err=err, leaked=leaked, registered=registered, retry=retry, extra=extra)
"""

STAND_IN_PYDANTIC = """
def stand_in_pydantic(base):
    fake = types.ModuleType("pydantic")
    fake.STAND_IN = True
    fake.BaseModel = base
    sys.modules["pydantic"] = fake
    return fake

class Recorder(type):
    calls = []
    def __new__(mcs, name, bases, ns):
        Recorder.calls.append((name, bases, list(ns.items())))
        return super().__new__(mcs, name, bases, dict(ns))
"""


def run_scenario(setup):
    return run_python(SCENARIO % (STAND_IN_PYDANTIC + setup))


def failure(kind, message, line):
    return [kind, message, [[TB_FUNCTION, line]]]


def check_failed(r, kind, message, line):
    assert r["err"] == failure(kind, message, line)
    assert r["leaked"] == [0] * len(r["leaked"])
    assert r["registered"] is False and r["retry"] == "m"


def test_namespace_handed_to_the_metaclass():
    r = run_scenario("""
class Base(metaclass=Recorder):
    pass
Recorder.calls.clear()
stand_in_pydantic(Base)
def restore():
    global extra
    name, bases, items = Recorder.calls[0]
    ns = dict(items)
    ann = ns["__annotations__"]
    extra = dict(name=name, bases_ok=bases == (Base,), keys=[k for k, _ in items],
                 module=ns["__module__"], qualname=ns["__qualname__"], doc=ns["__doc__"],
                 ann=list(ann.items()), same_text=ann["successful"] is ann["failed"],
                 interned=ns["__module__"] is sys.intern(FULL_NAME), calls=len(Recorder.calls),
                 bound=type(sys.modules[FULL_NAME].VelTarnCallbackModel).__name__)
""")
    assert r["err"] is None
    assert r["extra"] == {
        "name": "VelTarnCallbackModel", "bases_ok": True,
        "keys": ["__module__", "__qualname__", "__doc__", "__annotations__"],
        "module": "vel_tarn.server.misc.models.callback_model", "qualname": "VelTarnCallbackModel",
        "doc": "Callback Data Model for kernels to send data to server",
        "ann": [["procedure", "str"], ["status", "str"], ["msg", "str"],
                ["successful", "Dict[str, Any]"], ["failed", "Dict[str, Any]"]],
        "same_text": True, "interned": True, "calls": 1, "bound": "Recorder",
    }


def test_mro_entries_substitutes_the_base_and_records_orig_bases():
    r = run_scenario("""
class X(metaclass=Recorder):
    pass
class Alias:
    def __mro_entries__(self, bases):
        Alias.seen = bases
        return (X,)
alias = Alias()
Recorder.calls.clear()
stand_in_pydantic(alias)
def restore():
    global extra
    name, bases, items = Recorder.calls[0]
    ns = dict(items)
    extra = dict(bases_ok=bases == (X,), keys=[k for k, _ in items],
                 orig_ok=ns["__orig_bases__"] == (alias,) and Alias.seen is ns["__orig_bases__"])
""")
    assert r["err"] is None
    assert r["extra"] == {"bases_ok": True, "orig_ok": True, "keys": [
        "__module__", "__qualname__", "__doc__", "__orig_bases__", "__annotations__"]}


def test_prepared_mapping_keeps_its_own_keys_first():
    r = run_scenario("""
import collections.abc
class Namespace(collections.abc.MutableMapping):
    def __init__(self): self.d = {"pre": 1}
    def __getitem__(self, k): return self.d[k]
    def __setitem__(self, k, v): self.d[k] = v
    def __delitem__(self, k): del self.d[k]
    def __iter__(self): return iter(self.d)
    def __len__(self): return len(self.d)
class Meta(Recorder):
    @classmethod
    def __prepare__(mcs, name, bases):
        return Namespace()
class Base(metaclass=Meta):
    pass
Recorder.calls.clear()
stand_in_pydantic(Base)
def restore():
    global extra
    extra = [k for k, _ in Recorder.calls[0][2]]
""")
    assert r["err"] is None
    assert r["extra"] == ["pre", "__module__", "__qualname__", "__doc__", "__annotations__"]


def test_prepare_lookup_that_raises_attribute_error_gives_a_plain_dict():
    r = run_scenario("""
class MetaMeta(type):
    def __getattribute__(cls, name):
        if name == "__prepare__":
            raise AttributeError(name)
        return super().__getattribute__(name)
class Meta(type, metaclass=MetaMeta):
    def __new__(mcs, name, bases, ns):
        global extra
        extra = [type(ns).__name__, list(ns)]
        return super().__new__(mcs, name, bases, ns)
class Base(metaclass=Meta):
    pass
stand_in_pydantic(Base)
""")
    assert r["err"] is None
    assert r["extra"] == ["dict", ["__module__", "__qualname__", "__doc__", "__annotations__"]]


CLASS_FAILURES = {
    "mro_entries_not_a_tuple": ("""
class Alias:
    def __mro_entries__(self, bases):
        return [object]
stand_in_pydantic(Alias())
""", "TypeError", "__mro_entries__ must return a tuple"),
    "mro_entries_raises": ("""
class Alias:
    def __mro_entries__(self, bases):
        raise LookupError("no entries")
stand_in_pydantic(Alias())
""", "LookupError", "no entries"),
    "mro_entries_lookup_raises": ("""
class Alias:
    def __getattr__(self, name):
        raise KeyError(name)
stand_in_pydantic(Alias())
""", "KeyError", "'__mro_entries__'"),
    "metaclass_conflict": ("""
class M1(type): pass
class M2(type): pass
class A(metaclass=M1): pass
class B(metaclass=M2): pass
class Alias:
    def __mro_entries__(self, bases):
        return (A, B)
watch = [M1, M2, A, B]
stand_in_pydantic(Alias())
""", "TypeError", "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                  "subclass of the metaclasses of all its bases"),
    "prepare_raises": ("""
class Meta(type):
    @classmethod
    def __prepare__(mcs, name, bases):
        if name == "VelTarnCallbackModel":
            raise ValueError("no namespace")
        return {}
class Base(metaclass=Meta): pass
watch = [Meta]
stand_in_pydantic(Base)
""", "ValueError", "no namespace"),
    "namespace_store_raises": ("""
class Namespace(dict):
    def __setitem__(self, k, v):
        if k == "__qualname__" and v == "VelTarnCallbackModel":
            raise PermissionError("read-only " + k)
        dict.__setitem__(self, k, v)
class Meta(type):
    @classmethod
    def __prepare__(mcs, name, bases):
        return Namespace()
class Base(metaclass=Meta): pass
watch = [Meta, Namespace]
stand_in_pydantic(Base)
""", "PermissionError", "read-only __qualname__"),
    "non_dict_namespace_with_changed_bases": ("""
import collections
class Namespace(collections.UserDict): pass
class Meta(type):
    @classmethod
    def __prepare__(mcs, name, bases):
        return Namespace() if name == "VelTarnCallbackModel" else {}
class X(metaclass=Meta): pass
class Alias:
    def __mro_entries__(self, bases):
        return (X,)
watch = [Meta, X, Namespace]
stand_in_pydantic(Alias())
""", "SystemError", None),
    "metaclass_raises": ("""
class Meta(type):
    def __new__(mcs, name, bases, ns):
        if name == "VelTarnCallbackModel":
            raise RuntimeError("model rejected")
        return super().__new__(mcs, name, bases, ns)
class Base(metaclass=Meta): pass
watch = [Meta]
stand_in_pydantic(Base)
""", "RuntimeError", "model rejected"),
}


@pytest.mark.parametrize("name", list(CLASS_FAILURES))
def test_class_statement_failures_at_line_23(name):
    setup, kind, message = CLASS_FAILURES[name]
    r = run_scenario(setup)
    if message is None:  # the interpreter's own text
        message = r["err"][1]
    check_failed(r, kind, message, 23)


def test_missing_typing_name_fails_at_line_18():
    r = run_scenario("""
import typing
fake = types.ModuleType("typing"); fake.STAND_IN = True; fake.Any = typing.Any
sys.modules["typing"] = fake
def restore():
    sys.modules["typing"] = typing
""")
    check_failed(r, "ImportError", "cannot import name Dict", 18)


def test_missing_pydantic_fails_at_line_20():
    r = run_scenario("""
sys.modules["pydantic"] = None
def restore():
    del sys.modules["pydantic"]
""")
    check_failed(r, "ModuleNotFoundError", "import of pydantic halted; None in sys.modules", 20)


def test_pydantic_without_base_model_fails_at_line_20():
    r = run_scenario("""
fake = stand_in_pydantic(None)
del fake.BaseModel
""")
    check_failed(r, "ImportError", "cannot import name BaseModel", 20)


def test_two_failures_at_one_line_share_one_code_object():
    r = run_python("""
        import importlib, sys
        sys.modules["pydantic"] = None
        codes = []
        for _ in range(2):
            try:
                importlib.import_module(FULL_NAME)
            except ImportError as exc:
                tb = exc.__traceback__
                while tb.tb_next is not None:
                    tb = tb.tb_next
                codes.append(tb.tb_frame.f_code)
        result(same=codes[0] is codes[1], line=codes[0].co_firstlineno)
    """)
    assert r == {"same": True, "line": 20}
