#include "common/args.hpp"

namespace kestrum {

void check_exact(const char *name, py::handle value, PyTypeObject *tp, bool none_ok) {
    if (Py_TYPE(value.ptr()) == tp || (none_ok && value.is_none()))
        return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 tp->tp_name, Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
}

void raise(PyObject *exc_type, const std::string &message) {
    PyErr_SetString(exc_type, message.c_str());
    throw py::error_already_set();
}

void raise_exception(const std::string &message) { raise(PyExc_Exception, message); }

Signature::Signature(std::string qualname, std::vector<Param> params, bool self_counted)
    : qualname_(std::move(qualname)), params_(std::move(params)), self_counted_(self_counted) {}

size_t Signature::required() const {
    size_t n = 0;
    while (n < params_.size() && !params_[n].default_value)
        ++n;
    return n;
}

std::string Signature::text_signature(const std::string &name, const char *first) const {
    std::string text = name + "(";
    bool comma = false;
    if (first) {
        text += first;
        comma = true;
    }
    for (const Param &p : params_) {
        if (comma)
            text += ", ";
        comma = true;
        text += p.name;
        if (p.default_value)
            text += "=" + std::string(py::str(py::repr(p.default_value)));
    }
    return text + ")\n--\n\n";
}

namespace {

std::string plural(size_t n, const char *word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

} // namespace

std::vector<py::object> Signature::bind(const py::args &args, const py::kwargs &kwargs) const {
    const size_t n = params_.size();
    const size_t given = args.size();
    const size_t extra = self_counted_ ? 1 : 0;
    std::vector<py::object> out(n);
    for (size_t i = 0; i < given && i < n; ++i)
        out[i] = py::reinterpret_borrow<py::object>(args[i]);
    // Keywords first, then the positional count: the order in which CPython reports.
    if (kwargs && PyDict_GET_SIZE(kwargs.ptr()) > 0) {
        for (auto item : kwargs) {
            if (!PyUnicode_Check(item.first.ptr()))
                raise(PyExc_TypeError, qualname_ + "() keywords must be strings");
            const std::string key = py::cast<std::string>(item.first);
            size_t i = 0;
            while (i < n && key != params_[i].name)
                ++i;
            if (i == n)
                raise(PyExc_TypeError, qualname_ + "() got an unexpected keyword argument '" + key + "'");
            if (out[i])
                raise(PyExc_TypeError, qualname_ + "() got multiple values for argument '" + key + "'");
            out[i] = py::reinterpret_borrow<py::object>(item.second);
        }
    }
    if (given > n) {
        const size_t min_pos = required();
        std::string takes = min_pos == n ? plural(n + extra, "positional argument")
                                         : "from " + std::to_string(min_pos + extra) + " to " +
                                               std::to_string(n + extra) + " positional arguments";
        raise(PyExc_TypeError, qualname_ + "() takes " + takes + " but " + std::to_string(given + extra) +
                                   (given + extra == 1 ? " was" : " were") + " given");
    }
    std::vector<const char *> missing;
    for (size_t i = 0; i < n; ++i) {
        if (out[i])
            continue;
        if (params_[i].default_value)
            out[i] = params_[i].default_value;
        else
            missing.push_back(params_[i].name);
    }
    if (!missing.empty()) {
        std::string names;
        for (size_t i = 0; i < missing.size(); ++i) {
            if (i > 0)
                names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
            names += std::string("'") + missing[i] + "'";
        }
        raise(PyExc_TypeError,
              qualname_ + "() missing " + plural(missing.size(), "required positional argument") + ": " + names);
    }
    return out;
}

std::vector<py::object> Signature::bind_vector(PyObject *const *args, size_t nargs, PyObject *kwnames) const {
    py::tuple positional(nargs);
    for (size_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(positional.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(args[i]));
    py::dict keywords;
    if (kwnames)
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
            keywords[PyTuple_GET_ITEM(kwnames, i)] = py::handle(args[nargs + static_cast<size_t>(i)]);
    return bind(py::reinterpret_borrow<py::args>(positional), py::reinterpret_borrow<py::kwargs>(keywords));
}

std::vector<py::object> Signature::bind_tuple(PyObject *args, PyObject *kwargs, Py_ssize_t skip) const {
    const Py_ssize_t n = args ? PyTuple_GET_SIZE(args) : 0;
    auto rest = py::reinterpret_steal<py::args>(args ? PyTuple_GetSlice(args, skip < n ? skip : n, n) : PyTuple_New(0));
    if (!rest)
        throw py::error_already_set();
    return bind(rest, kwargs ? py::reinterpret_borrow<py::kwargs>(kwargs) : py::kwargs());
}

} // namespace kestrum
