// An insertion-ordered map: iteration follows the order in which each key was first added;
// assigning to a key that is present keeps its place. Lookups are O(1) on average.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zyl {

template <typename K, typename V>
class OrderedMap {
 public:
  using value_type = std::pair<K, V>;
  using iterator = typename std::vector<value_type>::iterator;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  // Sets `key` to `value`; a new key goes to the end, an existing one keeps its place.
  void set(const K& key, V value) {
    auto it = index_.find(key);
    if (it != index_.end()) {
      entries_[it->second].second = std::move(value);
      return;
    }
    index_.emplace(key, entries_.size());
    entries_.emplace_back(key, std::move(value));
  }

  // Reference to the value of `key`, default-constructed and appended when missing.
  V& operator[](const K& key) {
    auto it = index_.find(key);
    if (it != index_.end()) return entries_[it->second].second;
    index_.emplace(key, entries_.size());
    entries_.emplace_back(key, V{});
    return entries_.back().second;
  }

  // Pointer to the value of `key`, or nullptr.
  const V* get(const K& key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }
  V* get(const K& key) {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }
  const V& at(const K& key) const {
    const V* v = get(key);
    if (v == nullptr) throw std::out_of_range("key not found");
    return *v;
  }
  bool contains(const K& key) const { return index_.count(key) != 0; }

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void clear() {
    entries_.clear();
    index_.clear();
  }

  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  bool operator==(const OrderedMap& other) const { return entries_ == other.entries_; }

 private:
  std::vector<value_type> entries_;
  std::unordered_map<K, size_t> index_;
};

}  // namespace zyl
