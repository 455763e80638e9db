#include "common/unique_fd.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <utility>

namespace qb {
namespace {

bool is_open(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFd, ClosesOnceAndHandsOverOnMoveAndRelease) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        UniqueFd read_end(fds[0]);
        UniqueFd moved(std::move(read_end));
        EXPECT_FALSE(read_end.valid());
        EXPECT_EQ(moved.get(), fds[0]);
        UniqueFd assigned;
        assigned = std::move(moved);
        EXPECT_EQ(moved.get(), -1);
        EXPECT_TRUE(is_open(fds[0]));

        UniqueFd write_end(fds[1]);
        EXPECT_EQ(write_end.release(), fds[1]);
        EXPECT_FALSE(write_end.valid());
    }
    // The owner closed the read end; the released write end was left alone.
    EXPECT_FALSE(is_open(fds[0]));
    EXPECT_TRUE(is_open(fds[1]));

    UniqueFd held(fds[1]);
    EXPECT_EQ(held.reset(), 0);
    EXPECT_FALSE(is_open(fds[1]));
    EXPECT_EQ(held.reset(), 0); // nothing held: nothing closed
}

} // namespace
} // namespace qb
