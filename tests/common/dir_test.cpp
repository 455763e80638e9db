// The descriptor budget and the listing stack on their own. The budget is fixed for the
// whole process at its first use, so each test runs in a forked child that first lowers
// the limit on open files.

#include "common/dir.hpp"
#include "common/mount_id.hpp"
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

// Runs `body` in a child whose limit on open files is 16, with the standard descriptors
// and `extra` more open (the budget counts only what is free), and returns the child's
// exit status: 0 when no check failed.
int in_small_budget(const std::function<void()>& body, int extra = 0) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close_range(3, ~0U, 0);
        for (int i = 0; i < extra; ++i) {
            ::open("/dev/null", O_RDONLY);
        }
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

TEST(DescriptorBudget, SizedFromWhatIsFreeRunsOutAndWaitsForAReturn) {
    // 16 less 7 open: 9 free, 4 of them reserved, 4 kept and 1 brief.
    EXPECT_EQ(in_small_budget(
                  [] {
                      ASSERT_EQ(size_budget(), 9u);
                      ASSERT_EQ(keep_capacity(), 4u);
                      // Kept slots first, while any is free, then the brief one.
                      std::vector<Slot> kept;
                      while (kept.size() < 5) {
                          kept.push_back(Slot::take(false));
                      }
                      EXPECT_EQ(std::count_if(kept.begin(), kept.end(),
                                              [](const Slot& s) { return s.kept(); }),
                                keep_capacity());
                      Slot last = std::move(kept.back());
                      kept.pop_back();
                      EXPECT_TRUE(last.held() && !last.kept());
                      EXPECT_FALSE(Slot::take(false).held());
                      EXPECT_TRUE(Slot::try_brief(1).empty());

                      std::atomic<bool> got{false};
                      std::thread waiter([&] {
                          Slot s = Slot::take();
                          got = s.held();
                      });
                      std::this_thread::sleep_for(std::chrono::milliseconds(50));
                      EXPECT_FALSE(got.load());
                      last.reset();
                      waiter.join();
                      EXPECT_TRUE(got.load());

                      // The reserve is apart from the rest, and taken all at once.
                      std::vector<Slot> pipes = Slot::take_reserved(kFewestReserved);
                      std::atomic<bool> reserved{false};
                      std::thread other([&] {
                          std::vector<Slot> two = Slot::take_reserved(2);
                          reserved = true;
                      });
                      std::this_thread::sleep_for(std::chrono::milliseconds(50));
                      EXPECT_FALSE(reserved.load());
                      pipes.pop_back();
                      std::this_thread::sleep_for(std::chrono::milliseconds(50));
                      EXPECT_FALSE(reserved.load());
                      pipes.pop_back();
                      other.join();
                      EXPECT_TRUE(reserved.load());

                      // Lent slots come back to the walk that lent them, not to the budget.
                      pipes.clear();
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

                      // Descriptors held outside the budget: an open the system refuses
                      // for want of one is tried again until one comes back.
                      std::vector<int> outside;
                      for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) {
                          outside.push_back(fd);
                      }
                      std::thread closer([&outside] {
                          std::this_thread::sleep_for(std::chrono::milliseconds(100));
                          for (int fd : outside) {
                              ::close(fd);
                          }
                      });
                      EXPECT_TRUE(open_at(AT_FDCWD, "/", Slot::take()).valid());
                      closer.join();
                  },
                  4),
              0);
}

// A wait that could hang the process for good ends it as an internal failure instead,
// whether or not the wait would have blocked this time.
TEST(DescriptorBudget, AForbiddenWaitIsAnInternalFailure) {
    const std::vector<std::pair<const char*, std::function<void()>>> forbidden = {
        {"more kept slots than it ever gives", [] { KeptSlots().take(keep_capacity() + 1); }},
        {"more reserved slots than it ever gives",
         [] { (void)Slot::take_reserved(kFewestReserved + 1); }},
        {"a slot while holding a brief one",
         [] {
             std::vector<Slot> held = Slot::try_brief(1);
             Slot more = Slot::take();
         }},
        {"reserved slots while holding a brief one",
         [] {
             std::vector<Slot> held = Slot::try_brief(2);
             (void)Slot::take_reserved(1);
         }},
        {"a slot while holding reserved ones",
         [] {
             std::vector<Slot> held = Slot::take_reserved(1);
             Slot more = Slot::take();
         }},
        {"kept slots while holding a brief one",
         [] {
             std::vector<Slot> held = Slot::try_brief(1);
             KeptSlots().take(1);
         }},
        {"giving back a brief slot on another thread",
         [] {
             std::vector<Slot> held = Slot::try_brief(1);
             std::thread([&held] { held.clear(); }).join();
         }},
        {"kept slots while another walk on the thread holds some",
         [] {
             KeptSlots outer;
             outer.take(1);
             KeptSlots().take(1);
         }},
    };
    for (const auto& [what, body] : forbidden) {
        EXPECT_EQ(in_small_budget([&body = body] {
                      body();
                      ::_exit(0);
                  }),
                  101)
            << what;
    }
}

// Where only /proc tells mounts, a lookup by name, one on an open directory and the mount
// table keep no slot: with the reserve at its fewest, a tool can still take its pipes.
TEST(DescriptorBudget, MountLookupsThroughProcLeaveTheReserveWhole) {
    test::TempDir t;
    const std::string dir = t / "d";
    test::make_dirs(dir);
    EXPECT_EQ(in_small_budget([&dir] {
                  set_mount_answers(MountAnswers::NoHandles);
                  auto probe = MountProbe::of(AT_FDCWD, dir.c_str());
                  ASSERT_TRUE(probe);
                  Handle open = open_at(AT_FDCWD, dir.c_str(), Slot::take());
                  struct stat st;
                  ASSERT_EQ(::fstat(open.fd(), &st), 0);
                  EXPECT_EQ(probe->place(open.fd(), "", st.st_dev).value_or(MountPlace::Other),
                            MountPlace::Same);
                  EXPECT_EQ(
                      probe->place(AT_FDCWD, dir.c_str(), st.st_dev).value_or(MountPlace::Other),
                      MountPlace::Same);
                  EXPECT_EQ(probe->first_below(dir), std::nullopt);
                  // Waits for good (until the alarm) if a lookup kept one.
                  EXPECT_EQ(Slot::take_reserved(kFewestReserved).size(), kFewestReserved);
              }),
              0);
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
            {
                ListingStack two({2, 2, 4096, ListingStack::LookUp::Types});
                EXPECT_EQ(walk_with(two, d), all);
                EXPECT_EQ(all.size(), 9u);
            }

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
