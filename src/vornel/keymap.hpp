// The key map of a CSV data set: key bytes -> group id, shared by the threads that scan.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace vornel {

// A growable byte or record buffer from malloc: no exceptions, no constructors. A `huge`
// one is read at random (a key map's arena): past 2 MiB it lives in memory the kernel may
// back with huge pages, where random reads miss the TLB far less.
struct RawBuffer {
    unsigned char *data = nullptr;
    size_t size = 0, cap = 0;
    bool huge = false;

    bool reserve(size_t n) noexcept;  // room for n more bytes
    bool append(const void *p, size_t n) noexcept;
    void release() noexcept;
};

// 64 bits of a byte string, well mixed: the map's buckets and shards come from it.
uint64_t key_hash(const unsigned char *p, size_t n) noexcept;

// Memory for a table read at random: from 2 MiB on, aligned to 2 MiB and advised for huge
// pages. Freed with std::free.
void *table_alloc(size_t bytes) noexcept;

// Key bytes (a key, or the encoded tuple of several) -> group id. Ids are handed out in
// the order threads first meet keys, and each key keeps the smallest position it was met
// at (range number and row), so that groups can be put in order of first appearance in the
// input once it is read, whatever the threads' timing. Sharded by hash, a lock per shard.
class KeyMap {
public:
    // Enough shards that threads seldom wait on one another, few enough that a large map's
    // shards are megabytes each (huge pages).
    static constexpr int kShards = 16;
    static constexpr int32_t kMaxIds = 0x7FFFFFFF;

    KeyMap() noexcept = default;
    KeyMap(const KeyMap &) = delete;
    KeyMap &operator=(const KeyMap &) = delete;
    ~KeyMap() { release(); }

    // The id of a key met at pos; -1 when memory ran out, -2 past kMaxIds ids.
    int32_t id_of(const unsigned char *key, uint32_t len, uint64_t hash, uint64_t pos) noexcept;
    // Starts loading the slot where a key of this hash is looked for, without the lock: a
    // scanner asks a few records ahead, so that the map's cache misses overlap.
    void prefetch(uint64_t hash) const noexcept {
        const Shard &s = shards_[hash & (kShards - 1)];
        const Slot *slots = __atomic_load_n(&s.slots, __ATOMIC_RELAXED);
        const uint64_t mask = __atomic_load_n(&s.mask, __ATOMIC_RELAXED);
        // A table being replaced may be read here: prefetching never faults.
        if (slots) __builtin_prefetch(slots + ((hash >> 6) & mask));
    }
    int64_t size() const noexcept { return next_.load(std::memory_order_relaxed); }

    struct Key {
        uint64_t first;  // the position it was first met at
        int32_t id;
        const unsigned char *bytes;
        uint32_t len;
    };
    // Every key, into out (room for size() of them), in order of first appearance.
    void ordered(Key *out) const noexcept;
    void release() noexcept;

private:
    struct Slot {
        uint64_t hash;
        uint64_t first;
        uint64_t off;  // of the key bytes in the shard's arena
        uint32_t len;
        int32_t id;    // -1: empty slot
    };
    struct Shard {
        std::mutex lock;
        Slot *slots = nullptr;
        uint64_t mask = 0, used = 0;  // slots - 1 (a power of two less one), taken
        RawBuffer arena{nullptr, 0, 0, true};
    };
    bool grow(Shard &s) noexcept;

    Shard shards_[kShards];
    std::atomic<int32_t> next_{0};
};

}  // namespace vornel
