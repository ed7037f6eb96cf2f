// kestrum.service.wirecall: calls to other services that answer in the JSON envelope
// {"code", "msg", "data"}, forwarding the request's access token and trace id.
#include "common/module.hpp"

#include <unistd.h>

using namespace kestrum;

namespace {

ModuleGlobals globals;
Imported mapping_abc("collections.abc", "Mapping");
Imported logger_class("logging", "Logger");
Imported builtins_module("builtins");

// The library's own module-level functions, to tell a host's patch of them apart.
PyObject *g_requests_get = nullptr;
PyObject *g_requests_post = nullptr;
PyObject *g_requests_request = nullptr;
// Per thread: the session its calls share, and the process that made it.
PyObject *g_sessions = nullptr; // threading.local()

py::object concat(py::handle a, py::handle b) {
    return steal(guarded([&] { return PyNumber_Add(a.ptr(), b.ptr()); }));
}

// The request context, or None outside a request: no variable at all, a variable that
// holds None or was never set (a background job), or one that holds something that is
// not a mapping, has no token or trace id to forward.
py::object request_context(py::handle self) {
    py::object var = get_attr(self, "_contextvar_g");
    if (var.is_none())
        return py::none();
    py::object ctx;
    try {
        ctx = call_attr(var, "get");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_LookupError))
            throw;
        return py::none();
    }
    if (PyDict_Check(ctx.ptr()) || is_instance(ctx, mapping_abc.get()))
        return ctx;
    return py::none();
}

// This thread's session for this process. A forked child never uses its parent's: the
// pooled connections are the parent's sockets.
py::object thread_session(py::handle requests) {
    const long pid = static_cast<long>(getpid());
    PyObject *held = PyObject_GetAttrString(g_sessions, "session");
    if (held) {
        py::object pair = py::reinterpret_steal<py::object>(held);
        if (PyLong_AsLong(PyTuple_GET_ITEM(pair.ptr(), 0)) == pid)
            return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(pair.ptr(), 1));
    } else if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        throw_pending();
    }
    PyErr_Clear();
    py::object session = call_attr(requests, "Session");
    set_attr(g_sessions, "session", py::make_tuple(pid, session));
    return session;
}

// requests.get(...) / requests.post(...), on this thread's session while the library's
// functions are its own; a host that patched them gets its patch called, as always.
py::object send(bool post, const py::object &path, const py::object &data, const py::object &headers,
                const py::object &timeout) {
    static const Keywords get_kw{"headers", "timeout"};
    static const Keywords post_kw{"json", "headers", "timeout"};
    py::object requests = globals.get("requests");
    py::object function = get_attr(requests, post ? "post" : "get");
    const bool own = function.ptr() == (post ? g_requests_post : g_requests_get) &&
                     get_attr(get_attr(requests, "api"), "request").ptr() == g_requests_request;
    if (!own)
        return post ? fast_call(function, {path}, post_kw, {data, headers, timeout})
                    : fast_call(function, {path}, get_kw, {headers, timeout});
    py::object session = thread_session(requests);
    // A fresh session per call kept no cookies between calls; neither does this one.
    call_attr(get_attr(session, "cookies"), "clear");
    return post ? fast_call(get_attr(session, "post"), {path}, post_kw, {data, headers, timeout})
                : fast_call(get_attr(session, "get"), {path}, get_kw, {headers, timeout});
}

// One exchange (the whole of it is repeated by the retry):
// _exchange(self, name, data, headers, timeout).
py::object exchange(const Bound &a) {
    py::handle self = a[0];
    py::object name = py::reinterpret_borrow<py::object>(a[1]), data = py::reinterpret_borrow<py::object>(a[2]);
    py::object headers = py::reinterpret_borrow<py::object>(a[3]), timeout = py::reinterpret_borrow<py::object>(a[4]);
    py::list parts;
    parts.append(get_attr(self, "url"));
    parts.append(name);
    py::object path = call_attr(globals.get("Tool"), "url_join", parts);
    py::object line = concat(py::str("http call "), path);
    // stacklevel 2: the record names the caller of call(), not tenacity's frame between
    // us. Only the standard logger is known to take it; any other logger gets the line alone.
    py::object logger = get_attr(self, "_logger");
    if (is_instance(logger, logger_class.get()))
        call_attr(logger, "debug", line, py::arg("stacklevel") = 2);
    else
        call_attr(logger, "debug", line);
    py::object reply = send(is_true(data), path, data, headers, timeout);
    py::object rst = call_attr(globals.get("json"), "loads", get_attr(reply, "text"));
    if (contains(rst, py::str("code"))) {
        py::object code = item(rst, py::str("code"));
        if (equal(code, py::int_(0)) || equal(code, py::str("0")))
            return item(rst, py::str("data"));
    }
    call(get_attr(builtins_module.get(), "print"),
         concat(py::str("error happen in http call with rst="), text_of(rst)));
    py::object msg = item(rst, py::str("msg"));
    PyErr_SetObject(PyExc_Exception, py::make_tuple(msg).ptr());
    throw_pending();
}

py::object init(const Bound &a) {
    check_exact("connect_info", a[0], &PyDict_Type);
    set_attr(a.self, "_connect_info", a[0]);
    set_attr(a.self, "_contextvar_g", a[1]);
    set_attr(a.self, "_logger", a[2]);
    set_attr(a.self, "url", concat(py::str("http://"), text_of(item(a[0], py::str("address")))));
    return py::none();
}

PyObject *g_exchange = nullptr;

py::object call_method(const Bound &a) {
    py::handle name = a[0], data = a[1], metadata = a[2], timeout = a[3];
    check_exact("name", name, &PyUnicode_Type);
    check_exact("data", data, &PyDict_Type, true);
    check_exact("metadata", metadata, &PyList_Type, true);
    check_exact("timeout", timeout, &PyLong_Type);

    py::dict headers;
    py::object ctx = request_context(a.self);
    if (!ctx.is_none()) {
        if (contains(ctx, py::str("vek_accesstoken")))
            headers["Authorization"] = concat(py::str("Bearer "), item(ctx, py::str("vek_accesstoken")));
        if (contains(ctx, py::str("vek_traceid")))
            headers["vek-traceid"] = item(ctx, py::str("vek_traceid"));
    }
    if (!metadata.is_none()) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(metadata.ptr()); ++i) {
            py::object entry = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(metadata.ptr(), i));
            py::object header = item(entry, py::int_(0));
            py::object value = item(entry, py::int_(1));
            if (guarded([&] { return PyObject_SetItem(headers.ptr(), header.ptr(), value.ptr()); }) < 0)
                throw_pending();
        }
    }

    py::object retrying = call(globals.get("Retrying"), py::arg("stop") = call(globals.get("stop_after_attempt"), 2));
    try {
        return fast_call(retrying, {g_exchange, a.self, name, data, headers, timeout});
    } catch (py::error_already_set &e) {
        if (!e.matches(globals.get("RetryError")))
            throw;
        call_attr(e.value(), "reraise");
        throw;
    }
}

} // namespace

PYBIND11_MODULE(wirecall, m) {
    globals.bind(m, "HTTP calls to other services: ServiceHpptClient.");
    // Imported now so a missing library fails the import, as a Python module would.
    bind_modules(m, {"json", "requests", "contextvars"});
    bind_names(m, "logging", {"Logger"});
    bind_names(m, "typing", {"List", "Tuple", "Any"});
    bind_names(m, "tenacity", {"Retrying", "stop_after_attempt", "RetryError", "retry"});
    bind_names(m, "kestrum.util", {"Tool"});
    mapping_abc.get();
    py::module_ requests = py::module_::import("requests");
    g_requests_get = get_attr(requests, "get").release().ptr();
    g_requests_post = get_attr(requests, "post").release().ptr();
    g_requests_request = get_attr(get_attr(requests, "api"), "request").release().ptr();
    g_sessions = py::module_::import("threading").attr("local")().release().ptr();
    g_exchange = native_function<exchange>(
                     globals.name(), "ServiceHpptClient._exchange",
                     {required("self"), required("name"), required("data"), required("headers"), required("timeout")},
                     "One exchange of call(), repeated by its retry.")
                     .release()
                     .ptr();

    ServiceClass cls(globals.name(), "ServiceHpptClient",
                     "Calls services that answer in the JSON envelope {code, msg, data}.");
    cls.method<init>("__init__", {required("connect_info"), required("contextvar_g"), required("logger")},
                     "Call the service at connect_info's address (host or host:port, without scheme).")
        .method<call_method>(
            "call", {required("name"), optional("data"), optional("metadata"), optional("timeout", py::int_(10))},
            "GET (no data) or JSON POST to url/name; the reply's \"data\" when its \"code\" is 0 or \"0\".\n"
            "The exchange is tried twice; the last failure is raised. Calls of one thread share a session, so "
            "connections to a peer are reused.");
    m.attr("ServiceHpptClient") = cls.type();
}
