#include "common/app_error.hpp"

#include <gtest/gtest.h>

namespace qb {
namespace {

TEST(AppError, KindsStatusesAndHints) {
    AppError invalid = errors::InvalidInput{"unknown cache kind x; run `quillbarrow catalog`"};
    AppError unreadable = errors::UnreadableDirectory{"rel/dir"};
    EXPECT_EQ(invalid.kind_name(), "invalid_input");
    EXPECT_EQ(unreadable.kind_name(), "invalid_input");
    EXPECT_EQ(invalid.exit_status(), 2);
    EXPECT_EQ(unreadable.exit_status(), 2);
    EXPECT_NE(invalid.hint(), unreadable.hint());
    EXPECT_EQ(fmt_app_error(unreadable), "path is not a readable directory: rel/dir");

    AppError clean = errors::CleanConfirmationRequired{1};
    EXPECT_EQ(fmt_app_error(clean), "confirmation is required before cleaning 1 cache directories");
    EXPECT_EQ(clean.exit_status(), 6);
    AppError prune = errors::PruneConfirmationRequired{"Docker", "build cache"};
    EXPECT_EQ(fmt_app_error(prune), "confirmation is required before pruning Docker build cache");

    AppError unavailable = errors::NativeUnavailable{"docker", "daemon down"};
    EXPECT_EQ(fmt_app_error(unavailable), "docker operation is unavailable: daemon down");
    EXPECT_TRUE(unavailable.retryable());
    EXPECT_EQ(unavailable.exit_status(), 7);
    AppError protocol = errors::NativeProtocol{"docker", "bad json"};
    EXPECT_EQ(fmt_app_error(protocol), "docker returned unsupported output: bad json");
    EXPECT_FALSE(protocol.retryable());
    EXPECT_EQ(protocol.exit_status(), 8);

    AppError conflict = errors::Conflict{"2 targets changed"};
    EXPECT_EQ(conflict.exit_status(), 5);
    AppError io = errors::Io{"<stdin>", IoError::from_errno(5)};
    EXPECT_EQ(fmt_app_error(io), "filesystem operation failed for <stdin>: "
                                 "Input/output error (os error 5)");
    AppError io_text =
        errors::Io{"/p/\xff", IoError::from_text("stream did not contain valid UTF-8")};
    EXPECT_EQ(fmt_app_error(io_text), "filesystem operation failed for /p/\xEF\xBF\xBD: "
                                      "stream did not contain valid UTF-8");
    EXPECT_EQ(io.exit_status(), 4);
}

} // namespace
} // namespace qb
