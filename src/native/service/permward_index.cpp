#include "service/permward_index.hpp"

#include <algorithm>

namespace kestrum::permward {

void Bucket::add(std::string_view pattern) {
    const size_t star = pattern.find('*');
    if (star == std::string_view::npos) {
        exact_.insert(pattern);
        return;
    }
    if (star == 0) {
        any_ = true;
        return;
    }
    for (auto &[len, set] : prefixes_)
        if (len == star) {
            set.insert(pattern.substr(0, star));
            return;
        }
    prefixes_.emplace_back(star, std::unordered_set<std::string_view>{pattern.substr(0, star)});
}

bool Bucket::match(std::string_view obj) const {
    if (any_ || exact_.count(obj))
        return true;
    for (const auto &[len, set] : prefixes_)
        if (obj.size() >= len && set.count(obj.substr(0, len)))
            return true;
    return false;
}

void Index::add_rule(std::string_view sub, std::string_view obj, std::string_view act) {
    rules_[keep(sub)][keep(act)].add(keep(obj));
}

int Index::node_for(const void *key) {
    auto [it, fresh] = node_of_.emplace(key, static_cast<int>(nodes_.size()));
    if (fresh)
        nodes_.emplace_back();
    return it->second;
}

void Index::finish() {
    for (Node &node : nodes_) {
        auto found = rules_.find(node.name);
        node.acts = found == rules_.end() ? nullptr : &found->second;
    }
    node_of_.clear();
}

bool Index::match(const Acts &acts, std::string_view obj, std::string_view act) {
    auto bucket = acts.find(act);
    return bucket != acts.end() && bucket->second.match(obj);
}

bool Index::decide(std::string_view sub, std::string_view obj, std::string_view act) const {
    if (max_steps_ < 0)
        return false;
    auto start = start_.find(sub);
    if (start == start_.end()) { // casbin makes an unknown name a role with no links
        auto own = rules_.find(sub);
        return own != rules_.end() && match(own->second, obj, act);
    }
    // The roles reachable within the hierarchy limit, breadth first, as casbin's role
    // manager walks them (a role seen again adds nothing).
    thread_local std::vector<uint32_t> marks;
    thread_local uint32_t stamp = 0;
    thread_local std::vector<int> frontier, next;
    if (marks.size() < nodes_.size())
        marks.assign(nodes_.size(), 0);
    if (++stamp == 0) {
        std::fill(marks.begin(), marks.end(), 0);
        stamp = 1;
    }
    frontier.assign(1, start->second);
    marks[static_cast<size_t>(start->second)] = stamp;
    for (long step = 0;; ++step) {
        for (int id : frontier) {
            const Node &node = nodes_[static_cast<size_t>(id)];
            if (node.acts && match(*node.acts, obj, act))
                return true;
        }
        if (step == max_steps_)
            return false;
        next.clear();
        for (int id : frontier)
            for (int to : nodes_[static_cast<size_t>(id)].next)
                if (marks[static_cast<size_t>(to)] != stamp) {
                    marks[static_cast<size_t>(to)] = stamp;
                    next.push_back(to);
                }
        if (next.empty())
            return false;
        frontier.swap(next);
    }
}

const bool *DecisionCache::find(uint64_t h, std::string_view sub, std::string_view obj, std::string_view act) const {
    auto it = map_.find(h);
    if (it == map_.end())
        return nullptr;
    const Entry &e = it->second;
    return e.sub == sub && e.obj == obj && e.act == act ? &e.allow : nullptr;
}

void DecisionCache::put(uint64_t h, std::string_view sub, std::string_view obj, std::string_view act, bool allow) {
    if (map_.size() >= kMaxEntries)
        map_.clear(); // requests with ever new objects must not grow it without bound
    map_[h] = Entry{std::string(sub), std::string(obj), std::string(act), allow};
}

} // namespace kestrum::permward
