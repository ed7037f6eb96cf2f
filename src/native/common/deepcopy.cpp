#include "common/deepcopy.hpp"

#include "common/guarded.hpp"

#include <unordered_map>
#include <utility>
#include <vector>

namespace kestrum {

namespace {

struct Unsupported {};

// Nothing in here runs Python code: only exact built-in types are visited, and their
// hashes and comparisons are the runtime's own.
class FastCopy {
  public:
    py::object copy(PyObject *x, int depth = 0) {
        if (depth > kMaxDepth)
            throw Unsupported();
        PyTypeObject *tp = Py_TYPE(x);
        if (x == Py_None || tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type ||
            tp == &PyBytes_Type || tp == &PyComplex_Type)
            return py::reinterpret_borrow<py::object>(x);
        if (PyObject *known = find(x))
            return py::reinterpret_borrow<py::object>(known);
        if (tp == &PyDict_Type)
            return copy_dict(x, depth);
        if (tp == &PyList_Type)
            return copy_list(x, depth);
        if (tp == &PyTuple_Type)
            return copy_tuple(x, depth);
        throw Unsupported();
    }

  private:
    py::object copy_dict(PyObject *x, int depth) {
        py::dict y;
        remember(x, y.ptr());
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        const Py_ssize_t size = PyDict_GET_SIZE(x);
        while (PyDict_Next(x, &pos, &k, &v)) {
            py::object ck = copy(k, depth + 1);
            py::object cv = copy(v, depth + 1);
            if (PyDict_SetItem(y.ptr(), ck.ptr(), cv.ptr()) < 0)
                throw_pending();
        }
        if (PyDict_GET_SIZE(x) != size)
            throw Unsupported();
        return std::move(y);
    }

    py::object copy_list(PyObject *x, int depth) {
        py::list y;
        remember(x, y.ptr());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(x); ++i) {
            py::object item = copy(PyList_GET_ITEM(x, i), depth + 1);
            if (PyList_Append(y.ptr(), item.ptr()) < 0)
                throw_pending();
        }
        return std::move(y);
    }

    py::object copy_tuple(PyObject *x, int depth) {
        const Py_ssize_t n = PyTuple_GET_SIZE(x);
        std::vector<py::object> items;
        items.reserve(static_cast<size_t>(n));
        bool same = true;
        for (Py_ssize_t i = 0; i < n; ++i) {
            items.push_back(copy(PyTuple_GET_ITEM(x, i), depth + 1));
            same = same && items.back().ptr() == PyTuple_GET_ITEM(x, i);
        }
        // A cycle through this tuple may have copied it already.
        if (PyObject *again = find(x))
            return py::reinterpret_borrow<py::object>(again);
        if (same)
            return py::reinterpret_borrow<py::object>(x);
        py::tuple y(n);
        for (Py_ssize_t i = 0; i < n; ++i)
            PyTuple_SET_ITEM(y.ptr(), i, items[static_cast<size_t>(i)].release().ptr());
        remember(x, y.ptr());
        return std::move(y);
    }

    // Originals to their copies. Every copy stays referenced from the copy under
    // construction or the C++ stack, so borrowed pointers suffice.
    PyObject *find(PyObject *x) const {
        if (!map_.empty()) {
            auto it = map_.find(x);
            return it == map_.end() ? nullptr : it->second;
        }
        for (const auto &entry : few_)
            if (entry.first == x)
                return entry.second;
        return nullptr;
    }

    void remember(PyObject *x, PyObject *y) {
        if (map_.empty() && few_.size() < kFew) {
            few_.emplace_back(x, y);
            return;
        }
        if (map_.empty())
            map_.insert(few_.begin(), few_.end());
        map_[x] = y;
    }

    static constexpr int kMaxDepth = 100;
    static constexpr size_t kFew = 16;
    std::vector<std::pair<PyObject *, PyObject *>> few_;
    std::unordered_map<PyObject *, PyObject *> map_;
};

} // namespace

py::object deep_copy(py::handle value, py::handle copy_module) {
    try {
        FastCopy copier;
        return copier.copy(value.ptr());
    } catch (Unsupported &) {
    }
    static PyObject *const name = PyUnicode_InternFromString("deepcopy");
    return call_attr(copy_module, name, value);
}

} // namespace kestrum
