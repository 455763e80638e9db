#include "tui/texts.hpp"

#include "common/defaults.hpp"
#include "common/format_bytes.hpp"
#include "common/text.hpp"

#include <algorithm>
#include <fmt/format.h>

namespace qb::tui {
namespace {

constexpr std::uint64_t kLargeBytes = 1'073'741'824;

bool is_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

/// Byte offsets where each character starts, plus the end.
std::vector<std::size_t> char_starts(std::string_view s) {
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (!is_continuation(s[i])) {
            starts.push_back(i);
        }
    }
    starts.push_back(s.size());
    return starts;
}

void add_label(std::vector<std::string_view>& labels, std::string_view label) {
    if (std::find(labels.begin(), labels.end(), label) == labels.end()) {
        labels.push_back(label);
    }
}

} // namespace

std::string truncate_to_width(std::string_view input, std::size_t max, bool unicode) {
    // Counting by lead bytes needs valid text; anything else is shown lossily anyway.
    std::string valid = text::is_utf8(input) ? std::string(input) : text::lossy(input);
    std::vector<std::size_t> starts = char_starts(valid);
    std::size_t n = starts.size() - 1;
    if (n <= max) {
        return valid;
    }
    std::string_view ellipsis = unicode ? "…" : "...";
    std::size_t e = unicode ? 1 : 3;
    if (max <= e + 1) {
        return valid.substr(0, starts[max]);
    }
    std::size_t keep = max - e;
    std::size_t head = keep / 2;
    std::size_t tail = keep - head;
    std::string out = valid.substr(0, starts[head]);
    out += ellipsis;
    out += valid.substr(starts[n - tail]);
    return out;
}

std::vector<std::string_view> row_flag_labels(const std::vector<Candidate>& candidates) {
    std::vector<std::string_view> labels;
    for (const Candidate& c : candidates) {
        if (!c.cleanable) {
            add_label(labels, "manual override");
        }
        if (!c.age_days) {
            add_label(labels, "unknown age");
        } else if (*c.age_days < kDefaultProtectDays) { // what a deletion protects
            add_label(labels, "recent");
        }
        if (c.bytes >= kLargeBytes) {
            add_label(labels, "large");
        }
        if (c.scope == CacheScope::Global) {
            add_label(labels, "shared");
        }
        if (c.network_restore) {
            add_label(labels, "download restore");
        }
    }
    return labels;
}

void disk_free_delta_text(std::string& text, const std::vector<FilesystemDelta>& deltas) {
    if (deltas.empty()) {
        text += " · disk-free change unavailable";
    } else if (deltas.size() == 1) {
        text += fmt::format(" · {} disk free net", format_signed_bytes(deltas.front().delta_bytes));
    } else {
        text += fmt::format(" · {} filesystem deltas measured", deltas.size());
    }
}

std::string clean_summary_text(const CleanReport& report) {
    if (report.cleaned == 0) {
        if (report.skipped_paths.empty()) {
            return "Nothing was deleted";
        }
        if (report.skipped == 1) {
            return "Could not delete cache · " + report.skipped_paths.front().reason;
        }
        return fmt::format("Could not delete {} caches", report.skipped);
    }
    std::string text = report.cleaned == 1 ? std::string("Deleted cache")
                                           : fmt::format("Deleted {} caches", report.cleaned);
    text +=
        fmt::format(" · {} apparent · {} allocated", format_bytes(report.apparent_bytes_removed),
                    format_bytes(report.allocated_bytes_removed_estimate));
    disk_free_delta_text(text, report.filesystem_deltas);
    if (report.skipped > 0) {
        text += fmt::format(" · {} skipped", report.skipped);
    }
    return text;
}

} // namespace qb::tui
