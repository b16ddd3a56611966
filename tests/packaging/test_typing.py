"""The .pyi stubs against the compiled modules, help texts, and mypy on the typed example."""
import ast
import importlib
import inspect
import os
import pydoc
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
MODULES = ["encode", "serialize", "render", "spikes"]
PACKAGE = Path(importlib.import_module("zelq.viz").__file__).resolve().parent

_KINDS = {
    "posonlyargs": inspect.Parameter.POSITIONAL_ONLY,
    "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
    "kwonlyargs": inspect.Parameter.KEYWORD_ONLY,
}


def stub_of(name):
    """Functions ({name: FunctionDef}) and annotated names ({name: annotation text}) of a stub."""
    tree = ast.parse((PACKAGE / f"{name}.pyi").read_text(encoding="utf-8"))
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    names = {n.target.id: ast.unparse(n.annotation) for n in tree.body if isinstance(n, ast.AnnAssign)}
    return functions, names


def stub_parameters(fn):
    """(name, kind, default) of every parameter of a stub function, in order."""
    a = fn.args
    positional = [(p, "posonlyargs") for p in a.posonlyargs] + [(p, "args") for p in a.args]
    defaults = [inspect.Parameter.empty] * (len(positional) - len(a.defaults)) + [
        ast.literal_eval(d) for d in a.defaults]
    out = [(p.arg, _KINDS[k], d) for (p, k), d in zip(positional, defaults)]
    if a.vararg:
        out.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.empty))
    for p, d in zip(a.kwonlyargs, a.kw_defaults):
        out.append((p.arg, _KINDS["kwonlyargs"], inspect.Parameter.empty if d is None else ast.literal_eval(d)))
    if a.kwarg:
        out.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, inspect.Parameter.empty))
    return out


def own_functions(mod):
    """Functions the module defines itself (not the ones it imports from elsewhere)."""
    return {n: f for n, f in vars(mod).items()
            if callable(f) and not isinstance(f, type) and getattr(f, "__module__", None) == mod.__name__}


def own_public_constants(mod):
    """Upper-case names the module sets itself; the style tables are imported, not its own."""
    constants = importlib.import_module("zelq.viz.constants")
    return {n for n in vars(mod) if n.isupper() and not n.startswith("_") and n not in vars(constants)}


@pytest.mark.parametrize("name", MODULES)
def test_stub_lists_exactly_the_module_functions(name):
    mod = importlib.import_module(f"zelq.viz.{name}")
    functions, names = stub_of(name)
    assert set(functions) == set(own_functions(mod))
    assert own_public_constants(mod) <= set(names)
    for attr in names:
        assert hasattr(mod, attr), attr


@pytest.mark.parametrize("name", MODULES)
def test_stub_parameters_match_the_signatures(name):
    mod = importlib.import_module(f"zelq.viz.{name}")
    functions, _ = stub_of(name)
    for fname, fn in functions.items():
        sig = inspect.signature(getattr(mod, fname))
        actual = [(p.name, p.kind, p.default) for p in sig.parameters.values()]
        assert actual == stub_parameters(fn), fname
        # Defaults must agree in type too: True is not 1, 10.0 is not 10.
        for (_, _, a), (_, _, s) in zip(actual, stub_parameters(fn)):
            assert type(a) is type(s), fname


@pytest.mark.parametrize("name", MODULES)
def test_stub_annotates_everything(name):
    functions, _ = stub_of(name)
    for fname, fn in functions.items():
        a = fn.args
        params = a.posonlyargs + a.args + a.kwonlyargs + [p for p in (a.vararg, a.kwarg) if p]
        assert fn.returns is not None, fname
        assert all(p.annotation is not None for p in params), fname


def _expected_spikes_annotation(param, default):
    # The declared annotations of the event functions, by parameter name.
    if param == "sensor_size":
        return "Optional[Tuple[int, int]]" if default is None else "Tuple[int, int]"
    return {
        "events": "np.ndarray", "img": "np.ndarray", "frames": "np.ndarray",
        "n_frames": "int", "n_bins": "int", "time_bins": "int", "n_grid_bins": "int",
        "raster_time_bins": "int", "max_raster_neurons": "int", "n_neurons": "Optional[int]",
        "accumulate": "bool", "use_tonic": "Optional[bool]", "name": "str", "text": "str",
        "title": "str", "data": "Dict[str, Any]", "output_path": "Union[str, Path]", "kwargs": "Any",
        "fmt": "int", "buffer": "Any", "state": "np.ndarray", "out": "np.ndarray", "count": "int",
        "target": "int", "head": "Any", "path": "bytes", "offset": "int", "size": "int", "t0": "int",
        "width": "int", "height": "int", "enabled": "bool",
    }[param]


def test_spikes_stub_uses_the_declared_annotations():
    functions, names = stub_of("spikes")
    assert names["TONIC_AVAILABLE"] == "bool" and names["PIL_AVAILABLE"] == "bool"
    for fname, fn in functions.items():
        a = fn.args
        defaults = [object()] * (len(a.args) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
        for p, d in zip(a.args, defaults):
            assert ast.unparse(p.annotation) == _expected_spikes_annotation(p.arg, d), (fname, p.arg)
        if a.kwarg:
            assert ast.unparse(a.kwarg.annotation) == "Any"


@pytest.mark.parametrize("name", MODULES)
def test_help_shows_signature_and_a_short_docstring(name):
    mod = importlib.import_module(f"zelq.viz.{name}")
    for fname, f in own_functions(mod).items():
        sig = inspect.signature(f)
        text = pydoc.render_doc(f, renderer=pydoc.plaintext)
        # A plain module-level function: no "method of ... instance" note, a bare qualified name.
        assert f"\n{fname}(" in text and f"in module zelq.viz.{name}" in text
        # One line on 3.11; 3.13 wraps a long signature a parameter a line, up to a lone ")".
        head = text.split(f"\n{fname}(", 1)[1]
        if head.startswith("\n"):
            close = head.index("\n)")
            shown = head[:close] + head[close:].split("\n")[1]
        else:
            shown = head.split("\n", 1)[0]
        assert re.sub(r"\s+", "", f"{fname}({shown}") == re.sub(r"\s+", "", f"{fname}{sig}"), fname
        assert f.__qualname__ == fname and inspect.ismodule(f.__self__)
        doc = inspect.getdoc(f)
        assert doc, fname
        first = doc.splitlines()[0]
        assert 10 < len(first) <= 100, (fname, first)
        assert len(doc) < 800, fname


@pytest.mark.parametrize("name", MODULES)
def test_docstrings_say_what_is_refused_or_raised(name):
    mod = importlib.import_module(f"zelq.viz.{name}")
    for fname, f in own_functions(mod).items():
        doc = inspect.getdoc(f)
        assert re.search(r"[Rr]efuses|[Rr]aises?\b|\w+Error\b", doc), fname


@pytest.mark.parametrize("marker", ["py.typed", "encode.pyi", "serialize.pyi", "render.pyi", "spikes.pyi"])
def test_typing_files_sit_beside_the_modules(marker):
    assert (PACKAGE / marker).is_file()


def _mypy_env():
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    tree = PACKAGE.parent.parent
    if tree.name not in ("site-packages", "dist-packages"):
        # A tree of its own (src/, a sanitizer build): point mypy at it. An installed
        # package is found through site-packages, which mypy refuses on its search path.
        env["MYPYPATH"] = str(tree)
    return env


def test_mypy_strict_passes_on_the_typed_example(tmp_path):
    pytest.importorskip("mypy")
    env = _mypy_env()
    shutil.copy(ROOT / "examples" / "typed_usage.py", tmp_path / "typed_usage.py")
    bad = tmp_path / "misuse.py"
    bad.write_text(
        "import numpy as np\nfrom zelq.viz.spikes import events_to_frames\n"
        "events_to_frames(np.zeros(3), [34, 34])\n")
    cmd = [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
           "--python-executable", sys.executable]
    good = subprocess.run(cmd + ["typed_usage.py"], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert good.returncode == 0, good.stdout + good.stderr
    # The stubs are really in use: a list for sensor_size is a type error.
    wrong = subprocess.run(cmd + ["misuse.py"], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert wrong.returncode == 1
    assert '"events_to_frames" has incompatible type "list[int]"' in wrong.stdout


def test_mypy_finds_no_errors_in_the_packages(tmp_path):
    pytest.importorskip("mypy")
    env = _mypy_env()
    # The files of a tree of its own, named through MYPYPATH: by module name an installed
    # copy elsewhere would win, zelq being a namespace package.
    target = [str(PACKAGE), str(PACKAGE.parent / "ir")] if "MYPYPATH" in env else ["-p", "zelq.viz", "-p", "zelq.ir"]
    cmd = [sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"),
           "--cache-dir", str(tmp_path / "cache"), "--python-executable", sys.executable, *target]
    out = subprocess.run(cmd, cwd=tmp_path, env=env, capture_output=True, text=True)
    assert out.returncode == 0 and "Success: no issues found" in out.stdout, out.stdout + out.stderr


def test_typed_example_runs(tmp_path):
    env = dict(os.environ, PYTHONPATH=str(PACKAGE.parent.parent))
    out = subprocess.run([sys.executable, str(ROOT / "examples" / "typed_usage.py"), str(tmp_path)],
                         capture_output=True, text=True, cwd=tmp_path, env=env)
    assert out.returncode == 0, out.stderr
    for page in ("graph.html", "events.html"):
        text = (tmp_path / page).read_text(encoding="utf-8")
        assert text.lstrip().lower().startswith("<!doctype html>") and "</html>" in text
