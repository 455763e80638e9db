#include "docker/json_line.hpp"

#include <charconv>
#include <fmt/format.h>
#include <optional>

namespace qb {

namespace {

struct JsonError {
    const char* description;
    std::size_t column;
};

// A strict recursive-descent check of the JSON grammar. The recursion is bounded by
// the nesting limit.
class LineChecker {
public:
    explicit LineChecker(std::string_view s) : s_(s) {}

    std::optional<JsonError> check() {
        skip_space();
        if (value()) {
            skip_space();
            if (pos_ < s_.size()) {
                fail_here("trailing characters");
            }
        }
        return error_;
    }

private:
    bool at_end() const { return pos_ >= s_.size(); }
    char peek() const { return s_[pos_]; }

    bool fail(const char* description, std::size_t column) {
        if (!error_) {
            error_ = JsonError{description, column};
        }
        return false;
    }
    bool fail_here(const char* description) { return fail(description, pos_ + 1); }
    bool fail_end() { return fail("unexpected end of input", s_.size()); }

    void skip_space() {
        while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
            ++pos_;
        }
    }

    bool value() {
        skip_space();
        if (at_end()) {
            return fail_end();
        }
        switch (peek()) {
        case '{':
            return container('}');
        case '[':
            return container(']');
        case '"':
            return string();
        case 't':
            return literal("true");
        case 'f':
            return literal("false");
        case 'n':
            return literal("null");
        default:
            if (peek() == '-' || (peek() >= '0' && peek() <= '9')) {
                return number();
            }
            return fail_here("expected value");
        }
    }

    bool container(char close) {
        if (++depth_ > kJsonLineMaxDepth) {
            return fail_here("nesting too deep");
        }
        const bool object = close == '}';
        ++pos_;
        skip_space();
        if (!at_end() && peek() == close) {
            ++pos_;
            --depth_;
            return true;
        }
        for (;;) {
            if (object) {
                skip_space();
                if (at_end()) {
                    return fail_end();
                }
                if (peek() != '"') {
                    return fail_here("expected a string key");
                }
                if (!string()) {
                    return false;
                }
                skip_space();
                if (at_end()) {
                    return fail_end();
                }
                if (peek() != ':') {
                    return fail_here("expected ':'");
                }
                ++pos_;
            }
            if (!value()) {
                return false;
            }
            skip_space();
            if (at_end()) {
                return fail_end();
            }
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == close) {
                ++pos_;
                --depth_;
                return true;
            }
            return fail_here(object ? "expected ',' or '}'" : "expected ',' or ']'");
        }
    }

    bool literal(std::string_view word) {
        for (char c : word) {
            if (at_end()) {
                return fail_end();
            }
            if (peek() != c) {
                return fail_here("invalid literal");
            }
            ++pos_;
        }
        return true;
    }

    bool hex4(unsigned& out) {
        out = 0;
        for (int k = 0; k < 4; ++k) {
            if (at_end()) {
                return fail_end();
            }
            char c = peek();
            unsigned d = 0;
            if (c >= '0' && c <= '9') {
                d = static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                d = static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                d = static_cast<unsigned>(c - 'A' + 10);
            } else {
                return fail_here("invalid escape");
            }
            out = out * 16 + d;
            ++pos_;
        }
        return true;
    }

    bool string() {
        ++pos_; // the opening quote
        for (;;) {
            if (at_end()) {
                return fail_end();
            }
            const auto c = static_cast<unsigned char>(peek());
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c < 0x20) {
                return fail_here("control character in string");
            }
            if (c != '\\') {
                ++pos_;
                continue;
            }
            ++pos_;
            if (at_end()) {
                return fail_end();
            }
            const char e = peek();
            if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' ||
                e == 't') {
                ++pos_;
                continue;
            }
            if (e != 'u') {
                return fail_here("invalid escape");
            }
            ++pos_;
            unsigned unit = 0;
            if (!hex4(unit)) {
                return false;
            }
            if (unit >= 0xDC00 && unit <= 0xDFFF) {
                return fail("unpaired surrogate", pos_);
            }
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                for (char want : {'\\', 'u'}) {
                    if (at_end()) {
                        return fail_end();
                    }
                    if (peek() != want) {
                        return fail_here("unpaired surrogate");
                    }
                    ++pos_;
                }
                unsigned low = 0;
                if (!hex4(low)) {
                    return false;
                }
                if (low < 0xDC00 || low > 0xDFFF) {
                    return fail("unpaired surrogate", pos_);
                }
            }
        }
    }

    bool digits(std::string_view& out) {
        const std::size_t start = pos_;
        while (!at_end() && peek() >= '0' && peek() <= '9') {
            ++pos_;
        }
        out = s_.substr(start, pos_ - start);
        if (out.empty()) {
            return at_end() ? fail_end() : fail_here("invalid number");
        }
        return true;
    }

    bool number() {
        const std::size_t start = pos_;
        if (peek() == '-') {
            ++pos_;
        }
        std::string_view int_part;
        std::string_view frac_part;
        std::string_view exp_part;
        bool exp_negative = false;
        if (!at_end() && peek() == '0') {
            int_part = s_.substr(pos_, 1);
            ++pos_;
        } else if (!digits(int_part)) {
            return false;
        }
        if (!at_end() && peek() == '.') {
            ++pos_;
            if (!digits(frac_part)) {
                return false;
            }
        }
        if (!at_end() && (peek() == 'e' || peek() == 'E')) {
            ++pos_;
            if (!at_end() && (peek() == '+' || peek() == '-')) {
                exp_negative = peek() == '-';
                ++pos_;
            }
            if (!digits(exp_part)) {
                return false;
            }
        }
        // Numbers too large for a double are refused, as the value builder would.
        double parsed = 0;
        const char* first = s_.data() + start;
        const char* last = s_.data() + pos_;
        if (std::from_chars(first, last, parsed).ec == std::errc::result_out_of_range &&
            decimal_magnitude(int_part, frac_part, exp_part, exp_negative) >= 0) {
            return fail("number out of range", pos_);
        }
        return true;
    }

    // The power of ten of the first significant digit; an out-of-range reading with a
    // magnitude of at least 0 is an overflow, anything else an underflow to zero.
    static long long decimal_magnitude(std::string_view int_part, std::string_view frac_part,
                                       std::string_view exp_part, bool exp_negative) {
        long long exp = 0;
        for (char c : exp_part) {
            exp = std::min(exp * 10 + (c - '0'), 1'000'000'000LL);
        }
        if (exp_negative) {
            exp = -exp;
        }
        std::size_t nz = int_part.find_first_not_of('0');
        if (nz != std::string_view::npos) {
            return static_cast<long long>(int_part.size() - nz - 1) + exp;
        }
        nz = frac_part.find_first_not_of('0');
        if (nz != std::string_view::npos) {
            return -static_cast<long long>(nz + 1) + exp;
        }
        return -1;
    }

    std::string_view s_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    std::optional<JsonError> error_;
};

} // namespace

Result<Json, std::string> parse_json_line(std::string_view line) {
    if (auto error = LineChecker(line).check()) {
        return unexpected(fmt::format("{} at line 1 column {}", error->description, error->column));
    }
    try {
        return Json::parse(line);
    } catch (const Json::exception&) {
        // The check above accepts only what the builder reads; kept as a guard.
        return unexpected(fmt::format("unreadable value at line 1 column {}", line.size()));
    }
}

} // namespace qb
