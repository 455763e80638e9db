#pragma once

// An unbounded multi-producer, single-consumer channel. Senders are cheap to copy; a
// send fails only when the receiver is gone, and then the message is dropped so the
// sender can carry on. The receiver never blocks unless it asks to.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace qb {

template <class T>
class Sender;
template <class T>
class Receiver;

namespace detail {

template <class T>
struct ChannelState {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<T> queue;
    std::size_t senders = 0;
    bool receiver_alive = true;
};

} // namespace detail

template <class T>
class Sender {
public:
    /// A sender that belongs to no channel: every send fails.
    Sender() = default;
    Sender(const Sender& other) : state_(other.state_) { attach(); }
    Sender(Sender&& other) noexcept : state_(std::move(other.state_)) {}
    Sender& operator=(const Sender& other) {
        if (this != &other) {
            detach();
            state_ = other.state_;
            attach();
        }
        return *this;
    }
    Sender& operator=(Sender&& other) noexcept {
        if (this != &other) {
            detach();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    ~Sender() { detach(); }

    /// Queues the message; false (and the message dropped) when the receiver is gone.
    bool send(T message) const {
        if (!state_) {
            return false;
        }
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->receiver_alive) {
                return false;
            }
            state_->queue.push_back(std::move(message));
        }
        state_->ready.notify_one();
        return true;
    }

private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel();

    explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {
        attach();
    }

    void attach() {
        if (state_) {
            std::lock_guard lock(state_->mutex);
            ++state_->senders;
        }
    }
    void detach() {
        if (!state_) {
            return;
        }
        bool last = false;
        {
            std::lock_guard lock(state_->mutex);
            last = --state_->senders == 0;
        }
        if (last) {
            state_->ready.notify_all();
        }
        state_.reset();
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
class Receiver {
public:
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    Receiver(Receiver&& other) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
        if (this != &other) {
            close();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    ~Receiver() { close(); }

    /// The next message when one is queued; never waits.
    std::optional<T> try_receive() {
        std::lock_guard lock(state_->mutex);
        return pop_locked();
    }

    /// Waits for the next message; none once the queue is empty and every sender is gone.
    std::optional<T> receive() {
        std::unique_lock lock(state_->mutex);
        state_->ready.wait(lock, [&] { return !state_->queue.empty() || state_->senders == 0; });
        return pop_locked();
    }

    /// Like receive(), but gives up after `timeout`.
    template <class Rep, class Period>
    std::optional<T> receive_for(std::chrono::duration<Rep, Period> timeout) {
        std::unique_lock lock(state_->mutex);
        state_->ready.wait_for(lock, timeout,
                               [&] { return !state_->queue.empty() || state_->senders == 0; });
        return pop_locked();
    }

    /// True when no sender is left, so nothing more can arrive after the queued messages.
    bool senders_gone() const {
        std::lock_guard lock(state_->mutex);
        return state_->senders == 0;
    }

private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel();

    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

    std::optional<T> pop_locked() {
        if (state_->queue.empty()) {
            return std::nullopt;
        }
        std::optional<T> message(std::move(state_->queue.front()));
        state_->queue.pop_front();
        return message;
    }

    // Later sends fail; queued messages are destroyed outside the lock, since a
    // message's destructor may itself hold a sender of this channel.
    void close() {
        if (!state_) {
            return;
        }
        std::deque<T> dropped;
        {
            std::lock_guard lock(state_->mutex);
            state_->receiver_alive = false;
            dropped.swap(state_->queue);
        }
        state_.reset();
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

/// A new channel with one sender; copy the sender for every further producer.
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
    auto state = std::make_shared<detail::ChannelState<T>>();
    return {Sender<T>(state), Receiver<T>(state)};
}

} // namespace qb
