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
