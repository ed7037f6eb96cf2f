// kestrum.service.cachewell: one Redis connection pool per application and
// short-lived clients lent on it.
#include "common/module.hpp"

#include <memory>
#include <string>

using namespace kestrum;

namespace {

const char *const kPoolKeys[] = {"host", "port", "db", "password"};

// `redis` is read at each use, as Python code reads its globals, so that patching the
// module or the library takes effect.
ModuleGlobals globals;

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
        from_destructor([&] { release(); }, conn_, owner_);
    }

    py::object next() {
        if (state_ == kFresh) {
            state_ = kDone; // a failing client creation leaves nothing to close
            py::object conn =
                call_attr(globals.get("redis"), "Redis", py::arg("connection_pool") = get_attr(owner_, "pool"),
                          py::arg("decode_responses") = true);
            conn_ = std::move(conn);
            state_ = kLent;
            return conn_;
        }
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
        release();
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
        throw py::error_already_set();
    }

    void close() { release(); }

  private:
    enum State { kFresh, kLent, kDone };

    // Closes the client if it is lent; the lease is over either way.
    void release() {
        const bool lent = state_ == kLent;
        state_ = kDone;
        if (!lent)
            return;
        py::object conn = std::move(conn_);
        call_attr(conn, "close");
        drop(conn); // the client's __del__ runs Python code
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
                exc = call(typ);
            else if (PyTuple_Check(val.ptr()))
                exc = call(typ, *py::reinterpret_borrow<py::tuple>(val));
            else
                exc = call(typ, val);
        } else {
            raise(PyExc_TypeError, std::string("exceptions must be classes or instances deriving from "
                                               "BaseException, not ") +
                                       Py_TYPE(typ.ptr())->tp_name);
        }
        if (!tb.is_none() && PyException_SetTraceback(exc.ptr(), tb.ptr()) < 0)
            throw_pending();
        return exc;
    }

    py::object owner_;
    py::object conn_;
    State state_ = kFresh;
};

py::object init(const Bound &a) {
    py::handle connect_info = a[0];
    check_exact("connect_info", connect_info, &PyDict_Type);
    // Work on a copy: the caller's dictionary (often the project configuration
    // itself) keeps its other keys.
    py::dict info = py::reinterpret_steal<py::dict>(steal(PyDict_Copy(connect_info.ptr())).release());
    py::list remove_k;
    for (auto entry : info) {
        bool known = false;
        for (const char *name : kPoolKeys)
            if ((known = equal(entry.first, py::str(name))))
                break;
        if (!known)
            remove_k.append(entry.first);
    }
    for (py::handle k : remove_k)
        if (PyDict_DelItem(info.ptr(), k.ptr()) < 0)
            throw_pending();
    set_attr(a.self, "pool", call_attr(globals.get("redis"), "ConnectionPool", **info));
    return py::none();
}

// with_conn(self): the generator contextlib.contextmanager drives.
py::object lease(const Bound &a) {
    return py::cast(new ConnLease(py::reinterpret_borrow<py::object>(a[0])), py::return_value_policy::take_ownership);
}

} // namespace

PYBIND11_MODULE(cachewell, m) {
    py::options options;
    options.disable_function_signatures();
    globals.bind(m, "Redis access: ServiceRedis, a connection pool and scoped clients on it.");
    m.attr("redis") = py::module_::import("redis");
    m.attr("contextmanager") = py::module_::import("contextlib").attr("contextmanager");

    py::class_<ConnLease>(m, "_ConnLease", "The generator behind ServiceRedis.with_conn.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &ConnLease::next)
        .def("send", &ConnLease::send, py::arg("value"))
        .def("throw", &ConnLease::throw_, py::arg("typ"), py::arg("val") = py::none(), py::arg("tb") = py::none())
        .def("close", &ConnLease::close);

    ServiceClass cls(globals.name(), "ServiceRedis",
                     "One Redis connection pool for the application, and clients lent on it by with_conn().");
    cls.method<init>("__init__", {required("connect_info")},
                     "Build the pool from connect_info's host, port, db and password.");
    py::object with_conn = call(globals.get("contextmanager"),
                                native_function<lease>(globals.name(), cls.qualname("with_conn"), {required("self")},
                                                       "Lend a redis.Redis client on the shared pool for one "
                                                       "with-block; the client is closed when the block ends, "
                                                       "whatever happens."));
    set_attr(with_conn, "__qualname__", py::str(cls.qualname("with_conn")));
    cls.attr("with_conn", with_conn);
    m.attr("ServiceRedis") = cls.type();
}
