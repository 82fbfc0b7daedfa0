"""Shared fixtures: small projects written into tmp_path."""
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import astroid
import pytest

PROJECTS = Path(__file__).parent / "projects"
REPO = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="session")
def sample_output(tmp_path_factory):
    """What the README's main job prints for the sample project, parsed: the example is
    run once per session, as a user runs it, from a directory other than the repo's."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run(
        [sys.executable, str(REPO / "examples" / "lint_sample.py")],
        cwd=tmp_path_factory.mktemp("elsewhere"),
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(run.stdout)


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


# --- Fixture projects linted whole ----------------------------------------------------

MARKER = re.compile(r"# \[([A-Z0-9, ]+)\]")


def forget_project(root):
    """astroid keeps modules and module files process-wide by name: drop the project's,
    so that another test's modules of the same name are parsed afresh."""
    manager = astroid.MANAGER
    for name, module in list(manager.astroid_cache.items()):
        if str(root) in str(getattr(module, "file", None)):
            del manager.astroid_cache[name]
    for key, found in list(manager._mod_file_cache.items()):
        if str(root) in repr(found):
            del manager._mod_file_cache[key]


def run_without_read_override(script, *args):
    """Runs a Python script in a child that cannot read a file its permissions deny:
    as root, with the capabilities that would let it read anything dropped. Skips the
    test where that cannot be arranged."""
    command = [sys.executable, "-c", script, *map(str, args)]
    if os.geteuid() == 0:
        setpriv = shutil.which("setpriv")
        if not setpriv:
            pytest.skip("root reads every file and setpriv is missing to drop that")
        command = [
            setpriv,
            "--bounding-set",
            "-dac_override,-dac_read_search",
        ] + command
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run(command, capture_output=True, text=True, env=env, check=False)
    if os.geteuid() == 0 and "setpriv" in run.stderr:
        pytest.skip(f"cannot drop the override here: {run.stderr.strip()}")
    assert run.returncode == 0, run.stderr
    return run


class LintedProject:
    """A fixture project after one lint of all its files."""

    def __init__(self, root, records):
        self.root = root
        self.records = records

    def findings(self, codes):
        """(relative path, line, code) of every record whose code starts with one of
        `codes`, sorted."""
        return sorted(
            (self.relative(r["path"]), r["line"], r["message-id"])
            for r in self.records
            if r["message-id"].startswith(codes)
        )

    def marked(self, pattern, codes):
        """(relative path, line, code) of every `# [C9000, C9002]` marker in the files
        matching pattern whose code starts with one of `codes`: what the lint must
        report, and where."""
        found = []
        for path in sorted(self.root.glob(pattern)):
            for number, text in enumerate(path.read_text().splitlines(), start=1):
                match = MARKER.search(text)
                for code in match.group(1).split(", ") if match else ():
                    if code.startswith(codes):
                        found.append((self.relative(path), number, code))
        return sorted(found)

    def relative(self, path):
        return Path(path).relative_to(self.root).as_posix()


@pytest.fixture(scope="module")
def linted_project(tmp_path_factory):
    """Lints a project once per test module: a copy of the named project of
    tests/projects (or of the directory given), importable from sys.path while it is
    linted (inference finds its modules there), every file selected. Answers a
    LintedProject."""
    from vorlane.staticanalysis import checker, meta

    linted = {}

    def lint(name):
        if name not in linted:
            source = PROJECTS / name
            root = (tmp_path_factory.mktemp(source.name) / source.name).resolve()
            shutil.copytree(source, root)
            with pytest.MonkeyPatch.context() as patch:
                patch.syspath_prepend(str(root))
                files = meta.get_files_to_check_in_project([str(root)], [], str(root))
                records = checker.get_messages(str(root), dict(files))
            linted[name] = LintedProject(root, records)
        return linted[name]

    yield lint
    for project in linted.values():
        forget_project(project.root)


@pytest.fixture
def lint_project(tmp_path):
    """Lint a {relative path: text} project written below tmp_path with every registered
    checker (checker.get_messages, options from `config`); answers the records. astroid
    forgets the project's modules afterwards: it keeps modules process-wide by name."""
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
    forget_project(root)


# --- A repository that reaches outside itself -----------------------------------------

TOKEN = "TOKEN"  # written only in the files outside the repository

SHELF_MODEL = """\
from django.db import models


class Shelf(models.Model):
    {field} = models.CharField(max_length=10, null=True)
"""


class EscapingRepository:
    """`repo/` beside `outside/`, whose files hold TOKEN, with links leading out of the
    repository (to files and to a directory) and links that stay inside it. Paths are
    resolved; `path(name)` maps "repo/..." and "outside/..." names to absolute ones. The
    working directory is repo/, which is on the module search path, as a caller has it."""

    def __init__(self, base):
        self.base = base
        self.repo = base / "repo"
        self.outside = base / "outside"

    def path(self, name):
        return str(self.base / name)


@pytest.fixture
def escaping_repository(tmp_path, write_tree, monkeypatch):
    base = tmp_path.resolve()
    write_tree(
        {
            "outside/secret.html": f'<img src="/static/{TOKEN}.png">\n',
            "outside/secret.py": SHELF_MODEL.format(field=TOKEN),
            "repo/app/models.py": SHELF_MODEL.format(field="label"),
            "repo/app/templates/page.html": '<img src="/static/inside.png">\n',
        },
        base,
    )
    repo = base / "repo"
    links = {
        "app/evil.py": "../../outside/secret.py",
        "app/templates/evil.html": "../../../outside/secret.html",
        "app/linked_out": "../../outside",
        "vendor": "../outside",
        "app/alias.py": "models.py",
        "app/templates/alias.html": "page.html",
    }
    for name, target in links.items():
        (repo / name).symlink_to(target)
    monkeypatch.chdir(repo)
    monkeypatch.syspath_prepend(str(repo))
    yield EscapingRepository(base)
    forget_project(base)
