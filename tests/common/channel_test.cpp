#include "common/channel.hpp"

#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qb {
namespace {

TEST(Channel, DeliversInOrderAndReportsWhenSendersAreGone) {
    auto [tx, rx] = make_channel<std::string>();
    EXPECT_FALSE(rx.try_receive().has_value());
    EXPECT_TRUE(tx.send("a"));
    Sender<std::string> clone = tx;
    EXPECT_TRUE(clone.send("b"));
    EXPECT_TRUE(tx.send("c"));
    EXPECT_EQ(rx.try_receive(), "a");
    EXPECT_EQ(rx.receive(), "b");
    EXPECT_EQ(rx.receive_for(std::chrono::milliseconds(1)), "c");
    // Empty with senders alive: a timed wait gives up, a try does not wait at all.
    EXPECT_FALSE(rx.receive_for(std::chrono::milliseconds(1)).has_value());
    EXPECT_FALSE(rx.senders_gone());

    { auto moved = std::move(tx); }
    EXPECT_FALSE(rx.senders_gone());
    EXPECT_TRUE(clone.send("d"));
    clone = Sender<std::string>();
    EXPECT_TRUE(rx.senders_gone());
    // Queued messages outlive their senders; then a blocking receive returns at once.
    EXPECT_EQ(rx.receive(), "d");
    EXPECT_FALSE(rx.receive().has_value());
    EXPECT_FALSE(Sender<std::string>().send("nowhere"));
}

TEST(Channel, ManyProducersLoseNothingAndKeepEachProducersOrder) {
    struct Message {
        int producer;
        int seq;
    };
    constexpr int kProducers = 8;
    constexpr int kEach = 5000;
    auto [tx, rx] = make_channel<Message>();
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([sender = tx, p] {
            for (int i = 0; i < kEach; ++i) {
                ASSERT_TRUE(sender.send({p, i}));
            }
        });
    }
    tx = Sender<Message>();
    std::vector<int> next(kProducers, 0);
    int total = 0;
    while (auto m = rx.receive()) {
        ASSERT_EQ(m->seq, next[m->producer]) << "producer " << m->producer;
        ++next[m->producer];
        ++total;
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(total, kProducers * kEach);
}

TEST(Channel, SendAfterTheReceiverIsGoneFailsAndDropsTheMessage) {
    auto payload = std::make_shared<int>(7);
    auto [tx, rx] = make_channel<std::shared_ptr<int>>();
    ASSERT_TRUE(tx.send(payload));
    EXPECT_EQ(payload.use_count(), 2);
    { auto gone = std::move(rx); } // the queued copy goes with the receiver
    EXPECT_EQ(payload.use_count(), 1);
    EXPECT_FALSE(tx.send(payload));
    EXPECT_EQ(payload.use_count(), 1);

    // Senders racing with the receiver's end never crash and stop succeeding for good.
    auto [tx2, rx2] = make_channel<int>();
    std::vector<std::thread> threads;
    std::atomic<int> late_success{0};
    std::atomic<bool> closed{false};
    for (int p = 0; p < 4; ++p) {
        threads.emplace_back([sender = tx2, &late_success, &closed] {
            for (int i = 0; i < 20000; ++i) {
                bool was_closed = closed.load();
                if (sender.send(i) && was_closed) {
                    ++late_success;
                }
            }
        });
    }
    for (int i = 0; i < 100; ++i) {
        (void)rx2.try_receive();
    }
    { auto gone = std::move(rx2); }
    closed = true;
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(late_success.load(), 0);
}

// A message may carry a sender of its own channel (a worker hands one on); dropping such
// queued messages when the receiver ends must not deadlock.
struct Carrier {
    Sender<Carrier> back;
};

TEST(Channel, QueuedMessagesHoldingSendersAreDroppedSafely) {
    auto [tx, rx] = make_channel<Carrier>();
    ASSERT_TRUE(tx.send(Carrier{tx}));
    ASSERT_TRUE(tx.send(Carrier{tx}));
    tx = Sender<Carrier>();
    EXPECT_FALSE(rx.senders_gone()); // the queued messages still hold senders
    auto first = rx.try_receive();
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(first->back.send(Carrier{}));
    { auto gone = std::move(rx); }
    EXPECT_FALSE(first->back.send(Carrier{}));
}

} // namespace
} // namespace qb
