"""Project discovery: the file walk, pyproject.toml, manage.py and settings modules,
ROOT_URLCONF and STATIC_URL, and the black code style."""
import json
import locale
import logging
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import astroid
import black
import click
import pytest

from conftest import TOKEN
from vorlane.staticanalysis import meta, shims

PROJECTS = Path(__file__).parent / "projects"

needs_settings_transforms = pytest.mark.skipif(
    not hasattr(shims, "BuilderWithSettingsTransforms"),
    reason="the settings-parse transforms are not available",
)


# Sources are read in the platform's encoding; the undecodable rows are UTF-8's.
needs_utf8 = pytest.mark.skipif(
    locale.getpreferredencoding(False).lower().replace("-", "") != "utf8",
    reason="the platform's encoding is not UTF-8",
)


@pytest.fixture(autouse=True)
def fresh_astroid_cache():
    """Settings parses cache modules by name: keep them out of the next test."""
    caches = [astroid.MANAGER.astroid_cache, astroid.MANAGER._mod_file_cache]
    before = [set(cache) for cache in caches]
    yield
    for cache, keys in zip(caches, before):
        for key in set(cache) - keys:
            del cache[key]


@pytest.fixture
def project(tmp_path, monkeypatch):
    """Copy a fixture project into tmp_path and make it importable."""

    def copy(name):
        root = tmp_path / name
        shutil.copytree(PROJECTS / name, root)
        monkeypatch.syspath_prepend(str(root))
        return root

    return copy


def listed(selection, root):
    """The selection's paths relative to root, sorted."""
    root = Path(root).resolve()
    return sorted(str(Path(p).relative_to(root)) for p in selection)


# --- Files to check ---


@pytest.mark.parametrize(
    "files, expected",
    [
        (
            {"a.py": "x = 1\n", "pkg/b.py": "y = 2\n", "t.html": "<p>\n"},
            ["a.py", "pkg/b.py", "t.html"],
        ),
        ({"mail.body.html": "<p>\n", "a.b.py": "x\n"}, ["mail.body.html"]),
        (
            {"x.pyi": "x\n", "x.pyc": "x\n", "x.txt": "x\n", "README": "x\n"},
            [],
        ),
        ({"pkg/__init__.py": "", "pkg/empty.html": ""}, []),
        ({"{{ project_name }}/settings.py": "X = 1\n"}, []),
        (
            {".git/hooks/a.py": "x\n", "src/.tox/py/b.py": "x\n", "c.py": "x\n"},
            ["c.py"],
        ),
    ],
    ids=[
        "candidates",
        "dots-in-name",
        "other-suffixes",
        "empty-files",
        "template-dir",
        "git-and-tox",
    ],
)
def test_walk_lists_candidates(write_tree, tmp_path, files, expected):
    root = write_tree(files, tmp_path / "proj")
    selection = meta.get_files_to_check_in_project([str(root)], project_root=str(root))
    assert listed(selection, root) == expected
    assert all(value is None for value in selection.values())
    assert all(Path(p).is_absolute() for p in selection)


TREE = {
    "app/models.py": "x = 1\n",
    "app/migrations/0001_initial.py": "x = 1\n",
    "app/migrations.py": "x = 1\n",
    "app/tests/test_models.py": "x = 1\n",
    "app/templates/mail.body.html": "<p>\n",
    "app/templates/page.html": "<p>\n",
}


@pytest.mark.parametrize(
    "ignore, expected",
    [
        (set(), sorted(TREE)),
        (
            {"migrations"},
            [
                "app/models.py",
                "app/templates/mail.body.html",
                "app/templates/page.html",
                "app/tests/test_models.py",
            ],
        ),
        (
            {"mail"},
            [
                "app/migrations.py",
                "app/migrations/0001_initial.py",
                "app/models.py",
                "app/templates/page.html",
                "app/tests/test_models.py",
            ],
        ),
        ({"app/tests"}, sorted(TREE)),
        (
            {"*tests*"},
            [
                "app/migrations.py",
                "app/migrations/0001_initial.py",
                "app/models.py",
                "app/templates/mail.body.html",
                "app/templates/page.html",
            ],
        ),
        (
            {"{root}/app/templates"},
            [
                "app/migrations.py",
                "app/migrations/0001_initial.py",
                "app/models.py",
                "app/tests/test_models.py",
            ],
        ),
        (
            {"{root}/app/model"},
            [
                "app/migrations.py",
                "app/migrations/0001_initial.py",
                "app/templates/mail.body.html",
                "app/templates/page.html",
                "app/tests/test_models.py",
            ],
        ),
    ],
    ids=[
        "none",
        "module-name",
        "dotted-stem-prefix",
        "relative-path-covers-nothing",
        "glob",
        "absolute-directory",
        "absolute-text-prefix",
    ],
)
def test_walk_ignore_entries(write_tree, tmp_path, ignore, expected):
    root = write_tree(TREE, tmp_path / "proj").resolve()
    entries = {entry.replace("{root}", str(root)) for entry in ignore}
    selection = meta.get_files_to_check_in_project([root], entries, str(root))
    assert listed(selection, root) == expected


@pytest.mark.parametrize(
    "entries, path, expected",
    [
        ({"migrations"}, "/p/app/migrations", True),
        ({"a.b"}, "/p/a.b.c.py", True),
        ({"a"}, "/p/a.b.c.py", True),
        ({"/p/app"}, "/p/apple/x.py", True),  # plain entries are text prefixes
        ({"/p/app/x"}, "/p/app/x.py", True),  # matched without ".py"
        ({"b"}, "/p/a.b.py", False),
        ({"app/x"}, "/p/app/x.py", False),
        (set(), "/p/x.py", False),
    ],
)
def test_is_owner_ignored(entries, path, expected):
    assert meta.is_owner_ignored(Path(path), entries) is expected
    assert meta.is_owner_ignored(path=Path(path), ignored_modules=entries) is expected


@pytest.mark.parametrize(
    "path, expected",
    [
        ("/p/app/models.py", False),
        ("/p/app/page.html", False),
        ("/p/app/.git/x.py", False),  # only the stem and path text are looked at
        ("/p/.git", True),  # not a candidate file at all
        ("/p/a.b.py", True),
        ("/p/x.pyi", True),
        ("/p/{{ name }}/x.py", True),
    ],
)
def test_should_ignore_path_defaults(path, expected):
    assert meta.should_ignore_path(Path(path)) is expected


@pytest.mark.parametrize(
    "path, expected",
    [
        ("/p/settings.py", True),
        ("/p/settings.bak.py", False),
        ("/p/settings.pyc", False),
        ("/p/{{ project }}/settings.py", False),
        ("/p/x.tar.py", False),
        ("/p/.py", False),
    ],
)
def test_is_importable_python_file(path, expected):
    assert meta.is_importable_python_file(Path(path)) is expected


def test_walk_links_and_vanished_entries(write_tree, tmp_path):
    root = write_tree(
        {"real.py": "x = 1\n", "lib/target.py": "x = 1\n", "lib/dir/inner.py": "y\n"},
        tmp_path / "proj",
    )
    (root / "to_file.py").symlink_to(root / "lib" / "target.py")
    (root / "to_dir").symlink_to(root / "lib" / "dir")
    (root / "dangling.py").symlink_to(root / "missing.py")
    (root / "loop_a.py").symlink_to(root / "loop_b.py")
    (root / "loop_b.py").symlink_to(root / "loop_a.py")
    # The ignore entry keeps the walk out of lib/ (its stem), not off the files in it.
    selection = meta.get_files_to_check_in_project([root], {"lib"}, str(root))
    assert sorted(selection) == sorted(
        [str((root / "real.py").resolve()), str((root / "lib/target.py").resolve())]
    )


def test_walk_skips_files_removed_while_walking(write_tree, tmp_path):
    names = [f"m{i}.py" for i in range(20)]
    root = write_tree({name: "x = 1\n" for name in names}, tmp_path / "proj")
    walk = meta.scan_tree(str(root), set())
    first = next(walk)
    for name in names:
        if name != first.name:
            (root / name).unlink()
    assert list(walk) == []


def test_walk_enters_directories_and_lists_in_walk_order(write_tree, tmp_path):
    root = write_tree({"a/b/c/deep.py": "x\n", "top.py": "x\n"}, tmp_path / "proj")
    walk = list(meta.scan_tree(directory=root, ignore=set()))
    assert all(isinstance(p, Path) for p in walk)
    assert sorted(str(p.relative_to(root.resolve())) for p in walk) == [
        "a/b/c/deep.py",
        "top.py",
    ]
    # Overlapping trees: each path once, at its first position.
    selection = meta.get_files_to_check_in_project([root / "a", root], set(), str(root))
    assert list(selection)[0].endswith("deep.py")
    assert len(selection) == 2


def test_walks_are_lazy(tmp_path, caplog):
    missing = tmp_path / "missing"
    tree = meta.scan_tree(str(missing), set())
    trees = meta.scan_trees([str(missing)], set())
    assert caplog.records == []  # nothing is listed before the first item
    assert list(tree) == [] and list(trees) == []
    assert [r.levelno for r in caplog.records] == [logging.WARNING] * 2


def test_directories_that_cannot_be_listed_are_skipped(write_tree, tmp_path, caplog):
    root = write_tree({"src/a.py": "x\n", "notes.py": "y\n"}, tmp_path / "proj")
    missing, a_file = root / "missing", root / "notes.py"
    selection = meta.get_files_to_check_in_project(
        [missing, a_file, root / "src"], project_root=str(root)
    )
    assert listed(selection, root) == ["src/a.py"]
    messages = [r.getMessage() for r in caplog.records]
    assert [m.split(": ")[:3] for m in messages] == [
        [str(missing), "directory not checked", "FileNotFoundError"],
        [str(a_file), "directory not checked", "NotADirectoryError"],
    ]


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads every directory")
def test_subdirectory_without_permission_is_skipped(write_tree, tmp_path, caplog):
    root = write_tree({"open/a.py": "x\n", "closed/b.py": "y\n"}, tmp_path / "proj")
    (root / "closed").chmod(0)
    try:
        selection = meta.get_files_to_check_in_project([root], project_root=str(root))
    finally:
        (root / "closed").chmod(0o755)
    assert listed(selection, root) == ["open/a.py"]
    (record,) = caplog.records
    assert record.getMessage().startswith(str(root / "closed") + ": ")


def test_walk_closes_listings_when_closed_early(write_tree, tmp_path):
    root = write_tree({f"d{i}/m.py": "x\n" for i in range(5)}, tmp_path / "proj")
    walk = meta.scan_trees(directories=[root, root], ignore=set())
    next(walk)
    walk.close()  # no ResourceWarning for the open listings (warnings are errors)
    assert list(walk) == []


def test_project_configuration_drives_the_walk(project, monkeypatch):
    root = project("meta_classic")
    monkeypatch.chdir(root)
    # The configured directories replace the argument and "urls" is ignored.
    selection = meta.get_files_to_check_in_project(["elsewhere"], set(), str(root))
    assert listed(selection, root) == [
        "classicsite/settings.py",
        "classicsite/templates/home.html",
        "classicsite/test_settings.py",
    ]
    # Without a project root, the working directory's configuration applies.
    assert meta.get_files_to_check_in_project(["elsewhere"]) == selection


def test_empty_configured_directories_keep_the_argument(
    write_tree, tmp_path, monkeypatch
):
    root = write_tree(
        {"pyproject.toml": "[tool.vorlane]\ndirectories = []\n", "src/a.py": "x\n"},
        tmp_path / "proj",
    )
    monkeypatch.chdir(root)
    assert listed(meta.get_files_to_check_in_project(["src"], set(), root), root) == [
        "src/a.py"
    ]


def test_walk_logs(write_tree, tmp_path, caplog):
    root = write_tree({"a.py": "x\n"}, tmp_path / "proj")
    caplog.set_level(logging.DEBUG, logger="vorlane.staticanalysis.meta")
    meta.get_files_to_check_in_project([root], {"extra"}, str(root))
    messages = [r.getMessage() for r in caplog.records]
    assert messages[0].startswith("ignoring modules: {")
    assert "'extra'" in messages[0] and "'.git'" in messages[0]
    path = str((root / "a.py").resolve())
    assert messages[1:] == [f'Adding "{path}" to list of files to analyse']


PREFIX_SCRIPT = """
import json, sys
from vorlane.staticanalysis import meta
root = sys.argv[1]
print(json.dumps({
    "prefix": sys.prefix,
    "project": sorted(meta.get_files_to_check_in_project([root], set(), root)),
    "inside": sorted(meta.get_files_to_check_in_project([sys.prefix + "/lib"], set(), root)),
}))
"""


@pytest.mark.parametrize("env_name", ["env", ".pyenv/versions/v"])
def test_interpreter_prefix_is_a_path_boundary(write_tree, tmp_path, env_name):
    root = write_tree(
        {"envoy/keep.py": "x\n", "app.py": "x\n", "env-tools/x.py": "x\n"},
        tmp_path / "proj",
    ).resolve()
    env = root / env_name
    subprocess.run(
        [sys.executable, "-m", "venv", "--without-pip", str(env)], check=True
    )
    (env / "lib" / "inside.py").write_text("x = 1\n")
    site = (
        Path(sys.prefix) / "lib" / f"python{sys.version_info[0]}.{sys.version_info[1]}"
    )
    # The child imports the very package under test, built in place or installed.
    package_root = Path(meta.__file__).resolve().parents[2]
    pythonpath = os.pathsep.join([str(package_root), str(site / "site-packages")])
    out = subprocess.run(
        [str(env / "bin" / "python"), "-c", PREFIX_SCRIPT, str(root)],
        check=True,
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": pythonpath},
    )
    result = json.loads(out.stdout)
    assert Path(result["prefix"]).resolve() == env
    assert [str(Path(p).relative_to(root)) for p in result["project"]] == sorted(
        ["app.py", "env-tools/x.py", "envoy/keep.py"]
    )
    # A walk that starts inside the prefix is listed in full.
    assert result["inside"] == [str(env / "lib" / "inside.py")]


INSIDE_FILES = ["repo/app/models.py", "repo/app/templates/page.html"]
# Warnings as (kind, subject): a link is named by its path as the walk found it (below a
# directory given relative, the top entries are relative too).
LINKS_OUT = [
    ("link", "{base}/repo/app/evil.py"),
    ("link", "{base}/repo/app/templates/evil.html"),
]
LINKS_OUT_OF_APP = [
    ("link", "app/evil.py"),
    ("link", "{base}/repo/app/templates/evil.html"),
]


# The walk of escaping_repository from its root with these directories given and
# configured: the links that stay inside are listed under their targets, and nothing of
# outside/ is listed, however it is reached. The directory links (app/linked_out,
# vendor) are never entered, as any directory link.
@pytest.mark.parametrize(
    "directories, configured, expected, warned",
    [
        (["repo"], None, INSIDE_FILES, LINKS_OUT),
        (["repo"], ["app"], INSIDE_FILES, LINKS_OUT_OF_APP),
        (
            ["repo"],
            ["{base}/outside", "app"],
            INSIDE_FILES,
            [("entry", "{base}/outside")] + LINKS_OUT_OF_APP,
        ),
        (
            ["repo"],
            ["../outside", "app"],
            INSIDE_FILES,
            [("entry", "../outside")] + LINKS_OUT_OF_APP,
        ),
        (
            ["repo"],
            ["vendor", "app"],
            INSIDE_FILES,
            [("entry", "vendor")] + LINKS_OUT_OF_APP,
        ),
        # Nothing configured is left: the directories given apply, as for an empty list.
        (["repo"], ["../outside"], INSIDE_FILES, [("entry", "../outside")] + LINKS_OUT),
        (["outside"], None, [], [("directory", "{base}/outside")]),
        (["repo/vendor"], None, [], [("directory", "{base}/repo/vendor")]),
        (["repo/app/templates"], None, INSIDE_FILES[1:], LINKS_OUT[1:]),
    ],
    ids=[
        "root",
        "configured-inside",
        "configured-absolute",
        "configured-dot-dot",
        "configured-link",
        "configured-only-outside",
        "given-outside",
        "given-link-out",
        "given-inside",
    ],
)
def test_walk_never_lists_outside_the_root(
    escaping_repository, caplog, directories, configured, expected, warned
):
    r = escaping_repository
    if configured is not None:
        entries = [entry.format(base=r.base) for entry in configured]
        (r.repo / "pyproject.toml").write_text(
            f"[tool.vorlane]\ndirectories = {json.dumps(entries)}\n"
        )
    with caplog.at_level(logging.WARNING, logger="vorlane.staticanalysis.meta"):
        selection = meta.get_files_to_check_in_project(
            [r.path(name) for name in directories], set(), str(r.repo)
        )
    assert sorted(selection) == [r.path(name) for name in expected]
    assert sorted(record.getMessage() for record in caplog.records) == sorted(
        outside_warning(r, kind, subject) for kind, subject in warned
    )


def outside_warning(r, kind, subject):
    """The warning on a path of escaping_repository left out as outside its root."""
    root, pyproject = f"the project root {r.repo}", r.repo / "pyproject.toml"
    texts = {
        "link": f"{{}}: not listed: it links to a file outside {root}",
        "entry": f"{pyproject}: [tool.vorlane] directories entry {{!r}} lies outside "
        f"{root}; it is not walked",
        "directory": f"{{}}: directory not checked: it lies outside {root}",
        "file": f"{{}}: not read: it lies outside {root}",
        "manage": f"{{}}: not taken as manage.py: it lies outside {root}",
        "settings": f"{{}}: not read as a settings module: it lies outside {root}",
        "import": f"{{}}: STATIC_URL not read from it: it lies outside {root}",
    }
    return texts[kind].format(subject.format(base=r.base))


# What discovery answers for escaping_repository (walking app/) without project files.
UNCONFIGURED = {
    "config": {},
    "line_length": black.DEFAULT_LINE_LENGTH,
    "walks_models": True,
    "settings_module": None,
    "settings_files": [],
    "static_url": "/static/",
    "root_urlconf": None,
}
SETTINGS_READ = {
    "settings_module": "reposite.settings",
    "settings_files": ["reposite.settings"],
    "static_url": "/",
    "root_urlconf": "inside.urls",
}
MANAGE_READ = {"settings_module": "reposite.settings"}


# Discovery on escaping_repository holding its project files as links: one that leads
# out is not read, and discovery answers as if the file were not there; one that stays
# inside is read. Warnings as in the walk's table, below {base}/repo.
@pytest.mark.parametrize(
    "arranged, expected, warned",
    [
        ("pyproject-out", {}, [("file", "pyproject.toml")]),
        (
            "pyproject-in",
            {
                "config": {"disable": ["C2000"], "ignore": ["models", "inside"]},
                "line_length": 40,
                "walks_models": False,
            },
            [],
        ),
        ("manage-out", {}, [("manage", "manage.py")]),
        ("manage-in", SETTINGS_READ, []),
        ("settings-out", MANAGE_READ, [("settings", "reposite/settings.py")]),
        # Not searched at all: its directory lies outside.
        ("settings-package-out", MANAGE_READ, [("settings", "reposite/settings.py")]),
        ("settings-in", SETTINGS_READ, []),
        (
            "settings-import-out",
            {**MANAGE_READ, "settings_files": ["reposite.settings"]},
            [("import", "reposite/base.py")],
        ),
        (
            "settings-import-in",
            {**MANAGE_READ, "settings_files": ["reposite.settings"], "static_url": "/"},
            [],
        ),
    ],
    ids=[
        "pyproject-out",
        "pyproject-in",
        "manage-out",
        "manage-in",
        "settings-out",
        "settings-package-out",
        "settings-in",
        "settings-import-out",
        "settings-import-in",
    ],
)
def test_project_files_outside_the_root_are_not_read(
    escaping_repository, caplog, arranged, expected, warned
):
    r = escaping_repository
    r.arrange(arranged)
    root = str(r.repo)
    with caplog.at_level(logging.WARNING, logger="vorlane.staticanalysis.meta"):
        walked = meta.get_files_to_check_in_project([r.path("repo/app")], set(), root)
        found = {
            "config": meta.get_toml_config(root),
            "line_length": meta.get_code_style(root)["line_length"],
            "walks_models": r.path("repo/app/models.py") in walked,
            "settings_module": meta.get_settings_modpath(root),
            "settings_files": sorted(meta.get_settings_files(root)),
            "static_url": meta.get_static_url_setting(root),
            "root_urlconf": meta.get_root_urlconf(list(meta.get_settings_files(root))),
        }
    assert TOKEN not in repr(found)
    assert found == {**UNCONFIGURED, **expected}
    subjects = [(kind, f"{{base}}/repo/{name}") for kind, name in warned]
    assert {record.getMessage() for record in caplog.records} == {
        outside_warning(r, kind, subject) for kind, subject in subjects + LINKS_OUT
    }


# --- Project configuration ---


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", {}),
        ("[project]\nname = 'x'\n", {}),
        ("[tool.black]\nline-length = 100\n", {}),
        ("[tool.vorlane]\n", {}),
        (
            "[tool.vorlane]\ndirectories = ['src']\nignore = []\n"
            "enable = 'C1'\ndisable = ['C2']\nmax = 3\n",
            {"disable": ["C2"], "enable": "C1", "ignore": [], "directories": ["src"]},
        ),
        ("[tool.vorlane]\n--disable = 'C2'\ndis-able = 'x'\n", {"disable": "C2"}),
        ("[tool.vorlane]\ndisable = 'a'\n--disable = 'b'\n", {"disable": "b"}),
        ("[tool.vorlane]\n--disable = 'b'\ndisable = 'a'\n", {"disable": "a"}),
        (
            "[tool.vorlane]\nignore = []\ndisable = 'C1,C2'\nenable = ['C3']\n",
            {"disable": "C1,C2", "enable": ["C3"], "ignore": []},
        ),
        (
            "[project.optional-dependencies]\n"
            'dev = ["x==1", { include-group = "tests" }]\n'
            "[tool.vorlane]\ndisable = ['C2']\n",
            {"disable": ["C2"]},
        ),
    ],
    ids=[
        "empty",
        "no-tool",
        "no-vorlane",
        "empty-table",
        "kept-in-order",
        "option-keys",
        "later-wins",
        "later-wins-plain",
        "types-kept",
        "toml-1.0-inline-table-in-array",
    ],
)
def test_get_toml_config(write_tree, tmp_path, caplog, text, expected):
    root = write_tree({"pyproject.toml": text}, tmp_path / "proj")
    config = meta.get_toml_config(root)
    assert config == expected
    assert list(config) == list(expected)
    assert meta.get_toml_config(str(root)) is not config
    assert caplog.records == []


@pytest.mark.parametrize(
    "table, kept, left_out",
    [
        ("ignore = 5\ndirectories = ['src']", {"directories": ["src"]}, ["ignore"]),
        ("directories = 'x'\nignore = ['a']", {"ignore": ["a"]}, ["directories"]),
        ("disable = {a = 1}\nenable = 'C1'", {"enable": "C1"}, ["disable"]),
        ("ignore = 'tests'", {}, ["ignore"]),
        ("enable = ['C1', 2]\ndirectories = [['src']]", {}, ["enable", "directories"]),
        (
            "disable = []\ndirectories = ['src', 'lib']",
            {"disable": [], "directories": ["src", "lib"]},
            [],
        ),
    ],
    ids=[
        "ignore-a-number",
        "directories-a-text",
        "disable-a-table",
        "ignore-a-text",
        "lists-of-other-things",
        "all-well-typed",
    ],
)
def test_config_values_of_the_wrong_type_are_left_out(
    write_tree, tmp_path, caplog, table, kept, left_out
):
    root = write_tree({"pyproject.toml": "[tool.vorlane]\n" + table + "\n"}, tmp_path)
    assert meta.get_toml_config(root) == kept
    messages = [r.getMessage() for r in caplog.records]
    assert [m.split("] ")[1].split(" ")[0] for m in messages] == left_out
    assert all(
        m.startswith(f"{root / 'pyproject.toml'}: [tool.vorlane] ") for m in messages
    )
    assert {r.levelno for r in caplog.records} <= {logging.WARNING}


def test_parse_pyproject_toml_normalises_every_key(write_tree, tmp_path):
    root = write_tree(
        {"pyproject.toml": "[tool.vorlane]\nmax--len = 1\n---x = 2\ndis-able = 3\n"},
        tmp_path,
    )
    assert meta.parse_pyproject_toml(str(root / "pyproject.toml")) == {
        "maxlen": 1,
        "_x": 2,
        "dis_able": 3,
    }


def test_toml_config_without_a_file(tmp_path, caplog):
    (tmp_path / "pyproject.toml").mkdir()
    assert meta.find_pyproject_toml(tmp_path) is None
    assert meta.get_toml_config(tmp_path) == {}
    assert meta.get_toml_config(tmp_path / "absent") == {}
    assert caplog.records == []


@pytest.mark.parametrize(
    "text, error",
    [
        (b"[tool.vorlane\nx = \n", "TOMLDecodeError"),
        (b"[tool.vorlane]\ndisable = ['C1']\nx = 'caf\xe9'\n", "UnicodeDecodeError"),
    ],
    ids=["not-toml", "not-utf-8"],
)
def test_invalid_toml_is_logged_and_gives_no_configuration(
    tmp_path, caplog, text, error
):
    (tmp_path / "pyproject.toml").write_bytes(text)
    assert meta.find_pyproject_toml(str(tmp_path)) == str(tmp_path / "pyproject.toml")
    assert meta.get_toml_config(str(tmp_path)) == {}
    (record,) = caplog.records
    assert record.levelno == logging.ERROR and record.exc_info is not None
    assert record.exc_info[0].__name__ == error


# --- Manage file and settings modules ---


def test_manage_file_discovery(write_tree, tmp_path):
    root = write_tree({"a/manage.py": "x\n", "manage.py": "y\n"}, tmp_path / "proj")
    assert meta.get_manage_file(str(root)) == root / "manage.py"
    assert meta.get_django_project_root(str(root)) == str(root)
    nested = write_tree({"src/site/manage.py": "x\n"}, tmp_path / "nested")
    assert meta.get_django_project_root(nested) == str(nested / "src" / "site")


def test_missing_manage_file(tmp_path):
    with pytest.raises(meta.ManageFileMissingError) as info:
        meta.get_manage_file(tmp_path)
    assert isinstance(info.value, OSError) and info.value.args == ()
    target = tmp_path  # handed back as given, not as a string
    assert meta.get_django_project_root(target) is target
    assert meta.get_settings_modpath(tmp_path) is None
    assert list(meta.get_settings_files(tmp_path)) == []


MAIN_IF = 'if __name__ == "__main__":\n'


@pytest.mark.parametrize(
    "source, expected",
    [
        (
            MAIN_IF
            + '    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "a.settings")\n',
            ["a.settings"],
        ),
        (
            "def main():\n    os.environ.setdefault('DJANGO_SETTINGS_MODULE', 'b.settings')\n"
            + MAIN_IF
            + "    main()\n",
            ["b.settings"],
        ),
        (
            MAIN_IF + '    environ.setdefault("DJANGO_SETTINGS_MODULE", "c.s")\n'
            '    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "d.s")\n',
            ["c.s", "d.s"],
        ),
        (
            MAIN_IF + '    "doc"\n    ...\n    name\n'
            '    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "e.s")\n',
            ["e.s"],
        ),
        (
            MAIN_IF + '    os.environ.setdefault("DJANGO_SETTINGS_MODULE")\n'
            "    os.environ.setdefault()\n    print()\n",
            [],
        ),
        (
            MAIN_IF + '    os.environ.setdefault(KEY, "x")\n'
            '    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "f.s")\n',
            ["f.s"],
        ),
        ('os.environ.setdefault("DJANGO_SETTINGS_MODULE", "g.s")\n', []),
        (
            "if x:\n    pass\nelif y:\n"
            '    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "h.s")\nelse:\n'
            '    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "i.s")\n',
            [],
        ),
        (MAIN_IF + '    os.environ.get("DJANGO_SETTINGS_MODULE", "j.s")\n', []),
    ],
    ids=[
        "classic-if",
        "def-main",
        "two-matches",
        "bare-expressions",
        "too-few-arguments",
        "non-literal-key",
        "module-level",
        "elif-else",
        "not-setdefault",
    ],
)
def test_settings_modpath_from_manage(write_tree, tmp_path, source, expected):
    root = write_tree({"manage.py": "import os\n" + source}, tmp_path / "proj")
    found = list(meta.get_settings_modpath_from_manage(root / "manage.py"))
    assert found == expected
    assert meta.get_settings_modpath(str(root)) == (expected[0] if expected else None)


def test_manage_scan_is_lazy(tmp_path, caplog):
    missing = tmp_path / "missing" / "manage.py"
    scan = meta.get_settings_modpath_from_manage(missing)
    assert caplog.records == []
    assert list(scan) == []
    (record,) = caplog.records
    assert record.getMessage().startswith(f"{missing}: no settings module read from it")


@pytest.mark.parametrize(
    "source, error",
    [
        (
            MAIN_IF + '    os.environ.setdefault("DJANGO_SETTINGS_MODULE",\n',
            "SyntaxError",
        ),
        ("x = '\xe9'\n".encode("latin-1"), "UnicodeDecodeError"),
    ],
    ids=["syntax-error", "undecodable"],
)
@needs_utf8
def test_manage_file_that_cannot_be_read_names_no_settings(
    tmp_path, caplog, source, error
):
    manage = tmp_path / "manage.py"
    manage.write_bytes(source if isinstance(source, bytes) else source.encode())
    assert meta.get_settings_modpath(tmp_path) is None
    assert list(meta.get_settings_files(tmp_path)) == []
    assert meta.get_static_url_setting(tmp_path) == "/static/"
    messages = {r.getMessage() for r in caplog.records}
    assert len(messages) == 1
    assert messages.pop().startswith(
        f"{manage}: no settings module read from it: {error}: "
    )


@pytest.mark.parametrize(
    "name, modpath, settings_files",
    [
        (
            "meta_classic",
            "classicsite.settings",
            ["classicsite.settings", "classicsite.test_settings"],
        ),
        ("meta_modern", "modernsite.settings", ["modernsite.settings"]),
        (
            "meta_package",
            "pkgconfig.settings.local",
            [
                "pkgconfig.settings.__init__",
                "pkgconfig.settings.base",
                "pkgconfig.settings.local",
            ],
        ),
    ],
)
def test_settings_discovery_in_projects(project, name, modpath, settings_files):
    root = project(name)
    assert meta.get_settings_modpath(root) == modpath
    files = meta.get_settings_files(str(root))
    assert sorted(files) == settings_files
    paths = meta.get_settings_paths_from_manage(meta.get_manage_file(root))
    assert all(isinstance(p, Path) and p.suffix == ".py" for p in paths)


def test_settings_files_of_an_unknown_module(write_tree, tmp_path, monkeypatch):
    root = write_tree(
        {
            "manage.py": MAIN_IF + '    os.environ.setdefault("DJANGO_SETTINGS_MODULE",'
            ' "nowhere_xyz.settings")\n'
        },
        tmp_path / "proj",
    )
    monkeypatch.syspath_prepend(str(root))
    assert meta.get_settings_modpath(root) == "nowhere_xyz.settings"
    assert list(meta.get_settings_files(root)) == []
    with pytest.raises(ImportError):
        meta.get_settings_paths_from_manage(root / "manage.py")


def test_settings_files_generator_is_lazy(tmp_path):
    files = meta.get_settings_files(tmp_path / "missing")
    assert list(files) == []


def test_settings_modpath_relative_to_manage_path(project):
    root = project("meta_classic")
    assert (
        meta.get_settings_modpath_relative_to_manage_path(
            settings_path=Path("classicsite/settings.py"),
            manage_path=root / "manage.py",
        )
        == "classicsite.settings"
    )
    assert (
        meta.get_settings_modpath_relative_to_manage_path(
            root / "classicsite" / "urls.py", root / "manage.py"
        )
        == "classicsite.urls"
    )


# --- Settings values ---


@pytest.fixture
def settings_modules(write_tree, tmp_path, monkeypatch):
    """Write modules of a package `cfgpkg` and make them importable."""

    def write(modules):
        files = {"cfgpkg/__init__.py": "\n"}
        files.update({f"cfgpkg/{name}.py": text for name, text in modules.items()})
        write_tree(files, tmp_path / "path")
        monkeypatch.syspath_prepend(str(tmp_path / "path"))
        return [f"cfgpkg.{name}" for name in modules]

    return write


@pytest.mark.parametrize(
    "modules, expected",
    [
        ({}, None),
        (
            {
                "a": "# ROOT_URLCONF is set elsewhere\n",
                "b": "ROOT_URLCONF = 'b.urls'\n",
            },
            "b.urls",
        ),
        ({"a": "ROOT_URLCONF = ''\n", "b": "ROOT_URLCONF = 'b.urls'\n"}, "b.urls"),
        (
            {
                "a": "from elsewhere import ROOT_URLCONF\n",
                "b": "ROOT_URLCONF = 'b.urls'\n",
            },
            "b.urls",
        ),
        ({"a": "ROOT_URLCONF = make_urls()\n", "b": "DEBUG = True\n"}, None),
        ({"a": "NAME = 'n'\nROOT_URLCONF = NAME + '.urls'\n"}, "n.urls"),
        ({"a": "", "b": "DEBUG = 1\n"}, None),
    ],
    ids=[
        "no-modules",
        "comment-only",
        "empty-string",
        "import",
        "call",
        "computed",
        "not-mentioned",
    ],
)
def test_get_root_urlconf(settings_modules, modules, expected):
    assert meta.get_root_urlconf(settings_modules(modules)) == expected


def test_root_urlconf_goes_on_past_an_unknown_module(settings_modules, caplog):
    entries = settings_modules({"b": "ROOT_URLCONF = 'b.urls'\n"})
    assert meta.get_root_urlconf(["cfgpkg.missing"] + entries) == "b.urls"
    (record,) = caplog.records
    assert record.levelno == logging.WARNING
    assert record.getMessage().startswith(
        "cfgpkg.missing: not read as a settings module: ImportError: "
    )


@pytest.mark.parametrize(
    "source, expected",
    [
        ("ROOT_URLCONF = 'p.urls'\n", "p.urls"),
        ("import x\nROOT_URLCONF = x\n", None),
        ("DEBUG = True\n", None),
    ],
)
def test_get_root_urlconf_from_source(source, expected):
    assert meta.get_root_urlconf_from_source(source, "/p/settings.py") == expected
    assert meta.get_root_urlconf_from_source(source=source, path=None) == expected


@pytest.mark.parametrize(
    "source, expected",
    [
        ("STATIC_URL = '/s/'\n", "/s/"),
        ("PREFIX = '/p'\nSTATIC_URL = PREFIX + '/static/'\n", "/p/static/"),
        ("STATIC_URL = None\n", None),
        ("STATIC_URL = 8\n", None),
        ("DEBUG = True\n", None),
        ("from cfg_nowhere import STATIC_URL\n", None),
    ],
)
def test_get_static_url_from_source(source, expected):
    assert meta.get_static_url_from_source(source) == expected


@pytest.fixture
def settings_package(write_tree, tmp_path, monkeypatch):
    """A project whose manage.py names the first module of the settings package
    `cfgsettings`: every module of that package is a settings file."""

    def write(modules):
        files = {"cfgsettings/__init__.py": "\n"}
        files.update({f"cfgsettings/{name}.py": text for name, text in modules.items()})
        first = next(iter(modules))
        files["manage.py"] = (
            "import os\n" + MAIN_IF + "    os.environ.setdefault("
            f'"DJANGO_SETTINGS_MODULE", "cfgsettings.{first}")\n'
        )
        root = write_tree(files, tmp_path / "site")
        monkeypatch.syspath_prepend(str(root))
        return root

    return write


# Each row gives the same answer whatever order the directory lists the modules in.
@pytest.mark.parametrize(
    "modules, expected",
    [
        ({"a": "STATIC_URL = None\n", "b": "STATIC_URL = '/b/'\n"}, "/b/"),
        ({"a": "STATIC_URL = 8\n", "b": "DEBUG = 1\n"}, "/static/"),
        (
            {
                "local": "from .base import STATIC_URL\n",
                "base": "STATIC_URL = '/base/'\n",
            },
            "/base/",
        ),
        (
            {
                "local": "from .base import STATIC_URL\n",
                "base": "from .other import STATIC_URL\n",
                "other": "DEBUG = 1\n",
            },
            "/static/",
        ),
        (
            {"local": "from .gone import STATIC_URL\n", "z": "STATIC_URL = '/z/'\n"},
            "/z/",
        ),
        (
            {
                "local": "from .base import STATIC_URL\n",
                "base": "DEBUG = 1\n",
                "z": "STATIC_URL = '/z/'\n",
            },
            "/z/",
        ),
        (
            {"local": "from .base import *\n", "base": "STATIC_URL = '/star/'\n"},
            "/star/",
        ),
    ],
    ids=[
        "none-then-text",
        "number",
        "relative-import",
        "import-of-import",
        "failed-import",
        "name-not-in-import",
        "star-import",
    ],
)
def test_get_static_url_setting(settings_package, caplog, modules, expected):
    root = settings_package(modules)
    assert sorted(meta.get_settings_files(root)) == sorted(
        ["cfgsettings.__init__"] + [f"cfgsettings.{name}" for name in modules]
    )
    assert meta.get_static_url_setting(root) == expected
    assert caplog.records == []


@pytest.mark.parametrize(
    "modules, expected",
    [
        (
            {
                "settings": "from .common import STATIC_URL\n",
                "common": "STATIC_URL = '/common/'\n",
            },
            "/common/",
        ),
        (
            {
                "settings": "from .gone import STATIC_URL\n",
                "test_settings": "STATIC_URL = '/t/'\n",
            },
            "/t/",
        ),
        (
            {"settings": "from .common import STATIC_URL\n", "common": "DEBUG = 1\n"},
            "/static/",
        ),
    ],
    ids=["import-from-plain-module", "failed-import-then-next", "name-missing"],
)
def test_static_url_import_from_a_module_that_is_no_settings_file(
    write_tree, tmp_path, monkeypatch, caplog, modules, expected
):
    files = {f"relsite/{name}.py": text for name, text in modules.items()}
    files["relsite/__init__.py"] = "\n"
    files["manage.py"] = (
        "import os\n" + MAIN_IF + "    os.environ.setdefault("
        '"DJANGO_SETTINGS_MODULE", "relsite.settings")\n'
    )
    root = write_tree(files, tmp_path / "site")
    monkeypatch.syspath_prepend(str(root))
    assert "relsite.common" not in list(meta.get_settings_files(root))
    assert meta.get_static_url_setting(root) == expected
    assert caplog.records == []


def test_static_url_follows_one_import_only(settings_package):
    root = settings_package(
        {
            "local": "from .base import STATIC_URL\n",
            "base": "from .other import STATIC_URL\n",
        }
    )
    source = (root / "cfgsettings" / "local.py").read_text()
    path = str(root / "cfgsettings" / "local.py")
    assert meta.get_static_url_from_source(source, "cfgsettings.local", path) is None
    # Without its module name the relative import cannot be resolved at all.
    assert meta.get_static_url_from_source(source) is None


def test_static_url_in_projects(project):
    assert meta.get_static_url_setting(project("meta_classic")) == "/assets/"
    assert (
        meta.get_static_url_setting(project("meta_modern"), default=None) == "static/"
    )
    # local.py takes STATIC_URL from its sibling module base.py.
    assert meta.get_static_url_setting(project("meta_package")) == "/pkg-static/"


def test_static_url_defaults(tmp_path, write_tree, caplog, monkeypatch):
    assert meta.get_static_url_setting(tmp_path) == "/static/"
    assert meta.get_static_url_setting(tmp_path, None) is None
    assert caplog.records == []
    root = write_tree(
        {
            "manage.py": MAIN_IF + '    os.environ.setdefault("DJANGO_SETTINGS_MODULE",'
            ' "brokenpkg.settings")\n',
            "brokenpkg/__init__.py": "\n",
            "brokenpkg/settings.py": "STATIC_URL = (\n",
        },
        tmp_path / "broken",
    )
    monkeypatch.syspath_prepend(str(root))
    assert meta.get_static_url_setting(root, "/d/") == "/d/"
    (record,) = caplog.records
    settings = root / "brokenpkg" / "settings.py"
    assert record.levelno == logging.WARNING and record.exc_info is None
    assert record.getMessage() == (
        f"{settings}: not read as a settings module: SyntaxError: "
        "'(' was never closed (<unknown>, line 1)"
    )


@pytest.mark.parametrize(
    "broken",
    [b"STATIC_URL = (\nROOT_URLCONF = 'x'\n", b"ROOT_URLCONF = '\xe9'\n"],
    ids=["syntax-error", "undecodable"],
)
@needs_utf8
def test_settings_module_that_cannot_be_read_gives_no_setting(
    settings_package, caplog, broken
):
    # "a" is broken; "b" gives both values, whatever order the package is listed in.
    root = settings_package(
        {"a": "DEBUG = 1\n", "b": "STATIC_URL = '/b/'\nROOT_URLCONF = 'b.urls'\n"}
    )
    (root / "cfgsettings" / "a.py").write_bytes(broken)
    entries = ["cfgsettings.a", "cfgsettings.b"]
    assert meta.get_root_urlconf(entries) == "b.urls"
    assert meta.get_static_url_setting(root) == "/b/"
    messages = {r.getMessage() for r in caplog.records}
    assert messages and all(
        m.startswith(
            f"{root / 'cfgsettings' / 'a.py'}: not read as a settings module: "
        )
        for m in messages
    )


@needs_settings_transforms
def test_settings_values_see_through_os_path_and_environment(
    write_tree, tmp_path, monkeypatch
):
    root = write_tree(
        {
            "manage.py": MAIN_IF + '    os.environ.setdefault("DJANGO_SETTINGS_MODULE",'
            ' "envsite.settings")\n',
            "envsite/__init__.py": "\n",
            "envsite/settings.py": "import os\n"
            "STATIC_URL = os.environ.get('STATIC_URL', '/env-static/')\n"
            "ROOT_URLCONF = os.getenv('URLCONF', 'envsite.urls')\n",
        },
        tmp_path / "proj",
    )
    monkeypatch.syspath_prepend(str(root))
    assert meta.get_static_url_setting(root) == "/env-static/"
    assert meta.get_root_urlconf(list(meta.get_settings_files(root))) == "envsite.urls"


@needs_settings_transforms
@pytest.mark.parametrize(
    "source",
    ["STATIC_URL = os.getenv('S', '/s/')\n", "STATIC_URL = (\n"],
    ids=["parsed", "syntax-error"],
)
def test_settings_parse_leaves_no_transforms_behind(source):
    calls = astroid.MANAGER._transform.transforms[astroid.Call]
    before = list(calls)
    try:
        meta.get_static_url_from_source("import os\n" + source)
    except astroid.AstroidSyntaxError:
        pass
    assert astroid.MANAGER._transform.transforms[astroid.Call] == before


FOLDING_SETTINGS = {
    "local": "import os\nfrom .base import *\n"
    "SECRET_KEY = os.environ.get('K', 'dev')\n",
    "base": "import os\nSTATIC_URL = os.environ.get('S', '/s/')\n"
    "ROOT_URLCONF = os.getenv('U', 'b.urls')\n",
}


@needs_settings_transforms
@pytest.mark.parametrize(
    "discover, expected",
    [
        (meta.get_static_url_setting, "/s/"),
        (lambda root: meta.get_root_urlconf(meta.get_settings_files(root)), "b.urls"),
        (lambda root: sorted(meta.get_settings_files(root)), None),
    ],
    ids=["static-url", "root-urlconf", "settings-files-only"],
)
def test_settings_parses_leave_no_folded_trees_for_a_later_lint(
    settings_package, discover, expected
):
    root = settings_package(FOLDING_SETTINGS)
    result = discover(root)
    if expected is not None:
        assert result == expected
    # A lint of the settings files afterwards parses them as they are written.
    for name in FOLDING_SETTINGS:
        path = root / "cfgsettings" / f"{name}.py"
        tree = astroid.MANAGER.ast_from_file(
            str(path), f"cfgsettings.{name}", source=True
        )
        assert all(
            isinstance(statement.value, astroid.Call)
            for statement in tree.body
            if isinstance(statement, astroid.Assign)
        )


# --- Code style ---


DEFAULT_STYLE = {
    "line_length": black.DEFAULT_LINE_LENGTH,
    "target_versions": [black.TargetVersion.PY36],
}


@pytest.mark.parametrize(
    "text, expected",
    [
        (None, DEFAULT_STYLE),
        ("[tool.vorlane]\nignore = []\n", DEFAULT_STYLE),
        (
            "[tool.black]\nline-length = 100\n",
            {"line_length": 100, "target_versions": [black.TargetVersion.PY36]},
        ),
        (
            "[tool.black]\nline_length = '100'\n",
            {"line_length": 100, "target_versions": [black.TargetVersion.PY36]},
        ),
        (
            "[tool.black]\ntarget-version = ['py38', 'py37']\n",
            {
                "line_length": black.DEFAULT_LINE_LENGTH,
                "target_versions": [black.TargetVersion.PY38, black.TargetVersion.PY37],
            },
        ),
        (
            "[tool.black]\ntarget-version = []\n",
            {"line_length": black.DEFAULT_LINE_LENGTH, "target_versions": []},
        ),
        ("[tool.black\nline-length = 100\n", DEFAULT_STYLE),
        (b"[tool.black]\nline-length = 100 # \xff\xfe\n", DEFAULT_STYLE),
        ("[tool.black]\nline-length = 100\ntarget-version = 'py37'\n", DEFAULT_STYLE),
    ],
    ids=[
        "no-file",
        "no-black-table",
        "line-length",
        "line-length-text",
        "target-versions-in-order",
        "no-target-versions",
        "invalid-toml",
        "undecodable",
        "target-version-not-a-list",
    ],
)
def test_get_code_style(tmp_path, text, expected):
    if isinstance(text, bytes):
        (tmp_path / "pyproject.toml").write_bytes(text)
    elif text is not None:
        (tmp_path / "pyproject.toml").write_text(text)
    style = meta.get_code_style(tmp_path)
    assert style == expected
    assert list(style) == ["line_length", "target_versions"]
    again = meta.get_code_style(str(tmp_path))
    assert again == style and again is not style
    assert again["target_versions"] is not style["target_versions"]


def test_code_style_of_a_project(project):
    assert meta.get_code_style(project("meta_classic")) == {
        "line_length": 100,
        "target_versions": [black.TargetVersion.PY37, black.TargetVersion.PY38],
    }


@pytest.mark.parametrize(
    "table, expected, bad_keys",
    [
        ('line-length = "eighty"', DEFAULT_STYLE, ["line-length"]),
        ("line-length = [1, 2]", DEFAULT_STYLE, ["line-length"]),
        ("line-length = 1.5", DEFAULT_STYLE, ["line-length"]),
        ("target-version = ['py2']", DEFAULT_STYLE, ["target-version"]),
        ("target-version = ['py38', 3]", DEFAULT_STYLE, ["target-version"]),
        # One bad key leaves the other as the table sets it.
        (
            "line-length = 100\ntarget-version = ['py99']",
            dict(DEFAULT_STYLE, line_length=100),
            ["target-version"],
        ),
        (
            "line-length = {a = 1}\ntarget-version = ['py38']",
            dict(DEFAULT_STYLE, target_versions=[black.TargetVersion.PY38]),
            ["line-length"],
        ),
        (
            "line-length = 'x'\ntarget-version = ['py99']",
            DEFAULT_STYLE,
            ["line-length", "target-version"],
        ),
        # Controls: values black takes give no warning.
        (
            "line-length = '100'\ntarget-version = ['py38']",
            {"line_length": 100, "target_versions": [black.TargetVersion.PY38]},
            [],
        ),
        ("target-version = []", dict(DEFAULT_STYLE, target_versions=[]), []),
    ],
    ids=[
        "length-text",
        "length-list",
        "length-float",
        "unknown-version",
        "version-not-a-name",
        "bad-version-good-length",
        "bad-length-good-version",
        "both-bad",
        "control-valid",
        "control-no-versions",
    ],
)
def test_bad_black_values_are_logged_and_defaulted(
    tmp_path, caplog, table, expected, bad_keys
):
    pyproject = tmp_path / "pyproject.toml"
    pyproject.write_text(f"[tool.black]\n{table}\n")
    with caplog.at_level(logging.WARNING, logger="vorlane.staticanalysis.meta"):
        assert meta.get_code_style(tmp_path) == expected
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert len(warnings) == len(bad_keys)
    for key, text in zip(bad_keys, warnings):
        assert str(pyproject) in text and f"] {key} = " in text


def test_placeholder_click_objects():
    first, second = meta.FakeContext(), meta.FakeContext()
    assert isinstance(first, click.Context) and first.default_map == {}
    assert first.default_map is not second.default_map
    assert isinstance(meta.FakeParameter(), click.Parameter)
    assert meta.FakeContext.__doc__ == (
        "A fake click Context for when calling functions that need it."
    )
    assert meta.FakeParameter.__doc__ == (
        "A fake click Parameter for when calling functions that need it."
    )
    assert meta.FakeContext.__module__ == "vorlane.staticanalysis.meta"


def test_module_state():
    assert meta.default_ignored_modules == {".git", ".tox", sys.prefix}
    assert meta.logger is logging.getLogger("vorlane.staticanalysis.meta")
    assert issubclass(meta.ManageFileMissingError, OSError)


def test_static_url_of_a_settings_package_init(write_tree, tmp_path, monkeypatch):
    # The package's __init__ resolves its relative import against the package itself.
    root = write_tree(
        {
            "manage.py": "import os\n"
            + MAIN_IF
            + '    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "initsite.settings")\n',
            "initsite/__init__.py": "\n",
            "initsite/settings/__init__.py": "from .envs.prod import STATIC_URL\n",
            "initsite/settings/envs/__init__.py": "\n",
            "initsite/settings/envs/prod.py": "STATIC_URL = '/prod/'\n",
        },
        tmp_path / "site",
    )
    monkeypatch.syspath_prepend(str(root))
    # The settings module goes by the name manage.py gives it.
    assert sorted(meta.get_settings_files(root)) == ["initsite.settings"]
    assert meta.get_static_url_setting(root) == "/prod/"


# A repository whose manage.py sits one folder down, in a folder named like the settings
# package it holds: repo/portal/manage.py, repo/portal/portal/settings.py.
NESTED_SITE = {
    "portal/manage.py": "import os\n"
    + MAIN_IF
    + '    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "portal.settings")\n',
    "portal/portal/__init__.py": "\n",
    "portal/portal/settings.py": "ROOT_URLCONF = 'portal.urls'\nSTATIC_URL = '/s/'\n",
    "portal/portal/test_settings.py": "from .settings import *\n",
    "portal/portal/ci/__init__.py": "\n",
    "portal/portal/ci/ci_settings.py": "DEBUG = False\n",
    # No dotted name can import a module below a folder named v1.2.
    "portal/portal/v1.2/old_settings.py": "DEBUG = True\n",
    "portal/shop/__init__.py": "\n",
    "portal/shop/models.py": "from django.db import models\n\n\n"
    "class Book(models.Model):\n"
    "    title = models.CharField(max_length=10, null=True)\n",
}


@pytest.fixture
def nested_site(write_tree, tmp_path, monkeypatch):
    """The nested repository with sys.path in the given order: "root-first" (the
    repository root, then manage.py's folder) or "site-first"."""
    from conftest import forget_project

    repo = write_tree(NESTED_SITE, tmp_path / "repo")
    site = repo / "portal"

    def arrange(order):
        entries = [repo, site] if order == "root-first" else [site, repo]
        for entry in reversed(entries):
            monkeypatch.syspath_prepend(str(entry))
        return site

    yield arrange
    forget_project(repo)


@pytest.mark.parametrize("order", ["root-first", "site-first"])
def test_settings_modules_are_named_as_they_import(nested_site, caplog, order):
    site = nested_site(order)
    names = sorted(meta.get_settings_files(site))
    assert names == ["portal.ci.ci_settings", "portal.settings", "portal.test_settings"]
    for name in names:
        found = astroid.modutils.file_from_modpath(name.split("."))
        assert Path(found).resolve() == site.joinpath(*name.split(".")).with_suffix(".py")
    assert meta.get_root_urlconf(names) == "portal.urls"
    assert meta.get_static_url_setting(site) == "/s/"
    assert meta.get_settings_modpath(site) == "portal.settings"
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    old = site / "portal" / "v1.2" / "old_settings.py"
    # Once per walk of the settings files that reaches it.
    assert warnings and all(
        w.startswith(f"{old}: not read as a settings module: no module name imports it")
        for w in warnings
    )


@pytest.mark.parametrize("order", ["root-first", "site-first"])
def test_nested_site_is_linted_on_either_path_order(nested_site, order):
    from vorlane.staticanalysis import checker

    site = nested_site(order)
    files = meta.get_files_to_check_in_project([str(site)], [], str(site))
    records = checker.get_messages(str(site), dict(files))
    assert [(Path(r["path"]).relative_to(site).as_posix(), r["message-id"])
            for r in records] == [("shop/models.py", "C2000")]


# manage.py names a settings module that no entry of the module search path holds (the
# project is not on it, or a standard library module takes the name): the walk ends
# without settings and says so, naming manage.py.
@pytest.mark.parametrize("module", ["elsewhere.settings", "site.settings"])
def test_settings_module_not_found_is_logged(
    write_tree, tmp_path, caplog, monkeypatch, module
):
    root = write_tree(
        {
            "manage.py": "import os\n"
            + MAIN_IF
            + f'    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "{module}")\n',
            "site/__init__.py": "\n",
            "site/settings.py": "STATIC_URL = '/s/'\n",
        },
        tmp_path / "project",
    )
    monkeypatch.syspath_prepend(str(root))
    assert list(meta.get_settings_files(root)) == []
    (record,) = caplog.records
    assert record.levelno == logging.WARNING
    assert record.getMessage() == (
        f"{root / 'manage.py'}: its settings module is not read: "
        f"ImportError: No module named {module}"
    )
