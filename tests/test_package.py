"""The package as installed: every module is a C++ extension module, black is pure Python."""
import importlib
import importlib.machinery

import pytest

MODULES = [
    "vorlane.staticanalysis.helpers",
    "vorlane.staticanalysis.shims",
    "vorlane.staticanalysis.meta",
    "vorlane.staticanalysis.dependencies",
    "vorlane.staticanalysis.checker",
    "vorlane.staticanalysis.checkers.colspec",
    "vorlane.staticanalysis.checkers.classlayout",
    "vorlane.staticanalysis.checkers.migrations",
    "vorlane.staticanalysis.checkers.fetchplan",
    "vorlane.staticanalysis.checkers.urls",
    "vorlane.staticanalysis.checkers.templates",
    "vorlane.staticanalysis.suggest",
]


@pytest.mark.parametrize("name", MODULES)
def test_module_is_extension(name):
    module = importlib.import_module(name)
    assert isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)
    assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


def test_black_is_pure_python():
    import black

    # A compiled black ignores a replaced module attribute (its quote normaliser).
    assert black.COMPILED is False
    assert black.__version__ == "22.12.0"
