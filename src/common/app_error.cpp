#include "common/app_error.hpp"

#include "common/os_error.hpp"
#include "common/overload.hpp"
#include "common/paths.hpp"
#include "common/text.hpp"

#include <array>
#include <fmt/format.h>

namespace qb {
namespace {

struct VariantInfo {
    ErrorKind kind;
    std::string_view hint;
};

constexpr std::string_view kHintSchema = "check the accepted values in `quillbarrow schema`";
constexpr std::string_view kHintConfirm = "re-run with --yes to confirm cleanup";

// Indexed by the variant's position.
constexpr std::array<VariantInfo, 9> kInfo{{
    {ErrorKind::Usage, "see `quillbarrow --help` or `quillbarrow schema`"},
    {ErrorKind::InvalidInput, kHintSchema},
    {ErrorKind::InvalidInput, "pass an existing directory with --root"},
    {ErrorKind::ConfirmationRequired, kHintConfirm},
    {ErrorKind::ConfirmationRequired, kHintConfirm},
    {ErrorKind::NativeUnavailable,
     "check the native tool, daemon, endpoint, and permissions, then retry"},
    {ErrorKind::NativeProtocol,
     "check the supported native tool version and run the inspection command"},
    {ErrorKind::Conflict, "scan again and review the changed targets"},
    {ErrorKind::Io, "check permissions and whether another process is using the path"},
}};

static_assert(std::variant_size_v<AppErrorVariant> == kInfo.size());
static_assert(kErrorKinds.size() == static_cast<std::size_t>(ErrorKind::NativeProtocol) + 1);

const ErrorKindInfo& kind_info(const AppError& error) {
    return kErrorKinds[static_cast<std::size_t>(error.kind())];
}

} // namespace

std::string IoError::to_string() const {
    return os_code ? os_error_text(*os_code) : text;
}

ErrorKind AppError::kind() const {
    return kInfo[value.index()].kind;
}
std::string_view AppError::kind_name() const {
    return kind_info(*this).name;
}
int AppError::exit_status() const {
    return kind_info(*this).exit_status;
}
std::string_view AppError::hint() const {
    return kInfo[value.index()].hint;
}
bool AppError::retryable() const {
    return kind_info(*this).retryable;
}

namespace {

// The message. With `printable` every payload is made printable, for a person who reads
// it on a terminal. A Usage text always goes in as it is: it spans several lines by
// design, and the parser has already made the values it quotes printable when the error
// is shown as text.
std::string message_of(const AppError& error, bool printable) {
    auto show = [&](std::string_view t) { return printable ? text::printable(t) : std::string(t); };
    auto show_path = [&](std::string_view p) {
        return printable ? text::printable(p) : path::display(p);
    };
    return std::visit(
        Overload{
            [](const errors::Usage& e) { return e.message; },
            [&](const errors::InvalidInput& e) {
                return fmt::format("invalid input: {}", show(e.message));
            },
            [&](const errors::UnreadableDirectory& e) {
                return fmt::format("path is not a readable directory: {}", show_path(e.path));
            },
            [](const errors::CleanConfirmationRequired& e) {
                return fmt::format("confirmation is required before cleaning {} cache directories",
                                   e.count);
            },
            [](const errors::PruneConfirmationRequired& e) {
                return fmt::format("confirmation is required before pruning {} {}",
                                   e.provider_label, e.resource_label);
            },
            [&](const errors::NativeUnavailable& e) {
                return fmt::format("{} operation is unavailable: {}", show(e.provider),
                                   show(e.message));
            },
            [&](const errors::NativeProtocol& e) {
                return fmt::format("{} returned unsupported output: {}", show(e.provider),
                                   show(e.message));
            },
            [&](const errors::Conflict& e) {
                return fmt::format("cleanup conflicted with filesystem changes: {}",
                                   show(e.message));
            },
            [&](const errors::Io& e) {
                return fmt::format("filesystem operation failed for {}: {}", show_path(e.path),
                                   show(e.error.to_string()));
            },
        },
        error.value);
}

} // namespace

std::string fmt_app_error(const AppError& error) {
    return message_of(error, false);
}

std::string fmt_app_error_printable(const AppError& error) {
    return message_of(error, true);
}

} // namespace qb
