// Polls and retries with a bound: `poll_until` makes attempts until one
// succeeds or its `Limit` (a time, a number of attempts, or both) is reached.
#pragma once

#include <chrono>
#include <type_traits>
#include <utility>

namespace qlix::py {

// The bound of a poll: its last attempt is the one that begins once `time`
// has passed since the first began, or the `attempts`-th, whichever comes
// first (zero: no bound of that kind).
struct Limit {
    std::chrono::steady_clock::duration time{};
    int attempts = 0;
};

// Where a poll stands, for an attempt that acts differently when it is the
// last one (it then goes ahead, or raises, instead of asking for another).
class Poll {
public:
    explicit Poll(const Limit& limit) noexcept : limit_(limit), start_(std::chrono::steady_clock::now()) {}
    // True for the last attempt: the poll ends after it, whatever it returns.
    bool expired() const noexcept { return last_; }

private:
    template <class A, class P>
    friend bool poll_until(const Limit& limit, A&& attempt, P&& pause);
    void begin_attempt() noexcept {
        ++attempt_;
        last_ = (limit_.attempts > 0 && attempt_ >= limit_.attempts) ||
                (limit_.time.count() > 0 && std::chrono::steady_clock::now() - start_ >= limit_.time);
    }

    Limit limit_;
    std::chrono::steady_clock::time_point start_;
    int attempt_ = 0;
    bool last_ = false;
};

// Calls `attempt` (given the Poll when it takes one) until it returns true,
// running `pause` between attempts, and at most until its last attempt (see
// Limit). Returns whether an attempt succeeded; what either of them throws
// ends the poll.
template <class A, class P>
bool poll_until(const Limit& limit, A&& attempt, P&& pause) {
    Poll poll(limit);
    for (;;) {
        poll.begin_attempt();
        bool done;
        if constexpr (std::is_invocable_v<A&, const Poll&>) done = attempt(static_cast<const Poll&>(poll));
        else done = attempt();
        if (done) return true;
        if (poll.expired()) return false;
        pause();
    }
}

template <class A>
bool poll_until(const Limit& limit, A&& attempt) {
    return poll_until(limit, std::forward<A>(attempt), [] {});
}

}  // namespace qlix::py
