// The policy-reload watcher that ServiceCasbin.set_auto_reload starts.
#pragma once

#include <Python.h>

namespace kestrum::permward {

// Keeps the module, whose globals the watcher reads at call time. Import time.
void watcher_init(PyObject *module);

// ServiceCasbin._thread_reload_policy(self): the watcher thread's body. Returns when
// asked to stop (at exit), or false with the error pending for an error that ends it.
bool run_watcher(PyObject *self);

// At interpreter exit: wakes this process's watchers so that they close their
// subscriptions, waiting a moment for them. GIL held.
void stop_watchers();

// Reloads the service's policy (beside the live one where the enforcer allows it,
// otherwise through its load_policy). False with the error set.
bool reload_policy(PyObject *self);

} // namespace kestrum::permward
