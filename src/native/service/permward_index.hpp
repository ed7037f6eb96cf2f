// The decision index and cache for the package's model,
//     g(r.sub, p.sub) && keyMatch(r.obj, p.obj) && r.act == p.act, some(allow):
// plain C++ over UTF-8 text, holding no Python objects, so that neither needs the
// GIL to be dropped (at fork, at exit) and both are cheap to swap whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace kestrum::permward {

// The rule objects of one (role, action): keyMatch(obj, pattern) is equality for a
// pattern without "*", and "obj starts with the part before the first *" otherwise.
// Both relations hold for UTF-8 bytes as for code points.
class Bucket {
  public:
    void add(std::string_view pattern);
    bool match(std::string_view obj) const;

  private:
    std::unordered_set<std::string_view> exact_;
    std::vector<std::pair<size_t, std::unordered_set<std::string_view>>> prefixes_; // by length
    bool any_ = false;                                                              // a pattern starting with "*"
};

// The policy as casbin's matcher sees it: rules by (subject, action), and the role
// graph of casbin's default role manager, walked as it walks it.
class Index {
  public:
    // Copies `s` into the index; the view stays valid for the index's life.
    std::string_view keep(std::string_view s) { return arena_.emplace_back(s); }
    void add_rule(std::string_view sub, std::string_view obj, std::string_view act);

    // Role graph: one node per role object of the role manager (`key` is its
    // identity), `name` its name; `start` names the role a subject's name resolves to.
    int node_for(const void *key);
    void set_node(int id, std::string_view name) { nodes_[static_cast<size_t>(id)].name = keep(name); }
    void link(int from, int to) { nodes_[static_cast<size_t>(from)].next.push_back(to); }
    void set_start(std::string_view name, int id) { start_.emplace(keep(name), id); }
    // Roles up to this many links away count (casbin's hierarchy level minus one);
    // negative: none, not even the subject itself.
    void set_max_steps(long steps) { max_steps_ = steps; }
    // To be called once every rule and link is in.
    void finish();

    bool decide(std::string_view sub, std::string_view obj, std::string_view act) const;

  private:
    using Acts = std::unordered_map<std::string_view, Bucket>;
    struct Node {
        std::string_view name;
        const Acts *acts = nullptr;
        std::vector<int> next;
    };
    static bool match(const Acts &acts, std::string_view obj, std::string_view act);

    std::deque<std::string> arena_;
    std::unordered_map<std::string_view, Acts> rules_;
    std::vector<Node> nodes_;
    std::unordered_map<std::string_view, int> start_;
    std::unordered_map<const void *, int> node_of_; // while building only
    long max_steps_ = -1;
};

// Decisions already made for one version of the policy, by request.
class DecisionCache {
  public:
    static constexpr size_t kMaxEntries = 1 << 16;

    // The cached answer, or null. `h` is the request's hash.
    const bool *find(uint64_t h, std::string_view sub, std::string_view obj, std::string_view act) const;
    void put(uint64_t h, std::string_view sub, std::string_view obj, std::string_view act, bool allow);
    void clear() { map_.clear(); }

  private:
    struct Entry {
        std::string sub, obj, act;
        bool allow;
    };
    std::unordered_map<uint64_t, Entry> map_; // one entry per hash; a collision replaces
};

} // namespace kestrum::permward
