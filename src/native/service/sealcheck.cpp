// kestrum.service._sealcheck: signs parameter dictionaries with an expiry time and an
// MD5 signature over a canonical text, and verifies them.
#include "common/authcheck.hpp"
#include "common/deepcopy.hpp"
#include "common/module.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace kestrum;

namespace {

constexpr long kDefaultTimeout = 60;

ModuleGlobals globals;

// Interned names, made when the module loads.
struct Names {
    PyObject *exp = interned("__exp");
    PyObject *sign = interned("__sign");
    PyObject *user_name = interned("user_name");
    PyObject *secret_key_attr = interned("_secret_key");
    PyObject *token_func_attr = interned("_user_token_func");
    PyObject *md5 = interned("md5");
    PyObject *hexdigest = interned("hexdigest");
    PyObject *isfunction = interned("isfunction");
    PyObject *copy = interned("copy");
    PyObject *time = interned("time");
    PyObject *datetime = interned("datetime");
    PyObject *hashlib = interned("hashlib");
    PyObject *inspect = interned("inspect");
};
const Names *n = nullptr;

// The default token function, stored bound to its instance: the secret, read at the call.
PyObject *g_default_token_function = nullptr;

py::object default_token(const Bound &a) { return get_attr(a[0], n->secret_key_attr); }

// MD5 (RFC 1321). The signed text is short: a digest through hashlib (OpenSSL) costs
// about a microsecond per call, a fifth of a whole sign-and-verify (bench/).
class Md5 {
  public:
    void update(const unsigned char *data, size_t len) {
        size_t have = static_cast<size_t>(length_ % 64);
        length_ += len;
        while (len > 0) {
            const size_t take = std::min(len, 64 - have);
            std::memcpy(block_ + have, data, take);
            data += take;
            len -= take;
            have += take;
            if (have == 64) {
                transform();
                have = 0;
            }
        }
    }

    // 32 lower-case hexadecimal digits.
    void hexdigest(char out[32]) {
        const uint64_t bits = length_ * 8;
        static const unsigned char pad[64] = {0x80};
        const size_t have = static_cast<size_t>(length_ % 64);
        update(pad, have < 56 ? 56 - have : 120 - have);
        unsigned char tail[8];
        for (int i = 0; i < 8; ++i)
            tail[i] = static_cast<unsigned char>(bits >> (8 * i));
        update(tail, 8);
        static const char hex[] = "0123456789abcdef";
        for (int i = 0; i < 16; ++i) {
            const unsigned byte = (state_[i / 4] >> (8 * (i % 4))) & 0xff;
            out[2 * i] = hex[byte >> 4];
            out[2 * i + 1] = hex[byte & 15];
        }
    }

  private:
    void transform() {
        static const uint32_t K[64] = {
            0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
            0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
            0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
            0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
            0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
            0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
            0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
            0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
        static const int S[16] = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};
        uint32_t M[16];
        for (int i = 0; i < 16; ++i)
            M[i] = static_cast<uint32_t>(block_[i * 4]) | static_cast<uint32_t>(block_[i * 4 + 1]) << 8 |
                   static_cast<uint32_t>(block_[i * 4 + 2]) << 16 | static_cast<uint32_t>(block_[i * 4 + 3]) << 24;
        uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            switch (i / 16) {
            case 0: f = d ^ (b & (c ^ d)), g = i; break;
            case 1: f = c ^ (d & (b ^ c)), g = (5 * i + 1) % 16; break;
            case 2: f = b ^ c ^ d, g = (3 * i + 5) % 16; break;
            default: f = c ^ (b | ~d), g = (7 * i) % 16; break;
            }
            const uint32_t x = a + f + K[i] + M[g];
            const int s = S[(i / 16) * 4 + i % 4];
            a = d;
            d = c;
            c = b;
            b += (x << s) | (x >> (32 - s));
        }
        state_[0] += a;
        state_[1] += b;
        state_[2] += c;
        state_[3] += d;
    }

    uint32_t state_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    uint64_t length_ = 0;
    unsigned char block_[64] = {};
};

// float.__repr__, which str() of a float is: the shortest digits that read back to the
// same value, in positional notation for decimal exponents -4 < e <= 16, with ".0"
// added to whole numbers, else as d.ddde+XX.
void append_float(std::string &buf, double v) {
#if defined(__cpp_lib_to_chars)
    if (std::isfinite(v)) {
        char sci[32];
        auto res = std::to_chars(sci, sci + sizeof sci - 1, v, std::chars_format::scientific);
        if (res.ec == std::errc()) {
            *res.ptr = '\0';
            const char *p = sci;
            if (*p == '-') {
                buf.push_back('-');
                ++p;
            }
            char digits[24];
            int n = 0;
            for (; *p != 'e'; ++p)
                if (*p != '.')
                    digits[n++] = *p;
            const int decpt = std::atoi(p + 1) + 1;
            if (decpt <= -4 || decpt > 16) {
                buf.push_back(digits[0]);
                if (n > 1) {
                    buf.push_back('.');
                    buf.append(digits + 1, static_cast<size_t>(n - 1));
                }
                const int e = decpt - 1;
                char exp[16];
                std::snprintf(exp, sizeof exp, "e%c%02d", e < 0 ? '-' : '+', e < 0 ? -e : e);
                buf.append(exp);
            } else if (decpt <= 0) {
                buf.append("0.");
                buf.append(static_cast<size_t>(-decpt), '0');
                buf.append(digits, static_cast<size_t>(n));
            } else if (decpt >= n) {
                buf.append(digits, static_cast<size_t>(n));
                buf.append(static_cast<size_t>(decpt - n), '0');
                buf.append(".0");
            } else {
                buf.append(digits, static_cast<size_t>(decpt));
                buf.push_back('.');
                buf.append(digits + decpt, static_cast<size_t>(n - decpt));
            }
            return;
        }
    }
#endif
    char *text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text)
        throw_pending();
    buf.append(text);
    PyMem_Free(text);
}

// Values whose text is the runtime's own (no __str__ of anyone else runs).
bool plain_text(PyObject *value) {
    PyTypeObject *tp = Py_TYPE(value);
    if (tp == &PyLong_Type) {
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(value, &overflow);
        return !overflow;
    }
    return tp == &PyUnicode_Type || tp == &PyFloat_Type || value == Py_True || value == Py_False || value == Py_None;
}

// Appends str(value) as UTF-8. Values of other types have their text made by the
// runtime and kept in `made`, so a second pass never calls their __str__ again.
// Returns false (no error pending) when the text cannot be encoded as UTF-8.
bool append_text(std::string &buf, PyObject *value, std::vector<py::object> &made) {
    PyTypeObject *tp = Py_TYPE(value);
    PyObject *text = value;
    if (tp == &PyFloat_Type) {
        append_float(buf, PyFloat_AS_DOUBLE(value));
        return true;
    }
    if (tp == &PyLong_Type) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (!overflow) {
            char digits[24];
            auto res = std::to_chars(digits, digits + sizeof digits, v);
            buf.append(digits, static_cast<size_t>(res.ptr - digits));
            return true;
        }
    } else if (value == Py_True || value == Py_False || value == Py_None) {
        buf.append(value == Py_True ? "True" : value == Py_False ? "False" : "None");
        return true;
    }
    if (tp != &PyUnicode_Type) {
        made.push_back(text_of(value));
        text = made.back().ptr();
    }
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) {
        PyErr_Clear();
        return false;
    }
    buf.append(utf8, static_cast<size_t>(size));
    return true;
}

// Keys in the runtime's default order; a fast path for all-text keys, and the
// runtime's own sort (and its TypeError) for anything else.
std::vector<py::object> sorted_keys(const py::dict &param) {
    std::vector<py::object> keys;
    keys.reserve(static_cast<size_t>(PyDict_GET_SIZE(param.ptr())));
    bool all_text = true;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(param.ptr(), &pos, &k, &v)) {
        all_text = all_text && Py_TYPE(k) == &PyUnicode_Type;
        keys.push_back(py::reinterpret_borrow<py::object>(k));
    }
    if (all_text) {
        std::sort(keys.begin(), keys.end(),
                  [](const py::object &a, const py::object &b) { return PyUnicode_Compare(a.ptr(), b.ptr()) < 0; });
        return keys;
    }
    py::list list(0);
    for (auto &key : keys)
        list.append(key);
    if (guarded([&] { return PyList_Sort(list.ptr()); }) < 0)
        throw_pending();
    keys.clear();
    for (auto key : list)
        keys.push_back(py::reinterpret_borrow<py::object>(key));
    return keys;
}

// The token T of the canonical signature: the token function's answer for the
// parameters' user name, or the secret.
py::object token_for(py::handle self, const py::dict &param) {
    PyObject *user = PyDict_GetItemWithError(param.ptr(), n->user_name);
    if (!user && PyErr_Occurred())
        throw_pending();
    py::object func = user ? get_attr(self, n->token_func_attr) : py::object();
    const bool default_func = func && PyMethod_Check(func.ptr()) &&
                              PyMethod_GET_FUNCTION(func.ptr()) == g_default_token_function &&
                              PyMethod_GET_SELF(func.ptr()) == self.ptr();
    if (!user || default_func)
        return get_attr(self, n->secret_key_attr);
    return fast_call(func, {user});
}

// hashlib.md5(data).hexdigest(), for the rare texts the fast path leaves to the runtime.
py::str md5_hex(py::handle data) {
    py::object digest = fast_call(get_attr(globals.get(n->hashlib), n->md5), {data});
    return py::reinterpret_steal<py::str>(fast_call_method(digest, n->hexdigest).release());
}

// MD5 hex of token + k1=v1k2=v2... + token, keys sorted, every key and value as its
// str(). Raises exactly what those steps raise in Python: the sort's TypeError, a
// failing __str__, the concatenation's TypeError for a token that is not text, the
// UnicodeEncodeError of text that UTF-8 cannot carry.
py::str canonical_sign(const py::object &token, const py::dict &param) {
    std::vector<py::object> keys = sorted_keys(param);
    std::string body;
    body.reserve(256);
    std::vector<py::object> made;
    bool utf8 = true;
    for (const py::object &key : keys) {
        PyObject *value = PyDict_GetItemWithError(param.ptr(), key.ptr());
        if (!value) {
            if (!PyErr_Occurred())
                PyErr_SetObject(PyExc_KeyError, key.ptr());
            throw_pending();
        }
        py::object held = py::reinterpret_borrow<py::object>(value);
        utf8 = append_text(body, key.ptr(), made) && utf8;
        body.push_back('=');
        utf8 = append_text(body, held.ptr(), made) && utf8;
    }
    if (utf8 && Py_TYPE(token.ptr()) == &PyUnicode_Type) {
        Py_ssize_t size = 0;
        if (const char *t = PyUnicode_AsUTF8AndSize(token.ptr(), &size)) {
            Md5 md5;
            md5.update(reinterpret_cast<const unsigned char *>(t), static_cast<size_t>(size));
            md5.update(reinterpret_cast<const unsigned char *>(body.data()), body.size());
            md5.update(reinterpret_cast<const unsigned char *>(t), static_cast<size_t>(size));
            char hex[32];
            md5.hexdigest(hex);
            return py::str(hex, 32);
        }
        PyErr_Clear();
    }
    // Unusual tokens and text that UTF-8 cannot carry: the same steps through the
    // runtime, so that the error is exactly that of plain Python.
    py::list pieces;
    size_t next_made = 0;
    auto text = [&](py::handle v) -> py::object { return plain_text(v.ptr()) ? text_of(v) : made[next_made++]; };
    for (const py::object &key : keys) {
        pieces.append(text(key));
        pieces.append(py::str("="));
        pieces.append(text(item(param, key)));
    }
    py::object body_text = steal(PyUnicode_Join(py::str("").ptr(), pieces.ptr()));
    py::object head = steal(guarded([&] { return PyNumber_Add(token.ptr(), body_text.ptr()); }));
    py::object whole = steal(guarded([&] { return PyNumber_Add(head.ptr(), token.ptr()); }));
    return md5_hex(call_attr(whole, "encode", "utf-8"));
}

// Equality of the received signature with the computed one, in time that does not
// depend on where they differ. Only text can match.
bool same_signature(py::handle received, const py::str &expected) {
    PyObject *r = received.ptr();
    if (!PyUnicode_Check(r) || PyUnicode_READY(r) < 0) {
        PyErr_Clear();
        return false;
    }
    const Py_ssize_t len = PyUnicode_GET_LENGTH(expected.ptr());
    if (PyUnicode_GET_LENGTH(r) != len || PyUnicode_KIND(r) != PyUnicode_1BYTE_KIND)
        return false;
    const unsigned char *a = PyUnicode_1BYTE_DATA(r);
    const unsigned char *b = PyUnicode_1BYTE_DATA(expected.ptr());
    unsigned diff = 0;
    for (Py_ssize_t i = 0; i < len; ++i)
        diff |= static_cast<unsigned>(a[i] ^ b[i]);
    return diff == 0;
}

bool has_key(const py::dict &d, PyObject *key) {
    const int found = PyDict_Contains(d.ptr(), key);
    if (found < 0)
        throw_pending();
    return found == 1;
}

py::dict copy_of(py::handle param) {
    py::object y = deep_copy(param, globals.get(n->copy));
    if (!PyDict_Check(y.ptr()))
        raise(PyExc_TypeError, "deepcopy of the parameters did not give a dict");
    return py::reinterpret_steal<py::dict>(y.release());
}

py::object init(const Bound &a) {
    py::handle user_token_func = a[1];
    keep_secret_and_timeout(a.self, a[0], "secret_key not in info, please check", kDefaultTimeout);
    if (is_true(user_token_func)) {
        if (!is_true(fast_call(get_attr(globals.get(n->inspect), n->isfunction), {user_token_func})))
            raise_exception("user_token_func is not func");
        set_attr(a.self, "_user_token_func", user_token_func);
    } else {
        set_attr(a.self, "_user_token_func", steal(PyMethod_New(g_default_token_function, a.self.ptr())));
    }
    return py::none();
}

py::object generate_sign(const Bound &a) {
    py::handle param = a[0], timeout = a[1];
    check_exact("param", param, &PyDict_Type);
    check_exact("timeout", timeout, &PyLong_Type, true);
    const py::dict original = py::reinterpret_borrow<py::dict>(param);
    if (has_key(original, n->exp) || has_key(original, n->sign)) {
        PyErr_SetNone(PyExc_Exception);
        throw_pending();
    }
    py::dict signed_param = copy_of(param);
    py::object exp = expiry_from_now(a.self, timeout, globals.get(n->time));
    if (PyDict_SetItem(signed_param.ptr(), n->exp, exp.ptr()) < 0)
        throw_pending();
    py::str sign = canonical_sign(token_for(a.self, signed_param), signed_param);
    if (PyDict_SetItem(signed_param.ptr(), n->sign, sign.ptr()) < 0)
        throw_pending();
    return std::move(signed_param);
}

// Everything about the received dictionary is the sender's doing: whatever keeps it
// from verifying is an authentication failure, never another error. Only the token
// function's own failures (the application's code) propagate.
py::object confirm_sign(const Bound &a) {
    py::handle param = a[0];
    check_exact("param", param, &PyDict_Type);
    py::dict copy = or_auth_failed([&] { return copy_of(param); });
    if (!has_key(copy, n->exp) || !has_key(copy, n->sign))
        raise_auth_failed();
    check_not_expired(item(copy, n->exp), globals.get(n->datetime));
    py::object received = item(copy, n->sign);
    if (PyDict_DelItem(copy.ptr(), n->sign) < 0)
        throw_pending();
    py::object token = token_for(a.self, copy);
    // A token that is not text is the token function's fault: its TypeError stands.
    py::str expected = PyUnicode_Check(token.ptr()) ? or_auth_failed([&] { return canonical_sign(token, copy); })
                                                    : canonical_sign(token, copy);
    if (!same_signature(received, expected))
        raise_auth_failed();
    if (PyDict_DelItem(copy.ptr(), n->exp) < 0)
        throw_pending();
    return std::move(copy);
}

py::object cal_sign(const Bound &a) {
    check_exact("param", a[0], &PyDict_Type);
    py::dict copy = copy_of(a[0]);
    return canonical_sign(token_for(a.self, copy), copy);
}

} // namespace

PYBIND11_MODULE(_sealcheck, m) {
    globals.bind(m, "Parameter signing: ServiceParamsign.");
    // Bound now so a missing module fails the import, as a Python module would.
    bind_modules(m, {"copy", "time", "datetime", "inspect", "hashlib"});
    bind_names(m, "kestrum.util", {"ExceptionAuthFailed"});
    n = new Names();
    g_default_token_function =
        native_function<default_token>(globals.name(), "ServiceParamsign._default_user_token_func",
                                       {required("self"), required("user_name")},
                                       "The secret, whoever the user: the token function when none is given.")
            .release()
            .ptr();

    ServiceClass cls(globals.name(), "ServiceParamsign",
                     "Signs parameter dictionaries (\"__exp\", \"__sign\") and verifies them.");
    cls.method<init>("__init__", {required("info"), optional("user_token_func")},
                     "Keep info's secret_key and timeout (default 60 seconds), and the function giving a user's "
                     "token (a plain function; by default the secret for everyone).")
        .method<generate_sign>(
            "generate_sign", {required("param"), optional("timeout")},
            "A signed deep copy of param with \"__exp\" and \"__sign\" added.\n\n"
            "Raises TypeError for a param that is not exactly a dict or a timeout that is neither an int nor None, "
            "Exception() when param already holds \"__exp\" or \"__sign\", TypeError when its keys are not all text "
            "(they cannot be sorted with \"__exp\"), UnicodeEncodeError for text that UTF-8 cannot carry (lone "
            "surrogates), and whatever deep-copying param, str() of a key or value, or the token function raises.")
        .method<confirm_sign>("confirm_sign", {required("param")},
                              "A copy of the verified parameters without \"__exp\" and \"__sign\".\n\n"
                              "ExceptionAuthFailed for anything that does not verify; only a param that is not "
                              "exactly a dict (TypeError) and the token function's own errors are raised otherwise.")
        .method<cal_sign>("_cal_sign", {required("param")}, "The MD5 signature of param's canonical text.");
    m.attr("ServiceParamsign") = cls.type();
}
