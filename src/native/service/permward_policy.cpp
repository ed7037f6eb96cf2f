// Decisions without casbin's per-request scan, changes that only take effect once
// the table has them, and reloads that never make a decision wait for the table.
//
// casbin answers enforce() by evaluating the matcher against every permission rule
// in turn. For the package's own model the same answer follows from an index
// (permward_index.hpp), and decisions for exact str arguments are also cached. Both
// are trusted only while the enforcer's policy is the one they were built from:
// every casbin method that can change it (on the enforcer, its model and its role
// managers) is wrapped so that a call counts as a change, and a per-call check
// catches replaced objects and overridden methods. Anything else (another model,
// other arguments, a shape this code does not know) goes to casbin itself.
//
// The index and the cache are touched only with the GIL held and by code that
// calls no Python, so they need no lock of their own.
#include "service/permward_policy.hpp"

#include "common/module.hpp"
#include "service/permward_index.hpp"

#include <algorithm>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kestrum::permward {
namespace {

struct Names {
    PyObject *model = interned("model"), *rm_map = interned("rm_map"), *cond_rm_map = interned("cond_rm_map");
    PyObject *eft = interned("eft"), *fm = interned("fm"), *enabled = interned("enabled");
    PyObject *policy = interned("policy"), *tokens = interned("tokens"), *value = interned("value");
    PyObject *params_tokens = interned("params_tokens"), *rm = interned("rm"), *cond_rm = interned("cond_rm");
    PyObject *matching_func = interned("matching_func"), *domain_matching_func = interned("domain_matching_func");
    PyObject *max_hierarchy_level = interned("max_hierarchy_level"), *all_roles = interned("all_roles");
    PyObject *name = interned("name"), *roles = interned("roles");
    PyObject *enforce = interned("enforce"), *enforce_ex = interned("enforce_ex");
    PyObject *load_policy = interned("load_policy"), *adapter = interned("adapter");
    PyObject *auto_save = interned("auto_save"), *auto_build_role_links = interned("auto_build_role_links");
    PyObject *watcher = interned("watcher"), *is_filtered = interned("is_filtered"), *key_match = interned("keyMatch");
    PyObject *add_policy = interned("add_policy"), *remove_policy = interned("remove_policy");
    PyObject *sort_by_hierarchy = interned("sort_policies_by_subject_hierarchy");
    PyObject *sort_by_priority = interned("sort_policies_by_priority");
    PyObject *build_role_links = interned("build_role_links");
    PyObject *cls = interned("__class__");
    PyObject *mro = interned("__mro__"), *module = interned("__module__"), *qualname = interned("__qualname__");
    PyObject *doc = interned("__doc__"), *type_name = interned("__name__");
    PyObject *inner = interned("_e"), *write_lock = interned("_wl"), *rwlock = interned("_rwlock");
    PyObject *init = interned("__init__");
};
const Names *n = nullptr;

// Set once at import (leaked references); the fast paths are off when one is missing.
struct Casbin {
    PyObject *synced_enforce = nullptr, *synced_load_policy = nullptr;
    PyObject *core_enforce = nullptr, *core_enforce_ex = nullptr, *core_load_policy = nullptr;
    PyObject *model_type = nullptr, *assertion_type = nullptr, *rm_type = nullptr, *role_type = nullptr;
    PyObject *allow_override_type = nullptr, *function_map_type = nullptr, *key_match_func = nullptr;
    PyObject *deepcopy = nullptr, *rwlock_type = nullptr;
    // per Change: SyncedEnforcer's method and its existence test, Enforcer's method
    PyObject *synced_change[4] = {}, *synced_has[4] = {}, *enforcer_change[4] = {};
};
Casbin c;
bool g_fast_ok = false;

constexpr const char *kMatcher = "g(r_sub, p_sub) && keyMatch(r_obj, p_obj) && r_act == p_act";
constexpr const char *kEffect = "some(where (p_eft == allow))";

// ---------------------------------------------------------------------------
// Change accounting and per-enforcer state (GIL held)

// Changes to an in-memory policy: those running, and those ended so far.
struct Changes {
    int running = 0;
    uint64_t ended = 1;
};

// Changes of objects not known to belong to exactly one enforcer: they count for all.
Changes g_any;

// What an index was built against; a decision trusts it only while all of this holds.
struct Snapshot {
    PyTypeObject *outer_type = nullptr;
    unsigned int outer_tag = 0;
    PyObject *inner = nullptr; // identities only, never dereferenced when stale
    PyTypeObject *inner_type = nullptr;
    unsigned int inner_tag = 0;
    PyObject *model = nullptr;
    std::vector<PyObject *> role_managers;
    uint64_t own_version = 0, any_version = 0; // Changes::ended of the state's own and g_any
    std::shared_ptr<const Index> index;        // null: casbin answers
};

struct State {
    PyObject *weak = nullptr; // to the enforcer; its callback forgets this state
    Changes own;              // changes of the enforcer's own objects
    bool have_snapshot = false;
    Snapshot snap;
    DecisionCache cache;
    uint64_t cache_own = 0, cache_any = 0; // the versions the cached decisions belong to

    bool quiet() const { return own.running == 0 && g_any.running == 0; }
    bool unchanged_since(uint64_t own_version, uint64_t any_version) const {
        return own.ended == own_version && g_any.ended == any_version;
    }
};

std::unordered_map<PyObject *, std::shared_ptr<State>> *g_states = nullptr;

// The state of the one enforcer `o` (an inner enforcer, model or role manager) belongs
// to, or null when it is none or several.
std::shared_ptr<State> owner_of(PyObject *o) {
    std::shared_ptr<State> owner;
    for (auto &entry : *g_states) {
        const Snapshot &s = entry.second->snap;
        if (!entry.second->have_snapshot ||
            (s.inner != o && s.model != o &&
             std::find(s.role_managers.begin(), s.role_managers.end(), o) == s.role_managers.end()))
            continue;
        if (owner)
            return nullptr;
        owner = entry.second;
    }
    return owner;
}

// A change for the code in scope, to `owner`'s policy (or, without one, to any).
class Section {
  public:
    explicit Section(std::shared_ptr<State> owner) : owner_(std::move(owner)) { ++changes().running; }
    ~Section() {
        Changes &c = changes();
        --c.running;
        ++c.ended;
    }
    Section(const Section &) = delete;
    Section &operator=(const Section &) = delete;

  private:
    Changes &changes() { return owner_ ? owner_->own : g_any; }
    std::shared_ptr<State> owner_;
};

// ---------------------------------------------------------------------------
// Reading casbin's objects. A read that fails means "not a shape we know": the
// caller then leaves the decision (or the reload, or the change) to casbin.

py::object attr_or_null(py::handle o, PyObject *name) {
    if (!o)
        return {};
    PyObject *v = guarded([&] { return PyObject_GetAttr(o.ptr(), name); });
    if (!v)
        PyErr_Clear();
    return py::reinterpret_steal<py::object>(v);
}

bool is_exact_text(py::handle o, const char *text) {
    return o && PyUnicode_CheckExact(o.ptr()) && PyUnicode_CompareWithASCIIString(o.ptr(), text) == 0;
}

bool text_list_equals(py::handle o, std::initializer_list<const char *> expected) {
    if (!o || !PyList_CheckExact(o.ptr()) || PyList_GET_SIZE(o.ptr()) != static_cast<Py_ssize_t>(expected.size()))
        return false;
    Py_ssize_t i = 0;
    for (const char *e : expected)
        if (!is_exact_text(PyList_GET_ITEM(o.ptr(), i++), e))
            return false;
    return true;
}

bool utf8_of(PyObject *s, std::string_view &out) {
    Py_ssize_t size;
    const char *p = PyUnicode_AsUTF8AndSize(s, &size);
    if (!p) {
        PyErr_Clear(); // lone surrogates: casbin compares them, we do not
        return false;
    }
    out = std::string_view(p, static_cast<size_t>(size));
    return true;
}

PyObject *instance_dict(PyObject *o) {
    PyObject **slot = _PyObject_GetDictPtr(o);
    if (!slot) {
        PyErr_Clear();
        return nullptr;
    }
    return *slot;
}

// The instance's own attribute (borrowed; null when none). Plain dict reads with str
// keys run no Python code.
PyObject *own_attr(PyObject *dict, PyObject *name) {
    PyObject *v = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
    if (!v)
        PyErr_Clear();
    return v;
}

PyObject *unwrap_tracked(PyObject *attr_value);

// `name` on `o` resolves to `original` (and the instance does not shadow it).
bool resolves_to(PyObject *o, PyObject *dict, PyObject *name, PyObject *original) {
    if (own_attr(dict, name))
        return false;
    return unwrap_tracked(_PyType_Lookup(Py_TYPE(o), name)) == original;
}

// ---------------------------------------------------------------------------
// Change tracking: each casbin method that may change a policy, wrapped so that a
// call counts as a change. Instances switch to a subclass carrying the wrappers
// (same name, module and layout), so every path into them is covered, whoever
// calls: SyncedEnforcer, the inner Enforcer, the model or a role manager.

struct TrackedMethod {
    PyObject_HEAD PyObject *func;
};

PyTypeObject *g_tracked_method_type = nullptr;

PyObject *tracked_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    PyObject *func = reinterpret_cast<TrackedMethod *>(self)->func;
    PyObject *instance = PyTuple_GET_SIZE(args) > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    Section change(instance ? owner_of(instance) : nullptr);
    return guarded([&] { return PyObject_Call(func, args, kwargs); });
}

PyObject *tracked_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *tracked_forward(PyObject *self, void *name) {
    PyObject *func = reinterpret_cast<TrackedMethod *>(self)->func;
    return guarded([&] { return PyObject_GetAttrString(func, static_cast<const char *>(name)); });
}

PyObject *tracked_wrapped(PyObject *self, void *) { return Py_NewRef(reinterpret_cast<TrackedMethod *>(self)->func); }

int tracked_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<TrackedMethod *>(self)->func);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int tracked_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<TrackedMethod *>(self)->func);
    return 0;
}

void tracked_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    tracked_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyGetSetDef tracked_getset[] = {
    {"__wrapped__", tracked_wrapped, nullptr, nullptr, nullptr},
    {"__name__", tracked_forward, nullptr, nullptr, const_cast<char *>("__name__")},
    {"__qualname__", tracked_forward, nullptr, nullptr, const_cast<char *>("__qualname__")},
    {"__doc__", tracked_forward, nullptr, nullptr, const_cast<char *>("__doc__")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tracked_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(tracked_call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(tracked_get)},
    {Py_tp_getset, tracked_getset},
    {Py_tp_traverse, reinterpret_cast<void *>(tracked_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(tracked_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(tracked_dealloc)},
    {0, nullptr},
};

PyType_Spec tracked_type = {"kestrum.service.permward._tracked_method", sizeof(TrackedMethod), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, tracked_slots};

py::object tracked_method(py::handle func) {
    auto *m = PyObject_GC_New(TrackedMethod, g_tracked_method_type);
    if (!m)
        throw_pending();
    m->func = Py_NewRef(func.ptr());
    PyObject_GC_Track(m);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(m));
}

PyObject *unwrap_tracked(PyObject *attr_value) {
    if (attr_value && g_tracked_method_type && Py_TYPE(attr_value) == g_tracked_method_type)
        return reinterpret_cast<TrackedMethod *>(attr_value)->func;
    return attr_value;
}

// Methods that only read a policy. Everything else that a casbin class defines is
// taken as a change; a read taken for a change costs a re-index, never a wrong
// answer.
bool is_reader(std::string_view name) {
    for (std::string_view prefix : {"get_", "has_", "print_", "to_", "is_"})
        if (name.substr(0, prefix.size()) == prefix)
            return true;
    for (std::string_view reader :
         {"enforce", "enforce_ex", "batch_enforce", "new_enforce_context", "keys", "values", "items", "_get_role",
          "_has_link", "_matching_fn", "_matching_roles", "_get_key_suffix", "_get_expression"})
        if (name == reader)
            return true;
    if (name.size() > 4 && name.substr(0, 2) == "__" && name.substr(name.size() - 2) == "__")
        return name != "__setitem__" && name != "__delitem__";
    return false;
}

// original class <-> its tracked subclass; both kept for the life of the process
std::unordered_map<PyObject *, PyObject *> *g_tracked_of = nullptr;
std::unordered_map<PyObject *, PyObject *> *g_original_of = nullptr;

py::object new_tracked_class(py::handle tp) {
    py::dict ns;
    py::set seen;
    py::object mro = get_attr(tp, n->mro);
    for (py::handle klass : mro) {
        if (klass.ptr() == reinterpret_cast<PyObject *>(&PyBaseObject_Type) || !PyType_Check(klass.ptr()))
            continue;
        PyObject *dict = reinterpret_cast<PyTypeObject *>(klass.ptr())->tp_dict;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            if (contains(seen, key))
                continue;
            seen.add(py::reinterpret_borrow<py::object>(key));
            std::string_view name;
            if (PyFunction_Check(value) && PyUnicode_Check(key) && utf8_of(key, name) && !is_reader(name))
                ns[py::handle(key)] = tracked_method(value);
        }
    }
    for (PyObject *name : {n->module, n->qualname, n->doc})
        ns[name] = get_attr(tp, name);
    return call(py::handle(reinterpret_cast<PyObject *>(Py_TYPE(tp.ptr()))), get_attr(tp, n->type_name),
                py::make_tuple(tp), ns);
}

// Switches `o` to the tracked subclass of its class. False when the class cannot be
// tracked; `o` is then left as it was.
bool track(py::handle o) {
    PyObject *tp = reinterpret_cast<PyObject *>(Py_TYPE(o.ptr()));
    if (g_original_of->count(tp))
        return true;
    try {
        PyObject *tracked;
        auto found = g_tracked_of->find(tp);
        if (found != g_tracked_of->end()) {
            tracked = found->second;
        } else {
            py::object made = new_tracked_class(tp);
            // the class may have been made meanwhile by another thread; keep the first
            auto [it, fresh] = g_tracked_of->emplace(tp, made.ptr());
            if (fresh) {
                made.release();
                Py_INCREF(tp);
                (*g_original_of)[it->second] = tp;
            }
            tracked = it->second;
        }
        set_attr(o, n->cls, tracked);
        return true;
    } catch (py::error_already_set &) {
        return false;
    }
}

// The class `o` had before tracking.
PyObject *original_class(py::handle o) {
    PyObject *tp = reinterpret_cast<PyObject *>(Py_TYPE(o.ptr()));
    auto found = g_original_of->find(tp);
    return found == g_original_of->end() ? tp : found->second;
}

bool is_class_or_tracked(py::handle o, PyObject *cls) { return o && original_class(o) == cls; }

// ---------------------------------------------------------------------------
// Indexing a policy

// The parts of an enforcer a decision depends on.
struct PolicyView {
    py::handle model, rm_map, cond_rm_map, eft, fm, enabled;
};

// The single assertion of a model section, when the section has exactly `key`.
PyObject *only_assertion(PyObject *sections, const char *sec, const char *key) {
    PyObject *section = PyDict_GetItemString(sections, sec);
    if (!section || !PyDict_CheckExact(section) || PyDict_GET_SIZE(section) != 1)
        return nullptr;
    PyObject *a = PyDict_GetItemString(section, key);
    return a && Py_TYPE(a) == reinterpret_cast<PyTypeObject *>(c.assertion_type) ? a : nullptr;
}

bool attr_is_none(py::handle o, PyObject *name) { return attr_or_null(o, name).ptr() == Py_None; }

// An index answering exactly as casbin would for this policy, or null when the
// policy is not of the shape the index knows.
std::shared_ptr<Index> build_index(const PolicyView &v) {
    if (v.enabled.ptr() != Py_True || !is_class_or_tracked(v.model, c.model_type))
        return nullptr;
    // the model: this file's five sections, nothing more
    py::object sections = attr_or_null(v.model, n->model);
    if (!sections || !PyDict_CheckExact(sections.ptr()) || PyDict_GET_SIZE(sections.ptr()) != 5)
        return nullptr;
    PyObject *r = only_assertion(sections.ptr(), "r", "r");
    PyObject *p = only_assertion(sections.ptr(), "p", "p");
    PyObject *e = only_assertion(sections.ptr(), "e", "e");
    PyObject *m = only_assertion(sections.ptr(), "m", "m");
    PyObject *g = only_assertion(sections.ptr(), "g", "g");
    if (!r || !p || !e || !m || !g)
        return nullptr;
    py::object g_params = attr_or_null(g, n->params_tokens);
    if (!text_list_equals(attr_or_null(r, n->tokens), {"r_sub", "r_obj", "r_act"}) ||
        !text_list_equals(attr_or_null(p, n->tokens), {"p_sub", "p_obj", "p_act"}) ||
        !is_exact_text(attr_or_null(e, n->value), kEffect) || !is_exact_text(attr_or_null(m, n->value), kMatcher) ||
        !is_exact_text(attr_or_null(g, n->value), "_, _") || !g_params || !PyList_CheckExact(g_params.ptr()) ||
        PyList_GET_SIZE(g_params.ptr()) != 0)
        return nullptr;
    // the engine around it: the default effect and keyMatch, one plain role manager
    if (!v.eft || Py_TYPE(v.eft.ptr()) != reinterpret_cast<PyTypeObject *>(c.allow_override_type) || !v.fm ||
        Py_TYPE(v.fm.ptr()) != reinterpret_cast<PyTypeObject *>(c.function_map_type))
        return nullptr;
    py::object functions = attr_or_null(v.fm, n->fm);
    if (!functions || !PyDict_CheckExact(functions.ptr()) ||
        own_attr(functions.ptr(), n->key_match) != c.key_match_func)
        return nullptr;
    if (!v.rm_map || !PyDict_CheckExact(v.rm_map.ptr()) || PyDict_GET_SIZE(v.rm_map.ptr()) != 1 || !v.cond_rm_map ||
        !PyDict_CheckExact(v.cond_rm_map.ptr()) || PyDict_GET_SIZE(v.cond_rm_map.ptr()) != 0)
        return nullptr;
    py::object rm = attr_or_null(g, n->rm);
    if (!rm || PyDict_GetItemString(v.rm_map.ptr(), "g") != rm.ptr() || !is_class_or_tracked(rm, c.rm_type) ||
        !attr_is_none(rm, n->matching_func) || !attr_is_none(rm, n->domain_matching_func))
        return nullptr;
    py::object level = attr_or_null(rm, n->max_hierarchy_level);
    if (!level || !PyLong_CheckExact(level.ptr()))
        return nullptr;
    const long max_level = PyLong_AsLong(level.ptr());
    if (max_level == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return nullptr;
    }

    auto index = std::make_shared<Index>();
    // casbin's role manager finds "sub reaches role" within max_level - 1 steps
    index->set_max_steps(max_level - 1);

    py::object policy = attr_or_null(p, n->policy);
    if (!policy || !PyList_CheckExact(policy.ptr()))
        return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(policy.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *rule = PyList_GET_ITEM(policy.ptr(), i);
        if (!PyList_CheckExact(rule) || PyList_GET_SIZE(rule) != 3)
            return nullptr; // casbin raises for some of these: let it
        std::string_view values[3];
        for (Py_ssize_t k = 0; k < 3; ++k) {
            PyObject *value = PyList_GET_ITEM(rule, k);
            if (!PyUnicode_CheckExact(value) || !utf8_of(value, values[k]))
                return nullptr;
        }
        index->add_rule(values[0], values[1], values[2]);
    }
    if (count == 0) // with no rules, casbin evaluates the matcher once with empty values
        index->add_rule("", "", "");

    // The role graph, a node per role object, as the role manager links them; a
    // subject's name resolves to its role through `all_roles`.
    py::object all_roles = attr_or_null(rm, n->all_roles);
    if (!all_roles || !PyDict_CheckExact(all_roles.ptr()))
        return nullptr;
    const auto role_type = reinterpret_cast<PyTypeObject *>(c.role_type);
    std::vector<PyObject *> pending;
    Py_ssize_t pos = 0;
    PyObject *key, *role;
    while (PyDict_Next(all_roles.ptr(), &pos, &key, &role)) {
        std::string_view name;
        if (!PyUnicode_CheckExact(key) || !utf8_of(key, name) || Py_TYPE(role) != role_type)
            return nullptr;
        index->set_start(name, index->node_for(role));
        pending.push_back(role);
    }
    std::unordered_map<PyObject *, bool> done;
    while (!pending.empty()) {
        PyObject *role_obj = pending.back();
        pending.pop_back();
        if (!done.emplace(role_obj, true).second)
            continue;
        const int id = index->node_for(role_obj);
        py::object role_name = attr_or_null(role_obj, n->name);
        std::string_view name;
        if (!role_name || !PyUnicode_CheckExact(role_name.ptr()) || !utf8_of(role_name.ptr(), name))
            return nullptr;
        index->set_node(id, name);
        py::object links = attr_or_null(role_obj, n->roles);
        if (!links || !PySet_CheckExact(links.ptr()))
            return nullptr;
        // An exact set of casbin's Role objects: iterating it runs no Python code, and
        // the set keeps its members alive while the index is built.
        py::object members = steal(PyObject_GetIter(links.ptr()));
        while (PyObject *next = PyIter_Next(members.ptr())) {
            PyObject *linked = next;
            Py_DECREF(next);
            if (Py_TYPE(linked) != role_type)
                return nullptr;
            index->link(id, index->node_for(linked));
            pending.push_back(linked);
        }
        if (PyErr_Occurred())
            throw_pending();
    }
    index->finish();
    return index;
}

PolicyView view_of(py::handle inner, py::object &keep_rm_map, py::object &keep_cond, py::object &keep_eft,
                   py::object &keep_fm, py::object &keep_enabled) {
    keep_rm_map = attr_or_null(inner, n->rm_map);
    keep_cond = attr_or_null(inner, n->cond_rm_map);
    keep_eft = attr_or_null(inner, n->eft);
    keep_fm = attr_or_null(inner, n->fm);
    keep_enabled = attr_or_null(inner, n->enabled);
    return {py::handle(), keep_rm_map, keep_cond, keep_eft, keep_fm, keep_enabled};
}

// ---------------------------------------------------------------------------
// Per-enforcer state

PyObject *forget_state(PyObject *, PyObject *weak) {
    for (auto it = g_states->begin(); it != g_states->end(); ++it)
        if (it->second->weak == weak) {
            Py_CLEAR(it->second->weak);
            g_states->erase(it);
            break;
        }
    Py_RETURN_NONE;
}

PyMethodDef forget_state_def = {"_forget_enforcer", forget_state, METH_O, nullptr};
PyObject *g_forget = nullptr;

std::shared_ptr<State> known_state(PyObject *enforcer) {
    auto found = g_states->find(enforcer);
    return found == g_states->end() ? nullptr : found->second;
}

std::shared_ptr<State> state_for(PyObject *enforcer) {
    auto found = g_states->find(enforcer);
    if (found != g_states->end())
        return found->second;
    auto st = std::make_shared<State>();
    st->weak = PyWeakref_NewRef(enforcer, g_forget);
    if (!st->weak) {
        PyErr_Clear();
        return nullptr;
    }
    (*g_states)[enforcer] = st;
    return st;
}

// The type still resolves the decision methods as when `tag` was taken.
bool type_unchanged(PyTypeObject *tp, unsigned int tag) { return tag != 0 && tp->tp_version_tag == tag; }

// The decision methods casbin runs for this enforcer are its own.
bool decides_like_casbin(PyObject *outer, PyObject *outer_dict, PyObject *inner, PyObject *inner_dict) {
    return resolves_to(outer, outer_dict, n->enforce, c.synced_enforce) &&
           resolves_to(inner, inner_dict, n->enforce, c.core_enforce) &&
           resolves_to(inner, inner_dict, n->enforce_ex, c.core_enforce_ex);
}

bool snapshot_holds(const State &st, PyObject *outer, PyObject *outer_dict) {
    const Snapshot &s = st.snap;
    if (!st.have_snapshot || !st.unchanged_since(s.own_version, s.any_version) || Py_TYPE(outer) != s.outer_type)
        return false;
    PyObject *inner = own_attr(outer_dict, n->inner);
    if (!inner || inner != s.inner || Py_TYPE(inner) != s.inner_type)
        return false;
    PyObject *inner_dict = instance_dict(inner);
    if (!inner_dict)
        return false;
    if (type_unchanged(s.outer_type, s.outer_tag) && type_unchanged(s.inner_type, s.inner_tag)) {
        // only the instances can have been given their own methods
        if (own_attr(outer_dict, n->enforce) || own_attr(inner_dict, n->enforce) || own_attr(inner_dict, n->enforce_ex))
            return false;
    } else if (!decides_like_casbin(outer, outer_dict, inner, inner_dict)) {
        return false;
    }
    return own_attr(inner_dict, n->model) == s.model && own_attr(inner_dict, n->enabled) == Py_True;
}

// Tracks the enforcer's objects and indexes its policy, when no change is under
// way; false when the state could not be taken now.
bool take_snapshot(PyObject *outer, State &st) {
    if (!st.quiet())
        return false;
    const uint64_t own_version = st.own.ended, any_version = g_any.ended;
    PyObject *outer_dict = instance_dict(outer);
    py::object inner = py::reinterpret_borrow<py::object>(own_attr(outer_dict, n->inner));
    PyObject *inner_dict = inner ? instance_dict(inner.ptr()) : nullptr;
    py::object model = py::reinterpret_borrow<py::object>(own_attr(inner_dict, n->model));
    if (!model)
        return false;
    Snapshot s;
    s.outer_type = Py_TYPE(outer);
    s.own_version = own_version;
    s.any_version = any_version;
    s.model = model.ptr();
    const bool casbin_decides = decides_like_casbin(outer, outer_dict, inner.ptr(), inner_dict);
    if (casbin_decides && track(inner) && track(model)) {
        py::object rm_map, cond, eft, fm, enabled;
        PolicyView view = view_of(inner, rm_map, cond, eft, fm, enabled);
        view.model = model;
        bool tracked = rm_map && PyDict_CheckExact(rm_map.ptr());
        Py_ssize_t pos = 0;
        PyObject *key, *rm;
        while (tracked && PyDict_Next(rm_map.ptr(), &pos, &key, &rm)) {
            tracked = track(rm);
            s.role_managers.push_back(rm);
        }
        if (tracked)
            s.index = build_index(view);
    }
    if (!st.unchanged_since(own_version, any_version) || !st.quiet())
        return false; // changed while we looked; casbin answers this one
    // Tags are taken after the lookups above, which give the types one.
    s.outer_tag = Py_TYPE(outer)->tp_version_tag;
    s.inner = inner.ptr();
    s.inner_type = Py_TYPE(inner.ptr());
    s.inner_tag = s.inner_type->tp_version_tag;
    st.snap = std::move(s);
    st.have_snapshot = true;
    // Cached decisions belong to the policy the last snapshot saw, which may have been
    // replaced without a change of casbin's (an attribute assigned directly).
    st.cache.clear();
    st.cache_own = st.own.ended;
    st.cache_any = g_any.ended;
    return true;
}

uint64_t request_hash(PyObject *s, PyObject *o, PyObject *a) {
    uint64_t h = static_cast<uint64_t>(PyObject_Hash(s)); // cached in the str objects
    h = h * 0x100000001b3ULL ^ static_cast<uint64_t>(PyObject_Hash(o));
    h = h * 0x100000001b3ULL ^ static_cast<uint64_t>(PyObject_Hash(a));
    return h;
}

// ---------------------------------------------------------------------------
// Reloads beside the live policy

// A new model with the live one's definition and no rules: casbin's
// deepcopy-then-clear, without copying the rules and role links only to drop them.
py::object empty_copy(py::handle model) {
    py::dict memo;
    py::list keep; // the originals stay alive, so that no id is reused meanwhile
    for (auto section : py::reinterpret_borrow<py::dict>(get_attr(model, n->model)))
        for (auto assertion : py::reinterpret_borrow<py::dict>(section.second)) {
            for (PyObject *field : {n->policy, n->rm, n->cond_rm}) {
                py::object value = attr_or_null(assertion.second, field);
                if (!value || value.is_none())
                    continue;
                memo[steal(PyLong_FromVoidPtr(value.ptr()))] = field == n->policy ? py::object(py::list()) : py::none();
                keep.append(value);
            }
        }
    memo[steal(PyLong_FromVoidPtr(memo.ptr()))] = keep;
    py::object copy = call(c.deepcopy, model, memo);
    set_attr(copy, n->cls, original_class(copy));
    // A rule list replaced while we copied was copied whole: empty them all.
    py::dict copied = py::reinterpret_borrow<py::dict>(get_attr(copy, n->model));
    for (const char *sec : {"p", "g"})
        if (copied.contains(sec))
            for (auto assertion : py::reinterpret_borrow<py::dict>(copied[sec]))
                set_attr(assertion.second, n->policy, py::list());
    return copy;
}

struct Beside {
    py::object model, rm_map;
    std::shared_ptr<Index> index;
};

// Reads the table into a new model and role managers, and indexes them, touching
// nothing of the live policy.
Beside build_beside(py::handle inner, py::handle live_model, py::handle live_rm_map) {
    Beside out;
    out.model = empty_copy(live_model);
    fast_call_method(get_attr(inner, n->adapter), n->load_policy, {out.model});
    fast_call_method(out.model, n->sort_by_hierarchy);
    fast_call_method(out.model, n->sort_by_priority);
    py::dict rm_map;
    for (auto entry : py::reinterpret_borrow<py::dict>(live_rm_map))
        rm_map[entry.first] = call(original_class(entry.second), get_attr(entry.second, n->max_hierarchy_level));
    fast_call_method(out.model, n->build_role_links, {rm_map});
    out.rm_map = rm_map;
    py::object keep_rm_map, cond, eft, fm, enabled;
    PolicyView view = view_of(inner, keep_rm_map, cond, eft, fm, enabled);
    view.model = out.model;
    view.rm_map = out.rm_map;
    out.index = build_index(view);
    return out;
}

// The enforcer's shape lets a reload be built beside it: casbin's own load_policy on
// both levels, the whole table (not a filtered one), plain role managers.
bool reloads_beside(PyObject *outer, PyObject *outer_dict, py::handle inner, PyObject *inner_dict) {
    if (!resolves_to(outer, outer_dict, n->load_policy, c.synced_load_policy) ||
        !resolves_to(inner.ptr(), inner_dict, n->load_policy, c.core_load_policy))
        return false;
    py::object adapter = attr_or_null(inner, n->adapter);
    if (!adapter || adapter.is_none() || attr_or_null(inner, n->auto_build_role_links).ptr() != Py_True ||
        !attr_or_null(outer, n->write_lock))
        return false;
    bool filtered = true;
    if (!succeeds([&] { filtered = is_true(fast_call_method(inner, n->is_filtered)); }) || filtered)
        return false;
    py::object model = attr_or_null(inner, n->model), rm_map = attr_or_null(inner, n->rm_map),
               cond = attr_or_null(inner, n->cond_rm_map);
    if (!is_class_or_tracked(model, c.model_type) || !rm_map || !PyDict_CheckExact(rm_map.ptr()) || !cond ||
        !PyDict_CheckExact(cond.ptr()) || PyDict_GET_SIZE(cond.ptr()) != 0)
        return false;
    py::object sections = attr_or_null(model, n->model);
    PyObject *groupings =
        sections && PyDict_CheckExact(sections.ptr()) ? PyDict_GetItemString(sections.ptr(), "g") : nullptr;
    if (!groupings || !PyDict_CheckExact(groupings) || PyDict_GET_SIZE(rm_map.ptr()) != PyDict_GET_SIZE(groupings))
        return PyDict_GET_SIZE(rm_map.ptr()) == 0 && !groupings;
    Py_ssize_t pos = 0;
    PyObject *ptype, *rm;
    while (PyDict_Next(rm_map.ptr(), &pos, &ptype, &rm))
        if (!is_class_or_tracked(rm, c.rm_type) || !attr_is_none(rm, n->matching_func) ||
            !attr_is_none(rm, n->domain_matching_func) || !own_attr(groupings, ptype))
            return false;
    return true;
}

constexpr int kBesideAttempts = 3;

// ---------------------------------------------------------------------------
// Changes, table first

struct ChangeMethod {
    const char *method;
    const char *has; // casbin's "is it in memory" test for the same rule
    const char *ptype;
    bool adds;
};

constexpr ChangeMethod kChanges[] = {
    {"add_policy", "has_policy", "p", true},
    {"remove_policy", "has_policy", "p", false},
    {"add_role_for_user", "has_grouping_policy", "g", true},
    {"delete_role_for_user", "has_grouping_policy", "g", false},
};

// Serialises this process's changes from the existence test to the in-memory
// change, as casbin's write lock did around its own test and write: two threads
// adding one rule write one row. Only changes take it.
pthread_mutex_t g_change_mu = PTHREAD_MUTEX_INITIALIZER;

// In a forked child only the forking thread lives on: a change the others were making
// is neither finished nor to be waited for, and whatever it left is indexed afresh.
void reset_in_child() {
    pthread_mutex_init(&g_change_mu, nullptr);
    for (Changes *c : {&g_any}) {
        c->running = 0;
        ++c->ended;
    }
    if (g_states)
        for (auto &entry : *g_states) {
            entry.second->own.running = 0;
            ++entry.second->own.ended;
        }
}

// The same for casbin's readers-writer locks, which count readers and writers that no
// longer exist in the child and would block its first change, or decision, for good.
py::object reset_casbin_locks(const Bound &) {
    std::vector<std::shared_ptr<State>> states;
    for (auto &entry : *g_states)
        states.push_back(entry.second);
    for (auto &st : states) {
        py::object enforcer = st->weak ? weak_target(st->weak) : py::object();
        py::object lock = enforcer ? attr_or_null(enforcer, n->rwlock) : py::object();
        if (lock && Py_TYPE(lock.ptr()) == reinterpret_cast<PyTypeObject *>(c.rwlock_type))
            succeeds([&] { fast_call_method(lock, n->init); }); // a fresh lock, no readers, no writer
    }
    return py::none();
}

// Runs the enforcer's in-memory change with casbin's table write turned off, under
// casbin's write lock (`with self._wl:`) so that no reader sees it half done.
py::object change_in_memory(py::handle wl, py::handle inner, PyObject *method, const py::tuple &args,
                            const std::shared_ptr<State> &owner) {
    return with_block(wl, [&](py::handle) {
        Section change(owner);
        py::object saved = get_attr(inner, n->auto_save);
        set_attr(inner, n->auto_save, Py_False);
        py::object rst;
        try {
            rst = call(get_attr(inner, method), *args);
        } catch (py::error_already_set &) {
            set_attr(inner, n->auto_save, saved);
            throw;
        }
        set_attr(inner, n->auto_save, saved);
        return rst;
    });
}

// Whether `enforcer`'s shape is the one the table-first path reproduces.
bool changes_table_first(py::handle enforcer, size_t k, PyObject *method, PyObject *has) {
    PyObject *outer_dict = g_fast_ok ? instance_dict(enforcer.ptr()) : nullptr;
    PyObject *inner = own_attr(outer_dict, n->inner);
    PyObject *inner_dict = inner ? instance_dict(inner) : nullptr;
    return inner_dict && attr_or_null(inner, n->watcher).ptr() == Py_None && attr_or_null(enforcer, n->write_lock) &&
           resolves_to(enforcer.ptr(), outer_dict, method, c.synced_change[k]) &&
           resolves_to(enforcer.ptr(), outer_dict, has, c.synced_has[k]) &&
           resolves_to(inner, inner_dict, method, c.enforcer_change[k]);
}

} // namespace

// ---------------------------------------------------------------------------

ExitSafeLock::ExitSafeLock(pthread_mutex_t &mu) : mu_(mu) {
    if (pthread_mutex_trylock(&mu_) == 0) {
        held_ = true;
        return;
    }
    if (interpreter_finalizing())
        return;
    GilReleased nogil;
    pthread_mutex_lock(&mu_);
    held_ = true;
}

ExitSafeLock::~ExitSafeLock() {
    if (held_)
        pthread_mutex_unlock(&mu_);
}

void policy_init(const std::string &module) {
    n = new Names();
    g_tracked_of = new std::unordered_map<PyObject *, PyObject *>();
    g_original_of = new std::unordered_map<PyObject *, PyObject *>();
    g_states = new std::unordered_map<PyObject *, std::shared_ptr<State>>();

    // Anything missing leaves the fast paths off: casbin then answers every request.
    auto lookup = [](const char *module, const char *name, const char *member = nullptr) -> PyObject * {
        try {
            py::object obj = get_attr(steal(guarded([&] { return PyImport_ImportModule(module); })), name);
            if (member) {
                if (!PyType_Check(obj.ptr()))
                    return nullptr;
                // the class's own entry, not one it inherits
                PyObject *own = own_attr(reinterpret_cast<PyTypeObject *>(obj.ptr())->tp_dict, interned(member));
                return Py_XNewRef(own);
            }
            return obj.release().ptr(); // kept for the life of the process
        } catch (py::error_already_set &) {
            return nullptr;
        }
    };
    struct Wanted {
        PyObject **slot;
        const char *module, *name, *member;
    };
    const Wanted wanted[] = {
        {&c.synced_enforce, "casbin.synced_enforcer", "SyncedEnforcer", "enforce"},
        {&c.synced_load_policy, "casbin.synced_enforcer", "SyncedEnforcer", "load_policy"},
        {&c.core_enforce, "casbin.core_enforcer", "CoreEnforcer", "enforce"},
        {&c.core_enforce_ex, "casbin.core_enforcer", "CoreEnforcer", "enforce_ex"},
        {&c.core_load_policy, "casbin.core_enforcer", "CoreEnforcer", "load_policy"},
        {&c.model_type, "casbin.model", "Model", nullptr},
        {&c.assertion_type, "casbin.model.assertion", "Assertion", nullptr},
        {&c.rm_type, "casbin.rbac.default_role_manager.role_manager", "RoleManager", nullptr},
        {&c.role_type, "casbin.rbac.default_role_manager.role_manager", "Role", nullptr},
        {&c.allow_override_type, "casbin.effect.default_effectors", "AllowOverrideEffector", nullptr},
        {&c.function_map_type, "casbin.model.function", "FunctionMap", nullptr},
        {&c.key_match_func, "casbin.util", "key_match_func", nullptr},
        {&c.deepcopy, "copy", "deepcopy", nullptr},
        {&c.rwlock_type, "casbin.util.rwlock", "RWLockWrite", nullptr},
    };
    for (const Wanted &w : wanted)
        *w.slot = lookup(w.module, w.name, w.member);
    PyObject *enforcer_type = lookup("casbin.enforcer", "Enforcer");
    bool changes_known = enforcer_type && PyType_Check(enforcer_type);
    for (size_t k = 0; k < 4; ++k) {
        c.synced_change[k] = lookup("casbin.synced_enforcer", "SyncedEnforcer", kChanges[k].method);
        c.synced_has[k] = lookup("casbin.synced_enforcer", "SyncedEnforcer", kChanges[k].has);
        c.enforcer_change[k] = changes_known
                                   ? Py_XNewRef(_PyType_Lookup(reinterpret_cast<PyTypeObject *>(enforcer_type),
                                                               interned(kChanges[k].method)))
                                   : nullptr;
        changes_known = changes_known && c.synced_change[k] && c.synced_has[k] && c.enforcer_change[k];
    }
    g_tracked_method_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&tracked_type));
    g_forget = PyCFunction_New(&forget_state_def, nullptr);
    PyErr_Clear();
    g_fast_ok = c.synced_enforce && c.synced_load_policy && c.core_enforce && c.core_enforce_ex && c.core_load_policy &&
                c.model_type && c.assertion_type && c.rm_type && c.role_type && c.allow_override_type &&
                c.function_map_type && c.key_match_func && c.deepcopy && g_tracked_method_type && g_forget &&
                changes_known;
    static bool fork_handler = (pthread_atfork(nullptr, nullptr, &reset_in_child), true);
    (void)fork_handler;
    if (c.rwlock_type)
        call(get_attr(py::module_::import("os"), "register_at_fork"),
             py::arg("after_in_child") = native_function<reset_casbin_locks>(
                 module, "_reset_casbin_locks", {}, "Make casbin's locks anew in a forked child."));
}

py::object apply_change(py::handle enforcer, Change which, const py::tuple &args) {
    const size_t k = static_cast<size_t>(which);
    const ChangeMethod &change = kChanges[k];
    PyObject *method = interned(change.method), *has = interned(change.has);
    if (!changes_table_first(enforcer, k, method, has)) // the enforcer's own method, whatever it does
        return call(get_attr(enforcer, method), *args);

    ExitSafeLock lock(g_change_mu);
    if (!lock.held())
        raise(PyExc_RuntimeError, "policy change refused: the interpreter is shutting down");
    const std::shared_ptr<State> owner = known_state(enforcer.ptr());
    py::object inner = get_attr(enforcer, n->inner);
    const bool in_memory = is_true(call(get_attr(enforcer, has), *args));
    py::object adapter = get_attr(inner, n->adapter);
    // casbin writes the table only for a rule that changes the in-memory policy
    const bool write =
        !adapter.is_none() && is_true(get_attr(inner, n->auto_save)) && (change.adds ? !in_memory : in_memory);
    py::object written;
    if (write) {
        py::str ptype(change.ptype);
        try {
            written = fast_call_method(adapter, change.adds ? n->add_policy : n->remove_policy,
                                       {ptype, ptype, py::list(args)});
        } catch (py::error_already_set &) {
            Section refused(owner); // the policy stays as it was; cached decisions go all the same
            throw;
        }
    }
    py::object rst = change_in_memory(get_attr(enforcer, n->write_lock), inner, method, args, owner);
    // casbin reports False when the adapter says it changed nothing
    return written.ptr() == Py_False ? py::object(py::bool_(false)) : rst;
}

void prepare_enforcer(py::handle enforcer) {
    if (!g_fast_ok)
        return;
    if (auto st = state_for(enforcer.ptr()))
        take_snapshot(enforcer.ptr(), *st);
}

void refresh_index(py::handle enforcer) {
    if (!g_fast_ok)
        return;
    std::shared_ptr<State> st = known_state(enforcer.ptr());
    PyObject *outer_dict = st ? instance_dict(enforcer.ptr()) : nullptr;
    if (outer_dict && !snapshot_holds(*st, enforcer.ptr(), outer_dict))
        take_snapshot(enforcer.ptr(), *st);
}

PyObject *fast_decision(PyObject *enforcer, PyObject *sub, PyObject *obj, PyObject *act) {
    if (!g_fast_ok)
        return nullptr;
    std::shared_ptr<State> st = state_for(enforcer);
    PyObject *outer_dict = st ? instance_dict(enforcer) : nullptr;
    if (!outer_dict)
        return nullptr;
    if (!snapshot_holds(*st, enforcer, outer_dict) && !take_snapshot(enforcer, *st))
        return nullptr;
    std::shared_ptr<const Index> index = st->snap.index;
    std::string_view s, o, a;
    if (!index || !utf8_of(sub, s) || !utf8_of(obj, o) || !utf8_of(act, a))
        return nullptr;
    if (!st->unchanged_since(st->cache_own, st->cache_any)) {
        st->cache.clear();
        st->cache_own = st->own.ended;
        st->cache_any = g_any.ended;
    }
    const uint64_t h = request_hash(sub, obj, act);
    if (const bool *cached = st->cache.find(h, s, o, a))
        return *cached ? Py_True : Py_False;
    const bool allow = index->decide(s, o, a);
    st->cache.put(h, s, o, a, allow);
    return allow ? Py_True : Py_False;
}

bool reload_beside(py::handle enforcer) {
    if (!g_fast_ok)
        return false;
    for (int attempt = 0; attempt < kBesideAttempts; ++attempt) {
        PyObject *outer_dict = instance_dict(enforcer.ptr());
        py::object inner = py::reinterpret_borrow<py::object>(own_attr(outer_dict, n->inner));
        PyObject *inner_dict = inner ? instance_dict(inner.ptr()) : nullptr;
        if (!inner_dict || !reloads_beside(enforcer.ptr(), outer_dict, inner, inner_dict))
            return false;
        // Changes to this enforcer while the table is read would be lost by the swap.
        const std::shared_ptr<State> owner = known_state(enforcer.ptr());
        const uint64_t own_start = owner ? owner->own.ended : 0, any_start = g_any.ended;
        py::object live_model = get_attr(inner, n->model), live_rm_map = get_attr(inner, n->rm_map);
        Beside next = build_beside(inner, live_model, live_rm_map);

        // The swap, under casbin's write lock: its readers and writers wait for a few
        // assignments only.
        bool swapped = false;
        with_block(get_attr(enforcer, n->write_lock), [&](py::handle) {
            // A change made here while the table was read would be lost by the swap:
            // then the read starts again.
            if ((owner ? !owner->unchanged_since(own_start, any_start) : g_any.ended != any_start) ||
                attr_or_null(inner, n->model).ptr() != live_model.ptr())
                return py::none();
            bool ok = track(next.model);
            for (auto entry : py::reinterpret_borrow<py::dict>(next.rm_map))
                ok = ok && track(entry.second);
            if (!ok)
                return py::none();
            {
                Section swap(owner);
                set_attr(inner, n->model, next.model);
                for (auto entry : py::reinterpret_borrow<py::dict>(next.rm_map))
                    if (guarded([&] {
                            return PyDict_SetItem(live_rm_map.ptr(), entry.first.ptr(), entry.second.ptr());
                        }) < 0)
                        throw_pending();
            }
            swapped = true;
            // The index built beside answers from now on, without a rebuild.
            if (owner) {
                Snapshot &snap = owner->snap;
                if (owner->have_snapshot && snap.inner == inner.ptr() && next.index) {
                    snap.model = next.model.ptr();
                    snap.role_managers.clear();
                    for (auto entry : py::reinterpret_borrow<py::dict>(next.rm_map))
                        snap.role_managers.push_back(entry.second.ptr());
                    snap.own_version = owner->own.ended;
                    snap.any_version = g_any.ended;
                    snap.index = std::move(next.index);
                } else {
                    owner->have_snapshot = false;
                }
            }
            return py::none();
        });
        if (!swapped)
            continue;
        drop(live_model); // after the lock: the old rules go with it
        return true;
    }
    return false; // changes kept coming: casbin's own reload, under its lock
}

} // namespace kestrum::permward
