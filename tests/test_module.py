"""Module start-up, the two types' common traits, argument binding, traceback entries and
the refusal of pickling."""

import builtins
import copy
import importlib
import itertools
import json
import os
import pickle
import subprocess
import sys
import sysconfig
import textwrap
import weakref

import numpy as np
import pytest

import vornel._cycore as core
from vornel._cycore import CyGroupedStreamStats as G
from vornel._cycore import CyStreamStats as S

MOD = "vornel._cycore"
REFUSAL = "no default __reduce__ due to non-trivial __cinit__"
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def run_python(code, *flags):
    """Runs code in a fresh interpreter; returns the JSON object it prints last."""
    env = dict(os.environ)
    if FREE_THREADED:
        env["PYTHON_GIL"] = "1"  # keep the interpreter's own GIL warning out of the way
    proc = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1]), proc.stderr


def entries(exc):
    """Names of the traceback entries that the module added, outermost first."""
    out, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_name.startswith(("vornel.", "init ")):
            assert os.path.splitext(code.co_filename)[0] == "src/vornel/_cycore"
            assert tb.tb_frame.f_globals is vars(core)
            out.append(code.co_name)
        tb = tb.tb_next
    return out


def raises(exc_type, text, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    if text is not None:
        assert str(info.value) == text
    return entries(info.value)


# ---------------------------------------------------------------------------------------
# Start-up


def test_namespace():
    assert set(vars(core)) == {
        "__name__", "__doc__", "__spec__", "__loader__", "__file__", "__package__",
        "__builtins__", "CyStreamStats", "CyGroupedStreamStats", "zip_longest", "np", "__test__"}
    assert core.__doc__ is None
    assert core.__name__ == MOD and core.__package__ == "vornel"
    assert core.__loader__ is core.__spec__.loader and core.__file__ == core.__spec__.origin
    assert core.__builtins__ is builtins
    assert core.np is np
    assert core.zip_longest is itertools.zip_longest
    assert core.__test__ == {} and type(core.__test__) is dict
    assert sys.modules[MOD] is core


def test_import_gives_no_warning():
    out, err = run_python("import vornel._cycore; print('{}')", "-W", "error")
    assert err == ""


def test_reimport_gives_the_same_module(monkeypatch):
    monkeypatch.delitem(sys.modules, MOD)
    again = importlib.import_module(MOD)
    assert again is core
    assert again.CyStreamStats is S and again.CyGroupedStreamStats is G
    assert again.__test__ is core.__test__


def test_reimport_frees_what_it_allocates():
    # Each execution gets a fresh state block from the import system; one left behind per
    # re-import shows as a block count growing with the number of re-imports.
    import tracemalloc

    def reimport(n):
        try:
            for _ in range(n):
                del sys.modules[MOD]
                assert importlib.import_module(MOD) is core
        finally:
            sys.modules[MOD] = core

    def empty_blocks():  # the state of a module without state is a zero-size block
        return sum(1 for t in tracemalloc.take_snapshot().traces if t.size == 0)

    reimport(20)
    tracemalloc.start()
    try:
        before = empty_blocks()
        reimport(200)
        grown = empty_blocks() - before
    finally:
        tracemalloc.stop()
    assert grown < 20


def test_create_step_copies_attributes_and_exec_runs_once():
    # The package's __init__ would import the module first, so work on the file directly.
    out, _ = run_python("""
        import _imp, importlib.machinery, importlib.util, json, sys
        where = importlib.util.find_spec("vornel").submodule_search_locations
        path = importlib.machinery.PathFinder.find_spec("_cycore", where).origin
        class Bare:
            name, origin = "vornel._cycore", path
        loader = object()
        class Full(Bare):
            loader, parent, submodule_search_locations = loader, "pkg", ["here"]
        a, b = _imp.create_dynamic(Full()), _imp.create_dynamic(Bare())
        out = {"full": [a.__loader__ is loader, a.__file__ == path, a.__package__, a.__path__],
               "bare": sorted(vars(b)), "bare_loader": b.__loader__, "distinct": a is not b}
        _imp.exec_dynamic(a)
        test = a.__test__
        _imp.exec_dynamic(a)
        out["once"] = a.__test__ is test and sys.modules["vornel._cycore"] is a
        out["same"] = _imp.create_dynamic(Bare()) is a
        try:
            _imp.exec_dynamic(b)
        except RuntimeError as e:
            out["other"] = [str(e), sorted(vars(b))]
        print(json.dumps(out))
    """)
    assert out["full"] == [True, True, "pkg", ["here"]]
    bare = ["__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"]
    assert out["bare"] == bare and out["bare_loader"] is None and out["distinct"]
    assert out["once"] and out["same"]
    assert out["other"] == [
        "Module '_cycore' has already been imported. Re-initialisation is not supported.", bare]


def test_subinterpreters_are_refused():
    out, _ = run_python("""
        import json, _interpreters, concurrent.interpreters as ci
        import vornel._cycore as core
        legacy = _interpreters.create(_interpreters.new_config("legacy"))
        fail = _interpreters.exec(legacy, "import vornel._cycore")
        out = {"legacy": [fail.type.__name__, fail.msg]}
        _interpreters.destroy(legacy)
        isolated = ci.create()
        try:
            isolated.exec("import vornel._cycore")
        except ci.ExecutionFailed as e:
            out["isolated"] = [e.excinfo.type.__name__, e.excinfo.msg]
        isolated.close()
        s = core.CyStreamStats()
        s.add_values([1.0, 3.0])
        out["main"] = s.result()["mean"]
        print(json.dumps(out))
    """)
    assert out["legacy"] == [
        "ImportError",
        "Interpreter change detected - this module can only be loaded into one interpreter "
        "per process."]
    assert out["isolated"][0] == "ImportError" and "subinterpreters" in out["isolated"][1]
    assert out["main"] == 2.0


NUMPY_FAILURE = """
import json
import numpy._core._multiarray_umath as mu
saved = mu._ARRAY_API
del mu._ARRAY_API
if {interrupt}:
    def __getattr__(name):
        if name == "_ARRAY_API":
            raise KeyboardInterrupt
        raise AttributeError(name)
    mu.__getattr__ = __getattr__
try:
    import vornel._cycore
except BaseException as e:
    names, tb = [], e.__traceback__
    while tb:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    out = [type(e).__name__, str(e), type(e.__context__).__name__, names]
vars(mu).pop("__getattr__", None)
mu._ARRAY_API = saved
import vornel._cycore as core
out.append(core.CyStreamStats().result()["count"])
print(json.dumps(out))
"""


@pytest.mark.parametrize("interrupt", [False, True])
def test_numpy_c_interface_failure(interrupt):
    out, _ = run_python(NUMPY_FAILURE.format(interrupt=interrupt))
    name, text, context, names, count = out
    if interrupt:
        # Only ordinary exceptions are replaced by the ImportError.
        assert name == "KeyboardInterrupt"
    else:
        assert [name, text, context] == [
            "ImportError", "numpy._core.multiarray failed to import", "AttributeError"]
    assert names.count("init vornel._cycore") == 1
    assert count == 0  # a failed start-up keeps no module: the next import starts over


# ---------------------------------------------------------------------------------------
# The types and their method objects

METHODS = [(S, "add_values"), (S, "merge"), (S, "result"),
           (G, "add"), (G, "merge"), (G, "to_dict"), (G, "result_arrays")]
ADD_VALUES_DOC = ("\n        Fast path: buffer (numpy/memoryview) float64.\n"
                  "        Fallback: iterable.\n        ")


@pytest.mark.parametrize("cls", [S, G])
def test_type_traits(cls):
    short = cls.__name__
    assert short in ("CyStreamStats", "CyGroupedStreamStats") and cls.__qualname__ == short
    assert cls.__module__ == MOD and cls.__doc__ is None and cls.__bases__ == (object,)
    assert cls.__init__ is object.__init__ and "__init__" not in vars(cls)
    with pytest.raises(TypeError, match=f"immutable type '{MOD}.{short}'"):
        cls.x = 1
    with pytest.raises(TypeError, match="immutable type"):
        del cls.merge
    obj = cls(2) if cls is G else cls()
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.x = 1

    class Sub(cls):
        pass

    sub = Sub(2) if cls is G else Sub()
    sub.x = 1
    assert sub.merge(sub) is None


@pytest.mark.parametrize("cls, name", METHODS)
def test_method_objects(cls, name):
    func = vars(cls)[name]
    assert getattr(cls, name) is func
    assert func.__name__ == name and func.__qualname__ == f"{cls.__name__}.{name}"
    assert func.__module__ == MOD
    assert func.__doc__ == (ADD_VALUES_DOC if name == "add_values" else None)
    obj = cls(2) if cls is G else cls()
    assert getattr(obj, name).__self__ is obj
    # Rule of a function in a class body: through the type, the instance comes first.
    wrong = S() if cls is G else G(2)
    for bad in (wrong, None, object()):
        with pytest.raises(TypeError):
            func(bad, *VALID[cls, name].values())
    assert raises(TypeError, f"{name}() needs an argument", func) == []
    assert raises(TypeError, f"{name}() needs an argument", func,
                  **(VALID[cls, name] or {"x": 1})) == []


def test_calls_through_the_type():
    s = S()
    assert S.add_values(s, [1.0, 2.0]) is None and S.add_values(s, values=[3.0]) is None
    assert S.result(s) == s.result() and s.result()["count"] == 3

    class Sub(G):
        pass

    g = Sub(2)
    G.add(g, values=[1.0], group_ids=[1])
    assert G.result_arrays(g)["count"] == [0, 1] and G.to_dict(g) == g.to_dict()


# ---------------------------------------------------------------------------------------
# The refusal of pickling and copying

class Pickles(S):
    def __reduce__(self):
        return (Pickles, ())


@pytest.mark.parametrize("make", [S, lambda: G(3), type("SubS", (S,), {}),
                                  lambda: type("SubG", (G,), {})(3)],
                         ids=["stream", "grouped", "stream-subclass", "grouped-subclass"])
def test_pickling_and_copying_refused(make):
    obj = make()
    base = S if isinstance(obj, S) else G
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        raises(TypeError, REFUSAL, pickle.dumps, obj, proto)
    raises(TypeError, REFUSAL, copy.copy, obj)
    raises(TypeError, REFUSAL, copy.deepcopy, obj)
    reduce_fn, setstate_fn = vars(base)["__reduce__"], vars(base)["__setstate__"]
    own = f"vornel._cycore.{base.__name__}."
    assert raises(TypeError, REFUSAL, obj.__reduce__) == [own + reduce_fn.__name__]
    assert raises(TypeError, REFUSAL, obj.__setstate__, None) == [own + setstate_fn.__name__]
    count = f"{setstate_fn.__name__}() takes exactly 1 positional argument (0 given)"
    assert raises(TypeError, count, obj.__setstate__) == [own + setstate_fn.__name__]
    count = f"{reduce_fn.__name__}() takes exactly 0 positional arguments (1 given)"
    assert raises(TypeError, count, obj.__reduce__, 1) == []
    unexpected = f"{reduce_fn.__name__}() got an unexpected keyword argument 'x'"
    assert raises(TypeError, unexpected, obj.__reduce__, x=1) == []


@pytest.mark.parametrize("cls", [S, G])
def test_refusing_functions_are_stored_under_the_hook_names_only(cls):
    for hook in ("__reduce__", "__setstate__"):
        func = vars(cls)[hook]
        assert [k for k, v in vars(cls).items() if v is func] == [hook]
    assert "__reduce_ex__" not in vars(cls) and cls.__reduce_ex__ is object.__reduce_ex__


def test_subclass_with_its_own_reduce_pickles():
    assert type(pickle.loads(pickle.dumps(Pickles()))) is Pickles
    assert type(copy.copy(Pickles())) is Pickles


# ---------------------------------------------------------------------------------------
# Argument binding

VALID = {
    (G, "__cinit__"): {"n_groups": 2},
    (G, "add"): {"group_ids": [0], "values": [1.0]},
    (G, "merge"): {"other": G(2)},
    (G, "to_dict"): {},
    (G, "result_arrays"): {},
    (S, "add_values"): {"values": [1.0]},
    (S, "merge"): {"other": S()},
    (S, "result"): {},
}
CALLABLES = [pytest.param(cls, name, id=f"{cls.__name__}.{name}") for cls, name in VALID]
WITH_PARAMS = [p for p, key in zip(CALLABLES, VALID) if VALID[key]]


def target(cls, name):
    return G if name == "__cinit__" else getattr(G(2) if cls is G else S(), name)


def own_entry(cls, name, kwargs):
    return [f"vornel._cycore.{cls.__name__}.{name}"] if kwargs else []


def count_text(name, n, k):
    return f"{name}() takes exactly {n} positional argument{'' if n == 1 else 's'} ({k} given)"


@pytest.mark.parametrize("cls, name", CALLABLES)
def test_count_errors(cls, name):
    kwargs = VALID[cls, name]
    n, values = len(kwargs), list(kwargs.values())
    entry = own_entry(cls, name, kwargs)
    for k in sorted({0, n - 1, n + 1, n + 2} - {-1, n}):
        args = (values + [None, None])[:k]
        assert raises(TypeError, count_text(name, n, k), target(cls, name), *args) == entry
    if n:
        # Too many positionals is reported before any keyword is looked at.
        assert raises(TypeError, count_text(name, n, n + 1), target(cls, name),
                      *values, values[0], bogus=1) == entry
        # A parameter left open after the keywords: the count is of those before it.
        for i in range(n):
            rest = {p: v for j, (p, v) in enumerate(kwargs.items()) if j != i}
            assert raises(TypeError, count_text(name, n, i), target(cls, name),
                          **rest) == entry


@pytest.mark.parametrize("cls, name", CALLABLES)
def test_unexpected_keyword(cls, name):
    kwargs = VALID[cls, name]
    entry = own_entry(cls, name, kwargs)
    text = f"{name}() got an unexpected keyword argument 'zz'"
    assert raises(TypeError, text, target(cls, name), zz=1) == entry
    # The first stray keyword in call order is the one named.
    assert raises(TypeError, text, target(cls, name), **kwargs, zz=1, aa=2) == entry
    if kwargs:
        first = next(iter(kwargs))
        assert raises(TypeError, f"{name}() got an unexpected keyword argument '{first}x'",
                      target(cls, name), **{first + "x": 1}) == entry

        class Never(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                return False

        assert raises(TypeError, f"{name}() got an unexpected keyword argument '{first}'",
                      target(cls, name), **{Never(first): kwargs[first]}) == entry


@pytest.mark.parametrize("cls, name", WITH_PARAMS)
def test_multiple_values(cls, name):
    kwargs = VALID[cls, name]
    params, values = list(kwargs), list(kwargs.values())
    for k in range(1, len(params) + 1):
        for p in params[:k]:
            text = f"{name}() got multiple values for keyword argument '{p}'"
            assert raises(TypeError, text, target(cls, name), *values[:k],
                          **{p: kwargs[p]}) == [f"vornel._cycore.{cls.__name__}.{name}"]


class MyStr(str):
    pass


@pytest.mark.parametrize("cls, name", WITH_PARAMS)
def test_keyword_binding(cls, name):
    kwargs = VALID[cls, name]
    items = list(kwargs.items())
    calls = [dict(items), dict(reversed(items)), {MyStr(p): v for p, v in reversed(items)}]
    for kw in calls:
        target(cls, name)(**kw)
    # Leading positionals, the rest by keyword.
    target(cls, name)(items[0][1], **dict(items[1:]))


def test_keyword_binding_feeds_the_body():
    s = S()
    s.add_values(**{MyStr("values"): [2.0, 4.0]})
    assert s.result()["mean"] == 3.0
    g = G(**{MyStr("n_groups"): 2})
    g.add(values=[5.0], group_ids=[1])
    assert g.result_arrays()["sum"] == [0.0, 5.0]


def test_stream_creation_ignores_arguments():
    for s in (S(1, 2, x=3), S(1, 2), S(x=1)):
        assert s.result()["count"] == 0


# ---------------------------------------------------------------------------------------
# Traceback entries of failing method bodies

@pytest.mark.parametrize("qualname, call, exc_type", [
    ("CyStreamStats.add_values", lambda: S().add_values(3.0), TypeError),
    ("CyStreamStats.add_values", lambda: S().add_values(["x"]), ValueError),
    ("CyStreamStats.merge", lambda: S().merge(None), TypeError),
    ("CyStreamStats.merge", lambda: S.merge(S(), G(1)), TypeError),
    ("CyGroupedStreamStats.__cinit__", lambda: G(0), ValueError),
    ("CyGroupedStreamStats.add", lambda: G(2).add([5], [1.0]), ValueError),
    ("CyGroupedStreamStats.add", lambda: G(2).add(np.array([0]), np.zeros(2)), ValueError),
    ("CyGroupedStreamStats.merge", lambda: G(2).merge(None), TypeError),
    ("CyGroupedStreamStats.merge", lambda: G(2).merge(G(3)), ValueError),
])
def test_failing_body_adds_one_entry(qualname, call, exc_type):
    assert raises(exc_type, None, call) == [f"vornel._cycore.{qualname}"]


def test_nested_failures_add_one_entry_each_outermost_first():
    inner = S()

    def items():
        yield 1.0
        inner.merge(None)

    assert raises(TypeError, "other must be StreamStats", S().add_values, items()) == [
        "vornel._cycore.CyStreamStats.add_values", "vornel._cycore.CyStreamStats.merge"]
