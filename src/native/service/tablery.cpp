// kestrum.service.tablery: MySQL access through two routes to one database, an
// SQLAlchemy engine with reflected schema and sessions, and a DBUtils pool of
// PyMySQL connections, plus query helpers that return pandas frames.
#include "common/module.hpp"

#include <string>
#include <utility>
#include <vector>

using namespace kestrum;

namespace {

constexpr const char *kConnectTemplate = "mysql+pymysql://{user}:{password}@{host}:{port}/{db}?charset=utf8";
constexpr long kDefaultConnNum = 4;
constexpr long kMaxOverflow = 10;
constexpr long kPoolRecycleSeconds = 3600;
constexpr long kMaxShared = 3;

Imported url_parse("urllib.parse");

// Module-level names, read at each use as Python code reads its globals, so that
// patching the module's names (or the libraries behind them) takes effect.
ModuleGlobals globals;

bool is_exception(py::handle exc) { return PyObject_IsInstance(exc.ptr(), PyExc_Exception) == 1; }

// Raises a plain Exception carrying `cause`'s message, with `cause` as its context
// (what `raise Exception(str(e))` inside `except Exception as e:` produces).
[[noreturn]] void raise_replacement(py::handle cause, const py::str &message) {
    py::object exc = fast_call(PyExc_Exception, {message});
    PyException_SetContext(exc.ptr(), py::reinterpret_borrow<py::object>(cause).release().ptr());
    // Restore, not SetObject: the context must stay `cause` even when the caller is
    // itself handling some other exception.
    Py_INCREF(PyExc_Exception);
    PyErr_Restore(PyExc_Exception, exc.release().ptr(), nullptr);
    throw_pending();
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
        from_destructor([&] { release(); }, resource_, service_);
    }

    py::object enter() {
        if (used_)
            raise(PyExc_RuntimeError, "this context manager can be entered only once");
        used_ = true;
        try {
            if (route_ == Route::session) {
                resource_ = call(get_attr(service_, "get_session"));
                call_attr(resource_, "begin");
            } else {
                resource_ = call_attr(get_attr(service_, "pool"), "connection");
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
            call_attr(resource_, "commit");
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
            call_attr(get_attr(service_, "_logger"), "warning", text);
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
            exc = call(type);
        fail(exc);
        return false;
    }

  private:
    // Never calls Python without the GIL: only reached from the protocol's methods and
    // from the destructor's checked path.
    void release() {
        py::object r = std::move(resource_);
        if (r) {
            call_attr(r, "close");
            drop(r); // a pooled connection's __del__ runs Python code
        }
    }

    py::object service_;
    Route route_;
    py::object resource_;
    bool used_ = false;
};

// body(resource) inside `with self.with_session()` / `with self.with_conn()`, so that a
// subclass's override is used.
py::object scoped(py::handle service, Route route, const std::function<py::object(py::handle)> &body) {
    return with_block(call_attr(service, route == Route::session ? "with_session" : "with_conn"), body);
}

// A frame of the cursor's rows, labelled with the names in its description.
py::object result_frame(py::handle cur) {
    py::object rows = call_attr(cur, "fetchall");
    py::object description = get_attr(cur, "description");
    py::list columns;
    for_each(description, [&](py::handle entry) { columns.append(item(entry, py::int_(0))); });
    return call_attr(globals.get("pd"), "DataFrame", rows, py::arg("columns") = columns);
}

// quote() leaves letters, digits and "_.-~" alone and escapes everything else
// (a space as %20), which the URL parser of the SQL toolkit decodes back exactly.
py::object url_part(py::handle value) { return call_attr(url_parse.get(), "quote", value, py::arg("safe") = ""); }

py::object init(const Bound &a) {
    py::handle self = a.self;
    py::object connect_info = py::reinterpret_borrow<py::object>(a[0]),
               logger = py::reinterpret_borrow<py::object>(a[1]);
    check_exact("connect_info", connect_info, &PyDict_Type);
    // The details (password included) are an argument, not part of the text.
    call_attr(globals.get("loggeruru"), "info", "create mysql server", text_of(connect_info));
    py::dict info = py::reinterpret_borrow<py::dict>(connect_info);
    auto option = [&](const char *key) -> py::object {
        if (info.contains(key))
            return info[key];
        return py::int_(kDefaultConnNum);
    };
    set_attr(self, "_sqlalchemy_conn_num", option("sqlalchemy_conn_num"));
    set_attr(self, "_pool_conn_num", option("pool_conn_num"));
    set_attr(self, "_connect_info", connect_info);
    set_attr(self, "_logger", logger);

    auto key = [&](const char *name) -> py::object { return item(connect_info, py::str(name)); };
    py::object user = key("user");
    py::object password = url_part(key("password"));
    if (PyUnicode_Check(user.ptr()))
        user = url_part(user);
    py::object host = key("host");
    py::object port = key("port");
    py::object db = key("db");
    py::object connect_str =
        call_attr(py::str(kConnectTemplate), "format", py::arg("user") = user, py::arg("password") = password,
                  py::arg("host") = host, py::arg("port") = port, py::arg("db") = db);

    py::object engine =
        call(globals.get("create_engine"), connect_str, py::arg("pool_size") = get_attr(self, "_sqlalchemy_conn_num"),
             py::arg("max_overflow") = kMaxOverflow, py::arg("pool_pre_ping") = true,
             py::arg("pool_recycle") = kPoolRecycleSeconds);
    try {
        set_attr(self, "engine", engine);
        py::object base = call(globals.get("automap_base"));
        set_attr(self, "base", base);
        call_attr(base, "prepare", py::arg("autoload_with") = engine);
        set_attr(self, "get_session", call(globals.get("sessionmaker"), py::arg("bind") = engine));
        py::object pool_conn_num = get_attr(self, "_pool_conn_num");
        py::int_ zero(0);
        if (is_true(steal(guarded([&] { return PyObject_RichCompare(pool_conn_num.ptr(), zero.ptr(), Py_GT); })))) {
            py::object pool = call_attr(self, "_get_mysql_pool", py::arg("host") = key("host"),
                                        py::arg("port") = key("port"), py::arg("user") = key("user"),
                                        py::arg("password") = key("password"), py::arg("db") = key("db"));
            set_attr(self, "pool", pool);
        }
    } catch (...) {
        // No instance comes out of a failed construction: close what it opened.
        py::error_scope keep_pending;
        try {
            call_attr(engine, "dispose");
        } catch (py::error_already_set &) {
        }
        throw;
    }
    return py::none();
}

py::object get_mysql_pool(const Bound &a) {
    py::object n = get_attr(a.self, "_pool_conn_num");
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
    py::object port = steal(guarded([&] { return PyNumber_Long(a[1].ptr()); }));
    return call(globals.get("PooledDB"), py::arg("creator") = globals.get("pymysql"), py::arg("maxconnections") = n,
                py::arg("mincached") = 1, py::arg("maxcached") = n, py::arg("maxshared") = maxshared,
                py::arg("blocking") = true, py::arg("maxusage") = py::none(), py::arg("setsession") = py::list(),
                py::arg("ping") = 1, py::arg("host") = a[0], py::arg("port") = port, py::arg("user") = a[2],
                py::arg("password") = a[3], py::arg("db") = a[4], py::arg("charset") = "utf8");
}

py::object with_session(const Bound &a) {
    return py::cast(new Scope(py::reinterpret_borrow<py::object>(a.self), Route::session),
                    py::return_value_policy::take_ownership);
}

py::object with_conn(const Bound &a) {
    return py::cast(new Scope(py::reinterpret_borrow<py::object>(a.self), Route::conn),
                    py::return_value_policy::take_ownership);
}

// read_sql_with_session(self, sql), retried by tenacity.
py::object read_sql_with_session(const Bound &a) {
    py::handle self = a[0], sql = a[1];
    check_exact("sql", sql, &PyUnicode_Type);
    return scoped(self, Route::session, [&](py::handle session) {
        return call_attr(globals.get("pd"), "read_sql_query", sql, call_attr(session, "get_bind"));
    });
}

void check_query(py::handle sql_template, py::handle param) {
    check_exact("sql_template", sql_template, &PyUnicode_Type);
    check_exact("param", param, &PyDict_Type);
}

py::object safe_execute_sql_with_conn(const Bound &a) {
    py::handle sql_template = a[0], param = a[1], is_read = a[2];
    check_query(sql_template, param);
    return scoped(a.self, Route::conn, [&](py::handle conn) {
        py::object cur = call_attr(conn, "cursor");
        py::object rst = call_attr(cur, "execute", sql_template, param);
        return is_true(is_read) ? result_frame(cur) : rst;
    });
}

// safe_read_sql(self, sql_template, param, conn), retried by tenacity.
py::object safe_read_sql(const Bound &a) {
    py::handle sql_template = a[1], param = a[2], conn = a[3];
    check_query(sql_template, param);
    py::object cur = call_attr(conn, "cursor");
    call_attr(cur, "execute", sql_template, param);
    py::object rst = result_frame(cur);
    call_attr(cur, "close");
    return rst;
}

// A function of (self, ...) retried by tenacity's decorator: the arguments are bound
// inside the retried call, so argument errors count as failed attempts.
py::object retried(const ServiceClass &cls, const char *name, long attempts, py::object function) {
    py::object decorator =
        call(globals.get("retry"), py::arg("stop") = call(globals.get("stop_after_attempt"), attempts));
    py::object wrapped = call(decorator, function);
    set_function_names(wrapped, globals.name(), cls.qualname(name));
    return wrapped;
}

} // namespace

PYBIND11_MODULE(tablery, m) {
    py::options options;
    options.disable_function_signatures();
    globals.bind(m, "MySQL access: ServiceMysql.");

    // Every library is imported now, so a missing one fails the import.
    bind_modules(m, {"logging", "pymysql"});
    m.attr("pd") = py::module_::import("pandas");
    m.attr("loggeruru") = py::module_::import("loguru").attr("logger");
    bind_names(m, "tenacity", {"Retrying", "stop_after_attempt", "RetryError", "retry"});
    bind_names(m, "sqlalchemy", {"create_engine", "MetaData", "Column", "Integer", "String"});
    bind_names(m, "sqlalchemy.orm", {"sessionmaker"});
    bind_names(m, "sqlalchemy.ext.automap", {"automap_base"});
    bind_names(m, "dbutils.pooled_db", {"PooledDB"});
    bind_names(m, "contextlib", {"contextmanager"});
    m.attr("urlquote") = url_parse.get().attr("quote_plus");

    py::class_<Scope>(m, "_Scope", "A single-use context manager lending one session or pooled connection.")
        .def("__enter__", &Scope::enter)
        .def(
            "__exit__", [](Scope &s, py::handle type, py::handle value, py::handle) { return s.exit(type, value); },
            py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"));

    ServiceClass cls(globals.name(), "ServiceMysql",
                     "MySQL access: an SQLAlchemy engine with reflected schema and sessions, a DBUtils pool of PyMySQL "
                     "connections, and query helpers returning pandas frames.");
    cls.method<init>("__init__", {required("connect_info"), required("logger")},
                     "Connect to the database described by connect_info.")
        .method<get_mysql_pool>(
            "_get_mysql_pool",
            {required("host"), required("port"), required("user"), required("password"), required("db")},
            "A new DBUtils pool of PyMySQL connections to the given database.")
        .method<with_session>("with_session", {},
                              "Context manager lending a new session with a begun transaction; commits on success, "
                              "always closes.")
        .method<with_conn>("with_conn", {},
                           "Context manager lending a pooled connection; commits on success, always returns it to "
                           "the pool.")
        .method<safe_execute_sql_with_conn>(
            "safe_execute_sql_with_conn",
            {required("sql_template"), required("param"), optional("is_read", py::bool_(true))},
            "Run a parameterised statement on a pooled connection and commit; the rows as a DataFrame when is_read, "
            "else the driver's execute result.");
    cls.attr("read_sql_with_session",
             retried(cls, "read_sql_with_session", 3,
                     native_function<read_sql_with_session>(
                         globals.name(), cls.qualname("read_sql_with_session"), {required("self"), required("sql")},
                         "Read a query into a DataFrame through the engine (up to 3 attempts).")));
    cls.attr("safe_read_sql",
             retried(cls, "safe_read_sql", 2,
                     native_function<safe_read_sql>(
                         globals.name(), cls.qualname("safe_read_sql"),
                         {required("self"), required("sql_template"), required("param"), required("conn")},
                         "Run a parameterised read on the caller's connection (up to 2 attempts).")));
    m.attr("ServiceMysql") = cls.type();
}
