// kestrum.service.permward: role-based authorization over a MySQL policy table,
// evaluated by casbin and reloaded in every process through a Redis channel.
//
// This file holds the class and its operations; permward_policy.cpp the decision
// index, the cache, changes applied table first and reloads built beside the live
// policy; permward_watcher.cpp the reload watcher.
#include "common/module.hpp"
#include "service/permward_policy.hpp"
#include "service/permward_watcher.hpp"

#include <pthread.h>

#include <mutex>
#include <optional>
#include <string>

namespace py = pybind11;
using namespace kestrum;
using namespace kestrum::permward;

namespace {

constexpr const char *kModule = "kestrum.service.permward";
constexpr const char *kConnectTemplate = "mysql+pymysql://{user}:{password}@{host}:{port}/{db}?charset=utf8";
constexpr const char *kModelFile = "../config_casbin_model_rbac.conf";
constexpr const char *kReloadChannel = "__KESTRUM_CASBIN_RELOAD_SIGNAL";
constexpr const char *kRowQualname = "ServiceCasbin.__init__.<locals>._create_db_class.<locals>.MyCasbinPolicy";

// Internals nobody patches; the names a module of Python would import are read
// through `globals` at each use.
Imported url_parse("urllib.parse");
Imported adapter_module("casbin_sqlalchemy_adapter.adapter");
Imported sqlalchemy_module("sqlalchemy");

ModuleGlobals globals;

struct Names {
    PyObject *enforce_attr = interned("_enforce");
    PyObject *is_role = interned("_is_role");
    PyObject *group_pat = interned("_group_pat");
    PyObject *cachewell = interned("_cachewell");
    PyObject *channel = interned("_reload_channal_name");
    PyObject *enforce = interned("enforce");
    PyObject *search = interned("search");
    PyObject *get_roles_for_user = interned("get_roles_for_user");
    PyObject *get_users_for_role = interned("get_users_for_role");
    PyObject *get_filtered_policy = interned("get_filtered_policy");
    PyObject *with_conn = interned("with_conn");
    PyObject *publish = interned("publish");
    PyObject *reload = interned("reload");
    PyObject *join = interned("join");
    PyObject *ptype = interned("ptype");
    PyObject *id = interned("id");
    PyObject *values[6] = {interned("v0"), interned("v1"), interned("v2"),
                           interned("v3"), interned("v4"), interned("v5")};
};
const Names *n = nullptr;

// Locks taken without the GIL. A thread holding one at fork time does not exist in
// the child, so the child starts with fresh ones.
pthread_mutex_t g_decision_mu = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t g_row_classes_mu = PTHREAD_MUTEX_INITIALIZER;

void reset_locks_in_child() {
    pthread_mutex_init(&g_decision_mu, nullptr);
    pthread_mutex_init(&g_row_classes_mu, nullptr);
}

// ---------------------------------------------------------------------------
// The policy row class

py::object row_text(py::handle self) {
    py::list parts;
    parts.append(get_attr(self, n->ptype));
    for (PyObject *name : n->values) {
        py::object v = get_attr(self, name);
        if (v.is_none())
            break;
        parts.append(v);
    }
    // The adapter rebuilds each rule by parsing this text.
    static PyObject *const separator = interned(", ");
    return fast_call_method(separator, n->join, {parts});
}

py::object row_str(const Bound &a) { return row_text(a[0]); }

py::object row_repr(const Bound &a) {
    static PyObject *const pattern = interned("<CasbinRule {}: \"{}\">");
    static PyObject *const format = interned("format");
    return fast_call_method(pattern, format, {get_attr(a[0], n->id), row_text(a[0])});
}

py::object create_db_class(py::handle tb_name) {
    py::dict ns;
    ns["__tablename__"] = tb_name;
    py::object column = globals.get("Column"), string = globals.get("String");
    ns["id"] = call(column, globals.get("Integer"), py::arg("primary_key") = true);
    ns["ptype"] = call(column, call(string, 50));
    for (const char *name : {"v0", "v1", "v2", "v3", "v4", "v5"})
        ns[name] = call(column, call(string, 50));
    const std::string qualname(kRowQualname);
    ns["__str__"] = instancemethod(
        native_function<row_str>(kModule, qualname + ".__str__", {required("self")}, "The rule as casbin reads it."));
    ns["__repr__"] = instancemethod(
        native_function<row_repr>(kModule, qualname + ".__repr__", {required("self")}, "The row and its rule."));
    py::object base = get_attr(adapter_module.get(), "Base");
    return make_class(py::type::of(base), "MyCasbinPolicy", py::make_tuple(base), ns, kModule, kRowQualname);
}

// One row class per table name for the whole process: the declarative base refuses
// a second declaration of the same table, and a second service (another container)
// over the same table is ordinary.
PyObject *g_row_classes = nullptr; // dict: table name -> row class

py::object row_class_for(py::handle tb_name) {
    ExitSafeLock lock(g_row_classes_mu); // the class creation below may release the GIL
    if (!g_row_classes && !(g_row_classes = PyDict_New()))
        throw_pending();
    PyObject *known = guarded([&] { return PyDict_GetItemWithError(g_row_classes, tb_name.ptr()); });
    if (known)
        return py::reinterpret_borrow<py::object>(known);
    if (PyErr_Occurred())
        throw_pending();
    py::object cls = create_db_class(tb_name);
    if (guarded([&] { return PyDict_SetItem(g_row_classes, tb_name.ptr(), cls.ptr()); }) < 0)
        throw_pending();
    return cls;
}

// ---------------------------------------------------------------------------
// Construction

py::object url_part(py::handle value) { return call(get_attr(url_parse.get(), "quote"), value, py::arg("safe") = ""); }

py::object model_path() {
    py::object file = get_attr(globals.module(), "__file__");
    py::object path = globals.attr("os", "path");
    return call_attr(path, "join", call_attr(path, "dirname", call_attr(path, "abspath", file)), kModelFile);
}

py::object init(const Bound &a) {
    py::handle self = a.self, info = a[0], logger = a[1];
    check_exact("info", info, &PyDict_Type);
    py::dict fields;
    // Both credentials percent-encoded with quote(safe=""), as ServiceMysql does: a
    // user name with ":" or "@" would not parse, one with "%41" would name another
    // account; and quote_plus's "+" for a blank is not decoded by the URL parser.
    py::object user = item(info, py::str("user"));
    fields["user"] = PyUnicode_Check(user.ptr()) ? url_part(user) : user;
    fields["password"] = url_part(item(info, py::str("password")));
    fields["host"] = item(info, py::str("host"));
    fields["port"] = item(info, py::str("port"));
    fields["db"] = item(info, py::str("db"));
    py::object connect_str = call(get_attr(py::str(kConnectTemplate), "format"), **fields);

    set_attr(self, "_group_pat", call(globals.attr("re", "compile"), "^G-.*"));
    py::object row_class = row_class_for(item(info, py::str("tb")));
    // Pre-ping and recycle: the first reload after the server dropped idle
    // connections must not fail.
    py::object engine = call(get_attr(sqlalchemy_module.get(), "create_engine"), connect_str,
                             py::arg("pool_pre_ping") = true, py::arg("pool_recycle") = 3600);
    set_attr(self, "_adapter",
             call(globals.attr("casbin_sqlalchemy_adapter", "Adapter"), engine, py::arg("db_class") = row_class));
    set_attr(self, "_enforce",
             call(globals.attr("casbin", "SyncedEnforcer"), model_path(), get_attr(self, "_adapter")));
    set_attr(self, "_logger", logger);
    set_attr(self, "_info", info);
    set_attr(self, "_reload_channal_name", py::str(kReloadChannel));
    prepare_enforcer(get_attr(self, n->enforce_attr));
    return py::none();
}

// ---------------------------------------------------------------------------
// Roles, queries and changes

void role_test(py::handle self, py::handle role) {
    if (is_true(fast_call_method(get_attr(self, n->group_pat), n->search, {role})))
        return;
    static PyObject *const prefix = interned("role must start with G- not ");
    py::object msg = steal(PyUnicode_Concat(prefix, role.ptr()));
    PyErr_SetObject(PyExc_Exception, msg.ptr());
    throw_pending();
}

py::object is_role(const Bound &a) {
    role_test(a.self, a[0]);
    return py::bool_(true);
}

// self._is_role(role), through the instance so that an override is used.
bool role_allowed(py::handle self, py::handle role) { return is_true(fast_call_method(self, n->is_role, {role})); }

py::object enforcer(py::handle self) { return get_attr(self, n->enforce_attr); }

// with self._cachewell.with_conn() as rc: rc.publish(channel, "reload")
void publish_reload(py::handle self) {
    with_block(fast_call_method(get_attr(self, n->cachewell), n->with_conn), [&](py::handle rc) {
        return fast_call_method(rc, n->publish, {get_attr(self, n->channel), n->reload});
    });
}

// A change through the enforcer (table first, see apply_change), then the signal.
// `role_arg`: the argument that names a role, checked first (none for removals, so that
// old rules can be cleaned up).
py::object change(const Bound &a, Change which, int role_arg = -1) {
    if (role_arg >= 0)
        role_test(a.self, a[static_cast<size_t>(role_arg)]);
    py::object e = enforcer(a.self);
    py::tuple args(a.size());
    for (size_t i = 0; i < a.size(); ++i)
        args[i] = a[i];
    py::object rst = apply_change(e, which, args);
    refresh_index(e);
    publish_reload(a.self);
    return rst;
}

py::object get_roles_for_user(const Bound &a) {
    return fast_call_method(enforcer(a.self), n->get_roles_for_user, {a[0]});
}

py::object get_users_for_role(const Bound &a) {
    return fast_call_method(enforcer(a.self), n->get_users_for_role, {a[0]});
}

py::object get_policies_for_role(const Bound &a) {
    if (!role_allowed(a.self, a[0]))
        return py::none();
    static PyObject *const zero = PyLong_FromLong(0);
    return fast_call_method(enforcer(a.self), n->get_filtered_policy, {zero, a[0]});
}

py::object add_role_for_user(const Bound &a) { return change(a, Change::kAddRoleForUser, 1); }

py::object delete_role_for_user(const Bound &a) { return change(a, Change::kDeleteRoleForUser); }

py::object add_policy(const Bound &a) { return change(a, Change::kAddPolicy, 0); }

py::object remove_policy(const Bound &a) { return change(a, Change::kRemovePolicy); }

// ---------------------------------------------------------------------------
// Decisions

// From 3.11 on, the AST converter keeps one recursion counter per interpreter, and
// threads parsing at the same time (casbin parses its matcher on every decision) fail
// with "SystemError: AST constructor recursion depth mismatch". Decisions run under
// the GIL anyway, so serialising the ones casbin makes costs next to nothing.
#if PY_VERSION_HEX >= 0x030B0000
constexpr bool kSerialiseDecisions = true;
#else
constexpr bool kSerialiseDecisions = false;
#endif

py::object enforce(const Bound &a) {
    py::object e = enforcer(a.self);
    PyObject *sub = a[0].ptr(), *obj = a[1].ptr(), *act = a[2].ptr();
    if (PyUnicode_CheckExact(sub) && PyUnicode_CheckExact(obj) && PyUnicode_CheckExact(act))
        if (PyObject *known = fast_decision(e.ptr(), sub, obj, act))
            return py::reinterpret_borrow<py::object>(known);
    std::optional<ExitSafeLock> serialised;
    if (kSerialiseDecisions)
        serialised.emplace(g_decision_mu); // at exit, not waited for: no other thread decides then
    return fast_call_method(e, n->enforce, {a[0], a[1], a[2]});
}

// ---------------------------------------------------------------------------
// The watcher

py::object set_auto_reload(const Bound &a) {
    set_attr(a.self, "_cachewell", a[0]);
    // A daemon thread: the watcher never ends by itself and must not keep the
    // process alive at exit.
    py::object t = call(globals.attr("threading", "Thread"),
                        py::arg("target") = get_attr(a.self, "_thread_reload_policy"), py::arg("daemon") = true);
    call_attr(t, "start");
    return py::none();
}

py::object thread_reload_policy(const Bound &a) {
    if (!run_watcher(a.self.ptr()))
        throw_pending();
    return py::none();
}

py::object stop_watchers_at_exit(const Bound &) {
    stop_watchers();
    return py::none();
}

} // namespace

PYBIND11_MODULE(permward, m) {
    py::options options;
    options.disable_function_signatures();
    globals.bind(m, "Role-based authorization: ServiceCasbin over a MySQL policy table, with cross-process reload.");
    n = new Names();

    // The module's dependencies, resolved at import as a Python module would.
    bind_modules(m, {"os", "re", "time", "threading", "redis", "casbin", "casbin_sqlalchemy_adapter"});
    bind_names(m, "logging", {"Logger"});
    bind_names(m, "sqlalchemy", {"Column", "Integer", "String"});
    m.attr("urlquote") = get_attr(py::module_::import("urllib.parse"), "quote_plus");
    bind_names(m, "kestrum.service.cachewell", {"ServiceRedis"});
    adapter_module.get();
    sqlalchemy_module.get();
    url_parse.get();
    policy_init(kModule);
    watcher_init(m.ptr());

    static std::once_flag fork_handler;
    std::call_once(fork_handler, [] { pthread_atfork(nullptr, nullptr, &reset_locks_in_child); });

    ServiceClass cls(
        kModule, "ServiceCasbin",
        "Role-based authorization over a MySQL policy table, reloaded in every process on a Redis signal.");
    cls.method<init>("__init__", {required("info"), required("logger")},
                     "Connect the policy table named by info and load the policy.")
        .method<set_auto_reload>("set_auto_reload", {required("cachewell")},
                                 "Publish changes through cachewell and start the watcher thread that reloads the "
                                 "policy on every signal.")
        .method<thread_reload_policy>("_thread_reload_policy", {},
                                      "Body of the policy-reload watcher thread started by set_auto_reload.")
        .method<is_role>("_is_role", {required("role")},
                         "True for a role name (starting with \"G-\"); raises otherwise.")
        .method<get_roles_for_user>("get_roles_for_user", {required("user")}, "The user's roles.")
        .method<get_users_for_role>("get_users_for_role", {required("role")}, "The role's users.")
        .method<get_policies_for_role>("get_policies_for_role", {required("role")}, "The role's permission rules.")
        .method<add_role_for_user>("add_role_for_user", {required("user"), required("role")},
                                   "Grant role to user and signal every process to reload.")
        .method<delete_role_for_user>("delete_role_for_user", {required("user"), required("role")},
                                      "Revoke role from user and signal every process to reload.")
        .method<add_policy>("add_policy", {required("role"), required("obj"), required("act")},
                            "Allow role to act on obj and signal every process to reload.")
        .method<remove_policy>("remove_policy", {required("role"), required("obj"), required("act")},
                               "Remove a permission rule and signal every process to reload.")
        .method<enforce>("enforce", {required("sub"), required("obj"), required("act")},
                         "True when sub may perform act on obj.");
    m.attr("ServiceCasbin") = cls.type();
    call(get_attr(py::module_::import("atexit"), "register"),
         native_function<stop_watchers_at_exit>(kModule, "_stop_watchers", {},
                                                "Wake the reload watchers so that they close their subscriptions."));
}
