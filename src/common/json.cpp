#include "common/json.hpp"

namespace qb {

std::string json_compact(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string json_compact(const OrderedJson& value) {
    return value.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

std::string json_pretty(const Json& value) {
    return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

} // namespace qb
