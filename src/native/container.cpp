// kestrum._container: builds the application's dependency-injection container from
// the project configuration.
#include "common/args.hpp"
#include "common/pyutil.hpp"

#include <string>

namespace py = pybind11;
using namespace kestrum;

namespace {

constexpr const char *kModule = "kestrum._container";
constexpr const char *kBaseName = "_MyDeclarativeContainer";

// The members the derived container defines itself; entries may use these names
// (the container's own member then wins).
const char *const kOwnMembers[] = {"config", "contextvar_g", "logger"};

Imported builtin_hasattr("builtins", "hasattr");

// The module itself (kept for good). What it imports (containers, providers,
// ContextVar, logging, the service classes, service_init_logger) is bound on it at
// import and looked up there at call time, as a Python module's globals would be.
PyObject *g_module = nullptr;

py::object module_attr(const char *name) { return py::getattr(g_module, name); }

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
        probe = module_attr("containers").attr("DynamicContainer")().release().ptr();
    return py::cast<bool>(builtin_hasattr(py::handle(probe), name));
}

// _check_class_attr(_class, _name)
void check_class_attr(py::handle cls, py::handle name) {
    // builtins.hasattr, not PyObject_HasAttr: a name that is not text must raise.
    bool taken = py::cast<bool>(builtin_hasattr(cls, name));
    if (!taken && !own_member(name))
        taken = instance_attribute(name);
    if (taken)
        raise_exception(std::string(py::str(cls.attr("__name__"))) + " already has attr " + std::string(py::str(name)));
}

// The provider for one services entry, or a null handle for a type outside the table.
py::object make_provider(const py::object &type, py::handle entry, const py::object &logger,
                         const py::object &contextvar_g) {
    for (const Registration &row : kTable) {
        if (!type.equal(py::str(row.type)))
            continue;
        py::object provider = module_attr("providers").attr(row.provider);
        py::object cls = module_attr(row.service);
        py::object info = entry["info"];
        const std::string kind = row.type;
        if (kind == "mysql")
            return provider(cls, py::arg("logger") = logger, py::arg("connect_info") = info);
        if (kind == "redis")
            return provider(cls, py::arg("connect_info") = info);
        if (kind == "cdn" || kind == "casbin")
            return provider(cls, py::arg("info") = info, py::arg("logger") = logger);
        if (kind == "http_client")
            return provider(cls, py::arg("connect_info") = info, py::arg("contextvar_g") = contextvar_g,
                            py::arg("logger") = logger);
        return provider(cls, py::arg("info") = info); // jwt
    }
    return py::object();
}

py::object create_container(py::handle project_config) {
    py::object declarative = module_attr("containers").attr("DeclarativeContainer");
    py::handle meta = reinterpret_cast<PyObject *>(Py_TYPE(declarative.ptr()));
    py::object providers = module_attr("providers");

    py::object base = make_class(meta, kBaseName, py::make_tuple(declarative), py::dict(), kModule,
                                 std::string("create_container.<locals>.") + kBaseName);

    py::object cfg = project_config.attr("config");
    py::object other = cfg.attr("other");
    py::object config = providers.attr("Configuration")();
    py::object contextvar_g =
        providers.attr("Resource")(module_attr("ContextVar"), "contextvar_g", py::arg("default") = py::none());
    py::object path_log = other["path_log"];
    py::object log_column_contextvar = other.attr("get")("log_column_contextvar", "");
    py::object log_column_msg = other.attr("get")("log_column_msg", "");
    py::object logger = providers.attr("Resource")(
        module_attr("service_init_logger"), py::arg("project_name") = config.attr("project_name"),
        py::arg("path_log") = path_log, py::arg("level") = module_attr("logging").attr("DEBUG"),
        py::arg("contextvar_g") = contextvar_g, py::arg("log_column_contextvar") = log_column_contextvar,
        py::arg("log_column_msg") = log_column_msg);
    py::cpp_function check(&check_class_attr, py::name("_check_class_attr"), py::arg("_class"), py::arg("_name"));

    py::object services = cfg.attr("services");
    const int has_services = PyObject_IsTrue(services.ptr());
    if (has_services < 0)
        throw py::error_already_set();
    if (has_services) {
        for (py::handle item : services) {
            py::object entry = item.attr("dict")();
            py::object name = entry["name"];
            check_class_attr(base, name);
            py::object provider = make_provider(entry["type"], entry, logger, contextvar_g);
            if (provider)
                py::setattr(base, name, provider); // before Container exists: it snapshots its base
        }
    }

    py::dict ns;
    ns["config"] = config;
    ns["contextvar_g"] = contextvar_g;
    ns["logger"] = logger;
    ns["_check_class_attr"] = check;
    py::object container_class =
        make_class(meta, "Container", py::make_tuple(base), ns, kModule, "create_container.<locals>.Container");
    py::object container = container_class();
    container.attr("config").attr("from_dict")(cfg.attr("dict")());
    return container;
}

} // namespace

PYBIND11_MODULE(_container, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "The composition container: create_container(project_config).";
    // The names a module of the package would import, bound (and so checked) at import.
    m.attr("logging") = py::module_::import("logging");
    m.attr("ContextVar") = py::module_::import("contextvars").attr("ContextVar");
    m.attr("containers") = py::module_::import("dependency_injector.containers");
    m.attr("providers") = py::module_::import("dependency_injector.providers");
    m.attr("KestrumModelProject") = py::module_::import("kestrum._config").attr("KestrumModelProject");
    for (const Registration &row : {kTable[4], kTable[0], kTable[1], kTable[5], kTable[3], kTable[2]})
        m.attr(row.service) = py::module_::import(row.module).attr(row.service);
    m.attr("service_init_logger") = py::module_::import("kestrum.service.scribeline").attr("service_init_logger");
    m.attr("util") = py::module_::import("kestrum").attr("util");
    g_module = py::object(m).release().ptr();

    const Signature sig("create_container", {required("project_config")});
    m.def(
        "create_container",
        [sig](py::args args, py::kwargs kwargs) { return create_container(sig.bind(args, kwargs)[0]); },
        "Build the container of services described by the project configuration.");
}
