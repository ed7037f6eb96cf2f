#include "common/pyutil.hpp"

namespace kestrum {

py::handle Imported::get() {
    if (value_)
        return value_;
    py::object v = steal(guarded([&] { return PyImport_ImportModule(module_); }));
    if (attr_)
        v = get_attr(v, attr_);
    if (!value_) // an import may release the GIL; keep the first result
        value_ = v.release().ptr();
    return value_;
}

PyObject *interned(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        throw_pending();
    return s;
}

void ModuleGlobals::bind(py::handle module) {
    PyObject *dict = PyModule_GetDict(module.ptr());
    if (!dict)
        throw_pending();
    module_ = py::reinterpret_borrow<py::object>(module).release().ptr();
    dict_ = dict;
    name_ = py::cast<std::string>(module.attr("__name__"));
}

void ModuleGlobals::bind(py::module_ &module, const char *doc) {
    module.doc() = doc;
    bind(module);
}

py::object ModuleGlobals::get(PyObject *name) const {
    PyObject *v = PyDict_GetItemWithError(dict_, name);
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw_pending();
    }
    return py::reinterpret_borrow<py::object>(v);
}

py::object ModuleGlobals::get(const char *name) const { return get(py::str(name).ptr()); }

py::object ModuleGlobals::attr(const char *name, const char *attr) const { return get_attr(get(name), attr); }

py::object instancemethod(py::handle f) { return steal(PyInstanceMethod_New(f.ptr())); }

py::object classmethod(py::handle f) { return steal(PyClassMethod_New(f.ptr())); }

py::object make_class(py::handle metatype, const char *name, const py::tuple &bases, py::dict ns,
                      const std::string &module, const std::string &qualname) {
    ns["__module__"] = module;
    ns["__qualname__"] = qualname;
    return call(metatype, name, bases, ns);
}

void bind_modules(py::module_ &m, std::initializer_list<const char *> modules) {
    for (const char *name : modules)
        m.attr(name) = py::module_::import(name);
}

void bind_names(py::module_ &m, const char *module, std::initializer_list<const char *> names) {
    py::module_ from = py::module_::import(module);
    for (const char *name : names) {
        // As `from package import submodule` does, a submodule not yet loaded is imported.
        if (!py::hasattr(from, name))
            py::module_::import((std::string(module) + "." + name).c_str());
        m.attr(name) = from.attr(name);
    }
}

void set_function_names(py::handle f, const std::string &module, const std::string &qualname) {
    py::setattr(f, "__qualname__", py::str(qualname));
    py::setattr(f, "__module__", py::str(module));
}

py::str safe_str(py::handle x) {
    PyObject *s = guarded([&] { return PyObject_Str(x.ptr()); });
    if (!s) {
        PyErr_Clear();
        s = guarded([&] { return PyObject_Repr(x.ptr()); });
    }
    if (!s) {
        PyErr_Clear();
        s = PyUnicode_FromFormat("<unprintable %s object>", Py_TYPE(x.ptr())->tp_name);
        if (!s)
            throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(s);
}

py::object weak_target(PyObject *ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *target = nullptr;
    if (PyWeakref_GetRef(ref, &target) < 0)
        throw_pending();
    return py::reinterpret_steal<py::object>(target);
#else
    PyObject *target = PyWeakref_GetObject(ref);
    if (!target)
        throw_pending();
    if (target == Py_None)
        return py::object();
    return py::reinterpret_borrow<py::object>(target);
#endif
}

} // namespace kestrum
