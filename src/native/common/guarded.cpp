#include "common/guarded.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <vector>

namespace kestrum {

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

namespace {

// Room for the usual calls on the stack; slot 0 is spare for the callee
// (PY_VECTORCALL_ARGUMENTS_OFFSET lets it put `self` there without copying).
constexpr size_t kStackArgs = 12;

// The arguments of one vectorcall: an optional first one (the instance of a method
// call), the positional ones, then the values of the keywords.
class ArgVector {
  public:
    ArgVector(py::handle first, std::initializer_list<py::handle> args, std::initializer_list<py::handle> values) {
        const size_t n = (first ? 1 : 0) + args.size() + values.size();
        if (n + 1 > kStackArgs) {
            heap_.resize(n + 1);
            data_ = heap_.data();
        }
        data_[0] = nullptr;
        size_t i = 1;
        if (first)
            data_[i++] = first.ptr();
        for (py::handle a : args)
            data_[i++] = a.ptr();
        for (py::handle v : values)
            data_[i++] = v.ptr();
        positional_ = (first ? 1 : 0) + args.size();
    }
    PyObject **args() { return data_ + 1; }
    size_t nargsf() const { return positional_ | PY_VECTORCALL_ARGUMENTS_OFFSET; }

  private:
    PyObject *stack_[kStackArgs];
    std::vector<PyObject *> heap_;
    PyObject **data_ = stack_;
    size_t positional_ = 0;
};

} // namespace

void park_thread() noexcept {
    // Signals go to the other threads from now on; this one only waits.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;)
        pause();
}

bool may_use_python() noexcept {
    if (!interpreter_finalizing())
        return Py_IsInitialized() != 0;
    // At exit only the thread holding the GIL (the finalising one) may.
    return PyGILState_Check() != 0;
}

void throw_pending() { throw py::error_already_set(); }

py::object get_attr(py::handle obj, const char *name) {
    return steal(guarded([&] { return PyObject_GetAttrString(obj.ptr(), name); }));
}

py::object get_attr(py::handle obj, PyObject *name) {
    return steal(guarded([&] { return PyObject_GetAttr(obj.ptr(), name); }));
}

Keywords::Keywords(std::initializer_list<const char *> names) {
    names_ = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!names_)
        throw_pending();
    Py_ssize_t i = 0;
    for (const char *name : names) {
        PyObject *s = PyUnicode_InternFromString(name);
        if (!s)
            throw_pending();
        PyTuple_SET_ITEM(names_, i++, s);
    }
}

size_t Keywords::size() const { return static_cast<size_t>(PyTuple_GET_SIZE(names_)); }

py::object fast_call(py::handle f, std::initializer_list<py::handle> args) {
    ArgVector argv(py::handle(), args, {});
    return steal(guarded([&] { return PyObject_Vectorcall(f.ptr(), argv.args(), argv.nargsf(), nullptr); }));
}

py::object fast_call(py::handle f, std::initializer_list<py::handle> args, const Keywords &kw,
                     std::initializer_list<py::handle> values) {
    if (values.size() != kw.size())
        throw std::logic_error("keyword values do not match their names");
    ArgVector argv(py::handle(), args, values);
    PyObject *names = kw.names();
    return steal(guarded([&] { return PyObject_Vectorcall(f.ptr(), argv.args(), argv.nargsf(), names); }));
}

py::object fast_call_method(py::handle obj, PyObject *name, std::initializer_list<py::handle> args) {
    ArgVector argv(obj, args, {});
    return steal(guarded([&] { return PyObject_VectorcallMethod(name, argv.args(), argv.nargsf(), nullptr); }));
}

py::object item(py::handle container, py::handle key) {
    return steal(guarded([&] { return PyObject_GetItem(container.ptr(), key.ptr()); }));
}

namespace {

// The answer of a C-API predicate (1, 0, or -1 with an error set).
bool answer(int result) {
    if (result < 0)
        throw_pending();
    return result == 1;
}

} // namespace

bool contains(py::handle container, py::handle key) {
    return answer(guarded([&] { return PySequence_Contains(container.ptr(), key.ptr()); }));
}

bool is_true(py::handle value) {
    return answer(guarded([&] { return PyObject_IsTrue(value.ptr()); }));
}

bool compare(py::handle a, py::handle b, int op) {
    return answer(guarded([&] { return PyObject_RichCompareBool(a.ptr(), b.ptr(), op); }));
}

bool equal(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }

bool is_instance(py::handle value, py::handle cls) {
    return answer(guarded([&] { return PyObject_IsInstance(value.ptr(), cls.ptr()); }));
}

py::str text_of(py::handle value) {
    if (Py_TYPE(value.ptr()) == &PyUnicode_Type)
        return py::reinterpret_borrow<py::str>(value);
    return py::reinterpret_steal<py::str>(steal(guarded([&] { return PyObject_Str(value.ptr()); })).release());
}

void drop(py::object &ref) noexcept {
    PyObject *p = ref.release().ptr();
    if (!p || !may_use_python())
        return; // leaked: nothing of Python may be touched here
    guarded([&] {
        Py_DECREF(p);
        return 0;
    });
}

void set_attr(py::handle obj, const char *name, py::handle value) { set_attr(obj, py::str(name), value); }

void set_attr(py::handle obj, py::handle name, py::handle value) {
    if (guarded([&] { return PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()); }) < 0)
        throw_pending();
}

void for_each(py::handle iterable, const std::function<void(py::handle)> &body) {
    py::object it = steal(guarded([&] { return PyObject_GetIter(iterable.ptr()); }));
    for (;;) {
        PyObject *next = guarded([&] { return PyIter_Next(it.ptr()); });
        if (!next) {
            if (PyErr_Occurred())
                throw_pending();
            return;
        }
        body(py::reinterpret_steal<py::object>(next));
    }
}

py::object with_block(py::handle context_manager, const std::function<py::object(py::handle)> &body) {
    py::object exit = get_attr(context_manager, "__exit__");
    py::object resource = call_attr(context_manager, "__enter__");
    py::object result;
    try {
        result = body(resource);
    } catch (py::error_already_set &e) {
        py::object trace = e.trace() ? e.trace() : py::object(py::none());
        if (is_true(call(exit, e.type(), e.value(), trace)))
            return py::none();
        throw;
    }
    call(exit, py::none(), py::none(), py::none());
    return result;
}

void restore_thread(PyThreadState *state) noexcept {
    guarded([&] {
        PyEval_RestoreThread(state);
        return 0;
    });
}

GilAcquired::GilAcquired() : state_(guarded([] { return PyGILState_Ensure(); })) {}

GilAcquired::~GilAcquired() { PyGILState_Release(state_); }

} // namespace kestrum
