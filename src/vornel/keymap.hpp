// The key map of a CSV data set: key bytes -> group id, shared by the threads that scan.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace vornel {

// A growable byte or record buffer from malloc: no exceptions, no constructors.
struct RawBuffer {
    unsigned char *data = nullptr;
    size_t size = 0, cap = 0;

    bool reserve(size_t n) noexcept;  // room for n more bytes
    bool append(const void *p, size_t n) noexcept;
    void release() noexcept;
};

// 64 bits of a byte string, well mixed: the map's buckets and shards come from it.
uint64_t key_hash(const unsigned char *p, size_t n) noexcept;

// Key bytes (a key, or the encoded tuple of several) -> group id. Ids are handed out in
// the order threads first meet keys, and each key keeps the smallest position it was met
// at (range number and row), so that groups can be put in order of first appearance in the
// input once it is read, whatever the threads' timing. Sharded by hash, a lock per shard.
class KeyMap {
public:
    static constexpr int kShards = 64;
    static constexpr int32_t kMaxIds = 0x7FFFFFFF;

    KeyMap() noexcept = default;
    KeyMap(const KeyMap &) = delete;
    KeyMap &operator=(const KeyMap &) = delete;
    ~KeyMap() { release(); }

    // The id of a key met at pos; -1 when memory ran out, -2 past kMaxIds ids.
    int32_t id_of(const unsigned char *key, uint32_t len, uint64_t hash, uint64_t pos) noexcept;
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
        RawBuffer arena;
    };
    bool grow(Shard &s) noexcept;

    Shard shards_[kShards];
    std::atomic<int32_t> next_{0};
};

}  // namespace vornel
