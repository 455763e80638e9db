#pragma once

// Close-match suggestions for mistyped commands, options and values.

#include <string>
#include <string_view>
#include <vector>

namespace qb::cli {

/// Jaro similarity of the two texts over their characters, from 0 (nothing shared) to
/// 1 (equal).
double jaro_similarity(std::string_view a, std::string_view b);

/// The candidates whose similarity to `given` is above 0.7, most similar first (ties
/// keep the candidates' order).
std::vector<std::string> similar_names(std::string_view given,
                                       const std::vector<std::string>& candidates);

} // namespace qb::cli
