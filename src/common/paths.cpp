#include "common/paths.hpp"

#include "common/text.hpp"

#include <algorithm>
#include <functional>

namespace qb::path {
namespace {

// Iterates components front to back without allocating.
class ComponentCursor {
public:
    explicit ComponentCursor(std::string_view p) : p_(p) {
        if (!p_.empty() && p_.front() == '/') {
            pending_root_ = true;
            while (pos_ < p_.size() && p_[pos_] == '/') {
                ++pos_;
            }
        } else if (p_ == "." || p_.starts_with("./")) {
            pending_cur_ = true;
            pos_ = 1;
        }
    }

    std::optional<Component> next() {
        if (pending_root_) {
            pending_root_ = false;
            return Component{ComponentKind::Root, "/"};
        }
        if (pending_cur_) {
            pending_cur_ = false;
            return Component{ComponentKind::CurDir, "."};
        }
        while (pos_ < p_.size()) {
            std::size_t end = p_.find('/', pos_);
            if (end == std::string_view::npos) {
                end = p_.size();
            }
            std::string_view part = p_.substr(pos_, end - pos_);
            pos_ = end < p_.size() ? end + 1 : end;
            if (part.empty() || part == ".") {
                continue;
            }
            if (part == "..") {
                return Component{ComponentKind::ParentDir, part};
            }
            return Component{ComponentKind::Normal, part};
        }
        return std::nullopt;
    }

private:
    std::string_view p_;
    std::size_t pos_ = 0;
    bool pending_root_ = false;
    bool pending_cur_ = false;
};

// Length of the path once trailing separators and trailing "." components are gone,
// keeping a lone root or a leading "." intact.
std::size_t trimmed_length(std::string_view p) {
    std::size_t n = p.size();
    while (n > 0) {
        if (p[n - 1] == '/') {
            if (n == 1) {
                break;
            }
            --n;
            continue;
        }
        if (p[n - 1] == '.' && (n == 1 || p[n - 2] == '/')) {
            if (n == 1) {
                break; // a leading "." stays
            }
            --n;
            continue;
        }
        break;
    }
    return n;
}

} // namespace

std::vector<Component> components(std::string_view p) {
    std::vector<Component> out;
    ComponentCursor cursor(p);
    while (auto c = cursor.next()) {
        out.push_back(*c);
    }
    return out;
}

std::string_view trim_trailing(std::string_view p) {
    return p.substr(0, trimmed_length(p));
}

std::optional<std::string_view> file_name(std::string_view p) {
    std::string_view t = p.substr(0, trimmed_length(p));
    if (t.empty() || t == "/" || t == ".") {
        return std::nullopt;
    }
    std::size_t slash = t.rfind('/');
    std::string_view last = slash == std::string_view::npos ? t : t.substr(slash + 1);
    if (last.empty() || last == "..") {
        return std::nullopt;
    }
    return last;
}

std::optional<std::string_view> parent(std::string_view p) {
    std::string_view t = p.substr(0, trimmed_length(p));
    if (t.empty() || t == "/" || t == ".") {
        return std::nullopt;
    }
    std::size_t slash = t.rfind('/');
    if (slash == std::string_view::npos) {
        return std::string_view{}; // a bare relative name
    }
    std::string_view head = t.substr(0, slash + 1);
    std::size_t keep = trimmed_length(head);
    if (keep == 0) {
        return std::string_view{};
    }
    return head.substr(0, keep);
}

std::string join(std::string_view base, std::string_view rel) {
    if (is_absolute(rel)) {
        return std::string(rel);
    }
    std::string out(base);
    if (!out.empty() && out.back() != '/') {
        out.push_back('/');
    }
    out.append(rel);
    return out;
}

std::string lexically_normal(std::string_view p) {
    std::vector<Component> kept;
    for (const Component& c : components(p)) {
        if (c.kind != ComponentKind::ParentDir) {
            kept.push_back(c);
        } else if (!kept.empty() && kept.back().kind == ComponentKind::Normal) {
            kept.pop_back();
        } else if (kept.empty() || kept.back().kind != ComponentKind::Root) {
            kept.push_back(c); // a relative path climbing above its start
        }
    }
    std::string out;
    for (const Component& c : kept) {
        out = join(out, c.name);
    }
    return out;
}

std::optional<std::string_view> extension(std::string_view name) {
    if (name == "..") {
        return std::nullopt;
    }
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return std::nullopt;
    }
    return name.substr(dot + 1);
}

std::strong_ordering compare(std::string_view a, std::string_view b) {
    ComponentCursor ca(a);
    ComponentCursor cb(b);
    for (;;) {
        auto x = ca.next();
        auto y = cb.next();
        if (!x || !y) {
            return x.has_value() <=> y.has_value();
        }
        if (x->kind != y->kind) {
            return x->kind <=> y->kind;
        }
        if (int c = x->name.compare(y->name); c != 0) {
            return c <=> 0;
        }
    }
}

bool equal(std::string_view a, std::string_view b) {
    // Rows are compared by path in loops over thousands of them. Where the texts first
    // differ in two ordinary characters, both are inside one component that the common
    // prefix places at the same position, and its names differ: no need to split the rest.
    auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    if (ia == a.end() && ib == b.end()) {
        return true;
    }
    auto ordinary = [](char c) { return c != '/' && c != '.'; };
    if (ia != a.end() && ib != b.end() && ordinary(*ia) && ordinary(*ib)) {
        return false;
    }
    return compare(a, b) == 0;
}

bool starts_with(std::string_view p, std::string_view prefix) {
    ComponentCursor cp(p);
    ComponentCursor cx(prefix);
    for (;;) {
        auto y = cx.next();
        if (!y) {
            return true;
        }
        auto x = cp.next();
        if (!x || *x != *y) {
            return false;
        }
    }
}

std::size_t hash(std::string_view p) {
    std::size_t h = 0xcbf29ce484222325ULL;
    ComponentCursor cursor(p);
    while (auto c = cursor.next()) {
        h ^= static_cast<std::size_t>(c->kind) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        h ^= std::hash<std::string_view>{}(c->name) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    }
    return h;
}

std::string display(std::string_view p) {
    return text::lossy(p);
}

} // namespace qb::path
