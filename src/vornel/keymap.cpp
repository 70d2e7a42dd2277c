// The key map of a CSV data set: sharded open addressing over key bytes, ids by first sight.
#include "keymap.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vornel {

constexpr size_t kHugePage = size_t{2} << 20;

void *table_alloc(size_t bytes) noexcept {
    if (bytes < kHugePage) return std::malloc(bytes);
    const size_t whole = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void *p = std::aligned_alloc(kHugePage, whole);
    // Only advice: where the kernel has no huge pages to give, nothing changes.
    if (p) madvise(p, whole, MADV_HUGEPAGE);
    return p;
}

bool RawBuffer::reserve(size_t n) noexcept {
    if (size + n <= cap) return true;
    size_t want = cap ? cap * 2 : 4096;
    while (want < size + n) want *= 2;
    unsigned char *grown;
    if (huge && want >= kHugePage) {
        grown = static_cast<unsigned char *>(table_alloc(want));
        if (grown && size) std::memcpy(grown, data, size);
        if (grown) std::free(data);
    } else {
        grown = static_cast<unsigned char *>(std::realloc(data, want));
    }
    if (!grown) return false;
    data = grown;
    cap = want;
    return true;
}

bool RawBuffer::append(const void *p, size_t n) noexcept {
    if (!reserve(n)) return false;
    if (n) std::memcpy(data + size, p, n);
    size += n;
    return true;
}

void RawBuffer::release() noexcept {
    std::free(data);
    const bool keep = huge;
    *this = RawBuffer();
    huge = keep;
}

namespace {

constexpr uint64_t kMul = 0x9E3779B97F4A7C15u;

uint64_t load8(const unsigned char *p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

uint64_t mix(uint64_t a, uint64_t b) noexcept {
    const __uint128_t m = static_cast<__uint128_t>(a) * b;
    return static_cast<uint64_t>(m) ^ static_cast<uint64_t>(m >> 64);
}

}  // namespace

uint64_t key_hash(const unsigned char *p, size_t n) noexcept {
    // Eight bytes at a time through a 128-bit multiply, folded: keys are short, and this
    // costs a few cycles per eight bytes.
    uint64_t h = mix(n ^ kMul, 0xD6E8FEB86659FD93u);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) h = mix(h ^ load8(p + i), kMul);
    if (i < n) {
        uint64_t tail = 0;
        std::memcpy(&tail, p + i, n - i);
        h = mix(h ^ tail, kMul ^ 0xA0761D6478BD642Fu);
    }
    return mix(h, 0xE7037ED1A0B428DBu);
}

bool KeyMap::grow(Shard &s) noexcept {
    const uint64_t n = s.mask ? (s.mask + 1) * 2 : 256;
    auto *fresh = static_cast<Slot *>(table_alloc(n * sizeof(Slot)));
    if (!fresh) return false;
    for (uint64_t i = 0; i < n; ++i) fresh[i].id = -1;
    for (uint64_t i = 0; s.mask && i <= s.mask; ++i) {
        if (s.slots[i].id < 0) continue;
        uint64_t at = (s.slots[i].hash >> 6) & (n - 1);
        while (fresh[at].id >= 0) at = (at + 1) & (n - 1);
        fresh[at] = s.slots[i];
    }
    std::free(s.slots);
    // Atomic stores: `prefetch` reads both without the lock (only to prefetch).
    __atomic_store_n(&s.slots, fresh, __ATOMIC_RELAXED);
    __atomic_store_n(&s.mask, n - 1, __ATOMIC_RELAXED);
    return true;
}

int32_t KeyMap::id_of(const unsigned char *key, uint32_t len, uint64_t hash,
                      uint64_t pos) noexcept {
    Shard &s = shards_[hash & (kShards - 1)];  // the low bits pick the shard, the rest a slot
    std::lock_guard<std::mutex> hold(s.lock);
    if ((s.used + 1) * 4 > (s.mask + 1) * 3 && !grow(s)) return -1;
    uint64_t at = (hash >> 6) & s.mask;
    for (;; at = (at + 1) & s.mask) {
        Slot &slot = s.slots[at];
        if (slot.id < 0) break;
        if (slot.hash == hash && slot.len == len &&
            (len == 0 || std::memcmp(s.arena.data + slot.off, key, len) == 0)) {
            if (pos < slot.first) slot.first = pos;
            return slot.id;
        }
    }
    const int32_t id = next_.fetch_add(1, std::memory_order_relaxed);
    if (id == kMaxIds) {
        next_.fetch_sub(1, std::memory_order_relaxed);
        return -2;
    }
    const uint64_t off = s.arena.size;
    if (!s.arena.append(key, len)) {
        // The id is spent: ids stay dense only up to a failure, which ends the data set.
        return -1;
    }
    s.slots[at] = Slot{hash, pos, off, len, id};
    ++s.used;
    return id;
}

void KeyMap::ordered(Key *out) const noexcept {
    size_t n = 0;
    for (const Shard &s : shards_)
        for (uint64_t i = 0; s.mask && i <= s.mask; ++i)
            if (s.slots[i].id >= 0)
                out[n++] = Key{s.slots[i].first, s.slots[i].id, s.arena.data + s.slots[i].off,
                               s.slots[i].len};
    std::sort(out, out + n, [](const Key &a, const Key &b) { return a.first < b.first; });
}

void KeyMap::release() noexcept {
    for (Shard &s : shards_) {
        std::free(s.slots);
        __atomic_store_n(&s.slots, nullptr, __ATOMIC_RELAXED);
        __atomic_store_n(&s.mask, uint64_t{0}, __ATOMIC_RELAXED);
        s.used = 0;
        s.arena.release();
    }
    next_.store(0, std::memory_order_relaxed);
}

}  // namespace vornel
