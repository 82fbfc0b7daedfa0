// Template checker: hard-coded URLs in HTML templates, found on the start tags, and the
// rewrite of one template line's hard-coded static URLs into static tags.
#include "support.h"

namespace {

using support::borrow;
using support::str_equals;

using support::name;

// --- Libs ----------------------------------------------------------------------------

struct Libs {
    py::handle module, HTMLParser, open, logger;
    py::handle C7000, C7001; // from Codes, once
};
const Libs *L = nullptr; // filled at load; never released (interpreter exit order)

// --- Tables --------------------------------------------------------------------------

const support::Message MESSAGES[] = {
    {"C7000", "hard-coded-url", "Check if hard-coded url is used in template"},
    {"C7001", "hard-coded-static-url",
     "Check if hard-coded static url is used in template"},
};

// The elements whose src names an asset; visit_element_with_src serves them all.
const char *const SRC_ELEMENTS[] = {"audio",  "embed",  "img",   "input",
                                    "script", "source", "track", "video"};

py::dict checker_namespace() {
    py::dict ns;
    ns["msgs"] = support::msgs_table(MESSAGES);
    return ns;
}

// --- Small helpers -------------------------------------------------------------------

bool starts_with(py::handle text, py::handle prefix) {
    Py_ssize_t r = PyUnicode_Tailmatch(text.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool contains(py::handle text, const char *part) {
    int r = PySequence_Contains(text.ptr(), py::str(part).ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// Calls visit(name, value) for each (name, value) pair of a start tag's attrs.
template <typename F> void for_each_attr(py::handle attrs, F &&visit) {
    for (py::handle pair : attrs) {
        if (PyTuple_Check(pair.ptr()) && PyTuple_GET_SIZE(pair.ptr()) == 2)
            visit(py::handle(PyTuple_GET_ITEM(pair.ptr(), 0)),
                  py::handle(PyTuple_GET_ITEM(pair.ptr(), 1)));
        else
            visit(py::object(pair[py::int_(0)]), py::object(pair[py::int_(1)]));
    }
}

// The parser signals text it rejects (such as `<![foo ...`) with AssertionError.
bool is_parser_rejection(py::error_already_set &e) {
    return e.matches(PyExc_AssertionError);
}

// --- Predicate -----------------------------------------------------------------------

// href="/about/": a path on this site written out. "/", "//cdn.example/x.js",
// "about/", "#top", "{% url 'home' %}" are not; None and "" answer themselves.
py::object is_hardcoded_path(py::object value) {
    if (!support::truthy(value)) return value;
    if (!PyUnicode_Check(value.ptr()) || str_equals(value, "/"))
        return py::bool_(false);
    return py::bool_(starts_with(value, name<"/">()) &&
                     !starts_with(value, name<"//">()));
}

// --- BaseTemplateChecker -------------------------------------------------------------

void warn(const char *text, py::handle path, py::error_already_set &e) {
    L->logger.attr(name<"warning">())(text, path, py::str(e.value()));
}

// Reads the template whole; nullopt when it is skipped: silently when its text cannot
// be decoded, with a warning when it cannot be read at all (missing, a directory, no
// permission).
std::optional<py::object> read_template(py::handle path) {
    try {
        py::object file = L->open(path, name<"r">());
        py::object text;
        try {
            text = file.attr(name<"read">())();
        } catch (py::error_already_set &) {
            file.attr(name<"close">())();
            throw;
        }
        file.attr(name<"close">())();
        return text;
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_UnicodeDecodeError)) return std::nullopt;
        if (!e.matches(PyExc_OSError)) throw;
        warn("Skipping template %s: cannot read it: %s", path, e);
        return std::nullopt;
    }
}

// A template the parser rejects is skipped whole: its records so far are dropped, and
// the next template starts afresh.
void check(py::object self, py::object files) {
    py::setattr(self, name<"messages">(), py::list());
    for (py::handle path : py::iter(files)) {
        py::setattr(self, name<"current_file_path">(), path);
        std::optional<py::object> text = read_template(path);
        if (!text) continue; // parser untouched
        py::object messages = self.attr(name<"messages">());
        Py_ssize_t before = PyObject_Length(messages.ptr());
        if (before < 0) throw py::error_already_set();
        try {
            self.attr(name<"feed">())(*text);
        } catch (py::error_already_set &e) {
            if (!is_parser_rejection(e)) throw;
            warn("Skipping template %s: cannot parse it: %s", path, e);
            if (PySequence_DelSlice(messages.ptr(), before, PY_SSIZE_T_MAX) < 0)
                throw py::error_already_set();
        }
        // Drops whatever the template left unparsed (an unfinished tag) and starts the
        // next template at line 1, column 0.
        self.attr(name<"reset">())();
    }
}

// Goes through the attribute, so a subclass may change how one record is made.
void add_message(py::object self, py::object code, py::object args) {
    py::dict kwargs;
    kwargs[name<"args">()] = args;
    self.attr(name<"add_one_message">())(code, **kwargs);
}

void add_one_message(py::object self, py::object code, py::object args) {
    py::object pos = self.attr(name<"getpos">())();
    py::object entry = self.attr(name<"msgs">())[code]; // a code of no table: KeyError
    py::object text = entry[py::int_(0)];
    py::dict record;
    record["path"] = self.attr(name<"current_file_path">());
    record["line"] = pos[py::int_(0)];
    record["message"] = support::steal(PyNumber_Remainder(text.ptr(), args.ptr()));
    record["type"] = py::none();
    record["column"] = pos[py::int_(1)];
    record["module"] = py::none();
    record["symbol"] = py::none();
    record["hint"] = py::none();
    record["message-id"] = code;
    self.attr(name<"messages">()).attr(name<"append">())(record);
}

// <img src="/x.png"> goes to visit_img(attrs); a tag without a visit method is ignored.
// The checker and the collector of the rewrite dispatch alike.
// Most tags have no visit method: the look-up answers a miss without raising and
// catching an AttributeError per tag.
void handle_starttag(py::object self, py::object tag, py::object attrs) {
    py::object method =
        support::steal(PyUnicode_Concat(name<"visit_">().ptr(), tag.ptr()));
    PyObject *found = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    int r = PyObject_GetOptionalAttr(self.ptr(), method.ptr(), &found);
#else
    int r = _PyObject_LookupAttr(self.ptr(), method.ptr(), &found);
#endif
    if (r < 0) throw py::error_already_set();
    if (r == 0) return;
    py::object visit = py::reinterpret_steal<py::object>(found);
    if (support::truthy(visit)) visit(attrs);
}

// --- Checker -------------------------------------------------------------------------

// Reports `code` (with {"path": value} when with_path) for every attribute `attr` of
// the tag whose value is a hard-coded path.
void report_hardcoded(py::handle self, py::handle attrs, const char *attr,
                      py::handle code, bool with_path) {
    for_each_attr(attrs, [&](py::handle key, py::handle value) {
        if (!str_equals(key, attr)) return;
        if (!support::truthy(is_hardcoded_path(borrow(value)))) return;
        py::object add = self.attr(name<"add_message">());
        if (!with_path) {
            add(code);
            return;
        }
        py::dict args;
        args["path"] = value;
        add(code, py::arg("args") = args);
    });
}

// <a href="/about/">
void visit_a(py::handle self, py::handle attrs) {
    report_hardcoded(self, attrs, "href", L->C7000, false);
}

// <link rel="stylesheet" href="/static/css/site.css">
void visit_link(py::handle self, py::handle attrs) {
    report_hardcoded(self, attrs, "href", L->C7001, true);
}

// <img src="/static/img/logo.png">, and the other elements of SRC_ELEMENTS
void visit_element_with_src(py::handle self, py::handle attrs) {
    report_hardcoded(self, attrs, "src", L->C7001, true);
}

// --- Static-URL rewrite: collector ---------------------------------------------------

void base_html_mutator_init(py::handle self, py::args args, py::kwargs kwargs) {
    py::setattr(self, name<"results">(), py::list());
    L->HTMLParser.attr(name<"__init__">())(self, *args, **kwargs);
}

// The collector's visit methods, named as bound on it.
namespace collector {

// <img src="...">: every src that has a value, whatever it holds.
void visit_element_with_src(py::handle self, py::handle attrs) {
    py::object results = self.attr(name<"results">());
    for_each_attr(attrs, [&](py::handle key, py::handle value) {
        if (str_equals(key, "src") && !value.is_none())
            results.attr(name<"append">())(value);
    });
}

// <link href="/static/css/site.css">: an href that starts with "/".
void visit_link(py::handle self, py::handle attrs) {
    py::object results = self.attr(name<"results">());
    for_each_attr(attrs, [&](py::handle key, py::handle value) {
        if (str_equals(key, "href") && PyUnicode_Check(value.ptr()) &&
            starts_with(value, name<"/">()))
            results.attr(name<"append">())(value);
    });
}

} // namespace collector

// --- Static-URL rewrite: mutator -----------------------------------------------------

Py_UCS4 char_at(py::handle text, Py_ssize_t i) {
    Py_UCS4 c = PyUnicode_ReadChar(text.ptr(), i);
    if (c == static_cast<Py_UCS4>(-1) && PyErr_Occurred())
        throw py::error_already_set();
    return c;
}

bool is_quote(Py_UCS4 c) {
    return c == '"' || c == '\'';
}

// What may stand right after a whole URL: a quote, whitespace, a tag bracket or the
// end of the text (0 here). Anything else continues the URL.
bool ends_url(Py_UCS4 c) {
    return c == 0 || is_quote(c) || Py_UNICODE_ISSPACE(c) || c == '<' || c == '>';
}

// The stretch of text an occurrence [start, end) of a value replaces, or nullopt when
// the occurrence is part of something longer and must stay. A quoted value takes its
// quotes; an unquoted one (after "=", a blank, ">" or at the start of the text) keeps
// its neighbours.
std::optional<std::pair<Py_ssize_t, Py_ssize_t>>
replaced_span(py::handle text, Py_ssize_t start, Py_ssize_t end) {
    Py_ssize_t size = PyUnicode_GetLength(text.ptr());
    Py_UCS4 before = start > 0 ? char_at(text, start - 1) : 0;
    Py_UCS4 after = end < size ? char_at(text, end) : 0;
    if (!ends_url(after)) return std::nullopt; // /static/app.js?v=2
    if (is_quote(before)) {
        if (after != before) return std::nullopt;
        return std::make_pair(start - 1, end + 1);
    }
    bool starts_url =
        before == 0 || before == '=' || before == '>' || Py_UNICODE_ISSPACE(before);
    if (!starts_url || is_quote(after)) return std::nullopt; // /media/static/a.png
    return std::make_pair(start, end);
}

// '{% static "css/site.css" %}' for the path under STATIC_URL, or nullopt when the
// value is no plain file path under it. The tag's argument is a file name, which the
// tag escapes into its URL: a query or fragment would come out escaped, template
// syntax unrendered, and a quote would end the argument.
std::optional<py::str> static_tag(py::handle hit, py::handle static_url) {
    if (!PyUnicode_Check(hit.ptr()) || !starts_with(hit, static_url))
        return std::nullopt;
    Py_ssize_t prefix = PyUnicode_GetLength(static_url.ptr());
    py::str path = support::steal(
        PyUnicode_Substring(hit.ptr(), prefix, PyUnicode_GetLength(hit.ptr())));
    for (const char *part : {"\"", "'", "{{", "{%", "?", "#"})
        if (contains(path, part)) return std::nullopt;
    return py::str("'{% static \"") + path + py::str("\" %}'");
}

// <img src="/static/img/logo.png" alt="Logo"> ->
// <img src='{% static "img/logo.png" %}' alt="Logo">, for every value the collector
// found under STATIC_URL, at each place it stands whole.
py::object hard_coded_static_url_to_static_tag(py::object html, py::object visitor) {
    py::object collector =
        L->module.attr(name<"HardCodedStaticUrlToStaticTagHTMLMutator">())();
    try {
        collector.attr(name<"feed">())(html);
    } catch (py::error_already_set &e) {
        // What the parser rejects ends the collection; what came before still counts.
        if (!is_parser_rejection(e)) throw;
    }
    py::object text = html;
    py::object static_url; // read at the first hit: no hit, no look at the settings
    for (py::handle hit : collector.attr(name<"results">())) {
        if (!static_url)
            static_url = visitor.attr(name<"settings">())[name<"STATIC_URL">()];
        if (!PyUnicode_Check(static_url.ptr()) || !support::truthy(static_url))
            continue;
        std::optional<py::str> tag = static_tag(hit, static_url);
        if (!tag) continue;
        Py_ssize_t length = PyUnicode_GetLength(hit.ptr());
        Py_ssize_t from = 0;
        while (true) {
            Py_ssize_t at =
                PyUnicode_Find(text.ptr(), hit.ptr(), from, PY_SSIZE_T_MAX, 1);
            if (at == -2) throw py::error_already_set();
            if (at < 0) break;
            auto span = replaced_span(text, at, at + length);
            if (!span) {
                from = at + 1;
                continue;
            }
            Py_ssize_t size = PyUnicode_GetLength(text.ptr());
            py::str head =
                support::steal(PyUnicode_Substring(text.ptr(), 0, span->first));
            py::str tail =
                support::steal(PyUnicode_Substring(text.ptr(), span->second, size));
            text = head + *tag + tail;
            // On after the replacement: the tag's own text is never searched again.
            from = span->first + PyUnicode_GetLength(tag->ptr());
        }
    }
    return text;
}

// --- Static-URL rewrite: visitor -----------------------------------------------------

void visitor_init(py::handle self, py::object settings) {
    py::setattr(self, name<"settings">(), settings);
    py::setattr(self, name<"mutators">(), py::list());
}

py::object visitor_visit(py::handle self, py::object html) {
    for (py::handle mutator : self.attr(name<"mutators">())) {
        py::dict kwargs;
        kwargs[name<"html">()] = html;
        kwargs[name<"visitor">()] = self;
        html = mutator(**kwargs);
    }
    return html;
}

// The mutator is read from the module at each call, so a patched one is the one run.
py::object build_transformer_visitor(py::handle message_ids, py::object settings) {
    py::dict kwargs;
    kwargs[name<"settings">()] = settings;
    py::object visitor = L->module.attr(name<"Visitor">())(**kwargs);
    py::object mutators = visitor.attr(name<"mutators">());
    for (py::handle code : py::iter(message_ids)) {
        int equal = PyObject_RichCompareBool(code.ptr(), L->C7001.ptr(), Py_EQ);
        if (equal < 0) throw py::error_already_set();
        if (equal)
            mutators.attr(name<"append">())(
                L->module.attr(name<"hard_coded_static_url_to_static_tag">()));
    }
    return visitor;
}

// Binds f as visit_element_with_src and, the same object, under each src element.
void def_src_visit(py::handle cls, void (*f)(py::handle, py::handle)) {
    py::object method =
        support::def_method(cls, "visit_element_with_src", f, py::arg("attrs"));
    for (const char *element : SRC_ELEMENTS)
        py::setattr(cls, (std::string("visit_") + element).c_str(), method);
}

} // namespace

PYBIND11_MODULE(templates, m) {
    support::init_module(m);
    py::object Codes = support::make_class(m, "Codes", py::tuple(),
                                           support::codes_namespace(MESSAGES));
    L = new Libs{
        m.ptr(),
        support::import("html.parser", "HTMLParser"),
        support::import("builtins", "open"),
        support::module_logger(m).release(),
        py::object(Codes.attr("C7000")).release(),
        py::object(Codes.attr("C7001")).release(),
    };

    m.def("is_hardcoded_path", &is_hardcoded_path, py::arg("value"));

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

    py::object Checker =
        support::make_class(m, "Checker", py::make_tuple(Base), checker_namespace());
    support::def_method(Checker, "visit_a", &visit_a, py::arg("attrs"));
    support::def_method(Checker, "visit_link", &visit_link, py::arg("attrs"));
    def_src_visit(Checker, &visit_element_with_src);

    py::object Mutator =
        support::make_class(m, "BaseHTMLMutator", py::make_tuple(L->HTMLParser));
    support::def_method(Mutator, "__init__", &base_html_mutator_init);
    support::def_method(Mutator, "handle_starttag", &handle_starttag, py::arg("tag"),
                        py::arg("attrs"));
    py::object Collector = support::make_class(
        m, "HardCodedStaticUrlToStaticTagHTMLMutator", py::make_tuple(Mutator));
    def_src_visit(Collector, &collector::visit_element_with_src);
    support::def_method(Collector, "visit_link", &collector::visit_link,
                        py::arg("attrs"));

    py::object Visitor = support::make_class(m, "Visitor", py::tuple());
    support::def_method(Visitor, "__init__", &visitor_init, py::arg("settings"));
    support::def_method(Visitor, "visit", &visitor_visit, py::arg("html"));
    m.def("hard_coded_static_url_to_static_tag", &hard_coded_static_url_to_static_tag,
          py::arg("html"), py::arg("visitor"));
    m.def("build_transformer_visitor", &build_transformer_visitor,
          py::arg("message_ids"), py::arg("settings"));
}
