// kestrum.service.tokensmith: HS256 access tokens carrying a user name and an expiry.
#include "common/authcheck.hpp"
#include "common/module.hpp"

using namespace kestrum;

namespace {

constexpr long kDefaultTimeout = 3600;

ModuleGlobals globals;

// Interned names, made when the module loads.
struct Names {
    PyObject *user_name = interned("user_name");
    PyObject *exp = interned("exp");
    PyObject *hs256 = interned("HS256");
    PyObject *secret_key_attr = interned("_secret_key");
    PyObject *encode = interned("encode");
    PyObject *decode = interned("decode");
    PyObject *jwt_error = interned("PyJWTError");
    PyObject *get = interned("get");
    PyObject *jwt = interned("jwt");
    PyObject *time = interned("time");
    PyObject *datetime = interned("datetime");
};
const Names *n = nullptr;

py::object jwt_function(PyObject *name) { return get_attr(globals.get(n->jwt), name); }

py::list hs256_only() {
    py::list algorithms;
    algorithms.append(n->hs256);
    return algorithms;
}

// A correctly signed token whose claims made the library fail outside its own error
// class (an `exp` of null, a list, Infinity, ... depending on the library version).
// The claim checks are switched off here, so success means the signature holds.
bool signature_holds(py::handle secret, py::handle token) {
    static const Keywords kw{"algorithms", "options"};
    py::dict options;
    for (const char *check :
         {"verify_exp", "verify_nbf", "verify_iat", "verify_iss", "verify_aud", "verify_sub", "verify_jti"})
        options[check] = false;
    return succeeds([&] { fast_call(jwt_function(n->decode), {token, secret}, kw, {hs256_only(), options}); });
}

py::object init(const Bound &a) {
    keep_secret_and_timeout(a.self, a[0], "jwt_secret_key not in info, please check", kDefaultTimeout);
    return py::none();
}

py::object create_access_token(const Bound &a) {
    py::handle user_name = a[0], timeout = a[1];
    check_exact("user_name", user_name, &PyUnicode_Type);
    check_exact("timeout", timeout, &PyLong_Type, true);
    py::object exp = expiry_from_now(a.self, timeout, globals.get(n->time));
    py::dict payload;
    if (PyDict_SetItem(payload.ptr(), n->user_name, user_name.ptr()) < 0 ||
        PyDict_SetItem(payload.ptr(), n->exp, exp.ptr()) < 0)
        throw_pending();
    static const Keywords kw{"algorithm"};
    py::object token =
        fast_call(jwt_function(n->encode), {payload, get_attr(a.self, n->secret_key_attr)}, kw, {n->hs256});
    if (!PyUnicode_Check(token.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(token.ptr())->tp_name);
        throw_pending();
    }
    return token;
}

py::object verify_access_token(const Bound &a) {
    py::handle token = a[0];
    check_exact("token", token, &PyUnicode_Type);
    // Text that UTF-8 cannot carry (lone surrogates) is no token at all.
    if (!PyUnicode_AsUTF8AndSize(token.ptr(), nullptr)) {
        py::error_already_set e;
        raise_auth_failed(e.value());
    }
    py::object secret = get_attr(a.self, n->secret_key_attr);
    py::object data;
    try {
        static const Keywords kw{"algorithms"};
        data = fast_call(jwt_function(n->decode), {token, secret}, kw, {hs256_only()});
    } catch (py::error_already_set &e) {
        if (e.matches(jwt_function(n->jwt_error)))
            raise_auth_failed(e.value());
        if ((e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError) || e.matches(PyExc_OverflowError)) &&
            signature_holds(secret, token))
            raise_auth_failed(e.value());
        throw;
    }
    py::object expire;
    if (PyDict_CheckExact(data.ptr())) {
        PyObject *found = PyDict_GetItemWithError(data.ptr(), n->exp);
        if (!found && PyErr_Occurred())
            throw_pending();
        expire = found ? py::reinterpret_borrow<py::object>(found) : py::none();
    } else {
        expire = call_attr(data, n->get, py::handle(n->exp));
    }
    if (expire.is_none())
        raise_auth_failed();
    // Numeric text, or a time the date conversion cannot represent, is an unusable
    // token: an authentication failure like any other.
    check_not_expired(expire, globals.get(n->datetime));
    py::object name = item(data, n->user_name);
    // A signed token whose user name is not text (null, a number, a list) names no user.
    if (!PyUnicode_Check(name.ptr()))
        raise_auth_failed();
    return name;
}

} // namespace

PYBIND11_MODULE(tokensmith, m) {
    globals.bind(m, "JWT access tokens: ServiceJwt.");
    // Bound now so a missing library fails the import, as a Python module would.
    bind_modules(m, {"jwt", "time", "datetime"});
    bind_names(m, "kestrum.util", {"ExceptionAuthFailed"});
    n = new Names();

    ServiceClass cls(globals.name(), "ServiceJwt",
                     "Issues and verifies HS256 access tokens with the claims user_name and exp.");
    cls.method<init>("__init__", {required("info")},
                     "Keep info's secret_key and its timeout (default 3600 seconds) for the tokens.")
        .method<create_access_token>("create_access_token", {required("user_name"), optional("timeout")},
                                     "A new token for user_name, valid for timeout seconds (the configured lifetime "
                                     "when falsy).")
        .method<verify_access_token>("verify_access_token", {required("token")},
                                     "The token's user name; ExceptionAuthFailed for a forged, malformed or expired "
                                     "token, or one whose user name is not text.");
    m.attr("ServiceJwt") = cls.type();
}
