// kestrum.service.permward: role-based authorization over a MySQL policy table,
// evaluated by casbin and reloaded in every process through a Redis channel.
#include "common/args.hpp"
#include "common/pyutil.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;
using namespace kestrum;

namespace {

constexpr const char *kModule = "kestrum.service.permward";
constexpr const char *kConnectTemplate = "mysql+pymysql://{user}:{password}@{host}:{port}/{db}?charset=utf8";
constexpr const char *kModelFile = "../config_casbin_model_rbac.conf";
constexpr const char *kReloadChannel = "__KESTRUM_CASBIN_RELOAD_SIGNAL";
constexpr const char *kRowQualname = "ServiceCasbin.__init__.<locals>._create_db_class.<locals>.MyCasbinPolicy";
constexpr double kPollSeconds = 1.0;
constexpr double kBackoffFirst = 1.0;
constexpr double kBackoffMax = 30.0;
constexpr double kExitGraceSeconds = 1.0;

Imported url_parse("urllib.parse");
Imported adapter_module("casbin_sqlalchemy_adapter.adapter");
Imported sqlalchemy_module("sqlalchemy");

PyObject *g_module = nullptr; // this module, kept for its __file__ and its globals

// A module-level name, read at each use as Python code reads its globals, so that
// patching the module (or the library behind the name) takes effect. New reference,
// or null with NameError set.
PyObject *global_ref(const char *name) {
    PyObject *v = PyDict_GetItemString(PyModule_GetDict(g_module), name);
    if (!v) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return nullptr;
    }
    return Py_NewRef(v);
}

py::object global(const char *name) {
    PyObject *v = global_ref(name);
    if (!v)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
}

// `module_name.attr` with both parts read now.
py::object global_attr(const char *module_name, const char *attr) { return global(module_name).attr(attr); }

// Locks that C++ code takes with the GIL released. A thread holding one at fork
// time does not exist in the child, so the child starts with fresh ones.
pthread_mutex_t g_decision_mu = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t g_row_classes_mu = PTHREAD_MUTEX_INITIALIZER;

void reset_locks_in_child() {
    pthread_mutex_init(&g_decision_mu, nullptr);
    pthread_mutex_init(&g_row_classes_mu, nullptr);
}

// Takes `mu`, waiting for it without the GIL.
class NoGilLock {
  public:
    explicit NoGilLock(pthread_mutex_t &mu) : mu_(mu) {
        if (pthread_mutex_trylock(&mu_) != 0) {
            Py_BEGIN_ALLOW_THREADS pthread_mutex_lock(&mu_);
            Py_END_ALLOW_THREADS
        }
    }
    ~NoGilLock() { pthread_mutex_unlock(&mu_); }
    NoGilLock(const NoGilLock &) = delete;
    NoGilLock &operator=(const NoGilLock &) = delete;

  private:
    pthread_mutex_t &mu_;
};

// ---------------------------------------------------------------------------
// The policy row class

py::str row_text(py::handle self) {
    py::list parts;
    parts.append(py::getattr(self, "ptype"));
    static const char *const kValues[] = {"v0", "v1", "v2", "v3", "v4", "v5"};
    for (const char *name : kValues) {
        py::object v = py::getattr(self, name);
        if (v.is_none())
            break;
        parts.append(v);
    }
    // The adapter rebuilds each rule by parsing this text.
    return py::str(", ").attr("join")(parts);
}

py::object create_db_class(py::handle tb_name) {
    py::dict ns;
    ns["__tablename__"] = tb_name;
    py::object column = global("Column"), string = global("String");
    ns["id"] = column(global("Integer"), py::arg("primary_key") = true);
    ns["ptype"] = column(string(50));
    static const char *const kValues[] = {"v0", "v1", "v2", "v3", "v4", "v5"};
    for (const char *name : kValues)
        ns[name] = column(string(50));
    ns["__str__"] =
        instancemethod(py::cpp_function([](py::handle self) { return row_text(self); }, py::name("__str__")));
    ns["__repr__"] = instancemethod(py::cpp_function(
        [](py::handle self) {
            return py::str("<CasbinRule {}: \"{}\">").format(py::getattr(self, "id"), row_text(self));
        },
        py::name("__repr__")));
    py::object base = adapter_module.get().attr("Base");
    return make_class(py::type::of(base), "MyCasbinPolicy", py::make_tuple(base), ns, kModule, kRowQualname);
}

// One row class per table name for the whole process: the declarative base refuses
// a second declaration of the same table, and a second service (another container)
// over the same table is ordinary.
PyObject *g_row_classes = nullptr; // dict: table name -> row class

py::object row_class_for(py::handle tb_name) {
    NoGilLock lock(g_row_classes_mu); // the class creation below may release the GIL
    if (!g_row_classes && !(g_row_classes = PyDict_New()))
        throw py::error_already_set();
    PyObject *known = PyDict_GetItemWithError(g_row_classes, tb_name.ptr());
    if (known)
        return py::reinterpret_borrow<py::object>(known);
    if (PyErr_Occurred())
        throw py::error_already_set();
    py::object cls = create_db_class(tb_name);
    if (PyDict_SetItem(g_row_classes, tb_name.ptr(), cls.ptr()) < 0)
        throw py::error_already_set();
    return cls;
}

// ---------------------------------------------------------------------------
// Construction and the plain operations

py::object item(py::handle info, const char *key) {
    PyObject *v = PyObject_GetItem(info.ptr(), py::str(key).ptr());
    if (!v)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
}

py::object model_path() {
    py::object file = py::getattr(g_module, "__file__");
    py::object path = global_attr("os", "path");
    return path.attr("join")(path.attr("dirname")(path.attr("abspath")(file)), kModelFile);
}

void service_init(py::handle self, py::handle info, py::handle logger) {
    check_exact("info", info, &PyDict_Type);
    py::dict fields;
    fields["user"] = item(info, "user");
    // quote(safe=""), not quote_plus: the URL parser decodes "%20" but keeps "+",
    // so a password with a blank would never log in.
    fields["password"] = url_parse.get().attr("quote")(item(info, "password"), py::arg("safe") = "");
    fields["host"] = item(info, "host");
    fields["port"] = item(info, "port");
    fields["db"] = item(info, "db");
    py::object connect_str = py::str(kConnectTemplate).attr("format")(**fields);

    py::setattr(self, "_group_pat", global_attr("re", "compile")("^G-.*"));
    py::object row_class = row_class_for(item(info, "tb"));
    // Pre-ping and recycle: the first reload after the server dropped idle
    // connections must not fail.
    py::object engine = sqlalchemy_module.get().attr("create_engine")(connect_str, py::arg("pool_pre_ping") = true,
                                                                      py::arg("pool_recycle") = 3600);
    py::setattr(self, "_adapter",
                global_attr("casbin_sqlalchemy_adapter", "Adapter")(engine, py::arg("db_class") = row_class));
    py::setattr(self, "_enforce", global_attr("casbin", "SyncedEnforcer")(model_path(), py::getattr(self, "_adapter")));
    py::setattr(self, "_logger", logger);
    py::setattr(self, "_info", info);
    py::setattr(self, "_reload_channal_name", py::str(kReloadChannel));
}

bool truthy(py::handle v) {
    const int t = PyObject_IsTrue(v.ptr());
    if (t < 0)
        throw py::error_already_set();
    return t == 1;
}

void role_test(py::handle self, py::handle role) {
    py::object found = py::getattr(self, "_group_pat").attr("search")(role);
    if (truthy(found))
        return;
    PyObject *msg = PyUnicode_Concat(py::str("role must start with G- not ").ptr(), role.ptr());
    if (!msg)
        throw py::error_already_set();
    PyErr_SetObject(PyExc_Exception, msg);
    Py_DECREF(msg);
    throw py::error_already_set();
}

PyObject *g_is_role = nullptr; // the class's own _is_role function

// self._is_role(role), through the instance so that an override is used.
bool is_role(py::handle self, py::handle role) {
    static PyObject *name = PyUnicode_InternFromString("_is_role");
    py::object bound = py::reinterpret_steal<py::object>(PyObject_GetAttr(self.ptr(), name));
    if (!bound)
        throw py::error_already_set();
    if (PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == g_is_role &&
        PyMethod_GET_SELF(bound.ptr()) == self.ptr()) {
        role_test(self, role);
        return true;
    }
    return truthy(bound(role));
}

// with self._cachewell.with_conn() as rc: rc.publish(channel, "reload")
void publish_reload(py::handle self) {
    py::object cm = py::getattr(self, "_cachewell").attr("with_conn")();
    py::object exit = py::getattr(cm, "__exit__");
    py::object rc = cm.attr("__enter__")();
    try {
        rc.attr("publish")(py::getattr(self, "_reload_channal_name"), "reload");
    } catch (py::error_already_set &e) {
        if (!truthy(exit(e.type(), e.value(), e.trace())))
            throw;
        return;
    }
    exit(py::none(), py::none(), py::none());
}

py::object enforcer(py::handle self) { return py::getattr(self, "_enforce"); }

// From 3.11 on, the AST converter keeps one recursion counter per interpreter, and
// threads parsing at the same time (the policy engine parses its matcher on every
// decision) fail with "SystemError: AST constructor recursion depth mismatch".
// Decisions run under the GIL anyway, so serialising them costs next to nothing.
#if PY_VERSION_HEX >= 0x030B0000
constexpr bool kSerialiseDecisions = true;
#else
constexpr bool kSerialiseDecisions = false;
#endif

class DecisionGuard {
  public:
    DecisionGuard() {
        if (kSerialiseDecisions)
            lock_.emplace(g_decision_mu);
    }

  private:
    std::optional<NoGilLock> lock_;
};

// ---------------------------------------------------------------------------
// The reload watcher. It runs on a daemon thread, so at interpreter exit it may be
// stopped for good wherever it waits for the GIL; the thread is then unwound
// without the GIL. Its frames therefore hold references only through Ref, which
// lets go without touching the object in that case, and it avoids pybind11 types.

class Ref {
  public:
    explicit Ref(PyObject *p = nullptr) : p_(p) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { reset(); }
    void reset(PyObject *p = nullptr) {
        PyObject *old = p_;
        p_ = p;
        if (old && PyGILState_Check())
            Py_DECREF(old);
    }
    PyObject *get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    PyObject *p_;
};

struct Watcher {
    const long pid = static_cast<long>(getpid());
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
    bool done = false;

    // Sleeps without the GIL; true when asked to stop.
    bool pause(double seconds) {
        bool stopped;
        PyThreadState *ts = PyEval_SaveThread();
        {
            std::unique_lock<std::mutex> lk(mu);
            stopped = cv.wait_for(lk, std::chrono::duration<double>(seconds), [this] { return stop; });
        }
        PyEval_RestoreThread(ts);
        return stopped;
    }
};

// Every watcher started in this process; touched only with the GIL held.
std::vector<std::shared_ptr<Watcher>> *g_watchers = nullptr;

// The pending error, fetched; the caller owns the three references.
struct Fetched {
    Ref type, value, tb;
    Fetched() {
        PyObject *t, *v, *b;
        PyErr_Fetch(&t, &v, &b);
        PyErr_NormalizeException(&t, &v, &b);
        type.reset(t);
        value.reset(v);
        tb.reset(b);
    }
    bool is_exception() const { return type && PyErr_GivenExceptionMatches(type.get(), PyExc_Exception); }
    // Puts the error back (for errors the watcher does not handle).
    void restore() {
        PyObject *t = type.get(), *v = value.get(), *b = tb.get();
        Py_XINCREF(t);
        Py_XINCREF(v);
        Py_XINCREF(b);
        PyErr_Restore(t, v, b);
    }
};

PyObject *text_of(PyObject *obj) {
    PyObject *s = obj ? PyObject_Str(obj) : nullptr;
    if (!s) {
        PyErr_Clear();
        s = obj ? PyObject_Repr(obj) : nullptr;
    }
    if (!s) {
        PyErr_Clear();
        s = PyUnicode_FromString("<unprintable error>");
    }
    return s;
}

// self._logger.<level>(message); returns false with the error pending.
bool log_call(PyObject *self, const char *level, PyObject *message) {
    if (!message)
        return false;
    Ref logger(PyObject_GetAttrString(self, "_logger"));
    if (!logger)
        return false;
    Ref r(PyObject_CallMethod(logger.get(), level, "O", message));
    return static_cast<bool>(r);
}

// A logger that cannot log must not end the watcher: report it the way Python
// reports errors nobody can catch, and go on.
void log_or_report(PyObject *self, const char *level, PyObject *message) {
    if (!log_call(self, level, message))
        PyErr_WriteUnraisable(self);
}

void warn_error(PyObject *self, const Fetched &err) {
    Ref text(text_of(err.value ? err.value.get() : err.type.get()));
    Ref msg(text ? PyUnicode_FromFormat("casbin reload error with e=%U", text.get()) : nullptr);
    if (!msg) {
        PyErr_Clear();
        return;
    }
    log_or_report(self, "warning", msg.get());
}

// load_policy and its debug line; false with the error pending.
bool reload_policy(PyObject *self) {
    Ref enforce(PyObject_GetAttrString(self, "_enforce"));
    if (!enforce)
        return false;
    Ref r(PyObject_CallMethod(enforce.get(), "load_policy", nullptr));
    if (!r)
        return false;
    Ref msg(PyUnicode_FromFormat("casbin reload in pid=%ld tid=%lu", static_cast<long>(getpid()),
                                 PyThread_get_thread_ident()));
    return log_call(self, "debug", msg.get());
}

// The guarded part of one message: decode, compare, reload. Returns false only for
// an error that must end the watcher (one that is not an Exception).
bool handle_message(PyObject *self, PyObject *item) {
    bool ok = false;
    {
        Ref data(PyMapping_GetItemString(item, "data"));
        Ref text;
        if (data && PyUnicode_Check(data.get()))
            text.reset((Py_INCREF(data.get()), data.get())); // a decoding pool has done the work already
        else if (data)
            text.reset(PyObject_CallMethod(data.get(), "decode", "s", "utf-8"));
        if (text) {
            const int is_reload =
                PyUnicode_Check(text.get()) ? PyUnicode_CompareWithASCIIString(text.get(), "reload") == 0 : 0;
            ok = !is_reload || reload_policy(self);
        }
    }
    if (ok)
        return true;
    Fetched err;
    if (!err.is_exception()) {
        err.restore();
        return false;
    }
    warn_error(self, err);
    return true;
}

// Item kinds the watcher acts on.
enum class ItemKind { kNone, kMessage, kSubscribed };

ItemKind kind_of(PyObject *item) {
    const int t = PyObject_IsTrue(item);
    if (t <= 0) {
        PyErr_Clear();
        return ItemKind::kNone;
    }
    if (!PyMapping_Check(item))
        return ItemKind::kNone;
    Ref type(PyMapping_GetItemString(item, "type"));
    if (!type) { // an item without "type" is passed over
        PyErr_Clear();
        return ItemKind::kNone;
    }
    if (!PyUnicode_Check(type.get()))
        return ItemKind::kNone;
    if (PyUnicode_CompareWithASCIIString(type.get(), "message") == 0)
        return ItemKind::kMessage;
    if (PyUnicode_CompareWithASCIIString(type.get(), "subscribe") == 0)
        return ItemKind::kSubscribed;
    return ItemKind::kNone;
}

// rc (when missing), a fresh publish/subscribe object on it, and the subscription.
bool subscribe(PyObject *self, Ref &rc, Ref &ps) {
    if (!rc) {
        Ref cachewell(PyObject_GetAttrString(self, "_cachewell"));
        Ref pool(cachewell ? PyObject_GetAttrString(cachewell.get(), "pool") : nullptr);
        if (!pool)
            return false;
        Ref args(PyTuple_New(0));
        Ref kwargs(Py_BuildValue("{s:O,s:O}", "connection_pool", pool.get(), "decode_responses", Py_True));
        if (!args || !kwargs)
            return false;
        Ref redis(global_ref("redis"));
        Ref client(redis ? PyObject_GetAttrString(redis.get(), "Redis") : nullptr);
        if (!client)
            return false;
        rc.reset(PyObject_Call(client.get(), args.get(), kwargs.get()));
        if (!rc)
            return false;
    }
    ps.reset(PyObject_CallMethod(rc.get(), "pubsub", nullptr));
    if (!ps)
        return false;
    Ref channel(PyObject_GetAttrString(self, "_reload_channal_name"));
    if (!channel)
        return false;
    Ref r(PyObject_CallMethod(ps.get(), "subscribe", "O", channel.get()));
    return static_cast<bool>(r);
}

void close_quietly(Ref &ps) {
    if (ps) {
        Ref r(PyObject_CallMethod(ps.get(), "close", nullptr));
        if (!r)
            PyErr_Clear();
    }
    ps.reset();
}

// The watcher's loop; false with an error pending when it ends on an error.
bool watch(PyObject *self, Watcher &w) {
    {
        Ref msg(PyUnicode_FromString("start casbin reload threading"));
        log_or_report(self, "info", msg.get());
    }
    Ref rc, ps;
    double backoff = kBackoffFirst;
    bool resync = false; // reload once the subscription is back after an outage

    // After a failure: log it, wait, and start over with a new subscription.
    auto recover = [&](bool &stopped) {
        Fetched err;
        if (!err.is_exception()) {
            err.restore();
            return false;
        }
        warn_error(self, err);
        close_quietly(ps);
        resync = true;
        stopped = w.pause(backoff);
        backoff = std::min(backoff * 2, kBackoffMax);
        return true;
    };

    for (;;) {
        if (!ps && !subscribe(self, rc, ps)) {
            bool stopped = false;
            if (!recover(stopped))
                return false;
            if (stopped)
                break;
            continue;
        }
        Ref item(PyObject_CallMethod(ps.get(), "get_message", nullptr));
        if (!item) {
            bool stopped = false;
            if (!recover(stopped))
                return false;
            if (stopped)
                break;
            continue;
        }
        switch (kind_of(item.get())) {
        case ItemKind::kMessage:
            if (!handle_message(self, item.get()))
                return false;
            break;
        case ItemKind::kSubscribed:
            backoff = kBackoffFirst;
            if (resync) {
                // Signals sent while the subscription was gone are lost.
                resync = false;
                if (!reload_policy(self)) {
                    Fetched err;
                    if (!err.is_exception()) {
                        err.restore();
                        return false;
                    }
                    warn_error(self, err);
                }
            }
            break;
        case ItemKind::kNone: break;
        }
        item.reset();
        if (w.pause(kPollSeconds))
            break;
    }
    close_quietly(ps);
    return true;
}

// ServiceCasbin._thread_reload_policy(self): a plain builtin (no pybind11 frame
// between the thread's bootstrap and the loop).
PyObject *thread_reload_policy(PyObject *, PyObject *self) {
    try {
        auto w = std::make_shared<Watcher>();
        if (!g_watchers)
            g_watchers = new std::vector<std::shared_ptr<Watcher>>();
        g_watchers->push_back(w);
        struct Done {
            Watcher &w;
            ~Done() {
                std::lock_guard<std::mutex> g(w.mu);
                w.done = true;
                w.cv.notify_all();
            }
        } done{*w};
        if (!watch(self, *w))
            return nullptr;
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef thread_reload_policy_def = {
    "_thread_reload_policy", thread_reload_policy, METH_O,
    "_thread_reload_policy($self)\n--\n\nBody of the policy-reload watcher thread started by set_auto_reload."};

// At exit: wake this process's watchers so they close their subscriptions, and give
// them a moment before the interpreter goes away under them.
void stop_watchers() {
    if (!g_watchers)
        return;
    const long pid = static_cast<long>(getpid());
    std::vector<std::shared_ptr<Watcher>> mine;
    for (auto &w : *g_watchers)
        if (w->pid == pid)
            mine.push_back(w);
    if (mine.empty())
        return;
    for (auto &w : mine) {
        std::lock_guard<std::mutex> g(w->mu);
        w->stop = true;
        w->cv.notify_all();
    }
    py::gil_scoped_release nogil;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::chrono::duration<double>(kExitGraceSeconds));
    for (auto &w : mine) {
        std::unique_lock<std::mutex> lk(w->mu);
        w->cv.wait_until(lk, deadline, [&] { return w->done; });
    }
}

void set_auto_reload(py::handle self, py::handle cachewell) {
    py::setattr(self, "_cachewell", cachewell);
    // A daemon thread: the watcher never ends by itself and must not keep the
    // process alive at exit.
    py::object t = global_attr("threading", "Thread")(py::arg("target") = py::getattr(self, "_thread_reload_policy"),
                                                      py::arg("daemon") = true);
    t.attr("start")();
}

// ---------------------------------------------------------------------------
// The class

PyObject *service_init_entry(PyObject *, PyObject *args, PyObject *kwargs) {
    static const Signature sig("ServiceCasbin.__init__", {required("info"), required("logger")}, true);
    return c_entry([&] {
        if (PyTuple_GET_SIZE(args) < 1)
            raise(PyExc_TypeError, "ServiceCasbin.__init__() needs its instance");
        auto a = sig.bind_tuple(args, kwargs, 1);
        service_init(PyTuple_GET_ITEM(args, 0), a[0], a[1]);
        return Py_NewRef(Py_None);
    });
}

PyMethodDef service_init_def = {
    "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(service_init_entry)),
    METH_VARARGS | METH_KEYWORDS,
    "__init__($self, info, logger)\n--\n\nConnect the policy table named by info and load the policy."};

py::object builtin_method(PyMethodDef *def) {
    PyObject *f = PyCFunction_NewEx(def, nullptr, nullptr);
    if (!f)
        throw py::error_already_set();
    return instancemethod(py::reinterpret_steal<py::object>(f));
}

// enforce() is asked on every request, so it is a METH_FASTCALL builtin: positional
// calls go straight to the enforcer; other calls are bound by `Signature` for the
// usual error messages.
PyObject *enforce_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig("ServiceCasbin.enforce", {required("sub"), required("obj"), required("act")}, true);
    static PyObject *enforce_attr = PyUnicode_InternFromString("_enforce");
    static PyObject *enforce_name = PyUnicode_InternFromString("enforce");
    return c_entry([&]() -> PyObject * {
        if (nargs < 1)
            raise(PyExc_TypeError, "ServiceCasbin.enforce() needs its instance");
        // slot 0 is spare: PY_VECTORCALL_ARGUMENTS_OFFSET lets the callee borrow it
        PyObject *slots[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
        PyObject **call = slots + 1;
        std::vector<py::object> bound;
        if (!kwnames && nargs == 4) {
            for (int i = 1; i < 4; ++i)
                call[i] = args[i];
        } else {
            bound = sig.bind_vector(args + 1, static_cast<size_t>(nargs - 1), kwnames);
            for (int i = 1; i < 4; ++i)
                call[i] = bound[i - 1].ptr();
        }
        // A plain reference, released by hand: at interpreter exit a daemon thread can be
        // ended (unwound) inside the call, and must then not touch reference counts.
        PyObject *e = PyObject_GetAttr(args[0], enforce_attr);
        if (!e)
            throw py::error_already_set();
        call[0] = e;
        PyObject *result;
        {
            DecisionGuard serialised;
            result = PyObject_VectorcallMethod(enforce_name, call, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        }
        Py_DECREF(e);
        return result;
    });
}

PyMethodDef enforce_def = {"enforce", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(enforce_entry)),
                           METH_FASTCALL | METH_KEYWORDS,
                           "enforce($self, sub, obj, act)\n--\n\nTrue when sub may perform act on obj."};

template <typename F>
py::object method(const char *name, std::vector<Signature::Param> params, const char *doc, F body) {
    const Signature sig(std::string("ServiceCasbin.") + name, std::move(params), true);
    return instancemethod(py::cpp_function(
        [sig, body](py::handle self, py::args args, py::kwargs kwargs) { return body(self, sig.bind(args, kwargs)); },
        py::name(name), py::doc(doc)));
}

using Args = std::vector<py::object>;

py::object make_service_class() {
    py::dict ns;
    ns["__doc__"] = "Role-based authorization over a MySQL policy table, reloaded in every process on a Redis signal.";
    ns["__init__"] = builtin_method(&service_init_def);
    ns["set_auto_reload"] = method("set_auto_reload", {required("cachewell")},
                                   "set_auto_reload(self, cachewell)\n--\n\nPublish changes through cachewell and "
                                   "start the watcher thread that reloads the policy on every signal.",
                                   [](py::handle self, const Args &a) {
                                       set_auto_reload(self, a[0]);
                                       return py::object(py::none());
                                   });
    ns["_thread_reload_policy"] = builtin_method(&thread_reload_policy_def);
    ns["_is_role"] = method("_is_role", {required("role")},
                            "_is_role(self, role)\n--\n\nTrue for a role name (starting with \"G-\"); raises "
                            "otherwise.",
                            [](py::handle self, const Args &a) {
                                role_test(self, a[0]);
                                return py::object(py::bool_(true));
                            });
    g_is_role = PyInstanceMethod_GET_FUNCTION(ns["_is_role"].ptr());
    Py_INCREF(g_is_role);
    ns["get_roles_for_user"] =
        method("get_roles_for_user", {required("user")}, "get_roles_for_user(self, user)\n--\n\nThe user's roles.",
               [](py::handle self, const Args &a) { return enforcer(self).attr("get_roles_for_user")(a[0]); });
    ns["get_users_for_role"] =
        method("get_users_for_role", {required("role")}, "get_users_for_role(self, role)\n--\n\nThe role's users.",
               [](py::handle self, const Args &a) { return enforcer(self).attr("get_users_for_role")(a[0]); });
    ns["get_policies_for_role"] = method("get_policies_for_role", {required("role")},
                                         "get_policies_for_role(self, role)\n--\n\nThe role's permission rules.",
                                         [](py::handle self, const Args &a) {
                                             if (!is_role(self, a[0]))
                                                 return py::object(py::none());
                                             return enforcer(self).attr("get_filtered_policy")(0, a[0]);
                                         });
    ns["add_role_for_user"] = method("add_role_for_user", {required("user"), required("role")},
                                     "add_role_for_user(self, user, role)\n--\n\nGrant role to user and signal "
                                     "every process to reload.",
                                     [](py::handle self, const Args &a) {
                                         role_test(self, a[1]);
                                         py::object rst = enforcer(self).attr("add_role_for_user")(a[0], a[1]);
                                         publish_reload(self);
                                         return rst;
                                     });
    ns["delete_role_for_user"] = method("delete_role_for_user", {required("user"), required("role")},
                                        "delete_role_for_user(self, user, role)\n--\n\nRevoke role from user and "
                                        "signal every process to reload.",
                                        [](py::handle self, const Args &a) {
                                            py::object rst = enforcer(self).attr("delete_role_for_user")(a[0], a[1]);
                                            publish_reload(self);
                                            return rst;
                                        });
    ns["add_policy"] = method("add_policy", {required("role"), required("obj"), required("act")},
                              "add_policy(self, role, obj, act)\n--\n\nAllow role to act on obj and signal every "
                              "process to reload.",
                              [](py::handle self, const Args &a) {
                                  role_test(self, a[0]);
                                  py::object rst = enforcer(self).attr("add_policy")(a[0], a[1], a[2]);
                                  publish_reload(self);
                                  return rst;
                              });
    ns["remove_policy"] = method("remove_policy", {required("role"), required("obj"), required("act")},
                                 "remove_policy(self, role, obj, act)\n--\n\nRemove a permission rule and signal "
                                 "every process to reload.",
                                 [](py::handle self, const Args &a) {
                                     py::object rst = enforcer(self).attr("remove_policy")(a[0], a[1], a[2]);
                                     publish_reload(self);
                                     return rst;
                                 });
    ns["enforce"] = builtin_method(&enforce_def);
    return make_class(reinterpret_cast<PyObject *>(&PyType_Type), "ServiceCasbin",
                      py::make_tuple(py::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))), ns, kModule,
                      "ServiceCasbin");
}

} // namespace

PYBIND11_MODULE(permward, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Role-based authorization: ServiceCasbin over a MySQL policy table, with cross-process reload.";
    g_module = m.ptr();
    Py_INCREF(g_module);

    // The module's dependencies, resolved at import as a Python module would.
    for (const char *name : {"os", "re", "time", "threading", "redis", "casbin", "casbin_sqlalchemy_adapter"})
        m.attr(name) = py::module_::import(name);
    m.attr("Logger") = py::module_::import("logging").attr("Logger");
    py::module_ sqlalchemy = py::module_::import("sqlalchemy");
    for (const char *name : {"Column", "Integer", "String"})
        m.attr(name) = sqlalchemy.attr(name);
    m.attr("urlquote") = py::module_::import("urllib.parse").attr("quote_plus");
    m.attr("ServiceRedis") = py::module_::import("kestrum.service.cachewell").attr("ServiceRedis");
    adapter_module.get();
    sqlalchemy_module.get();
    url_parse.get();

    static std::once_flag fork_handler;
    std::call_once(fork_handler, [] { pthread_atfork(nullptr, nullptr, &reset_locks_in_child); });
    m.attr("ServiceCasbin") = make_service_class();
    py::module_::import("atexit").attr("register")(py::cpp_function(&stop_watchers, py::name("_stop_watchers")));
}
