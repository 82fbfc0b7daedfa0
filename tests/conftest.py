"""Shared fixtures: small projects written into tmp_path."""
import textwrap
from pathlib import Path

import pytest

PROJECTS = Path(__file__).parent / "projects"


@pytest.fixture
def write_tree(tmp_path):
    """Write a {relative path: text} mapping below tmp_path and return the root."""

    def write(files, root=None):
        base = Path(root) if root else tmp_path
        for rel, text in files.items():
            path = base / rel
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(textwrap.dedent(text))
        return base

    return write


@pytest.fixture
def lint_project(tmp_path):
    """Lint a {relative path: text} project written below tmp_path with every registered
    checker (checker.get_messages, options from `config`); answers the records. astroid
    forgets the project's modules afterwards: it keeps modules process-wide by name."""
    import astroid

    from vorlane.staticanalysis import checker

    root = (tmp_path / "project").resolve()

    def lint(files, config=None):
        paths = {}
        for rel, text in files.items():
            path = root / rel
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(textwrap.dedent(text))
            if rel.endswith(".py"):
                paths[str(path)] = None
        if config is None:
            return checker.get_messages(str(root), paths)
        return checker.get_messages(str(root), paths, config=config)

    yield lint
    manager = astroid.MANAGER
    for name, module in list(manager.astroid_cache.items()):
        if str(root) in str(getattr(module, "file", None)):
            del manager.astroid_cache[name]
