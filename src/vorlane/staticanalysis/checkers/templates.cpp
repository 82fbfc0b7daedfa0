// Template checker: hard-coded URLs in HTML templates, found on the start tags.
#include "support.h"

namespace {

// --- Libs and names ----------------------------------------------------------------

struct Libs {
    py::handle HTMLParser, open;
};
const Libs *L = nullptr; // filled at load; never released (interpreter exit order)

struct Names {
    py::handle messages, current_file_path, msgs, add_one_message, args, getpos, feed,
        reset, read, close, visit_, text_mode;
};
const Names *N = nullptr;

// --- Tables ------------------------------------------------------------------------

const support::Message MESSAGES[] = {
    {"C7000", "hard-coded-url", "Check if hard-coded url is used in template"},
    {"C7001", "hard-coded-static-url",
     "Check if hard-coded static url is used in template"},
};

py::dict checker_namespace() {
    py::dict ns;
    ns["msgs"] = support::msgs_table(MESSAGES);
    return ns;
}

// --- BaseTemplateChecker -----------------------------------------------------------

// Reads the template whole; nullopt when its text cannot be decoded, so the caller
// skips it. Any other error (missing file, directory, permissions) goes on up.
std::optional<py::object> read_template(py::handle path) {
    py::object file = L->open(path, N->text_mode);
    py::object text;
    try {
        text = file.attr(N->read)();
    } catch (py::error_already_set &e) {
        file.attr(N->close)();
        if (e.matches(PyExc_UnicodeDecodeError)) return std::nullopt;
        throw;
    }
    file.attr(N->close)();
    return text;
}

void check(py::object self, py::object files) {
    py::setattr(self, N->messages, py::list());
    for (py::handle path : py::iter(files)) {
        py::setattr(self, N->current_file_path, path);
        std::optional<py::object> text = read_template(path);
        if (!text) continue; // undecodable: no records, parser untouched
        self.attr(N->feed)(*text);
        // Drops whatever the template left unparsed (an unfinished tag) and starts the
        // next template at line 1, column 0.
        self.attr(N->reset)();
    }
}

// Goes through the attribute, so a subclass may change how one record is made.
void add_message(py::object self, py::object code, py::object args) {
    py::dict kwargs;
    kwargs[N->args] = args;
    self.attr(N->add_one_message)(code, **kwargs);
}

void add_one_message(py::object self, py::object code, py::object args) {
    py::object pos = self.attr(N->getpos)();
    py::object entry = self.attr(N->msgs)[code]; // a code of no table: KeyError
    py::object text = entry[py::int_(0)];
    PyObject *message = PyNumber_Remainder(text.ptr(), args.ptr());
    if (!message) throw py::error_already_set();
    py::dict record;
    record["path"] = self.attr(N->current_file_path);
    record["line"] = pos[py::int_(0)];
    record["message"] = py::reinterpret_steal<py::object>(message);
    record["type"] = py::none();
    record["column"] = pos[py::int_(1)];
    record["module"] = py::none();
    record["symbol"] = py::none();
    record["hint"] = py::none();
    record["message-id"] = code;
    self.attr(N->messages).attr("append")(record);
}

// <img src="/x.png"> goes to visit_img(attrs); a tag without a visit method is ignored.
void handle_starttag(py::object self, py::object tag, py::object attrs) {
    PyObject *name = PyUnicode_Concat(N->visit_.ptr(), tag.ptr());
    if (!name) throw py::error_already_set();
    py::object visit =
        support::attr_or_none(self, py::reinterpret_steal<py::object>(name));
    if (support::truthy(visit)) visit(attrs);
}

} // namespace

PYBIND11_MODULE(templates, m) {
    support::init_module(m);
    L = new Libs{
        support::import("html.parser", "HTMLParser"),
        support::import("builtins", "open"),
    };
    N = new Names{
        support::intern("messages"), support::intern("current_file_path"),
        support::intern("msgs"),     support::intern("add_one_message"),
        support::intern("args"),     support::intern("getpos"),
        support::intern("feed"),     support::intern("reset"),
        support::intern("read"),     support::intern("close"),
        support::intern("visit_"),   support::intern("r"),
    };
    support::make_class(m, "Codes", py::tuple(), support::codes_namespace(MESSAGES));

    py::object Base =
        support::make_class(m, "BaseTemplateChecker", py::make_tuple(L->HTMLParser));
    support::def_method(Base, "check", &check, py::arg("files"));
    // Each default is one mapping made here and shared by every call that omits it.
    support::def_method(Base, "add_message", &add_message, py::arg("code"),
                        py::arg("args") = py::dict());
    support::def_method(Base, "add_one_message", &add_one_message, py::arg("code"),
                        py::arg("args") = py::dict());
    support::def_method(Base, "handle_starttag", &handle_starttag, py::arg("tag"),
                        py::arg("attrs"));

    support::make_class(m, "Checker", py::make_tuple(Base), checker_namespace());
}
