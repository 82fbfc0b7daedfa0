// Linter core: the pylint linters for project files and snippets, the template linter,
// the reporter that turns pylint messages into finding records, and the entry points.
#include "support.h"

#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using namespace pybind11::literals;

// Imports and classes, made once at load and never released (interpreter exit order).
struct Libs {
    py::handle module; // this module: registry lists, siblings, Progress and the
                       // module's own functions and classes are read through it at
                       // call time, so tests can patch them
    py::handle builtins_super, PyLinter, JSONReporter, TokenInfo, COMMENT, Path,
        realpath, SpecifierSet, FileItem, Name, InferenceError, AstroidSyntaxError,
        HIGH;
    py::handle gc_get_threshold, gc_set_threshold;
    py::handle Linter, CodeLinter, Reporter, HtmlLinter, StringFormattingIgnored;
    py::handle empty_config_python, empty_config_linter, empty_config_messages;
    py::handle candidate_versions; // tuple of the release texts a meta record filters
};
const Libs *L = nullptr;

struct Names {
    py::handle Progress;
    py::handle logger;
    py::handle python_checker_classes;
    py::handle html_checker_classes;
    py::handle advicetexts;
    py::handle meta;
    py::handle dependencies;
    py::handle helpers;
    py::handle render;
    py::handle debug;
    py::handle error;
    py::handle progress;
    py::handle progress_task;
    py::handle add_task;
    py::handle update;
    py::handle messages;
    py::handle reporter;
    py::handle set_option;
    py::handle register_checker;
    py::handle msgs_store;
    py::handle msgs_by_category;
    py::handle config;
    py::handle settings_files;
    py::handle absolute_paths;
    py::handle check;
    py::handle process_tokens;
    py::handle set_current_module;
    py::handle replace_;
    py::handle type;
    py::handle string;
    py::handle line;
    py::handle category;
    py::handle module;
    py::handle obj;
    py::handle column;
    py::handle path;
    py::handle symbol;
    py::handle msg;
    py::handle msg_id;
    py::handle abspath;
    py::handle message;
    py::handle message_id;
    py::handle fatal;
    py::handle build_message;
    py::handle vorlane_provided_code;
    py::handle tree;
    py::handle infer;
    py::handle build_atok;
    py::handle add_message;
    py::handle get_toml_config;
    py::handle resolve_django_version;
    py::handle get_settings_files;
    py::handle get_root_urlconf;
    py::handle render_message_centric_advice;
    py::handle resolve;
    py::handle filter;
    py::handle items;
    py::handle version;
    py::handle specs;
    py::handle directories;
    py::handle META;
    py::handle files_or_modules;
    py::handle enter;
    py::handle exit;
    py::handle dict_;
    py::handle lineno;
    py::handle offset;
    py::handle error_;
    py::handle R;
    py::handle W;
    // The module's own classes and functions, looked up at call time like any global.
    py::handle Linter;
    py::handle CodeLinter;
    py::handle Reporter;
    py::handle HtmlLinter;
    py::handle create_linter;
    py::handle get_all_message_codes;
    py::handle get_python_messages;
    py::handle get_html_messages;
    py::handle get_meta_messages;
    py::handle check_names;
    py::handle dunder, dot_py, dot_html, empty, slash, dot;
};
const Names *N = nullptr;

const char *const kSyntaxErrorText = "Syntax Error";
const char *const kKeyword = "vorlane";
const char *const kKeywordColon = "vorlane:";
const char *const kPylintColon = "pylint:";

// --- Small utilities -----------------------------------------------------------------

py::object module_attr(py::handle name) {
    return L->module.attr(name);
}

bool equals(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::object sibling(py::handle module_name, py::handle function) {
    return module_attr(module_name).attr(function);
}

py::object logger() {
    return module_attr(N->logger);
}

// super(cls, self).<name>
py::object super_attr(py::handle cls, py::handle self, py::handle name) {
    return L->builtins_super(cls, self).attr(name);
}

// Compared on the str itself: a path of undecodable file-name bytes holds surrogates
// that have no UTF-8 form, and must match all the same.
bool str_tailmatch(py::handle text, py::handle part, int direction) {
    if (!PyUnicode_Check(text.ptr())) return false;
    Py_ssize_t r =
        PyUnicode_Tailmatch(text.ptr(), part.ptr(), 0, PY_SSIZE_T_MAX, direction);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool str_endswith(py::handle text, py::handle suffix) {
    return str_tailmatch(text, suffix, 1);
}

bool starts_with_dunder(py::handle text) {
    return str_tailmatch(text, N->dunder, -1);
}

py::object str_replace(py::handle text, py::handle from, py::handle to) {
    return support::steal(PyUnicode_Replace(text.ptr(), from.ptr(), to.ptr(), -1));
}

void replace_all(std::string &text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

py::object call_with(py::handle fn, py::handle args, py::handle kwargs) {
    PyObject *result = PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr());
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// Logs every fatal record: they stand for files that could not be checked at all.
void log_fatal_records(py::handle records) {
    py::object log = logger();
    for (py::handle record : records) {
        if (!PyDict_Check(record.ptr())) continue;
        PyObject *type = PyDict_GetItemWithError(record.ptr(), N->type.ptr());
        if (!type && PyErr_Occurred()) throw py::error_already_set();
        if (type && equals(type, N->fatal))
            log.attr(N->error)("Fatal message: %s", record);
    }
}

bool is_fatal(py::handle record) {
    PyObject *type = PyDict_GetItemWithError(record.ptr(), N->type.ptr());
    if (!type && PyErr_Occurred()) throw py::error_already_set();
    return type && equals(type, N->fatal);
}

// --- Text type that ignores %-formatting ---------------------------------------------

// pylint renders a message with `text % args`; the syntax-error entry keeps its own
// text.
py::object string_mod(py::object self, py::handle) {
    return self;
}

// --- Cyclic garbage collector --------------------------------------------------------

// astroid keeps every tree it builds, and what inference derives from them, for the
// life of the process: millions of long-lived objects on a large project. Under the
// default thresholds the collector rescans all of them every few thousand allocations
// and frees next to nothing (a third of a large project's lint). While a project or a
// snippet is linted (reading settings included) collections are made rare, by the
// module's COLLECTOR_THRESHOLDS (None leaves the collector alone), never below the
// caller's own thresholds; a caller who turned collection off (a first threshold of 0)
// keeps it off. pylint's worker processes, forked inside the check, inherit the same
// thresholds. The caller's thresholds come back however the run ends.
class RaisedCollectorThresholds {
public:
    RaisedCollectorThresholds() {
        py::object wanted = module_attr(support::name<"COLLECTOR_THRESHOLDS">());
        if (wanted.is_none()) return;
        py::tuple current(L->gc_get_threshold());
        if (!support::truthy(current[0])) return;
        py::list raised;
        size_t index = 0;
        for (py::handle threshold : wanted) {
            py::object own = index < current.size() ? py::object(current[index])
                                                    : py::object(py::int_(0));
            raised.append(own > threshold ? own : support::borrow(threshold));
            ++index;
        }
        L->gc_set_threshold(*raised);
        saved_ = std::move(current);
    }
    // Called on every way out of the check, an error included.
    void restore() {
        if (saved_) L->gc_set_threshold(*saved_);
        saved_ = py::object();
    }

private:
    py::object saved_;
};

// body() with the collector's thresholds raised for its length.
template <class Body> py::object with_rare_collections(Body body) {
    RaisedCollectorThresholds collector;
    try {
        py::object result = body();
        collector.restore();
        return result;
    } catch (...) {
        collector.restore();
        throw;
    }
}

// --- Linter --------------------------------------------------------------------------

// The suppression keyword of this product works as pylint's in comments.
py::object linter_process_tokens(py::handle self, py::handle tokens) {
    py::object sequence = py::reinterpret_borrow<py::object>(tokens);
    py::object items = py::reinterpret_steal<py::object>(
        PySequence_Fast(tokens.ptr(), "tokens must be a sequence"));
    if (!items) throw py::error_already_set();
    // The size is read anew each turn: a list subclass may change its length when an
    // item is set.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i) {
        py::handle token = PySequence_Fast_GET_ITEM(items.ptr(), i);
        py::object type, string;
        // tokenize's own tuples are read by position; anything else by attribute.
        if (Py_TYPE(token.ptr()) ==
            reinterpret_cast<PyTypeObject *>(L->TokenInfo.ptr())) {
            type = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(token.ptr(), 0));
            string =
                py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(token.ptr(), 1));
        } else {
            type = token.attr(N->type);
            string = token.attr(N->string);
        }
        if (!equals(type, L->COMMENT)) continue;
        auto text = support::as_string(string);
        if (!text || text->find(kKeyword) == std::string::npos) continue;
        std::string new_string = *text;
        replace_all(new_string, kKeywordColon, kPylintColon);
        py::object line = token.attr(N->line);
        py::object new_line;
        if (auto line_text = support::as_string(line)) {
            replace_all(*line_text, kKeywordColon, kPylintColon);
            new_line = py::str(*line_text);
        } else {
            new_line = line.attr("replace")(kKeywordColon, kPylintColon);
        }
        py::object replaced = token.attr(N->replace_)("string"_a = py::str(new_string),
                                                      "line"_a = new_line);
        if (PySequence_SetItem(sequence.ptr(), i, replaced.ptr()) < 0)
            throw py::error_already_set();
    }
    return super_attr(L->Linter, self, N->process_tokens)(tokens);
}

// Reports source that does not parse (or tokenize) the way pylint reports a file that
// does not parse: one syntax-error record at the row where reading failed, without the
// crash report pylint writes for an unexpected error.
py::object report_syntax_error(py::handle self, py::handle error) {
    py::object line = support::attr_or_none(error, N->lineno);
    py::object column = support::attr_or_none(error, N->offset);
    // tokenize's TokenError carries (message, (row, column)) as its arguments.
    py::object args = support::attr_or_none(error, support::name<"args">());
    if (line.is_none() && PyTuple_Check(args.ptr()) &&
        PyTuple_GET_SIZE(args.ptr()) == 2) {
        PyObject *where = PyTuple_GET_ITEM(args.ptr(), 1);
        if (PyTuple_Check(where) && PyTuple_GET_SIZE(where) == 2) {
            line = support::borrow(PyTuple_GET_ITEM(where, 0));
            column = support::borrow(PyTuple_GET_ITEM(where, 1));
        }
    }
    if (line.is_none()) line = py::int_(0);
    py::object text =
        support::steal(PyUnicode_FromFormat("Parsing failed: '%S'", error.ptr()));
    self.attr(N->add_message)("syntax-error", "line"_a = line, "col_offset"_a = column,
                              "args"_a = text, "confidence"_a = L->HIGH);
    return py::none();
}

// The bytes of a module's file with every line end made "\n", when the file ends a line
// with a lone "\r"; null for any other file (the common case: pylint reads it itself).
py::object universal_newline_bytes(py::handle node) {
    using support::name;
    py::object file = support::attr_or_none(node, name<"file">());
    if (!PyUnicode_Check(file.ptr()) ||
        !support::attr_or_none(node, name<"file_bytes">()).is_none())
        return py::object();
    py::object data;
    try {
        data = L->Path(file).attr(name<"read_bytes">())();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
        return py::object(); // astroid has read it; pylint reports what it meets
    }
    if (!PyBytes_Check(data.ptr())) return py::object();
    const char *bytes = PyBytes_AS_STRING(data.ptr());
    Py_ssize_t size = PyBytes_GET_SIZE(data.ptr());
    bool lone = false;
    for (const char *at = static_cast<const char *>(std::memchr(bytes, '\r', size));
         at && !lone; at = static_cast<const char *>(
                          std::memchr(at + 1, '\r', size - (at + 1 - bytes))))
        lone = at + 1 == bytes + size || at[1] != '\n';
    if (!lone) return py::object();
    std::string text;
    text.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (bytes[i] != '\r') {
            text += bytes[i];
        } else {
            text += '\n';
            if (i + 1 < size && bytes[i + 1] == '\n') ++i;
        }
    }
    return py::bytes(text);
}

// astroid reads a file as Python does, with universal newlines, while pylint reads its
// tokens from the file's bytes with the tokenize module, which ends a line at "\n"
// only: in a file that also ends lines with a lone "\r" the tokens' rows miss the
// tree's, tokenize may fail (an IndentationError), and suppression comments would be
// read on other rows. For the check of such a file pylint tokenises its bytes with
// every line end made "\n", so the file is linted as Python reads it. A file that still
// fails to tokenize is reported as pylint reports a file that does not parse (pylint
// would report a crash of its own with a crash report file), with a warning naming it.
py::object linter_check_astroid_module(py::handle self, py::handle node,
                                       py::handle walker, py::handle rawcheckers,
                                       py::handle tokencheckers) {
    using support::name;
    py::object normalised = universal_newline_bytes(node);
    if (normalised) py::setattr(node, name<"file_bytes">(), normalised);
    try {
        py::object result =
            super_attr(L->Linter, self, name<"_check_astroid_module">())(
                node, walker, rawcheckers, tokencheckers);
        if (normalised) py::setattr(node, name<"file_bytes">(), py::none());
        return result;
    } catch (py::error_already_set &e) {
        if (normalised) py::setattr(node, name<"file_bytes">(), py::none());
        if (!e.matches(PyExc_SyntaxError)) throw;
        support::warn_skipped(logger(), node.attr(name<"file">()), "not checked", e);
        return report_syntax_error(self, e.value());
    }
}

// The base check inside a progress display; the display is left however check ends.
py::object linter_check_with_progress(py::handle self, py::object files_or_modules,
                                      py::args args, py::kwargs kwargs) {
    py::object manager = module_attr(N->Progress)();
    py::object leave = manager.attr(N->exit);
    py::object display = manager.attr(N->enter)();
    try {
        py::setattr(self, N->progress, display);
        Py_ssize_t count = PyObject_Length(files_or_modules.ptr());
        if (count < 0) throw py::error_already_set();
        std::string description =
            "[blue]Analyzing " + std::to_string(count) + " files... ";
        py::object task = display.attr(N->add_task)(description, "total"_a = count);
        py::setattr(self, N->progress_task, task);
        py::dict keywords;
        keywords[N->files_or_modules] = files_or_modules;
        for (auto item : kwargs) {
            if (PyDict_Contains(keywords.ptr(), item.first.ptr()) == 1)
                support::raise(PyExc_TypeError,
                               "check() got multiple values for keyword argument "
                               "'files_or_modules'");
            keywords[item.first] = item.second;
        }
        call_with(super_attr(L->Linter, self, N->check), args, keywords);
    } catch (py::error_already_set &e) {
        // The with-statement's protocol: the display may not swallow the error
        // unless its __exit__ says so.
        py::handle trace = e.trace() ? e.trace() : py::none();
        if (support::truthy(leave(e.type(), e.value(), trace))) return py::none();
        throw;
    }
    leave(py::none(), py::none(), py::none());
    return py::none();
}

py::object linter_check(py::handle self, py::object files_or_modules, py::args args,
                        py::kwargs kwargs) {
    return with_rare_collections([&] {
        return linter_check_with_progress(self, files_or_modules, args, kwargs);
    });
}

py::object linter_set_current_module(py::handle self, py::handle modname,
                                     py::handle filepath) {
    py::handle shown = support::truthy(filepath) ? filepath : modname;
    logger().attr(N->debug)("Analyzing %s", shown);
    super_attr(L->Linter, self, N->set_current_module)(modname, filepath);
    py::object display = self.attr(N->progress);
    // A copy of the linter in one of pylint's worker processes has no display: the
    // parent process shows the progress.
    if (!display.is_none())
        display.attr(N->update)(self.attr(N->progress_task), "advance"_a = 1);
    return py::none();
}

// pylint's worker processes get a pickled copy of the linter. A live display (threads,
// consoles) cannot travel, nor can the reporter's output stream when the caller has
// replaced sys.stdout; a worker installs a reporter of its own and sends its messages
// back to this one, so the copy carries neither.
py::object linter_getstate(py::handle self) {
    PyObject *copy = PyDict_Copy(self.attr(N->dict_).ptr());
    if (!copy) throw py::error_already_set();
    py::dict state = py::reinterpret_steal<py::dict>(copy);
    for (py::handle name : {N->progress, N->progress_task, N->reporter})
        if (state.contains(name)) state[name] = py::none();
    return std::move(state);
}

// The base message table with its syntax-error entry carrying a fixed text; pylint's
// own items after the first three (the message scope) are kept.
py::dict linter_msgs() {
    py::dict table;
    py::object base = L->PyLinter.attr("msgs");
    for (auto item : base.attr(N->items)()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        table[pair[0]] = pair[1];
    }
    py::list entry;
    entry.append(L->StringFormattingIgnored(kSyntaxErrorText));
    entry.append("syntax-error");
    entry.append("Used when a syntax error is raised for a module.");
    py::str code("E0001");
    if (table.contains(code)) {
        py::object old = table[code];
        Py_ssize_t size = PyObject_Length(old.ptr());
        if (size < 0) throw py::error_already_set();
        for (Py_ssize_t i = 3; i < size; ++i)
            entry.append(old[py::int_(i)]);
    }
    table[code] = py::tuple(entry);
    return table;
}

// --- Reporter ------------------------------------------------------------------------

py::object build_backwards_compatibile_pylint_message(py::handle message) {
    if (PyDict_Check(message.ptr())) {
        PyObject *copy = PyDict_Copy(message.ptr());
        if (!copy) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(copy);
    }
    py::dict record;
    record[N->type] = message.attr(N->category);
    record[N->module] = message.attr(N->module);
    record[N->obj] = message.attr(N->obj);
    record[N->line] = message.attr(N->line);
    record[N->column] = message.attr(N->column);
    record[N->path] = message.attr(N->path);
    record[N->symbol] = message.attr(N->symbol);
    record[N->message] = message.attr(N->msg);
    record[N->message_id] = message.attr(N->msg_id);
    return std::move(record);
}

// Beside each record the reporter keeps pylint's absolute path of the message: the
// record's own path is relative to the working directory by a plain text replacement,
// which cannot be undone reliably.
py::object reporter_absolute_paths(py::handle self) {
    if (auto paths = support::try_attr(self, N->absolute_paths)) return *paths;
    py::list paths;
    py::setattr(self, N->absolute_paths, paths);
    return std::move(paths);
}

py::object reporter_handle_message(py::handle self, py::handle msg) {
    py::object record = self.attr(N->build_message)(msg);
    py::object paths = reporter_absolute_paths(self);
    self.attr(N->messages).attr("append")(record);
    py::object absolute =
        PyDict_Check(msg.ptr()) ? py::none() : support::attr_or_none(msg, N->abspath);
    paths.attr("append")(absolute);
    return py::none();
}

// The path under which a record is looked up: pylint's absolute one where known.
py::object record_source_path(py::handle record, py::handle absolute_paths,
                              Py_ssize_t index) {
    if (absolute_paths && index < PyList_GET_SIZE(absolute_paths.ptr())) {
        py::handle absolute = PyList_GET_ITEM(absolute_paths.ptr(), index);
        if (support::truthy(absolute))
            return py::reinterpret_borrow<py::object>(absolute);
    }
    return record[N->path];
}

// --- Linter assembly -----------------------------------------------------------------

py::dict option(py::object default_value, const char *type, const char *metavar,
                const char *help) {
    py::dict attributes;
    attributes["default"] = default_value;
    attributes["type"] = type;
    attributes["metavar"] = metavar;
    attributes["help"] = help;
    return attributes;
}

py::tuple linter_options() {
    return py::make_tuple(
        py::make_tuple("settings-files",
                       option(py::list(), "csv", "<file>[,<file>...]",
                              "Specify which files are django settings files. They "
                              "should be import paths.")),
        py::make_tuple("root-urlconf",
                       option(py::str(""), "string", "<str>",
                              "Specify the ROOT_URLCONF import path to use.")),
        py::make_tuple("django-version",
                       option(py::str("3.3"), "string", "<str>",
                              "Specify the Django version being checked.")));
}

// Every checker declares __implements__, which pylint 2.17 still honours but warns
// about for each instance made; a caller can do nothing about it, so it stays quiet
// while the registry's checkers are made. Other warnings pass as they are.
py::object create_linter(py::handle linter_class, py::handle config, py::handle jobs) {
    (void)config; // the project's configuration is applied after the linter is made
    py::object reporter = module_attr(N->Reporter)();
    py::object linter =
        linter_class("reporter"_a = reporter, "options"_a = linter_options());
    py::object by_category = linter.attr(N->msgs_store).attr(N->msgs_by_category);
    by_category[N->R] = py::list();
    by_category[N->W] = py::list();
    // pylint's option parser turns None into the text "None" and exits on it: no
    // value (0 or None) keeps pylint's single process.
    bool unset = jobs.is_none() || equals(jobs, py::int_(0));
    if (!unset) linter.attr(N->set_option)("jobs", jobs);
    support::QuietWarning quiet("Using the __implements__ inheritance",
                                PyExc_DeprecationWarning);
    for (py::handle cls : module_attr(N->python_checker_classes))
        linter.attr(N->register_checker)(cls(linter));
    return linter;
}

py::list get_all_message_codes() {
    py::list codes;
    py::object names = py::reinterpret_steal<py::object>(
        PyObject_Dir(module_attr(N->advicetexts).ptr()));
    if (!names) throw py::error_already_set();
    for (py::handle name : names)
        if (!starts_with_dunder(name)) codes.append(name);
    return codes;
}

// --- Project linting -----------------------------------------------------------------

// A selection entry of None selects every line of its file, otherwise the lines it
// holds.
bool selects_line(py::handle lines, py::handle record) {
    if (lines.is_none()) return true;
    int contains = PySequence_Contains(lines.ptr(), record[N->line].ptr());
    if (contains < 0) throw py::error_already_set();
    return contains == 1;
}

py::object get_python_messages(py::handle project_root, py::handle files,
                               py::handle django_version, py::handle config,
                               py::handle jobs) {
    py::object linter = module_attr(N->create_linter)(
        "linter_class"_a = module_attr(N->Linter), "jobs"_a = jobs);
    py::object set_option = linter.attr(N->set_option);
    for (auto item : py::reinterpret_borrow<py::object>(config).attr(N->items)()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        // None would reach pylint as the text "None".
        if (equals(pair[0], N->directories) || pair[1].is_none()) continue;
        set_option(pair[0], pair[1]);
    }
    if (!django_version.is_none()) set_option("django-version", django_version);
    py::list settings;
    for (py::handle name : sibling(N->meta, N->get_settings_files)(project_root))
        settings.append(name);
    set_option("settings-files", settings);
    py::object root_urlconf = sibling(N->meta, N->get_root_urlconf)(
        linter.attr(N->config).attr(N->settings_files));
    // Without a ROOT_URLCONF the option keeps its default.
    if (!root_urlconf.is_none()) set_option("root-urlconf", root_urlconf);

    py::dict selected;
    for (auto item : py::reinterpret_borrow<py::object>(files).attr(N->items)()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        if (str_endswith(pair[0], N->dot_py)) selected[pair[0]] = pair[1];
    }
    py::list paths;
    for (auto key : selected)
        paths.append(key.first);
    linter.attr(N->check)("files_or_modules"_a = paths);

    py::object reporter = linter.attr(N->reporter);
    py::object records = reporter.attr(N->messages);
    log_fatal_records(records);
    py::object absolute = support::attr_or_none(reporter, N->absolute_paths);
    py::handle absolute_paths = PyList_Check(absolute.ptr()) ? absolute : py::handle();
    py::object codes = py::reinterpret_steal<py::object>(
        PySet_New(module_attr(N->get_all_message_codes)().ptr()));
    if (!codes) throw py::error_already_set();

    py::list kept;
    Py_ssize_t index = -1;
    for (py::handle record : records) {
        ++index;
        // A fatal record is a file that was not checked: dropping it would report a
        // failure as a clean result.
        bool fatal = is_fatal(record);
        if (!fatal) {
            int known = PySet_Contains(codes.ptr(), record[N->message_id].ptr());
            if (known < 0) throw py::error_already_set();
            if (!known) continue;
        }
        py::object source = record_source_path(record, absolute_paths, index);
        py::str resolved(L->Path(source).attr(N->resolve)());
        record[N->path] = resolved;
        if (fatal) {
            kept.append(record);
            continue;
        }
        if (selects_line(selected[resolved], record)) kept.append(record);
    }
    return std::move(kept);
}

py::object html_linter_init(py::handle self) {
    py::setattr(self, N->messages, py::list());
    return py::none();
}

py::object html_linter_check(py::handle self, py::handle files) {
    for (py::handle cls : module_attr(N->html_checker_classes)) {
        py::object checker = cls();
        checker.attr(N->check)(files);
        py::object messages = self.attr(N->messages);
        py::object extended = py::reinterpret_steal<py::object>(
            PyNumber_InPlaceAdd(messages.ptr(), checker.attr(N->messages).ptr()));
        if (!extended) throw py::error_already_set();
        py::setattr(self, N->messages, extended);
    }
    return py::none();
}

py::object get_html_messages(py::handle files) {
    py::object linter = module_attr(N->HtmlLinter)();
    py::list templates;
    for (py::handle key : files)
        if (str_endswith(key, N->dot_html)) templates.append(key);
    linter.attr(N->check)(templates);
    py::list kept;
    for (py::handle record : linter.attr(N->messages)) {
        if (selects_line(files[record[N->path]], record)) kept.append(record);
    }
    return std::move(kept);
}

py::object get_meta_messages(py::handle project_root) {
    py::object details =
        sibling(N->dependencies, N->resolve_django_version)(project_root);
    py::list result;
    if (!support::truthy(details)) return std::move(result);
    py::object specs = details[N->specs];
    py::object specifiers = L->SpecifierSet(specs);
    py::list matching;
    for (py::handle version : specifiers.attr(N->filter)(
             py::list(py::reinterpret_borrow<py::object>(L->candidate_versions))))
        matching.append(version);
    py::dict body;
    body["specs"] = specs;
    body["minor"] = details[N->version];
    body["matching_versions"] = matching;
    py::dict record;
    record["message-id"] = "C1000";
    record["path"] = details[N->path];
    record["message_type"] = "meta";
    record["body"] = body;
    result.append(record);
    return std::move(result);
}

// The selection without the sources and templates whose real path lies outside the
// project root, each named in a warning: a link in the repository, or a path the caller
// hands in, may lead to any file of the machine, and what the lint reads of it would
// come back in its records.
py::dict files_inside_root(py::handle project_root, py::handle files) {
    py::object is_inside_root = sibling(N->meta, support::name<"is_inside_root">());
    py::object real_root = L->realpath(project_root);
    py::dict inside;
    for (auto item : py::reinterpret_borrow<py::object>(files).attr(N->items)()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        bool read =
            str_endswith(pair[0], N->dot_py) || str_endswith(pair[0], N->dot_html);
        if (read && !support::truthy(is_inside_root(pair[0], real_root))) {
            logger().attr(support::name<"warning">())(
                "%s: not linted: it lies outside the project root %s", pair[0],
                real_root);
            continue;
        }
        inside[pair[0]] = pair[1];
    }
    return inside;
}

py::object get_project_messages(py::handle project_root, py::handle selection,
                                py::handle default_django_version, py::handle config,
                                py::handle jobs) {
    py::dict files = files_inside_root(project_root, selection);
    py::dict merged;
    for (auto item :
         sibling(N->meta, N->get_toml_config)(project_root).attr(N->items)()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        merged[pair[0]] = pair[1];
    }
    for (auto item : py::reinterpret_borrow<py::object>(config).attr(N->items)()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        merged[pair[0]] = pair[1];
    }
    logger().attr(N->debug)("Using config: %s\n", merged);
    py::object details =
        sibling(N->dependencies, N->resolve_django_version)(project_root);
    py::object version =
        support::truthy(details)
            ? py::object(details[N->version])
            : py::reinterpret_borrow<py::object>(default_django_version);
    py::object templates = module_attr(N->get_html_messages)(files);
    py::object python = module_attr(N->get_python_messages)(
        "project_root"_a = project_root, "files"_a = files, "config"_a = merged,
        "django_version"_a = version, "jobs"_a = jobs);
    py::list result;
    for (py::handle record : python)
        result.append(record);
    for (py::handle record : templates)
        result.append(record);
    int wants_meta = PySequence_Contains(files.ptr(), N->META.ptr());
    if (wants_meta < 0) throw py::error_already_set();
    if (wants_meta)
        for (py::handle record : module_attr(N->get_meta_messages)(project_root))
            result.append(record);
    return std::move(result);
}

py::object get_messages(py::handle project_root, py::handle files,
                        py::handle default_django_version, py::handle config,
                        py::handle jobs) {
    return support::fresh_call(project_root, [&](py::list &) {
        return with_rare_collections([&] {
            return get_project_messages(project_root, files, default_django_version,
                                        config, jobs);
        });
    });
}

// --- Snippet linting -----------------------------------------------------------------

// Infers node when it is the first use of its name in its scope; an inference that
// finds nothing is fine.
void infer_first_use(py::handle node,
                     std::unordered_map<PyObject *, py::object> &scope_of_parent,
                     std::unordered_map<PyObject *, py::set> &seen) {
    py::object parent = node.attr(support::name<"parent">());
    py::object scope;
    if (auto found = scope_of_parent.find(parent.ptr());
        found != scope_of_parent.end()) {
        scope = found->second;
    } else {
        scope = support::call_method(node, support::name<"scope">());
        if (!parent.is_none()) scope_of_parent.emplace(parent.ptr(), scope);
    }
    py::set &names = seen[scope.ptr()];
    py::object name = node.attr(support::name<"name">());
    if (names.contains(name)) return;
    names.add(name);
    py::object inferred = node.attr(N->infer)();
    PyObject *first = PyIter_Next(inferred.ptr());
    if (first) {
        Py_DECREF(first);
        return;
    }
    if (!PyErr_Occurred()) return; // nothing inferred: nothing to warm up
    py::error_already_set e;
    if (e.matches(L->InferenceError)) return;
    throw e;
}

// Inferring a name loads what its bindings import and caches their inference for the
// checkers. One use of each name per scope does that; inferring every further use in
// the scope only costs time, and a data table of one row can hold 300 000 of them.
// The walk is nodes_of_class's (each node before its children, children in order,
// each name inferred as it is reached), and a name's scope is its parent's, asked once
// per parent: a row of names costs one scope lookup, not one per name.
void check_names(py::handle tree) {
    std::unordered_map<PyObject *, py::object> scope_of_parent;
    std::unordered_map<PyObject *, py::set> seen; // names met, by scope
    std::vector<py::object> stack{support::borrow(tree)};
    while (!stack.empty()) {
        py::object node = std::move(stack.back());
        stack.pop_back();
        if (support::is_a(node, L->Name)) infer_first_use(node, scope_of_parent, seen);
        py::object children = support::steal(PySequence_List(
            support::call_method(node, support::name<"get_children">()).ptr()));
        for (Py_ssize_t i = PyList_GET_SIZE(children.ptr()); i-- > 0;)
            stack.push_back(support::borrow(PyList_GET_ITEM(children.ptr(), i)));
    }
}

py::object code_linter_check(py::handle self, py::handle code, py::args args,
                             py::kwargs kwargs) {
    py::setattr(self, N->vorlane_provided_code, code);
    return call_with(super_attr(L->CodeLinter, self, N->check), args, kwargs);
}

py::object code_linter_get_ast(py::handle self, py::handle filepath, py::handle modname,
                               py::handle data) {
    (void)data;
    py::object atok;
    try {
        atok = sibling(N->helpers, N->build_atok)(self.attr(N->vorlane_provided_code),
                                                  "modname"_a = modname,
                                                  "absolute_path"_a = filepath);
    } catch (py::error_already_set &e) {
        // Text the tree cannot be built from is a file that does not parse, whatever
        // raised (the parser, the tokenizer, the recursion limit): one syntax-error
        // record, never an exception out of the snippet's lint.
        if (!e.matches(PyExc_Exception)) throw;
        if (e.matches(L->AstroidSyntaxError))
            return report_syntax_error(self,
                                       support::attr_or_none(e.value(), N->error_));
        return report_syntax_error(self, e.value());
    }
    py::object tree = atok.attr(N->tree);
    auto text_trees = support::try_attr(self, support::name<"vorlane_text_trees">());
    if (text_trees && PyList_Check(text_trees->ptr()) &&
        PyList_Append(text_trees->ptr(), tree.ptr()) < 0)
        throw py::error_already_set();
    module_attr(N->check_names)(tree);
    return tree;
}

// pylint's module name for a path: every ".py" dropped, separators made dots.
py::object module_name_of(py::handle path) {
    py::object text = str_replace(py::str(path), N->dot_py, N->empty);
    return str_replace(text, N->slash, N->dot);
}

py::object code_linter_iterate_file_descrs(py::handle, py::object files_or_modules) {
    // One descriptor per next(), like a generator: nothing is read before the first.
    auto paths = std::make_shared<py::object>();
    return support::lazy_iterator([files_or_modules, paths]() -> py::object {
        if (!*paths) *paths = py::iter(files_or_modules);
        PyObject *path = PyIter_Next(paths->ptr());
        if (!path) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return py::object();
        }
        py::object item = py::reinterpret_steal<py::object>(path);
        py::object name = module_name_of(item);
        return L->FileItem(name, item, name);
    });
}

// The first entry of the module search path that holds the file, by whole path
// components (/srv/pr-1 is no prefix of /srv/pr-10/app/views.py): entries as written
// first, then each made absolute, as astroid makes module names. Null when none does.
py::object search_entry_holding(const py::object &named, const py::object &real) {
    static const py::handle abspath = support::import("os.path", "abspath");
    std::string file = support::fs_bytes(named), resolved = support::fs_bytes(real);
    py::list entries(support::import("sys").attr("path"));
    for (bool made_absolute : {false, true})
        for (py::handle entry : entries) {
            if (!PyUnicode_Check(entry.ptr()) || PyUnicode_GET_LENGTH(entry.ptr()) == 0)
                continue;
            py::object folder = made_absolute ? abspath(entry) : support::borrow(entry);
            std::string dir = support::fs_bytes(folder);
            if (support::within(file, dir) || support::within(resolved, dir))
                return folder;
        }
    return py::object();
}

// The root of a snippet's call: the folder its file's module name resolves under
// (/srv/pr-2 for /srv/pr-2/app/views.py named app.views), or the file's own folder when
// no search path entry holds it. pylint puts the folder above the file's top package
// first on the search path while it lints the file; when that folder lies inside the
// other, the snippet's imports are found there, and it is the root.
py::object snippet_root(py::handle filepath) {
    static const py::handle abspath = support::import("os.path", "abspath");
    static const py::handle dirname = support::import("os.path", "dirname");
    static const py::handle package_folder =
        support::import("pylint.lint.expand_modules", "discover_package_path");
    py::object named = abspath(filepath);
    py::object real = L->realpath(named);
    py::object root = search_entry_holding(named, real);
    if (!root) root = dirname(named);
    py::object searched_first = package_folder(real, py::list());
    if (support::within(support::fs_bytes(searched_first),
                        support::fs_bytes(L->realpath(root))))
        return searched_first;
    return root;
}

py::object check_code(py::handle code, py::handle filepath,
                      py::handle settings_modpath) {
    return support::fresh_call(snippet_root(filepath), [&](py::list &text_trees) {
        py::object linter = module_attr(N->create_linter)(
            "linter_class"_a = module_attr(N->CodeLinter));
        // The snippet's tree is the call's own: its get_ast hands it over here.
        py::setattr(linter, support::name<"vorlane_text_trees">(), text_trees);
        py::list settings;
        if (!settings_modpath.is_none()) settings.append(settings_modpath);
        linter.attr(N->set_option)("settings-files", settings);
        py::list paths;
        paths.append(filepath);
        // Its check raises the collector's thresholds, as a project's does.
        linter.attr(N->check)(code, "files_or_modules"_a = paths);
        py::object messages = linter.attr(N->reporter).attr(N->messages);
        log_fatal_records(messages);
        py::object snippet = py::reinterpret_borrow<py::object>(code);
        py::cpp_function code_reader([snippet](py::handle) { return snippet; },
                                     py::name("code_reader"));
        return sibling(N->render, N->render_message_centric_advice)(
            "messages"_a = messages, "settings"_a = py::dict(),
            "settings_modpath"_a = settings_modpath, "code_style"_a = py::dict(),
            "code_reader"_a = code_reader);
    });
}

// --- Loading -------------------------------------------------------------------------

py::object import_into(py::module_ &m, const char *module, const char *name,
                       const char *attr = nullptr) {
    py::object value = attr ? py::object(py::module_::import(module).attr(attr))
                            : py::object(py::module_::import(module));
    m.attr(name) = value;
    return value;
}

py::tuple candidate_versions() {
    py::list versions;
    for (int major = 2; major <= 3; ++major)
        for (int minor = 0; minor <= 2; ++minor)
            for (int patch = 0; patch <= 29; ++patch)
                versions.append(std::to_string(major) + "." + std::to_string(minor) +
                                "." + std::to_string(patch));
    return py::tuple(versions);
}

// Unpacks a msgs entry as `text, symbol, description = entry` would.
py::object entry_symbol(py::handle entry) {
    py::list items;
    for (py::handle item : entry) {
        items.append(item);
        if (items.size() > 3)
            support::raise(PyExc_ValueError, "too many values to unpack (expected 3)");
    }
    if (items.size() < 3)
        support::raise(PyExc_ValueError,
                       "not enough values to unpack (expected 3, got " +
                           std::to_string(items.size()) + ")");
    return items[1];
}

py::dict build_message_id_symbol_store(py::handle python_classes,
                                       py::handle html_classes) {
    py::dict store;
    py::list classes;
    for (py::handle cls : python_classes)
        classes.append(cls);
    for (py::handle cls : html_classes)
        classes.append(cls);
    for (py::handle cls : classes) {
        for (auto item : cls.attr("msgs").attr(N->items)()) {
            py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
            store[pair[0]] = entry_symbol(pair[1]);
        }
    }
    return store;
}

Names *make_names() {
    auto *n = new Names;
    n->Progress = support::intern("Progress");
    n->logger = support::intern("logger");
    n->python_checker_classes = support::intern("python_checker_classes");
    n->html_checker_classes = support::intern("html_checker_classes");
    n->advicetexts = support::intern("advicetexts");
    n->meta = support::intern("meta");
    n->dependencies = support::intern("dependencies");
    n->helpers = support::intern("helpers");
    n->render = support::intern("render");
    n->debug = support::intern("debug");
    n->error = support::intern("error");
    n->progress = support::intern("progress");
    n->progress_task = support::intern("progress_task");
    n->add_task = support::intern("add_task");
    n->update = support::intern("update");
    n->messages = support::intern("messages");
    n->reporter = support::intern("reporter");
    n->set_option = support::intern("set_option");
    n->register_checker = support::intern("register_checker");
    n->msgs_store = support::intern("msgs_store");
    n->msgs_by_category = support::intern("_msgs_by_category");
    n->config = support::intern("config");
    n->settings_files = support::intern("settings_files");
    n->absolute_paths = support::intern("absolute_paths");
    n->check = support::intern("check");
    n->process_tokens = support::intern("process_tokens");
    n->set_current_module = support::intern("set_current_module");
    n->replace_ = support::intern("_replace");
    n->type = support::intern("type");
    n->string = support::intern("string");
    n->line = support::intern("line");
    n->category = support::intern("category");
    n->module = support::intern("module");
    n->obj = support::intern("obj");
    n->column = support::intern("column");
    n->path = support::intern("path");
    n->symbol = support::intern("symbol");
    n->msg = support::intern("msg");
    n->msg_id = support::intern("msg_id");
    n->abspath = support::intern("abspath");
    n->message = support::intern("message");
    n->message_id = support::intern("message-id");
    n->fatal = support::intern("fatal");
    n->build_message = support::intern("build_backwards_compatibile_pylint_message");
    n->vorlane_provided_code = support::intern("vorlane_provided_code");
    n->tree = support::intern("tree");
    n->infer = support::intern("infer");
    n->build_atok = support::intern("build_atok");
    n->add_message = support::intern("add_message");
    n->get_toml_config = support::intern("get_toml_config");
    n->resolve_django_version = support::intern("resolve_django_version");
    n->get_settings_files = support::intern("get_settings_files");
    n->get_root_urlconf = support::intern("get_root_urlconf");
    n->render_message_centric_advice = support::intern("render_message_centric_advice");
    n->resolve = support::intern("resolve");
    n->filter = support::intern("filter");
    n->items = support::intern("items");
    n->version = support::intern("version");
    n->specs = support::intern("specs");
    n->directories = support::intern("directories");
    n->META = support::intern("META");
    n->files_or_modules = support::intern("files_or_modules");
    n->enter = support::intern("__enter__");
    n->exit = support::intern("__exit__");
    n->dict_ = support::intern("__dict__");
    n->lineno = support::intern("lineno");
    n->offset = support::intern("offset");
    n->error_ = support::intern("error");
    n->R = support::intern("R");
    n->W = support::intern("W");
    n->Linter = support::intern("Linter");
    n->CodeLinter = support::intern("CodeLinter");
    n->Reporter = support::intern("Reporter");
    n->HtmlLinter = support::intern("HtmlLinter");
    n->create_linter = support::intern("create_linter");
    n->get_all_message_codes = support::intern("get_all_message_codes");
    n->get_python_messages = support::intern("get_python_messages");
    n->get_html_messages = support::intern("get_html_messages");
    n->get_meta_messages = support::intern("get_meta_messages");
    n->check_names = support::intern("check_names");
    n->dunder = support::intern("__");
    n->dot_py = support::intern(".py");
    n->dot_html = support::intern(".html");
    n->empty = support::intern("");
    n->slash = support::intern("/");
    n->dot = support::intern(".");
    return n;
}

} // namespace

PYBIND11_MODULE(checker, m) {
    support::init_module(m);
    N = make_names();
    auto *libs = new Libs{};
    libs->module = m.ptr();

    // Libraries.
    import_into(m, "logging", "logging");
    libs->Path = import_into(m, "pathlib", "Path", "Path").release();
    import_into(m, "itertools", "itertools");
    import_into(m, "astroid", "astroid");
    libs->SpecifierSet =
        import_into(m, "packaging.specifiers", "SpecifierSet", "SpecifierSet")
            .release();
    py::object lint = import_into(m, "pylint.lint", "lint");
    libs->JSONReporter =
        import_into(m, "pylint.reporters", "JSONReporter", "JSONReporter").release();
    py::object tokenize = import_into(m, "tokenize", "tokenize");
    libs->PyLinter = py::object(lint.attr("PyLinter")).release();
    libs->TokenInfo = py::object(tokenize.attr("TokenInfo")).release();
    libs->COMMENT = py::object(tokenize.attr("COMMENT")).release();
    libs->realpath = support::import("os.path", "realpath");
    libs->builtins_super = support::import("builtins", "super");
    libs->FileItem = support::import("pylint.typing", "FileItem");
    libs->HIGH = support::import("pylint.interfaces", "HIGH");
    libs->gc_get_threshold = support::import("gc", "get_threshold");
    libs->gc_set_threshold = support::import("gc", "set_threshold");
    libs->Name = support::import("astroid", "Name");
    libs->InferenceError = support::import("astroid.exceptions", "InferenceError");
    libs->AstroidSyntaxError =
        support::import("astroid.exceptions", "AstroidSyntaxError");

    // The checker modules, then the sibling modules, each in its fixed order.
    for (const char *name : {"admin", "migrations", "colspec", "classlayout",
                             "fetchplan", "settings", "urls", "templates"})
        m.attr(name) = py::module_::import(
            ("vorlane.staticanalysis.checkers." + std::string(name)).c_str());
    for (const char *name :
         {"dependencies", "advicetexts", "meta", "render", "helpers"})
        m.attr(name) = py::module_::import(
            ("vorlane.staticanalysis." + std::string(name)).c_str());

    // The progress display is optional: without rich (or a rich without Progress) a
    // mock shows nothing. Any other error of rich's own load is rich's to report.
    std::optional<py::object> progress;
    try {
        py::object rich_progress = py::module_::import("rich.progress");
        progress = support::try_attr(rich_progress, N->Progress);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    if (progress) {
        m.attr("Progress") = *progress;
    } else {
        py::object mock = py::module_::import("unittest.mock").attr("MagicMock");
        m.attr("MagicMock") = mock;
        m.attr("Progress") = mock;
    }

    // The registry: every linter registers the Python checkers of this list.
    py::list python_classes;
    for (const char *name : {"admin", "settings", "colspec", "classlayout",
                             "migrations", "fetchplan", "urls"})
        python_classes.append(m.attr(name).attr("Checker"));
    m.attr("python_checker_classes") = python_classes;
    m.attr("COLLECTOR_THRESHOLDS") = py::make_tuple(100000, 20, 10);
    py::list html_classes;
    html_classes.append(m.attr("templates").attr("Checker"));
    m.attr("html_checker_classes") = html_classes;
    support::module_logger(m);
    m.attr("message_id_symbol_store") =
        build_message_id_symbol_store(python_classes, html_classes);

    // Text type of the syntax-error entry.
    py::object ignored = support::make_class(m, "ignore_old_style_string_formatting",
                                             py::make_tuple(py::str().get_type()));
    support::def_method(ignored, "__mod__", &string_mod, py::arg("other"));
    libs->StringFormattingIgnored = ignored.release();
    L = libs;

    // Linter of project files.
    py::dict linter_ns;
    linter_ns["msgs"] = linter_msgs();
    py::object linter =
        support::make_class(m, "Linter", py::make_tuple(L->PyLinter), linter_ns);
    support::def_method(linter, "process_tokens", &linter_process_tokens,
                        py::arg("tokens"));
    support::def_method(linter, "check", &linter_check, py::arg("files_or_modules"));
    support::def_method(linter, "set_current_module", &linter_set_current_module,
                        py::arg("modname"), py::arg("filepath") = py::none());
    support::def_method(linter, "__getstate__", &linter_getstate);
    support::def_method(linter, "_check_astroid_module", &linter_check_astroid_module,
                        py::arg("node"), py::arg("walker"), py::arg("rawcheckers"),
                        py::arg("tokencheckers"));
    libs->Linter = linter.release();

    // Linter of one snippet.
    py::object code_linter =
        support::make_class(m, "CodeLinter", py::make_tuple(L->Linter));
    support::def_method(code_linter, "check", &code_linter_check, py::arg("code"));
    support::def_method(code_linter, "get_ast", &code_linter_get_ast,
                        py::arg("filepath"), py::arg("modname"),
                        py::arg("data") = py::none());
    support::def_method(code_linter, "_iterate_file_descrs",
                        &code_linter_iterate_file_descrs, py::arg("files_or_modules"));
    libs->CodeLinter = code_linter.release();

    libs->empty_config_python = py::dict().release();
    libs->empty_config_linter = py::dict().release();
    libs->empty_config_messages = py::dict().release();
    libs->candidate_versions = candidate_versions().release();

    m.def("get_python_messages", &get_python_messages, py::arg("project_root"),
          py::arg("files"), py::arg("django_version"),
          py::arg("config") = py::handle(L->empty_config_python), py::arg("jobs") = 0);
    m.def("get_html_messages", &get_html_messages, py::arg("files"));
    m.def("get_messages", &get_messages, py::arg("project_root"), py::arg("files"),
          py::arg("default_django_version") = "3.2",
          py::arg("config") = py::handle(L->empty_config_messages),
          py::arg("jobs") = 0);
    m.def("get_meta_messages", &get_meta_messages, py::arg("project_root"));

    py::object html_linter = support::make_class(
        m, "HtmlLinter",
        py::make_tuple(py::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))));
    support::def_method(html_linter, "__init__", &html_linter_init);
    support::def_method(html_linter, "check", &html_linter_check, py::arg("files"));
    libs->HtmlLinter = html_linter.release();

    m.def("check_code", &check_code, py::arg("code"), py::arg("filepath"),
          py::arg("settings_modpath"));

    py::object reporter =
        support::make_class(m, "Reporter", py::make_tuple(L->JSONReporter));
    support::def_method(reporter, "handle_message", &reporter_handle_message,
                        py::arg("msg"));
    support::def_static(reporter, "build_backwards_compatibile_pylint_message",
                        &build_backwards_compatibile_pylint_message,
                        py::arg("message"));
    libs->Reporter = reporter.release();

    m.def("create_linter", &create_linter, py::arg("linter_class"),
          py::arg("config") = py::handle(L->empty_config_linter), py::arg("jobs") = 0);
    m.def("check_names", &check_names, py::arg("tree"));
    m.def("get_all_message_codes", &get_all_message_codes);
}
