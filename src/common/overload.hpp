#pragma once

namespace qb {

/// Builds one visitor for std::visit from several lambdas.
template <class... Ts>
struct Overload : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overload(Ts...) -> Overload<Ts...>;

} // namespace qb
