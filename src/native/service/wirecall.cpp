// kestrum.service.wirecall: calls to other services that answer in the JSON envelope
// {"code", "msg", "data"}, forwarding the request's access token and trace id.
#include "common/args.hpp"
#include "common/pyutil.hpp"

#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace kestrum;

namespace {

Imported requests_module("requests");
Imported json_loads("json", "loads");
Imported retrying_class("tenacity", "Retrying");
Imported stop_after_attempt("tenacity", "stop_after_attempt");
Imported retry_error("tenacity", "RetryError");
Imported tool_class("kestrum.util", "Tool");
Imported mapping_abc("collections.abc", "Mapping");
Imported builtin_print("builtins", "print");
Imported logger_class("logging", "Logger");

struct ServiceHpptClient {
    py::object connect_info;
    py::object contextvar_g;
    py::object logger;
    py::object url;
};

py::object concat(py::handle a, py::handle b) {
    PyObject *r = PyNumber_Add(a.ptr(), b.ptr());
    if (!r)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

bool contains(py::handle container, const char *key) {
    const int found = PySequence_Contains(container.ptr(), py::str(key).ptr());
    if (found < 0)
        throw py::error_already_set();
    return found == 1;
}

py::object item(py::handle container, py::handle key) {
    PyObject *r = PyObject_GetItem(container.ptr(), key.ptr());
    if (!r)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

bool truthy(py::handle x) {
    const int t = PyObject_IsTrue(x.ptr());
    if (t < 0)
        throw py::error_already_set();
    return t == 1;
}

// The request context, or None outside a request: no variable at all, a variable that
// holds None or was never set (a background job), or one that holds something that is
// not a mapping, has no token or trace id to forward.
py::object request_context(const ServiceHpptClient &self) {
    if (self.contextvar_g.is_none())
        return py::none();
    py::object ctx;
    try {
        ctx = self.contextvar_g.attr("get")();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_LookupError))
            throw;
        return py::none();
    }
    if (PyDict_Check(ctx.ptr()))
        return ctx;
    const int mapping = PyObject_IsInstance(ctx.ptr(), mapping_abc.get().ptr());
    if (mapping < 0)
        throw py::error_already_set();
    return mapping ? ctx : py::none();
}

// One exchange: the whole of it is repeated by the retry.
py::object exchange(const ServiceHpptClient &self, const py::object &name, const py::object &data,
                    const py::dict &headers, const py::object &timeout) {
    py::list parts;
    parts.append(self.url);
    parts.append(name);
    py::object path = tool_class.get().attr("url_join")(parts);
    py::object line = concat(py::str("http call "), path);
    // stacklevel 2: the record names the caller of call(), not tenacity's frame between
    // us. Only the standard logger is known to take it; any other logger gets the line alone.
    const int standard = PyObject_IsInstance(self.logger.ptr(), logger_class.get().ptr());
    if (standard < 0)
        throw py::error_already_set();
    if (standard)
        self.logger.attr("debug")(line, py::arg("stacklevel") = 2);
    else
        self.logger.attr("debug")(line);
    py::handle requests = requests_module.get();
    py::object reply = truthy(data)
                           ? requests.attr("post")(path, py::arg("json") = data, py::arg("headers") = headers,
                                                   py::arg("timeout") = timeout)
                           : requests.attr("get")(path, py::arg("headers") = headers, py::arg("timeout") = timeout);
    py::object rst = json_loads(reply.attr("text"));
    static PyObject *code_key = PyUnicode_InternFromString("code");
    if (contains(rst, "code")) {
        py::object code = item(rst, code_key);
        static PyObject *zero = PyLong_FromLong(0);
        static PyObject *zero_text = PyUnicode_InternFromString("0");
        int ok = PyObject_RichCompareBool(code.ptr(), zero, Py_EQ);
        if (ok == 0)
            ok = PyObject_RichCompareBool(code.ptr(), zero_text, Py_EQ);
        if (ok < 0)
            throw py::error_already_set();
        if (ok)
            return item(rst, py::str("data"));
    }
    builtin_print(concat(py::str("error happen in http call with rst="), py::str(rst)));
    py::object msg = item(rst, py::str("msg"));
    PyErr_SetObject(PyExc_Exception, py::make_tuple(msg).ptr());
    throw py::error_already_set();
}

py::object call(const ServiceHpptClient &self, const py::object &name, const py::object &data,
                const py::object &metadata, const py::object &timeout) {
    check_exact("name", name, &PyUnicode_Type);
    check_exact("data", data, &PyDict_Type, true);
    check_exact("metadata", metadata, &PyList_Type, true);
    check_exact("timeout", timeout, &PyLong_Type);

    py::dict headers;
    py::object ctx = request_context(self);
    if (!ctx.is_none()) {
        if (contains(ctx, "vek_accesstoken"))
            headers["Authorization"] = concat(py::str("Bearer "), item(ctx, py::str("vek_accesstoken")));
        if (contains(ctx, "vek_traceid"))
            headers["vek-traceid"] = item(ctx, py::str("vek_traceid"));
    }
    if (!metadata.is_none()) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(metadata.ptr()); ++i) {
            py::object entry = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(metadata.ptr(), i));
            py::object header = item(entry, py::int_(0));
            py::object value = item(entry, py::int_(1));
            if (PyObject_SetItem(headers.ptr(), header.ptr(), value.ptr()) < 0)
                throw py::error_already_set();
        }
    }

    // By value: a traceback may keep the attempt function alive after the call.
    py::cpp_function attempt(
        [owner = self, name, data, headers, timeout]() { return exchange(owner, name, data, headers, timeout); },
        py::name("call"));
    py::object retrying = retrying_class(py::arg("stop") = stop_after_attempt(2));
    try {
        return retrying(attempt);
    } catch (py::error_already_set &e) {
        if (!e.matches(retry_error.get()))
            throw;
        e.value().attr("reraise")();
        throw;
    }
}

} // namespace

PYBIND11_MODULE(wirecall, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "HTTP calls to other services: ServiceHpptClient.";
    // Imported now so a missing library fails the import, as a Python module would.
    for (const char *name : {"json", "requests", "contextvars"})
        m.attr(name) = py::module_::import(name);
    m.attr("Logger") = logger_class.get();
    py::module_ typing = py::module_::import("typing");
    for (const char *name : {"List", "Tuple", "Any"})
        m.attr(name) = typing.attr(name);
    py::module_ tenacity = py::module_::import("tenacity");
    for (const char *name : {"Retrying", "stop_after_attempt", "RetryError", "retry"})
        m.attr(name) = tenacity.attr(name);
    m.attr("Tool") = tool_class.get();
    json_loads.get();
    mapping_abc.get();
    builtin_print.get();

    const Signature init_sig("ServiceHpptClient.__init__",
                             {required("connect_info"), required("contextvar_g"), required("logger")}, true);
    const Signature call_sig(
        "ServiceHpptClient.call",
        {required("name"), optional("data"), optional("metadata"), optional("timeout", py::int_(10))}, true);

    py::class_<ServiceHpptClient>(m, "ServiceHpptClient", py::dynamic_attr(),
                                  "Calls services that answer in the JSON envelope {code, msg, data}.")
        .def(py::init([init_sig](py::args args, py::kwargs kwargs) {
                 std::vector<py::object> a = init_sig.bind(args, kwargs);
                 check_exact("connect_info", a[0], &PyDict_Type);
                 auto self = std::make_unique<ServiceHpptClient>();
                 self->connect_info = a[0];
                 self->contextvar_g = a[1];
                 self->logger = a[2];
                 self->url = concat(py::str("http://"), py::str(item(a[0], py::str("address"))));
                 return self;
             }),
             "ServiceHpptClient(connect_info: dict, contextvar_g: contextvars.ContextVar, logger: Logger)")
        .def(
            "call",
            [call_sig](const ServiceHpptClient &self, py::args args, py::kwargs kwargs) {
                std::vector<py::object> a = call_sig.bind(args, kwargs);
                return call(self, a[0], a[1], a[2], a[3]);
            },
            "call(name: str, data: dict = None, metadata: List[Tuple] = None, timeout: int = 10) -> Any\n\n"
            "GET (no data) or JSON POST to url/name; the reply's \"data\" when its \"code\" is 0 or \"0\".\n"
            "The exchange is tried twice; the last failure is raised.")
        .def_property_readonly("_connect_info", [](const ServiceHpptClient &self) { return self.connect_info; })
        .def_property_readonly("_contextvar_g", [](const ServiceHpptClient &self) { return self.contextvar_g; })
        .def_property_readonly("_logger", [](const ServiceHpptClient &self) { return self.logger; })
        .def_property_readonly("url", [](const ServiceHpptClient &self) { return self.url; });
}
