#include "common/service.hpp"

#include "common/guarded.hpp"
#include "common/pyutil.hpp"

#include <stdexcept>
#include <utility>

namespace kestrum {

namespace detail {

NativeDef *make_def(std::string qualname, const char *name, std::vector<Signature::Param> params, const char *doc,
                    const char *first, PyCFunction entry) {
    if (params.size() > kMaxParams)
        throw std::logic_error("too many parameters for a native function");
    const bool method = first && std::string(first) == "$self";
    // Kept for the life of the process: the runtime holds on to the PyMethodDef.
    auto *native = new NativeDef{Signature(std::move(qualname), std::move(params), method), 0, name, "", {}};
    native->required = native->sig.required();
    native->doc = native->sig.text_signature(native->name, first) + doc;
    native->def = PyMethodDef{native->name.c_str(), entry, METH_FASTCALL | METH_KEYWORDS, native->doc.c_str()};
    return native;
}

py::object make_function(NativeDef &native, py::handle self, const std::string &module) {
    py::str module_name(module);
    return steal(PyCFunction_NewEx(&native.def, self.ptr(), module_name.ptr()));
}

PyObject *run_native(const NativeDef &native, NativeBody body, PyObject *self, PyObject *const *args,
                     Py_ssize_t nargs_given, PyObject *kwnames) {
    return c_entry([&]() -> PyObject * {
        const auto &params = native.sig.params();
        const size_t n = params.size();
        const size_t nargs = static_cast<size_t>(nargs_given);
        py::handle bound[kMaxParams];
        std::vector<py::object> slow;
        if (!kwnames && nargs >= native.required && nargs <= n) {
            for (size_t i = 0; i < n; ++i)
                bound[i] = i < nargs ? py::handle(args[i]) : py::handle(params[i].default_value);
        } else {
            slow = native.sig.bind_vector(args, nargs, kwnames);
            for (size_t i = 0; i < n; ++i)
                bound[i] = slow[i];
        }
        py::object result = body(Bound(self, bound, n));
        return result ? result.release().ptr() : Py_NewRef(Py_None);
    });
}

} // namespace detail

namespace {

py::handle object_type() { return reinterpret_cast<PyObject *>(&PyBaseObject_Type); }
py::handle type_type() { return reinterpret_cast<PyObject *>(&PyType_Type); }

} // namespace

ServiceClass::ServiceClass(const std::string &module, const char *name, const char *doc)
    : ServiceClass(module, name, name, doc, py::make_tuple(object_type()), type_type()) {}

ServiceClass::ServiceClass(const std::string &module, const char *name, const char *qualname, const char *doc,
                           const py::tuple &bases, py::handle metatype)
    : module_(module), qualname_(qualname) {
    py::dict ns;
    ns["__doc__"] = doc;
    type_ = make_class(metatype, name, bases, ns, module_, qualname_);
}

void ServiceClass::add_method(detail::NativeDef &native, bool unbound) {
    if (unbound) {
        attr(native.name.c_str(), instancemethod(detail::make_function(native, py::handle(), module_)));
        return;
    }
    PyObject *descr = PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(type_.ptr()), &native.def);
    attr(native.name.c_str(), steal(descr));
}

ServiceClass &ServiceClass::attr(const char *name, py::handle value) {
    set_attr(type_, name, value);
    return *this;
}

} // namespace kestrum
