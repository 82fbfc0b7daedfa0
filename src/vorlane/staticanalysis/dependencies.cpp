// The Django release a project is written for, read from its requirement files or
// setup.py without importing it; whether a directory holds a Django project; and the
// stock settings of each supported Django release.
#include "support.h"

#include <iterator>
#include <string>

namespace {

// --- Libraries and names, made once at load (leaked on purpose: exit order) ---------

struct Libs {
    py::handle module; // this module: its tables are read at call time (tests patch)
    py::handle Path, astroid_parse, Const, dparse_parse, RequirementsTXTLineParser,
        REQUIREMENT, ParseBaseException, ast_parse, iter_child_nodes, Import,
        ImportFrom, meta, django_3_2, ConfigParser, setup_cfg, SetupCfgParser,
        AstroidBuildingError, realpath, logger;
    py::handle default_omittable; // the default `omittable` of module_to_dict
};
const Libs *L = nullptr;

struct Names {
    py::handle dparse_file_types, versions, DJANGO_SETTINGS_MAPPING;
    py::handle exists, read_text, utf8, ignore, file_type, parser;
    py::handle dependencies, name, lower, specs, contains, line, specifier, parseString,
        value, strip, nodes_of_class, parse, get, isupper, startswith;
    py::handle get_manage_file, ManageFileMissingError, is_inside_root, rglob, py_glob,
        names, module;
    py::handle django, setup_py, underscore, space_hash, backslash, space_backslash;
    py::handle obj, content, read_string, sections, has_option, items, options,
        extras_section, parse_content, setup_cfg_keys;
};
const Names *N = nullptr;

// --- Tables ------------------------------------------------------------------------

const char *const kFileTypes[] = {"requirements_txt", "conda_yml", "setup_cfg",
                                  "pipfile_lock", "pipfile"};

const char *const kVersions[] = {"1.11", "2.0", "2.1", "2.2", "3.0", "3.1", "3.2"};

struct StockModule {
    const char *version, *module;
};
const StockModule kStockModules[] = {
    {"1.11", "django_1_11"}, {"2.0", "django_2_0"}, {"2.1", "django_2_1"},
    {"2.2", "django_2_2"},   {"3.0", "django_3_0"}, {"3.1", "django_3_1"},
    {"3.2", "django_3_2"},
};

const char *const kSetupCfgKeys[] = {"install_requires", "setup_requires",
                                     "test_require"};

py::object table(py::handle name) {
    return L->module.attr(name);
}

// root / name, as pathlib joins it.
py::object join(py::handle root, py::handle name) {
    PyObject *path = PyNumber_TrueDivide(root.ptr(), name.ptr());
    if (!path) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(path);
}

// Errors that mean the file cannot be read, decoded or parsed: such a file says nothing
// about the project, and a project is not to be rejected for one stray file.
bool is_unreadable_source_error(py::error_already_set &e) {
    return e.matches(PyExc_OSError) || e.matches(PyExc_ValueError) ||
           e.matches(PyExc_SyntaxError) || e.matches(PyExc_RecursionError) ||
           e.matches(PyExc_MemoryError);
}

// --- Requirement lines ---------------------------------------------------------------

// Index of needle in text from 0, or -1; a Python error propagates.
Py_ssize_t find(py::handle text, py::handle needle) {
    Py_ssize_t at = PyUnicode_Find(text.ptr(), needle.ptr(), 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) throw py::error_already_set();
    return at;
}

py::object head(py::handle text, Py_ssize_t end) {
    PyObject *part = PyUnicode_Substring(text.ptr(), 0, end);
    if (!part) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(part);
}

// `Django>=2.2 # pinned` and `Django>=2.2 \` (continued) lose their tails; a hash
// without a space before it can be part of a URL and stays.
py::object clean_requirement_line(py::handle line) {
    py::object text = py::reinterpret_borrow<py::object>(line);
    Py_ssize_t at = find(text, N->space_hash);
    if (at >= 0) text = head(text, at);
    if (find(text, N->backslash) >= 0) {
        at = find(text, N->space_backslash);
        if (at < 0) at = find(text, N->backslash);
        text = head(text, at);
    }
    return text;
}

// The specifier as written on the line, so ">=2.2,<3.0" keeps its order. A line that
// still carries pip's options (`--hash=...`), a tab-separated comment or a continued
// option is a requirement dparse accepted all the same: its specifier set stands in.
py::object requirement_specifier(py::handle dependency) {
    py::object cleaned = clean_requirement_line(dependency.attr(N->line));
    try {
        return L->REQUIREMENT.attr(N->parseString)(cleaned).attr(N->specifier);
    } catch (py::error_already_set &e) {
        if (!e.matches(L->ParseBaseException)) throw;
        return py::str(dependency.attr(N->specs));
    }
}

// --- Version resolution --------------------------------------------------------------

py::object get_django_version_from_dependency(py::handle dependency,
                                              py::handle file_type) {
    py::object name = dependency.attr(N->name).attr(N->lower)();
    if (!name.equal(N->django)) return py::none();
    // Lowest minor release first: the oldest Django the requirement admits is the one
    // the project must stay compatible with.
    py::object contains = dependency.attr(N->specs).attr(N->contains);
    py::object minor;
    for (py::handle version : table(N->versions)) {
        for (int patch = 0; patch < 30 && !minor; ++patch) {
            PyObject *text = PyUnicode_FromFormat("%S.%d", version.ptr(), patch);
            if (!text) throw py::error_already_set();
            py::object candidate = py::reinterpret_steal<py::object>(text);
            if (support::truthy(contains(candidate)))
                minor = py::reinterpret_borrow<py::object>(version);
        }
        if (minor) break;
    }
    if (!minor) return py::none();
    py::dict details;
    details["path"] = file_type;
    details["version"] = minor;
    details["specs"] = requirement_specifier(dependency);
    return std::move(details);
}

const char *const kNoVersionRead = "no Django version read from it";

// Whether path, links resolved, lies inside the project root whose real path is
// real_root; when not, a warning names it. A requirement file or setup.py of the
// repository may link to any file of the machine, and its Django requirement would come
// back in the meta record.
bool readable_inside_root(py::handle path, py::handle real_root,
                          const char *consequence) {
    if (support::truthy(L->meta.attr(N->is_inside_root)(path, real_root))) return true;
    L->logger.attr(support::name<"warning">())(
        "%s: %s: it lies outside the project root %s", path, consequence, real_root);
    return false;
}

// dparse's reading of one requirement file, or a null object when the file cannot be
// read or parsed. Its parsers fail in many ways on a broken file (a truncated
// Pipfile.lock, a setup.cfg section header without its bracket, a Pipfile value that is
// no specifier): every such file is logged and gives no version, and the other
// requirement files are still read.
py::object parse_requirement_file(py::handle path, py::handle file_type) {
    try {
        py::object text = path.attr(N->read_text)(py::arg("encoding") = N->utf8,
                                                  py::arg("errors") = N->ignore);
        py::dict kwargs;
        kwargs[N->file_type] = file_type;
        // dparse's own setup.cfg reader fails on every file that has a section.
        if (file_type.equal(L->setup_cfg)) kwargs[N->parser] = L->SetupCfgParser;
        return L->dparse_parse(text, **kwargs);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        support::warn_skipped(L->logger, path, kNoVersionRead, e);
        return py::object();
    }
}

py::object version_via_dparse(py::handle project_root_path, py::handle real_root) {
    for (py::handle file_type : table(N->dparse_file_types)) {
        py::object path = join(project_root_path, file_type);
        if (!support::truthy(path.attr(N->exists)())) continue;
        if (!readable_inside_root(path, real_root, kNoVersionRead)) continue;
        py::object parsed = parse_requirement_file(path, file_type);
        if (!parsed) continue;
        for (py::handle dependency : parsed.attr(N->dependencies)) {
            py::object details =
                get_django_version_from_dependency(dependency, file_type);
            if (support::truthy(details)) return details;
        }
    }
    return py::none();
}

py::object resolve_django_version_via_dparse(py::handle project_root_path) {
    return version_via_dparse(project_root_path, L->realpath(project_root_path));
}

// Every string constant of setup.py is tried, wherever it stands: install_requires is
// not found by name, so a list built in a variable or a helper still counts.
py::object version_via_setup_py(py::handle project_root_path, py::handle real_root) {
    py::object path = join(project_root_path, N->setup_py);
    if (!support::truthy(path.attr(N->exists)())) return py::none();
    if (!readable_inside_root(path, real_root, kNoVersionRead)) return py::none();
    py::object tree;
    try {
        tree = L->astroid_parse(path.attr(N->read_text)());
    } catch (py::error_already_set &e) {
        // A setup.py that cannot be read or parsed names no requirement.
        if (!is_unreadable_source_error(e) && !e.matches(L->AstroidBuildingError))
            throw;
        support::warn_skipped(L->logger, path, kNoVersionRead, e);
        return py::none();
    }
    for (py::handle node : tree.attr(N->nodes_of_class)(L->Const)) {
        py::object value = node.attr(N->value);
        if (!PyUnicode_Check(value.ptr())) continue;
        py::object stripped = value.attr(N->strip)();
        Py_ssize_t size = PyObject_Length(stripped.ptr());
        if (size < 0) throw py::error_already_set();
        if (size == 0) continue;
        py::object dependency;
        try {
            dependency = L->RequirementsTXTLineParser.attr(N->parse)(stripped);
        } catch (py::error_already_set &e) {
            // A description of several lines is a ValueError. A text that ends in a
            // backslash (`"\\"`, a Windows path) makes the parser ask for a
            // continuation line that is not there: a RuntimeError, no requirement.
            if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RuntimeError)) throw;
            continue;
        }
        if (!support::truthy(dependency)) continue;
        py::object details =
            get_django_version_from_dependency(dependency, N->setup_py);
        if (support::truthy(details)) return details;
    }
    return py::none();
}

py::object resolve_django_version_via_setup_py(py::handle project_root_path) {
    return version_via_setup_py(project_root_path, L->realpath(project_root_path));
}

py::object version_of(py::handle project_root, py::handle real_root) {
    py::object root = L->Path(project_root);
    py::object details = version_via_dparse(root, real_root);
    if (support::truthy(details)) return details;
    details = version_via_setup_py(root, real_root);
    if (support::truthy(details)) return details;
    return py::none();
}

py::object resolve_django_version(py::handle project_root) {
    return version_of(project_root, L->realpath(project_root));
}

// --- dparse's setup.cfg reader, made to read the sections it names -------------------

// dparse 0.6 compares `section.name` on the section's name text, which raises on any
// setup.cfg with a section. The same reading, on names: install_requires,
// setup_requires and test_require of [options], and [options.extras_require].
void setup_cfg_parse(py::handle self) {
    py::object config = L->ConfigParser();
    config.attr(N->read_string)(self.attr(N->obj).attr(N->content));
    py::object parse_content = self.attr(N->parse_content);
    for (py::handle section : config.attr(N->sections)()) {
        if (section.equal(N->options)) {
            for (py::handle key : N->setup_cfg_keys) {
                if (support::truthy(config.attr(N->has_option)(N->options, key)))
                    parse_content(config.attr(N->get)(N->options, key));
            }
        } else if (section.equal(N->extras_section)) {
            for (py::handle item : config.attr(N->items)(N->extras_section))
                parse_content(item[py::int_(1)]);
        }
    }
}

// --- Project detection ---------------------------------------------------------------

// import django / from django.conf import settings / from django import forms, at the
// top level only; `import django.db` names a submodule and does not count.
bool is_django_node(py::handle node) {
    for (py::handle child : L->iter_child_nodes(node)) {
        if (support::isinstance(child, L->Import)) {
            for (py::handle alias : child.attr(N->names)) {
                auto name = support::as_string(alias.attr(N->name));
                if (name && *name == "django") return true;
            }
        } else if (support::isinstance(child, L->ImportFrom)) {
            auto module = support::as_string(child.attr(N->module));
            if (module && (*module == "django" || module->rfind("django.", 0) == 0))
                return true;
        }
    }
    return false;
}

bool is_django_repository(py::handle project_root) {
    py::object meta = py::reinterpret_borrow<py::object>(L->meta);
    try {
        meta.attr(N->get_manage_file)(project_root);
        return true;
    } catch (py::error_already_set &e) {
        if (!e.matches(meta.attr(N->ManageFileMissingError))) throw;
    }
    py::object real_root = L->realpath(project_root);
    if (support::truthy(version_of(project_root, real_root))) return true;
    py::object sources = L->Path(project_root).attr(N->rglob)(N->py_glob);
    for (py::handle path : sources) {
        if (!readable_inside_root(path, real_root, "not read")) continue;
        py::object tree;
        try {
            py::object text = path.attr(N->read_text)();
            tree = L->ast_parse(text, path);
        } catch (py::error_already_set &e) {
            if (!is_unreadable_source_error(e)) throw;
            continue;
        }
        if (is_django_node(tree)) return true;
    }
    return false;
}

// --- Stock settings ------------------------------------------------------------------

py::object get_default_django_settings(py::handle version) {
    return table(N->DJANGO_SETTINGS_MAPPING).attr(N->get)(version, L->django_3_2);
}

// DEBUG and SECRET_KEY are settings; _PRIVATE, modules and Mixed names are not.
bool is_omittable_name(py::handle name) {
    if (support::truthy(name.attr(N->startswith)(N->underscore))) return true;
    return !support::truthy(name.attr(N->isupper)());
}

py::dict module_to_dict(py::handle module, py::handle omittable) {
    PyObject *listed = PyObject_Dir(module.ptr());
    if (!listed) throw py::error_already_set();
    py::list names = py::reinterpret_steal<py::list>(listed);
    bool by_default = omittable.is(L->default_omittable);
    py::dict settings;
    for (py::handle name : names) {
        bool omit =
            by_default ? is_omittable_name(name) : support::truthy(omittable(name));
        if (!omit) settings[name] = module.attr(name);
    }
    return settings;
}

Names *make_names() {
    using support::intern;
    auto *n = new Names;
    n->dparse_file_types = intern("dparse_file_types");
    n->versions = intern("versions");
    n->DJANGO_SETTINGS_MAPPING = intern("DJANGO_SETTINGS_MAPPING");
    n->exists = intern("exists");
    n->read_text = intern("read_text");
    n->utf8 = intern("utf8");
    n->ignore = intern("ignore");
    n->file_type = intern("file_type");
    n->parser = intern("parser");
    n->dependencies = intern("dependencies");
    n->name = intern("name");
    n->lower = intern("lower");
    n->specs = intern("specs");
    n->contains = intern("contains");
    n->line = intern("line");
    n->specifier = intern("specifier");
    n->parseString = intern("parseString");
    n->value = intern("value");
    n->strip = intern("strip");
    n->nodes_of_class = intern("nodes_of_class");
    n->parse = intern("parse");
    n->get = intern("get");
    n->isupper = intern("isupper");
    n->startswith = intern("startswith");
    n->get_manage_file = intern("get_manage_file");
    n->ManageFileMissingError = intern("ManageFileMissingError");
    n->is_inside_root = intern("is_inside_root");
    n->rglob = intern("rglob");
    n->py_glob = intern("*.py");
    n->names = intern("names");
    n->module = intern("module");
    n->django = intern("django");
    n->space_hash = intern(" #");
    n->backslash = intern("\\");
    n->space_backslash = intern(" \\");
    n->setup_py = intern("setup.py");
    n->underscore = intern("_");
    n->obj = intern("obj");
    n->content = intern("content");
    n->read_string = intern("read_string");
    n->sections = intern("sections");
    n->has_option = intern("has_option");
    n->items = intern("items");
    n->options = intern("options");
    n->extras_section = intern("options.extras_require");
    n->parse_content = intern("_parse_content");
    py::tuple keys(std::size(kSetupCfgKeys));
    for (size_t i = 0; i < std::size(kSetupCfgKeys); ++i)
        keys[i] = support::intern(kSetupCfgKeys[i]);
    n->setup_cfg_keys = keys.release();
    return n;
}

} // namespace

PYBIND11_MODULE(dependencies, m) {
    support::init_module(m);
    N = make_names();
    auto *libs = new Libs;
    libs->module = m.inc_ref();
    libs->Path = support::import("pathlib", "Path");
    libs->astroid_parse = support::import("astroid", "parse");
    libs->Const = support::import("astroid", "Const");
    libs->dparse_parse = support::import("dparse", "parse");
    py::handle filetypes = support::import("dparse", "filetypes");
    libs->RequirementsTXTLineParser =
        support::import("dparse.parser", "RequirementsTXTLineParser");
    libs->REQUIREMENT = support::import("packaging.requirements", "REQUIREMENT");
    libs->ParseBaseException = support::import("pyparsing", "ParseBaseException");
    libs->ast_parse = support::import("ast", "parse");
    libs->iter_child_nodes = support::import("ast", "iter_child_nodes");
    libs->Import = support::import("ast", "Import");
    libs->ImportFrom = support::import("ast", "ImportFrom");
    libs->ConfigParser = support::import("configparser", "ConfigParser");
    libs->meta = support::import("vorlane.staticanalysis.meta");
    libs->AstroidBuildingError =
        support::import("astroid.exceptions", "AstroidBuildingError");
    libs->realpath = support::import("os.path", "realpath");
    py::dict stock;
    for (const StockModule &entry : kStockModules) {
        std::string qualified =
            std::string("vorlane.staticanalysis.stockconfig.") + entry.module;
        stock[entry.version] = support::import(qualified.c_str());
    }
    libs->django_3_2 = py::object(stock["3.2"]).release();
    libs->setup_cfg = py::object(filetypes.attr("setup_cfg")).release();

    py::list file_types;
    for (const char *name : kFileTypes)
        file_types.append(filetypes.attr(name));
    m.attr("dparse_file_types") = file_types;
    py::list versions;
    for (const char *version : kVersions)
        versions.append(py::str(version));
    m.attr("versions") = versions;
    m.attr("DJANGO_SETTINGS_MAPPING") = stock;

    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "SetupCfgParser";
    ns["__doc__"] = "dparse's setup.cfg parser, reading [options] by section name.";
    py::handle type = reinterpret_cast<PyObject *>(&PyType_Type);
    py::handle base = support::import("dparse.parser", "SetupCfgParser");
    py::object parser = type("SetupCfgParser", py::make_tuple(base), ns);
    support::def_method(parser, "parse", &setup_cfg_parse);
    libs->SetupCfgParser = parser.release();

    py::cpp_function omittable([](py::handle name) { return is_omittable_name(name); },
                               py::name("omittable"), py::arg("name"));
    libs->default_omittable = omittable.release();
    libs->logger = support::module_logger(m).release();
    L = libs;

    m.def("resolve_django_version", &resolve_django_version, py::arg("project_root"));
    m.def("resolve_django_version_via_dparse", &resolve_django_version_via_dparse,
          py::arg("project_root_path"));
    m.def("resolve_django_version_via_setup_py", &resolve_django_version_via_setup_py,
          py::arg("project_root_path"));
    m.def("get_django_version_from_dependency", &get_django_version_from_dependency,
          py::arg("dependency"), py::arg("file_type"));
    m.def("is_django_repository", &is_django_repository, py::arg("project_root"));
    m.def("is_django_node", &is_django_node, py::arg("node"));
    m.def("get_default_django_settings", &get_default_django_settings,
          py::arg("version"));
    m.def("module_to_dict", &module_to_dict, py::arg("module"),
          py::arg_v("omittable",
                    py::reinterpret_borrow<py::object>(L->default_omittable),
                    "omittable"));
}
