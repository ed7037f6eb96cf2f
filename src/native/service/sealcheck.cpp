// kestrum.service._sealcheck: signs parameter dictionaries with an expiry time and an
// MD5 signature over a canonical text, and verifies them.
#include "common/args.hpp"
#include "common/authcheck.hpp"
#include "common/fastmethod.hpp"
#include "common/pyutil.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace kestrum;

namespace {

// The modules are kept and their functions looked up at every call, as a Python module's
// `copy.deepcopy(...)` would be, so that a patched library is obeyed.
Imported copy_module("copy");
Imported inspect_module("inspect");
Imported hashlib_module("hashlib");

// Interned once; leaked like the other module-level references.
PyObject *key(const char *text) {
    PyObject *k = PyUnicode_InternFromString(text);
    if (!k)
        throw py::error_already_set();
    return k;
}

py::object module_function(Imported &module, PyObject *name) {
    PyObject *f = PyObject_GetAttr(module.get().ptr(), name);
    if (!f)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(f);
}

// Interned dictionary keys, set when the module loads.
PyObject *kExp = nullptr;
PyObject *kSign = nullptr;
PyObject *kUserName = nullptr;

// ---------------------------------------------------------------------------
// MD5 (RFC 1321). The signed text is short, so a call into hashlib would cost more
// than the digest itself.

class Md5 {
  public:
    void update(const unsigned char *data, size_t len) {
        size_t have = static_cast<size_t>(length_ % 64);
        length_ += len;
        if (have) {
            const size_t take = std::min(len, 64 - have);
            std::memcpy(block_ + have, data, take);
            data += take;
            len -= take;
            have += take;
            if (have < 64)
                return;
            transform(block_);
        }
        for (; len >= 64; data += 64, len -= 64)
            transform(data);
        std::memcpy(block_, data, len);
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
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                const unsigned byte = (state_[i] >> (8 * j)) & 0xff;
                out[i * 8 + j * 2] = hex[byte >> 4];
                out[i * 8 + j * 2 + 1] = hex[byte & 15];
            }
    }

  private:
    static uint32_t rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

    void transform(const unsigned char *p) {
        uint32_t M[16];
        for (int i = 0; i < 16; ++i)
            M[i] = static_cast<uint32_t>(p[i * 4]) | static_cast<uint32_t>(p[i * 4 + 1]) << 8 |
                   static_cast<uint32_t>(p[i * 4 + 2]) << 16 | static_cast<uint32_t>(p[i * 4 + 3]) << 24;
        uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
#define KESTRUM_MD5_STEP(f, w, x, y, z, k, t, s) w = x + rotl(w + f(x, y, z) + M[k] + t, s)
#define KESTRUM_MD5_F(x, y, z) (z ^ (x & (y ^ z)))
#define KESTRUM_MD5_G(x, y, z) (y ^ (z & (x ^ y)))
#define KESTRUM_MD5_H(x, y, z) (x ^ y ^ z)
#define KESTRUM_MD5_I(x, y, z) (y ^ (x | ~z))
        KESTRUM_MD5_STEP(KESTRUM_MD5_F, a, b, c, d, 0, 0xd76aa478, 7);
        KESTRUM_MD5_STEP(KESTRUM_MD5_F, d, a, b, c, 1, 0xe8c7b756, 12);
        KESTRUM_MD5_STEP(KESTRUM_MD5_F, c, d, a, b, 2, 0x242070db, 17);
        KESTRUM_MD5_STEP(KESTRUM_MD5_F, b, c, d, a, 3, 0xc1bdceee, 22);
        KESTRUM_MD5_STEP(KESTRUM_MD5_F, a, b, c, d, 4, 0xf57c0faf, 7);
        KESTRUM_MD5_STEP(KESTRUM_MD5_F, d, a, b, c, 5, 0x4787c62a, 12);
        KESTRUM_MD5_STEP(KESTRUM_MD5_F, c, d, a, b, 6, 0xa8304613, 17);
        KESTRUM_MD5_STEP(KESTRUM_MD5_F, b, c, d, a, 7, 0xfd469501, 22);
        KESTRUM_MD5_STEP(KESTRUM_MD5_F, a, b, c, d, 8, 0x698098d8, 7);
        KESTRUM_MD5_STEP(KESTRUM_MD5_F, d, a, b, c, 9, 0x8b44f7af, 12);
        KESTRUM_MD5_STEP(KESTRUM_MD5_F, c, d, a, b, 10, 0xffff5bb1, 17);
        KESTRUM_MD5_STEP(KESTRUM_MD5_F, b, c, d, a, 11, 0x895cd7be, 22);
        KESTRUM_MD5_STEP(KESTRUM_MD5_F, a, b, c, d, 12, 0x6b901122, 7);
        KESTRUM_MD5_STEP(KESTRUM_MD5_F, d, a, b, c, 13, 0xfd987193, 12);
        KESTRUM_MD5_STEP(KESTRUM_MD5_F, c, d, a, b, 14, 0xa679438e, 17);
        KESTRUM_MD5_STEP(KESTRUM_MD5_F, b, c, d, a, 15, 0x49b40821, 22);
        KESTRUM_MD5_STEP(KESTRUM_MD5_G, a, b, c, d, 1, 0xf61e2562, 5);
        KESTRUM_MD5_STEP(KESTRUM_MD5_G, d, a, b, c, 6, 0xc040b340, 9);
        KESTRUM_MD5_STEP(KESTRUM_MD5_G, c, d, a, b, 11, 0x265e5a51, 14);
        KESTRUM_MD5_STEP(KESTRUM_MD5_G, b, c, d, a, 0, 0xe9b6c7aa, 20);
        KESTRUM_MD5_STEP(KESTRUM_MD5_G, a, b, c, d, 5, 0xd62f105d, 5);
        KESTRUM_MD5_STEP(KESTRUM_MD5_G, d, a, b, c, 10, 0x02441453, 9);
        KESTRUM_MD5_STEP(KESTRUM_MD5_G, c, d, a, b, 15, 0xd8a1e681, 14);
        KESTRUM_MD5_STEP(KESTRUM_MD5_G, b, c, d, a, 4, 0xe7d3fbc8, 20);
        KESTRUM_MD5_STEP(KESTRUM_MD5_G, a, b, c, d, 9, 0x21e1cde6, 5);
        KESTRUM_MD5_STEP(KESTRUM_MD5_G, d, a, b, c, 14, 0xc33707d6, 9);
        KESTRUM_MD5_STEP(KESTRUM_MD5_G, c, d, a, b, 3, 0xf4d50d87, 14);
        KESTRUM_MD5_STEP(KESTRUM_MD5_G, b, c, d, a, 8, 0x455a14ed, 20);
        KESTRUM_MD5_STEP(KESTRUM_MD5_G, a, b, c, d, 13, 0xa9e3e905, 5);
        KESTRUM_MD5_STEP(KESTRUM_MD5_G, d, a, b, c, 2, 0xfcefa3f8, 9);
        KESTRUM_MD5_STEP(KESTRUM_MD5_G, c, d, a, b, 7, 0x676f02d9, 14);
        KESTRUM_MD5_STEP(KESTRUM_MD5_G, b, c, d, a, 12, 0x8d2a4c8a, 20);
        KESTRUM_MD5_STEP(KESTRUM_MD5_H, a, b, c, d, 5, 0xfffa3942, 4);
        KESTRUM_MD5_STEP(KESTRUM_MD5_H, d, a, b, c, 8, 0x8771f681, 11);
        KESTRUM_MD5_STEP(KESTRUM_MD5_H, c, d, a, b, 11, 0x6d9d6122, 16);
        KESTRUM_MD5_STEP(KESTRUM_MD5_H, b, c, d, a, 14, 0xfde5380c, 23);
        KESTRUM_MD5_STEP(KESTRUM_MD5_H, a, b, c, d, 1, 0xa4beea44, 4);
        KESTRUM_MD5_STEP(KESTRUM_MD5_H, d, a, b, c, 4, 0x4bdecfa9, 11);
        KESTRUM_MD5_STEP(KESTRUM_MD5_H, c, d, a, b, 7, 0xf6bb4b60, 16);
        KESTRUM_MD5_STEP(KESTRUM_MD5_H, b, c, d, a, 10, 0xbebfbc70, 23);
        KESTRUM_MD5_STEP(KESTRUM_MD5_H, a, b, c, d, 13, 0x289b7ec6, 4);
        KESTRUM_MD5_STEP(KESTRUM_MD5_H, d, a, b, c, 0, 0xeaa127fa, 11);
        KESTRUM_MD5_STEP(KESTRUM_MD5_H, c, d, a, b, 3, 0xd4ef3085, 16);
        KESTRUM_MD5_STEP(KESTRUM_MD5_H, b, c, d, a, 6, 0x04881d05, 23);
        KESTRUM_MD5_STEP(KESTRUM_MD5_H, a, b, c, d, 9, 0xd9d4d039, 4);
        KESTRUM_MD5_STEP(KESTRUM_MD5_H, d, a, b, c, 12, 0xe6db99e5, 11);
        KESTRUM_MD5_STEP(KESTRUM_MD5_H, c, d, a, b, 15, 0x1fa27cf8, 16);
        KESTRUM_MD5_STEP(KESTRUM_MD5_H, b, c, d, a, 2, 0xc4ac5665, 23);
        KESTRUM_MD5_STEP(KESTRUM_MD5_I, a, b, c, d, 0, 0xf4292244, 6);
        KESTRUM_MD5_STEP(KESTRUM_MD5_I, d, a, b, c, 7, 0x432aff97, 10);
        KESTRUM_MD5_STEP(KESTRUM_MD5_I, c, d, a, b, 14, 0xab9423a7, 15);
        KESTRUM_MD5_STEP(KESTRUM_MD5_I, b, c, d, a, 5, 0xfc93a039, 21);
        KESTRUM_MD5_STEP(KESTRUM_MD5_I, a, b, c, d, 12, 0x655b59c3, 6);
        KESTRUM_MD5_STEP(KESTRUM_MD5_I, d, a, b, c, 3, 0x8f0ccc92, 10);
        KESTRUM_MD5_STEP(KESTRUM_MD5_I, c, d, a, b, 10, 0xffeff47d, 15);
        KESTRUM_MD5_STEP(KESTRUM_MD5_I, b, c, d, a, 1, 0x85845dd1, 21);
        KESTRUM_MD5_STEP(KESTRUM_MD5_I, a, b, c, d, 8, 0x6fa87e4f, 6);
        KESTRUM_MD5_STEP(KESTRUM_MD5_I, d, a, b, c, 15, 0xfe2ce6e0, 10);
        KESTRUM_MD5_STEP(KESTRUM_MD5_I, c, d, a, b, 6, 0xa3014314, 15);
        KESTRUM_MD5_STEP(KESTRUM_MD5_I, b, c, d, a, 13, 0x4e0811a1, 21);
        KESTRUM_MD5_STEP(KESTRUM_MD5_I, a, b, c, d, 4, 0xf7537e82, 6);
        KESTRUM_MD5_STEP(KESTRUM_MD5_I, d, a, b, c, 11, 0xbd3af235, 10);
        KESTRUM_MD5_STEP(KESTRUM_MD5_I, c, d, a, b, 2, 0x2ad7d2bb, 15);
        KESTRUM_MD5_STEP(KESTRUM_MD5_I, b, c, d, a, 9, 0xeb86d391, 21);
#undef KESTRUM_MD5_STEP
#undef KESTRUM_MD5_F
#undef KESTRUM_MD5_G
#undef KESTRUM_MD5_H
#undef KESTRUM_MD5_I
        state_[0] += a;
        state_[1] += b;
        state_[2] += c;
        state_[3] += d;
    }

    uint32_t state_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    uint64_t length_ = 0;
    unsigned char block_[64] = {};
};

// ---------------------------------------------------------------------------
// copy.deepcopy for the usual parameter dictionaries: built-in containers of
// immutable scalars, copied with the library's identity rules (shared containers
// stay shared, cycles are kept). Anything else goes to copy.deepcopy itself.

struct Unsupported {};

class FastCopy {
  public:
    py::object copy(PyObject *x, int depth = 0) {
        if (depth > kMaxDepth)
            throw Unsupported();
        PyTypeObject *tp = Py_TYPE(x);
        if (x == Py_None || tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type ||
            tp == &PyBytes_Type || tp == &PyComplex_Type)
            return py::reinterpret_borrow<py::object>(x);
        if (PyObject *known = find(x))
            return py::reinterpret_borrow<py::object>(known);
        if (tp == &PyDict_Type) {
            py::dict y;
            remember(x, y.ptr());
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            const Py_ssize_t size = PyDict_GET_SIZE(x);
            while (PyDict_Next(x, &pos, &k, &v)) {
                py::object ck = copy(k, depth + 1);
                py::object cv = copy(v, depth + 1);
                if (PyDict_SetItem(y.ptr(), ck.ptr(), cv.ptr()) < 0)
                    throw py::error_already_set();
            }
            if (PyDict_GET_SIZE(x) != size)
                throw Unsupported();
            return std::move(y);
        }
        if (tp == &PyList_Type) {
            py::list y;
            remember(x, y.ptr());
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(x); ++i) {
                py::object item = copy(PyList_GET_ITEM(x, i), depth + 1);
                if (PyList_Append(y.ptr(), item.ptr()) < 0)
                    throw py::error_already_set();
            }
            return std::move(y);
        }
        if (tp == &PyTuple_Type) {
            const Py_ssize_t n = PyTuple_GET_SIZE(x);
            std::vector<py::object> items;
            items.reserve(static_cast<size_t>(n));
            bool same = true;
            for (Py_ssize_t i = 0; i < n; ++i) {
                items.push_back(copy(PyTuple_GET_ITEM(x, i), depth + 1));
                same = same && items.back().ptr() == PyTuple_GET_ITEM(x, i);
            }
            // A cycle through this tuple may have copied it already.
            if (PyObject *again = find(x))
                return py::reinterpret_borrow<py::object>(again);
            if (same)
                return py::reinterpret_borrow<py::object>(x);
            py::tuple y(n);
            for (Py_ssize_t i = 0; i < n; ++i)
                PyTuple_SET_ITEM(y.ptr(), i, items[static_cast<size_t>(i)].release().ptr());
            remember(x, y.ptr());
            return std::move(y);
        }
        throw Unsupported();
    }

  private:
    // Originals to their copies. Every copy stays referenced from the copy under
    // construction or the C++ stack, so borrowed pointers suffice.
    PyObject *find(PyObject *x) const {
        if (!map_.empty()) {
            auto it = map_.find(x);
            return it == map_.end() ? nullptr : it->second;
        }
        for (const auto &entry : few_)
            if (entry.first == x)
                return entry.second;
        return nullptr;
    }

    void remember(PyObject *x, PyObject *y) {
        if (map_.empty() && few_.size() < kFew) {
            few_.emplace_back(x, y);
            return;
        }
        if (map_.empty())
            map_.insert(few_.begin(), few_.end());
        map_[x] = y;
    }

    static constexpr int kMaxDepth = 100;
    static constexpr size_t kFew = 16;
    std::vector<std::pair<PyObject *, PyObject *>> few_;
    std::unordered_map<PyObject *, PyObject *> map_;
};

py::dict deep_copy(py::handle param) {
    try {
        FastCopy copier;
        py::object y = copier.copy(param.ptr());
        return py::reinterpret_steal<py::dict>(y.release());
    } catch (Unsupported &) {
    }
    static PyObject *name = key("deepcopy");
    py::object y = module_function(copy_module, name)(param);
    if (!PyDict_Check(y.ptr()))
        raise(PyExc_TypeError, "deepcopy of the parameters did not give a dict");
    return py::reinterpret_steal<py::dict>(y.release());
}

// ---------------------------------------------------------------------------

struct ServiceParamsign {
    py::object secret_key;
    py::object timeout;
    py::object user_token_func; // None: the secret for everyone
};

py::object text_of(PyObject *value) {
    if (Py_TYPE(value) == &PyUnicode_Type)
        return py::reinterpret_borrow<py::object>(value);
    PyObject *s = PyObject_Str(value);
    if (!s)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

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
                char exp[8];
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
        throw py::error_already_set();
    buf.append(text);
    PyMem_Free(text);
}

// Appends str(value) as UTF-8. Values of other types have their text made by the
// runtime and kept in `made`, so a second pass never calls their __str__ again.
// Returns false (no exception set) when the text cannot be encoded as UTF-8.
bool append_text(std::string &buf, PyObject *value, std::vector<py::object> &made) {
    PyTypeObject *tp = Py_TYPE(value);
    if (tp == &PyUnicode_Type) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(value, &size);
        if (!utf8) {
            PyErr_Clear();
            return false;
        }
        buf.append(utf8, static_cast<size_t>(size));
        return true;
    }
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
    made.push_back(text_of(value));
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(made.back().ptr(), &size);
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
    if (PyList_Sort(list.ptr()) < 0)
        throw py::error_already_set();
    keys.clear();
    for (auto key : list)
        keys.push_back(py::reinterpret_borrow<py::object>(key));
    return keys;
}

// The canonical signature of `param` (which is not changed): MD5 hex of
// token + k1=v1k2=v2... + token, keys sorted, every key and value as str().
py::str canonical_sign(const ServiceParamsign &self, const py::dict &param) {
    py::object token = self.secret_key;
    if (!self.user_token_func.is_none()) {
        PyObject *user = PyDict_GetItemWithError(param.ptr(), kUserName);
        if (user)
            token = self.user_token_func(py::reinterpret_borrow<py::object>(user));
        else if (PyErr_Occurred())
            throw py::error_already_set();
    }

    std::vector<py::object> keys = sorted_keys(param);
    std::vector<py::object> values;
    values.reserve(keys.size());
    for (const py::object &key : keys) {
        PyObject *value = PyDict_GetItemWithError(param.ptr(), key.ptr());
        if (!value) {
            if (!PyErr_Occurred())
                PyErr_SetObject(PyExc_KeyError, key.ptr());
            throw py::error_already_set();
        }
        values.push_back(py::reinterpret_borrow<py::object>(value));
    }

    std::string body;
    body.reserve(256);
    std::vector<py::object> made;
    bool utf8 = true;
    for (size_t i = 0; i < keys.size(); ++i) {
        utf8 = append_text(body, keys[i].ptr(), made) && utf8;
        body.push_back('=');
        utf8 = append_text(body, values[i].ptr(), made) && utf8;
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
    // runtime, so results and errors are exactly those of plain Python.
    py::list parts;
    size_t next_made = 0;
    auto text = [&](PyObject *v) -> py::object {
        PyTypeObject *tp = Py_TYPE(v);
        if (tp == &PyUnicode_Type || tp == &PyFloat_Type || tp == &PyBool_Type || v == Py_None)
            return text_of(v);
        if (tp == &PyLong_Type) {
            int overflow = 0;
            PyLong_AsLongLongAndOverflow(v, &overflow);
            if (!overflow)
                return text_of(v);
        }
        return made[next_made++];
    };
    for (size_t i = 0; i < keys.size(); ++i) {
        parts.append(text(keys[i].ptr()));
        parts.append("=");
        parts.append(text(values[i].ptr()));
    }
    py::object joined = py::str("").attr("join")(parts);
    PyObject *head = PyNumber_Add(token.ptr(), joined.ptr());
    if (!head)
        throw py::error_already_set();
    py::object head_ref = py::reinterpret_steal<py::object>(head);
    PyObject *whole = PyNumber_Add(head, token.ptr());
    if (!whole)
        throw py::error_already_set();
    py::object signed_text = py::reinterpret_steal<py::object>(whole);
    static PyObject *md5 = key("md5");
    return module_function(hashlib_module, md5)(signed_text.attr("encode")("utf-8")).attr("hexdigest")();
}

// Equality of the received signature with the computed one, in time that does not
// depend on where they differ. Only text can match.
bool same_signature(py::handle received, const py::str &expected) {
    PyObject *r = received.ptr();
    if (!PyUnicode_Check(r) || PyUnicode_READY(r) < 0) {
        PyErr_Clear();
        return false;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(expected.ptr());
    if (PyUnicode_GET_LENGTH(r) != n || PyUnicode_KIND(r) != PyUnicode_1BYTE_KIND)
        return false;
    const unsigned char *a = PyUnicode_1BYTE_DATA(r);
    const unsigned char *b = PyUnicode_1BYTE_DATA(expected.ptr());
    unsigned diff = 0;
    for (Py_ssize_t i = 0; i < n; ++i)
        diff |= static_cast<unsigned>(a[i] ^ b[i]);
    return diff == 0;
}

bool has_key(const py::dict &d, PyObject *key) {
    const int found = PyDict_Contains(d.ptr(), key);
    if (found < 0)
        throw py::error_already_set();
    return found == 1;
}

py::object generate_sign(const ServiceParamsign &self, py::handle param, py::handle timeout) {
    check_exact("param", param, &PyDict_Type);
    check_exact("timeout", timeout, &PyLong_Type, true);
    const py::dict original = py::reinterpret_borrow<py::dict>(param);
    if (has_key(original, kExp) || has_key(original, kSign)) {
        PyErr_SetNone(PyExc_Exception);
        throw py::error_already_set();
    }
    py::dict signed_param = deep_copy(param);
    const int truthy = PyObject_IsTrue(timeout.ptr());
    if (truthy < 0)
        throw py::error_already_set();
    py::object now = wall_time();
    PyObject *exp = PyNumber_Add(now.ptr(), truthy ? timeout.ptr() : self.timeout.ptr());
    if (!exp)
        throw py::error_already_set();
    py::object exp_ref = py::reinterpret_steal<py::object>(exp);
    if (PyDict_SetItem(signed_param.ptr(), kExp, exp) < 0)
        throw py::error_already_set();
    py::str sign = canonical_sign(self, signed_param);
    if (PyDict_SetItem(signed_param.ptr(), kSign, sign.ptr()) < 0)
        throw py::error_already_set();
    return std::move(signed_param);
}

py::object confirm_sign(const ServiceParamsign &self, py::handle param) {
    check_exact("param", param, &PyDict_Type);
    py::dict copy = deep_copy(param);
    if (!has_key(copy, kExp) || !has_key(copy, kSign))
        raise_auth_failed();
    py::object expire = py::reinterpret_borrow<py::object>(PyDict_GetItemWithError(copy.ptr(), kExp));
    if (!expire)
        throw py::error_already_set();
    bool expired = false;
    try {
        expired = utc_expired(expire);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        raise_auth_failed(e.value());
    }
    if (expired)
        raise_auth_failed();
    py::object received = py::reinterpret_borrow<py::object>(PyDict_GetItemWithError(copy.ptr(), kSign));
    if (!received)
        throw py::error_already_set();
    if (PyDict_DelItem(copy.ptr(), kSign) < 0)
        throw py::error_already_set();
    if (!same_signature(received, canonical_sign(self, copy)))
        raise_auth_failed();
    if (PyDict_DelItem(copy.ptr(), kExp) < 0)
        throw py::error_already_set();
    return std::move(copy);
}

py::object cal_sign(const ServiceParamsign &self, py::handle param) {
    check_exact("param", param, &PyDict_Type);
    return canonical_sign(self, deep_copy(param));
}

py::object generate_sign_method(ServiceParamsign &self, FastArgs a) { return generate_sign(self, a[0], a[1]); }
py::object confirm_sign_method(ServiceParamsign &self, FastArgs a) { return confirm_sign(self, a[0]); }
py::object cal_sign_method(ServiceParamsign &self, FastArgs a) { return cal_sign(self, a[0]); }

} // namespace

PYBIND11_MODULE(_sealcheck, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Parameter signing: ServiceParamsign.";
    // Imported now so a missing module fails the import, as a Python module would.
    for (const char *name : {"copy", "time", "datetime", "inspect", "hashlib"})
        m.attr(name) = py::module_::import(name);
    copy_module.get();
    inspect_module.get();
    hashlib_module.get();
    kExp = key("__exp");
    kSign = key("__sign");
    kUserName = key("user_name");
    m.attr("ExceptionAuthFailed") = py::module_::import("kestrum.util").attr("ExceptionAuthFailed");

    const Signature init_sig("ServiceParamsign.__init__", {required("info"), optional("user_token_func")}, true);

    py::class_<ServiceParamsign> cls(m, "ServiceParamsign", py::dynamic_attr(),
                                     "Signs parameter dictionaries (\"__exp\", \"__sign\") and verifies them.");
    cls.def(py::init([init_sig](py::args args, py::kwargs kwargs) {
                static PyObject *secret_key = key("secret_key");
                static PyObject *timeout_key = key("timeout");
                static PyObject *isfunction = key("isfunction");
                std::vector<py::object> a = init_sig.bind(args, kwargs);
                check_exact("info", a[0], &PyDict_Type);
                py::dict info = py::reinterpret_borrow<py::dict>(a[0]);
                if (!has_key(info, secret_key))
                    raise_exception("secret_key not in info, please check");
                auto self = std::make_unique<ServiceParamsign>();
                self->secret_key = info[secret_key];
                py::object timeout =
                    has_key(info, timeout_key) ? py::object(info[timeout_key]) : py::object(py::int_(60));
                PyObject *as_int = PyNumber_Long(timeout.ptr());
                if (!as_int)
                    throw py::error_already_set();
                self->timeout = py::reinterpret_steal<py::object>(as_int);
                const int given = PyObject_IsTrue(a[1].ptr());
                if (given < 0)
                    throw py::error_already_set();
                if (given) {
                    if (!module_function(inspect_module, isfunction)(a[1]).cast<bool>())
                        raise_exception("user_token_func is not func");
                    self->user_token_func = a[1];
                } else {
                    self->user_token_func = py::none();
                }
                return self;
            }),
            "ServiceParamsign(info: dict, user_token_func=None)");
    def_fast_method<ServiceParamsign, generate_sign_method>(
        cls, "generate_sign", "ServiceParamsign.generate_sign", {required("param"), optional("timeout")},
        "generate_sign(param: dict, timeout: int = None) -> dict\n\n"
        "A signed copy of `param` with \"__exp\" and \"__sign\" added.");
    def_fast_method<ServiceParamsign, confirm_sign_method>(
        cls, "confirm_sign", "ServiceParamsign.confirm_sign", {required("param")},
        "confirm_sign(param: dict) -> dict\n\n"
        "A copy of the verified parameters without \"__exp\" and \"__sign\"; ExceptionAuthFailed otherwise.");
    def_fast_method<ServiceParamsign, cal_sign_method>(cls, "_cal_sign", "ServiceParamsign._cal_sign",
                                                       {required("param")},
                                                       "_cal_sign(param: dict) -> str\n\n"
                                                       "The MD5 signature of `param`'s canonical text.");
    cls.def_property_readonly("_secret_key", [](const ServiceParamsign &self) { return self.secret_key; })
        .def_property_readonly("_timeout", [](const ServiceParamsign &self) { return self.timeout; })
        .def_property_readonly("_user_token_func", [](const ServiceParamsign &self) -> py::object {
            if (!self.user_token_func.is_none())
                return self.user_token_func;
            py::object secret = self.secret_key;
            return py::cpp_function([secret](py::handle) { return secret; }, py::name("_default_user_token_func"));
        });
}
