// kestrum.service.tokensmith: HS256 access tokens carrying a user name and an expiry.
#include "common/args.hpp"
#include "common/authcheck.hpp"
#include "common/fastmethod.hpp"
#include "common/pyutil.hpp"

#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace kestrum;

namespace {

// The module is kept and its functions are looked up at every call, as `jwt.encode(...)`
// in a Python module would be, so that a patched library is obeyed.
Imported jwt_module("jwt");

[[noreturn]] void raise_type_expected(const char *expected, py::handle got) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(got.ptr())->tp_name);
    throw py::error_already_set();
}

struct ServiceJwt {
    py::object secret_key;
    py::object timeout;
};

// Interned names, set when the module loads.
PyObject *kUserName = nullptr;
PyObject *kExp = nullptr;
PyObject *kHs256 = nullptr;
PyObject *kAlgorithmKw = nullptr;  // ("algorithm",)
PyObject *kAlgorithmsKw = nullptr; // ("algorithms",)

PyObject *intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        throw py::error_already_set();
    return s;
}

py::object jwt_function(PyObject *name) {
    PyObject *f = PyObject_GetAttr(jwt_module.get().ptr(), name);
    if (!f)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(f);
}

py::object jwt_encode() {
    static PyObject *name = intern("encode");
    return jwt_function(name);
}

py::object jwt_decode() {
    static PyObject *name = intern("decode");
    return jwt_function(name);
}

py::object jwt_error() {
    static PyObject *name = intern("PyJWTError");
    return jwt_function(name);
}

PyObject *keyword_names(const char *name) {
    PyObject *t = PyTuple_Pack(1, intern(name));
    if (!t)
        throw py::error_already_set();
    return t;
}

// fn(a, b, <kw>=c) through vectorcall, without building an argument tuple and dict.
py::object call_with_keyword(py::handle fn, py::handle a, py::handle b, PyObject *kwnames, py::handle c) {
    PyObject *args[] = {a.ptr(), b.ptr(), c.ptr()};
    PyObject *r = PyObject_Vectorcall(fn.ptr(), args, 2, kwnames);
    if (!r)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::list hs256_only() {
    py::list algorithms;
    algorithms.append(kHs256);
    return algorithms;
}

// A correctly signed token whose claims made the library fail outside its own error
// class (an `exp` of null, a list, Infinity, ... depending on the library version).
// The claim checks are switched off here, so success means the signature holds.
bool signature_holds(const ServiceJwt &self, py::handle token) {
    py::dict options;
    for (const char *check :
         {"verify_exp", "verify_nbf", "verify_iat", "verify_iss", "verify_aud", "verify_sub", "verify_jti"})
        options[check] = false;
    try {
        jwt_decode()(token, self.secret_key, py::arg("algorithms") = hs256_only(), py::arg("options") = options);
        return true;
    } catch (py::error_already_set &) {
        return false;
    }
}

py::object create_access_token(const ServiceJwt &self, py::handle user_name, py::handle timeout) {
    check_exact("user_name", user_name, &PyUnicode_Type);
    check_exact("timeout", timeout, &PyLong_Type, true);
    const int truthy = PyObject_IsTrue(timeout.ptr());
    if (truthy < 0)
        throw py::error_already_set();
    py::handle lifetime = truthy ? timeout : py::handle(self.timeout);
    py::object now = wall_time();
    PyObject *exp = PyNumber_Add(now.ptr(), lifetime.ptr());
    if (!exp)
        throw py::error_already_set();
    py::dict payload;
    py::object exp_ref = py::reinterpret_steal<py::object>(exp);
    if (PyDict_SetItem(payload.ptr(), kUserName, user_name.ptr()) < 0 || PyDict_SetItem(payload.ptr(), kExp, exp) < 0)
        throw py::error_already_set();
    py::object token = call_with_keyword(jwt_encode(), payload, self.secret_key, kAlgorithmKw, kHs256);
    if (!PyUnicode_Check(token.ptr()))
        raise_type_expected("str", token);
    return token;
}

py::object verify_access_token(const ServiceJwt &self, py::handle token) {
    check_exact("token", token, &PyUnicode_Type);
    // Text that UTF-8 cannot carry (lone surrogates) is no token at all.
    if (!PyUnicode_AsUTF8AndSize(token.ptr(), nullptr)) {
        py::error_already_set e;
        raise_auth_failed(e.value());
    }
    py::object data;
    try {
        data = call_with_keyword(jwt_decode(), token, self.secret_key, kAlgorithmsKw, hs256_only());
    } catch (py::error_already_set &e) {
        if (e.matches(jwt_error()))
            raise_auth_failed(e.value());
        if ((e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError) || e.matches(PyExc_OverflowError)) &&
            signature_holds(self, token))
            raise_auth_failed(e.value());
        throw;
    }
    py::object expire;
    if (PyDict_CheckExact(data.ptr())) {
        PyObject *found = PyDict_GetItemWithError(data.ptr(), kExp);
        if (!found && PyErr_Occurred())
            throw py::error_already_set();
        expire = found ? py::reinterpret_borrow<py::object>(found) : py::none();
    } else {
        expire = data.attr("get")(py::handle(kExp));
    }
    if (expire.is_none())
        raise_auth_failed();
    bool expired;
    try {
        expired = utc_expired(expire);
    } catch (py::error_already_set &e) {
        // Numeric text, or a time the date conversion cannot represent: the token is
        // unusable, which is an authentication failure like any other.
        if (!e.matches(PyExc_Exception))
            throw;
        raise_auth_failed(e.value());
    }
    if (expired)
        raise_auth_failed();
    PyObject *name = PyObject_GetItem(data.ptr(), kUserName);
    if (!name)
        throw py::error_already_set();
    py::object result = py::reinterpret_steal<py::object>(name);
    if (!result.is_none() && !PyUnicode_Check(name))
        raise_type_expected("str", result);
    return result;
}

py::object create_method(ServiceJwt &self, FastArgs a) { return create_access_token(self, a[0], a[1]); }
py::object verify_method(ServiceJwt &self, FastArgs a) { return verify_access_token(self, a[0]); }

} // namespace

PYBIND11_MODULE(tokensmith, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "JWT access tokens: ServiceJwt.";
    // Imported now so a missing library fails the import, as a Python module would.
    py::module_::import("time");
    py::module_::import("datetime");
    kUserName = intern("user_name");
    kExp = intern("exp");
    kHs256 = intern("HS256");
    kAlgorithmKw = keyword_names("algorithm");
    kAlgorithmsKw = keyword_names("algorithms");
    m.attr("jwt") = jwt_module.get();
    m.attr("ExceptionAuthFailed") = py::module_::import("kestrum.util").attr("ExceptionAuthFailed");

    const Signature init_sig("ServiceJwt.__init__", {required("info")}, true);
    py::class_<ServiceJwt> cls(m, "ServiceJwt", py::dynamic_attr(),
                               "Issues and verifies HS256 access tokens with the claims user_name and exp.");
    cls.def(py::init([init_sig](py::args args, py::kwargs kwargs) {
                std::vector<py::object> a = init_sig.bind(args, kwargs);
                py::object info = a[0];
                check_exact("info", info, &PyDict_Type);
                py::dict d = py::reinterpret_borrow<py::dict>(info);
                if (!d.contains("secret_key"))
                    raise_exception("jwt_secret_key not in info, please check");
                auto self = std::make_unique<ServiceJwt>();
                self->secret_key = d["secret_key"];
                py::object timeout = d.contains("timeout") ? py::object(d["timeout"]) : py::object(py::int_(3600));
                PyObject *as_int = PyNumber_Long(timeout.ptr());
                if (!as_int)
                    throw py::error_already_set();
                self->timeout = py::reinterpret_steal<py::object>(as_int);
                return self;
            }),
            "ServiceJwt(info: dict)");
    def_fast_method<ServiceJwt, create_method>(
        cls, "create_access_token", "ServiceJwt.create_access_token", {required("user_name"), optional("timeout")},
        "create_access_token(user_name: str, timeout: int = None) -> str\n\n"
        "A new token for `user_name`, valid for `timeout` seconds (the configured lifetime when falsy).");
    def_fast_method<ServiceJwt, verify_method>(
        cls, "verify_access_token", "ServiceJwt.verify_access_token", {required("token")},
        "verify_access_token(token: str) -> str\n\n"
        "The token's user name; ExceptionAuthFailed for a forged, malformed or expired token.");
    cls.def_property_readonly("_secret_key", [](const ServiceJwt &self) { return self.secret_key; })
        .def_property_readonly("_timeout", [](const ServiceJwt &self) { return self.timeout; });
}
