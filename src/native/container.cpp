// kestrum._container: builds the application's dependency-injection container from
// the project configuration.
#include "common/module.hpp"

#include <string>

using namespace kestrum;

namespace {

constexpr const char *kBaseName = "_MyDeclarativeContainer";

// The members the derived container defines itself; entries may use these names
// (the container's own member then wins).
const char *const kOwnMembers[] = {"config", "contextvar_g", "logger"};

Imported builtin_hasattr("builtins", "hasattr");

// What the module imports (containers, providers, ContextVar, logging, the service
// classes, service_init_logger) is bound on it at import and looked up there at call
// time, as a Python module's globals would be.
ModuleGlobals globals;

// One row of the registration table.
struct Registration {
    const char *type;
    const char *provider;
    const char *module;
    const char *service;
};
const Registration kTable[] = {
    {"mysql", "ThreadSafeSingleton", "kestrum.service.tablery", "ServiceMysql"},
    {"redis", "ThreadSafeSingleton", "kestrum.service.cachewell", "ServiceRedis"},
    {"cdn", "ThreadSafeSingleton", "kestrum.service.depotlink", "ServiceCdn"},
    {"http_client", "Factory", "kestrum.service.wirecall", "ServiceHpptClient"},
    {"jwt", "Factory", "kestrum.service.tokensmith", "ServiceJwt"},
    {"casbin", "ThreadSafeSingleton", "kestrum.service.permward", "ServiceCasbin"},
};

bool own_member(const py::handle &name) {
    if (!PyUnicode_Check(name.ptr()))
        return false;
    for (const char *member : kOwnMembers)
        if (PyUnicode_CompareWithASCIIString(name.ptr(), member) == 0)
            return true;
    return false;
}

// Names a container instance already uses for itself (init_resources, providers,
// wire, ...). An entry of such a name would pass the class-level test and then
// silently hide that method on the container.
bool instance_attribute(const py::handle &name) {
    static PyObject *probe = nullptr; // a bare container, kept for the process's life
    if (!probe)
        probe = call_attr(globals.get("containers"), "DynamicContainer").release().ptr();
    return is_true(builtin_hasattr(py::handle(probe), name));
}

// _check_class_attr(_class, _name)
void check_class_attr(py::handle cls, py::handle name);
PyObject *g_check_class_attr = nullptr;

py::object check_class_attr_function(const Bound &a) {
    check_class_attr(a[0], a[1]);
    return py::none();
}

void check_class_attr(py::handle cls, py::handle name) {
    // builtins.hasattr, not PyObject_HasAttr: a name that is not text must raise.
    bool taken = is_true(builtin_hasattr(cls, name));
    if (!taken && !own_member(name))
        taken = instance_attribute(name);
    if (taken)
        raise_exception(std::string(text_of(get_attr(cls, "__name__"))) + " already has attr " +
                        std::string(text_of(name)));
}

// The provider for one services entry, or a null handle for a type outside the table.
py::object make_provider(const py::object &type, py::handle entry, const py::object &logger,
                         const py::object &contextvar_g) {
    for (const Registration &row : kTable) {
        if (!equal(type, py::str(row.type)))
            continue;
        py::object provider = get_attr(globals.get("providers"), row.provider);
        py::object cls = globals.get(row.service);
        py::object info = item(entry, py::str("info"));
        const std::string kind = row.type;
        if (kind == "mysql")
            return call(provider, cls, py::arg("logger") = logger, py::arg("connect_info") = info);
        if (kind == "redis")
            return call(provider, cls, py::arg("connect_info") = info);
        if (kind == "cdn" || kind == "casbin")
            return call(provider, cls, py::arg("info") = info, py::arg("logger") = logger);
        if (kind == "http_client")
            return call(provider, cls, py::arg("connect_info") = info, py::arg("contextvar_g") = contextvar_g,
                        py::arg("logger") = logger);
        return call(provider, cls, py::arg("info") = info); // jwt
    }
    return py::object();
}

// A typo in a type silently dropping a service is hard to see: say which entry was skipped.
void warn_unknown_type(const py::object &name, const py::object &type) {
    py::object message = call_attr(py::str("unknown service type {!r} of entry {!r}, skipped"), "format", type, name);
    call_attr(globals.get("loggeruru"), "warning", message);
}

py::object create_container(const Bound &a) {
    py::handle project_config = a[0];
    py::object declarative = get_attr(globals.get("containers"), "DeclarativeContainer");
    py::handle meta = reinterpret_cast<PyObject *>(Py_TYPE(declarative.ptr()));
    py::object providers = globals.get("providers");

    py::object base = make_class(meta, kBaseName, py::make_tuple(declarative), py::dict(), globals.name(),
                                 std::string("create_container.<locals>.") + kBaseName);

    py::object cfg = get_attr(project_config, "config");
    py::object other = get_attr(cfg, "other");
    py::object config = call_attr(providers, "Configuration");
    py::object contextvar_g =
        call_attr(providers, "Resource", globals.get("ContextVar"), "contextvar_g", py::arg("default") = py::none());
    py::object path_log = item(other, py::str("path_log"));
    py::object log_column_contextvar = call_attr(other, "get", "log_column_contextvar", "");
    py::object log_column_msg = call_attr(other, "get", "log_column_msg", "");
    py::object logger =
        call_attr(providers, "Resource", globals.get("service_init_logger"),
                  py::arg("project_name") = get_attr(config, "project_name"), py::arg("path_log") = path_log,
                  py::arg("level") = get_attr(globals.get("logging"), "DEBUG"), py::arg("contextvar_g") = contextvar_g,
                  py::arg("log_column_contextvar") = log_column_contextvar, py::arg("log_column_msg") = log_column_msg);

    py::object services = get_attr(cfg, "services");
    if (is_true(services)) {
        for_each(services, [&](py::handle service) {
            py::object entry = call_attr(service, "dict");
            py::object name = item(entry, py::str("name"));
            check_class_attr(base, name);
            py::object type = item(entry, py::str("type"));
            py::object provider = make_provider(type, entry, logger, contextvar_g);
            if (provider)
                set_attr(base, name, provider); // before Container exists: it snapshots its base
            else
                warn_unknown_type(name, type);
        });
    }

    py::dict ns;
    ns["config"] = config;
    ns["contextvar_g"] = contextvar_g;
    ns["logger"] = logger;
    ns["_check_class_attr"] = g_check_class_attr;
    py::object container_class =
        make_class(meta, "Container", py::make_tuple(base), ns, globals.name(), "create_container.<locals>.Container");
    py::object container = call(container_class);
    call_attr(get_attr(container, "config"), "from_dict", call_attr(cfg, "dict"));
    return container;
}

} // namespace

PYBIND11_MODULE(_container, m) {
    globals.bind(m, "The composition container: create_container(project_config).");
    // The names a module of the package would import, bound (and so checked) at import.
    bind_modules(m, {"logging"});
    bind_names(m, "contextvars", {"ContextVar"});
    bind_names(m, "dependency_injector", {"containers", "providers"});
    bind_names(m, "kestrum._config", {"KestrumModelProject"});
    for (const Registration &row : {kTable[4], kTable[0], kTable[1], kTable[5], kTable[3], kTable[2]})
        bind_names(m, row.module, {row.service});
    bind_names(m, "kestrum.service.scribeline", {"service_init_logger"});
    bind_names(m, "kestrum", {"util"});
    m.attr("loggeruru") = py::module_::import("loguru").attr("logger");
    g_check_class_attr = native_function<check_class_attr_function>(
                             globals.name(), "create_container.<locals>.Container._check_class_attr",
                             {required("_class"), required("_name")},
                             "Raise Exception('<class> already has attr <name>') when _class has _name.")
                             .release()
                             .ptr();
    def_function<create_container>(m, "create_container", {required("project_config")},
                                   "Build the container of services described by the project configuration.");
}
