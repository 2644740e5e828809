"""Internals reached through the probe: version check, traceback entries and
their code-object cache, the string table, calls and attribute probes."""
import pathlib
import subprocess
import sys
import sysconfig
import warnings
import zlib

import pytest

from conftest import FULL_NAME, REPO, TB_FILE, TB_FUNCTION, run_python, spawn

ENTRIES = REPO / "tools" / "string_entries.txt"
GENERATOR = REPO / "tools" / "gen_string_table.py"


def entry_texts():
    lines = [l for l in ENTRIES.read_text(encoding="utf-8").splitlines() if l and not l.startswith("#")]
    return [l.partition(" ")[2] for l in lines]


# --- version check -------------------------------------------------------------

@pytest.mark.parametrize("text, value", [
    ("3.8.10 (default, May 9 2026)", 0x03080A00),
    ("3.8.18+ (heads/3.8)", 0x03081200),
    ("3.9.1", 0x03090100),
    ("3.10.0rc1", 0x030A0000),
    ("1.2.3.4.5", 0x01020304),
    ("3..7", 0x03000700),
    ("", 0),
])
def test_parse_version(probe, text, value):
    assert probe.parse_version(text) == value


# The build targets the interpreter that runs the tests.
BUILT = "%d.%d" % sys.version_info[:2]
OTHER = "%d.%d" % (sys.version_info[0], sys.version_info[1] + 1)


@pytest.mark.parametrize("suffix", [".0", ".10 (default)", ".255+ (x)"])
def test_any_micro_of_the_built_version_passes_without_warning(probe, suffix):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        probe.check_version(BUILT + suffix)


@pytest.mark.parametrize("other", [OTHER, "3.7"])
def test_other_version_warns_once_and_goes_on(probe, other):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        probe.check_version(other + ".1 (main)")
    assert [(w.category, str(w.message)) for w in caught] == [
        (RuntimeWarning, "compile time Python version %s of module '%s' does not match runtime version %s"
         % (BUILT, FULL_NAME, other))]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            probe.check_version("4.0")


def test_version_warning_as_error_fails_the_import_without_a_module_entry(probe):
    r = run_python("""
        import importlib.machinery, warnings
        import _callback_model_probe as probe
        probe.set_runtime_version("3.7.0")
        spec = importlib.machinery.ModuleSpec(FULL_NAME, None)
        warnings.simplefilter("error")
        m = probe.definition_create(spec)
        try:
            probe.definition_exec(m)
        except RuntimeWarning as exc:
            err = [str(exc), module_entries(exc)]
        warnings.simplefilter("ignore")
        m2 = probe.definition_create(spec)
        probe.definition_exec(m2)
        result(err=err, fresh=m2 is not m, ok=hasattr(m2, "VelTarnCallbackModel"))
    """)
    assert r["err"][1] == [] and "does not match runtime version 3.7" in r["err"][0]
    assert r["fresh"] and r["ok"]


# --- traceback entries and the code-object cache -----------------------------------------

def test_traceback_entry_names_function_file_and_line(probe):
    for line in (18, 20, 23, 1):
        with pytest.raises(ValueError, match="boom") as info:
            probe.raise_with_traceback(line, ValueError("boom"))
        tb = info.value.__traceback__
        while tb.tb_next is not None:
            tb = tb.tb_next
        code = tb.tb_frame.f_code
        assert (code.co_name, code.co_filename, tb.tb_lineno) == (TB_FUNCTION, TB_FILE, line)
        assert probe.code_cache_find(line) is code


def test_code_object_is_made_once_per_line(probe):
    first = second = None
    try:
        probe.raise_with_traceback(777, KeyError("a"))
    except KeyError as exc:
        first = exc.__traceback__.tb_next.tb_frame.f_code
    try:
        probe.raise_with_traceback(777, KeyError("b"))
    except KeyError as exc:
        second = exc.__traceback__.tb_next.tb_frame.f_code
    assert first is second is probe.code_cache_find(777)


def test_failed_code_creation_reports_the_memory_error(probe):
    with pytest.raises(MemoryError):
        probe.raise_with_traceback(4242, ValueError("dropped"), True)
    assert probe.code_cache_find(4242) is None


def make_code(line):
    return compile("\n" * (line - 1) + "pass", "x", "exec")


def test_code_cache_stays_sorted_replaces_and_grows(probe):
    count0, _, lines0 = probe.code_cache_state()
    lines = [5000 + (i * 37) % 101 for i in range(101)]  # 101 distinct lines, shuffled
    for line in lines:
        probe.code_cache_insert(line, make_code(1))
    count, capacity, cached = probe.code_cache_state()
    assert count == count0 + 101 and capacity % 64 == 0 and capacity >= count
    assert cached == sorted(cached) and len(set(cached)) == len(cached)
    assert set(cached) == set(lines0) | set(lines)
    assert probe.code_cache_find(5050) is not None and probe.code_cache_find(4999) is None
    probe.code_cache_insert(0, make_code(1))  # line 0 is never cached
    assert probe.code_cache_state()[0] == count and probe.code_cache_find(0) is None

    replacement, old = make_code(3), probe.code_cache_find(5050)
    refs_old = sys.getrefcount(old)
    probe.code_cache_insert(5050, replacement)
    assert probe.code_cache_find(5050) is replacement
    assert sys.getrefcount(old) == refs_old - 1  # the cache released its reference


def test_code_cache_growth_failure_leaves_cache_intact(probe):
    count, capacity, _ = probe.code_cache_state()
    line = 90000
    while count < capacity:
        probe.code_cache_insert(line, make_code(1))
        line += 1
        count, capacity, _ = probe.code_cache_state()
    code = make_code(2)
    refs = sys.getrefcount(code)
    probe.code_cache_insert(line, code, True)
    assert probe.code_cache_state()[:2] == (count, capacity)
    assert probe.code_cache_find(line) is None and sys.getrefcount(code) == refs
    probe.code_cache_insert(line, code)
    assert probe.code_cache_state()[:2] == (count + 1, capacity + 64)


def test_first_insertion_allocation_failure_is_not_cached():
    r = run_python("""
        import _callback_model_probe as probe
        code = compile("pass", "x", "exec")
        probe.code_cache_insert(7, code, True)
        before = probe.code_cache_state()
        probe.code_cache_insert(7, code)
        result(before=before, after=probe.code_cache_state())
    """)
    assert r == {"before": [0, 0, []], "after": [1, 64, [7]]}


# --- string table --------------------------------------------------------------

def test_string_table_entries_match_the_stream(probe):
    table, stream = probe.string_table(), probe.string_stream()
    assert stream[:2] == b"\x78\xda"
    assert table == entry_texts() and len(table) == 23
    assert "".join(table).encode("utf-8") == zlib.decompress(stream) and len(zlib.decompress(stream)) == 276
    for s in table[3:]:
        assert sys.intern("".join(list(s))) is s
    for s in table[1:3]:
        assert sys.intern("".join(list(s))) is not s


def test_generator_is_reproducible(tmp_path):
    outs = []
    for name in ("a.h", "b.h"):
        spawn([sys.executable, str(GENERATOR), str(ENTRIES), str(tmp_path / name)], check=True)
        outs.append((tmp_path / name).read_bytes())
    assert outs[0] == outs[1] and b"0x78, 0xda" in outs[0]


@pytest.mark.parametrize("mutate, message", [
    (lambda lines: lines[:-1], "expected 23 entries"),
    (lambda lines: lines[:-1] + [lines[-1] + "x"], "expected 276 bytes"),
    (lambda lines: lines[:1] + ["model_doc " + "d" * 64] + lines[2:], "longer than 63"),
])
def test_generator_refuses_a_wrong_table(tmp_path, mutate, message):
    lines = [l for l in ENTRIES.read_text(encoding="utf-8").splitlines() if l and not l.startswith("#")]
    bad = tmp_path / "entries.txt"
    bad.write_text("\n".join(mutate(lines)) + "\n", encoding="utf-8")
    proc = spawn([sys.executable, str(GENERATOR), str(bad), str(tmp_path / "out.h")],
                 stderr=subprocess.PIPE, universal_newlines=True)
    assert proc.returncode != 0 and message in proc.stderr
    assert not (tmp_path / "out.h").exists()


# --- calls ---------------------------------------------------------------------

def test_fast_call_routes(probe):
    # A vectorcall callee gets the vector itself, with the offset bit set.
    assert probe.fast_call(probe.Callee(True), 1, "b", None) == ("vectorcall", True, (1, "b", None), None)
    # Vectorcall flag without a pointer, or a plain callable: a tuple in order.
    assert probe.fast_call(probe.Callee(False), 1, 2) == ("tp_call", (1, 2))
    assert probe.fast_call(lambda *a: a, "x", "y", "z") == ("x", "y", "z")
    # A one-argument builtin through its C entry, with its own self.
    assert probe.fast_call(len, [1, 2, 3]) == 3
    assert probe.fast_call([].__class__.__len__, [4, 5]) == 2
    assert probe.fast_call({"k": 1}.__contains__, "k") is True
    with pytest.raises(TypeError):
        probe.fast_call(len, 5)
    with pytest.raises(TypeError, match="not callable"):
        probe.fast_call(object(), 1)


def test_fast_call_null_result_without_error(probe):
    with pytest.raises(SystemError, match="^NULL result without error in PyObject_Call$"):
        probe.fast_call(probe.Callee(None), 1)


def test_fast_call_recursion_guard(probe):
    def recurse(n):
        return probe.fast_call(recurse, n + 1)
    with pytest.raises(RecursionError):
        recurse(0)


class Meta(type):
    pass


class RaisesSubclassOfAttributeError:
    class Missing(AttributeError):
        pass

    def __getattr__(self, name):
        raise self.Missing(name)


class RaisesKeyError:
    def __getattr__(self, name):
        raise KeyError(name)


class Plain:
    attr = 1


def test_getattr_no_error(probe):
    assert probe.getattr_no_error(Plain(), "attr") == (True, 1)
    assert probe.getattr_no_error(Plain(), "missing") == (False, None)
    assert probe.getattr_no_error(RaisesSubclassOfAttributeError(), "x") == (False, None)
    with pytest.raises(KeyError):
        probe.getattr_no_error(RaisesKeyError(), "x")
    found, prepare = probe.getattr_no_error(Meta, "__prepare__")
    assert found and prepare("n", ()) == {}
    assert probe.getattr_no_error(sys, "nope") == (False, None)  # module getattro, not generic


def test_is_subtype(probe):
    class A:
        pass

    class B(A):
        pass
    assert probe.is_subtype(B, A) and probe.is_subtype(B, object) and probe.is_subtype(A, A)
    assert not probe.is_subtype(A, B) and not probe.is_subtype(int, str)
    assert probe.is_subtype(KeyError, LookupError) and not probe.is_subtype(KeyError, AttributeError)


# --- class statement pieces ------------------------------------------------------

def test_global_lookup_cache_skips_the_probe_only_while_the_dict_is_unchanged(probe):
    import builtins
    base, other = type("Base", (), {}), type("Other", (), {})
    g = {"Base": base}
    versioned = probe.dict_version(g) is not None
    # Without a version tag (3.14 on, free-threaded builds) the site keeps
    # nothing and looks the name up every time.
    assert versioned == (sys.version_info < (3, 14) and not sysconfig.get_config_var("Py_GIL_DISABLED"))
    assert probe.get_module_global(g, builtins, "Base") is base
    version, cached = probe.lookup_cache()
    assert (version, cached) == ((probe.dict_version(g), base) if versioned else (0, None))
    stand_in = object()
    probe.set_lookup_cache_value(stand_in)
    # A hit returns the cached object without looking in the dict again;
    # without a tag the dict is always asked.
    assert probe.get_module_global(g, builtins, "Base") is (stand_in if versioned else base)
    g["Base"] = other  # any change moves the version tag: probe again
    assert probe.get_module_global(g, builtins, "Base") is other


def test_global_lookup_falls_back_to_builtins_then_name_error(probe):
    import builtins
    assert probe.get_module_global({}, builtins, "len") is len
    with pytest.raises(NameError, match="^name 'NoSuchBase' is not defined$"):
        probe.get_module_global({}, builtins, "NoSuchBase")
    # A cached miss for the same dict version goes straight to builtins.
    g = {}
    with pytest.raises(NameError):
        probe.get_module_global(g, builtins, "NoSuchBase")
    if probe.dict_version(g) is not None:
        assert probe.lookup_cache() == (probe.dict_version(g), None)
    with pytest.raises(NameError):
        probe.get_module_global(g, builtins, "NoSuchBase")
    g["NoSuchBase"] = 1
    assert probe.get_module_global(g, builtins, "NoSuchBase") == 1


def test_run_class_statement_binds_the_class_or_nothing(probe):
    import builtins

    class Base:
        pass
    g = {"Base": Base}
    probe.run_class_statement(g, builtins, "Made", "Base", None, [("a", "int"), ("b", "Dict[str, Any]")])
    made = g["Made"]
    assert made.__bases__ == (Base,) and made.__qualname__ == "Made" and made.__doc__ is None
    assert made.__module__ == FULL_NAME and made.__annotations__ == {"a": "int", "b": "Dict[str, Any]"}
    g = {}
    with pytest.raises(NameError, match="^name 'Missing' is not defined$"):
        probe.run_class_statement(g, builtins, "Made", "Missing", "doc", [])
    assert g == {}


def test_update_bases_and_metaclass(probe):
    class M1(type):
        pass

    class M2(M1):
        pass
    A, B = M1("A", (), {}), M2("B", (), {})

    class Entries:
        def __mro_entries__(self, bases):
            Entries.seen = bases
            return (B, int)
    orig = (A, Entries(), str)
    assert probe.update_bases(orig) == (A, B, int, str) and Entries.seen is orig
    plain = (A, str)
    assert probe.update_bases(plain) is plain
    assert probe.calculate_metaclass((A, B)) is M2 and probe.calculate_metaclass((B, A)) is M2
    assert probe.calculate_metaclass(()) is type
    with pytest.raises(TypeError, match="^metaclass conflict"):
        probe.calculate_metaclass((A, type("C", (), {}), M2("D", (), {}), type(str)("E", (), {}), abs))


# --- the compiled interpreter structures ----------------------------------------------

def test_compiled_structures_match_the_interpreter(probe):
    # The module reads these structures' fields directly: a build whose
    # configuration (pyconfig.h, type sizes) differs from the interpreter's
    # would lay them out differently.
    import types
    types_by_name = {"type": type, "dict": dict, "str": str, "builtin_function_or_method": type(len),
                     "code": types.CodeType, "frame": types.FrameType}
    sizes = probe.struct_sizes()
    assert set(sizes) == set(types_by_name)
    compiled = {name: size for name, size in sizes.items() if size is not None}
    assert compiled == {name: types_by_name[name].__basicsize__ for name in compiled}
    assert ("frame" in compiled) == (sys.version_info < (3, 11))
