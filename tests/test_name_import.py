"""from-imports through the probe: the fast path, the full import and the
submodule fallback."""
import importlib._bootstrap as bootstrap
import sys
import types

import pytest


@pytest.fixture
def fromlist_calls(monkeypatch):
    """Records the import system's from-list handling, entered only by a full import."""
    calls = []
    real = bootstrap._handle_fromlist

    def spy(module, fromlist, *args, **kwargs):
        calls.append((module.__name__, list(fromlist)))
        return real(module, fromlist, *args, **kwargs)
    monkeypatch.setattr(bootstrap, "_handle_fromlist", spy)
    return calls


@pytest.fixture
def package(monkeypatch):
    def make(name, is_package=True, **attrs):
        pkg = types.ModuleType(name)
        if is_package:
            pkg.__path__ = []
        pkg.__dict__.update(attrs)
        monkeypatch.setitem(sys.modules, name, pkg)
        return pkg
    return make


def test_loaded_module_with_every_name_skips_the_import_system(probe, package, fromlist_calls):
    pkg = package("cbm_fast", a=1, b=2)
    g = {}
    probe.import_names("cbm_fast", ("a", "b"), g)
    assert g == {"a": 1, "b": 2} and list(g) == ["a", "b"] and fromlist_calls == []
    assert sys.modules["cbm_fast"] is pkg


def test_missing_name_runs_the_full_import_with_the_whole_fromlist(probe, package, fromlist_calls, monkeypatch):
    package("cbm_partial", a=1)
    monkeypatch.setitem(sys.modules, "cbm_partial.b", "submodule b")
    g = {}
    probe.import_names("cbm_partial", ("a", "b"), g)
    assert fromlist_calls == [("cbm_partial", ["a", "b"])]
    assert g == {"a": 1, "b": "submodule b"}  # b only as a loaded submodule


def test_missing_name_everywhere_is_an_import_error(probe, package):
    package("cbm_missing", a=1)
    g = {}
    with pytest.raises(ImportError) as info:
        probe.import_names("cbm_missing", ("a", "nope", "later"), g)
    assert str(info.value) == "cannot import name nope"
    assert g == {"a": 1}  # names bound before the failure stay bound


def test_non_attribute_error_from_a_module_getattr_becomes_an_import_error(probe, package):
    def __getattr__(name):
        if name == "x":
            raise KeyError(name)
        raise AttributeError(name)
    package("cbm_raising", is_package=False, __getattr__=__getattr__)
    with pytest.raises(ImportError, match="^cannot import name x$"):
        probe.import_names("cbm_raising", ("x",), {})


def test_module_not_loaded_is_imported(probe):
    sys.modules.pop("colorsys", None)
    g = {}
    probe.import_names("colorsys", ("rgb_to_hsv",), g)
    import colorsys
    assert g == {"rgb_to_hsv": colorsys.rgb_to_hsv}
    with pytest.raises(ModuleNotFoundError):
        probe.import_names("cbm_not_installed_anywhere", ("x",), {})


def test_fast_path_and_full_import_bind_the_same_objects(probe):
    fast, full = {}, {}
    probe.import_names("typing", ("Any", "Dict"), fast)
    saved = sys.modules.pop("typing")
    try:
        probe.import_names("typing", ("Any", "Dict"), full)
    finally:
        sys.modules["typing"] = saved
    # A fresh typing module has its own objects, but the same names in order.
    assert list(fast) == list(full) == ["Any", "Dict"]
    assert fast["Any"] is saved.Any and repr(full["Any"]) == "typing.Any"
