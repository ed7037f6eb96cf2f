#include "common/pyutil.hpp"

namespace kestrum {

py::handle Imported::get() {
    if (value_)
        return value_;
    py::object v = py::module_::import(module_);
    if (attr_)
        v = v.attr(attr_);
    if (!value_) // an import may release the GIL; keep the first result
        value_ = v.release().ptr();
    return value_;
}

py::object instancemethod(py::handle f) {
    PyObject *m = PyInstanceMethod_New(f.ptr());
    if (!m)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(m);
}

py::object classmethod(py::handle f) {
    PyObject *m = PyClassMethod_New(f.ptr());
    if (!m)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(m);
}

py::object make_class(py::handle metatype, const char *name, const py::tuple &bases, py::dict ns,
                      const std::string &module, const std::string &qualname) {
    ns["__module__"] = module;
    ns["__qualname__"] = qualname;
    return metatype(name, bases, ns);
}

void set_function_names(py::handle f, const std::string &module, const std::string &qualname) {
    py::setattr(f, "__qualname__", py::str(qualname));
    py::setattr(f, "__module__", py::str(module));
}

py::str safe_str(py::handle x) {
    PyObject *s = PyObject_Str(x.ptr());
    if (!s) {
        PyErr_Clear();
        s = PyObject_Repr(x.ptr());
    }
    if (!s) {
        PyErr_Clear();
        s = PyUnicode_FromFormat("<unprintable %s object>", Py_TYPE(x.ptr())->tp_name);
        if (!s)
            throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(s);
}

} // namespace kestrum
