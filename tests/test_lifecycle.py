"""Module creation, execution, registration and the interpreter guard."""
import importlib
import sys

import pytest

from conftest import FULL_NAME, TB_FUNCTION, run_python

GUARD_TEXT = ("Interpreter change detected - this module can only be loaded into one "
              "interpreter per process.")
REINIT_TEXT = "Module 'callback_model' has already been imported. Re-initialisation is not supported."


def test_module_globals_after_import():
    m = importlib.import_module(FULL_NAME)
    import typing
    import pydantic
    assert m.__test__ == {} and type(m.__test__) is dict
    assert m.Any is typing.Any and m.Dict is typing.Dict and m.BaseModel is pydantic.BaseModel
    assert m.__doc__ is None
    assert m.__name__ == FULL_NAME and m.__package__ == "vel_tarn.server.misc.models"
    assert m.__file__ == m.__spec__.origin and m.__loader__ is m.__spec__.loader
    assert not hasattr(m, "__path__")
    assert m.__builtins__ is sys.modules["builtins"]
    assert set(vars(m)) == {
        "__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__", "__builtins__",
        "Any", "Dict", "BaseModel", "VelTarnCallbackModel", "__test__",
    }
    assert [n for n in dir(m) if not n.startswith("__")] == ["Any", "BaseModel", "Dict", "VelTarnCallbackModel"]
    assert "cython_runtime" in sys.modules


def test_reimport_reload_and_removal_return_the_same_objects():
    r = run_python("""
        import importlib, sys
        BODY = ("Any", "Dict", "BaseModel", "VelTarnCallbackModel", "__test__", "__builtins__")
        m = importlib.import_module(FULL_NAME)
        cls, test, dict_ids = m.VelTarnCallbackModel, m.__test__, {k: id(v) for k, v in vars(m).items()}
        again = importlib.import_module(FULL_NAME)
        reloaded = importlib.reload(m)
        del sys.modules[FULL_NAME]
        fresh = importlib.import_module(FULL_NAME)
        result(same=[again is m, reloaded is m, fresh is m],
               cls_same=fresh.VelTarnCallbackModel is cls, test_same=fresh.__test__ is test,
               values_same=all(id(vars(fresh)[k]) == v for k, v in dict_ids.items() if k in BODY))
    """)
    assert r == {"same": [True, True, True], "cls_same": True, "test_same": True, "values_same": True}


def test_existing_cython_runtime_module_is_reused():
    r = run_python("""
        import sys, types
        rt = types.ModuleType("cython_runtime"); rt.marker = 1
        sys.modules["cython_runtime"] = rt
        import vel_tarn.server.misc.models.callback_model
        result(same=sys.modules["cython_runtime"] is rt, marker=getattr(sys.modules["cython_runtime"], "marker", None))
    """)
    assert r == {"same": True, "marker": 1}


def test_top_level_import_registers_the_full_name_too(models_dir):
    r = run_python("""
        import sys
        sys.path.insert(0, sys.argv[1])
        import callback_model
        m = sys.modules[FULL_NAME]
        import importlib
        full = importlib.import_module(FULL_NAME)
        result(same=m is callback_model and full is callback_model, name=callback_model.__name__,
               module_attr=callback_model.VelTarnCallbackModel.__module__)
    """, args=[models_dir])
    # The short name defers to the import of the full name, which makes the
    # module object: it bears the full name, as its classes' __module__ does.
    assert r == {"same": True, "name": FULL_NAME, "module_attr": FULL_NAME}


def test_failed_top_level_import_leaves_no_half_initialised_full_name(models_dir):
    # The short-name import fails after registering the full name; the full-name
    # entry must go with it, and a retry must initialise a fresh module.
    r = run_python("""
        import sys, types
        sys.path.insert(0, sys.argv[1])
        sys.modules["pydantic"] = types.ModuleType("pydantic")
        try:
            import callback_model
        except ImportError as exc:
            err = [str(exc), module_entries(exc)]
        registered = FULL_NAME in sys.modules
        del sys.modules["pydantic"]
        import vel_tarn.server.misc.models.callback_model as m
        result(err=err, registered=registered, has_model=hasattr(m, "VelTarnCallbackModel"),
               test=m.__test__)
    """, args=[models_dir])
    assert r == {"err": ["cannot import name BaseModel", [[TB_FUNCTION, 20]]], "registered": False,
                 "has_model": True, "test": {}}


def test_failed_import_leaves_a_foreign_full_name_entry_alone(models_dir):
    r = run_python("""
        import sys, types
        sys.path.insert(0, sys.argv[1])
        sentinel = types.ModuleType("sentinel")
        sys.modules[FULL_NAME] = sentinel
        sys.modules["pydantic"] = types.ModuleType("pydantic")
        try:
            import callback_model
            failed = False
        except ImportError:
            failed = True
        result(failed=failed, kept=sys.modules.get(FULL_NAME) is sentinel)
    """, args=[models_dir])
    assert r == {"failed": True, "kept": True}


def test_successful_top_level_import_keeps_an_existing_full_name_entry(models_dir):
    r = run_python("""
        import sys, types
        sys.path.insert(0, sys.argv[1])
        sentinel = types.ModuleType("sentinel")
        sys.modules[FULL_NAME] = sentinel
        import callback_model
        result(kept=sys.modules[FULL_NAME] is sentinel, ok=hasattr(callback_model, "VelTarnCallbackModel"))
    """, args=[models_dir])
    assert r == {"kept": True, "ok": True}


@pytest.mark.parametrize("foreign", [False, True])
def test_registration_uses_the_fixed_full_name_not_the_decoded_table_text(models_dir, foreign):
    # decompress hands back the table with one byte of the dotted name changed
    # (same length, valid UTF-8): the registration key must stay the real name.
    r = run_python("""
        import sys, types, zlib
        import pydantic  # compiled pydantic 1 decompresses its own strings
        sys.path.insert(0, sys.argv[1])
        foreign = sys.argv[2] == "True"
        altered = FULL_NAME.replace(".misc.", ".mzsc.")
        fake = types.ModuleType("zlib")
        def decompress(data, *args):  # zipimport passes wbits; its data goes through unchanged
            block = zlib.decompress(data, *args)
            return block if args else block.replace(FULL_NAME.encode(), altered.encode())
        fake.decompress = decompress
        sentinel = types.ModuleType("sentinel")
        if foreign:
            sys.modules[FULL_NAME] = sentinel
        before = set(sys.modules)
        sys.modules["zlib"] = fake
        import callback_model
        sys.modules["zlib"] = zlib
        added = sorted(k for k in set(sys.modules) - before if "callback_model" in k or "vel_tarn" in k)
        result(added=added, full=(sys.modules[FULL_NAME] is sentinel) if foreign
               else sys.modules[FULL_NAME] is callback_model,
               module_attr=callback_model.VelTarnCallbackModel.__module__ == altered)
    """, args=[models_dir, str(foreign)])
    # The class's __module__ comes from the table, so it shows the altered text.
    # Without a foreign entry the short name defers to the full import, which
    # brings the parent packages.
    parents = [FULL_NAME.rsplit(".", n)[0] for n in (4, 3, 2, 1, 0)]
    assert r == {"added": ["callback_model"] if foreign else ["callback_model"] + parents,
                 "full": True, "module_attr": True}


def test_sub_interpreter_is_refused_after_the_main_one():
    r = run_python("""
        import vel_tarn.server.misc.models.callback_model as m
        err = run_in_sub_interpreter("import vel_tarn.server.misc.models.callback_model")
        import importlib
        result(err=err, main_ok=importlib.import_module(FULL_NAME) is m)
    """)
    assert r["err"] == "ImportError: " + GUARD_TEXT
    assert r["main_ok"] is True


def test_main_interpreter_is_refused_after_a_sub_interpreter():
    r = run_python("""
        # A stand-in pydantic: the sub-interpreter's import must succeed
        # whether or not pydantic-core itself loads in sub-interpreters.
        assert run_in_sub_interpreter(
            "import sys, types\\n"
            "sys.modules['pydantic'] = fake = types.ModuleType('pydantic')\\n"
            "fake.BaseModel = type('BaseModel', (), {})\\n"
            "import vel_tarn.server.misc.models.callback_model") is None
        try:
            import vel_tarn.server.misc.models.callback_model
            err = None
        except ImportError as exc:
            err = str(exc)
        result(err=err)
    """)
    assert r == {"err": GUARD_TEXT}


def test_exec_with_another_module_object_is_refused(probe):
    r = run_python("""
        import importlib.machinery, types
        import _callback_model_probe as probe
        spec = importlib.machinery.ModuleSpec(FULL_NAME, None, origin="here")
        m = probe.definition_create(spec)
        probe.definition_exec(m)
        probe.definition_exec(m)  # the same object again: nothing to do
        try:
            probe.definition_exec(types.ModuleType("other"))
            err = None
        except RuntimeError as exc:
            err = str(exc)
        result(err=err, same=probe.definition_create(spec) is m, model=m.VelTarnCallbackModel.__name__)
    """)
    assert r == {"err": REINIT_TEXT, "same": True, "model": "VelTarnCallbackModel"}


@pytest.mark.skipif(sys.version_info < (3, 12), reason="an interpreter of its own GIL needs 3.12")
@pytest.mark.parametrize("main_first", [True, False])
def test_isolated_sub_interpreter_is_refused_by_the_interpreter_and_claims_nothing(main_first):
    # An interpreter with its own GIL refuses the module before it is created,
    # so it neither records itself as the module's interpreter nor blocks one.
    r = run_python("""
        import importlib, sys
        main_first = sys.argv[1] == "1"
        if main_first:
            m = importlib.import_module(FULL_NAME)
        err = run_in_sub_interpreter("import vel_tarn.server.misc.models.callback_model", isolated=True)
        m = importlib.import_module(FULL_NAME)
        legacy = run_in_sub_interpreter("import vel_tarn.server.misc.models.callback_model")
        result(err=err, ok=m.VelTarnCallbackModel.__name__, legacy=legacy)
    """, args=["1" if main_first else "0"])
    assert r == {"err": "ImportError: module %s does not support loading in subinterpreters" % FULL_NAME,
                 "ok": "VelTarnCallbackModel", "legacy": "ImportError: " + GUARD_TEXT}


class FakeModuleSpec:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


class RaisingModuleSpec:
    name = "spec_test"

    @property
    def origin(self):
        raise KeyError("origin")


@pytest.mark.parametrize("attrs, expected", [
    (dict(name="a", loader="L", origin=None, parent="p", submodule_search_locations=None),
     {"__loader__": "L", "__file__": None, "__package__": "p"}),
    (dict(name="b", submodule_search_locations=["x"]), {"__path__": ["x"]}),
    (dict(name="c"), {}),
])
def test_create_copies_spec_attributes(probe, attrs, expected):
    m = probe.definition_create(FakeModuleSpec(**attrs))
    extra = {k: v for k, v in vars(m).items() if k not in ("__name__", "__doc__", "__spec__")}
    # A new module object starts with __loader__ and __package__ set to None.
    assert m.__name__ == attrs["name"] and extra == dict({"__loader__": None, "__package__": None}, **expected)


def test_create_propagates_spec_errors(probe):
    with pytest.raises(KeyError, match="origin"):
        probe.definition_create(RaisingModuleSpec())
    with pytest.raises(AttributeError):
        probe.definition_create(FakeModuleSpec())  # no name at all
