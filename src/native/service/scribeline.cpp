// kestrum.service.scribeline: loggers that write every record as one JSON line,
// enriched with the current request's context columns.
#include "service/scribeline.hpp"

#include "common/deepcopy.hpp"
#include "common/json_writer.hpp"
#include "common/module.hpp"

#include <pybind11/eval.h>

#include <datetime.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace kestrum;
using namespace kestrum::scribeline;

namespace {

constexpr const char *kModule = "kestrum.service.scribeline";
constexpr long kMaxBytes = 104857600; // 100 MiB before rotation
constexpr int kBackupCount = 20;

const char *const kRemoveAttr[] = {"levelno", "threadName",      "processName", "exc_text", "stack_info", "created",
                                   "msecs",   "relativeCreated", "args",        "pathname", "exc_info"};
const char *const kDefaultContextColumns[] = {"myapp", "myip", "username", "path", "traceid"};

// The names the module exports (loguru_logger, logging, ConcurrentRotatingFileHandler,
// datetime, copy, ...) are read at call time, as a Python module's globals would be, so
// that patching them works.
ModuleGlobals globals;
Imported mapping_abc("collections.abc", "Mapping");

bool is_exception(const py::error_already_set &e) { return e.matches(PyExc_Exception); }

// Attribute and key names used on every record, interned once (and kept for good).
struct Names {
    PyObject *dict, *msg, *time, *exc_info, *exc_text, *format_exception, *remove_attr, *datetime, *now, *microsecond,
        *strftime, *get, *copy;
};
const Names &names() {
    static const Names n{interned("__dict__"),    interned("msg"),      interned("time"),
                         interned("exc_info"),    interned("exc_text"), interned("formatException"),
                         interned("remove_attr"), interned("datetime"), interned("now"),
                         interned("microsecond"), interned("strftime"), interned("get"),
                         interned("copy")};
    return n;
}

// Truth value; an object whose __bool__ fails counts as false.
bool truthy(py::handle o) {
    bool t = false;
    return succeeds([&] { t = is_true(o); }) && t;
}

// str(value) for the record's attributes; never fails, so a record is never lost.
py::object record_text(py::handle value) {
    py::object text;
    if (succeeds([&] { text = text_of(value); }))
        return text;
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
    const Py_hash_t h = guarded([&] { return PyObject_Hash(s); }); // cached in a str after the first call
    if (h == -1)
        throw py::error_already_set();
    return h;
}

// Values whose text cannot change while they live.
bool is_atomic(PyObject *o) {
    PyTypeObject *tp = Py_TYPE(o);
    return tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type || o == Py_None;
}

// a and b are the same plain data: the same exact types throughout and equal values
// (so 1, 1.0 and True differ, as they do in JSON).
bool same_plain(PyObject *a, PyObject *b) {
    if (a == b)
        return true;
    PyTypeObject *tp = Py_TYPE(a);
    if (tp != Py_TYPE(b))
        return false;
    if (tp == &PyUnicode_Type)
        return PyUnicode_Compare(a, b) == 0;
    if (tp == &PyLong_Type)
        return PyObject_RichCompareBool(a, b, Py_EQ) == 1;
    if (tp == &PyFloat_Type) {
        const double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    if (tp == &PyList_Type || tp == &PyTuple_Type) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(a);
        if (n != PySequence_Fast_GET_SIZE(b))
            return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!same_plain(PySequence_Fast_GET_ITEM(a, i), PySequence_Fast_GET_ITEM(b, i)))
                return false;
        return true;
    }
    if (tp == &PyDict_Type) {
        if (PyDict_GET_SIZE(a) != PyDict_GET_SIZE(b))
            return false;
        Py_ssize_t pa = 0, pb = 0;
        PyObject *ka, *va, *kb, *vb;
        while (PyDict_Next(a, &pa, &ka, &va)) { // same order too: it is the order written
            if (!PyDict_Next(b, &pb, &kb, &vb) || !same_plain(ka, kb) || !same_plain(va, vb))
                return false;
        }
        return true;
    }
    return false;
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

// What a line was made of, kept so that the next handler formatting the same record
// can be given the same line when none of it can have changed.
struct LineSource {
    PyObject *formatter = nullptr; // compared only
    py::object record_ref;         // weak reference to the record; clears this entry with it
    py::object attrs;              // the record's __dict__ ...
    std::vector<py::object> items; // ... and its keys and values, in order
    py::object msg, msg_copy;      // record.msg, and a plain copy when it is a container
    py::object exc_info;           // record.exc_info
    py::object context;            // the request context read, or a null handle
    std::vector<py::object> context_values;
    unsigned long remove_generation = 0;
    py::object line;
};

// State captured by one `_JSONFormatter` class.
struct FormatterState {
    py::object contextvar;                // the request context variable, or None
    py::list context_columns;             // names of the context columns
    std::vector<py::object> context_keys; // "vek_" + each name
    py::list msg_columns;                 // names lifted out of dictionary messages
    py::object klass;                     // weak reference to the class
    py::object forget;                    // weak-reference callback dropping `last`

    // `"name": ` as JSON text for key objects seen before (the record's attribute names
    // recur on every record); the map holds the keys, so their addresses stay theirs.
    std::unordered_map<PyObject *, std::pair<py::object, std::string>> key_text;

    // Snapshot of `remove_attr` used while the list is unchanged: its items and
    // their hashes, so most record attributes are rejected without comparing text.
    std::vector<py::object> removed;
    std::vector<Py_hash_t> removed_hash;
    unsigned long remove_generation = 0;

    std::shared_ptr<const LineSource> last;

    py::object remove_attr() const {
        if (py::object cls = weak_target(klass.ptr()))
            return get_attr(cls, names().remove_attr);
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
        ++remove_generation;
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
        const int found = guarded([&] { return PySequence_Contains(list, name); });
        if (found < 0)
            throw py::error_already_set();
        return found == 1;
    }
};

// Gathers what a line is made of while it is built; `reusable` ends up true when the
// line may be handed out again for the same, unchanged record.
struct Sources {
    bool reusable = true;
    py::object attrs;
    std::vector<py::object> items;
    size_t exc_text_value = 0; // index of exc_text's value in `items` (0: none)
    bool snapshot_current = false;
    py::object msg, msg_copy, exc_info, context;
    std::vector<py::object> context_values;
};

// An exact dict's keys and values, alternating, as owned references: Python code run
// while they are used cannot pull them away.
std::vector<py::object> dict_items(py::handle dict) {
    std::vector<py::object> items;
    items.reserve(2 * static_cast<size_t>(PyDict_GET_SIZE(dict.ptr())));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict.ptr(), &pos, &key, &value)) {
        items.push_back(py::reinterpret_borrow<py::object>(key));
        items.push_back(py::reinterpret_borrow<py::object>(value));
    }
    return items;
}

// The record's attributes as text, minus `remove_attr`. `with_msg` false leaves the
// message out of the text conversion (format() replaces it with its copy anyway).
void collect_record(FormatterState &st, py::handle record, Doc &doc, bool with_msg, Sources *src = nullptr) {
    py::object attrs = get_attr(record, names().dict);
    if (!PyDict_Check(attrs.ptr()))
        throw py::type_error("the record's __dict__ is not a dictionary");
    py::object remove = st.remove_attr();
    const bool snapshot = st.use_snapshot(remove.ptr());
    PyObject *msg_name = names().msg;
    // Own references to every key and value first: str() below may run Python code
    // that changes the record.
    std::vector<py::object> items = dict_items(attrs);
    for (size_t i = 0; i < items.size(); i += 2) {
        PyObject *k = items[i].ptr(), *v = items[i + 1].ptr();
        if (src && str_equal(k, names().exc_text))
            src->exc_text_value = i + 1;
        if (st.is_removed(remove.ptr(), k, snapshot))
            continue;
        py::object name = Py_TYPE(k) == &PyUnicode_Type ? items[i] : record_text(k);
        if (!with_msg && str_equal(name.ptr(), msg_name)) {
            doc.append(std::move(name), py::none());
            continue;
        }
        if (src && !is_atomic(v))
            src->reusable = false;
        doc.append(std::move(name), record_text(v));
    }
    if (src) {
        src->reusable = src->reusable && snapshot;
        src->snapshot_current = snapshot;
        src->attrs = std::move(attrs);
        src->items = std::move(items);
    }
}

void put_digits(char *out, long value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10)
        out[i] = static_cast<char>('0' + value % 10);
}

// The C datetime class itself, whatever `datetime.datetime` names at the moment.
PyObject *original_datetime_class() {
    static PyObject *original = [] {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI)
            throw py::error_already_set();
        return reinterpret_cast<PyObject *>(PyDateTimeAPI->DateTimeType);
    }();
    return original;
}

// `datetime.datetime.now()` as "%Y-%m-%dT%H:%M:%S" + ".%06d" % microsecond. With the
// runtime's own class this reads the clock the way now() does (the system clock,
// microseconds rounded down, local time through localtime_r, so a time.tzset() shows at
// once); a class put in its place (a frozen clock) is asked itself.
py::object format_time_now() {
    py::object datetime_module = globals.get(names().datetime);
    py::object cls = get_attr(datetime_module, names().datetime);
    if (cls.ptr() == original_datetime_class()) {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        const time_t secs = ts.tv_sec;
        tm local;
        if (localtime_r(&secs, &local) && local.tm_year + 1900L >= 1000 && local.tm_year + 1900L <= 9999) {
            char text[26]; // "YYYY-MM-DDTHH:MM:SS.uuuuuu"
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
            put_digits(text + 17, std::min(local.tm_sec, 59), 2); // now() folds a leap second
            text[19] = '.';
            put_digits(text + 20, ts.tv_nsec / 1000, 6);
            return py::reinterpret_steal<py::object>(PyUnicode_DecodeLatin1(text, 26, nullptr));
        }
    }
    py::object now = fast_call_method(cls, names().now);
    py::object micro = get_attr(now, names().microsecond);
    static PyObject *micro_format = PyUnicode_InternFromString(".%06d");
    static PyObject *base = PyUnicode_InternFromString("%Y-%m-%dT%H:%M:%S");
    PyObject *part = guarded([&] { return PyUnicode_Format(micro_format, micro.ptr()); });
    if (!part)
        throw py::error_already_set();
    py::object pattern = py::reinterpret_steal<py::object>(PyUnicode_Concat(base, part));
    Py_DECREF(part);
    if (!pattern)
        throw py::error_already_set();
    return fast_call_method(now, names().strftime, {pattern.ptr()});
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
        PyObject *argv[] = {var.ptr()};
        value = guarded(
            [&] { return PyObject_VectorcallMethod(names().get, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr); });
        if (!value) {
            PyErr_Clear();
            return py::object();
        }
    }
    py::object data = py::reinterpret_steal<py::object>(value);
    if (!truthy(data.ptr()))
        return py::object();
    return data;
}

// _data[key] when the context holds a truthy value under `key`, else "".
py::object context_value(py::handle data, py::handle key) {
    PyObject *found = nullptr;
    if (PyDict_CheckExact(data.ptr())) {
        found = guarded([&] { return PyDict_GetItemWithError(data.ptr(), key.ptr()); });
        Py_XINCREF(found);
    } else {
        const int has = guarded([&] { return PySequence_Contains(data.ptr(), key.ptr()); });
        if (has == 1)
            found = guarded([&] { return PyObject_GetItem(data.ptr(), key.ptr()); });
    }
    py::object value = py::reinterpret_steal<py::object>(found);
    if (found && truthy(found))
        return value;
    PyErr_Clear();
    return py::str("");
}

// The context to read columns from: a truthy mapping, else a null handle.
py::object usable_context(FormatterState &st) {
    py::object data = read_context(st.contextvar);
    if (data && !PyDict_Check(data.ptr())) {
        const int is_mapping = guarded([&] { return PyObject_IsInstance(data.ptr(), mapping_abc.get().ptr()); });
        if (is_mapping != 1) { // not a mapping: an empty context
            PyErr_Clear();
            data = py::object();
        }
    }
    return data;
}

void add_context_columns(FormatterState &st, Doc &doc, Sources &src) {
    py::object data = usable_context(st);
    const size_t n = st.context_keys.size();
    for (size_t i = 0; i < n; ++i) {
        py::handle name = PyList_GET_ITEM(st.context_columns.ptr(), static_cast<Py_ssize_t>(i));
        py::object value = data ? context_value(data, st.context_keys[i]) : py::str("");
        if (!is_atomic(value.ptr()))
            src.reusable = false;
        src.context_values.push_back(value);
        doc.set(name, std::move(value));
    }
    src.context = std::move(data);
}

// Exact dict, list and tuple over str, int, float, bool and None (dict keys among
// those): data whose JSON text depends on nothing but itself.
bool is_plain(PyObject *o, int depth = 0) {
    if (is_atomic(o))
        return true;
    if (depth > 32)
        return false;
    PyTypeObject *tp = Py_TYPE(o);
    if (tp == &PyDict_Type) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(o, &pos, &k, &v))
            if (!is_atomic(k) || !is_plain(v, depth + 1))
                return false;
        return true;
    }
    if (tp == &PyList_Type || tp == &PyTuple_Type) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i)
            if (!is_plain(PySequence_Fast_GET_ITEM(o, i), depth + 1))
                return false;
        return true;
    }
    return false;
}

// A dictionary's own items in a new exact dict, read from its storage: no method of a
// subclass runs.
py::object dict_storage(PyObject *d) {
    py::dict out;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) {
        py::object key = py::reinterpret_borrow<py::object>(k), value = py::reinterpret_borrow<py::object>(v);
        if (guarded([&] { return PyDict_SetItem(out.ptr(), key.ptr(), value.ptr()); }) < 0)
            PyErr_Clear(); // a key whose __hash__ fails is left out
    }
    return std::move(out);
}

// copy.deepcopy(msg). A message that cannot be deep-copied is used as it is (a
// dictionary through a copy of its items, so the caller's object is never modified).
py::object copy_message(py::handle msg) {
    try {
        return deep_copy(msg, globals.get(names().copy));
    } catch (py::error_already_set &e) {
        if (!is_exception(e))
            throw;
    }
    if (PyDict_Check(msg.ptr()))
        return dict_storage(msg.ptr());
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
    else if (PyLong_Check(o) || PyFloat_Check(o)) {
        PyObject *number = guarded([&] { return PyLong_Check(o) ? PyNumber_Long(o) : PyNumber_Float(o); });
        if (!number)
            throw py::error_already_set();
        return guarded([&] { return json_dumps_stdlib(py::reinterpret_steal<py::object>(number)); });
    } else
        return safe_str(o);
    if (!text)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

using Lifted = std::vector<std::pair<py::object, py::object>>;

// The message columns the way the formatter is written: `for k in msg: if k in
// columns: ...`, then `for k in columns: if k in msg: del msg[k]`. Throws when a
// method of the message (a dict subclass) fails.
void lift_by_protocol(FormatterState &st, py::handle msg, Lifted &lifted) {
    PyObject *keys = guarded([&] { return PySequence_List(msg.ptr()); });
    if (!keys)
        throw py::error_already_set();
    py::list key_list = py::reinterpret_steal<py::list>(keys);
    for (py::handle k : key_list) {
        const int listed = guarded([&] { return PySequence_Contains(st.msg_columns.ptr(), k.ptr()); });
        if (listed < 0)
            throw py::error_already_set();
        if (listed) {
            PyObject *v = guarded([&] { return PyObject_GetItem(msg.ptr(), k.ptr()); });
            if (!v)
                throw py::error_already_set();
            lifted.emplace_back(key_text(k), py::reinterpret_steal<py::object>(v));
        }
    }
    for (py::handle name : st.msg_columns) {
        const int present = guarded([&] { return PySequence_Contains(msg.ptr(), name.ptr()); });
        if (present < 0)
            throw py::error_already_set();
        if (present && guarded([&] { return PyObject_DelItem(msg.ptr(), name.ptr()); }) < 0)
            throw py::error_already_set();
    }
}

// The same over an exact dict; cannot fail.
void lift_plain(FormatterState &st, py::handle msg, Lifted &lifted) {
    std::vector<py::object> items = dict_items(msg);
    for (size_t i = 0; i < items.size(); i += 2) {
        const int listed = guarded([&] { return PySequence_Contains(st.msg_columns.ptr(), items[i].ptr()); });
        if (listed < 0)
            PyErr_Clear();
        if (listed == 1)
            lifted.emplace_back(key_text(items[i]), items[i + 1]);
    }
    for (py::handle name : st.msg_columns) {
        if (guarded([&] { return PyDict_DelItem(msg.ptr(), name.ptr()); }) < 0)
            PyErr_Clear(); // not there
    }
}

void add_message(FormatterState &st, py::handle record, Doc &doc, Sources &src) {
    PyObject *msg_name = names().msg;
    py::object original = get_attr(record, msg_name);
    py::object msg = copy_message(original);
    src.msg = original;
    if (!is_atomic(original.ptr())) {
        // A container is compared with a copy of itself before its line is reused.
        if (is_plain(original.ptr()))
            src.msg_copy = deep_copy(original, globals.get(names().copy));
        else
            src.reusable = false;
    }
    if (PyDict_Check(msg.ptr()) && PyList_GET_SIZE(st.msg_columns.ptr()) > 0) {
        Lifted lifted;
        try {
            lift_by_protocol(st, msg, lifted);
        } catch (py::error_already_set &e) {
            if (!is_exception(e))
                throw;
            // A dict subclass whose own methods fail: lift from its items, so the
            // record still gets its line.
            lifted.clear();
            msg = dict_storage(msg.ptr());
            lift_plain(st, msg, lifted);
        }
        for (auto &kv : lifted)
            doc.set(kv.first, std::move(kv.second));
    }
    doc.set(msg_name, std::move(msg));
}

// The traceback text: the one the record already carries (record.exc_text, as the
// standard formatter caches it), else formatException(), which is then cached there.
void add_exception(py::handle self, py::handle record, Doc &doc, Sources &src) {
    PyObject *exc = guarded([&] { return PyObject_GetAttr(record.ptr(), names().exc_info); });
    if (!exc)
        PyErr_Clear();
    py::object exc_info = exc ? py::reinterpret_steal<py::object>(exc) : py::none();
    src.exc_info = exc_info;
    if (!truthy(exc_info.ptr()))
        return;
    PyObject *cached = guarded([&] { return PyObject_GetAttr(record.ptr(), names().exc_text); });
    if (!cached)
        PyErr_Clear();
    py::object text = py::reinterpret_steal<py::object>(cached);
    if (!text || !truthy(text.ptr())) {
        try {
            text = fast_call_method(self, names().format_exception, {exc_info.ptr()});
            if (guarded([&] { return PyObject_SetAttr(record.ptr(), names().exc_text, text.ptr()); }) < 0)
                PyErr_Clear();
            else if (src.exc_text_value)
                src.items[src.exc_text_value] = text;
        } catch (py::error_already_set &e) {
            if (!is_exception(e))
                throw;
            text = safe_str(exc_info);
        }
    }
    doc.set(names().exc_info, std::move(text));
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

// The line made for this record by the previous format() call, when the record, its
// message, the context and the formatter's settings are all as they were.
py::object reuse_line(FormatterState &st, py::handle self, py::handle record) {
    std::shared_ptr<const LineSource> last = st.last; // format() of another thread may replace it
    if (!last || last->formatter != self.ptr())
        return py::object();
    if (weak_target(last->record_ref.ptr()).ptr() != record.ptr())
        return py::object();
    py::object attrs = get_attr(record, names().dict);
    if (attrs.ptr() != last->attrs.ptr() || static_cast<size_t>(PyDict_GET_SIZE(attrs.ptr())) * 2 != last->items.size())
        return py::object();
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (size_t i = 0; PyDict_Next(attrs.ptr(), &pos, &key, &value); i += 2)
        if (key != last->items[i].ptr() || value != last->items[i + 1].ptr())
            return py::object();
    if (get_attr(record, names().msg).ptr() != last->msg.ptr() ||
        (last->msg_copy && !same_plain(last->msg.ptr(), last->msg_copy.ptr())))
        return py::object();
    PyObject *exc = guarded([&] { return PyObject_GetAttr(record.ptr(), names().exc_info); });
    if (!exc)
        PyErr_Clear();
    Py_XDECREF(exc);
    if (exc != last->exc_info.ptr())
        return py::object();
    py::object remove = st.remove_attr();
    if (!st.snapshot_valid(remove.ptr()) || st.remove_generation != last->remove_generation)
        return py::object();
    if (!st.contextvar.is_none() && !st.context_keys.empty()) {
        py::object data = usable_context(st);
        if (data.ptr() != last->context.ptr())
            return py::object();
        for (size_t i = 0; data && i < st.context_keys.size(); ++i)
            if (context_value(data, st.context_keys[i]).ptr() != last->context_values[i].ptr())
                return py::object();
    }
    return last->line;
}

void remember_line(FormatterState &st, py::handle self, py::handle record, Sources &src, const py::object &line) {
    if (!src.reusable || !st.forget)
        return;
    PyObject *ref = PyWeakref_NewRef(record.ptr(), st.forget.ptr());
    if (!ref) { // a record type without weak references: nothing to remember
        PyErr_Clear();
        return;
    }
    auto entry = std::make_shared<LineSource>();
    entry->formatter = self.ptr();
    entry->record_ref = py::reinterpret_steal<py::object>(ref);
    entry->attrs = std::move(src.attrs);
    entry->items = std::move(src.items);
    entry->msg = std::move(src.msg);
    entry->msg_copy = std::move(src.msg_copy);
    entry->exc_info = std::move(src.exc_info);
    entry->context = std::move(src.context);
    entry->context_values = std::move(src.context_values);
    entry->remove_generation = st.remove_generation;
    entry->line = line;
    st.last = std::move(entry);
}

py::object format_record(FormatterState &st, py::handle self, py::handle record) {
    if (py::object line = reuse_line(st, self, record))
        return line;
    Sources src;
    Doc doc;
    doc.items.reserve(24);
    collect_record(st, record, doc, /*with_msg=*/false, &src);
    doc.set(names().time, format_time_now());
    if (!st.contextvar.is_none() && !st.context_keys.empty())
        add_context_columns(st, doc, src);
    add_exception(self, record, doc, src);
    add_message(st, record, doc, src);
    py::object line = serialise(st, doc);
    remember_line(st, self, record, src, line);
    return line;
}

// The state of each formatter class alive, by class. The map is never destroyed (it
// would be after the interpreter); an entry goes when its class does.
std::unordered_map<PyObject *, std::shared_ptr<FormatterState>> &formatter_classes() {
    static auto *classes = new std::unordered_map<PyObject *, std::shared_ptr<FormatterState>>();
    return *classes;
}

// The state of the formatter class `cls` is, or derives from.
FormatterState &state_of(py::handle cls) {
    auto &classes = formatter_classes();
    auto found = classes.find(cls.ptr());
    if (found != classes.end())
        return *found->second;
    PyObject *mro = PyType_Check(cls.ptr()) ? reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_mro : nullptr;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        found = classes.find(PyTuple_GET_ITEM(mro, i));
        if (found != classes.end())
            return *found->second;
    }
    throw py::type_error("not a formatter made by service_init_logger");
}

py::object format_method(const Bound &a) {
    return format_record(state_of(py::handle(reinterpret_cast<PyObject *>(Py_TYPE(a.self.ptr())))), a.self, a[0]);
}

py::object set_contextvar_g_method(const Bound &a) {
    static PyObject *const name = interned("contextvar_g");
    set_attr(a.self, name, a[0]);
    return py::none();
}

py::object build_record_method(const Bound &a) {
    Doc doc;
    collect_record(state_of(a[0]), a[1], doc, /*with_msg=*/true);
    py::dict out;
    for (auto &item : doc.items)
        if (PyDict_SetItem(out.ptr(), item.key.ptr(), item.value.ptr()) < 0)
            throw_pending();
    return std::move(out);
}

py::object set_format_time_method(const Bound &a) {
    py::object text = format_time_now();
    if (guarded([&] { return PyObject_SetItem(a[1].ptr(), names().time, text.ptr()); }) < 0)
        throw_pending();
    return text;
}

// Called with the weak reference when a remembered record goes away: drops what was
// kept of it at once (its message, traceback and so on).
const char *const kWeakStateCapsule = "kestrum.scribeline.FormatterState.weak";

PyObject *forget_record(PyObject *capsule, PyObject *ref) {
    auto *weak = static_cast<std::weak_ptr<FormatterState> *>(PyCapsule_GetPointer(capsule, kWeakStateCapsule));
    if (!weak)
        return nullptr;
    if (auto st = weak->lock()) {
        if (st->last && st->last->record_ref.ptr() == ref) {
            std::shared_ptr<const LineSource> gone = std::move(st->last); // released after `last` is empty
        }
    }
    Py_RETURN_NONE;
}

// Called when a formatter class goes away: its state goes with it.
PyObject *forget_class(PyObject *, PyObject *ref) {
    auto &classes = formatter_classes();
    for (auto it = classes.begin(); it != classes.end(); ++it) {
        if (it->second->klass.ptr() == ref) {
            std::shared_ptr<FormatterState> gone = std::move(it->second);
            classes.erase(it);
            break;
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef forget_record_def = {"_forget_record", reinterpret_cast<PyCFunction>(forget_record), METH_O, nullptr};
PyMethodDef forget_class_def = {"_forget_class", reinterpret_cast<PyCFunction>(forget_class), METH_O, nullptr};

// Splits "a, b,c" at every comma and strips each piece (empty pieces are kept).
py::list split_columns(py::handle text) {
    static PyObject *const comma = interned(",");
    static PyObject *const split = interned("split");
    static PyObject *const strip = interned("strip");
    py::list out;
    for (py::handle piece : fast_call_method(text, split, {comma}))
        out.append(fast_call_method(piece, strip));
    return out;
}

py::object make_formatter_class(py::object contextvar, py::list context_columns, py::list msg_columns) {
    auto st = std::make_shared<FormatterState>();
    st->contextvar = std::move(contextvar);
    st->context_columns = context_columns;
    for (py::handle name : context_columns)
        st->context_keys.push_back(py::str("vek_") + text_of(name));
    st->msg_columns = msg_columns;
    {
        // The callback holds the state weakly: the state keeps the callback.
        auto *weak = new std::weak_ptr<FormatterState>(st);
        PyObject *capsule = PyCapsule_New(weak, kWeakStateCapsule, [](PyObject *c) {
            delete static_cast<std::weak_ptr<FormatterState> *>(PyCapsule_GetPointer(c, kWeakStateCapsule));
        });
        if (!capsule) {
            delete weak;
            throw_pending();
        }
        py::object owner = py::reinterpret_steal<py::object>(capsule);
        st->forget = steal(PyCFunction_NewEx(&forget_record_def, capsule, nullptr));
    }

    py::list remove_attr;
    for (const char *name : kRemoveAttr)
        remove_attr.append(py::reinterpret_borrow<py::object>(interned(name)));

    static Imported formatter("logging", "Formatter");
    const std::string qual = "service_init_logger.<locals>._JSONFormatter";
    ServiceClass cls(kModule, "_JSONFormatter", qual.c_str(),
                     "Writes every record as one JSON line with the request's context columns.",
                     py::make_tuple(formatter.get()), reinterpret_cast<PyObject *>(Py_TYPE(formatter.get().ptr())));
    cls.attr("remove_attr", remove_attr)
        .method<set_contextvar_g_method>("set_contextvar_g", {required("g")}, "Keep g as the instance's contextvar_g.")
        .method<format_method>("format", {required("record")}, "The record as one JSON line.")
        .attr("build_record", classmethod(native_function<build_record_method>(kModule, cls.qualname("build_record"),
                                                                               {required("cls"), required("record")},
                                                                               "The record's attributes as text.")))
        .attr("set_format_time", classmethod(native_function<set_format_time_method>(
                                     kModule, cls.qualname("set_format_time"), {required("cls"), required("extra")},
                                     "Stamp extra[\"time\"] with the time of formatting.")));
    // Weakly: the class must be free to go; its state goes with it.
    static PyObject *const on_class_gone = [] {
        return steal(PyCFunction_NewEx(&forget_class_def, nullptr, nullptr)).release().ptr();
    }();
    st->klass = steal(PyWeakref_NewRef(cls.type().ptr(), on_class_gone));
    formatter_classes()[cls.type().ptr()] = std::move(st);
    return cls.type();
}

// Everything the first resumption of service_init_logger does; returns the logger.
py::object setup_logger(py::object project_name, py::object path_log, py::object level, py::object contextvar_g,
                        py::object log_column_contextvar, py::object log_column_msg) {
    static PyObject *const info_name = interned("info");
    // Messages stay Python text: names and paths may hold any character (lone surrogates
    // from undecodable file names included).
    auto info = [](const char *prefix, py::handle value) {
        fast_call_method(globals.get("loguru_logger"), info_name, {py::str(prefix) + text_of(value)});
    };
    py::object name_text = text_of(project_name);
    fast_call_method(globals.get("loguru_logger"), info_name,
                     {py::str("create my logger ") + name_text + py::str(" at ") + text_of(path_log)});

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

    py::object logging = globals.get("logging");
    py::object logger =
        call_attr(logging, "getLogger", project_name.is_none() ? py::str(kModule) : py::str(project_name));
    py::object json_format = call(cls);

    if (is_true(path_log)) {
        py::object filename = call_attr(globals.attr("os", "path"), "join", path_log, name_text + py::str(".log"));
        info("log filename ", filename);
        static Imported library_class("concurrent_log_handler", "ConcurrentRotatingFileHandler");
        py::object handler_class = globals.get("ConcurrentRotatingFileHandler");
        const bool library = handler_class.ptr() == library_class.get().ptr();
        if (!library) {
            // Another handler class stands in for the library's: make sure a bad
            // directory fails here rather than on every record.
            static Imported io_open("io", "open");
            call_attr(call(io_open.get(), filename, "a", py::arg("encoding") = "utf-8"), "close");
        }
        // utf-8: the JSON is written unescaped. The file and its lock stay open; they
        // are opened anew in forked children (see adopt_file_handler).
        py::object handler = call(handler_class, filename, "a", kMaxBytes, kBackupCount, py::arg("encoding") = "utf-8",
                                  py::arg("keep_file_open") = true);
        if (library && !adopt_file_handler(handler)) {
            // A release this path does not know: the library's own per-record open and
            // close, whose lock is sound across fork().
            call_attr(handler, "close");
            handler = call(handler_class, filename, "a", kMaxBytes, kBackupCount, py::arg("encoding") = "utf-8",
                           py::arg("keep_file_open") = false);
        }
        call_attr(handler, "setFormatter", json_format);
        call_attr(logger, "addHandler", handler);
    }
    py::object handler = call(get_attr(logging, "StreamHandler"), py::arg("stream") = globals.attr("sys", "stdout"));
    static Imported stream_handler_class("logging", "StreamHandler");
    if (Py_TYPE(handler.ptr()) == reinterpret_cast<PyTypeObject *>(stream_handler_class.get().ptr()))
        adopt_stream_handler(handler);
    call_attr(handler, "setFormatter", json_format);
    call_attr(logger, "addHandler", handler);
    call_attr(logger, "setLevel", level);
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
            return call(generator_function, a[0], a[1], a[2], a[3], a[4], a[5]);
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
    // The module's globals, bound now so a missing library fails the import as it would
    // for a Python module; set-up and formatting read them from the module at call time.
    globals.bind(m, "JSON logging: service_init_logger and its per-call _JSONFormatter.");
    bind_modules(m, {"logging", "os", "sys", "datetime", "copy"});
    m.attr("loguru_logger") = get_attr(steal(guarded([] { return PyImport_ImportModule("loguru"); })), "logger");
    bind_names(m, "concurrent_log_handler", {"ConcurrentRotatingFileHandler"});
    m.attr("service_init_logger") = make_service_init_logger(m);
    m.def(
        "_json_dumps", [](py::handle obj) { return json_dumps(obj); },
        "json.dumps(obj, ensure_ascii=False), written by the module's own encoder where it can.");
    install_fork_hooks();
}
