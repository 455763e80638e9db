#include "common/text.hpp"

namespace qb::text {
namespace {

// Returns the length of the valid sequence starting at `i`, or 0 with `bad` set to the
// length of the maximal invalid subpart (at least 1).
std::size_t decode_one(std::string_view s, std::size_t i, std::size_t& bad) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    bad = 1;
    if (c < 0x80) {
        return 1;
    }
    std::size_t need = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
    } else if (c == 0xE0) {
        need = 2;
        lo = 0xA0;
    } else if (c >= 0xE1 && c <= 0xEC) {
        need = 2;
    } else if (c == 0xED) {
        need = 2;
        hi = 0x9F;
    } else if (c >= 0xEE && c <= 0xEF) {
        need = 2;
    } else if (c == 0xF0) {
        need = 3;
        lo = 0x90;
    } else if (c >= 0xF1 && c <= 0xF3) {
        need = 3;
    } else if (c == 0xF4) {
        need = 3;
        hi = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) {
            bad = k;
            return 0;
        }
        unsigned char t = b(i + k);
        unsigned char l = k == 1 ? lo : 0x80;
        unsigned char h = k == 1 ? hi : 0xBF;
        if (t < l || t > h) {
            bad = k;
            return 0;
        }
    }
    return need + 1;
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The valid sequence of `n` bytes at `i` encodes a control character: C0 and DEL take
// one byte, the C1 controls two (C2 80 to C2 9F).
bool encodes_control(std::string_view s, std::size_t i, std::size_t n) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    if (n == 1) {
        return is_control(b(i));
    }
    return n == 2 && b(i) == 0xC2 && b(i + 1) <= 0x9F;
}

std::string convert(std::string_view bytes, bool replace_controls) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t bad = 0;
        std::size_t n = decode_one(bytes, i, bad);
        if (n == 0) {
            out.append(kReplacement);
            i += bad;
            continue;
        }
        if (replace_controls && encodes_control(bytes, i, n)) {
            out.append(kReplacement);
        } else {
            out.append(bytes.substr(i, n));
        }
        i += n;
    }
    return out;
}

} // namespace

std::size_t char_length_at(std::string_view bytes, std::size_t i) {
    std::size_t bad = 0;
    std::size_t n = decode_one(bytes, i, bad);
    return n == 0 ? 1 : n;
}

bool is_utf8(std::string_view bytes) {
    return valid_utf8_prefix(bytes) == bytes.size();
}

std::size_t valid_utf8_prefix(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        std::size_t bad = 0;
        std::size_t n = decode_one(bytes, i, bad);
        if (n == 0) {
            return i;
        }
        i += n;
    }
    return i;
}

std::string lossy(std::string_view bytes) {
    return convert(bytes, false);
}

std::string printable(std::string_view bytes) {
    return convert(bytes, true);
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

} // namespace qb::text
