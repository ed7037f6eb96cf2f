// The policy-reload watcher. It runs on a daemon thread started by set_auto_reload,
// polls its subscription to the reload channel once a second and reloads the
// policy on every "reload". It outlives server outages:
// - a lost subscription is made again with a back-off (0.25 s doubling to 30 s),
//   cut short as soon as the server accepts connections again, and is followed by
//   one reload, since signals sent meanwhile are lost;
// - a reload that fails (the database unreachable, say) is retried with a back-off
//   (1 s doubling to 16 s, cut short the same way) until one succeeds, so that a
//   committed change arrives without a further signal;
// - the first subscription is followed by one reload too: a change signalled
//   before it was in effect would be lost otherwise.
//
// Every call into Python goes through the guarded layer: at interpreter exit the
// runtime may stop this thread for good wherever it takes the GIL, and it is then
// parked there rather than unwound.
#include "service/permward_watcher.hpp"
#include "common/module.hpp"
#include "service/permward_policy.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrum::permward {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kPollSeconds = 1.0;
constexpr double kSubscribeFirst = 0.25, kSubscribeMax = 30.0;
constexpr double kConfirmSeconds = 0.5;
constexpr double kReloadFirst = 1.0, kReloadMax = 16.0;
constexpr double kProbeEvery = 0.25;
constexpr int kProbeTimeoutMs = 200;
constexpr double kExitGraceSeconds = 1.0;

ModuleGlobals globals; // bound at import

struct Names {
    PyObject *cachewell = interned("_cachewell");
    PyObject *logger = interned("_logger");
    PyObject *channel = interned("_reload_channal_name");
    PyObject *enforce = interned("_enforce");
    PyObject *load_policy = interned("load_policy");
    PyObject *get_message = interned("get_message");
    PyObject *pubsub = interned("pubsub");
    PyObject *subscribe = interned("subscribe");
    PyObject *close = interned("close");
    PyObject *decode = interned("decode");
    PyObject *utf8 = interned("utf-8");
    PyObject *data = interned("data");
    PyObject *type = interned("type");
    PyObject *info = interned("info");
    PyObject *debug = interned("debug");
    PyObject *warning = interned("warning");
};
const Names *n = nullptr;

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// ---------------------------------------------------------------------------
// Is a server back? A plain connect, without the GIL, so that waiting out an
// outage costs the server nothing but a refused connection now and then.

struct Endpoint {
    std::string host, port, path; // path: a Unix socket
    bool known() const { return !path.empty() || !host.empty(); }
};

bool connect_within(int fd, const sockaddr *addr, socklen_t len) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return false;
    if (connect(fd, addr, len) == 0)
        return true;
    if (errno != EINPROGRESS)
        return false;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, kProbeTimeoutMs) != 1)
        return false;
    int err = 0;
    socklen_t err_len = sizeof err;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &err_len) == 0 && err == 0;
}

bool accepts_connections(const Endpoint &ep) {
    if (!ep.path.empty()) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (ep.path.size() >= sizeof addr.sun_path)
            return false;
        std::memcpy(addr.sun_path, ep.path.c_str(), ep.path.size() + 1);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        const bool ok = connect_within(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        close(fd);
        return ok;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(ep.host.c_str(), ep.port.c_str(), &hints, &found) != 0)
        return false;
    bool ok = false;
    for (addrinfo *a = found; a && !ok; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        ok = connect_within(fd, a->ai_addr, a->ai_addrlen);
        close(fd);
    }
    freeaddrinfo(found);
    return ok;
}

// Notices a server coming back: true once it accepts connections after having
// refused them. A server that is up but failing for other reasons never triggers
// it, so the back-off holds for it.
struct Probe {
    Endpoint ep;
    bool seen_down = false;

    bool came_back() {
        if (!ep.known())
            return false;
        if (!accepts_connections(ep)) {
            seen_down = true;
            return false;
        }
        const bool back = seen_down;
        seen_down = false;
        return back;
    }
};

std::string text(py::handle o) {
    if (!o || o.is_none())
        return {};
    try {
        return text_of(o).cast<std::string>();
    } catch (py::error_already_set &) {
        return {};
    }
}

// The Redis server behind the service's pool (host and port, or a socket path).
Endpoint redis_endpoint(py::handle self) {
    Endpoint ep;
    try {
        py::object kwargs = get_attr(get_attr(get_attr(self, n->cachewell), "pool"), "connection_kwargs");
        if (!PyDict_Check(kwargs.ptr()))
            return ep;
        py::dict d = py::reinterpret_borrow<py::dict>(kwargs);
        ep.path = d.contains("path") ? text(d["path"]) : std::string();
        if (ep.path.empty()) {
            ep.host = d.contains("host") ? text(d["host"]) : "localhost";
            ep.port = d.contains("port") ? text(d["port"]) : "6379";
        }
    } catch (py::error_already_set &) {
    }
    return ep;
}

// The database server behind the policy adapter's engine.
Endpoint database_endpoint(py::handle self) {
    Endpoint ep;
    try {
        py::object url = get_attr(get_attr(get_attr(self, "_adapter"), "_engine"), "url");
        py::object query = get_attr(url, "query");
        if (contains(query, py::str("unix_socket"))) {
            ep.path = text(item(query, py::str("unix_socket")));
            return ep;
        }
        py::object host = get_attr(url, "host"), port = get_attr(url, "port");
        if (!host.is_none()) {
            ep.host = text(host);
            ep.port = port.is_none() ? "3306" : text(port);
        }
    } catch (py::error_already_set &) {
    }
    return ep;
}

// ---------------------------------------------------------------------------

struct Watcher {
    const long pid = static_cast<long>(getpid());
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
    bool done = false;

    enum class Woke { kTimeout, kStopped, kServerBack };

    // Sleeps without the GIL, probing the server (when given) for its return.
    Woke pause(double secs, Probe *probe) {
        GilReleased nogil;
        const auto deadline = Clock::now() + seconds(secs);
        std::unique_lock<std::mutex> lk(mu);
        for (;;) {
            const auto slice_end = probe ? std::min(deadline, Clock::now() + seconds(kProbeEvery)) : deadline;
            if (cv.wait_until(lk, slice_end, [this] { return stop; }))
                return Woke::kStopped;
            if (Clock::now() >= deadline)
                return Woke::kTimeout;
            lk.unlock();
            const bool back = probe->came_back();
            lk.lock();
            if (back)
                return Woke::kServerBack;
        }
    }
};

// Every watcher started in this process; touched only with the GIL held.
std::vector<std::shared_ptr<Watcher>> *g_watchers = nullptr;

// self._logger.<level>(message). A logger that cannot log must not end the watcher:
// its error is reported the way Python reports errors nobody can catch.
void log(py::handle self, PyObject *level, py::handle message) {
    try {
        fast_call_method(get_attr(self, n->logger), level, {message});
    } catch (py::error_already_set &e) {
        e.restore();
        guarded([&] { // sys.unraisablehook may be Python code
            PyErr_WriteUnraisable(self.ptr());
            return 0;
        });
    }
}

enum class Outcome { kOk, kFailed };

// An Exception is logged as a warning; anything else (SystemExit, KeyboardInterrupt,
// ...) ends the watcher.
Outcome failed(py::handle self, py::error_already_set &e) {
    if (!e.matches(PyExc_Exception))
        throw;
    py::str message = steal(PyUnicode_FromFormat("casbin reload error with e=%U", safe_str(e.value()).ptr()));
    log(self, n->warning, message);
    return Outcome::kFailed;
}

Outcome reload(py::handle self, bool log_success) {
    try {
        if (!reload_policy(self.ptr()))
            throw_pending();
        if (log_success) {
            py::str message = steal(PyUnicode_FromFormat("casbin reload in pid=%ld tid=%lu",
                                                         static_cast<long>(getpid()), PyThread_get_thread_ident()));
            fast_call_method(get_attr(self, n->logger), n->debug, {message});
        }
        return Outcome::kOk;
    } catch (py::error_already_set &e) {
        return failed(self, e);
    }
}

// One message: decode, compare, reload.
Outcome handle_message(py::handle self, py::handle message) {
    py::object decoded;
    try {
        py::object data = item(message, n->data);
        // a decoding pool has done the work already
        decoded = PyUnicode_Check(data.ptr()) ? data : fast_call_method(data, n->decode, {n->utf8});
    } catch (py::error_already_set &e) {
        return failed(self, e);
    }
    if (!PyUnicode_Check(decoded.ptr()) || PyUnicode_CompareWithASCIIString(decoded.ptr(), "reload") != 0)
        return Outcome::kOk;
    return reload(self, true);
}

// Item kinds the watcher acts on.
enum class ItemKind { kNone, kMessage, kSubscribed };

ItemKind kind_of(py::handle message) {
    py::object type;
    // an item that is empty, not a mapping or without "type" is passed over
    if (!succeeds([&] {
            if (is_true(message) && PyMapping_Check(message.ptr()))
                type = item(message, n->type);
        }) ||
        !type || !PyUnicode_Check(type.ptr()))
        return ItemKind::kNone;
    if (PyUnicode_CompareWithASCIIString(type.ptr(), "message") == 0)
        return ItemKind::kMessage;
    if (PyUnicode_CompareWithASCIIString(type.ptr(), "subscribe") == 0)
        return ItemKind::kSubscribed;
    return ItemKind::kNone;
}

// A client on the service's pool (made once), a fresh publish/subscribe object on
// it, and the subscription.
py::object subscribe(py::handle self, py::object &rc) {
    if (!rc) {
        py::object pool = get_attr(get_attr(self, n->cachewell), "pool");
        rc = call(get_attr(globals.get("redis"), "Redis"), py::arg("connection_pool") = pool,
                  py::arg("decode_responses") = true);
    }
    py::object ps = fast_call_method(rc, n->pubsub);
    fast_call_method(ps, n->subscribe, {get_attr(self, n->channel)});
    return ps;
}

void close_quietly(py::object &ps) {
    if (!ps)
        return;
    succeeds([&] { fast_call_method(ps, n->close); });
    drop(ps);
}

// A delay that doubles up to a bound.
struct Backoff {
    const double first, most;
    double current = first;
    double next() {
        const double d = current;
        current = std::min(current * 2, most);
        return d;
    }
    void reset() { current = first; }
};

// The watcher's loop. Returns when asked to stop; an error that is not an Exception
// propagates and ends it.
void watch(py::handle self, Watcher &w) {
    log(self, n->info, py::str("start casbin reload threading"));
    py::object rc, ps;
    Backoff subscribe_wait{kSubscribeFirst, kSubscribeMax}, reload_wait{kReloadFirst, kReloadMax};
    Probe redis_probe, database_probe;
    bool first = true;  // the catch-up after the first subscription is not logged
    bool retry = false; // a reload failed and is to be made again
    Clock::time_point retry_at{};

    auto settle = [&](Outcome outcome) {
        if (outcome == Outcome::kOk) {
            retry = false;
            reload_wait.reset();
            return;
        }
        if (!retry)
            database_probe = Probe{database_endpoint(self)};
        retry = true;
        retry_at = Clock::now() + seconds(reload_wait.next());
    };

    for (;;) {
        py::object message;
        try {
            if (ps) {
                message = fast_call_method(ps, n->get_message);
            } else {
                ps = subscribe(self, rc);
                // The confirmation follows within moments: wait for it rather than a
                // pass, so that the catch-up reload is not a second late.
                static const Keywords timeout{"timeout"};
                message = fast_call(get_attr(ps, n->get_message), {}, timeout, {py::float_(kConfirmSeconds)});
            }
        } catch (py::error_already_set &e) { // no subscription: log, wait, and start over
            failed(self, e);
            close_quietly(ps);
            if (!redis_probe.ep.known())
                redis_probe = Probe{redis_endpoint(self)};
            if (w.pause(subscribe_wait.next(), &redis_probe) == Watcher::Woke::kStopped)
                break;
            continue;
        }
        switch (kind_of(message)) {
        case ItemKind::kMessage: settle(handle_message(self, message)); break;
        case ItemKind::kSubscribed: {
            // Every confirmation is a (re)subscription, ours or one the client made
            // by itself after a lost connection; signals sent before it are lost, so
            // the policy is read once more.
            subscribe_wait.reset();
            redis_probe = Probe{};
            const bool log_it = !first;
            first = false;
            settle(reload(self, log_it));
            break;
        }
        case ItemKind::kNone: break;
        }
        drop(message);
        if (retry && Clock::now() >= retry_at)
            settle(reload(self, true));
        const auto woke = w.pause(kPollSeconds, retry ? &database_probe : nullptr);
        if (woke == Watcher::Woke::kStopped)
            break;
        if (woke == Watcher::Woke::kServerBack)
            retry_at = Clock::now();
    }
    close_quietly(ps);
}

} // namespace

void watcher_init(PyObject *module) {
    globals.bind(module);
    n = new Names();
}

bool run_watcher(PyObject *self) {
    auto w = std::make_shared<Watcher>();
    if (!g_watchers)
        g_watchers = new std::vector<std::shared_ptr<Watcher>>();
    g_watchers->push_back(w);
    struct Done {
        Watcher &w;
        ~Done() {
            std::lock_guard<std::mutex> g(w.mu);
            w.done = true;
            w.cv.notify_all();
        }
    } done{*w};
    try {
        watch(self, *w);
    } catch (py::error_already_set &e) {
        e.restore();
        return false;
    }
    return true;
}

bool reload_policy(PyObject *self) {
    try {
        py::object enforcer = get_attr(self, n->enforce);
        if (!reload_beside(enforcer))
            fast_call_method(enforcer, n->load_policy);
        return true;
    } catch (py::error_already_set &e) {
        e.restore();
        return false;
    }
}

void stop_watchers() {
    if (!g_watchers)
        return;
    const long pid = static_cast<long>(getpid());
    std::vector<std::shared_ptr<Watcher>> mine;
    for (auto &w : *g_watchers)
        if (w->pid == pid)
            mine.push_back(w);
    if (mine.empty())
        return;
    for (auto &w : mine) {
        std::lock_guard<std::mutex> g(w->mu);
        w->stop = true;
        w->cv.notify_all();
    }
    GilReleased nogil;
    const auto deadline = Clock::now() + seconds(kExitGraceSeconds);
    for (auto &w : mine) {
        std::unique_lock<std::mutex> lk(w->mu);
        w->cv.wait_until(lk, deadline, [&] { return w->done; });
    }
}

} // namespace kestrum::permward
