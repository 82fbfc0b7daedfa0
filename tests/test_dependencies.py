"""Django version resolution, Django project detection and the stock settings."""
import ast
import importlib
import logging
import types
from pathlib import Path

import astroid
import pytest
from dparse.dependencies import Dependency
from dparse.parser import RequirementsTXTLineParser
from packaging.specifiers import SpecifierSet

import django.conf.global_settings
from conftest import INSIDE_VALUES, OUTSIDE_VALUES, TOKEN
from vorlane.staticanalysis import dependencies, meta

PROJECTS = Path(__file__).parent / "projects"


def details(path, version, specs):
    return {"path": path, "version": version, "specs": specs}


# --- Version resolution -----------------------------------------------------------


@pytest.mark.parametrize(
    "project, expected",
    [
        ("deps_classic", details("requirements.txt", "1.11", ">=1.11,<2.0")),
        ("deps_pip_compiled", details("requirements.txt", "3.1", "==3.1.13")),
        ("deps_conda", details("conda.yml", "2.2", "~=2.2.24")),
        ("deps_setup_cfg", details("setup.cfg", "3.0", ">=3.0,<3.2")),
        ("deps_pipfile", details("Pipfile", "2.1", "~=2.1.0")),
        # Pipfile.lock is read before Pipfile, whose unpinned django would say 1.11.
        ("deps_pipfile_lock", details("Pipfile.lock", "3.0", "==3.0.14")),
        ("deps_setup_py", details("setup.py", "2.0", ">=2.0")),
        ("deps_library", None),
    ],
)
def test_fixture_projects(project, expected):
    result = dependencies.resolve_django_version(str(PROJECTS / project))
    assert result == expected
    if expected:
        assert list(result) == ["path", "version", "specs"]


@pytest.mark.parametrize(
    "files, expected",
    [
        ({}, None),
        (
            {"requirements.txt": "Django==3.2.5\n"},
            details("requirements.txt", "3.2", "==3.2.5"),
        ),
        (
            {"requirements.txt": "django==2.0.1\n"},
            details("requirements.txt", "2.0", "==2.0.1"),
        ),
        ({"requirements.txt": "DJANGO\n"}, details("requirements.txt", "1.11", "")),
        (
            {"requirements.txt": "Django>=2.2\n"},
            details("requirements.txt", "2.2", ">=2.2"),
        ),
        ({"requirements.txt": "Django<2\n"}, details("requirements.txt", "1.11", "<2")),
        (
            {"requirements.txt": "Django>1.11\n"},
            details("requirements.txt", "1.11", ">1.11"),
        ),
        (
            {"requirements.txt": "Django==3.2.29\n"},
            details("requirements.txt", "3.2", "==3.2.29"),
        ),
        # Outside 1.11.0 ... 3.2.29: no version, and nothing else to try.
        ({"requirements.txt": "Django==3.2.30\n"}, None),
        ({"requirements.txt": "Django==1.8.19\n"}, None),
        ({"requirements.txt": "Django>=4.0\n"}, None),
        ({"requirements.txt": "django-extensions==3.1\ndjangorestframework\n"}, None),
        # Only the root is read.
        ({"requirements/base.txt": "Django==3.2\n"}, None),
        # An unsupported pin hands over to the next requirement, file and setup.py.
        (
            {"requirements.txt": "Django==4.1\nDjango==3.0.2\n"},
            details("requirements.txt", "3.0", "==3.0.2"),
        ),
        (
            {
                "requirements.txt": "Django==4.1\n",
                "Pipfile": '[packages]\ndjango = "==2.1"\n',
            },
            details("Pipfile", "2.1", "==2.1"),
        ),
        (
            {
                "requirements.txt": "Django>=2.2\n",
                "Pipfile": '[packages]\ndjango = "==2.1"\n',
            },
            details("requirements.txt", "2.2", ">=2.2"),
        ),
        (
            {
                "requirements.txt": "Django==4.1\n",
                "setup.py": "setup(install_requires=['django==2.2'])\n",
            },
            details("setup.py", "2.2", "==2.2"),
        ),
        (
            {
                "requirements.txt": "Django==3.1 \n",
                "setup.py": "setup(install_requires=['django==2.2'])\n",
            },
            details("requirements.txt", "3.1", "==3.1"),
        ),
        # A comment after a space is not part of the specifier; a hash in a URL is.
        (
            {"requirements.txt": "Django>=2.1,<2.2 # LTS later\n"},
            details("requirements.txt", "2.1", ">=2.1,<2.2"),
        ),
        # Continued lines are cut before the continuation, with or without a space.
        (
            {"requirements.txt": "Django==2.2.4 \\\n    --hash=sha256:abc\n"},
            details("requirements.txt", "2.2", "==2.2.4"),
        ),
        (
            {"requirements.txt": "Django==2.2.4\\\n    --hash=sha256:abc\n"},
            details("requirements.txt", "2.2", "==2.2.4"),
        ),
        # A setup.cfg of tools only holds no requirement.
        ({"setup.cfg": "[flake8]\nmax-line-length = 88\n"}, None),
        (
            {
                "setup.cfg": "[flake8]\nformat = %(path)s\n[options]\ninstall_requires = Django==2.0\n"
            },
            details("setup.cfg", "2.0", "==2.0"),
        ),
        (
            {"setup.cfg": "[options.extras_require]\nweb =\n    Django>=3.1\n"},
            details("setup.cfg", "3.1", ">=3.1"),
        ),
        (
            {
                "Pipfile": '[packages]\ndjango = {version = "==2.1", extras = ["argon2"]}\n'
            },
            None,
        ),
    ],
)
def test_resolve_django_version(write_tree, files, expected):
    root = write_tree(files)
    assert dependencies.resolve_django_version(root) == expected
    assert dependencies.resolve_django_version(str(root)) == expected


def test_undecodable_bytes_are_dropped(tmp_path):
    (tmp_path / "requirements.txt").write_bytes(b"# caf\xe9 \xff\nDjango==2\xff.1.3\n")
    assert dependencies.resolve_django_version(tmp_path) == details(
        "requirements.txt", "2.1", "==2.1.3"
    )


@pytest.mark.parametrize(
    "requirements, specs",
    [
        ("Django==3.2.5 --hash=sha256:abc\n", "==3.2.5"),
        ("Django==3.2.5 --hash=sha256:abc --hash=sha256:def\n", "==3.2.5"),
        # dparse's own specifier set is written in its own (sorted) order.
        ("Django>=2.2,<3.0 --hash=sha256:abc\n", "<3.0,>=2.2"),
        ("Django==3.1\t# tab before the comment\n", "==3.1"),
        ("Django==3.1\t#tab\n", "==3.1"),
        ("Django==2.2 \\\n    --hash=sha256:abc \\\n    --hash=sha256:def\n", "==2.2"),
        ("Django==2.0.3 ; python_version >= '3.5'  # py3 only\n", "==2.0.3"),
        (
            "--index-url https://example.invalid/simple\n-c constraints.txt\nDjango==3.0\n",
            "==3.0",
        ),
        (
            "--pre\n-e git+https://example.invalid/django.git#egg=django\nDjango==3.0\n",
            "==3.0",
        ),
        ("django-debug-toolbar==3.2 --hash=sha256:abc\nrequests\t# http\n", None),
    ],
)
def test_requirement_lines_with_pip_options(write_tree, requirements, specs):
    root = write_tree({"requirements.txt": requirements})
    result = dependencies.resolve_django_version(root)
    assert (result and result["specs"]) == specs


def test_setup_py_string_constants(write_tree):
    root = write_tree(
        {
            "setup.py": '''
                from setuptools import setup
                setup(
                    name="shop",
                    long_description="""Two
                lines""",
                    entry_points={"console_scripts": ["shop = shop.cli:main"]},
                    package_data={"": ["\\\\", "C:\\\\build\\\\"]},
                    install_requires=["  Django>=3.0,<4  ", "celery"],
                )
            ''',
        }
    )
    assert dependencies.resolve_django_version_via_setup_py(root) == details(
        "setup.py", "3.0", ">=3.0,<4"
    )


@pytest.mark.parametrize(
    "source",
    [
        "setup(name='shop', install_requires=['requests', 'django-extensions'])\n",
        "setup(install_requires=['Django>=4'])\n",
        "setup(version=1.0, zip_safe=False, install_requires=[])\n",
        "",
    ],
)
def test_setup_py_without_django(write_tree, source):
    root = write_tree({"setup.py": source})
    assert dependencies.resolve_django_version_via_setup_py(root) is None
    assert dependencies.resolve_django_version(root) is None


GOOD_PIPFILE = {"Pipfile": '[packages]\ndjango = "==3.1"\n'}
GOOD_SETUP_PY = {"setup.py": "setup(install_requires=['Django>=2.2'])\n"}


# Each broken file gives no version; the files read after it still decide.
@pytest.mark.parametrize(
    "files, broken, error, expected",
    [
        (
            {"setup.py": "setup(install_requires=['Django'\n"},
            "setup.py",
            "SyntaxError",
            None,
        ),
        (
            {"requirements.txt/keep": "", **GOOD_PIPFILE},
            "requirements.txt",
            "IsADirectoryError",
            details("Pipfile", "3.1", "==3.1"),
        ),
        (
            {"conda.yml": "dependencies:\n  - pip: 5\n", **GOOD_PIPFILE},
            "conda.yml",
            "TypeError",
            details("Pipfile", "3.1", "==3.1"),
        ),
        (
            {"setup.cfg": "[options\ninstall_requires = Django\n", **GOOD_PIPFILE},
            "setup.cfg",
            "MissingSectionHeaderError",
            details("Pipfile", "3.1", "==3.1"),
        ),
        (
            {
                "Pipfile.lock": '{"default": {"django": {"version": "==3.2"}',
                **GOOD_PIPFILE,
            },
            "Pipfile.lock",
            "MalformedDependencyFileError",
            details("Pipfile", "3.1", "==3.1"),
        ),
        (
            # dparse reads the hashes of every locked version.
            {
                "Pipfile.lock": '{"default": {"django": {"version": "==3.2"}}}',
                **GOOD_SETUP_PY,
            },
            "Pipfile.lock",
            "KeyError",
            details("setup.py", "2.2", ">=2.2"),
        ),
        (
            {"Pipfile": '[packages]\ndjango = "two"\n', **GOOD_SETUP_PY},
            "Pipfile",
            "InvalidSpecifier",
            details("setup.py", "2.2", ">=2.2"),
        ),
    ],
    ids=[
        "setup-py-cut-short",
        "requirements-a-directory",
        "conda-pip-not-a-list",
        "setup-cfg-broken-header",
        "pipfile-lock-truncated",
        "pipfile-lock-without-hashes",
        "pipfile-bad-specifier",
    ],
)
def test_requirement_file_that_cannot_be_read_gives_no_version(
    write_tree, caplog, files, broken, error, expected
):
    root = write_tree(files)
    assert dependencies.resolve_django_version(root) == expected
    assert dependencies.is_django_repository(root) is (expected is not None)
    # Logged once by each call, as a warning that names the file and the error.
    assert {tuple(r.getMessage().split(": ")[:3]) for r in caplog.records} == {
        (str(root / broken), "no Django version read from it", error)
    }
    assert {r.levelno for r in caplog.records} == {logging.WARNING}


def test_resolvers_take_paths(write_tree):
    root = write_tree({"Pipfile": '[packages]\nDjango = ">=1.11.5,<2.1"\n'})
    expected = details("Pipfile", "1.11", ">=1.11.5,<2.1")
    assert dependencies.resolve_django_version_via_dparse(root) == expected
    assert (
        dependencies.resolve_django_version_via_dparse(project_root_path=root)
        == expected
    )
    assert dependencies.resolve_django_version_via_setup_py(root) is None


INSIDE_PIN = "==" + INSIDE_VALUES["pin"]


# The resolvers on escaping_repository holding requirement files as links: one that
# leads out is not read (the Django version and specifier it holds would come back in
# the meta record), and resolution goes on as if it were not there.
@pytest.mark.parametrize(
    "arranged, via_files, via_setup_py",
    [
        (["requirements-out"], None, None),
        (["requirements-in"], details("requirements.txt", "2.2", INSIDE_PIN), None),
        (["setup-py-out"], None, None),
        (["setup-py-in"], None, details("setup.py", "2.2", INSIDE_PIN)),
        (
            ["requirements-out", "setup-py-in"],
            None,
            details("setup.py", "2.2", INSIDE_PIN),
        ),
    ],
    ids=["requirements-out", "requirements-in", "setup-py-out", "setup-py-in", "both"],
)
def test_requirement_files_outside_the_root_are_not_read(
    escaping_repository, caplog, arranged, via_files, via_setup_py
):
    r = escaping_repository
    r.arrange(*arranged)
    found = [
        dependencies.resolve_django_version(str(r.repo)),
        dependencies.resolve_django_version_via_dparse(r.repo),
        dependencies.resolve_django_version_via_setup_py(r.repo),
    ]
    assert found == [via_files or via_setup_py, via_files, via_setup_py]
    assert OUTSIDE_VALUES["pin"] not in repr(found) and TOKEN not in repr(found)
    assert {record.getMessage() for record in caplog.records} == {
        f"{path}: no Django version read from it: it lies outside the project root "
        f"{r.repo}"
        for path in r.linked_out
    }


# is_django_repository on escaping_repository's tools/, which imports django only
# through these links: a source whose real path lies outside the root given is not
# read, even when it lies inside the repository.
@pytest.mark.parametrize(
    "links, expected",
    [
        ({"evil.py": "../../outside/secret.py"}, False),
        ({"alias.py": "../app/models.py"}, False),
        ({"alias.py": "shelf.txt"}, True),
    ],
    ids=["link-out-of-the-repository", "link-out-of-the-root", "link-inside"],
)
def test_sources_outside_the_root_are_not_read(
    escaping_repository, caplog, links, expected
):
    tools = escaping_repository.repo / "tools"
    tools.mkdir()
    (tools / "shelf.txt").write_text("from django.db import models\n")
    for name, target in links.items():
        (tools / name).symlink_to(target)
    assert dependencies.is_django_repository(str(tools)) is expected
    assert [record.getMessage() for record in caplog.records] == [
        f"{tools / name}: not read: it lies outside the project root {tools}"
        for name in links
        if not expected
    ]


def test_tables_are_read_at_call_time(write_tree, monkeypatch):
    root = write_tree(
        {
            "Pipfile": '[packages]\ndjango = "==3.1"\n',
            "requirements.txt": "Django==2.2\n",
        }
    )
    monkeypatch.setattr(dependencies, "dparse_file_types", ["Pipfile"])
    assert dependencies.resolve_django_version(root)["path"] == "Pipfile"
    monkeypatch.setattr(dependencies, "versions", ["3.0", "3.1"])
    assert dependencies.resolve_django_version(root)["version"] == "3.1"


def test_tables():
    assert dependencies.dparse_file_types == [
        "requirements.txt",
        "conda.yml",
        "setup.cfg",
        "Pipfile.lock",
        "Pipfile",
    ]
    assert dependencies.versions == ["1.11", "2.0", "2.1", "2.2", "3.0", "3.1", "3.2"]


def dependency(name, specs, line):
    return Dependency(name=name, specs=SpecifierSet(specs), line=line)


@pytest.mark.parametrize(
    "dep, expected",
    [
        (
            dependency("Django", ">=3.1.2", "Django>=3.1.2"),
            details("f", "3.1", ">=3.1.2"),
        ),
        # Patch releases 0 to 29 are tried: 2.0.29 admits 2.0, 2.0.30 does not.
        (
            dependency("django", "==2.0.29", "django==2.0.29"),
            details("f", "2.0", "==2.0.29"),
        ),
        (dependency("django", "==2.0.30", "django==2.0.30"), None),
        (
            dependency("django", "!=1.11.*", "django!=1.11.*"),
            details("f", "2.0", "!=1.11.*"),
        ),
        (dependency("DjAnGo", "", "DjAnGo"), details("f", "1.11", "")),
        (dependency("django-cms", "==3.2", "django-cms==3.2"), None),
        (dependency("djang", "==3.2", "djang==3.2"), None),
        # The line is read, not dparse's specifier set, when it parses.
        (
            dependency("django", "==2.2", "django (<2.3, >=2.2)"),
            details("f", "2.2", "<2.3,>=2.2"),
        ),
    ],
)
def test_get_django_version_from_dependency(dep, expected):
    assert dependencies.get_django_version_from_dependency(dep, "f") == expected
    assert (
        dependencies.get_django_version_from_dependency(dependency=dep, file_type="f")
        == expected
    )


def test_get_django_version_from_line_parser_dependency():
    dep = RequirementsTXTLineParser.parse("Django[argon2]==3.0.7")
    assert dependencies.get_django_version_from_dependency(dep, "setup.py") == details(
        "setup.py", "3.0", "==3.0.7"
    )


# --- Project detection ------------------------------------------------------------


@pytest.mark.parametrize(
    "project, expected",
    [
        ("deps_classic", True),
        ("deps_pip_compiled", True),
        ("deps_library", True),
        ("deps_setup_py", True),
    ],
)
def test_fixture_projects_are_django(project, expected):
    assert dependencies.is_django_repository(PROJECTS / project) is expected


@pytest.mark.parametrize(
    "files, expected",
    [
        ({}, False),
        ({"deep/down/manage.py": ""}, True),
        ({"requirements.txt": "Django==2.2\n"}, True),
        ({"requirements.txt": "Django==4.2\n"}, False),
        ({"app/conf.py": "from django.conf import settings\n"}, True),
        ({".venv/lib/site.py": "import os, django as dj\n"}, True),
        ({"app/models.py": "import django.db\n"}, False),
        ({"app/views.py": "def view():\n    import django\n"}, False),
        ({"app/views.py": "if True:\n    from django import forms\n"}, False),
        ({"app/views.py": "import os\n", "app/readme.txt": "import django\n"}, False),
        # Files that cannot be read, decoded or parsed say nothing and stop nothing.
        ({"a/broken.py": "def f(:\n", "b/ok.py": "from django import forms\n"}, True),
        ({"a/broken.py": "def f(:\n"}, False),
        ({"a/null.py": "import django\0\n"}, False),
        ({"a/bad_indent.py": "  x = 1\ny = 2\n"}, False),
        ({"a/deep.py": "x = " + "-" * 100000 + "1\n"}, False),
        ({"pkg.py/keep.txt": "", "b/ok.py": "import django\n"}, True),
    ],
)
def test_is_django_repository(write_tree, files, expected):
    root = write_tree(files)
    assert dependencies.is_django_repository(root) is expected
    assert dependencies.is_django_repository(str(root)) is expected


def test_undecodable_and_unreadable_sources_are_skipped(tmp_path):
    (tmp_path / "latin.py").write_bytes(b"# caf\xe9\nx = 1\n")
    (tmp_path / "gone.py").symlink_to(tmp_path / "missing.py")
    assert dependencies.is_django_repository(tmp_path) is False
    (tmp_path / "z.py").write_text("from django.db import models\n")
    assert dependencies.is_django_repository(tmp_path) is True


def test_manage_search_is_looked_up_at_call_time(tmp_path, monkeypatch):
    calls = []

    def found(target):
        calls.append(target)
        return Path(target) / "manage.py"

    monkeypatch.setattr(meta, "get_manage_file", found)
    assert dependencies.is_django_repository(tmp_path) is True
    assert calls == [tmp_path]

    class Missing(meta.ManageFileMissingError):
        pass

    def missing(target):
        raise Missing

    monkeypatch.setattr(meta, "get_manage_file", missing)
    assert dependencies.is_django_repository(tmp_path) is False

    def broken(target):
        raise PermissionError(target)

    monkeypatch.setattr(meta, "get_manage_file", broken)
    with pytest.raises(PermissionError):
        dependencies.is_django_repository(tmp_path)


@pytest.mark.parametrize(
    "source, expected",
    [
        ("import django", True),
        ("import os, django", True),
        ("import django as dj", True),
        ("from django.db import models", True),
        ("from django import forms", True),
        ("from .django import x", True),
        ("import djangoish", False),
        ("import django.db", False),
        ("from djangorestframework import x", False),
        ("from . import django", False),
        ("try:\n    import django\nexcept ImportError:\n    pass", False),
        ("class A:\n    from django import forms", False),
        ("x = 'import django'", False),
        ("", False),
    ],
)
def test_is_django_node(source, expected):
    assert dependencies.is_django_node(ast.parse(source)) is expected


# --- Stock settings -------------------------------------------------------------------


@pytest.mark.parametrize(
    "version, module",
    [
        ("1.11", "django_1_11"),
        ("2.0", "django_2_0"),
        ("2.2", "django_2_2"),
        ("3.1", "django_3_1"),
        ("3.2", "django_3_2"),
        ("3.3", "django_3_2"),
        (4.0, "django_3_2"),
        (None, "django_3_2"),
    ],
)
def test_get_default_django_settings(version, module):
    expected = importlib.import_module("vorlane.staticanalysis.stockconfig." + module)
    assert dependencies.get_default_django_settings(version) is expected


def test_settings_mapping():
    mapping = dependencies.DJANGO_SETTINGS_MAPPING
    assert list(mapping) == dependencies.versions
    assert [m.__name__.rsplit(".", 1)[1] for m in mapping.values()] == [
        "django_1_11",
        "django_2_0",
        "django_2_1",
        "django_2_2",
        "django_3_0",
        "django_3_1",
        "django_3_2",
    ]


def test_settings_mapping_is_read_at_call_time(monkeypatch):
    stand_in = types.ModuleType("stand_in")
    monkeypatch.setattr(dependencies, "DJANGO_SETTINGS_MAPPING", {"9.9": stand_in})
    assert dependencies.get_default_django_settings("9.9") is stand_in
    assert dependencies.get_default_django_settings("2.2").__name__.endswith(
        "django_3_2"
    )


def make_module(**names):
    module = types.ModuleType("sample")
    for name, value in names.items():
        setattr(module, name, value)
    return module


def test_module_to_dict_keeps_upper_case_names():
    module = make_module(
        DEBUG=True, _PRIVATE=1, debug=2, Mixed=3, X1=4, MAX_9=5, _=6, __X__=7
    )
    result = dependencies.module_to_dict(module)
    assert result == {"DEBUG": True, "MAX_9": 5, "X1": 4}
    assert list(result) == ["DEBUG", "MAX_9", "X1"]


def test_module_to_dict_with_omittable():
    module = make_module(DEBUG=True, debug=2)
    everything = dependencies.module_to_dict(module, lambda name: False)
    assert list(everything) == dir(module)
    assert everything["debug"] == 2 and everything["__name__"] == "sample"
    assert dependencies.module_to_dict(
        module, omittable=lambda name: name != "debug"
    ) == {"debug": 2}


def test_module_to_dict_errors():
    class Settings:
        @property
        def BROKEN(self):
            raise KeyError("BROKEN")

    with pytest.raises(KeyError):
        dependencies.module_to_dict(Settings())

    def omittable(name):
        raise ValueError(name)

    with pytest.raises(ValueError):
        dependencies.module_to_dict(make_module(A=1), omittable)


ABSENT = object()
SETTING_ROWS = [
    ("1.11", "MIDDLEWARE", None),
    (
        "1.11",
        "MIDDLEWARE_CLASSES",
        [
            "django.middleware.common.CommonMiddleware",
            "django.middleware.csrf.CsrfViewMiddleware",
        ],
    ),
    ("1.11", "USE_ETAGS", False),
    ("2.0", "MIDDLEWARE", []),
    ("2.0", "MIDDLEWARE_CLASSES", ABSENT),
    ("2.0", "SESSION_COOKIE_SAMESITE", ABSENT),
    ("2.1", "USE_ETAGS", ABSENT),
    ("2.1", "SESSION_COOKIE_SAMESITE", "Lax"),
    ("2.1", "CSRF_COOKIE_SAMESITE", "Lax"),
    ("2.2", "DEFAULT_CONTENT_TYPE", "text/html"),
    ("2.2", "X_FRAME_OPTIONS", "SAMEORIGIN"),
    ("2.2", "FILE_UPLOAD_PERMISSIONS", None),
    ("2.2", "SECURE_CONTENT_TYPE_NOSNIFF", False),
    ("2.2", "SECURE_REFERRER_POLICY", ABSENT),
    ("3.0", "DEFAULT_CONTENT_TYPE", ABSENT),
    ("3.0", "X_FRAME_OPTIONS", "DENY"),
    ("3.0", "FILE_UPLOAD_PERMISSIONS", 0o644),
    ("3.0", "SECURE_CONTENT_TYPE_NOSNIFF", True),
    ("3.0", "SECURE_REFERRER_POLICY", None),
    ("3.0", "FILE_CHARSET", "utf-8"),
    ("3.0", "DEFAULT_HASHING_ALGORITHM", ABSENT),
    ("3.0", "PASSWORD_RESET_TIMEOUT", ABSENT),
    ("3.1", "SECURE_REFERRER_POLICY", "same-origin"),
    ("3.1", "DEFAULT_HASHING_ALGORITHM", "sha256"),
    ("3.1", "PASSWORD_RESET_TIMEOUT", 259200),
    ("3.1", "PASSWORD_RESET_TIMEOUT_DAYS", 3),
    ("3.1", "FILE_CHARSET", ABSENT),
    ("3.1", "DEFAULT_AUTO_FIELD", ABSENT),
    ("3.2", "DEFAULT_AUTO_FIELD", "django.db.models.AutoField"),
    ("3.2", "SECURE_BROWSER_XSS_FILTER", False),
    ("3.2", "USE_L10N", False),
    # Settings of later releases belong to none of these.
    ("3.2", "SECURE_CROSS_ORIGIN_OPENER_POLICY", ABSENT),
    ("3.2", "SECRET_KEY_FALLBACKS", ABSENT),
    ("1.11", "LANGUAGE_CODE", "en-us"),
    ("3.2", "LANGUAGE_CODE", "en-us"),
]


@pytest.mark.parametrize("version, name, expected", SETTING_ROWS)
def test_stock_settings_of_each_release(version, name, expected):
    settings = dependencies.module_to_dict(
        dependencies.get_default_django_settings(version)
    )
    assert settings.get(name, ABSENT) == expected


@pytest.mark.parametrize("version", ["1.11", "2.0", "2.1", "2.2", "3.0", "3.1", "3.2"])
def test_stock_modules_hold_settings_only(version):
    module = dependencies.get_default_django_settings(version)
    public = {name for name in dir(module) if not name.startswith("_")}
    assert public == set(dependencies.module_to_dict(module))


# Defaults that changed after 3.2, against the Django installed here.
CHANGED_SINCE_3_2 = {"PASSWORD_HASHERS", "USE_L10N", "LANGUAGES_BIDI"}


def test_stock_settings_agree_with_installed_django():
    stock = dependencies.module_to_dict(dependencies.get_default_django_settings("3.2"))
    installed = dependencies.module_to_dict(django.conf.global_settings)
    differing = {
        name
        for name in stock.keys() & installed.keys()
        if stock[name] != installed[name]
    }
    assert differing == CHANGED_SINCE_3_2
