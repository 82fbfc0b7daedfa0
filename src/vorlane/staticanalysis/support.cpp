#include "support.h"

namespace support {

namespace {

// Iterator state behind lazy_iterator. The type is registered module-local in each
// extension module, so every module owns its own copy of the Python type.
struct LazyIterator {
    std::function<py::object()> next_item;
    bool done = false;

    py::object next() {
        if (done || !next_item) throw py::stop_iteration();
        py::object item = next_item();
        if (!item) {
            close();
            throw py::stop_iteration();
        }
        return item;
    }
    void close() {
        done = true;
        next_item = nullptr;
    }
};

} // namespace

void init_module(py::module_ &m) {
    py::class_<LazyIterator>(m, "_LazyIterator", py::module_local())
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &LazyIterator::next)
        .def("close", &LazyIterator::close);
}

py::handle intern(const char *name) {
    PyObject *s = PyUnicode_InternFromString(name);
    if (!s) throw py::error_already_set();
    return s;
}

py::handle import(const char *module) {
    return py::module_::import(module).release();
}

py::handle import(const char *module, const char *attr) {
    return py::object(py::module_::import(module).attr(attr)).release();
}

py::object make_class(py::module_ &m, const char *name, py::tuple bases, py::dict ns,
                      const char *doc) {
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
    py::handle type = reinterpret_cast<PyObject *>(&PyType_Type);
    py::object cls = type(name, bases, ns);
    m.attr(name) = cls;
    return cls;
}

py::handle make_exception(py::module_ &m, const char *name, py::handle base) {
    std::string qualified =
        py::str(m.attr("__name__")).cast<std::string>() + "." + name;
    PyObject *cls = PyErr_NewException(qualified.c_str(), base.ptr(), nullptr);
    if (!cls) throw py::error_already_set();
    m.attr(name) = py::handle(cls);
    return cls;
}

void raise(py::handle cls) {
    PyErr_SetNone(cls.ptr());
    throw py::error_already_set();
}

void raise(py::handle cls, const std::string &message) {
    PyErr_SetString(cls.ptr(), message.c_str());
    throw py::error_already_set();
}

void log_exception(py::handle logger, py::handle text, py::error_already_set &e,
                   bool traceback) {
    if (traceback)
        logger.attr("error")(text, py::arg("exc_info") = e.value());
    else
        logger.attr("error")(text);
}

QuietWarning::QuietWarning(const char *message, PyObject *category) {
    static const py::handle catch_warnings = import("warnings", "catch_warnings");
    static const py::handle filterwarnings = import("warnings", "filterwarnings");
    catcher_ = catch_warnings();
    catcher_.attr("__enter__")();
    filterwarnings("ignore", py::arg("message") = message,
                   py::arg("category") = py::handle(category));
}

QuietWarning::~QuietWarning() {
    // Runs while an error unwinds too, when the Python error is already held by its
    // C++ exception.
    PyObject *r = PyObject_CallMethod(catcher_.ptr(), "__exit__", "OOO", Py_None,
                                      Py_None, Py_None);
    if (r)
        Py_DECREF(r);
    else
        PyErr_WriteUnraisable(catcher_.ptr());
}

void warn_skipped(py::handle logger, py::handle path, const char *consequence,
                  py::error_already_set &e) {
    py::object error = py::reinterpret_borrow<py::object>(e.value());
    py::object wrapped = attr_or_none(error, name<"error">());
    if (PyExceptionInstance_Check(wrapped.ptr())) error = wrapped;
    py::object type_name = py::type::handle_of(error).attr(name<"__name__">());
    // One row per file: configparser, for one, quotes the offending row on a row of its
    // own.
    py::object text = py::str(error).attr(name<"replace">())("\n", " ");
    logger.attr(name<"warning">())("%s: %s: %s: %s", path, consequence, type_name,
                                   text);
}

bool isinstance(py::handle obj, py::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool truthy(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

std::optional<py::object> try_attr(py::handle obj, py::handle name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (value) return py::reinterpret_steal<py::object>(value);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return std::nullopt;
    }
    throw py::error_already_set();
}

py::object attr_or_none(py::handle obj, py::handle name) {
    auto value = try_attr(obj, name);
    return value ? *value : py::none();
}

std::optional<std::string> as_string(py::handle obj) {
    if (!obj || !PyUnicode_Check(obj.ptr())) return std::nullopt;
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
    if (!data) {
        PyErr_Clear(); // lone surrogates: not representable as UTF-8
        return std::nullopt;
    }
    return std::string(data, static_cast<size_t>(size));
}

py::object steal(PyObject *result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

py::object call_method(py::handle obj, py::handle name) {
    return steal(PyObject_CallMethodObjArgs(obj.ptr(), name.ptr(), nullptr));
}

py::object module_logger(py::module_ &m) {
    py::object logger =
        py::module_::import("logging").attr("getLogger")(m.attr("__name__"));
    m.attr("logger") = logger;
    return logger;
}

std::string fs_bytes(py::handle text) {
    py::object encoded = steal(PyUnicode_EncodeFSDefault(text.ptr()));
    return std::string(PyBytes_AS_STRING(encoded.ptr()),
                       static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

bool within(const std::string &path, const std::string &dir) {
    static const std::string sep = py::str(import("os", "sep"));
    if (path.compare(0, dir.size(), dir) != 0) return false;
    if (path.size() == dir.size()) return true;
    if (dir.size() >= sep.size() &&
        dir.compare(dir.size() - sep.size(), sep.size(), sep) == 0)
        return true;
    return path.compare(dir.size(), sep.size(), sep) == 0;
}

py::dict codes_namespace(const Message *messages, size_t count) {
    py::dict ns;
    for (size_t i = 0; i < count; ++i)
        ns[messages[i].code] = messages[i].code;
    return ns;
}

py::dict msgs_table(const Message *messages, size_t count) {
    py::object context_string =
        py::module_::import("vorlane.staticanalysis.helpers").attr("context_string");
    py::dict msgs;
    for (size_t i = 0; i < count; ++i)
        msgs[messages[i].code] = py::make_tuple(context_string(), messages[i].symbol,
                                                messages[i].description);
    return msgs;
}

py::tuple int_options(const IntOption *options, size_t count) {
    py::list result;
    for (size_t i = 0; i < count; ++i) {
        py::dict settings;
        settings["default"] = options[i].default_value;
        settings["type"] = "int";
        settings["metavar"] = "<int>";
        settings["help"] = options[i].help;
        result.append(py::make_tuple(options[i].name, settings));
    }
    return py::tuple(result);
}

py::object make_python_checker(py::module_ &m, const char *name,
                               const Message *messages, size_t message_count,
                               const IntOption *options, size_t option_count) {
    make_class(m, "Codes", py::tuple(), codes_namespace(messages, message_count));
    py::dict ns;
    ns["__implements__"] = import("pylint.interfaces", "IAstroidChecker");
    ns["name"] = name;
    ns["msgs"] = msgs_table(messages, message_count);
    if (option_count) ns["options"] = int_options(options, option_count);
    return make_class(m, "Checker",
                      py::make_tuple(import("pylint.checkers", "BaseChecker")), ns);
}

void add_message(py::handle self, py::handle code, py::handle node, py::handle args) {
    py::dict kwargs;
    kwargs[name<"node">()] = node;
    kwargs[name<"args">()] = args;
    py::object method = self.attr(name<"add_message">());
    steal(PyObject_Call(method.ptr(), py::make_tuple(code).ptr(), kwargs.ptr()));
}

py::object build_transformer_visitor(py::module_ &m, py::handle message_ids,
                                     const Rewrite *rewrites, size_t count) {
    static const py::handle NodeTransformVisitor =
        import("vorlane.staticanalysis.helpers", "NodeTransformVisitor");
    static const py::handle nodes = import("astroid.nodes");
    py::object visitor = NodeTransformVisitor();
    py::object register_transform = visitor.attr(name<"register_transform">());
    py::list codes = steal(PySequence_List(message_ids.ptr()));
    codes.attr(name<"sort">())();
    for (py::handle code : codes) {
        for (size_t i = 0; i < count; ++i) {
            const Rewrite &rewrite = rewrites[i];
            py::str wanted(rewrite.code);
            int equal = PyObject_RichCompareBool(code.ptr(), wanted.ptr(), Py_EQ);
            if (equal < 0) throw py::error_already_set();
            if (!equal) continue;
            py::object predicate = m.attr(rewrite.predicate);
            if (rewrite.wrap) predicate = rewrite.wrap(predicate);
            register_transform(nodes.attr(rewrite.node_class),
                               m.attr(rewrite.transform), predicate);
        }
    }
    return visitor;
}

py::object helpers_call(py::handle function, py::handle arg) {
    static const py::handle helpers = import("vorlane.staticanalysis.helpers");
    py::object callable = helpers.attr(function);
    return steal(PyObject_CallOneArg(callable.ptr(), arg.ptr()));
}

bool in_migration_module(py::handle checker, py::handle node) {
    py::object module = node.attr(name<"root">())();
    py::object kept = attr_or_none(checker, name<"migration_module">());
    if (PyTuple_Check(kept.ptr()) && PyTuple_GET_SIZE(kept.ptr()) == 2 &&
        PyTuple_GET_ITEM(kept.ptr(), 0) == module.ptr())
        return PyTuple_GET_ITEM(kept.ptr(), 1) == Py_True;
    bool answer = helpers_is_migration_file(module);
    py::setattr(checker, name<"migration_module">(),
                py::make_tuple(module, py::bool_(answer)));
    return answer;
}

bool callee_looks_like_class(py::handle call) {
    static const py::handle Attribute = import("astroid.nodes", "Attribute");
    static const py::handle Name = import("astroid.nodes", "Name");
    py::object func = call.attr(name<"func">());
    py::object written;
    if (is_a(func, Attribute))
        written = func.attr(name<"attrname">());
    else if (is_a(func, Name))
        written = func.attr(name<"name">());
    else
        return false;
    if (!PyUnicode_Check(written.ptr())) return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(written.ptr());
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(written.ptr(), i);
        if (c != '_') return Py_UNICODE_ISUPPER(c);
    }
    return false;
}

namespace {

bool starts_with(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

bool loads_from_standard_library(py::handle module) {
    static const py::handle MANAGER = import("astroid", "MANAGER");
    static const py::handle AstroidImportError =
        import("astroid.exceptions", "AstroidImportError");
    static const py::handle standard_names = import("sys", "stdlib_module_names");
    static const py::handle std_dirs = import("astroid.modutils", "STD_LIB_DIRS");
    static const py::handle ext_dirs = import("astroid.modutils", "EXT_LIB_DIRS");
    auto dotted = as_string(module);
    if (!dotted) return false;
    py::str top(dotted->substr(0, dotted->find('.')));
    int standard = PySequence_Contains(standard_names.ptr(), top.ptr());
    if (standard < 0) throw py::error_already_set();
    if (!standard) return false;
    py::object spec;
    try {
        spec = MANAGER.attr(name<"file_from_module_name">())(top, py::none());
    } catch (py::error_already_set &e) {
        if (!e.matches(AstroidImportError)) throw;
        return false;
    }
    auto location = as_string(spec.attr(name<"location">()));
    if (!location) {
        // Compiled into the interpreter, or frozen.
        auto kind = as_string(spec.attr(name<"type">()).attr(name<"name">()));
        return kind && (*kind == "C_BUILTIN" || *kind == "PY_FROZEN");
    }
    // A virtual environment's lib directory counts as the library's and holds
    // site-packages.
    if (location->find("/site-packages/") != std::string::npos ||
        location->find("/dist-packages/") != std::string::npos)
        return false;
    for (py::handle dir : py::iter(ext_dirs))
        if (auto ext = as_string(dir); ext && starts_with(*location, *ext + "/"))
            return false;
    for (py::handle dir : py::iter(std_dirs))
        if (auto std = as_string(dir); std && starts_with(*location, *std + "/"))
            return true;
    return false;
}

bool from_standard_library(py::handle expr) {
    static const py::handle Attribute = import("astroid.nodes", "Attribute");
    static const py::handle Name = import("astroid.nodes", "Name");
    static const py::handle Import = import("astroid.nodes", "Import");
    static const py::handle ImportFrom = import("astroid.nodes", "ImportFrom");
    static const py::handle Module = import("astroid.nodes", "Module");
    py::object base = py::reinterpret_borrow<py::object>(expr);
    while (is_a(base, Attribute))
        base = base.attr(name<"expr">());
    if (!is_a(base, Name)) return false;
    py::object written = base.attr(name<"name">());
    py::tuple found = base.attr(name<"lookup">())(written);
    py::object scope = found[0], bindings = found[1];
    if (!truthy(bindings)) return false;
    if (is_a(scope, Module)) {
        auto module_name = as_string(scope.attr(name<"name">()));
        if (module_name && *module_name == "builtins") return true;
    }
    for (py::handle binding : py::iter(bindings)) {
        py::object module;
        if (is_a(binding, ImportFrom)) {
            if (truthy(binding.attr(name<"level">()))) return false; // the project's
            module = binding.attr(name<"modname">());
        } else if (is_a(binding, Import)) {
            try {
                module = binding.attr(name<"real_name">())(written);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) throw;
                return false; // no module to tell: inference decides
            }
        } else {
            return false; // a class, function or assignment of the project
        }
        if (!loads_from_standard_library(module)) return false;
    }
    return true;
}

namespace {
py::handle meta_module() {
    static const py::handle meta = import("vorlane.staticanalysis.meta");
    return meta;
}
} // namespace

py::object begin_fresh_call(py::handle project_root) {
    return meta_module().attr(name<"forget_stale_modules">())(project_root);
}

void end_fresh_call(py::handle text_trees, py::handle started) {
    meta_module().attr(name<"release_call_leftovers">())(text_trees, started);
}

py::object lazy_iterator(std::function<py::object()> next_item) {
    return py::cast(LazyIterator{std::move(next_item)});
}

py::object lazy_iter(std::function<py::object()> start) {
    auto iterator = std::make_shared<py::object>();
    auto started = std::make_shared<bool>(false);
    return lazy_iterator([start = std::move(start), iterator, started]() -> py::object {
        if (!*started) {
            *started = true;
            *iterator = py::iter(start());
        }
        PyObject *item = PyIter_Next(iterator->ptr());
        if (item) return py::reinterpret_steal<py::object>(item);
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object();
    });
}

} // namespace support
