#pragma once

// Fixture trees from short specs, all below one root:
//   "a/b/"      a directory          "a/f=text"  a file with that content
//   "a/f"       an empty file        "a/l->x/y"  a symbolic link to root/x/y (or to an
//                                                absolute target as written)

#include "support/test_support.hpp"

#include <string>
#include <vector>

namespace qb::test {

inline void build_tree(const std::string& root, const std::vector<std::string>& specs) {
    for (const std::string& spec : specs) {
        std::string at = root + "/";
        if (auto eq = spec.find('='); eq != std::string::npos) {
            write_file(at + spec.substr(0, eq), spec.substr(eq + 1));
        } else if (auto arrow = spec.find("->"); arrow != std::string::npos) {
            std::string target = spec.substr(arrow + 2);
            std::string link = at + spec.substr(0, arrow);
            make_dirs(link.substr(0, link.rfind('/')));
            make_symlink(target.front() == '/' ? target : at + target, link);
        } else if (spec.back() == '/') {
            make_dirs(at + spec);
        } else {
            write_file(at + spec);
        }
    }
}

inline const std::string kTagLine = "Signature: 8a477f597d28d172789f06886806bc55";

} // namespace qb::test
