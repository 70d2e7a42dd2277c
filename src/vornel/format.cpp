// Format matching: reads a buffer format string left to right against one element type.
#include "format.hpp"

#include <limits>

namespace vornel {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

// Saturating arithmetic: counts and offsets from hostile strings must not overflow.
int64_t sat_add(int64_t a, int64_t b) noexcept { return a > kMax - b ? kMax : a + b; }
int64_t sat_mul(int64_t a, int64_t b) noexcept {
    if (a == 0 || b == 0) return 0;
    return a > kMax / b ? kMax : a * b;
}

struct Code {
    Kind kind;
    int64_t native_size;
    int64_t native_align;
    int64_t std_size;  // 0: no standard size, so never a match in '=' or '<' mode
    const char *desc;
};

// Native sizes are this platform's, as the struct module's native mode defines them.
bool lookup(char c, bool complex, Code &out) noexcept {
    if (complex) {
        switch (c) {
        case 'f': out = {Kind::Complex, 2 * sizeof(float), alignof(float), 8, "'complex float'"}; return true;
        case 'd': out = {Kind::Complex, 2 * sizeof(double), alignof(double), 16, "'complex double'"}; return true;
        case 'g':
            out = {Kind::Complex, 2 * sizeof(long double), alignof(long double), 0,
                   "'complex long double'"};
            return true;
        default: return false;
        }
    }
    switch (c) {
    case '?': out = {Kind::UnsignedInt, sizeof(bool), alignof(bool), 1, "'bool'"}; return true;
    case 'c': out = {Kind::Character, 1, 1, 1, "'char'"}; return true;
    case 'b': out = {Kind::SignedInt, 1, 1, 1, "'signed char'"}; return true;
    case 'B': out = {Kind::UnsignedInt, 1, 1, 1, "'unsigned char'"}; return true;
    case 'h': out = {Kind::SignedInt, sizeof(short), alignof(short), 2, "'short'"}; return true;
    case 'H': out = {Kind::UnsignedInt, sizeof(short), alignof(short), 2, "'unsigned short'"}; return true;
    case 'i': out = {Kind::SignedInt, sizeof(int), alignof(int), 4, "'int'"}; return true;
    case 'I': out = {Kind::UnsignedInt, sizeof(int), alignof(int), 4, "'unsigned int'"}; return true;
    case 'l': out = {Kind::SignedInt, sizeof(long), alignof(long), 4, "'long'"}; return true;
    case 'L': out = {Kind::UnsignedInt, sizeof(long), alignof(long), 4, "'unsigned long'"}; return true;
    case 'q': out = {Kind::SignedInt, sizeof(long long), alignof(long long), 8, "'long long'"}; return true;
    case 'Q':
        out = {Kind::UnsignedInt, sizeof(long long), alignof(long long), 8, "'unsigned long long'"};
        return true;
    case 'f': out = {Kind::Real, sizeof(float), alignof(float), 4, "'float'"}; return true;
    case 'd': out = {Kind::Real, sizeof(double), alignof(double), 8, "'double'"}; return true;
    case 'g': out = {Kind::Real, sizeof(long double), alignof(long double), 0, "'long double'"}; return true;
    case 'O': out = {Kind::Object, sizeof(void *), alignof(void *), 8, "Python object"}; return true;
    case 's':
    case 'p': out = {Kind::SignedInt, 1, 1, 1, "a string"}; return true;
    default: return false;
    }
}

// Structures recurse, and a repeated structure of pad bytes is read twice: cap both, so no
// format string can exhaust the stack or take time exponential in its length.
constexpr int kMaxDepth = 1024;
constexpr int64_t kMaxSteps = int64_t{1} << 22;

FormatResult ok() noexcept { return {FormatStatus::Match, 0, nullptr, 0, 0}; }
FormatResult fail(FormatStatus s, char ch = 0, const char *desc = nullptr) noexcept {
    return {s, ch, desc, 0, 0};
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

class Matcher {
public:
    Matcher(const char *fmt, ElemType e) noexcept : p_(fmt), want_(elem_info(e)) {}

    FormatResult run() noexcept {
        FormatResult r = sequence(false, 0);
        if (r.status != FormatStatus::Match) return r;
        if (!found_) return fail(FormatStatus::Mismatch, 0, "end");
        return ok();
    }

private:
    const char *p_;
    ElemInfo want_;
    char mode_ = '@';
    int64_t offset_ = 0;
    bool found_ = false;
    int dry_ = 0;  // > 0 while reading a structure repeated zero times: syntax only
    const char *found_desc_ = nullptr;
    int64_t steps_ = 0;

    // Reads items until the end of the string or, inside a structure, its '}'.
    FormatResult sequence(bool in_struct, int depth) noexcept {
        int64_t count = -1;  // -1: no repeat count written
        for (;;) {
            const char c = *p_;
            if (++steps_ > kMaxSteps) return fail(FormatStatus::TooDeep);
            switch (c) {
            case '\0':
                return ok();  // an unclosed structure ends with the string
            case ' ':
            case '\r':
            case '\n':
                ++p_;
                continue;
            case '@':
            case '^':
            case '=':
            case '<':
                mode_ = c;
                ++p_;
                continue;
            case '>':
            case '!':
                return fail(FormatStatus::BigEndian);
            case 'x':
                ++p_;
                if (!dry_) offset_ = sat_add(offset_, count < 0 ? 1 : count);
                count = -1;
                continue;
            case 'T': {
                ++p_;
                if (*p_ != '{') return fail(FormatStatus::ExpectBrace);
                ++p_;
                if (depth + 1 > kMaxDepth) return fail(FormatStatus::TooDeep);
                FormatResult r = structure(count < 0 ? 1 : count, depth + 1);
                if (r.status != FormatStatus::Match) return r;
                count = -1;
                continue;
            }
            case '}':
                if (!in_struct) return fail(FormatStatus::BadChar, c);
                ++p_;
                return ok();
            case ':': {
                const char *q = p_ + 1;
                while (*q && *q != ':') ++q;
                if (!*q) return fail(FormatStatus::BadChar, c);
                p_ = q + 1;
                continue;
            }
            case '(':
                if (count >= 0) return fail(FormatStatus::RepeatedArray);
                return shape();
            case 'Z': {
                Code code;
                if (!lookup(p_[1], true, code)) return fail(FormatStatus::ZChar, 'Z');
                p_ += 2;
                FormatResult r = item(code, count < 0 ? 1 : count);
                if (r.status != FormatStatus::Match) return r;
                count = -1;
                continue;
            }
            default:
                break;
            }
            if (is_digit(c)) {
                count = 0;
                while (is_digit(*p_)) count = sat_add(sat_mul(count, 10), *p_++ - '0');
                continue;
            }
            Code code;
            if (!lookup(c, false, code)) return fail(FormatStatus::BadChar, c);
            ++p_;
            FormatResult r = item(code, count < 0 ? 1 : count);
            if (r.status != FormatStatus::Match) return r;
            count = -1;
        }
    }

    // A structure's items read as if they stood outside it, `times` times over.
    FormatResult structure(int64_t times, int depth) noexcept {
        const char *body = p_;
        if (times == 0) {
            ++dry_;
            FormatResult r = sequence(true, depth);
            --dry_;
            return r;
        }
        const bool had_item = found_;
        FormatResult r = sequence(true, depth);
        if (r.status != FormatStatus::Match || times == 1) return r;
        // The item found in the first pass is the first counted item of the body, so the
        // second pass would stop at it again as an extra item.
        if (found_ && !had_item) return fail(FormatStatus::ExtraItem, 0, found_desc_);
        const int64_t before = offset_;
        p_ = body;
        r = sequence(true, depth);
        // Two passes either met a second item (an error already) or only pad bytes, whose
        // per-pass growth repeats: extrapolate instead of looping `times` times.
        if (r.status == FormatStatus::Match && times > 2 && !dry_)
            offset_ = sat_add(offset_, sat_mul(offset_ - before, times - 2));
        return r;
    }

    FormatResult item(const Code &code, int64_t count) noexcept {
        const bool native = mode_ == '@' || mode_ == '^';
        const int64_t size = native ? code.native_size : code.std_size;
        if (dry_) return ok();
        if (mode_ == '@' && offset_ % code.native_align != 0)
            offset_ = sat_add(offset_, code.native_align - offset_ % code.native_align);
        if (count == 0) return ok();
        if (found_) return fail(FormatStatus::ExtraItem, 0, code.desc);
        if (code.kind != want_.kind || size != static_cast<int64_t>(want_.size))
            return fail(FormatStatus::Mismatch, 0, code.desc);
        if (offset_ != 0) return {FormatStatus::Offset, 0, nullptr, offset_, 0};
        if (count > 1) return fail(FormatStatus::ExtraItem, 0, code.desc);
        found_ = true;
        found_desc_ = code.desc;
        offset_ = sat_add(offset_, size);
        return ok();
    }

    // Called at '(' with no repeat count: no element type has sub-array dimensions, so
    // every shape fails; only the message depends on how well-formed it is.
    FormatResult shape() noexcept {
        ++p_;
        int64_t ndims = 0;
        for (;;) {
            while (*p_ == ' ') ++p_;
            if (!is_digit(*p_)) {
                if (*p_ == '\0') return fail(FormatStatus::ShapeEnd);
                return fail(FormatStatus::BadChar, *p_);
            }
            while (is_digit(*p_)) ++p_;
            ndims = sat_add(ndims, 1);
            while (*p_ == ' ') ++p_;
            if (*p_ == ',') {
                ++p_;
                continue;
            }
            if (*p_ == ')') return {FormatStatus::SubarrayDims, 0, nullptr, 0, ndims};
            if (*p_ == '\0') return fail(FormatStatus::ShapeEnd);
            return fail(FormatStatus::ExpectComma, *p_);
        }
    }
};

}  // namespace

FormatResult match_format(const char *fmt, ElemType e) noexcept {
    return Matcher(fmt ? fmt : "B", e).run();
}

}  // namespace vornel
