#include "docker/storage.hpp"

#include "common/saturating.hpp"
#include "common/text.hpp"
#include "docker/docker_text.hpp"
#include "docker/json_line.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <fmt/format.h>

namespace qb {

namespace {

struct StorageClass {
    std::string_view type;
    std::string_view kind;
    std::string_view label;
};

// In the order of the missing-class check.
constexpr std::array<StorageClass, 4> kClasses{{
    {"Images", "docker-images", "Docker images"},
    {"Containers", "docker-containers", "Docker containers"},
    {"Local Volumes", "docker-volumes", "Docker volumes"},
    {"Build Cache", kBuildCacheKind, "Docker build cache"},
}};

struct Unit {
    std::string_view name;
    double multiplier;
};

constexpr std::array<Unit, 10> kUnits{{
    {"b", 1.0},
    {"kb", 1e3},
    {"mb", 1e6},
    {"gb", 1e9},
    {"tb", 1e12},
    {"pb", 1e15},
    {"kib", 1024.0},
    {"mib", 1048576.0},
    {"gib", 1073741824.0},
    {"tib", 1099511627776.0},
}};

constexpr double kTwoPow64 = 18446744073709551616.0;

// Digits with at most one point, digits on at least one side.
bool read_decimal(std::string_view number, double& out) {
    const std::size_t point = number.find('.');
    if (point != std::string_view::npos && number.find('.', point + 1) != std::string_view::npos) {
        return false;
    }
    if (number.empty() || number == ".") {
        return false;
    }
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), out,
                                     std::chars_format::fixed);
    if (end != number.data() + number.size()) {
        return false;
    }
    if (ec == std::errc::result_out_of_range) {
        // Too large for a double, or so small that it reads as zero.
        const std::string_view whole = number.substr(0, point);
        out = whole.find_first_not_of('0') != std::string_view::npos ? HUGE_VAL : 0.0;
        return true;
    }
    return ec == std::errc();
}

Result<NativeResource, std::string> read_row(std::string_view line) {
    auto parsed = parse_json_line(line);
    if (!parsed) {
        return unexpected(fmt::format("invalid JSON ({})", parsed.error()));
    }
    const Json& row = *parsed;
    if (!row.is_object()) {
        return unexpected(std::string("expected a JSON object"));
    }
    auto type = row.find("Type");
    if (type == row.end() || !type->is_string()) {
        return unexpected(std::string("Type is missing or not text"));
    }
    const std::string& type_text = type->get_ref<const std::string&>();
    auto cls = std::find_if(kClasses.begin(), kClasses.end(),
                            [&](const StorageClass& c) { return c.type == type_text; });
    if (cls == kClasses.end()) {
        return unexpected(fmt::format("unknown storage class {}", docker_text::quoted(type_text)));
    }
    NativeResource r;
    r.provider = "docker";
    r.scope = "daemon";
    r.kind = cls->kind;
    r.label = cls->label;
    r.cleanable = cls->kind == kBuildCacheKind;
    for (auto [key, field] :
         {std::pair{"TotalCount", &r.total_count}, std::pair{"Active", &r.active_count}}) {
        auto count = read_count_field(row, key);
        if (!count) {
            return unexpected(std::move(count).error());
        }
        *field = *count;
    }
    auto size = read_size_field(row);
    if (!size) {
        return unexpected(std::move(size).error());
    }
    r.bytes = *size;
    auto reclaimable = read_reclaimable_field(row);
    if (!reclaimable) {
        return unexpected(std::move(reclaimable).error());
    }
    r.reclaimable_bytes = *reclaimable;
    return r;
}

const Json* text_member(const Json& object, std::string_view key) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? &*it : nullptr;
}

} // namespace

Result<std::uint64_t, std::string> parse_docker_size(std::string_view text) {
    const std::string q = docker_text::quoted(text);
    std::size_t n = 0;
    while (n < text.size() && ((text[n] >= '0' && text[n] <= '9') || text[n] == '.')) {
        ++n;
    }
    if (n == text.size()) {
        return unexpected(fmt::format("size {} has no unit", q));
    }
    double number = 0;
    if (!read_decimal(text.substr(0, n), number)) {
        return unexpected(fmt::format("size {} has an invalid number", q));
    }
    if (!std::isfinite(number) || number < 0) {
        return unexpected(fmt::format("size {} is out of range", q));
    }
    const std::string unit = text::ascii_lower(docker_text::trim(text.substr(n)));
    auto u = std::find_if(kUnits.begin(), kUnits.end(),
                          [&](const Unit& candidate) { return candidate.name == unit; });
    if (u == kUnits.end()) {
        return unexpected(
            fmt::format("size {} has unsupported unit {}", q, docker_text::quoted(unit)));
    }
    const double product = number * u->multiplier;
    if (product > kTwoPow64) {
        return unexpected(fmt::format("size {} is out of range", q));
    }
    const double rounded = std::round(product);
    return rounded >= kTwoPow64 ? kU64Max : static_cast<std::uint64_t>(rounded);
}

Result<std::uint64_t, std::string> read_count_field(const Json& object, std::string_view key) {
    auto it = object.find(key);
    if (it == object.end()) {
        return unexpected(fmt::format("{} is missing", key));
    }
    if (it->is_number_unsigned()) {
        return it->get<std::uint64_t>();
    }
    if (it->is_string()) {
        std::string_view s = it->get_ref<const std::string&>();
        if (!s.empty() && s.front() == '+') {
            s.remove_prefix(1);
        }
        std::uint64_t value = 0;
        const bool digits_only = !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
            return c >= '0' && c <= '9';
        });
        if (digits_only) {
            auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
            if (ec == std::errc() && end == s.data() + s.size()) {
                return value;
            }
        }
        return unexpected(fmt::format("{} is not an unsigned integer", key));
    }
    return unexpected(fmt::format("{} is not an integer", key));
}

Result<std::uint64_t, std::string> read_size_field(const Json& object) {
    const Json* size = text_member(object, "Size");
    if (size == nullptr) {
        return unexpected(std::string("Size is missing or not text"));
    }
    auto bytes = parse_docker_size(size->get_ref<const std::string&>());
    if (!bytes) {
        return unexpected(fmt::format("Size: {}", bytes.error()));
    }
    return bytes;
}

Result<std::uint64_t, std::string> read_reclaimable_field(const Json& object) {
    const Json* reclaimable = text_member(object, "Reclaimable");
    if (reclaimable == nullptr) {
        return unexpected(std::string("Reclaimable is missing or not text"));
    }
    const auto pieces = docker_text::split_white_space(reclaimable->get_ref<const std::string&>());
    if (pieces.empty()) {
        return unexpected(std::string("Reclaimable is empty"));
    }
    auto bytes = parse_docker_size(pieces.front());
    if (!bytes) {
        return unexpected(fmt::format("Reclaimable: {}", bytes.error()));
    }
    return bytes;
}

NativeInspection unavailable_inspection(NativeDiagnostic diagnostic) {
    NativeInspection inspection;
    inspection.provider = "docker";
    inspection.diagnostics.push_back(std::move(diagnostic));
    inspection.available = false;
    return inspection;
}

NativeInspection read_storage_report(std::string_view stdout_bytes) {
    NativeInspection inspection;
    inspection.provider = "docker";
    inspection.available = true;
    const std::string report = text::lossy(stdout_bytes);
    const auto lines = docker_text::split_lines(report);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (docker_text::trim(lines[i]).empty()) {
            continue;
        }
        auto row = read_row(lines[i]);
        if (!row) {
            inspection.diagnostics.push_back(native_diagnostic(
                diag::kInvalidOutput,
                fmt::format("Docker row {} could not be read: {}", i + 1, row.error()), false));
            continue;
        }
        const bool seen =
            std::any_of(inspection.resources.begin(), inspection.resources.end(),
                        [&](const NativeResource& held) { return held.kind == row->kind; });
        if (seen) {
            inspection.diagnostics.push_back(native_diagnostic(
                diag::kDuplicateOutput,
                fmt::format("Docker reported {} more than once", row->label), false));
            continue;
        }
        inspection.resources.push_back(std::move(row).value());
    }
    if (inspection.resources.empty()) {
        if (inspection.diagnostics.empty()) {
            inspection.diagnostics.push_back(
                native_diagnostic(diag::kEmptyOutput, "Docker returned no storage classes", true));
        }
        return inspection;
    }
    std::sort(inspection.resources.begin(), inspection.resources.end(),
              [](const NativeResource& a, const NativeResource& b) {
                  if (a.reclaimable_bytes != b.reclaimable_bytes) {
                      return a.reclaimable_bytes > b.reclaimable_bytes;
                  }
                  return a.kind < b.kind;
              });
    for (const StorageClass& cls : kClasses) {
        const bool present =
            std::any_of(inspection.resources.begin(), inspection.resources.end(),
                        [&](const NativeResource& r) { return r.kind == cls.kind; });
        if (!present) {
            inspection.diagnostics.push_back(native_diagnostic(
                diag::kMissingClass, fmt::format("Docker did not report {}", cls.label), false));
        }
    }
    return inspection;
}

NativeInspection inspect_docker_storage(const DockerRunner& run) {
    const std::string_view purpose = "storage inspection";
    auto output = run({"system", "df", "--format", "json"}, kInspectionTimeoutSecs, purpose);
    if (!output) {
        return unavailable_inspection(std::move(output).error());
    }
    if (!output->success()) {
        return unavailable_inspection(classify_docker_failure(purpose, *output));
    }
    return read_storage_report(output->stdout_bytes);
}

NativeInspection inspect_docker_storage() {
    return inspect_docker_storage(process_docker_runner(SystemEnv::from_process()));
}

} // namespace qb
