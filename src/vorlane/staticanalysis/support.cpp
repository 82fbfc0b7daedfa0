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
            register_transform(nodes.attr(rewrite.node_class),
                               m.attr(rewrite.transform), m.attr(rewrite.predicate));
        }
    }
    return visitor;
}

bool callee_looks_like_class(py::handle call) {
    static const py::handle Attribute = import("astroid.nodes", "Attribute");
    static const py::handle Name = import("astroid.nodes", "Name");
    py::object func = call.attr(name<"func">());
    PyTypeObject *type = Py_TYPE(func.ptr());
    py::object written;
    if (PyType_IsSubtype(type, reinterpret_cast<PyTypeObject *>(Attribute.ptr())))
        written = func.attr(name<"attrname">());
    else if (PyType_IsSubtype(type, reinterpret_cast<PyTypeObject *>(Name.ptr())))
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
