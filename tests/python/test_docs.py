"""The Python API reference names every function, class and method of the live module and quotes
each docstring as the module has it."""

import re

from test_stub import ROOT, live_contents

REFERENCE = (ROOT / "docs" / "python-api.md").read_text()


def _docstrings(function):
    """The texts pybind11 puts after the signature lines."""
    name = re.escape(function.__name__)
    return [line for line in function.__doc__.splitlines()
            if line and line != "Overloaded function." and not re.match(r"(\d+\. )?%s\(" % name, line)]


def _public_items(module):
    for name, contents in live_contents(module).items():
        yield name, getattr(module, name)
        if isinstance(contents, dict):
            for method in contents:
                if method != "__init__":  # documented under its class's name
                    yield method, getattr(getattr(module, name), method)


def test_every_name_is_documented(orvex):
    assert [name for name, _ in _public_items(orvex) if "`" + name not in REFERENCE] == []


def test_every_docstring_is_quoted(orvex):
    unquoted = [(name, text) for name, value in _public_items(orvex)
                if callable(value) and not isinstance(value, type)
                for text in _docstrings(value) if '"%s"' % text not in REFERENCE]
    assert unquoted == []
