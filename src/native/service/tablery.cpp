// kestrum.service.tablery: MySQL access through two routes to one database, an
// SQLAlchemy engine with reflected schema and sessions, and a DBUtils pool of
// PyMySQL connections, plus query helpers that return pandas frames.
#include "common/args.hpp"
#include "common/pyutil.hpp"

#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace kestrum;

namespace {

constexpr const char *kModule = "kestrum.service.tablery";
constexpr const char *kConnectTemplate = "mysql+pymysql://{user}:{password}@{host}:{port}/{db}?charset=utf8";
constexpr long kDefaultConnNum = 4;
constexpr long kMaxOverflow = 10;
constexpr long kPoolRecycleSeconds = 3600;
constexpr long kMaxShared = 3;

Imported url_parse("urllib.parse");

PyObject *g_module = nullptr; // this module, for its globals

// A module-level name, read at each use as Python code reads its globals, so that
// patching the module's names (or the libraries behind them) takes effect.
py::object global(const char *name) {
    PyObject *v = PyDict_GetItemString(PyModule_GetDict(g_module), name);
    if (!v) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

// The class's own with_session/with_conn functions, to tell them from overrides.
PyObject *g_own_with_session = nullptr;
PyObject *g_own_with_conn = nullptr;

bool is_exception(py::handle exc) { return PyObject_IsInstance(exc.ptr(), PyExc_Exception) == 1; }

// Raises a plain Exception carrying `cause`'s message, with `cause` as its context
// (what `raise Exception(str(e))` inside `except Exception as e:` produces).
[[noreturn]] void raise_replacement(py::handle cause, const py::str &message) {
    PyObject *exc = PyObject_CallOneArg(PyExc_Exception, message.ptr());
    if (!exc)
        throw py::error_already_set();
    PyException_SetContext(exc, py::reinterpret_borrow<py::object>(cause).release().ptr());
    // Restore, not SetObject: the context must stay `cause` even when the caller is
    // itself handling some other exception.
    Py_INCREF(PyExc_Exception);
    PyErr_Restore(PyExc_Exception, exc, nullptr);
    throw py::error_already_set();
}

// DBUtils re-runs a statement that failed with a connection-level error on a fresh
// connection unless the connection is inside a transaction; the statements before
// it would be lost while the commit reports success. The driver is not in
// autocommit mode, so the server already groups the statements: only the pool's
// flag needs setting, which costs no round trip. The flag is cleared by the commit
// or by the rollback made when the connection goes back to the pool.
void hold_transaction(py::handle conn) {
    PyObject *steady = PyObject_GetAttrString(conn.ptr(), "_con");
    if (!steady) {
        PyErr_Clear();
        return;
    }
    if (PyObject_HasAttrString(steady, "_transaction") && PyObject_SetAttrString(steady, "_transaction", Py_True) < 0)
        PyErr_Clear();
    Py_DECREF(steady);
}

enum class Route { session, conn };

// One scoped use of a session or a pooled connection: obtain, hand out, commit on
// success, turn ordinary failures into a logged warning plus a plain Exception, and
// always release. Backs with_session()/with_conn() and the helpers built on them.
class Scope {
  public:
    Scope(py::object service, Route route) : service_(std::move(service)), route_(route) {}
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;

    ~Scope() {
        // Abandoned while holding the resource (never exited): still give it back.
        if (resource_) {
            py::error_scope keep_pending;
            try {
                release();
            } catch (py::error_already_set &) {
            }
        }
    }

    py::object enter() {
        if (used_)
            raise(PyExc_RuntimeError, "this context manager can be entered only once");
        used_ = true;
        try {
            if (route_ == Route::session) {
                resource_ = py::getattr(service_, "get_session")();
                resource_.attr("begin")();
            } else {
                resource_ = py::getattr(service_, "pool").attr("connection")();
                hold_transaction(resource_);
            }
        } catch (py::error_already_set &e) {
            fail(e.value());
            throw;
        }
        return resource_;
    }

    // The body ended normally.
    void finish() {
        if (!resource_)
            return;
        try {
            resource_.attr("commit")();
        } catch (py::error_already_set &e) {
            fail(e.value());
            throw;
        }
        release();
    }

    // The body raised `exc`. An ordinary error is replaced by a plain Exception
    // (raised from here); anything else returns after the release, for the caller
    // to let it through unchanged.
    void fail(py::handle exc) {
        if (!is_exception(exc)) {
            release();
            return;
        }
        py::str message = safe_str(exc);
        try {
            py::str text(
                std::string(route_ == Route::session ? "error happen in session msg=" : "error happen in conn msg=") +
                std::string(message));
            py::getattr(service_, "_logger").attr("warning")(text);
        } catch (...) {
            release();
            throw;
        }
        release();
        raise_replacement(exc, message);
    }

    // The context-manager protocol's exit.
    bool exit(py::handle type, py::handle value) {
        if (!resource_)
            return false;
        if (type.is_none()) {
            finish();
            return false;
        }
        py::object exc = py::reinterpret_borrow<py::object>(value);
        if (exc.is_none())
            exc = py::reinterpret_borrow<py::object>(type)();
        fail(exc);
        return false;
    }

  private:
    void release() {
        py::object r = std::move(resource_);
        if (r)
            r.attr("close")();
    }

    py::object service_;
    Route route_;
    py::object resource_;
    bool used_ = false;
};

// Runs `body(resource)` inside a scope; the body's failures go through the scope.
template <typename Body> py::object scoped(py::handle service, Route route, Body &&body) {
    Scope scope(py::reinterpret_borrow<py::object>(service), route);
    py::object resource = scope.enter();
    py::object result;
    try {
        result = body(resource);
    } catch (py::error_already_set &e) {
        scope.fail(e.value());
        throw;
    }
    scope.finish();
    return result;
}

// The same through `self.with_session()`/`self.with_conn()`, so that a subclass's
// override is used; the class's own context managers take the direct path.
template <typename Body> py::object scoped_via(py::handle service, Route route, Body &&body) {
    static PyObject *session_name = PyUnicode_InternFromString("with_session");
    static PyObject *conn_name = PyUnicode_InternFromString("with_conn");
    const bool session = route == Route::session;
    py::object bound =
        py::reinterpret_steal<py::object>(PyObject_GetAttr(service.ptr(), session ? session_name : conn_name));
    if (!bound)
        throw py::error_already_set();
    if (PyMethod_Check(bound.ptr()) &&
        PyMethod_GET_FUNCTION(bound.ptr()) == (session ? g_own_with_session : g_own_with_conn) &&
        PyMethod_GET_SELF(bound.ptr()) == service.ptr())
        return scoped(service, route, std::forward<Body>(body));
    // The with statement, spelled out.
    py::object cm = bound();
    py::object exit = py::getattr(cm, "__exit__");
    py::object resource = cm.attr("__enter__")();
    py::object result;
    try {
        result = body(resource);
    } catch (py::error_already_set &e) {
        const int suppressed =
            PyObject_IsTrue(exit(e.type(), e.value(), e.trace() ? e.trace() : py::object(py::none())).ptr());
        if (suppressed < 0)
            throw py::error_already_set();
        if (suppressed)
            return py::none();
        throw;
    }
    exit(py::none(), py::none(), py::none());
    return result;
}

// A frame of the cursor's rows, labelled with the names in its description.
py::object result_frame(py::handle cur) {
    py::object rows = cur.attr("fetchall")();
    py::object description = cur.attr("description");
    py::list columns;
    for (py::handle entry : py::iter(description))
        columns.append(entry[py::int_(0)]);
    return global("pd").attr("DataFrame")(rows, py::arg("columns") = columns);
}

// quote() leaves letters, digits and "_.-~" alone and escapes everything else
// (a space as %20), which the URL parser of the SQL toolkit decodes back exactly.
py::object url_part(py::handle value) { return url_parse.get().attr("quote")(value, py::arg("safe") = ""); }

py::object truthy_bool(bool v) { return py::bool_(v); }

void init(py::handle self, py::object connect_info, py::object logger) {
    check_exact("connect_info", connect_info, &PyDict_Type);
    // The details (password included) are an argument, not part of the text.
    global("loggeruru").attr("info")("create mysql server", py::str(connect_info));
    py::dict info = py::reinterpret_borrow<py::dict>(connect_info);
    auto option = [&](const char *key) -> py::object {
        if (info.contains(key))
            return info[key];
        return py::int_(kDefaultConnNum);
    };
    py::setattr(self, "_sqlalchemy_conn_num", option("sqlalchemy_conn_num"));
    py::setattr(self, "_pool_conn_num", option("pool_conn_num"));
    py::setattr(self, "_connect_info", connect_info);
    py::setattr(self, "_logger", logger);

    auto item = [&](const char *key) -> py::object {
        PyObject *v = PyObject_GetItem(connect_info.ptr(), py::str(key).ptr());
        if (!v)
            throw py::error_already_set();
        return py::reinterpret_steal<py::object>(v);
    };
    py::object user = item("user");
    py::object password = url_part(item("password"));
    if (PyUnicode_Check(user.ptr()))
        user = url_part(user);
    py::object host = item("host");
    py::object port = item("port");
    py::object db = item("db");
    py::object connect_str = py::str(kConnectTemplate)
                                 .attr("format")(py::arg("user") = user, py::arg("password") = password,
                                                 py::arg("host") = host, py::arg("port") = port, py::arg("db") = db);

    py::object engine =
        global("create_engine")(connect_str, py::arg("pool_size") = py::getattr(self, "_sqlalchemy_conn_num"),
                                py::arg("max_overflow") = kMaxOverflow, py::arg("pool_pre_ping") = true,
                                py::arg("pool_recycle") = kPoolRecycleSeconds);
    try {
        py::setattr(self, "engine", engine);
        py::object base = global("automap_base")();
        py::setattr(self, "base", base);
        base.attr("prepare")(py::arg("autoload_with") = engine);
        py::setattr(self, "get_session", global("sessionmaker")(py::arg("bind") = engine));

        py::object pool_conn_num = py::getattr(self, "_pool_conn_num");
        const int positive = PyObject_RichCompareBool(pool_conn_num.ptr(), py::int_(0).ptr(), Py_GT);
        if (positive < 0)
            throw py::error_already_set();
        if (positive) {
            py::object pool = py::getattr(self, "_get_mysql_pool")(
                py::arg("host") = info["host"], py::arg("port") = info["port"], py::arg("user") = info["user"],
                py::arg("password") = info["password"], py::arg("db") = info["db"]);
            py::setattr(self, "pool", pool);
        }
    } catch (...) {
        // No instance comes out of a failed construction: close what it opened.
        py::error_scope keep_pending;
        try {
            engine.attr("dispose")();
        } catch (py::error_already_set &) {
        }
        throw;
    }
}

py::object get_mysql_pool(py::handle self, py::object host, py::object port, py::object user, py::object password,
                          py::object db) {
    py::object n = py::getattr(self, "_pool_conn_num");
    // DBUtils raises its connection limit to `maxshared` even though PyMySQL
    // connections are never shared; cap it so a pool of 1 or 2 really holds 1 or 2.
    long maxshared = kMaxShared;
    if (PyLong_CheckExact(n.ptr())) {
        const long v = PyLong_AsLong(n.ptr());
        if (v == -1 && PyErr_Occurred())
            PyErr_Clear();
        else if (v >= 1 && v < kMaxShared)
            maxshared = v;
    }
    return global("PooledDB")(py::arg("creator") = global("pymysql"), py::arg("maxconnections") = n,
                              py::arg("mincached") = 1, py::arg("maxcached") = n, py::arg("maxshared") = maxshared,
                              py::arg("blocking") = true, py::arg("maxusage") = py::none(),
                              py::arg("setsession") = py::list(), py::arg("ping") = 1, py::arg("host") = host,
                              py::arg("port") = py::int_(port), py::arg("user") = user, py::arg("password") = password,
                              py::arg("db") = db, py::arg("charset") = "utf8");
}

py::object read_sql_with_session(py::handle self, py::object sql) {
    check_exact("sql", sql, &PyUnicode_Type);
    return scoped_via(self, Route::session, [&](py::handle session) {
        return global("pd").attr("read_sql_query")(sql, session.attr("get_bind")());
    });
}

py::object safe_execute_sql_with_conn(py::handle self, py::object sql_template, py::object param, py::object is_read) {
    check_exact("sql_template", sql_template, &PyUnicode_Type);
    check_exact("param", param, &PyDict_Type);
    return scoped_via(self, Route::conn, [&](py::handle conn) {
        py::object cur = conn.attr("cursor")();
        py::object rst = cur.attr("execute")(sql_template, param);
        const int read = PyObject_IsTrue(is_read.ptr());
        if (read < 0)
            throw py::error_already_set();
        return read ? result_frame(cur) : rst;
    });
}

py::object safe_read_sql(py::object sql_template, py::object param, py::object conn) {
    check_exact("sql_template", sql_template, &PyUnicode_Type);
    check_exact("param", param, &PyDict_Type);
    py::object cur = conn.attr("cursor")();
    cur.attr("execute")(sql_template, param);
    py::object rst = result_frame(cur);
    cur.attr("close")();
    return rst;
}

// ServiceMysql.__init__ as a plain builtin: a pybind11 function named __init__
// would be taken for a pybind11 constructor.
PyObject *service_init_entry(PyObject *, PyObject *args, PyObject *kwargs) {
    static const Signature sig("ServiceMysql.__init__", {required("connect_info"), required("logger")}, true);
    return c_entry([&] {
        if (PyTuple_GET_SIZE(args) < 1)
            raise(PyExc_TypeError, "ServiceMysql.__init__() needs its instance");
        auto a = sig.bind_tuple(args, kwargs, 1);
        init(PyTuple_GET_ITEM(args, 0), a[0], a[1]);
        return Py_NewRef(Py_None);
    });
}

PyMethodDef service_init_def = {"__init__",
                                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(service_init_entry)),
                                METH_VARARGS | METH_KEYWORDS,
                                "__init__($self, connect_info, logger)\n--\n\nConnect to the database described by "
                                "connect_info."};

// A method taking (self, *args, **kwargs) whose arguments are bound like a def's.
template <typename F> py::object method(const char *name, const char *doc, Signature sig, F impl) {
    return instancemethod(
        py::cpp_function([sig = std::move(sig), impl](py::handle self, py::args args,
                                                      py::kwargs kwargs) { return impl(self, sig.bind(args, kwargs)); },
                         py::name(name), py::doc(doc)));
}

// A method retried by tenacity: the arguments are bound inside the retried call, so
// argument errors count as failed attempts.
template <typename F> py::object retried(const char *name, const char *doc, long attempts, Signature sig, F impl) {
    py::cpp_function body(
        [sig = std::move(sig), impl](py::args args, py::kwargs kwargs) { return impl(sig.bind(args, kwargs)); },
        py::name(name), py::doc(doc));
    py::object wrapped = global("retry")(py::arg("stop") = global("stop_after_attempt")(attempts))(body);
    set_function_names(wrapped, kModule, std::string("ServiceMysql.") + name);
    return wrapped;
}

py::object make_service_class() {
    py::dict ns;
    ns["__doc__"] = "MySQL access: an SQLAlchemy engine with reflected schema and sessions, a DBUtils pool of "
                    "PyMySQL connections, and query helpers returning pandas frames.";
    PyObject *init_fn = PyCFunction_NewEx(&service_init_def, nullptr, nullptr);
    if (!init_fn)
        throw py::error_already_set();
    ns["__init__"] = instancemethod(py::reinterpret_steal<py::object>(init_fn));
    ns["_get_mysql_pool"] = method(
        "_get_mysql_pool",
        "_get_mysql_pool(self, host, port, user, password, db)\n--\n\nA new DBUtils pool of PyMySQL connections to "
        "the given database.",
        Signature("ServiceMysql._get_mysql_pool",
                  {required("host"), required("port"), required("user"), required("password"), required("db")}, true),
        [](py::handle self, std::vector<py::object> a) { return get_mysql_pool(self, a[0], a[1], a[2], a[3], a[4]); });
    ns["with_session"] =
        method("with_session",
               "with_session(self)\n--\n\nContext manager lending a new session with a begun transaction; commits on "
               "success, always closes.",
               Signature("ServiceMysql.with_session", {}, true), [](py::handle self, std::vector<py::object>) {
                   return py::cast(new Scope(py::reinterpret_borrow<py::object>(self), Route::session),
                                   py::return_value_policy::take_ownership);
               });
    ns["with_conn"] =
        method("with_conn",
               "with_conn(self)\n--\n\nContext manager lending a pooled connection; commits on success, always "
               "returns it to the pool.",
               Signature("ServiceMysql.with_conn", {}, true), [](py::handle self, std::vector<py::object>) {
                   return py::cast(new Scope(py::reinterpret_borrow<py::object>(self), Route::conn),
                                   py::return_value_policy::take_ownership);
               });
    g_own_with_session = PyInstanceMethod_GET_FUNCTION(ns["with_session"].ptr());
    g_own_with_conn = PyInstanceMethod_GET_FUNCTION(ns["with_conn"].ptr());
    Py_INCREF(g_own_with_session);
    Py_INCREF(g_own_with_conn);
    ns["read_sql_with_session"] = retried(
        "read_sql_with_session",
        "read_sql_with_session(self, sql)\n--\n\nRead a query into a DataFrame through the engine (up to 3 attempts).",
        3, Signature("ServiceMysql.read_sql_with_session", {required("self"), required("sql")}),
        [](std::vector<py::object> a) { return read_sql_with_session(a[0], a[1]); });
    ns["safe_execute_sql_with_conn"] = method(
        "safe_execute_sql_with_conn",
        "safe_execute_sql_with_conn(self, sql_template, param, is_read=True)\n--\n\n"
        "Run a parameterised statement on a pooled connection and commit; the rows as a DataFrame when is_read, "
        "else the driver's execute result.",
        Signature("ServiceMysql.safe_execute_sql_with_conn",
                  {required("sql_template"), required("param"), optional("is_read", truthy_bool(true))}, true),
        [](py::handle self, std::vector<py::object> a) { return safe_execute_sql_with_conn(self, a[0], a[1], a[2]); });
    ns["safe_read_sql"] = retried("safe_read_sql",
                                  "safe_read_sql(self, sql_template, param, conn)\n--\n\nRun a parameterised read on "
                                  "the caller's connection (up to 2 attempts).",
                                  2,
                                  Signature("ServiceMysql.safe_read_sql", {required("self"), required("sql_template"),
                                                                           required("param"), required("conn")}),
                                  [](std::vector<py::object> a) { return safe_read_sql(a[1], a[2], a[3]); });
    return make_class(reinterpret_cast<PyObject *>(&PyType_Type), "ServiceMysql",
                      py::make_tuple(py::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))), ns, kModule,
                      "ServiceMysql");
}

} // namespace

PYBIND11_MODULE(tablery, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "MySQL access: ServiceMysql.";

    g_module = m.ptr();
    Py_INCREF(g_module);

    // Every library is imported now, so a missing one fails the import.
    m.attr("logging") = py::module_::import("logging");
    m.attr("pymysql") = py::module_::import("pymysql");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("loggeruru") = py::module_::import("loguru").attr("logger");
    py::module_ tenacity = py::module_::import("tenacity");
    for (const char *name : {"Retrying", "stop_after_attempt", "RetryError", "retry"})
        m.attr(name) = tenacity.attr(name);
    py::module_ sqlalchemy = py::module_::import("sqlalchemy");
    for (const char *name : {"create_engine", "MetaData", "Column", "Integer", "String"})
        m.attr(name) = sqlalchemy.attr(name);
    m.attr("sessionmaker") = py::module_::import("sqlalchemy.orm").attr("sessionmaker");
    m.attr("automap_base") = py::module_::import("sqlalchemy.ext.automap").attr("automap_base");
    m.attr("PooledDB") = py::module_::import("dbutils.pooled_db").attr("PooledDB");
    m.attr("contextmanager") = py::module_::import("contextlib").attr("contextmanager");
    m.attr("urlquote") = url_parse.get().attr("quote_plus");

    py::class_<Scope>(m, "_Scope", "A single-use context manager lending one session or pooled connection.")
        .def("__enter__", &Scope::enter)
        .def(
            "__exit__", [](Scope &s, py::handle type, py::handle value, py::handle) { return s.exit(type, value); },
            py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"));

    m.attr("ServiceMysql") = make_service_class();
}
