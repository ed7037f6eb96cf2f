// kestrum.service.cachewell: one Redis connection pool per application and
// short-lived clients lent on it.
#include "common/args.hpp"
#include "common/pyutil.hpp"

#include <memory>
#include <string>

namespace py = pybind11;
using namespace kestrum;

namespace {

constexpr const char *kModule = "kestrum.service.cachewell";
const char *const kPoolKeys[] = {"host", "port", "db", "password"};

Imported contextmanager("contextlib", "contextmanager");

PyObject *g_module = nullptr; // this module, for its globals

// `redis.<attr>` with the module-level name `redis` read at each use, as Python code
// reads its globals, so that patching the module or the library takes effect.
py::object redis_attr(const char *attr) {
    PyObject *redis = PyDict_GetItemString(PyModule_GetDict(g_module), "redis");
    if (!redis) {
        PyErr_SetString(PyExc_NameError, "name 'redis' is not defined");
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(redis).attr(attr);
}

// The generator behind `with_conn`: the first resumption creates the client and
// yields it, the second (or a throw/close) closes it. contextlib drives it exactly
// like a generator with `try: yield conn` / `finally: conn.close()`.
class ConnLease {
  public:
    explicit ConnLease(py::object owner) : owner_(std::move(owner)) {}
    ConnLease(const ConnLease &) = delete;
    ConnLease &operator=(const ConnLease &) = delete;

    ~ConnLease() {
        // An abandoned lease gives its client back, as a collected generator would.
        if (state_ != kLent || !Py_IsInitialized())
            return;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject *r = PyObject_CallMethod(conn_.ptr(), "close", nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(conn_.ptr());
        PyErr_Restore(type, value, tb);
    }

    py::object next() {
        if (state_ == kFresh) {
            state_ = kDone; // a failing client creation leaves nothing to close
            py::object conn = redis_attr("Redis")(py::arg("connection_pool") = py::getattr(owner_, "pool"),
                                                  py::arg("decode_responses") = true);
            conn_ = std::move(conn);
            state_ = kLent;
            return conn_;
        }
        if (state_ == kLent)
            release();
        throw py::stop_iteration();
    }

    py::object send(py::handle value) {
        if (state_ == kFresh && !value.is_none())
            raise(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return next();
    }

    // generator.throw(typ[, val[, tb]]): the client is closed and the exception is
    // raised again, unchanged, so the with-block's error reaches the caller.
    py::object throw_(py::handle typ, py::handle val, py::handle tb) {
        py::object exc = make_exception(typ, val, tb);
        if (state_ == kLent)
            release();
        state_ = kDone;
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
        throw py::error_already_set();
    }

    void close() {
        if (state_ == kLent)
            release();
        state_ = kDone;
    }

  private:
    enum State { kFresh, kLent, kDone };

    void release() {
        state_ = kDone;
        py::object conn = std::move(conn_);
        conn.attr("close")();
    }

    static py::object make_exception(py::handle typ, py::handle val, py::handle tb) {
        py::object exc;
        if (PyExceptionInstance_Check(typ.ptr())) {
            if (!val.is_none())
                raise(PyExc_TypeError, "instance exception may not have a separate value");
            exc = py::reinterpret_borrow<py::object>(typ);
        } else if (PyExceptionClass_Check(typ.ptr())) {
            if (PyObject_TypeCheck(val.ptr(), reinterpret_cast<PyTypeObject *>(typ.ptr())))
                exc = py::reinterpret_borrow<py::object>(val);
            else if (val.is_none())
                exc = typ();
            else if (PyTuple_Check(val.ptr()))
                exc = typ(*py::reinterpret_borrow<py::tuple>(val));
            else
                exc = typ(val);
        } else {
            raise(PyExc_TypeError, std::string("exceptions must be classes or instances deriving from "
                                               "BaseException, not ") +
                                       Py_TYPE(typ.ptr())->tp_name);
        }
        if (!tb.is_none() && PyException_SetTraceback(exc.ptr(), tb.ptr()) < 0)
            throw py::error_already_set();
        return exc;
    }

    py::object owner_;
    py::object conn_;
    State state_ = kFresh;
};

void service_init(py::handle self, py::handle connect_info) {
    check_exact("connect_info", connect_info, &PyDict_Type);
    // Work on a copy: the caller's dictionary (often the project configuration
    // itself) keeps its other keys.
    py::dict info = py::reinterpret_steal<py::dict>(PyDict_Copy(connect_info.ptr()));
    if (!info)
        throw py::error_already_set();
    py::list remove_k;
    for (auto item : info) {
        bool known = false;
        for (const char *name : kPoolKeys) {
            const int eq = PyObject_RichCompareBool(item.first.ptr(), py::str(name).ptr(), Py_EQ);
            if (eq < 0)
                throw py::error_already_set();
            if (eq) {
                known = true;
                break;
            }
        }
        if (!known)
            remove_k.append(item.first);
    }
    for (py::handle k : remove_k)
        if (PyDict_DelItem(info.ptr(), k.ptr()) < 0)
            throw py::error_already_set();
    py::setattr(self, "pool", redis_attr("ConnectionPool")(**info));
}

// ServiceRedis.__init__ as a plain builtin: a pybind11 function named __init__
// would be taken for a pybind11 constructor.
PyObject *service_init_entry(PyObject *, PyObject *args, PyObject *kwargs) {
    static const Signature sig("ServiceRedis.__init__", {required("connect_info")}, true);
    return c_entry([&] {
        if (PyTuple_GET_SIZE(args) < 1)
            raise(PyExc_TypeError, "ServiceRedis.__init__() needs its instance");
        auto a = sig.bind_tuple(args, kwargs, 1);
        service_init(PyTuple_GET_ITEM(args, 0), a[0]);
        return Py_NewRef(Py_None);
    });
}

PyMethodDef service_init_def = {"__init__",
                                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(service_init_entry)),
                                METH_VARARGS | METH_KEYWORDS,
                                "__init__($self, connect_info)\n--\n\nBuild the pool from connect_info's host, "
                                "port, db and password."};

py::object make_service_class() {
    const Signature conn_sig("ServiceRedis.with_conn", {}, true);

    py::dict ns;
    ns["__doc__"] = "One Redis connection pool for the application, and clients lent on it by with_conn().";
    PyObject *init = PyCFunction_NewEx(&service_init_def, nullptr, nullptr);
    if (!init)
        throw py::error_already_set();
    ns["__init__"] = instancemethod(py::reinterpret_steal<py::object>(init));

    py::cpp_function lease(
        [conn_sig](py::object self, py::args args, py::kwargs kwargs) {
            conn_sig.bind(args, kwargs);
            return std::make_unique<ConnLease>(std::move(self));
        },
        py::name("with_conn"),
        py::doc("with_conn(self)\n--\n\nLend a redis.Redis client on the shared pool for one with-block; the client "
                "is closed when the block ends, whatever happens."));
    py::object with_conn = contextmanager(lease);
    with_conn.attr("__module__") = kModule;
    with_conn.attr("__qualname__") = "ServiceRedis.with_conn";
    ns["with_conn"] = with_conn;

    return make_class(reinterpret_cast<PyObject *>(&PyType_Type), "ServiceRedis",
                      py::make_tuple(py::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))), ns, kModule,
                      "ServiceRedis");
}

} // namespace

PYBIND11_MODULE(cachewell, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Redis access: ServiceRedis, a connection pool and scoped clients on it.";
    g_module = m.ptr();
    Py_INCREF(g_module);
    m.attr("redis") = py::module_::import("redis");
    m.attr("contextmanager") = contextmanager.get();

    py::class_<ConnLease>(m, "_ConnLease", "The generator behind ServiceRedis.with_conn.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &ConnLease::next)
        .def("send", &ConnLease::send, py::arg("value"))
        .def("throw", &ConnLease::throw_, py::arg("typ"), py::arg("val") = py::none(), py::arg("tb") = py::none())
        .def("close", &ConnLease::close);

    m.attr("ServiceRedis") = make_service_class();
}
