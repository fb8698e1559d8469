#pragma once
// A hash set or map (over std::unordered_set / std::unordered_map) that
// grows without a pause. A plain table rehashes every entry at once when it
// fills up, which at 100,000 found files holds the UI thread for tens of
// milliseconds in one turn. Here a table of twice the size takes over
// instead, and the entries of the full one move across a few per insertion
// (as node handles: nothing is copied or allocated), so no insertion pays
// for more than a handful of them.

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <type_traits>
#include <utility>

namespace tamsel::models {

template <class Table>
class SpreadTable {
public:
    using key_type = typename Table::key_type;
    using value_type = typename Table::value_type;

    // Walks the newer table, then the one still emptying into it.
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = typename Table::value_type;
        using difference_type = std::ptrdiff_t;
        using pointer = const value_type*;
        using reference = const value_type&;
        const_iterator() = default;
        reference operator*() const { return *at_; }
        pointer operator->() const { return &*at_; }
        const_iterator& operator++() {
            ++at_;
            if (inNow_ && at_ == now_->end()) {
                inNow_ = false;
                at_ = old_->begin();
            }
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator before = *this;
            ++*this;
            return before;
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) {
            return a.inNow_ == b.inNow_ && a.at_ == b.at_;
        }

    private:
        friend class SpreadTable;
        const_iterator(const Table* now, const Table* old, typename Table::const_iterator at, bool inNow)
            : now_(now), old_(old), at_(at), inNow_(inNow) {}
        const Table* now_ = nullptr;
        const Table* old_ = nullptr;
        typename Table::const_iterator at_;
        bool inNow_ = false;
    };

    SpreadTable() = default;
    SpreadTable(std::initializer_list<value_type> items) {
        for (const auto& v : items) insert(v);
    }

    std::size_t size() const { return now_.size() + old_.size(); }
    bool empty() const { return now_.empty() && old_.empty(); }
    std::size_t count(const key_type& key) const { return now_.count(key) + old_.count(key); }
    bool contains(const key_type& key) const { return count(key) != 0; }

    // The entry of `key`, or null.
    const value_type* find(const key_type& key) const {
        if (auto it = now_.find(key); it != now_.end()) return &*it;
        if (auto it = old_.find(key); it != old_.end()) return &*it;
        return nullptr;
    }

    // False when `key` was already there (its entry is left as it was).
    bool insert(value_type value) {
        if (old_.empty() && now_.size() + 1 > static_cast<std::size_t>(static_cast<float>(now_.bucket_count()) * now_.max_load_factor())) {
            // Full: a table twice the size takes over. It has room for all the
            // entries it takes in before the old one is empty.
            old_.swap(now_);
            now_.reserve(2 * old_.size() + 16);
        }
        if (!old_.empty() && old_.count(keyOf(value))) return false;
        if (!now_.insert(std::move(value)).second) return false;
        moveSome();
        return true;
    }

    // Room for `count` entries at once, for work that touches them all anyway.
    void reserve(std::size_t count) {
        while (!old_.empty()) now_.insert(old_.extract(old_.begin()));
        now_.reserve(count);
    }

    std::size_t erase(const key_type& key) { return now_.erase(key) + old_.erase(key); }

    void clear() {
        now_.clear();
        old_.clear();
    }

    const_iterator begin() const {
        if (!now_.empty()) return {&now_, &old_, now_.cbegin(), true};
        return {&now_, &old_, old_.cbegin(), false};
    }
    const_iterator end() const { return {&now_, &old_, old_.cend(), false}; }

    friend bool operator==(const SpreadTable& a, const SpreadTable& b) {
        if (a.size() != b.size()) return false;
        for (const auto& v : a) {
            const value_type* other = b.find(keyOf(v));
            if (!other || !(*other == v)) return false;
        }
        return true;
    }

private:
    static const key_type& keyOf(const value_type& v) {
        if constexpr (std::is_same_v<key_type, value_type>) return v;
        else return v.first;
    }

    // Two per insertion: the old table is empty long before the new one fills.
    void moveSome() {
        for (int i = 0; i < 2 && !old_.empty(); ++i) now_.insert(old_.extract(old_.begin()));
    }

    Table now_;
    Table old_;  // entries still moving into now_
};

}  // namespace tamsel::models
