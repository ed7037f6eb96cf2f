// kestrum.service.scribeline: loggers that write every record as one JSON line,
// enriched with the current request's context columns.
#include "common/args.hpp"
#include "common/json_writer.hpp"
#include "common/pyutil.hpp"

#include <pybind11/eval.h>

#include <ctime>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace kestrum;

namespace {

constexpr const char *kModule = "kestrum.service.scribeline";
constexpr long kMaxBytes = 104857600; // 100 MiB before rotation
constexpr int kBackupCount = 20;

const char *const kRemoveAttr[] = {"levelno", "threadName",      "processName", "exc_text", "stack_info", "created",
                                   "msecs",   "relativeCreated", "args",        "pathname", "exc_info"};
const char *const kDefaultContextColumns[] = {"myapp", "myip", "username", "path", "traceid"};

// The module itself (kept for good): the names it exports (loguru_logger, logging,
// ConcurrentRotatingFileHandler, ...) are looked up on it at call time, as a Python
// module's globals would be, so that patching them works.
PyObject *g_module = nullptr;

py::object module_attr(const char *name) { return py::getattr(g_module, name); }
Imported deepcopy("copy", "deepcopy");
Imported mapping_abc("collections.abc", "Mapping");

bool is_exception(const py::error_already_set &e) { return e.matches(PyExc_Exception); }

// Attribute and key names used on every record, interned once (and kept for good).
struct Names {
    PyObject *dict, *msg, *time, *exc_info, *format_exception, *remove_attr;
};
const Names &names() {
    static const Names n{PyUnicode_InternFromString("__dict__"),
                         PyUnicode_InternFromString("msg"),
                         PyUnicode_InternFromString("time"),
                         PyUnicode_InternFromString("exc_info"),
                         PyUnicode_InternFromString("formatException"),
                         PyUnicode_InternFromString("remove_attr")};
    return n;
}

py::object attr(py::handle obj, PyObject *name) {
    PyObject *v = PyObject_GetAttr(obj.ptr(), name);
    if (!v)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
}

// str(value) for the record's attributes; never fails, so a record is never lost.
py::object text_of(PyObject *value) {
    if (Py_TYPE(value) == &PyUnicode_Type)
        return py::reinterpret_borrow<py::object>(value);
    if (PyObject *s = PyObject_Str(value))
        return py::reinterpret_steal<py::object>(s);
    PyErr_Clear();
    return safe_str(value);
}

bool str_equal(PyObject *a, PyObject *b) {
    if (a == b)
        return true;
    if (!PyUnicode_Check(a) || !PyUnicode_Check(b))
        return false;
    return PyUnicode_Compare(a, b) == 0;
}

Py_hash_t str_hash(PyObject *s) {
    const Py_hash_t h = PyObject_Hash(s); // cached in the str object after the first call
    if (h == -1)
        throw py::error_already_set();
    return h;
}

// The document under construction: insertion-ordered, and assigning to an existing
// key replaces the value in place, as a dict does.
struct Doc {
    struct Item {
        py::object key;
        Py_hash_t hash;
        py::object value;
    };
    std::vector<Item> items;

    // For keys known to be new (the record's own attribute names are unique).
    void append(py::object key, py::object value) {
        const Py_hash_t h = str_hash(key.ptr());
        items.push_back({std::move(key), h, std::move(value)});
    }
    void set(py::handle key, py::object value) {
        const Py_hash_t h = str_hash(key.ptr());
        for (auto &item : items) {
            if (item.hash == h && str_equal(item.key.ptr(), key.ptr())) {
                item.value = std::move(value);
                return;
            }
        }
        items.push_back({py::reinterpret_borrow<py::object>(key), h, std::move(value)});
    }
};

// State captured by one `_JSONFormatter` class.
struct FormatterState {
    py::object contextvar;                // the request context variable, or None
    py::list context_columns;             // names of the context columns
    std::vector<py::object> context_keys; // "vek_" + each name
    py::list msg_columns;                 // names lifted out of dictionary messages
    py::object klass;                     // weak reference to the class

    // `"name": ` as JSON text for key objects seen before (the record's attribute names
    // recur on every record); the map holds the keys, so their addresses stay theirs.
    std::unordered_map<PyObject *, std::pair<py::object, std::string>> key_text;

    // Snapshot of `remove_attr` used while the list is unchanged: its items and
    // their hashes, so most record attributes are rejected without comparing text.
    std::vector<py::object> removed;
    std::vector<Py_hash_t> removed_hash;

    PyObject *class_object() const {
        PyObject *cls = PyWeakref_GetObject(klass.ptr());
        return cls == Py_None ? nullptr : cls;
    }

    py::object remove_attr() const {
        if (PyObject *cls = class_object())
            return attr(cls, names().remove_attr);
        py::list fallback;
        for (const char *name : kRemoveAttr)
            fallback.append(name);
        return std::move(fallback);
    }

    bool snapshot_valid(PyObject *list) {
        if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) != static_cast<Py_ssize_t>(removed.size()))
            return false;
        for (size_t i = 0; i < removed.size(); ++i)
            if (PyList_GET_ITEM(list, i) != removed[i].ptr())
                return false;
        return true;
    }

    bool take_snapshot(PyObject *list) {
        removed.clear();
        removed_hash.clear();
        if (!PyList_CheckExact(list))
            return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject *item = PyList_GET_ITEM(list, i);
            if (Py_TYPE(item) != &PyUnicode_Type) {
                removed.clear();
                removed_hash.clear();
                return false;
            }
            removed.push_back(py::reinterpret_borrow<py::object>(item));
            removed_hash.push_back(PyObject_Hash(item));
        }
        return true;
    }

    // True when the snapshot stands for `list` now (checked once per record).
    bool use_snapshot(PyObject *list) { return snapshot_valid(list) || take_snapshot(list); }

    // `name in remove_attr`
    bool is_removed(PyObject *list, PyObject *name, bool snapshot) {
        if (snapshot && Py_TYPE(name) == &PyUnicode_Type) {
            const Py_hash_t h = PyObject_Hash(name);
            for (size_t i = 0; i < removed.size(); ++i)
                if (removed_hash[i] == h && str_equal(removed[i].ptr(), name))
                    return true;
            return false;
        }
        const int found = PySequence_Contains(list, name);
        if (found < 0)
            throw py::error_already_set();
        return found == 1;
    }
};

// The record's attributes as text, minus `remove_attr`. `with_msg` false leaves the
// message out of the text conversion (format() replaces it with its copy anyway).
void collect_record(FormatterState &st, py::handle record, Doc &doc, bool with_msg) {
    py::object attrs = attr(record, names().dict);
    if (!PyDict_Check(attrs.ptr()))
        throw py::type_error("the record's __dict__ is not a dictionary");
    py::object remove = st.remove_attr();
    const bool snapshot = st.use_snapshot(remove.ptr());
    PyObject *msg_name = names().msg;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(attrs.ptr(), &pos, &key, &value)) {
        if (st.is_removed(remove.ptr(), key, snapshot))
            continue;
        // Own references: str() may run Python code that changes the record.
        py::object k = Py_TYPE(key) == &PyUnicode_Type ? py::reinterpret_borrow<py::object>(key) : text_of(key);
        py::object v = py::reinterpret_borrow<py::object>(value);
        if (!with_msg && str_equal(k.ptr(), msg_name))
            doc.append(std::move(k), py::none());
        else
            doc.append(std::move(k), text_of(v.ptr()));
    }
}

void put_digits(char *out, long value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10)
        out[i] = static_cast<char>('0' + value % 10);
}

// datetime.now() as "%Y-%m-%dT%H:%M:%S.<microseconds>" (local time, no zone). The
// text up to the seconds is kept per second: every caller holds the GIL.
py::str format_time_now() {
    static time_t cached_secs = -1;
    static char text[32]; // "YYYY-MM-DDTHH:MM:SS.uuuuuu"
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec != cached_secs) {
        const time_t secs = ts.tv_sec;
        tm local;
        localtime_r(&secs, &local);
        put_digits(text, local.tm_year + 1900L, 4);
        text[4] = '-';
        put_digits(text + 5, local.tm_mon + 1, 2);
        text[7] = '-';
        put_digits(text + 8, local.tm_mday, 2);
        text[10] = 'T';
        put_digits(text + 11, local.tm_hour, 2);
        text[13] = ':';
        put_digits(text + 14, local.tm_min, 2);
        text[16] = ':';
        put_digits(text + 17, local.tm_sec, 2);
        text[19] = '.';
        cached_secs = secs;
    }
    put_digits(text + 20, ts.tv_nsec / 1000, 6);
    return py::reinterpret_steal<py::str>(PyUnicode_DecodeLatin1(text, 26, nullptr));
}

// The current request-context value, or a null handle when there is none usable:
// no value, an error reading it, or a falsy value.
py::object read_context(py::handle var) {
    PyObject *value = nullptr;
    if (PyContextVar_CheckExact(var.ptr())) {
        if (PyContextVar_Get(var.ptr(), nullptr, &value) < 0) {
            PyErr_Clear();
            return py::object();
        }
        if (!value)
            return py::object();
    } else {
        value = PyObject_CallMethod(var.ptr(), "get", nullptr);
        if (!value) {
            PyErr_Clear();
            return py::object();
        }
    }
    py::object data = py::reinterpret_steal<py::object>(value);
    const int truth = PyObject_IsTrue(data.ptr());
    if (truth <= 0) {
        PyErr_Clear();
        return py::object();
    }
    return data;
}

// _data[key] when the context holds a truthy value under `key`, else "".
py::object context_value(py::handle data, py::handle key) {
    PyObject *found = nullptr;
    if (PyDict_CheckExact(data.ptr())) {
        found = PyDict_GetItemWithError(data.ptr(), key.ptr());
        Py_XINCREF(found);
    } else {
        const int has = PySequence_Contains(data.ptr(), key.ptr());
        if (has == 1)
            found = PyObject_GetItem(data.ptr(), key.ptr());
    }
    py::object value = py::reinterpret_steal<py::object>(found);
    if (found && PyObject_IsTrue(found) == 1)
        return value;
    PyErr_Clear();
    return py::str("");
}

void add_context_columns(FormatterState &st, Doc &doc) {
    py::object data = read_context(st.contextvar);
    if (data && !PyDict_Check(data.ptr())) {
        const int is_mapping = PyObject_IsInstance(data.ptr(), mapping_abc.get().ptr());
        if (is_mapping != 1) { // not a mapping: an empty context
            PyErr_Clear();
            data = py::object();
        }
    }
    const size_t n = st.context_keys.size();
    for (size_t i = 0; i < n; ++i) {
        py::handle name = PyList_GET_ITEM(st.context_columns.ptr(), static_cast<Py_ssize_t>(i));
        doc.set(name, data ? context_value(data, st.context_keys[i]) : py::str(""));
    }
}

bool is_atomic(PyObject *o) {
    PyTypeObject *tp = Py_TYPE(o);
    return tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type || o == Py_None;
}

// copy.deepcopy for plain data (exact dict, list and tuple over str, int, float, bool
// and None), done here without the memo machinery. A null handle means "not plain":
// the caller then uses copy.deepcopy itself. Shared sub-objects are copied once per
// use, which is invisible in the JSON text.
py::object plain_deepcopy(PyObject *o, int depth) {
    if (is_atomic(o))
        return py::reinterpret_borrow<py::object>(o);
    if (depth > 32)
        return py::object();
    PyTypeObject *tp = Py_TYPE(o);
    if (tp == &PyDict_Type) {
        py::dict out;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(o, &pos, &k, &v)) {
            if (!is_atomic(k))
                return py::object();
            py::object copied = plain_deepcopy(v, depth + 1);
            if (!copied || PyDict_SetItem(out.ptr(), k, copied.ptr()) < 0)
                return py::object();
        }
        return std::move(out);
    }
    if (tp == &PyList_Type) {
        const Py_ssize_t n = PyList_GET_SIZE(o);
        py::list out(n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::object copied = plain_deepcopy(PyList_GET_ITEM(o, i), depth + 1);
            if (!copied)
                return py::object();
            PyList_SET_ITEM(out.ptr(), i, copied.release().ptr());
        }
        return std::move(out);
    }
    if (tp == &PyTuple_Type) { // deepcopy keeps a tuple of atoms as it is
        const Py_ssize_t n = PyTuple_GET_SIZE(o);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!is_atomic(PyTuple_GET_ITEM(o, i)))
                return py::object();
        return py::reinterpret_borrow<py::object>(o);
    }
    return py::object();
}

// copy.deepcopy(msg). A message that cannot be deep-copied is used as it is (a
// dictionary through a shallow copy, so the caller's object is never modified).
py::object copy_message(py::handle msg) {
    if (py::object copied = plain_deepcopy(msg.ptr(), 0))
        return copied;
    try {
        return deepcopy(msg);
    } catch (py::error_already_set &e) {
        if (!is_exception(e))
            throw;
    }
    if (PyDict_Check(msg.ptr())) {
        PyObject *shallow = PyDict_Copy(msg.ptr());
        if (!shallow)
            throw py::error_already_set();
        return py::reinterpret_steal<py::object>(shallow);
    }
    return py::reinterpret_borrow<py::object>(msg);
}

// A lifted key as the text json.dumps would write for it (str content as is; true,
// false, null and numbers as JSON spells them); any other object as its str().
py::object key_text(py::handle k) {
    PyObject *o = k.ptr();
    if (Py_TYPE(o) == &PyUnicode_Type)
        return py::reinterpret_borrow<py::object>(o);
    PyObject *text = nullptr;
    if (PyUnicode_Check(o))
        text = PyUnicode_FromObject(o);
    else if (o == Py_True)
        text = PyUnicode_FromString("true");
    else if (o == Py_False)
        text = PyUnicode_FromString("false");
    else if (o == Py_None)
        text = PyUnicode_FromString("null");
    else if (PyLong_Check(o) || PyFloat_Check(o))
        return json_dumps_stdlib(PyLong_Check(o) ? py::reinterpret_steal<py::object>(PyNumber_Long(o))
                                                 : py::reinterpret_steal<py::object>(PyNumber_Float(o)));
    else
        return safe_str(o);
    if (!text)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

void add_message(FormatterState &st, py::handle record, Doc &doc) {
    PyObject *msg_name = names().msg;
    py::object msg = copy_message(attr(record, msg_name));
    if (PyDict_Check(msg.ptr()) && PyList_GET_SIZE(st.msg_columns.ptr()) > 0) {
        py::list keys = py::reinterpret_steal<py::list>(PySequence_List(msg.ptr()));
        if (!keys)
            throw py::error_already_set();
        for (py::handle k : keys) {
            const int listed = PySequence_Contains(st.msg_columns.ptr(), k.ptr());
            if (listed < 0)
                throw py::error_already_set();
            if (listed) {
                PyObject *v = PyObject_GetItem(msg.ptr(), k.ptr());
                if (!v)
                    throw py::error_already_set();
                doc.set(key_text(k), py::reinterpret_steal<py::object>(v));
            }
        }
        for (py::handle name : st.msg_columns) {
            const int present = PySequence_Contains(msg.ptr(), name.ptr());
            if (present < 0)
                throw py::error_already_set();
            if (present && PyObject_DelItem(msg.ptr(), name.ptr()) < 0)
                throw py::error_already_set();
        }
    }
    doc.set(msg_name, std::move(msg));
}

void write_key(FormatterState &st, JsonWriter &w, PyObject *key) {
    if (!PyUnicode_Check(key)) { // document keys are text; never read another object as one
        w.string(safe_str(key).ptr());
        w.raw(": ");
        return;
    }
    auto found = st.key_text.find(key);
    if (found != st.key_text.end()) {
        w.latin1(found->second.second);
        return;
    }
    if (PyUnicode_KIND(key) != PyUnicode_1BYTE_KIND || st.key_text.size() >= 256) {
        w.string(key);
        w.raw(": ");
        return;
    }
    JsonWriter one;
    one.string(key);
    one.raw(": ");
    py::str text = one.finish();
    py::bytes latin = py::reinterpret_steal<py::bytes>(PyUnicode_AsLatin1String(text.ptr()));
    if (!latin)
        throw py::error_already_set();
    std::string bytes = latin;
    w.latin1(bytes);
    st.key_text.emplace(key, std::make_pair(py::reinterpret_borrow<py::object>(key), std::move(bytes)));
}

// One line of JSON; a value the encoder cannot take is written as its str().
py::str serialise(FormatterState &st, const Doc &doc) {
    JsonWriter w;
    w.raw('{');
    bool first = true;
    for (const auto &item : doc.items) {
        if (!first)
            w.raw(", ");
        first = false;
        write_key(st, w, item.key.ptr());
        if (w.value(item.value.ptr()))
            continue;
        try {
            w.fragment(json_dumps_stdlib(item.value).ptr());
        } catch (py::error_already_set &e) {
            if (!is_exception(e))
                throw;
            w.string(safe_str(item.value).ptr());
        }
    }
    w.raw('}');
    return w.finish();
}

py::str format_record(FormatterState &st, py::handle self, py::handle record) {
    Doc doc;
    doc.items.reserve(24);
    collect_record(st, record, doc, /*with_msg=*/false);
    doc.set(names().time, format_time_now());
    if (!st.contextvar.is_none() && !st.context_keys.empty())
        add_context_columns(st, doc);
    PyObject *exc = PyObject_GetAttr(record.ptr(), names().exc_info);
    if (!exc)
        PyErr_Clear();
    py::object exc_info = exc ? py::reinterpret_steal<py::object>(exc) : py::none();
    if (PyObject_IsTrue(exc_info.ptr()) == 1) {
        py::object text;
        try {
            text = attr(self, names().format_exception)(exc_info);
        } catch (py::error_already_set &e) {
            if (!is_exception(e))
                throw;
            text = safe_str(exc_info);
        }
        doc.set(names().exc_info, std::move(text));
    }
    PyErr_Clear();
    add_message(st, record, doc);
    return serialise(st, doc);
}

// format(self, record) is called for every record a handler writes, so it is a plain
// METH_FASTCALL builtin over the class's state rather than a pybind11 function.
const char *const kStateCapsule = "kestrum.scribeline.FormatterState";

PyObject *format_fastcall(PyObject *capsule, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    auto *st = static_cast<std::shared_ptr<FormatterState> *>(PyCapsule_GetPointer(capsule, kStateCapsule));
    if (!st)
        return nullptr;
    return c_entry([&] {
        if (!kwnames && nargs == 2)
            return format_record(**st, args[0], args[1]).release().ptr();
        static const Signature sig("service_init_logger.<locals>._JSONFormatter.format", {required("record")}, true);
        if (nargs < 1)
            raise(PyExc_TypeError, sig.qualname() + "() needs its instance");
        auto a = sig.bind_vector(args + 1, static_cast<size_t>(nargs - 1), kwnames);
        return format_record(**st, args[0], a[0]).release().ptr();
    });
}

PyMethodDef format_def = {"format", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(format_fastcall)),
                          METH_FASTCALL | METH_KEYWORDS, "Format the record as one JSON line."};

py::object make_format_function(const std::shared_ptr<FormatterState> &st) {
    auto *holder = new std::shared_ptr<FormatterState>(st);
    PyObject *capsule = PyCapsule_New(holder, kStateCapsule, [](PyObject *c) {
        delete static_cast<std::shared_ptr<FormatterState> *>(PyCapsule_GetPointer(c, kStateCapsule));
    });
    if (!capsule) {
        delete holder;
        throw py::error_already_set();
    }
    py::object owner = py::reinterpret_steal<py::object>(capsule);
    PyObject *f = PyCFunction_NewEx(&format_def, owner.ptr(), py::str(kModule).ptr());
    if (!f)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(f);
}

// Splits "a, b,c" at every comma and strips each piece (empty pieces are kept).
py::list split_columns(py::handle text) {
    py::list out;
    for (py::handle piece : text.attr("split")(","))
        out.append(piece.attr("strip")());
    return out;
}

py::object make_formatter_class(py::object contextvar, py::list context_columns, py::list msg_columns) {
    auto st = std::make_shared<FormatterState>();
    st->contextvar = std::move(contextvar);
    st->context_columns = context_columns;
    for (py::handle name : context_columns)
        st->context_keys.push_back(py::str("vek_") + py::str(name));
    st->msg_columns = msg_columns;

    py::list remove_attr;
    for (const char *name : kRemoveAttr)
        remove_attr.append(py::reinterpret_steal<py::object>(PyUnicode_InternFromString(name)));

    py::dict ns;
    ns["remove_attr"] = remove_attr;
    const std::string qual = "service_init_logger.<locals>._JSONFormatter.";
    const Signature set_sig(qual + "set_contextvar_g", {required("g")}, true);
    ns["set_contextvar_g"] = instancemethod(
        py::cpp_function([set_sig](py::handle self, py::args a,
                                   py::kwargs k) { py::setattr(self, "contextvar_g", set_sig.bind(a, k)[0]); },
                         py::name("set_contextvar_g")));
    ns["format"] = instancemethod(make_format_function(st));
    const Signature build_sig(qual + "build_record", {required("record")}, true);
    ns["build_record"] = classmethod(py::cpp_function(
        [st, build_sig](py::handle, py::args a, py::kwargs k) {
            py::object record = build_sig.bind(a, k)[0];
            Doc doc;
            collect_record(*st, record, doc, /*with_msg=*/true);
            py::dict out;
            for (auto &item : doc.items)
                out[item.key] = item.value;
            return out;
        },
        py::name("build_record")));
    const Signature time_sig(qual + "set_format_time", {required("extra")}, true);
    ns["set_format_time"] = classmethod(py::cpp_function(
        [time_sig](py::handle, py::args a, py::kwargs k) {
            py::object extra = time_sig.bind(a, k)[0];
            py::str text = format_time_now();
            extra["time"] = text;
            return text;
        },
        py::name("set_format_time")));

    static Imported formatter("logging", "Formatter");
    py::object cls = make_class(py::type::of(formatter.get()), "_JSONFormatter", py::make_tuple(formatter.get()), ns,
                                kModule, "service_init_logger.<locals>._JSONFormatter");
    // A weak reference: the class owns these closures, so a strong one would be a cycle
    // the garbage collector cannot see.
    st->klass = py::module_::import("weakref").attr("ref")(cls);
    return cls;
}

// Everything the first resumption of service_init_logger does; returns the logger.
py::object setup_logger(py::object project_name, py::object path_log, py::object level, py::object contextvar_g,
                        py::object log_column_contextvar, py::object log_column_msg) {
    // Messages stay Python text: names and paths may hold any character (lone surrogates
    // from undecodable file names included).
    auto info = [](const char *prefix, py::handle value) {
        module_attr("loguru_logger").attr("info")(py::str(prefix) + py::str(value));
    };
    py::object name_text = py::str(project_name);
    module_attr("loguru_logger")
        .attr("info")(py::str("create my logger ") + name_text + py::str(" at ") + py::str(path_log));

    py::list context_columns;
    if (log_column_contextvar.is_none()) {
        for (const char *name : kDefaultContextColumns)
            context_columns.append(name);
    } else {
        context_columns = split_columns(log_column_contextvar);
    }
    py::list msg_columns = log_column_msg.is_none() ? py::list() : split_columns(log_column_msg);
    info("log column contextvar: ", context_columns);
    info("log_column msg       : ", msg_columns);

    py::object cls = make_formatter_class(contextvar_g, context_columns, msg_columns);

    py::object logging = module_attr("logging");
    py::object logger = logging.attr("getLogger")(project_name.is_none() ? py::str(kModule) : project_name);
    py::object json_format = cls();

    const int with_file = PyObject_IsTrue(path_log.ptr());
    if (with_file < 0)
        throw py::error_already_set();
    if (with_file) {
        py::object filename = module_attr("os").attr("path").attr("join")(path_log, name_text + py::str(".log"));
        info("log filename ", filename);
        // The handler library defers opening its files to the first record and would then
        // fail on every record; open the file once now so a bad directory fails here.
        static Imported io_open("io", "open");
        io_open(filename, "a", py::arg("encoding") = "utf-8").attr("close")();
        // keep_file_open=False: a lock file held open across fork() is shared with the
        // children and no longer excludes them. utf-8: the JSON is written unescaped.
        py::object handler = module_attr("ConcurrentRotatingFileHandler")(
            filename, "a", kMaxBytes, kBackupCount, py::arg("encoding") = "utf-8", py::arg("keep_file_open") = false);
        handler.attr("setFormatter")(json_format);
        logger.attr("addHandler")(handler);
    }
    py::object handler = logging.attr("StreamHandler")(py::arg("stream") = module_attr("sys").attr("stdout"));
    handler.attr("setFormatter")(json_format);
    logger.attr("addHandler")(handler);
    logger.attr("setLevel")(level);
    return logger;
}

// service_init_logger must be a real generator function: the dependency injection
// library drives it only if inspect.isgeneratorfunction() says so. The two Python
// lines below are that shell; the work is setup_logger() above. Argument types are
// checked at the call by the function-like object built around it.
constexpr const char *kGeneratorShell = R"PY(
def service_init_logger(project_name=None, path_log=None, level=10, contextvar_g=None, log_column_contextvar=None, log_column_msg=None):
    yield _setup(project_name, path_log, level, contextvar_g, log_column_contextvar, log_column_msg)
)PY";

py::object make_service_init_logger(py::module_ &m) {
    py::dict g;
    g["__builtins__"] = py::module_::import("builtins");
    g["__name__"] = kModule;
    g["_setup"] = py::cpp_function(&setup_logger, py::name("_setup"));
    py::exec(kGeneratorShell, g);
    py::object generator_function = g["service_init_logger"];

    const Signature sig("service_init_logger",
                        {optional("project_name"), optional("path_log"), optional("level", py::int_(10)),
                         optional("contextvar_g"), optional("log_column_contextvar"), optional("log_column_msg")});
    py::dict ns;
    ns["__slots__"] = py::tuple();
    ns["__doc__"] = "Configure a JSON logger; a generator yielding the logger once.";
    ns["__name__"] = "service_init_logger";
    ns["__code__"] = generator_function.attr("__code__");
    ns["__defaults__"] = generator_function.attr("__defaults__");
    ns["__kwdefaults__"] = py::none();
    ns["__annotations__"] = py::dict();
    ns["__call__"] = instancemethod(py::cpp_function(
        [sig, generator_function](py::handle, py::args args, py::kwargs kwargs) {
            std::vector<py::object> a = sig.bind(args, kwargs);
            check_exact("project_name", a[0], &PyUnicode_Type, true);
            check_exact("path_log", a[1], &PyUnicode_Type, true);
            check_exact("log_column_contextvar", a[4], &PyUnicode_Type, true);
            check_exact("log_column_msg", a[5], &PyUnicode_Type, true);
            return generator_function(a[0], a[1], a[2], a[3], a[4], a[5]);
        },
        py::name("__call__")));
    ns["__repr__"] = instancemethod(py::cpp_function(
        [](py::handle self) {
            return py::str("<function service_init_logger at 0x{:x}>").format(reinterpret_cast<uintptr_t>(self.ptr()));
        },
        py::name("__repr__")));
    py::object type = make_class(reinterpret_cast<PyObject *>(&PyType_Type), "service_init_logger_function",
                                 py::make_tuple(py::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))), ns,
                                 m.attr("__name__").cast<std::string>(), "service_init_logger_function");
    return type();
}

} // namespace

PYBIND11_MODULE(scribeline, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "JSON logging: service_init_logger and its per-call _JSONFormatter.";
    // The module's globals, bound now so a missing library fails the import as it would
    // for a Python module; set-up reads them from the module at call time.
    m.attr("logging") = py::module_::import("logging");
    m.attr("os") = py::module_::import("os");
    m.attr("sys") = py::module_::import("sys");
    m.attr("loguru_logger") = py::module_::import("loguru").attr("logger");
    m.attr("ConcurrentRotatingFileHandler") =
        py::module_::import("concurrent_log_handler").attr("ConcurrentRotatingFileHandler");
    g_module = py::object(m).release().ptr();
    m.attr("service_init_logger") = make_service_init_logger(m);
    m.def(
        "_json_dumps", [](py::handle obj) { return json_dumps(obj); },
        "json.dumps(obj, ensure_ascii=False), written by the module's own encoder where it can.");
}
