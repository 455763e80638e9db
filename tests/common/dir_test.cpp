// The descriptor budget and the listing stack on their own. The budget is fixed for the
// whole process at its first use, so each test runs in a forked child that first lowers
// the limit on open files.

#include "common/dir.hpp"
#include "support/test_support.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qb::dir {
namespace {

// Runs `body` in a child whose limit on open files is 16 (a budget of 8: 6 kept, 2
// brief), and returns the child's exit status: 0 when no check failed.
int in_small_budget(const std::function<void()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        struct rlimit small {
            16, 16
        };
        ::setrlimit(RLIMIT_NOFILE, &small);
        ::alarm(60); // a walk or a wait that never ends fails the test, not the suite
        body();
        std::fflush(stdout);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(DescriptorBudget, RunsOutWaitsForAReturnAndRefusesWhatItCanNeverGive) {
    EXPECT_EQ(in_small_budget([] {
                  ASSERT_EQ(keep_capacity(), 6u);
                  std::vector<Slot> kept;
                  for (Slot s = Slot::try_kept(); s.held(); s = Slot::try_kept()) {
                      kept.push_back(std::move(s));
                  }
                  EXPECT_EQ(kept.size(), keep_capacity());
                  Slot brief = Slot::try_brief();
                  Slot last = Slot::try_brief();
                  EXPECT_TRUE(brief.held() && last.held());
                  EXPECT_FALSE(Slot::try_brief().held());

                  std::atomic<bool> got{false};
                  std::thread waiter([&] {
                      Slot s = Slot::take_brief();
                      got = s.held();
                  });
                  std::this_thread::sleep_for(std::chrono::milliseconds(50));
                  EXPECT_FALSE(got.load());
                  last.reset();
                  waiter.join();
                  EXPECT_TRUE(got.load());

                  // Lent slots come back to the walk that lent them, not to the budget.
                  kept.clear();
                  KeptSlots walk;
                  walk.take(2);
                  Slot a = walk.lend();
                  Slot b = walk.lend();
                  EXPECT_TRUE(a.held() && b.held() && a.kept());
                  EXPECT_FALSE(walk.lend().held());
                  a.reset();
                  EXPECT_EQ(walk.lent(), 1u);
                  EXPECT_TRUE(walk.lend().held());
              }),
              0);
    EXPECT_EQ(in_small_budget([] {
                  KeptSlots walk;
                  walk.take(keep_capacity() + 1); // never given: ends the process
                  ::_exit(0);
              }),
              101);
}

// Lists `root` depth first through a stack of two slots (so the oldest listing is read
// into memory as the walk goes down) and names every entry in the order met.
std::vector<std::string> walk_with(ListingStack& stack, const std::string& root) {
    std::vector<std::string> met;
    EXPECT_EQ(stack.push(stack.open_at(AT_FDCWD, root.c_str()), {root}), 0);
    Item item;
    while (!stack.empty()) {
        if (!stack.next(item)) {
            stack.pop();
            continue;
        }
        met.push_back(stack.top().name + "/" + item.name);
        if (item.type == DT_DIR) {
            EXPECT_EQ(stack.make_room(ListingStack::Spill::TopToo), 0);
            Handle child = stack.top_fd() >= 0 ? stack.open_at(stack.top_fd(), item.name.c_str())
                                               : stack.open_at(AT_FDCWD, met.back().c_str());
            EXPECT_EQ(stack.push(std::move(child), {met.back()}), 0);
        }
    }
    return met;
}

TEST(ListingStack, ReadsTheOldestListingIntoMemoryAndOpensItAgainThroughItsChild) {
    test::TempDir t;
    for (const char* p : {"d/a/b/c/f1", "d/a/b/f2", "d/a/f3", "d/g/f4", "d/f5"}) {
        test::write_file(t / p, "x");
    }
    const std::string d = t / "d";
    EXPECT_EQ(
        in_small_budget([&] {
            std::vector<std::string> all;
            {
                ListingStack big({2, 16, 4096, ListingStack::LookUp::Types});
                all = walk_with(big, d);
            }
            ListingStack two({2, 2, 4096, ListingStack::LookUp::Types});
            EXPECT_EQ(walk_with(two, d), all);
            EXPECT_EQ(all.size(), 9u);

            // Nothing below the top to read into memory: no room unless the top goes.
            ListingStack stack({2, 2, 4096, ListingStack::LookUp::AsListed});
            struct stat st;
            ASSERT_EQ(::stat(d.c_str(), &st), 0);
            ASSERT_EQ(stack.push(stack.open_at(AT_FDCWD, d.c_str()), {"d", identity_of(st)}), 0);
            Handle a = stack.open_at(stack.top_fd(), "a");
            ASSERT_TRUE(a.valid());
            EXPECT_EQ(stack.make_room(), EMFILE);
            EXPECT_EQ(stack.make_room(ListingStack::Spill::TopToo), 0);
            EXPECT_EQ(stack.top_fd(), -1);
            EXPECT_EQ(stack.reopen_top(a.fd()), 0);
            EXPECT_GE(stack.top_fd(), 0);

            // Moved elsewhere, the child's ".." is no longer the level it left.
            EXPECT_EQ(stack.make_room(ListingStack::Spill::TopToo), 0);
            test::make_dirs(t / "e");
            ASSERT_EQ(::rename((d + "/a").c_str(), (t / "e/a").c_str()), 0);
            EXPECT_EQ(stack.reopen_top(a.fd()), -1);
            EXPECT_EQ(stack.top_fd(), -1);
        }),
        0);
}

} // namespace
} // namespace qb::dir
