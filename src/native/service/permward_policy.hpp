// The in-memory side of ServiceCasbin's policy: change tracking on the casbin
// objects, a decision index and cache for the package's own model, and reloads
// built beside the live policy and swapped in whole.
#pragma once

#include "common/guarded.hpp"

#include <Python.h>
#include <pthread.h>

#include <string>

namespace kestrum::permward {

// A process-wide mutex taken without the GIL. While the interpreter shuts down, its
// holder may be a thread the runtime has stopped for good, and then it is only tried:
// held() tells. Reset in forked children by the module.
class ExitSafeLock {
  public:
    explicit ExitSafeLock(pthread_mutex_t &mu);
    ~ExitSafeLock();
    bool held() const { return held_; }
    ExitSafeLock(const ExitSafeLock &) = delete;
    ExitSafeLock &operator=(const ExitSafeLock &) = delete;

  private:
    pthread_mutex_t &mu_;
    bool held_ = false;
};

// Resolves the casbin classes and functions the fast paths compare against (where
// casbin is shaped differently, the fast paths stay off and casbin answers alone),
// and readies forked children. Import time, with the GIL.
void policy_init(const std::string &module);

// Installs change tracking on a new enforcer and indexes its policy.
void prepare_enforcer(py::handle enforcer);

// enforce(sub, obj, act) for three exact str, answered from the cache or the index:
// Py_True or Py_False (borrowed), or null when casbin must answer (no error set).
PyObject *fast_decision(PyObject *enforcer, PyObject *sub, PyObject *obj, PyObject *act);

// Re-indexes the enforcer's policy now if it changed, so that the next request does
// not pay for it.
void refresh_index(py::handle enforcer);

// Reloads the enforcer's policy from its adapter into a new model beside the live
// one and swaps it in whole. False when the enforcer's shape does not allow it (call
// its load_policy instead).
bool reload_beside(py::handle enforcer);

// The service's policy changes.
enum class Change { kAddPolicy, kRemovePolicy, kAddRoleForUser, kDeleteRoleForUser };

// Applies a change the way the enforcer's own method does, but table first: the
// adapter writes, and only a write that succeeded changes the in-memory policy
// (casbin itself changes memory first and keeps the change when the write fails).
// Enforcers whose shape this does not know get their own method called. Returns
// the change's report.
py::object apply_change(py::handle enforcer, Change which, const py::tuple &args);

} // namespace kestrum::permward
