// kestrum.service.depotlink: uploads to one object-storage bucket under UUID names,
// and plain or signed URLs for the stored objects.
#include "common/args.hpp"
#include "common/pyutil.hpp"

#include <cctype>
#include <string>
#include <vector>

namespace py = pybind11;
using namespace kestrum;

namespace {

constexpr const char *kModule = "kestrum.service.depotlink";

// Deployment values: signed URLs name the bucket's own public host; clients are sent
// to the CDN domain in front of it instead. Both are module attributes, read at every
// call, so a deployment overrides them once after import.
constexpr const char *kBucketHost = "kestrum-static.oss-cn-hangzhou.aliyuncs.com";
constexpr const char *kCdnHost = "static.kestrum.example.com";

Imported this_module(kModule);
// Modules are kept and their members looked up at every use, as `oss2.Bucket(...)` in a
// Python module would be, so that a patched SDK or clock is obeyed.
Imported oss2_module("oss2");
Imported os_module("os");
Imported uuid_module("uuid");
Imported thread_lock("threading", "Lock");
Imported tool("kestrum", "Tool");

bool truthy(py::handle v) {
    const int r = PyObject_IsTrue(v.ptr());
    if (r < 0)
        throw py::error_already_set();
    return r == 1;
}

py::str fresh_uuid_name() { return py::str(uuid_module.get().attr("uuid1")()); }

// Holds the instance's own threading.Lock; acquire() waits without the GIL.
class LockHold {
  public:
    explicit LockHold(py::object lock) : lock_(std::move(lock)) { lock_.attr("acquire")(); }
    ~LockHold() {
        // Release must not throw from a destructor; keep any pending error intact.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject *r = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(lock_.ptr());
        PyErr_Restore(type, value, tb);
    }
    LockHold(const LockHold &) = delete;
    LockHold &operator=(const LockHold &) = delete;

  private:
    py::object lock_;
};

void build_client(py::handle self) {
    py::handle oss2 = oss2_module.get();
    py::object auth = oss2.attr("Auth")(self.attr("_access_key_id"), self.attr("_access_key_secret"));
    self.attr("auth") = auth;
    self.attr("bucket") = oss2.attr("Bucket")(auth, self.attr("_endpoint"), self.attr("_bucket_name"));
}

void init(py::handle self, py::object info, py::object logger) {
    check_exact("info", info, &PyDict_Type);
    self.attr("_lock") = thread_lock();
    self.attr("_access_key_id") = info["access_key_id"];
    self.attr("_access_key_secret") = info["access_key_secret"];
    self.attr("_bucket_name") = info["bucket_name"];
    self.attr("_endpoint") = info["endpoint"];
    self.attr("_need_auth") = info["need_auth"];
    py::object prefix = info.attr("get")("url_prefix");
    if (truthy(prefix) && !truthy(prefix.attr("endswith")("/")))
        prefix = prefix + py::str("/");
    self.attr("_url_prefix") = prefix;
    build_client(self);
    self.attr("logger") = logger;
}

py::object put(py::handle self, const py::object &name, const py::object &filename, const py::dict &headers) {
    return self.attr("bucket").attr("put_object_from_file")(name, filename, py::arg("headers") = headers);
}

py::object upload(py::handle self, py::object filename, py::object name, py::object path) {
    check_exact("filename", filename, &PyUnicode_Type);
    check_exact("name", name, &PyUnicode_Type, true);
    check_exact("path", path, &PyUnicode_Type, true);

    py::dict headers;
    if (name.is_none() || PyUnicode_GET_LENGTH(name.ptr()) == 0) {
        const Py_ssize_t png = PyUnicode_Tailmatch(filename.ptr(), py::str("png").ptr(), 0, PY_SSIZE_T_MAX, 1);
        if (png < 0)
            throw py::error_already_set();
        if (png) {
            name = py::tuple(os_module.get().attr("path").attr("split")(filename))[1];
            // The stem is the text before the first "."; a chart already named by UUID keeps its name.
            const Py_ssize_t dot = PyUnicode_FindChar(name.ptr(), '.', 0, PyUnicode_GET_LENGTH(name.ptr()), 1);
            if (dot == -2)
                throw py::error_already_set();
            py::object stem = dot < 0 ? name : name[py::slice(0, dot, 1)];
            if (!truthy(tool.get().attr("is_uuid")(stem)))
                name = fresh_uuid_name();
            headers["Content-Type"] = "image/png";
            headers["Content-Disposition"] = "inline";
        } else {
            name = fresh_uuid_name();
        }
    }
    if (!path.is_none() && PyUnicode_GET_LENGTH(path.ptr()) > 0)
        name = path + py::str("/") + name;

    try {
        put(self, name, filename, headers);
        return name;
    } catch (py::error_already_set &e) {
        // A stale connection or credential: build a fresh client and try once more.
        // Interrupts and exits are not upload failures.
        if (!e.matches(PyExc_Exception))
            throw;
    }
    {
        LockHold hold(self.attr("_lock"));
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
    py::module_ m = py::reinterpret_borrow<py::module_>(this_module.get());
    py::object from = m.attr("BUCKET_HOST");
    py::object to = m.attr("CDN_HOST");
    if (from.is_none() || to.is_none() || !truthy(from) || !PyUnicode_Check(url.ptr()))
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

py::object get_oss_url(py::handle self, py::object name, py::object timeout) {
    check_exact("name", name, &PyUnicode_Type);
    check_exact("timeout", timeout, &PyLong_Type);
    py::object bucket = self.attr("bucket");
    if (!truthy(bucket.attr("object_exists")(name)))
        return py::none();
    if (!truthy(self.attr("_need_auth"))) {
        py::object prefix = self.attr("_url_prefix");
        if (prefix.is_none())
            raise_exception("url_prefix not in info, please check");
        return prefix + name;
    }
    py::object url =
        bucket.attr("sign_url")("GET", name, timeout, py::arg("headers") = py::dict(), py::arg("slash_safe") = true);
    return to_cdn(url);
}

template <typename F> py::object method(const char *qualname, std::vector<Signature::Param> params, F body) {
    const Signature sig(qualname, std::move(params), /*self_counted=*/true);
    // pybind11 dispatches a function named "__init__" as its own constructor; that one
    // keeps its qualified name.
    std::string name = std::string(qualname).substr(std::string(qualname).find('.') + 1);
    if (name == "__init__")
        name = qualname;
    py::cpp_function f(
        [sig, body](py::handle self, py::args args, py::kwargs kwargs) {
            std::vector<py::object> a = sig.bind(args, kwargs);
            return body(self, a);
        },
        py::name(name.c_str()));
    return instancemethod(f);
}

py::object make_service_cdn() {
    py::dict ns;
    ns["__doc__"] = "Uploads files to one object-storage bucket under UUID names and hands out their URLs.";
    ns["__init__"] = method("ServiceCdn.__init__", {required("info"), optional("logger")},
                            [](py::handle self, std::vector<py::object> &a) {
                                init(self, a[0], a[1]);
                                return py::object(py::none());
                            });
    ns["upload"] = method("ServiceCdn.upload", {required("filename"), optional("name"), optional("path")},
                          [](py::handle self, std::vector<py::object> &a) { return upload(self, a[0], a[1], a[2]); });
    ns["get_oss_url"] =
        method("ServiceCdn.get_oss_url", {required("name"), optional("timeout", py::int_(3600))},
               [](py::handle self, std::vector<py::object> &a) { return get_oss_url(self, a[0], a[1]); });
    return make_class(reinterpret_cast<PyObject *>(&PyType_Type), "ServiceCdn",
                      py::make_tuple(py::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))), ns, kModule,
                      "ServiceCdn");
}

} // namespace

PYBIND11_MODULE(depotlink, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Object storage: ServiceCdn uploads files under UUID names and returns plain or signed URLs.\n\n"
              "BUCKET_HOST and CDN_HOST are deployment values: signed URLs whose host is BUCKET_HOST are\n"
              "returned with CDN_HOST in its place. Assign either attribute to change it; an empty\n"
              "BUCKET_HOST or None turns the rewriting off.";
    // Bound at import, as a Python module's imports would be: a missing one fails the import.
    m.attr("os") = os_module.get();
    m.attr("uuid") = uuid_module.get();
    m.attr("oss2") = oss2_module.get();
    m.attr("Logger") = py::module_::import("logging").attr("Logger");
    m.attr("Lock") = thread_lock.get();
    m.attr("Tool") = tool.get();
    m.attr("BUCKET_HOST") = kBucketHost;
    m.attr("CDN_HOST") = kCdnHost;
    m.attr("ServiceCdn") = make_service_cdn();
}
