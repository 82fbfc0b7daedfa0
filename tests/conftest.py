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


# The project files that discovery reads, as outside/ holds them and as the
# repository's conf/ holds them when a test links to them there.
PROJECT_FILE_TEXTS = {
    "pyproject.toml": '[tool.vorlane]\ndisable = ["C2000"]\nignore = ["models", "{token}"]'
    "\n\n[tool.black]\nline-length = {length}\n",
    "manage.py": "import os\n\n"
    'if __name__ == "__main__":\n'
    '    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "{module}")\n',
    "settings.py": 'STATIC_URL = "{static_url}"\nROOT_URLCONF = "{token}.urls"\n',
    "requirements.txt": "Django=={pin}  # {token}\n",
    "setup.py": "from setuptools import setup\n\n"
    'setup(name="{token}", install_requires=["Django=={pin}"])\n',
}
OUTSIDE_VALUES = dict(
    token=TOKEN,
    length=123,
    module=f"{TOKEN}.settings",
    static_url=f"/{TOKEN}/",
    pin="2.1.7",
)
INSIDE_VALUES = dict(
    token="inside", length=40, module="reposite.settings", static_url="/", pin="2.2.3"
)
OUTSIDE_TEXTS = {
    name: text.format(**OUTSIDE_VALUES) for name, text in PROJECT_FILE_TEXTS.items()
}
# outside/ is laid out as a repository: its settings module is reposite.settings.
OUTSIDE_PROJECT_FILES = {
    f"outside/{'reposite/' if name == 'settings.py' else ''}{name}": text
    for name, text in OUTSIDE_TEXTS.items()
}
OUTSIDE_PROJECT_FILES["outside/reposite/__init__.py"] = ""
INSIDE_TEXTS = {
    name: text.format(**INSIDE_VALUES) for name, text in PROJECT_FILE_TEXTS.items()
}

# Ways the repository may hold its project files: {repository file: text} written and
# {repository link: target} made. "-out" links lead to outside/, "-in" ones to a copy
# in conf/. manage.py names the settings module reposite.settings; repo/ is on the
# module search path.
SITE = {"manage.py": INSIDE_TEXTS["manage.py"], "reposite/__init__.py": ""}
SETTINGS_COPY = {"conf/settings.py": INSIDE_TEXTS["settings.py"]}
IMPORTING_SETTINGS = {**SITE, "reposite/settings.py": "from .base import STATIC_URL\n"}
ARRANGEMENTS = {
    "pyproject-out": ({}, {"pyproject.toml": "../outside/pyproject.toml"}),
    "pyproject-in": (
        {"conf/pyproject.toml": INSIDE_TEXTS["pyproject.toml"]},
        {"pyproject.toml": "conf/pyproject.toml"},
    ),
    "manage-out": ({}, {"manage.py": "../outside/manage.py"}),
    "manage-in": (
        {
            "conf/manage.py": INSIDE_TEXTS["manage.py"],
            "reposite/__init__.py": "",
            "reposite/settings.py": INSIDE_TEXTS["settings.py"],
        },
        {"manage.py": "conf/manage.py"},
    ),
    "settings-out": (
        SITE,
        {"reposite/settings.py": "../../outside/reposite/settings.py"},
    ),
    "settings-in": (
        {**SITE, **SETTINGS_COPY},
        {"reposite/settings.py": "../conf/settings.py"},
    ),
    "settings-package-out": (
        {"manage.py": INSIDE_TEXTS["manage.py"]},
        {"reposite": "../outside/reposite"},
    ),
    "settings-import-out": (
        IMPORTING_SETTINGS,
        {"reposite/base.py": "../../outside/reposite/settings.py"},
    ),
    "settings-import-in": (
        {**IMPORTING_SETTINGS, **SETTINGS_COPY},
        {"reposite/base.py": "../conf/settings.py"},
    ),
    "requirements-out": ({}, {"requirements.txt": "../outside/requirements.txt"}),
    "requirements-in": (
        {"conf/requirements.txt": INSIDE_TEXTS["requirements.txt"]},
        {"requirements.txt": "conf/requirements.txt"},
    ),
    "setup-py-out": ({}, {"setup.py": "../outside/setup.py"}),
    "setup-py-in": (
        {"conf/setup.py": INSIDE_TEXTS["setup.py"]},
        {"setup.py": "conf/setup.py"},
    ),
}


class EscapingRepository:
    """`repo/` beside `outside/`, whose files hold TOKEN, with links leading out of the
    repository (to files and to a directory) and links that stay inside it. Paths are
    resolved; `path(name)` maps "repo/..." and "outside/..." names to absolute ones. The
    working directory is repo/, which is on the module search path, as a caller has it.
    `arrange(*names)` adds the project files of ARRANGEMENTS; `linked_out` lists the
    absolute paths of the links so made that lead out."""

    def __init__(self, base):
        self.base = base
        self.repo = base / "repo"
        self.outside = base / "outside"
        self.linked_out = []

    def path(self, name):
        return str(self.base / name)

    def arrange(self, *names):
        for name in names:
            files, links = ARRANGEMENTS[name]
            for rel, text in files.items():
                (self.repo / rel).parent.mkdir(parents=True, exist_ok=True)
                (self.repo / rel).write_text(text)
            for rel, target in links.items():
                (self.repo / rel).parent.mkdir(parents=True, exist_ok=True)
                (self.repo / rel).symlink_to(target)
                if name.endswith("-out"):
                    self.linked_out.append(str(self.repo / rel))


@pytest.fixture
def escaping_repository(tmp_path, write_tree, monkeypatch):
    base = tmp_path.resolve()
    write_tree(
        {
            "outside/secret.html": f'<img src="/static/{TOKEN}.png">\n',
            "outside/secret.py": SHELF_MODEL.format(field=TOKEN),
            **OUTSIDE_PROJECT_FILES,
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
