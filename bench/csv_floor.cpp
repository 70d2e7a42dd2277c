// The native floor of `vornel describe --group-by`: a plain program that reads a CSV of a text
// key then numeric columns on T threads and prints each group's statistics as CSV.
//
//     csv_floor FILE [THREADS]
//
// No tuning and no dialect beyond the benchmark's files (no quotes, LF line ends, every cell a
// number): the file mapped, each thread parses its share of the lines (memchr for fields,
// std::from_chars for numbers, an open-addressing map of its keys), then one fold per column
// runs in file order with the project's own update step: its numbers are vornel's bit for bit.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "moments.hpp"
#include "numformat.hpp"

namespace {

// Keys to dense ids in order of first appearance: open addressing, FNV-1a, linear probing.
struct KeyMap {
    std::vector<int32_t> slots = std::vector<int32_t>(1 << 12, -1);
    std::vector<std::string_view> keys;

    static uint64_t hash(std::string_view k) {
        uint64_t h = 1469598103934665603u;
        for (const char c : k) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211u;
        return h;
    }
    int32_t id(std::string_view k) {
        size_t mask = slots.size() - 1, i = hash(k) & mask;
        for (; slots[i] >= 0; i = (i + 1) & mask)
            if (keys[static_cast<size_t>(slots[i])] == k) return slots[i];
        const auto id = static_cast<int32_t>(keys.size());
        slots[i] = id;
        keys.push_back(k);
        if (2 * keys.size() > slots.size()) grow();
        return id;
    }
    void grow() {
        std::vector<int32_t> old(slots.size() * 2, -1);
        old.swap(slots);
        const size_t mask = slots.size() - 1;
        for (size_t id = 0; id < keys.size(); ++id) {
            size_t i = hash(keys[id]) & mask;
            while (slots[i] >= 0) i = (i + 1) & mask;
            slots[i] = static_cast<int32_t>(id);
        }
    }
};

// One thread's share: its keys, each row's key id, and each value column.
struct Part {
    KeyMap map;
    std::vector<int32_t> ids;
    std::vector<std::vector<double>> values;
};

void parse(const char *p, const char *end, size_t n_values, Part &part) {
    part.values.resize(n_values);
    const auto rows = static_cast<size_t>(end - p) / (8 * (n_values + 1)) + 1;  // about
    part.ids.reserve(rows);
    for (auto &v : part.values) v.reserve(rows);
    while (p < end) {
        const char *eol = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        if (!eol) eol = end;
        const char *comma = static_cast<const char *>(std::memchr(p, ',', size_t(eol - p)));
        if (!comma) comma = eol;
        part.ids.push_back(part.map.id(std::string_view(p, size_t(comma - p))));
        p = comma;
        for (size_t v = 0; v < n_values; ++v) {
            double x = 0.0;
            const char *field = p < eol ? p + 1 : eol;
            const char *stop = static_cast<const char *>(
                std::memchr(field, ',', size_t(eol - field)));
            if (!stop) stop = eol;
            std::from_chars(field, stop, x);
            part.values[v].push_back(x);
            p = stop;
        }
        p = eol + 1;
    }
}

// The offset just past the line break at or after `at`.
size_t next_line(const char *data, size_t size, size_t at) {
    const void *nl = at < size ? std::memchr(data + at, '\n', size - at) : nullptr;
    return nl ? size_t(static_cast<const char *>(nl) - data) + 1 : size;
}

void print_number(std::string &out, double x) {
    char text[40];
    out.append(text, vornel::format_arrow(x, text));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: csv_floor FILE [THREADS]\n");
        return 2;
    }
    const size_t threads = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 2;
    const int fd = open(argv[1], O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) < 0) return 1;
    const auto size = static_cast<size_t>(st.st_size);
    // Mapped, not read: the page cache's pages are used in place, with no copy.
    void *map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) return 1;
    madvise(map, size, MADV_SEQUENTIAL);
    const char *data = static_cast<const char *>(map);
    const size_t body = next_line(data, size, 0);
    std::vector<std::string_view> names;
    for (size_t a = 0, b; a < body; a = b + 1) {
        b = a;
        while (b < body && data[b] != ',' && data[b] != '\n') ++b;
        names.emplace_back(data + a, b - a);
    }
    const size_t n_values = names.size() - 1;

    std::vector<Part> parts(threads);
    std::vector<std::thread> pool;
    for (size_t t = 0, lo = body; t < threads; ++t) {
        const size_t share = body + (size - body) * (t + 1) / threads;
        const size_t hi = t + 1 == threads ? size : next_line(data, size, share);
        pool.emplace_back(parse, data + lo, data + hi, n_values, std::ref(parts[t]));
        lo = hi;
    }
    for (auto &th : pool) th.join();

    // Each part's ids to the data set's, numbered by first appearance in file order.
    KeyMap all;
    std::vector<std::vector<int32_t>> to_all(threads);
    for (size_t t = 0; t < threads; ++t)
        for (const auto &k : parts[t].map.keys) to_all[t].push_back(all.id(k));
    const size_t groups = all.keys.size();

    std::string out = std::string(names[0]) + ",column,count,sum,mean,min,max,var,std\n";
    std::vector<std::vector<vornel::Moments>> recs(n_values);
    for (size_t v = 0; v < n_values; ++v) {
        recs[v].resize(groups);
        for (auto &r : recs[v]) vornel::moments_init(r);
        for (size_t t = 0; t < threads; ++t) {
            const auto &ids = parts[t].ids;
            const auto &x = parts[t].values[v];
            for (size_t i = 0; i < ids.size(); ++i)
                vornel::moments_update(recs[v][size_t(to_all[t][size_t(ids[i])])], x[i]);
        }
    }
    for (size_t g = 0; g < groups; ++g)
        for (size_t v = 0; v < n_values; ++v) {
            const vornel::Moments &r = recs[v][g];
            const vornel::Finalised f = vornel::moments_finalise(r);
            out.append(all.keys[g]).append(",").append(names[v + 1]).append(",");
            out.append(std::to_string(r.count));
            for (const double x : {r.sum, r.mean, r.min, r.max, f.var, f.std}) {
                out += ',';
                print_number(out, x);
            }
            out += '\n';
        }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
