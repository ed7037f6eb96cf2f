// kestrum.service.depotlink: uploads to one object-storage bucket under UUID names,
// and plain or signed URLs for the stored objects.
#include "common/module.hpp"

#include <cctype>
#include <string>
#include <vector>

using namespace kestrum;

namespace {

// Deployment values: signed URLs name the bucket's own public host; clients are sent
// to the CDN domain in front of it instead. Both are module attributes, read at every
// call, so a deployment overrides them once after import.
constexpr const char *kBucketHost = "kestrum-static.oss-cn-hangzhou.aliyuncs.com";
constexpr const char *kCdnHost = "static.kestrum.example.com";

// Module-level names (oss2, os, uuid, Lock, Tool) are read at every use, as in a Python
// module, so that a patched SDK or clock is obeyed.
ModuleGlobals globals;

py::object concat(py::handle a, py::handle b) {
    return steal(guarded([&] { return PyNumber_Add(a.ptr(), b.ptr()); }));
}

py::str fresh_uuid_name() { return text_of(call_attr(globals.get("uuid"), "uuid1")); }

// Holds the instance's own threading.Lock; acquire() waits without the GIL.
class LockHold {
  public:
    explicit LockHold(py::object lock) : lock_(std::move(lock)) { call_attr(lock_, "acquire"); }
    ~LockHold() {
        from_destructor([&] { call_attr(lock_, "release"); }, lock_);
    }
    LockHold(const LockHold &) = delete;
    LockHold &operator=(const LockHold &) = delete;

  private:
    py::object lock_;
};

void build_client(py::handle self) {
    py::object oss2 = globals.get("oss2");
    py::object auth = call_attr(oss2, "Auth", get_attr(self, "_access_key_id"), get_attr(self, "_access_key_secret"));
    set_attr(self, "auth", auth);
    set_attr(self, "bucket",
             call_attr(oss2, "Bucket", auth, get_attr(self, "_endpoint"), get_attr(self, "_bucket_name")));
}

py::object init(const Bound &a) {
    py::handle self = a.self, info = a[0];
    check_exact("info", info, &PyDict_Type);
    set_attr(self, "_lock", call(globals.get("Lock")));
    for (const char *key : {"access_key_id", "access_key_secret", "bucket_name", "endpoint", "need_auth"})
        set_attr(self, (std::string("_") + key).c_str(), item(info, py::str(key)));
    py::object prefix = call_attr(info, "get", "url_prefix");
    if (is_true(prefix) && !is_true(call_attr(prefix, "endswith", "/")))
        prefix = concat(prefix, py::str("/"));
    set_attr(self, "_url_prefix", prefix);
    build_client(self);
    set_attr(self, "logger", a[1]);
    return py::none();
}

py::object put(py::handle self, const py::object &name, const py::object &filename, const py::dict &headers) {
    return call_attr(get_attr(self, "bucket"), "put_object_from_file", name, filename, py::arg("headers") = headers);
}

py::object upload(const Bound &a) {
    py::handle self = a.self;
    py::object filename = py::reinterpret_borrow<py::object>(a[0]), name = py::reinterpret_borrow<py::object>(a[1]),
               path = py::reinterpret_borrow<py::object>(a[2]);
    check_exact("filename", filename, &PyUnicode_Type);
    check_exact("name", name, &PyUnicode_Type, true);
    check_exact("path", path, &PyUnicode_Type, true);

    py::dict headers;
    if (name.is_none() || PyUnicode_GET_LENGTH(name.ptr()) == 0) {
        const Py_ssize_t png = PyUnicode_Tailmatch(filename.ptr(), py::str("png").ptr(), 0, PY_SSIZE_T_MAX, 1);
        if (png < 0)
            throw_pending();
        if (png) {
            name = item(call_attr(get_attr(globals.get("os"), "path"), "split", filename), py::int_(-1));
            // The stem is the text before the first "."; a chart already named by UUID keeps its name.
            const Py_ssize_t dot = PyUnicode_FindChar(name.ptr(), '.', 0, PyUnicode_GET_LENGTH(name.ptr()), 1);
            if (dot == -2)
                throw_pending();
            py::object stem = dot < 0 ? name : name[py::slice(0, dot, 1)];
            if (!is_true(call_attr(globals.get("Tool"), "is_uuid", stem)))
                name = fresh_uuid_name();
            headers["Content-Type"] = "image/png";
            headers["Content-Disposition"] = "inline";
        } else {
            name = fresh_uuid_name();
        }
    }
    if (!path.is_none() && PyUnicode_GET_LENGTH(path.ptr()) > 0)
        name = concat(concat(path, py::str("/")), name);

    // A stale connection or credential: build a fresh client and try once more.
    // Interrupts and exits are not upload failures.
    if (succeeds([&] { put(self, name, filename, headers); }))
        return name;
    {
        LockHold hold(get_attr(self, "_lock"));
        build_client(self);
    }
    put(self, name, filename, headers);
    return name;
}

bool equals_ignore_case(const std::string &a, const std::string &b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Sends a signed URL of the bucket's public host through the CDN host. Only the URL's
// host is rewritten: an object key that happens to contain the host name stays intact.
py::object to_cdn(py::object url) {
    py::object from = globals.get("BUCKET_HOST");
    py::object to = globals.get("CDN_HOST");
    if (from.is_none() || to.is_none() || !is_true(from) || !PyUnicode_Check(url.ptr()))
        return url;
    const std::string bucket_host = py::cast<std::string>(from);
    const std::string cdn_host = py::cast<std::string>(to);
    const std::string text = py::cast<std::string>(url);

    const size_t scheme = text.find("://");
    if (scheme == std::string::npos)
        return url;
    const size_t start = scheme + 3;
    size_t end = text.find_first_of("/?#", start);
    if (end == std::string::npos)
        end = text.size();
    const std::string authority = text.substr(start, end - start);
    std::string replaced;
    if (equals_ignore_case(authority, bucket_host)) {
        replaced = cdn_host;
    } else {
        const size_t colon = authority.rfind(':');
        if (colon == std::string::npos || authority.find(']', colon) != std::string::npos ||
            !equals_ignore_case(authority.substr(0, colon), bucket_host))
            return url;
        replaced = cdn_host + authority.substr(colon);
    }
    return py::str(text.substr(0, start) + replaced + text.substr(end));
}

py::object get_oss_url(const Bound &a) {
    py::handle self = a.self, name = a[0], timeout = a[1];
    check_exact("name", name, &PyUnicode_Type);
    check_exact("timeout", timeout, &PyLong_Type);
    py::object bucket = get_attr(self, "bucket");
    if (!is_true(call_attr(bucket, "object_exists", name)))
        return py::none();
    if (!is_true(get_attr(self, "_need_auth"))) {
        py::object prefix = get_attr(self, "_url_prefix");
        if (prefix.is_none())
            raise_exception("url_prefix not in info, please check");
        return concat(prefix, name);
    }
    py::object url = call_attr(bucket, "sign_url", "GET", name, timeout, py::arg("headers") = py::dict(),
                               py::arg("slash_safe") = true);
    return to_cdn(url);
}

} // namespace

PYBIND11_MODULE(depotlink, m) {
    globals.bind(m, "Object storage: ServiceCdn uploads files under UUID names and returns plain or signed URLs.\n\n"
                    "BUCKET_HOST and CDN_HOST are deployment values: signed URLs whose host is BUCKET_HOST are\n"
                    "returned with CDN_HOST in its place. Assign either attribute to change it; an empty\n"
                    "BUCKET_HOST or None turns the rewriting off.");
    // Bound at import, as a Python module's imports would be: a missing one fails the import.
    bind_modules(m, {"os", "uuid", "oss2"});
    bind_names(m, "logging", {"Logger"});
    bind_names(m, "threading", {"Lock"});
    bind_names(m, "kestrum", {"Tool"});
    m.attr("BUCKET_HOST") = kBucketHost;
    m.attr("CDN_HOST") = kCdnHost;
    ServiceClass cls(globals.name(), "ServiceCdn",
                     "Uploads files to one object-storage bucket under UUID names and hands out their URLs.");
    cls.method<init>("__init__", {required("info"), optional("logger")},
                     "Connect to info's bucket (access_key_id, access_key_secret, bucket_name, endpoint, need_auth, "
                     "url_prefix).")
        .method<upload>("upload", {required("filename"), optional("name"), optional("path")},
                        "Upload the local file filename; returns the object name it was stored under (a fresh UUID "
                        "unless name is given; a PNG named by UUID keeps its name).")
        .method<get_oss_url>("get_oss_url", {required("name"), optional("timeout", py::int_(3600))},
                             "The URL of the stored object name (signed for timeout seconds when need_auth), or "
                             "None when there is no such object.");
    m.attr("ServiceCdn") = cls.type();
}
