// Narrowing the contract to a command path, and the text that `schema` prints.

#include "schema/contract.hpp"

#include <cstddef>

namespace qb {

Json narrow_contract(Json document, const std::vector<std::string>& words) {
    if (words.empty()) {
        return document;
    }
    std::string path = words.front();
    for (std::size_t i = 1; i < words.size(); ++i) {
        path += ' ';
        path += words[i];
    }
    // Whole words from the start: "docker" keeps "docker clean", "dock" keeps nothing.
    const std::string prefix = path + ' ';

    if (!document.is_object()) {
        return document;
    }
    auto commands = document.find("commands");
    if (commands == document.end() || !commands->is_array()) {
        return document;
    }
    Json kept = Json::array();
    for (Json& cmd : *commands) {
        if (!cmd.is_object()) {
            continue;
        }
        auto name = cmd.find("name");
        if (name == cmd.end() || !name->is_string()) {
            continue;
        }
        const auto& text = name->get_ref<const std::string&>();
        if (text == path || text.starts_with(prefix)) {
            kept.push_back(std::move(cmd));
        }
    }
    *commands = std::move(kept);
    return document;
}

std::string contract_output(const std::vector<std::string>& words) {
    return json_pretty(narrow_contract(build_contract_document(), words)) + "\n";
}

} // namespace qb
