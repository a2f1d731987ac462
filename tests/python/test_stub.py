"""The type stubs against the live modules: the same names, methods, properties, overloads and
parameters; and the examples type-check against the stubs."""

import ast
import os
import re
import shutil
import subprocess
import sys
import types
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
STUB_DIR = ROOT / "python"
MODULES = ("OrvexHardwareAPI", "OrvexHaptics")


class Param:
    """A parameter as both sides can describe it."""

    def __init__(self, name, positional_only, has_default, keyword_only=False, variadic=False):
        self.name, self.positional_only, self.has_default = name, positional_only, has_default
        self.keyword_only, self.variadic = keyword_only, variadic

    def __repr__(self):
        return "%s%s%s%s" % ("*" if self.variadic else "", self.name, "=…" if self.has_default else "",
                             " /" if self.positional_only else " kw" if self.keyword_only else "")


def _top_level_split(text):
    """Splits at the commas that are outside brackets and angle brackets."""
    parts, depth, start = [], 0, 0
    for i, char in enumerate(text):
        if char in "([<{":
            depth += 1
        elif char in ")]>}":
            depth -= 1
        elif char == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text[start:].strip():
        parts.append(text[start:].strip())
    return parts


def _live_param(text):
    name, _, rest = text.partition(": ")
    # pybind11 names unnamed arguments argN; they, and names with blanks, go only by position.
    positional_only = " " in name or re.fullmatch(r"arg\d+", name) is not None
    return Param(name, positional_only, " = " in rest)


def live_overloads(function):
    """The parameter lists of each signature line that pybind11 puts in the docstring."""
    name = function.__name__
    lines = function.__doc__.splitlines()
    if len(lines) > 1 and lines[1] == "Overloaded function.":
        signatures = [l.split(". ", 1)[1] for l in lines if re.match(r"\d+\. %s\(" % name, l)]
    else:
        signatures = [lines[0]]
    overloads = []
    for signature in signatures:
        inside = signature[len(name) + 1 : signature.rindex(") -> ")]
        params, keyword_only = [], False
        for text in _top_level_split(inside):
            if text == "*":  # what follows goes by keyword only
                keyword_only = True
            elif text.startswith("*"):
                params.append(Param(text.lstrip("*"), False, False, variadic=True))
            else:
                param = _live_param(text)
                param.keyword_only = keyword_only
                params.append(param)
        # As in Python, whatever comes before a positional-only parameter is positional-only too.
        last = max((i for i, p in enumerate(params) if p.positional_only), default=0)
        for param in params[:last]:
            param.positional_only = True
        overloads.append(params)
    return overloads


def stub_params(function):
    arguments = function.args
    positional = [(a, True) for a in arguments.posonlyargs] + [(a, False) for a in arguments.args]
    first_default = len(positional) - len(arguments.defaults)
    params = [Param(a.arg, only, i >= first_default) for i, (a, only) in enumerate(positional)]
    if arguments.vararg:
        params.append(Param(arguments.vararg.arg, False, False, variadic=True))
    params += [Param(a.arg, False, default is not None, keyword_only=True)
               for a, default in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    if arguments.kwarg:
        params.append(Param(arguments.kwarg.arg, False, False, variadic=True))
    return params


def _is_property(function):
    """A property's getter or setter in the stub."""
    return any((isinstance(d, ast.Name) and d.id == "property")
               or (isinstance(d, ast.Attribute) and d.attr == "setter")
               for d in function.decorator_list)


def _is_public(name):
    return not name.startswith("_") or name == "__version__"


def stub_contents(module_name):
    """Public names of a module's stub: functions and classes as lists of overloads, properties,
    and attributes."""
    tree = ast.parse((STUB_DIR / (module_name + ".pyi")).read_text())

    def functions_in(body):
        found = {}
        for node in body:
            if isinstance(node, ast.FunctionDef) and _is_property(node):
                found[node.name] = "property"
            elif isinstance(node, ast.FunctionDef):
                found.setdefault(node.name, []).append(stub_params(node))
        return found

    contents = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and _is_public(node.name):
            contents[node.name] = functions_in(node.body)
        elif isinstance(node, ast.AnnAssign) and _is_public(node.target.id):
            contents[node.target.id] = "attribute"
    for name, overloads in functions_in(tree.body).items():
        if _is_public(name):
            contents[name] = overloads
    return contents


def _is_binding(value):
    """Functions pybind11 made carry their signature as the docstring's first line."""
    name = getattr(value, "__name__", None)
    return callable(value) and name and (value.__doc__ or "").startswith(name + "(")


def live_contents(module):
    contents = {}
    for name in dir(module):
        value = getattr(module, name)
        # A pure-Python submodule (OrvexHaptics.testing) is no registration.
        if not _is_public(name) or isinstance(value, types.ModuleType):
            continue
        if isinstance(value, type):
            contents[name] = {key: live_overloads(method) for key, method in vars(value).items()
                              if _is_binding(method)}
            contents[name].update({key: "property" for key, member in vars(value).items()
                                   if isinstance(member, property)})
        elif _is_binding(value):
            contents[name] = live_overloads(value)
        else:
            contents[name] = "attribute"
    return contents


def _same_param(live, stub):
    name = live.name.replace(" ", "_")
    names_agree = stub.name == name or re.fullmatch(r"arg\d+", live.name) is not None
    return (names_agree and live.positional_only == stub.positional_only
            and live.has_default == stub.has_default and live.keyword_only == stub.keyword_only
            and live.variadic == stub.variadic)


def _assert_same_overloads(where, live, stub):
    assert len(live) == len(stub), "%s: %d overloads live, %d in the stub" % (where, len(live), len(stub))
    for number, (live_params, stub_params_) in enumerate(zip(live, stub), 1):
        assert len(live_params) == len(stub_params_) and all(
            _same_param(l, s) for l, s in zip(live_params, stub_params_)
        ), "%s overload %d: live %s, stub %s" % (where, number, live_params, stub_params_)


@pytest.fixture(scope="session")
def modules(orvex):
    import OrvexHaptics

    return {"OrvexHardwareAPI": orvex, "OrvexHaptics": OrvexHaptics}


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_and_module_have_the_same_names(modules, module_name):
    assert sorted(stub_contents(module_name)) == sorted(live_contents(modules[module_name]))


@pytest.mark.parametrize("module_name, name", sorted(
    (m, n) for m in MODULES for n, v in stub_contents(m).items() if v != "attribute"))
def test_stub_matches_the_module(modules, module_name, name):
    live, stub = live_contents(modules[module_name])[name], stub_contents(module_name)[name]
    if isinstance(live, dict):
        assert sorted(stub) == sorted(live), "methods and properties of " + name
        for method in live:
            if live[method] == "property" or stub[method] == "property":
                assert live[method] == stub[method], name + "." + method
                continue
            _assert_same_overloads(name + "." + method, live[method], stub[method])
    else:
        _assert_same_overloads(name, live, stub)


def _python_with_mypy():
    candidates = [sys.executable, os.environ.get("ORVEX_OTHER_PYTHON"), shutil.which("python3")]
    for python in filter(None, candidates):
        if subprocess.run([python, "-c", "import mypy"], capture_output=True).returncode == 0:
            return python
    pytest.fail("no interpreter here has mypy (Debian's python3-mypy)")


@pytest.mark.slow
def test_examples_type_check_against_the_stub(tmp_path):
    """For the interpreter running the tests, so both module builds are covered."""
    version = "%d.%d" % sys.version_info[:2]
    done = subprocess.run(
        [_python_with_mypy(), "-m", "mypy", "--python-version", version, "--strict",
         "--cache-dir", str(tmp_path), str(ROOT / "examples")],
        env=dict(os.environ, MYPYPATH=str(STUB_DIR)), capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
