// Project discovery: the files to check, the project configuration, manage.py and the
// settings modules, ROOT_URLCONF and STATIC_URL, and the black code style.
#include "freshness.h"
#include "support.h"

#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

using namespace pybind11::literals;

// --- Libraries and names, made once at load and never released ---------------------

struct Libs {
    py::handle Path, os, scandir, realpath, fsdecode, samefile, islink, os_stat,
        fnmatch, translate, re_compile, open;
    py::handle toml_load, TOMLDecodeError;
    py::handle astroid, MANAGER, If, Expr, Attribute, FunctionDef, ImportFrom,
        AstroidBuilder, AstroidBuildingError, file_from_modpath;
    py::handle black, ClickException;
    py::handle helpers, shims;
    py::handle logger, FileNotFoundError, NotADirectoryError;
    py::handle prefix;        // sys.prefix as read at load
    std::string prefix_bytes; // the same, in the file system's encoding
    std::string sep;          // os.sep
    bool posix = true;        // fnmatch needs no case folding
    py::handle ManageFileMissingError, FakeContext, FakeParameter, module;
};
const Libs *L = nullptr;

struct Names {
    py::handle name, path, is_symlink, is_dir, is_file, stat, st_size, st_mode, close,
        read, isEnabledFor, debug, get, union_, ignore, directories,
        default_ignored_modules, resolve, rglob, parent, stem, split, dot, body, value,
        get_children, attrname, setdefault, DJANGO_SETTINGS_MODULE, string_build,
        modname, enter, exit, BuilderWithSettingsTransforms, astroid_node_to_value,
        module_path_from_file, do_import_module, ROOT_URLCONF, STATIC_URL, default_map,
        line_length, target_version, read_pyproject_toml, DEFAULT_LINE_LENGTH,
        TargetVersion, upper, tool, vorlane, items, match, astroid_cache;
};
const Names *N = nullptr;

constexpr int DEBUG = 10;
const char *const whitelisted[] = {"disable", "enable", "ignore", "directories"};

// --- Small text helpers --------------------------------------------------------------

// Paths travel through the walk as bytes in the file system's encoding (fs_bytes).
using support::fs_bytes;
using support::within;

py::str fs_str(const std::string &bytes) {
    PyObject *s = PyUnicode_DecodeFSDefaultAndSize(
        bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

// pathlib's rules: "x.tar.gz" has the suffix ".gz" and the stem "x.tar"; ".git" and
// "x." have no suffix and are their own stem.
size_t suffix_dot(const std::string &name) {
    size_t i = name.rfind('.');
    if (i == std::string::npos || i == 0 || i + 1 >= name.size())
        return std::string::npos;
    return i;
}
std::string suffix_of(const std::string &name) {
    size_t i = suffix_dot(name);
    return i == std::string::npos ? std::string() : name.substr(i);
}
std::string stem_of(const std::string &name) {
    size_t i = suffix_dot(name);
    return i == std::string::npos ? name : name.substr(0, i);
}

std::string remove_all(std::string text, const std::string &needle) {
    std::string out;
    size_t from = 0, at;
    while ((at = text.find(needle, from)) != std::string::npos) {
        out.append(text, from, at - from);
        from = at + needle.size();
    }
    out.append(text, from, std::string::npos);
    return out;
}

std::string replace_all(const std::string &text, const std::string &needle,
                        const std::string &with) {
    std::string out;
    size_t from = 0, at;
    while ((at = text.find(needle, from)) != std::string::npos) {
        out.append(text, from, at - from).append(with);
        from = at + needle.size();
    }
    out.append(text, from, std::string::npos);
    return out;
}

bool starts_with(const std::string &text, const std::string &head) {
    return text.compare(0, head.size(), head) == 0;
}

std::string join(const std::string &dir, const std::string &name) {
    if (!dir.empty() &&
        dir.compare(dir.size() - L->sep.size(), L->sep.size(), L->sep) == 0)
        return dir + name;
    return dir + L->sep + name;
}

bool is_importable_name(const std::string &name, const std::string &path) {
    if (suffix_of(name) != ".py") return false;
    size_t dots = 0;
    for (char c : name)
        dots += c == '.';
    if (dots != 1) return false;
    return path.find("{{") == std::string::npos;
}

using support::call_method;

bool is_error(py::error_already_set &e, py::handle cls) {
    return e.matches(cls);
}

// use(open(path, mode)), the file closed on every path.
template <typename F> py::object with_file(py::handle path, const char *mode, F &&use) {
    py::object file = L->open(path, mode);
    py::object result;
    try {
        result = use(file);
    } catch (py::error_already_set &) {
        call_method(file, N->close);
        throw;
    }
    call_method(file, N->close);
    return result;
}

// open(path, "r").read()
py::object read_text(py::handle path) {
    return with_file(path, "r",
                     [](py::handle file) { return call_method(file, N->read); });
}

void debug(const py::object &text) {
    if (support::truthy(L->logger.attr(N->isEnabledFor)(DEBUG)))
        L->logger.attr(N->debug)(text);
}

// --- The project root
// ------------------------------------------------------------------

// A path as the file system's bytes, whether given as text, bytes or a path object.
std::string path_bytes(py::handle path) {
    return fs_bytes(L->fsdecode(path));
}

// Whether path, its links resolved, lies inside the project root. real_root is the
// root with its links resolved already, made once by the caller for all the paths of
// its run. A repository under review may hold links to any file of the machine, and
// name folders outside itself in its configuration: where a path is written says
// nothing about what opening it reads. The walk asks `within` itself: it has resolved
// every path it meets anyway.
bool is_inside_root(py::handle path, py::handle real_root) {
    return within(path_bytes(L->realpath(path)), path_bytes(real_root));
}

void warn_outside_root(const char *text, py::handle path, py::handle real_root) {
    L->logger.attr(support::name<"warning">())(text, path, real_root);
}

void warn_outside_root(const char *text, py::handle path,
                       const std::string &real_root) {
    warn_outside_root(text, path, fs_str(real_root));
}

// --- Ignore rules
// ----------------------------------------------------------------------

// An ignore collection compiled once per walk: its plain-text members for the
// membership tests, and one prefix test or glob per entry for the pattern test.
struct IgnoreRules {
    py::object collection;
    bool native = true; // every member is a str: membership is answered in C++
    std::unordered_set<std::string> members;
    std::vector<std::string> prefixes; // entries without glob characters
    std::vector<py::object> globs;     // compiled fnmatch patterns (their `match`)
    std::vector<py::object> raw;       // pattern texts where fnmatch must fold case
    bool has_prefix = false;           // the interpreter's prefix is an entry
    bool prefix_active = true;

    IgnoreRules(py::handle entries, bool prefix_applies)
        : collection(py::reinterpret_borrow<py::object>(entries)),
          prefix_active(prefix_applies) {
        for (py::handle entry : collection) {
            py::str text(entry);
            if (!PyUnicode_CheckExact(entry.ptr())) native = false;
            PyObject *encoded = PyUnicode_EncodeFSDefault(text.ptr());
            if (!encoded) {
                // Text that no file name can hold covers nothing.
                PyErr_Clear();
                continue;
            }
            std::string bytes(PyBytes_AS_STRING(encoded),
                              static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
            Py_DECREF(encoded);
            if (PyUnicode_CheckExact(entry.ptr())) members.insert(bytes);
            if (bytes == L->prefix_bytes) {
                has_prefix = true;
                continue;
            }
            py::object pattern = text + py::str("*");
            if (!L->posix)
                raw.push_back(pattern);
            else if (bytes.find_first_of("*?[") == std::string::npos)
                prefixes.push_back(bytes);
            else
                globs.push_back(L->re_compile(L->translate(pattern)).attr(N->match));
        }
    }

    bool contains(const std::string &text) const {
        if (native) return members.count(text) > 0;
        int r = PySequence_Contains(collection.ptr(), fs_str(text).ptr());
        if (r < 0) throw py::error_already_set();
        return r == 1;
    }

    // The path text without ".py"/".html", its stem or a dotted prefix of the stem is
    // an entry, or the path text matches an entry taken as a prefix or glob. The
    // interpreter's own prefix is matched on the real path at a component boundary.
    bool covers(const std::string &path, const std::string &name) const {
        std::string stem = stem_of(name);
        std::string qname = remove_all(remove_all(path, ".py"), ".html");
        if (contains(qname) || contains(stem)) return true;
        std::string current;
        size_t from = 0;
        while (true) {
            size_t dot = stem.find('.', from);
            std::string part =
                stem.substr(from, dot == std::string::npos ? dot : dot - from);
            current = current.empty() ? part : current + "." + part;
            if (contains(current)) return true;
            if (dot == std::string::npos) break;
            from = dot + 1;
        }
        if (has_prefix && prefix_active && within(path, L->prefix_bytes)) return true;
        for (const std::string &head : prefixes)
            if (starts_with(qname, head)) return true;
        if (!globs.empty() || !raw.empty()) {
            py::str text = fs_str(qname);
            for (const py::object &match : globs)
                if (support::truthy(match(text))) return true;
            for (const py::object &pattern : raw)
                if (support::truthy(L->fnmatch(text, pattern))) return true;
        }
        return false;
    }
};

// --- The walk
// ----------------------------------------------------------------------------

// One depth-first walk of a directory tree. Entries of a real (not linked) directory
// resolve to the resolved directory joined with their name, so only links cost a full
// resolution. Every listing is closed when its directory ends, on errors and on
// close(). With a project root, nothing whose real path lies outside it is listed:
// since the walk never enters a linked directory, every path below a directory inside
// the root is inside it too, but for the file links.
struct TreeWalk {
    py::object directory;
    py::object ignore;
    std::optional<std::string> real_root;
    std::unique_ptr<IgnoreRules> rules;
    struct Frame {
        py::object listing;
        std::string dir;
    };
    std::vector<Frame> stack;
    bool started = false;

    TreeWalk(py::object dir, py::object ig, std::optional<std::string> root)
        : directory(std::move(dir)), ignore(std::move(ig)), real_root(std::move(root)) {
    }
    TreeWalk(const TreeWalk &) = delete;
    ~TreeWalk() { close(); }

    void close() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        while (!stack.empty()) {
            PyObject *r = PyObject_CallMethodObjArgs(stack.back().listing.ptr(),
                                                     N->close.ptr(), nullptr);
            if (r)
                Py_DECREF(r);
            else
                PyErr_Clear(); // closing a listing has nothing to report
            stack.pop_back();
        }
        PyErr_Restore(type, value, tb);
    }

    // A directory to check that cannot be listed (missing, a file, no permission) is
    // logged and skipped: the other directories are still walked.
    void start() {
        started = true;
        py::object text = L->os.attr("fspath")(directory);
        std::string resolved = fs_bytes(L->realpath(text));
        if (real_root && !within(resolved, *real_root)) {
            warn_outside_root("%s: directory not checked: it lies outside the project "
                              "root %s",
                              text, *real_root);
            return;
        }
        // A walk that starts inside the interpreter's prefix (a project below /usr with
        // the system interpreter) is listed in full.
        rules =
            std::make_unique<IgnoreRules>(ignore, !within(resolved, L->prefix_bytes));
        try {
            stack.push_back({L->scandir(text), resolved});
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_OSError)) throw;
            support::warn_skipped(L->logger, text, "directory not checked", e);
        }
    }

    // Opens a subdirectory. One that vanished since it was listed is skipped; one that
    // cannot be listed (no permission) is logged and skipped.
    void enter(const std::string &dir) {
        try {
            stack.push_back({L->scandir(fs_str(dir)), dir});
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_OSError)) throw;
            if (!is_error(e, L->FileNotFoundError) &&
                !is_error(e, L->NotADirectoryError))
                support::warn_skipped(L->logger, fs_str(dir), "directory not checked",
                                      e);
        }
    }

    // A regular file's size, or -1 when its status cannot be read (gone, dangling).
    static long long size_of(py::handle stat_result) {
        py::object size = stat_result.attr(N->st_size);
        return PyLong_AsLongLong(size.ptr());
    }

    py::object next() {
        try {
            if (!started) start();
            while (!stack.empty()) {
                PyObject *raw = PyIter_Next(stack.back().listing.ptr());
                if (!raw) {
                    if (PyErr_Occurred()) throw py::error_already_set();
                    call_method(stack.back().listing, N->close);
                    stack.pop_back();
                    continue;
                }
                py::object entry = py::reinterpret_steal<py::object>(raw);
                py::object found = visit(entry);
                if (found) return found;
            }
            return py::object();
        } catch (py::error_already_set &) {
            close();
            throw;
        }
    }

    // The path to yield for one entry, or a null object; subdirectories are pushed.
    py::object visit(py::handle entry) {
        const std::string &dir = stack.back().dir;
        std::string name = fs_bytes(entry.attr(N->name));
        std::string path;
        long long size = -1;
        bool linked = false;
        try {
            if (support::truthy(call_method(entry, N->is_symlink))) {
                linked = true;
                // A link is listed under its target, and only when that is a regular
                // file; a dangling link or a loop cannot be stat'ed and is skipped.
                py::object target = L->realpath(entry.attr(N->path));
                if (support::truthy(L->islink(target))) return py::object();
                py::object status = L->os_stat(target);
                long mode = PyLong_AsLong(py::object(status.attr(N->st_mode)).ptr());
                if ((mode & 0170000) != 0100000) return py::object();
                path = fs_bytes(target);
                size_t cut = path.rfind(L->sep);
                name =
                    cut == std::string::npos ? path : path.substr(cut + L->sep.size());
                if (!candidate(name, path)) return py::object();
                size = size_of(status);
            } else if (support::truthy(call_method(entry, N->is_dir))) {
                path = join(dir, name);
                if (!rules->covers(path, name)) enter(path);
                return py::object();
            } else if (support::truthy(call_method(entry, N->is_file))) {
                path = join(dir, name);
                if (!candidate(name, path)) return py::object();
                size = size_of(call_method(entry, N->stat));
            } else {
                return py::object(); // devices, pipes, sockets
            }
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_OSError)) throw;
            return py::object(); // removed while the walk ran, or unreadable status
        }
        if (size == 0 || rules->covers(path, name)) return py::object();
        if (linked && real_root && !within(path, *real_root)) {
            warn_outside_root("%s: not listed: it links to a file outside the project "
                              "root %s",
                              entry.attr(N->path), *real_root);
            return py::object();
        }
        py::str text = fs_str(path);
        if (support::truthy(L->logger.attr(N->isEnabledFor)(DEBUG)))
            L->logger.attr(N->debug)(py::str("Adding \"") + text +
                                     py::str("\" to list of files to analyse"));
        return std::move(text);
    }

    static bool candidate(const std::string &name, const std::string &path) {
        return is_importable_name(name, path) || suffix_of(name) == ".html";
    }
};

// The walks of several directories, one after the other; yields path strings.
struct TreesWalk {
    py::object directories;
    py::object ignore;
    std::optional<std::string> real_root;
    py::object pending; // iterator over directories, made at the first item
    std::unique_ptr<TreeWalk> current;

    TreesWalk(py::object dirs, py::object ig, std::optional<std::string> root)
        : directories(std::move(dirs)), ignore(std::move(ig)),
          real_root(std::move(root)) {}

    py::object next() {
        if (!pending) pending = py::iter(directories);
        while (true) {
            if (current) {
                py::object found = current->next();
                if (found) return found;
                current.reset();
            }
            PyObject *dir = PyIter_Next(pending.ptr());
            if (!dir) {
                if (PyErr_Occurred()) throw py::error_already_set();
                return py::object();
            }
            current = std::make_unique<TreeWalk>(py::reinterpret_steal<py::object>(dir),
                                                 ignore, real_root);
        }
    }
};

py::object as_path(const py::object &text) {
    return text ? L->Path(text) : text;
}

py::object scan_tree(py::object directory, py::object ignore) {
    auto walk = std::make_shared<TreeWalk>(std::move(directory), std::move(ignore),
                                           std::nullopt);
    return support::lazy_iterator([walk]() { return as_path(walk->next()); });
}

py::object scan_trees(py::object directories, py::object ignore) {
    auto walk = std::make_shared<TreesWalk>(std::move(directories), std::move(ignore),
                                            std::nullopt);
    return support::lazy_iterator([walk]() { return as_path(walk->next()); });
}

bool is_owner_ignored(py::handle path, py::handle ignored_modules) {
    IgnoreRules rules(ignored_modules, true);
    return rules.covers(fs_bytes(py::str(path)), fs_bytes(path.attr(N->name)));
}

bool is_importable_python_file(py::handle path) {
    return is_importable_name(fs_bytes(path.attr(N->name)), fs_bytes(py::str(path)));
}

bool should_ignore_path(py::handle path, py::handle ignored_modules) {
    std::string name = fs_bytes(path.attr(N->name));
    if (!is_importable_name(name, fs_bytes(py::str(path))) &&
        suffix_of(name) != ".html")
        return true;
    return is_owner_ignored(path, ignored_modules);
}

// --- Project configuration
// ---------------------------------------------------------------

// root/pyproject.toml, or None when there is no such file or it links to a file
// outside the root: the repository's configuration and code style are taken from no
// file of the machine but its own. real_root is made at the first need when null.
py::object pyproject_inside_root(py::handle project_root, py::object real_root) {
    py::object candidate = L->Path(project_root).attr("__truediv__")("pyproject.toml");
    if (!support::truthy(candidate.attr("is_file")())) return py::none();
    py::str path(candidate);
    if (!real_root) real_root = L->realpath(project_root);
    if (is_inside_root(path, real_root)) return std::move(path);
    warn_outside_root("%s: not read: it lies outside the project root %s", path,
                      real_root);
    return py::none();
}

py::object find_pyproject_toml(py::handle project_root) {
    return pyproject_inside_root(project_root, py::object());
}

// Keys may be written as command-line options: --disable and dis-able arrive as
// disable and dis_able.
py::dict parse_pyproject_toml(py::handle path_config) {
    // The TOML 1.0 reader takes the file's bytes: TOML is UTF-8 whatever the platform.
    py::object document = with_file(path_config, "rb",
                                    [](py::handle file) { return L->toml_load(file); });
    py::object tool = document.attr(N->get)(N->tool, py::dict());
    py::object table = tool.attr(N->get)(N->vorlane, py::dict());
    py::dict config;
    for (py::handle item : call_method(table, N->items)) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        py::object key = pair[0].attr("replace")("--", "").attr("replace")("-", "_");
        config[key] = pair[1];
    }
    return config;
}

bool is_list_of_text(py::handle value) {
    if (!PyList_Check(value.ptr())) return false;
    for (py::handle item : value)
        if (!PyUnicode_Check(item.ptr())) return false;
    return true;
}

// What a [tool.vorlane] value must be, or nullptr when it is that: ignore = ["tests"]
// and directories = ["src"] are lists of texts; disable and enable go to pylint only,
// which also takes one text of comma-separated names.
const char *wrong_type(const std::string &key, py::handle value) {
    bool pylint_only = key == "disable" || key == "enable";
    if (is_list_of_text(value) || (pylint_only && PyUnicode_Check(value.ptr())))
        return nullptr;
    return pylint_only ? "a text or a list of texts" : "a list of texts";
}

// The configuration of the file found for the project (None: no file).
py::dict toml_config_of(py::handle toml_file) {
    if (toml_file.is_none()) return py::dict();
    py::dict parsed;
    try {
        parsed = parse_pyproject_toml(toml_file);
    } catch (py::error_already_set &e) {
        // Not TOML 1.0, or not UTF-8: the project is analysed without configuration.
        if (!e.matches(L->TOMLDecodeError) && !e.matches(PyExc_UnicodeDecodeError))
            throw;
        support::log_exception(L->logger, e.value(), e, true);
        return py::dict();
    }
    // A value of the wrong type (ignore = 5, directories = "src") is left out on its
    // own and the other keys still apply: the walk would fail on a number and take a
    // text's characters for directories.
    py::dict config;
    for (const char *key : whitelisted) {
        if (!parsed.contains(key)) continue;
        py::object value = parsed[key];
        if (const char *expected = wrong_type(key, value)) {
            L->logger.attr(support::name<"warning">())(
                "%s: [tool.vorlane] %s must be %s, not %r; the key is left out",
                toml_file, key, expected, value);
            continue;
        }
        config[key] = value;
    }
    return config;
}

py::dict get_toml_config(py::handle project_root) {
    return toml_config_of(find_pyproject_toml(project_root));
}

// --- Files to check
// ------------------------------------------------------------------------

// The configured directories that lie inside the project root; each other entry is
// dropped with a warning. When none is left the caller's directories are walked, as
// for an empty list.
py::object directories_inside_root(py::handle toml_file, py::handle config,
                                   py::handle real_root) {
    py::object configured = config.attr(N->get)(N->directories);
    if (!support::truthy(configured)) return configured;
    py::list inside;
    for (py::handle entry : configured) {
        if (is_inside_root(entry, real_root)) {
            inside.append(entry);
            continue;
        }
        L->logger.attr(support::name<"warning">())(
            "%s: [tool.vorlane] directories entry %r lies outside the project root %s; "
            "it is not walked",
            toml_file, entry, real_root);
    }
    return std::move(inside);
}

py::dict get_files_to_check_in_project(py::object directories, py::object ignore,
                                       py::object project_root) {
    py::object root = support::truthy(project_root)
                          ? project_root
                          : py::str(L->Path(".").attr(N->resolve)());
    py::object real_root = L->realpath(root);
    py::object toml_file = pyproject_inside_root(root, real_root);
    py::dict config = toml_config_of(toml_file);
    py::object defaults = L->module.attr(N->default_ignored_modules);
    py::object ignored = defaults.attr(N->union_)(ignore);
    ignored = ignored.attr(N->union_)(config.attr(N->get)(N->ignore, py::list()));
    debug(py::str("ignoring modules: ") + py::str(ignored));
    py::object configured = directories_inside_root(toml_file, config, real_root);
    if (support::truthy(configured)) directories = configured;
    TreesWalk walk(directories, ignored, path_bytes(real_root));
    py::dict selection;
    for (py::object path = walk.next(); path; path = walk.next())
        if (PyDict_SetDefault(selection.ptr(), path.ptr(), Py_None) == nullptr)
            throw py::error_already_set();
    return selection;
}

// --- Manage file and settings modules
// --------------------------------------------------------

// The first manage.py below target whose real path lies inside target: one that links
// out of it is passed over with a warning, as if it were not there, since what it
// names would be read as the project's settings. real_root is made at the first need
// when null.
py::object manage_file_inside(py::handle target, py::object real_root) {
    py::object search = L->Path(target).attr(N->rglob)("manage.py");
    while (PyObject *next = PyIter_Next(search.ptr())) {
        py::object found = py::reinterpret_steal<py::object>(next);
        if (!real_root) real_root = L->realpath(target);
        if (is_inside_root(found, real_root)) {
            call_method(search, N->close);
            return found;
        }
        warn_outside_root("%s: not taken as manage.py: it lies outside the project "
                          "root %s",
                          found, real_root);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    support::raise(L->ManageFileMissingError);
}

py::object get_manage_file(py::handle target) {
    return manage_file_inside(target, py::object());
}

py::object get_django_project_root(py::object target) {
    try {
        return py::str(get_manage_file(target).attr(N->parent));
    } catch (py::error_already_set &e) {
        if (!e.matches(L->ManageFileMissingError)) throw;
        return target;
    }
}

// Project modules that astroid cached while the settings transforms were in force
// leave its cache again: the settings module itself (cached under its own name) and
// what a star import in it loaded from its package would otherwise be handed, folded,
// to a later lint of those files. Library modules that inference loaded stay cached.
// Builds only add to the cache, so the new entries are its last ones.
bool is_in_package_of(const std::string &key, const std::string &name) {
    if (key == name) return true;
    std::string top = name.substr(0, name.find('.'));
    if (top.empty()) return false;
    return key == top || key.compare(0, top.size() + 1, top + ".") == 0;
}

void forget_modules_cached_since(py::handle cache, Py_ssize_t before,
                                 const std::string &name) {
    Py_ssize_t after = PyObject_Length(cache.ptr());
    if (after < 0) throw py::error_already_set();
    if (after <= before) return;
    py::list keys(py::reinterpret_borrow<py::object>(cache));
    for (size_t i = static_cast<size_t>(before); i < keys.size(); ++i) {
        auto key = support::as_string(keys[i]);
        if (key && is_in_package_of(*key, name) &&
            PyObject_DelItem(cache.ptr(), keys[i].ptr()) < 0)
            throw py::error_already_set();
    }
}

// Parses settings-like source with the os.path and environment folds in force, when the
// shims offer them; the block covers the parse alone.
py::object settings_parse(py::handle source, py::handle modname, py::handle path) {
    py::dict kwargs;
    if (modname) kwargs[N->modname] = modname;
    if (path) kwargs[N->path] = path;
    auto block_class = support::try_attr(L->shims, N->BuilderWithSettingsTransforms);
    if (!block_class)
        return L->AstroidBuilder().attr(N->string_build)(source, **kwargs);
    std::string name = modname ? support::as_string(modname).value_or("") : "";
    py::object cache = L->MANAGER.attr(N->astroid_cache);
    Py_ssize_t cached = PyObject_Length(cache.ptr());
    if (cached < 0) throw py::error_already_set();
    py::object block = (*block_class)();
    py::object exit = block.attr(N->exit);
    py::object builder = block.attr(N->enter)();
    py::object tree;
    try {
        tree = builder.attr(N->string_build)(source, **kwargs);
    } catch (py::error_already_set &e) {
        py::object type = py::reinterpret_borrow<py::object>(e.type());
        exit(type, e.value(), e.trace());
        forget_modules_cached_since(cache, cached, name);
        throw;
    }
    exit(py::none(), py::none(), py::none());
    forget_modules_cached_since(cache, cached, name);
    return tree;
}

// A project source that cannot be read (missing, no permission, not in the platform's
// encoding) or does not parse.
bool is_unreadable_source(py::error_already_set &e) {
    return e.matches(PyExc_OSError) || e.matches(PyExc_UnicodeDecodeError) ||
           e.matches(L->AstroidBuildingError);
}

// work(text of file), or None when the file cannot be read or does not parse. That is
// logged as a warning naming the file, and the caller goes on as for a source that
// lacks what it looks for: one broken settings module or manage.py ends no run, and
// the project's lint reports the syntax error on the file itself.
template <typename F>
py::object read_source_with(py::handle file, const char *consequence, F &&work) {
    try {
        return work(read_text(file));
    } catch (py::error_already_set &e) {
        if (!is_unreadable_source(e)) throw;
        support::warn_skipped(L->logger, file, consequence, e);
        return py::none();
    }
}

const char *const kSettingsNotRead = "not read as a settings module";
const char *const kSettingsOutsideRoot =
    "%s: not read as a settings module: it lies outside the project root %s";

// os.environ.setdefault("DJANGO_SETTINGS_MODULE", "proj.settings"): the value, or a
// null object for any other statement, including calls with too few arguments.
py::object settings_default_of(py::handle statement) {
    if (!support::isinstance(statement, L->Expr)) return py::object();
    py::list children(call_method(statement.attr(N->value), N->get_children));
    if (children.size() < 3) return py::object();
    if (!support::isinstance(children[0], L->Attribute)) return py::object();
    py::object attrname = children[0].attr(N->attrname);
    if (!py::reinterpret_borrow<py::object>(attrname).equal(N->setdefault))
        return py::object();
    // A key that is not a literal (a name, a call) is some other variable.
    auto key = support::try_attr(children[1], N->value);
    if (!key || !key->equal(N->DJANGO_SETTINGS_MODULE)) return py::object();
    return L->helpers.attr(N->astroid_node_to_value)(children[2]);
}

// The statements of manage.py that may name the settings module: the first branch of
// each module-level if (`if __name__ == "__main__":`) and the body of each module-level
// function (the `def main():` of current project templates), in source order.
struct ManageScan {
    py::object manage_path;
    py::list outer;
    py::list inner;
    size_t i = 0, j = 0;
    bool started = false;

    explicit ManageScan(py::object path) : manage_path(std::move(path)) {}

    py::object next() {
        if (!started) {
            started = true;
            py::object body = read_source_with(
                manage_path, "no settings module read from it",
                [](py::handle source) -> py::object {
                    return settings_parse(source, py::handle(), py::handle())
                        .attr(N->body);
                });
            if (!body.is_none()) outer = py::list(body);
        }
        while (true) {
            while (j < inner.size()) {
                py::object value = settings_default_of(inner[j++]);
                if (value) return value;
            }
            if (i >= outer.size()) return py::object();
            py::object statement = outer[i++];
            if (support::isinstance(statement, L->If) ||
                support::isinstance(statement, L->FunctionDef)) {
                inner = py::list(statement.attr(N->body));
                j = 0;
            }
        }
    }
};

py::object get_settings_modpath_from_manage(py::object manage_path) {
    auto scan = std::make_shared<ManageScan>(std::move(manage_path));
    return support::lazy_iterator([scan]() { return scan->next(); });
}

py::object get_settings_modpath(py::handle target) {
    try {
        ManageScan scan(get_manage_file(target));
        py::object first = scan.next();
        return first ? first : py::none();
    } catch (py::error_already_set &e) {
        if (e.matches(L->ManageFileMissingError) || e.matches(PyExc_ImportError) ||
            e.matches(PyExc_AttributeError) || e.matches(PyExc_StopIteration))
            return py::none();
        throw;
    }
}

py::object file_of_modpath(py::handle modpath) {
    return L->file_from_modpath(modpath.attr(N->split)(N->dot));
}

// The first settings module of manage.py whose file is found: its name as manage.py
// gives it, its file, the file's directory and the lazy search for every .py file in
// and below that directory. All null but `paths` (then []) when none is found.
struct SettingsCandidates {
    py::object modpath, file, dir, paths;
};

SettingsCandidates settings_candidates(py::handle manage_path) {
    ManageScan scan(py::reinterpret_borrow<py::object>(manage_path));
    for (py::object modpath = scan.next(); modpath; modpath = scan.next()) {
        py::object file = file_of_modpath(modpath);
        if (support::truthy(file)) {
            py::object dir = L->Path(file).attr(N->parent);
            return {modpath, file, dir, dir.attr(N->rglob)("*.py")};
        }
    }
    return {py::object(), py::object(), py::object(), py::list()};
}

py::object get_settings_paths_from_manage(py::handle manage_path) {
    return settings_candidates(manage_path).paths;
}

// The dotted name imports that very file under the current module search path. A name
// made from the first search-path entry that holds the file need not: with the
// repository root before manage.py's folder, repo/site/site/settings.py is
// site.site.settings by the first entry, while `site` imports the regular package
// repo/site/site from the later entry.
bool same_file(py::handle a, py::handle b) {
    return support::on_exception([&] { return support::truthy(L->samefile(a, b)); },
                                 false);
}

bool imports_file(py::handle modpath, py::handle file) {
    return support::on_exception(
        [&] {
            py::object found = file_of_modpath(modpath);
            return support::truthy(found) && same_file(found, file);
        },
        false);
}

// The name of a module below the directory of manage.py's settings module, made from
// the name manage.py gives: in proj/settings.py's directory `proj`, in a settings
// package proj/settings/__init__.py's own directory `proj.settings`.
py::object name_below_settings_module(const SettingsCandidates &found,
                                      py::handle path) {
    py::object package = found.modpath;
    if (!support::str_equals(L->Path(found.file).attr(N->stem), "__init__")) {
        py::list parts(found.modpath.attr(N->split)(N->dot));
        if (parts.size() < 2) return py::object(); // a top-level settings module
        parts.attr("pop")();
        package = N->dot.attr(support::name<"join">())(parts);
    }
    py::object relative =
        py::reinterpret_borrow<py::object>(path).attr("relative_to")(found.dir).attr(
            "with_suffix")("");
    py::list names;
    names.append(package);
    for (py::handle part : relative.attr("parts"))
        names.append(part);
    return N->dot.attr(support::name<"join">())(names);
}

// The dotted name of a settings file found below manage.py's settings module: the name
// manage.py gives for that module itself; for the others, the name of the first search
// entry that holds the file, or else the one made from manage.py's, whichever imports
// the file. Null, after a warning naming the file, when no name does: the run goes on
// without that module.
py::object settings_module_name(const SettingsCandidates &found, py::handle path,
                                py::handle manage_path) {
    py::object joined = manage_path.attr(N->parent).attr("__truediv__")(path);
    if (same_file(joined, found.file)) return found.modpath;
    py::object first_entry;
    try {
        first_entry = L->helpers.attr(N->module_path_from_file)(py::str(joined));
        if (imports_file(first_entry, joined)) return first_entry;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    py::object derived = name_below_settings_module(found, path);
    if (derived && imports_file(derived, joined)) return derived;
    L->logger.attr("warning")(
        "%s: not read as a settings module: no module name imports it along the "
        "module search path (tried %s)",
        py::str(joined),
        first_entry ? first_entry
        : derived   ? derived
                    : py::none());
    return py::object();
}

py::object get_settings_modpath_relative_to_manage_path(py::handle settings_path,
                                                        py::handle manage_path) {
    py::object joined = manage_path.attr(N->parent).attr("__truediv__")(settings_path);
    return L->helpers.attr(N->module_path_from_file)(py::str(joined));
}

bool contains_settings(py::handle text) {
    int r = PySequence_Contains(text.ptr(), py::str("settings").ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// settings.py, test_settings.py: named for it. In a settings package (config/settings/
// local.py) every module of the package's own directory is one. A settings module
// whose real path lies outside the project root is not read: a link in the repository
// or a name that manage.py gives may lead to any module of the machine, and its values
// would come back to the caller. When the settings module's directory lies outside,
// it is not searched at all.
struct SettingsFiles {
    py::object target, real_root;
    py::object manage_path, package_dir, paths;
    SettingsCandidates found;
    bool started = false;

    SettingsFiles(py::object t, py::object real)
        : target(std::move(t)), real_root(std::move(real)) {}

    py::object next() {
        if (!started) {
            started = true;
            try {
                if (!real_root) real_root = L->realpath(target);
                manage_path = manage_file_inside(target, real_root);
                found = settings_candidates(manage_path);
                if (found.dir && !is_inside_root(found.dir, real_root)) {
                    warn_outside_root(kSettingsOutsideRoot, found.file, real_root);
                    return py::object();
                }
                if (found.dir && contains_settings(found.dir.attr(N->name)))
                    package_dir = found.dir;
                paths = py::iter(found.paths);
            } catch (py::error_already_set &e) {
                // The settings module manage.py names is not found along the module
                // search path: the lint goes on without settings, and says why.
                if (e.matches(PyExc_ImportError) && manage_path)
                    support::warn_skipped(L->logger, manage_path,
                                          "its settings module is not read", e);
                if (e.matches(L->ManageFileMissingError) ||
                    e.matches(PyExc_ImportError) || e.matches(PyExc_AttributeError))
                    return py::object();
                throw;
            }
        }
        if (!paths) return py::object();
        while (PyObject *raw = PyIter_Next(paths.ptr())) {
            py::object path = py::reinterpret_steal<py::object>(raw);
            bool named =
                contains_settings(path.attr(N->name)) ||
                (package_dir && py::object(path.attr(N->parent)).equal(package_dir));
            if (!named || !is_importable_python_file(path)) continue;
            if (!is_inside_root(path, real_root)) {
                warn_outside_root(kSettingsOutsideRoot, path, real_root);
                continue;
            }
            py::object modpath = settings_module_name(found, path, manage_path);
            if (modpath) return modpath;
        }
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object();
    }
};

py::object get_settings_files(py::object target) {
    auto files = std::make_shared<SettingsFiles>(std::move(target), py::object());
    return support::lazy_iterator([files]() { return files->next(); });
}

// --- Settings values
// ---------------------------------------------------------------------

bool mentions(py::handle text, py::handle name) {
    int r = PySequence_Contains(text.ptr(), name.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// Only text counts: an import or a call bound to ROOT_URLCONF is no URL configuration.
py::object get_root_urlconf_from_source(py::handle source, py::handle path) {
    py::object tree = settings_parse(source, py::str("settings"), path);
    if (!mentions(tree, N->ROOT_URLCONF)) return py::none();
    try {
        py::object value =
            L->helpers.attr(N->astroid_node_to_value)(tree[N->ROOT_URLCONF]);
        return PyUnicode_Check(value.ptr()) ? value : py::none();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_AttributeError)) throw;
        return py::none();
    }
}

// An entry the module search cannot find is a settings module the run goes on
// without, as one that cannot be read: a warning names it, and a later entry may still
// give the value.
py::object get_root_urlconf(py::handle settings_files) {
    for (py::handle entry : settings_files) {
        py::object file;
        try {
            file = file_of_modpath(entry);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ImportError)) throw;
            support::warn_skipped(L->logger, entry, kSettingsNotRead, e);
            continue;
        }
        py::object value = read_source_with(
            file, kSettingsNotRead, [&file](py::handle source) -> py::object {
                // Only a module that mentions the name is parsed.
                if (!support::truthy(source) || !mentions(source, N->ROOT_URLCONF))
                    return py::none();
                return get_root_urlconf_from_source(source, file);
            });
        if (support::truthy(value)) return value;
    }
    return py::none();
}

// The file that the from-import `node` of `tree` loads, found as astroid's import of
// it finds it: the name made relative to the module, and for an absolute import the
// name as written when that fails. Not a text for a module without a file (built in,
// a namespace package); raises astroid's building error when there is no such module.
py::object imported_file(py::handle tree, py::handle node) {
    using support::name;
    py::object modname = node.attr(name<"modname">());
    py::object level = node.attr(name<"level">());
    bool relative_only = PyLong_Check(level.ptr()) && PyLong_AsLong(level.ptr()) >= 1;
    py::object absolute =
        tree.attr(name<"relative_to_absolute_name">())(modname, level);
    py::object find = L->MANAGER.attr(name<"file_from_module_name">());
    py::object spec;
    try {
        spec = find(absolute, py::none());
    } catch (py::error_already_set &e) {
        if (relative_only || !e.matches(L->AstroidBuildingError)) throw;
        spec = find(modname, py::none());
    }
    return spec.attr(name<"location">());
}

// A module bound through `from .base import STATIC_URL` is followed once; an import
// that cannot be resolved means this module gives no value. With a project root (not
// null), so does a module whose file lies outside it: it is not imported.
py::object static_url_of(py::handle source, py::object modname, py::object path,
                         py::handle real_root) {
    py::object tree = settings_parse(source, modname, path);
    if (!mentions(tree, N->STATIC_URL)) return py::none();
    py::object node = tree[N->STATIC_URL];
    if (support::isinstance(node, L->ImportFrom)) {
        try {
            if (real_root) {
                py::object file = imported_file(tree, node);
                if (PyUnicode_Check(file.ptr()) && !is_inside_root(file, real_root)) {
                    warn_outside_root("%s: STATIC_URL not read from it: it lies "
                                      "outside the project root %s",
                                      file, real_root);
                    return py::none();
                }
            }
            node = call_method(node, N->do_import_module)[N->STATIC_URL];
        } catch (py::error_already_set &e) {
            if (e.matches(L->AstroidBuildingError) || e.matches(PyExc_KeyError))
                return py::none();
            throw;
        }
    }
    py::object value = L->helpers.attr(N->astroid_node_to_value)(node);
    return PyUnicode_Check(value.ptr()) ? value : py::none();
}

py::object get_static_url_from_source(py::handle source, py::object modname,
                                      py::object path) {
    return static_url_of(source, std::move(modname), std::move(path), py::handle());
}

// The module name astroid resolves relative imports against: a package is named
// without its __init__.
py::object module_name_of(py::handle entry) {
    std::string name = py::str(entry);
    const std::string init = ".__init__";
    if (name.size() > init.size() &&
        name.compare(name.size() - init.size(), init.size(), init) == 0)
        name.resize(name.size() - init.size());
    return py::str(name);
}

py::object get_static_url_setting(py::handle project_root, py::object default_) {
    try {
        py::object real_root = L->realpath(project_root);
        SettingsFiles entries(support::borrow(project_root), real_root);
        for (py::object entry = entries.next(); entry; entry = entries.next()) {
            py::object file = file_of_modpath(entry);
            py::object value =
                read_source_with(file, kSettingsNotRead, [&](py::handle source) {
                    return static_url_of(source, module_name_of(entry), file,
                                         real_root);
                });
            if (support::truthy(value)) return value;
        }
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        support::log_exception(L->logger, e.value(), e, true);
    }
    return default_;
}

// --- Code style
// ------------------------------------------------------------------------

// One key of [tool.black], converted; a value of the wrong kind (line-length = "eighty"
// or [1, 2], target-version = ["py99"]) is logged and the key gets what it gets when it
// is not set, so the other key still applies and suggestions are still made.
template <typename Convert>
py::object style_value(py::handle pyproject, const char *key, py::handle settings,
                       py::handle setting, py::object fallback, py::handle shown,
                       Convert &&convert) {
    py::object value = settings.attr(N->get)(setting, py::none());
    if (value.is_none()) return fallback;
    try {
        return convert(value);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        L->logger.attr(support::name<"warning">())(
            "%s: [tool.black] %s = %r is not a value black takes (%s: %s); %s = %s "
            "is used instead",
            pyproject, key, value,
            py::type::handle_of(e.value()).attr(support::name<"__name__">()),
            py::str(e.value()), key, shown);
        return fallback;
    }
}

py::dict get_code_style(py::handle lookup_path) {
    py::object context = L->FakeContext();
    py::object pyproject = find_pyproject_toml(lookup_path);
    if (support::truthy(pyproject)) {
        try {
            L->black.attr(N->read_pyproject_toml)("ctx"_a = context,
                                                  "param"_a = L->FakeParameter(),
                                                  "value"_a = pyproject);
        } catch (py::error_already_set &e) {
            // black reports a file it cannot read or parse, and a table it rejects, as
            // click errors: the project then has black's defaults.
            if (!e.matches(L->ClickException)) throw;
            L->logger.attr(support::name<"warning">())(
                "%s: [tool.black] not read (%s); black's defaults are used", pyproject,
                e.value().attr(support::name<"format_message">())());
        }
    }
    py::object settings = context.attr(N->default_map);
    py::object line_length = style_value(
        pyproject, "line-length", settings, N->line_length,
        L->black.attr(N->DEFAULT_LINE_LENGTH),
        py::str(L->black.attr(N->DEFAULT_LINE_LENGTH)),
        [](py::handle length) { return support::steal(PyNumber_Long(length.ptr())); });
    py::object versions = L->black.attr(N->TargetVersion);
    py::list fallback;
    fallback.append(versions[py::str("PY36")]);
    py::object target_versions =
        style_value(pyproject, "target-version", settings, N->target_version, fallback,
                    py::str("[\"py36\"]"), [&](py::handle names) {
                        py::list members;
                        for (py::handle name : names)
                            members.append(versions[call_method(name, N->upper)]);
                        return py::object(members);
                    });
    py::dict style;
    style["line_length"] = line_length;
    style["target_versions"] = target_versions;
    return style;
}

void fake_context_init(py::handle self) {
    py::setattr(self, N->default_map, py::dict());
}
void fake_parameter_init(py::handle) {}

} // namespace

PYBIND11_MODULE(meta, m) {
    support::init_module(m);

    auto *libs = new Libs();
    support::import("collections", "deque");
    libs->Path = support::import("pathlib", "Path");
    libs->os = support::import("os");
    py::handle sys = support::import("sys");
    libs->fnmatch = support::import("fnmatch", "fnmatch");
    support::import("logging");
    support::import("tomllib");
    support::import("astroid");
    support::import("black");
    support::import("click");
    libs->helpers = support::import("vorlane.staticanalysis.helpers");
    libs->shims = support::import("vorlane.staticanalysis.shims");

    libs->scandir = support::import("os", "scandir");
    libs->os_stat = support::import("os", "stat");
    libs->realpath = support::import("os.path", "realpath");
    libs->fsdecode = support::import("os", "fsdecode");
    libs->samefile = support::import("os.path", "samefile");
    libs->islink = support::import("os.path", "islink");
    libs->translate = support::import("fnmatch", "translate");
    libs->re_compile = support::import("re", "compile");
    libs->open = support::import("builtins", "open");
    libs->FileNotFoundError = PyExc_FileNotFoundError;
    libs->NotADirectoryError = PyExc_NotADirectoryError;
    libs->toml_load = support::import("tomllib", "load");
    libs->TOMLDecodeError = support::import("tomllib", "TOMLDecodeError");
    libs->astroid = support::import("astroid");
    libs->MANAGER = support::import("astroid", "MANAGER");
    libs->If = support::import("astroid", "If");
    libs->Expr = support::import("astroid", "Expr");
    libs->Attribute = support::import("astroid", "Attribute");
    libs->FunctionDef = support::import("astroid", "FunctionDef");
    libs->ImportFrom = support::import("astroid", "ImportFrom");
    libs->AstroidBuilder = support::import("astroid.builder", "AstroidBuilder");
    libs->AstroidBuildingError =
        support::import("astroid.exceptions", "AstroidBuildingError");
    libs->file_from_modpath = support::import("astroid.modutils", "file_from_modpath");
    libs->black = support::import("black");
    libs->ClickException = support::import("click", "ClickException");
    libs->sep = py::str(libs->os.attr("sep"));
    libs->posix = py::str(libs->os.attr("name")).cast<std::string>() == "posix";
    libs->prefix = py::object(sys.attr("prefix")).release();
    libs->prefix_bytes = fs_bytes(libs->prefix);
    libs->module = m;
    L = libs;

    auto *names = new Names();
    auto in = [](const char *s) { return support::intern(s); };
    names->name = in("name");
    names->path = in("path");
    names->is_symlink = in("is_symlink");
    names->is_dir = in("is_dir");
    names->is_file = in("is_file");
    names->stat = in("stat");
    names->st_size = in("st_size");
    names->st_mode = in("st_mode");
    names->close = in("close");
    names->read = in("read");
    names->isEnabledFor = in("isEnabledFor");
    names->debug = in("debug");
    names->get = in("get");
    names->union_ = in("union");
    names->ignore = in("ignore");
    names->directories = in("directories");
    names->default_ignored_modules = in("default_ignored_modules");
    names->resolve = in("resolve");
    names->rglob = in("rglob");
    names->parent = in("parent");
    names->stem = in("stem");
    names->split = in("split");
    names->dot = in(".");
    names->body = in("body");
    names->value = in("value");
    names->get_children = in("get_children");
    names->attrname = in("attrname");
    names->setdefault = in("setdefault");
    names->DJANGO_SETTINGS_MODULE = in("DJANGO_SETTINGS_MODULE");
    names->string_build = in("string_build");
    names->modname = in("modname");
    names->enter = in("__enter__");
    names->exit = in("__exit__");
    names->BuilderWithSettingsTransforms = in("BuilderWithSettingsTransforms");
    names->astroid_node_to_value = in("astroid_node_to_value");
    names->module_path_from_file = in("module_path_from_file");
    names->do_import_module = in("do_import_module");
    names->ROOT_URLCONF = in("ROOT_URLCONF");
    names->STATIC_URL = in("STATIC_URL");
    names->default_map = in("default_map");
    names->line_length = in("line_length");
    names->target_version = in("target_version");
    names->read_pyproject_toml = in("read_pyproject_toml");
    names->DEFAULT_LINE_LENGTH = in("DEFAULT_LINE_LENGTH");
    names->TargetVersion = in("TargetVersion");
    names->upper = in("upper");
    names->tool = in("tool");
    names->vorlane = in("vorlane");
    names->items = in("items");
    names->match = in("match");
    names->astroid_cache = in("astroid_cache");
    N = names;

    libs->logger = support::module_logger(m).release();
    py::set defaults;
    defaults.add(".git");
    defaults.add(".tox");
    defaults.add(libs->prefix);
    m.attr("default_ignored_modules") = defaults;
    py::handle default_set = defaults.inc_ref();
    py::handle no_ignore = py::set().release(); // shared by every call, never changed

    py::handle click_context = support::import("click", "Context");
    py::handle click_parameter = support::import("click", "Parameter");
    libs->FakeContext =
        support::make_class(
            m, "FakeContext", py::make_tuple(click_context), py::dict(),
            "A fake click Context for when calling functions that need it.")
            .release();
    support::def_method(libs->FakeContext, "__init__", &fake_context_init);
    libs->FakeParameter =
        support::make_class(
            m, "FakeParameter", py::make_tuple(click_parameter), py::dict(),
            "A fake click Parameter for when calling functions that need it.")
            .release();
    support::def_method(libs->FakeParameter, "__init__", &fake_parameter_init);
    libs->ManageFileMissingError =
        support::make_exception(m, "ManageFileMissingError", PyExc_OSError);

    // Files to check
    m.def("get_files_to_check_in_project", &get_files_to_check_in_project,
          py::arg("directories"), py::arg("ignore") = no_ignore,
          py::arg("project_root") = py::none());
    m.def("scan_trees", &scan_trees, py::arg("directories"), py::arg("ignore"));
    m.def("scan_tree", &scan_tree, py::arg("directory"), py::arg("ignore"));
    m.def("should_ignore_path", &should_ignore_path, py::arg("path"),
          py::arg("ignored_modules") = default_set);
    m.def("is_owner_ignored", &is_owner_ignored, py::arg("path"),
          py::arg("ignored_modules"));
    m.def("is_inside_root", &is_inside_root, py::arg("path"), py::arg("real_root"));

    // Project configuration
    m.def("get_toml_config", &get_toml_config, py::arg("project_root"));
    m.def("find_pyproject_toml", &find_pyproject_toml, py::arg("project_root"));
    m.def("parse_pyproject_toml", &parse_pyproject_toml, py::arg("path_config"));

    // Manage file and settings modules
    m.def("get_manage_file", &get_manage_file, py::arg("target"));
    m.def("get_django_project_root", &get_django_project_root, py::arg("target"));
    m.def("get_settings_modpath_from_manage", &get_settings_modpath_from_manage,
          py::arg("manage_path"));
    m.def("get_settings_modpath", &get_settings_modpath, py::arg("target"));
    m.def("get_settings_paths_from_manage", &get_settings_paths_from_manage,
          py::arg("manage_path"));
    m.def("is_importable_python_file", &is_importable_python_file, py::arg("path"));
    m.def("get_settings_files", &get_settings_files, py::arg("target"));
    m.def("get_settings_modpath_relative_to_manage_path",
          &get_settings_modpath_relative_to_manage_path, py::arg("settings_path"),
          py::arg("manage_path"));

    // Settings values
    m.def("get_root_urlconf", &get_root_urlconf, py::arg("settings_files"));
    m.def("get_root_urlconf_from_source", &get_root_urlconf_from_source,
          py::arg("source"), py::arg("path"));
    m.def("get_static_url_setting", &get_static_url_setting, py::arg("project_root"),
          py::arg("default") = "/static/");
    m.def("get_static_url_from_source", &get_static_url_from_source, py::arg("source"),
          py::arg("modname") = "", py::arg("path") = py::none());

    // Code style
    m.def("get_code_style", &get_code_style, py::arg("lookup_path"));

    // What astroid may keep between calls (freshness.cpp)
    m.def("forget_stale_modules", &freshness::forget_stale_modules,
          py::arg("project_root") = py::none());
    m.def("release_call_leftovers", &freshness::release_call_leftovers,
          py::arg("text_trees"), py::arg("started"));
}
