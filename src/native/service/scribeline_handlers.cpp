// The write paths of the two handlers service_init_logger attaches, and what keeps them
// sound across fork().
//
// The rotating file handler (concurrent-log-handler) keeps its log file and lock file
// open. Each record is written by one write(2) on the open log file while the
// lock file is held with flock(), the library's own protocol, so processes running the
// library's Python code and this one exclude each other, and rollover stays the
// library's doRollover(). Nothing goes through the io objects' buffers, so a fork that
// catches another thread mid-write leaves nothing behind that the child could block on;
// the child drops the inherited files (without touching them) and opens both anew.
//
// The standard-output handler writes through the host's stream as logging does; fork()
// waits (boundedly) until no thread is inside it, so the child does not inherit the
// stream's buffer lock in its held state.
#include "service/scribeline.hpp"

#include "common/guarded.hpp"
#include "common/pyutil.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrum::scribeline {

namespace {

constexpr double kForkWaitSeconds = 1.0;

struct Names {
    PyObject *format, *stream, *stream_lock, *thread_lock, *acquire, *release, *is_locked, *creation_pid,
        *open_lockfile, *do_open, *base_filename, *max_bytes, *do_rollover, *terminator, *encoding,
        *unicode_error_policy, *handle_error, *fileno, *close, *closed, *write, *flush, *lock, *is_owned, *emit,
        *keep_open, *buffer, *raw, *formatter, *handle, *filter, *filters;
};

const Names &names() {
    auto s = [](const char *t) { return interned(t); };
    static const Names n{s("format"),         s("stream"),
                         s("stream_lock"),    s("_thread_lock"),
                         s("acquire"),        s("release"),
                         s("is_locked"),      s("_creation_pid"),
                         s("_open_lockfile"), s("do_open"),
                         s("baseFilename"),   s("maxBytes"),
                         s("doRollover"),     s("terminator"),
                         s("encoding"),       s("unicode_error_policy"),
                         s("handleError"),    s("fileno"),
                         s("close"),          s("closed"),
                         s("write"),          s("flush"),
                         s("lock"),           s("_is_owned"),
                         s("emit"),           s("_actual_keep_log_stream_open"),
                         s("buffer"),         s("raw"),
                         s("formatter"),      s("handle"),
                         s("filter"),         s("filters")};
    return n;
}

// This process's id, kept current by a fork handler of the C library (which runs for
// every fork, also those that bypass os.register_at_fork).
pid_t current_pid = 0;
void note_fork_in_child() { current_pid = getpid(); }

// A function as the class defines it now (borrowed), or null.
PyObject *class_attr(py::handle obj, PyObject *name) { return _PyType_Lookup(Py_TYPE(obj.ptr()), name); }

// The standard library's own methods, to tell them from replacements.
struct Stock {
    PyObject *handle, *filter, *acquire, *release, *format, *stream_flush;
};
const Stock &stock() {
    static const Stock s = [] {
        py::module_ logging = py::module_::import("logging");
        py::object handler = logging.attr("Handler"), stream = logging.attr("StreamHandler");
        auto keep = [](py::handle cls, PyObject *name) {
            PyObject *f = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), name);
            Py_XINCREF(f);
            return f;
        };
        const Names &n = names();
        return Stock{keep(handler, n.handle),  keep(handler, n.filter), keep(handler, n.acquire),
                     keep(handler, n.release), keep(handler, n.format), keep(stream, n.flush)};
    }();
    return s;
}

int fd_of(py::handle file) {
    py::object n = fast_call_method(file, names().fileno);
    const long fd = PyLong_AsLong(n.ptr());
    if (fd == -1 && PyErr_Occurred())
        throw py::error_already_set();
    return static_cast<int>(fd);
}

[[noreturn]] void raise_errno(int err, py::handle filename);

// One of the handler's file objects and a private duplicate of its descriptor, made
// once per object: the object is compared by identity on every record and its raw
// file asked whether it is still open (cheaper than asking the text layer). Writing
// and locking through the duplicate, outside the GIL, stays on this file even if
// another thread closes the object meanwhile and its number is reused.
struct OpenFile {
    py::object file;
    py::object raw;
    int fd = -1;   // the duplicate
    dev_t dev = 0; // what it refers to: fixed while it is open
    ino_t ino = 0;

    OpenFile() = default;
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
    ~OpenFile() { close_own(); }

    void close_own() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    void reset() {
        close_own();
        file = py::object();
        raw = py::object();
    }

    // The descriptor for `current` (the handler's attribute now), or -1 when it is None
    // or closed.
    int fd_for(py::handle current) {
        if (current.is_none()) {
            reset();
            return -1;
        }
        if (current.ptr() != file.ptr()) {
            reset();
            if (is_true(get_attr(current, names().closed)))
                return -1;
            const int theirs = fd_of(current);
            struct stat st {};
            const int own = fcntl(theirs, F_DUPFD_CLOEXEC, 0);
            if (own < 0 || fstat(own, &st) != 0) {
                const int err = errno;
                if (own >= 0)
                    ::close(own);
                raise_errno(err, py::handle());
            }
            fd = own;
            dev = st.st_dev;
            ino = st.st_ino;
            file = py::reinterpret_borrow<py::object>(current);
            PyObject *buffer = guarded([&] { return PyObject_GetAttr(current.ptr(), names().buffer); });
            PyObject *r = buffer ? guarded([&] { return PyObject_GetAttr(buffer, names().raw); }) : nullptr;
            Py_XDECREF(buffer);
            if (r && PyObject_TypeCheck(r, reinterpret_cast<PyTypeObject *>(file_io().ptr())))
                raw = py::reinterpret_steal<py::object>(r);
            else
                Py_XDECREF(r);
            PyErr_Clear();
            return fd;
        }
        return is_true(get_attr(raw ? raw : file, names().closed)) ? -1 : fd;
    }

    static py::handle file_io() {
        static Imported cls("io", "FileIO");
        return cls.get();
    }
};

// What the library's emit() keeps between records, natively.
struct FileState {
    PyObject *class_emit = nullptr; // the class's emit() when adopted (kept)
    OpenFile stream, lock;
    py::object path;     // baseFilename when last seen ...
    std::string fs_path; // ... and as the file system spells it
    pid_t pid;           // the process the files were opened in

    FileState() : pid(getpid()) { all().push_back(this); }
    ~FileState() {
        auto &v = all();
        v.erase(std::remove(v.begin(), v.end(), this), v.end());
        Py_XDECREF(class_emit);
    }
    FileState(const FileState &) = delete;
    FileState &operator=(const FileState &) = delete;

    // Every state alive in this process (created and destroyed with the GIL held).
    static std::vector<FileState *> &all() {
        static auto *states = new std::vector<FileState *>();
        return *states;
    }

    // After fork(): the duplicates are the parent's descriptions; let them go here.
    void forget_files() {
        stream.reset();
        lock.reset();
        pid = getpid();
    }
};

const char *const kFileStateCapsule = "kestrum.scribeline.FileState";

// obj.<name> is the given function bound to obj (not replaced on the instance).
bool bound_to(py::handle method, PyObject *function, py::handle obj) {
    return PyMethod_Check(method.ptr()) && PyMethod_GET_FUNCTION(method.ptr()) == function &&
           PyMethod_GET_SELF(method.ptr()) == obj.ptr();
}

// handler.format(record); the formatter's format() directly when the handler's is the
// standard one.
py::object format_line(py::handle handler, py::handle record) {
    py::object bound = get_attr(handler, names().format);
    if (bound_to(bound, stock().format, handler)) {
        py::object formatter = get_attr(handler, names().formatter);
        if (!formatter.is_none())
            return fast_call_method(formatter, names().format, {record.ptr()});
    }
    return fast_call(bound, {record.ptr()});
}

[[noreturn]] void raise_errno(int err, py::handle filename = py::handle());
void raise_errno(int err, py::handle filename) {
    errno = err;
    if (filename)
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    else
        PyErr_SetFromErrno(PyExc_OSError);
    throw py::error_already_set();
}

// The calling thread's handled exception is `e` while `report` runs (handleError()
// prints sys.exc_info()).
template <typename F> void with_handled(py::error_already_set &e, F &&report) {
    PyObject *saved_type, *saved_value, *saved_tb;
    PyErr_GetExcInfo(&saved_type, &saved_value, &saved_tb);
    e.restore();
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value)
        PyException_SetTraceback(value, tb);
    PyErr_SetExcInfo(type, value, tb);
    try {
        report();
    } catch (...) {
        PyErr_SetExcInfo(saved_type, saved_value, saved_tb);
        throw;
    }
    PyErr_SetExcInfo(saved_type, saved_value, saved_tb);
}

void handle_error(py::handle handler, py::handle record, py::error_already_set &e) {
    with_handled(e, [&] { fast_call_method(handler, names().handle_error, {record.ptr()}); });
}

// Objects inherited across fork() that may be in the middle of an operation of a
// thread that no longer exists: kept for good and never touched again.
std::vector<PyObject *> &abandoned() {
    static auto *kept = new std::vector<PyObject *>();
    return *kept;
}

// Drops the handler's inherited log and lock files without calling any of their
// methods that take the buffer's lock: their descriptors are closed (the parent's stay
// open, and so does its lock) and the objects are kept alive so they never flush.
void drop_inherited_files(py::handle handler) {
    for (PyObject *name : {names().stream, names().stream_lock}) {
        PyObject *f = guarded([&] { return PyObject_GetAttr(handler.ptr(), name); });
        if (!f) {
            PyErr_Clear();
            continue;
        }
        py::object file = py::reinterpret_steal<py::object>(f);
        if (file.is_none())
            continue;
        PyObject *closed = guarded([&] { return PyObject_GetAttr(f, names().closed); });
        const int is_closed = closed ? PyObject_IsTrue(closed) : -1;
        Py_XDECREF(closed);
        if (is_closed != 1) {
            PyErr_Clear();
            try {
                const int fd = fd_of(file);
                abandoned().push_back(file.inc_ref().ptr());
                ::close(fd);
            } catch (py::error_already_set &) {
                // no descriptor to give back
            }
        }
        set_attr(handler, name, Py_None);
    }
    set_attr(handler, names().is_locked, Py_False);
    // Releases that check the pid themselves must not close what was just dropped.
    if (PyObject_HasAttr(handler.ptr(), names().creation_pid) == 1) {
        py::object pid = steal(PyLong_FromLong(static_cast<long>(getpid())));
        set_attr(handler, names().creation_pid, pid);
    }
}

void lock_exclusive(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return;
    if (errno != EWOULDBLOCK && errno != EINTR)
        raise_errno(errno);
    // Another process holds it: wait without the GIL.
    int err = 0;
    {
        GilReleased released;
        while (flock(fd, LOCK_EX) != 0)
            if ((err = errno) != EINTR)
                break;
            else
                err = 0;
    }
    if (err)
        raise_errno(err);
}

void write_all(int fd, const char *data, size_t size) {
    int err = 0;
    {
        GilReleased released;
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd, data + done, size - done);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                err = errno;
                break;
            }
            done += static_cast<size_t>(n);
        }
    }
    if (err)
        raise_errno(err);
}

bool is_utf8(py::handle encoding) {
    if (!PyUnicode_Check(encoding.ptr()))
        return false;
    const char *name = PyUnicode_AsUTF8(encoding.ptr());
    if (!name) {
        PyErr_Clear();
        return false;
    }
    const std::string n(name);
    return n == "utf-8" || n == "utf8" || n == "UTF-8" || n == "UTF8";
}

// The line and terminator as the handler's text stream would encode them: strictly,
// and with the handler's unicode_error_policy when that fails (as the library retries).
std::string encoded_line(py::handle handler, py::handle line) {
    py::object terminator = get_attr(handler, names().terminator);
    PyObject *text = PyUnicode_Concat(line.ptr(), terminator.ptr());
    if (!text)
        throw py::error_already_set();
    py::object whole = py::reinterpret_steal<py::object>(text);
    Py_ssize_t size = 0;
    if (const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size))
        return std::string(utf8, static_cast<size_t>(size));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeError))
        throw py::error_already_set();
    PyErr_Clear();
    py::object policy = get_attr(handler, names().unicode_error_policy);
    const char *errors = PyUnicode_Check(policy.ptr()) ? PyUnicode_AsUTF8(policy.ptr()) : nullptr;
    if (!errors)
        throw py::error_already_set();
    PyObject *bytes = PyUnicode_AsEncodedString(text, "utf-8", errors);
    if (!bytes)
        throw py::error_already_set();
    py::object b = py::reinterpret_steal<py::object>(bytes);
    return std::string(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

// What the library's emit() does between formatting and unlocking, for one record:
// the stale-file check, rollover when the file has reached maxBytes, the write.
void write_locked(FileState &st, py::handle handler, py::handle line) {
    py::object path = get_attr(handler, names().base_filename);
    if (path.ptr() != st.path.ptr()) {
        PyObject *fs = PyUnicode_EncodeFSDefault(path.ptr());
        if (!fs)
            throw py::error_already_set();
        st.fs_path.assign(PyBytes_AS_STRING(fs), static_cast<size_t>(PyBytes_GET_SIZE(fs)));
        Py_DECREF(fs);
        st.path = path;
    }

    // Another process may have rotated the file since this one last wrote.
    struct stat on_disk {};
    const bool exists = ::stat(st.fs_path.c_str(), &on_disk) == 0;
    int fd = st.stream.fd_for(get_attr(handler, names().stream));
    struct stat open_st {};
    if (fd >= 0 &&
        (!exists || fstat(fd, &open_st) != 0 || on_disk.st_ino != open_st.st_ino || on_disk.st_dev != open_st.st_dev)) {
        PyObject *r = guarded([&] { return PyObject_CallMethodNoArgs(st.stream.file.ptr(), names().close); });
        Py_XDECREF(r);
        PyErr_Clear();
        set_attr(handler, names().stream, Py_None);
        st.stream.reset();
        fd = -1;
    }

    py::object max_bytes = get_attr(handler, names().max_bytes);
    const long long limit = PyLong_AsLongLong(max_bytes.ptr());
    if (limit == -1 && PyErr_Occurred())
        throw py::error_already_set();
    // While the path names the open file, its size is that file's.
    const long long size = exists ? static_cast<long long>(on_disk.st_size) : 0;
    if (limit > 0 && size >= limit) {
        PyObject *r = guarded([&] { return PyObject_CallMethodNoArgs(handler.ptr(), names().do_rollover); });
        if (r)
            Py_DECREF(r);
        else if (PyErr_ExceptionMatches(PyExc_Exception))
            PyErr_Clear(); // as the library does: the record is written all the same
        else
            throw py::error_already_set();
        fd = st.stream.fd_for(get_attr(handler, names().stream));
    }

    if (fd < 0) {
        py::object stream = fast_call_method(handler, names().do_open);
        set_attr(handler, names().stream, stream.ptr());
        fd = st.stream.fd_for(stream);
        if (fd < 0)
            throw py::value_error("the log file opened closed");
    }
    py::object encoding = get_attr(handler, names().encoding);
    if (is_utf8(encoding)) {
        const std::string bytes = encoded_line(handler, line);
        write_all(fd, bytes.data(), bytes.size());
        return;
    }
    // Another encoding: through the text stream, as the library writes.
    py::object terminator = get_attr(handler, names().terminator);
    py::object text = py::reinterpret_steal<py::object>(PyUnicode_Concat(line.ptr(), terminator.ptr()));
    if (!text)
        throw py::error_already_set();
    fast_call_method(st.stream.file, names().write, {text.ptr()});
    fast_call_method(st.stream.file, names().flush);
}

// Releases what write_record() took, whatever happened; never throws.
struct Held {
    py::handle handler;
    py::object thread_lock;
    int lock_fd = -1;

    ~Held() {
        if (lock_fd >= 0)
            flock(lock_fd, LOCK_UN);
        from_destructor(
            [&] {
                if (lock_fd >= 0)
                    set_attr(handler, names().is_locked, Py_False);
                if (thread_lock)
                    fast_call_method(thread_lock, names().release);
            },
            thread_lock);
    }
};

void write_record(FileState &st, py::handle handler, py::handle line) {
    Held held{handler, py::object(), -1};
    {
        PyObject *tl = guarded([&] { return PyObject_GetAttr(handler.ptr(), names().thread_lock); });
        if (tl) {
            py::object lock = py::reinterpret_steal<py::object>(tl);
            fast_call_method(lock, names().acquire);
            held.thread_lock = std::move(lock);
        } else {
            PyErr_Clear();
        }
    }
    // Files opened in another process (a fork that bypassed the hooks): this one needs
    // its own, and above all its own lock file description.
    if (st.pid != current_pid) {
        drop_inherited_files(handler);
        st.forget_files();
    }
    if (!is_true(get_attr(handler, names().is_locked))) { // else: re-entered from inside a write
        int fd = st.lock.fd_for(get_attr(handler, names().stream_lock));
        if (fd < 0) {
            fast_call_method(handler, names().open_lockfile);
            fd = st.lock.fd_for(get_attr(handler, names().stream_lock));
        }
        if (fd >= 0) {
            lock_exclusive(fd);
            held.lock_fd = fd;
            set_attr(handler, names().is_locked, Py_True);
        }
    }
    write_locked(st, handler, line);
}

// The native methods take the handler and one record.
bool one_record(Py_ssize_t nargs, const char *message) {
    if (nargs == 2)
        return true;
    PyErr_SetString(PyExc_TypeError, message);
    return false;
}

// Runs body holding the handler's lock, when it has one (Handler.acquire/release).
template <typename F> void under_handler_lock(py::handle handler, F &&body) {
    py::object lock = get_attr(handler, names().lock);
    const bool locking = is_true(lock);
    if (locking)
        fast_call_method(lock, names().acquire);
    try {
        body();
    } catch (...) {
        if (locking)
            fast_call_method(lock, names().release);
        throw;
    }
    if (locking)
        fast_call_method(lock, names().release);
}

// What the native emit() methods share: their state from the capsule, the one
// argument, a patched class's own emit() called instead, and failures handed to
// handleError() as logging's handlers do (`pass_recursion`: RecursionError escapes,
// as from StreamHandler).
template <typename State, typename Write>
PyObject *emit_entry(PyObject *capsule, const char *capsule_name, PyObject *const *args, Py_ssize_t nargs,
                     bool pass_recursion, Write &&write) {
    auto *st = static_cast<State *>(PyCapsule_GetPointer(capsule, capsule_name));
    if (!st)
        return nullptr;
    if (!one_record(nargs, "emit() takes exactly one argument (the record)"))
        return nullptr;
    return c_entry([&]() -> PyObject * {
        py::handle handler(args[0]), record(args[1]);
        if (PyObject *now = class_attr(handler, names().emit); now != st->class_emit && now)
            return fast_call(now, {handler.ptr(), record.ptr()}).release().ptr(); // patched class
        try {
            write(*st, handler, record);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception) || (pass_recursion && e.matches(PyExc_RecursionError)))
                throw;
            handle_error(handler, record, e);
        }
        Py_RETURN_NONE;
    });
}

PyObject *file_emit(PyObject *capsule, PyObject *const *args, Py_ssize_t nargs) {
    return emit_entry<FileState>(capsule, kFileStateCapsule, args, nargs, false,
                                 [](FileState &st, py::handle handler, py::handle record) {
                                     write_record(st, handler, format_line(handler, record));
                                 });
}

struct StreamState {
    PyObject *class_emit = nullptr; // the class's emit() when adopted (kept)
};
const char *const kStreamStateCapsule = "kestrum.scribeline.StreamState";

// StreamHandler.flush: under the handler's lock, flush the stream if it has flush().
void flush_stream(py::handle handler) {
    py::object bound = get_attr(handler, names().flush);
    if (!bound_to(bound, stock().stream_flush, handler)) {
        fast_call(bound, {});
        return;
    }
    under_handler_lock(handler, [&] {
        py::object stream = get_attr(handler, names().stream);
        if (is_true(stream) && PyObject_HasAttr(stream.ptr(), names().flush))
            fast_call_method(stream, names().flush);
    });
}

// logging.StreamHandler.emit, natively.
PyObject *stream_emit(PyObject *capsule, PyObject *const *args, Py_ssize_t nargs) {
    return emit_entry<StreamState>(
        capsule, kStreamStateCapsule, args, nargs, true, [](StreamState &, py::handle handler, py::handle record) {
            py::object line = format_line(handler, record);
            py::object stream = get_attr(handler, names().stream);
            py::object terminator = get_attr(handler, names().terminator);
            PyObject *text = PyUnicode_Check(line.ptr()) && PyUnicode_Check(terminator.ptr())
                                 ? PyUnicode_Concat(line.ptr(), terminator.ptr())
                                 : guarded([&] { return PyNumber_Add(line.ptr(), terminator.ptr()); });
            if (!text)
                throw py::error_already_set();
            py::object whole = py::reinterpret_steal<py::object>(text);
            fast_call_method(stream, names().write, {text});
            flush_stream(handler);
        });
}

// Handler.handle for a handler without filters: emit under the handler's lock. Any
// other case (filters, replaced methods) goes to the class's own handle().
PyObject *handler_handle(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!one_record(nargs, "handle() takes exactly one argument (the record)"))
        return nullptr;
    return c_entry([&]() -> PyObject * {
        py::handle handler(args[0]), record(args[1]);
        const Stock &s = stock();
        const Names &n = names();
        PyObject *handle = class_attr(handler, n.handle);
        py::object filters = get_attr(handler, n.filters);
        const bool plain = handle == s.handle && class_attr(handler, n.filter) == s.filter &&
                           class_attr(handler, n.acquire) == s.acquire && class_attr(handler, n.release) == s.release &&
                           PyList_CheckExact(filters.ptr()) && PyList_GET_SIZE(filters.ptr()) == 0;
        if (!plain) {
            if (!handle)
                throw py::attribute_error("handle");
            return fast_call(handle, {handler.ptr(), record.ptr()}).release().ptr();
        }
        under_handler_lock(handler, [&] { fast_call_method(handler, n.emit, {record.ptr()}); });
        // What Filterer.filter() passed on: the record itself from 3.12, True before.
#if PY_VERSION_HEX >= 0x030C0000
        return py::reinterpret_borrow<py::object>(record).release().ptr();
#else
        Py_RETURN_TRUE;
#endif
    });
}

PyMethodDef file_emit_def = {"emit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(file_emit)),
                             METH_FASTCALL, "Write the record to the shared, rotated log file."};
PyMethodDef stream_emit_def = {"emit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_emit)),
                               METH_FASTCALL, "Write the record to the stream."};
PyMethodDef handle_def = {"handle", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(handler_handle)),
                          METH_FASTCALL, "Emit the record unless a filter drops it."};

// Weak references to the handlers adopted in this process, by kind.
PyObject *file_handlers = nullptr;
PyObject *stream_handlers = nullptr;

void remember(PyObject *&registry, py::handle handler) {
    if (!registry && !(registry = PyList_New(0)))
        throw py::error_already_set();
    py::list live;
    for (py::handle ref : py::reinterpret_borrow<py::list>(registry))
        if (weak_target(ref.ptr()))
            live.append(ref);
    PyObject *ref = PyWeakref_NewRef(handler.ptr(), nullptr);
    if (!ref)
        throw py::error_already_set();
    live.append(py::reinterpret_steal<py::object>(ref));
    Py_SETREF(registry, live.release().ptr());
}

std::vector<py::object> alive(PyObject *registry) {
    std::vector<py::object> out;
    if (!registry)
        return out;
    for (py::handle ref : py::reinterpret_borrow<py::list>(registry))
        if (py::object h = weak_target(ref.ptr()))
            out.push_back(std::move(h));
    return out;
}

void give_method(py::handle handler, PyMethodDef *def, py::handle state = py::handle()) {
    PyObject *f = PyCFunction_NewEx(def, state.ptr(), nullptr);
    if (!f)
        throw py::error_already_set();
    py::object function = py::reinterpret_steal<py::object>(f);
    PyObject *m = PyMethod_New(f, handler.ptr());
    if (!m)
        throw py::error_already_set();
    py::object method = py::reinterpret_steal<py::object>(m);
    PyObject *name = PyUnicode_InternFromString(def->ml_name);
    if (!name)
        throw py::error_already_set();
    py::object key = py::reinterpret_steal<py::object>(name);
    set_attr(handler, name, m);
}

// Locks of standard-output handlers taken by this thread before fork().
thread_local std::vector<PyObject *> fork_held;

PyObject *before_fork(PyObject *, PyObject *) {
    return c_entry([]() -> PyObject * {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kForkWaitSeconds);
        for (py::object &handler : alive(stream_handlers)) {
            PyObject *lock = PyObject_GetAttr(handler.ptr(), names().lock);
            if (!lock || lock == Py_None) {
                PyErr_Clear();
                Py_XDECREF(lock);
                continue;
            }
            const double left =
                std::max(0.0, std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count());
            PyObject *timeout = PyFloat_FromDouble(left);
            PyObject *argv[] = {lock, Py_True, timeout};
            PyObject *r = guarded([&] {
                return PyObject_VectorcallMethod(names().acquire, argv, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
            });
            Py_XDECREF(timeout);
            if (r == Py_True)
                fork_held.push_back(lock); // keeps the reference
            else
                Py_DECREF(lock); // busy for too long: the fork goes ahead
            Py_XDECREF(r);
            PyErr_Clear();
        }
        Py_RETURN_NONE;
    });
}

// Releases the locks before_fork() took (`if_owned`: only those this thread still
// owns) and drops them.
void release_fork_held(bool if_owned) {
    for (PyObject *lock : fork_held) {
        PyObject *owned =
            if_owned ? guarded([&] { return PyObject_CallMethodNoArgs(lock, names().is_owned); }) : Py_NewRef(Py_True);
        if (owned == Py_True) {
            PyObject *r = guarded([&] { return PyObject_CallMethodNoArgs(lock, names().release); });
            Py_XDECREF(r);
        }
        Py_XDECREF(owned);
        Py_DECREF(lock);
    }
    fork_held.clear();
    PyErr_Clear();
}

PyObject *after_fork_parent(PyObject *, PyObject *) {
    release_fork_held(false);
    Py_RETURN_NONE;
}

PyObject *after_fork_child(PyObject *, PyObject *) {
    // logging re-creates the handlers' locks in the child; one that is still ours (a
    // runtime that does not) is released.
    release_fork_held(true);
    return c_entry([]() -> PyObject * {
        static Imported rlock("threading", "RLock");
        for (py::object &handler : alive(file_handlers)) {
            try {
                drop_inherited_files(handler);
                // The library's thread lock may have been held by a thread that is gone.
                PyObject *fresh = guarded([&] { return PyObject_CallNoArgs(rlock.get().ptr()); });
                if (!fresh)
                    throw py::error_already_set();
                py::object lock = py::reinterpret_steal<py::object>(fresh);
                set_attr(handler, names().thread_lock, fresh);
            } catch (py::error_already_set &e) {
                e.discard_as_unraisable("kestrum.service.scribeline: reopening the log file after fork");
            }
        }
        // Inherited file objects are kept alive by drop_inherited_files() where needed.
        for (FileState *state : FileState::all())
            state->forget_files();
        Py_RETURN_NONE;
    });
}

PyMethodDef before_def = {"_before_fork", before_fork, METH_NOARGS, nullptr};
PyMethodDef parent_def = {"_after_fork_in_parent", after_fork_parent, METH_NOARGS, nullptr};
PyMethodDef child_def = {"_after_fork_in_child", after_fork_child, METH_NOARGS, nullptr};

// A native emit()'s state in a capsule, knowing the class's emit() as it was adopted.
template <typename State> py::object emit_state(py::handle handler, const char *capsule_name) {
    auto *state = new State();
    state->class_emit = class_attr(handler, names().emit);
    Py_XINCREF(state->class_emit);
    PyObject *capsule = PyCapsule_New(state, capsule_name, [](PyObject *c) {
        delete static_cast<State *>(PyCapsule_GetPointer(c, PyCapsule_GetName(c)));
    });
    if (!capsule) {
        delete state;
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(capsule);
}

bool has_all(py::handle handler, std::initializer_list<PyObject *> attrs) {
    for (PyObject *name : attrs) {
        const int has = PyObject_HasAttr(handler.ptr(), name);
        if (has != 1)
            return false;
    }
    return true;
}

} // namespace

bool adopt_file_handler(py::handle handler) {
    const Names &n = names();
    // The library's attributes this path relies on (0.9.26 and later have them).
    if (!has_all(handler,
                 {n.stream, n.stream_lock, n.is_locked, n.open_lockfile, n.do_open, n.base_filename, n.max_bytes,
                  n.do_rollover, n.terminator, n.encoding, n.unicode_error_policy, n.keep_open}) ||
        !is_true(get_attr(handler, n.keep_open)))
        return false;
    try {
        // Open both files now: a directory that is missing or not writable fails the
        // set-up instead of every record.
        fast_call_method(handler, n.open_lockfile);
        py::object stream = fast_call_method(handler, n.do_open);
        set_attr(handler, n.stream, stream.ptr());
    } catch (py::error_already_set &) {
        PyObject *r = guarded([&] { return PyObject_CallMethodNoArgs(handler.ptr(), n.close); });
        Py_XDECREF(r);
        PyErr_Clear();
        throw;
    }
    give_method(handler, &file_emit_def, emit_state<FileState>(handler, kFileStateCapsule));
    give_method(handler, &handle_def);
    remember(file_handlers, handler);
    return true;
}

void adopt_stream_handler(py::handle handler) {
    give_method(handler, &stream_emit_def, emit_state<StreamState>(handler, kStreamStateCapsule));
    give_method(handler, &handle_def);
    remember(stream_handlers, handler);
}

void install_fork_hooks() {
    current_pid = getpid();
    if (int err = pthread_atfork(nullptr, nullptr, note_fork_in_child))
        raise_errno(err);
    py::object os = py::module_::import("os");
    auto f = [](PyMethodDef *def) {
        PyObject *fn = PyCFunction_NewEx(def, nullptr, nullptr);
        if (!fn)
            throw py::error_already_set();
        return py::reinterpret_steal<py::object>(fn);
    };
    os.attr("register_at_fork")(py::arg("before") = f(&before_def), py::arg("after_in_parent") = f(&parent_def),
                                py::arg("after_in_child") = f(&child_def));
}

} // namespace kestrum::scribeline
