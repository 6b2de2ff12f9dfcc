// Chained hash index over a window's list nodes, so a lookup costs the same
// however many reports a window holds.
//
// The index borrows its nodes: each node carries its own `same_bucket` link,
// the list that owns the nodes frees them, and clear() must be called when
// it does. Each window thread (thread_one, thread_two) owns one index and
// touches it alone, so there is no lock.
//
// Traits gives the node's type, the key looked up, and three static
// routines: key_of(node), hash(key) and matches(node, key).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace sensor_handler {

// FNV-1a, fed one byte at a time.
class Fnv1a {
 public:
  void mix(std::uint8_t byte) { hash_ = (hash_ ^ byte) * 16777619u; }
  void mix(const std::uint8_t *bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) mix(bytes[i]);
  }
  std::uint32_t value() const { return hash_; }

 private:
  std::uint32_t hash_ = 2166136261u;
};

template <typename Traits>
class NodeIndex {
 public:
  using Node = typename Traits::Node;
  using Key = typename Traits::Key;

  NodeIndex() = default;
  NodeIndex(const NodeIndex &) = delete;
  NodeIndex &operator=(const NodeIndex &) = delete;
  ~NodeIndex() { std::free(buckets_); }

  Node *find(const Key &key) const {
    if (bucket_count_ == 0) return nullptr;
    for (Node *node = buckets_[slot(key)]; node != nullptr; node = node->same_bucket) {
      if (Traits::matches(*node, key)) return node;
    }
    return nullptr;
  }

  // When no table can be had the node stays unindexed; the caller treats
  // that as it treats a node it could not allocate.
  void add(Node *node) {
    if (node_count_ >= bucket_count_) grow();
    if (bucket_count_ == 0) return;
    link(node);
    ++node_count_;
  }

  // The window's nodes are gone; a large table left by a burst is given back.
  void clear() {
    if (bucket_count_ > kept_bucket_count) {
      std::free(buckets_);
      buckets_ = nullptr;
      bucket_count_ = 0;
    } else if (buckets_ != nullptr) {
      std::memset(buckets_, 0, bucket_count_ * sizeof *buckets_);
    }
    node_count_ = 0;
  }

 private:
  static constexpr std::size_t first_bucket_count = 256;
  static constexpr std::size_t kept_bucket_count = 4096;

  std::size_t slot(const Key &key) const { return Traits::hash(key) & (bucket_count_ - 1); }

  void link(Node *node) {
    Node *&bucket = buckets_[slot(Traits::key_of(*node))];
    node->same_bucket = bucket;
    bucket = node;
  }

  // Doubles the table and rehashes the chains. When memory is short the old
  // table stays: chains only get longer, results stay the same.
  void grow() {
    const std::size_t count = bucket_count_ == 0 ? first_bucket_count : 2 * bucket_count_;
    auto *table = static_cast<Node **>(std::calloc(count, sizeof(Node *)));
    if (table == nullptr) return;
    Node **old = buckets_;
    const std::size_t old_count = bucket_count_;
    buckets_ = table;
    bucket_count_ = count;
    for (std::size_t i = 0; i < old_count; ++i) {
      for (Node *node = old[i]; node != nullptr;) {
        Node *following = node->same_bucket;
        link(node);
        node = following;
      }
    }
    std::free(old);
  }

  Node **buckets_ = nullptr;
  std::size_t bucket_count_ = 0;  // 0 or a power of two
  std::size_t node_count_ = 0;
};

}  // namespace sensor_handler
