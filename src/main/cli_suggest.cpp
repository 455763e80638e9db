#include "main/cli_suggest.hpp"

#include "common/text.hpp"

#include <algorithm>

namespace qb::cli {
namespace {

// Characters of UTF-8 text; a byte that starts no valid character counts as one of
// its own, so any input compares.
std::vector<std::string_view> characters(std::string_view s) {
    std::vector<std::string_view> out;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t len = text::char_length_at(s, i);
        out.push_back(s.substr(i, len));
        i += len;
    }
    return out;
}

} // namespace

double jaro_similarity(std::string_view a_text, std::string_view b_text) {
    std::vector<std::string_view> a = characters(a_text);
    std::vector<std::string_view> b = characters(b_text);
    if (a.empty() && b.empty()) {
        return 1.0;
    }
    if (a.empty() || b.empty()) {
        return 0.0;
    }
    std::size_t range = std::max(a.size(), b.size()) / 2;
    range = range > 0 ? range - 1 : 0;
    std::vector<bool> a_hit(a.size()), b_hit(b.size());
    std::size_t matches = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::size_t lo = i > range ? i - range : 0;
        std::size_t hi = std::min(b.size(), i + range + 1);
        for (std::size_t j = lo; j < hi; ++j) {
            if (!b_hit[j] && a[i] == b[j]) {
                a_hit[i] = b_hit[j] = true;
                ++matches;
                break;
            }
        }
    }
    if (matches == 0) {
        return 0.0;
    }
    std::size_t transpositions = 0;
    std::size_t j = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!a_hit[i]) {
            continue;
        }
        while (!b_hit[j]) {
            ++j;
        }
        if (a[i] != b[j]) {
            ++transpositions;
        }
        ++j;
    }
    transpositions /= 2;
    double m = static_cast<double>(matches);
    return (m / static_cast<double>(a.size()) + m / static_cast<double>(b.size()) +
            static_cast<double>(matches - transpositions) / m) /
           3.0;
}

std::vector<std::string> similar_names(std::string_view given,
                                       const std::vector<std::string>& candidates) {
    std::vector<std::pair<double, std::string>> scored;
    for (const std::string& c : candidates) {
        double score = jaro_similarity(given, c);
        if (score > 0.7) {
            scored.emplace_back(score, c);
        }
    }
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& x, const auto& y) { return x.first > y.first; });
    std::vector<std::string> out;
    for (auto& [score, name] : scored) {
        out.push_back(std::move(name));
    }
    return out;
}

} // namespace qb::cli
