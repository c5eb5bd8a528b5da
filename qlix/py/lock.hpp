// Holding a Python lock object (threading.Lock or anything with acquire and
// release) for a C++ block, as Python's `with lock:` does.
#pragma once

#include <type_traits>

#include "names.hpp"

namespace qlix::py {

// The hold `with_lock` and `try_lock` give their body. release() ends it early
// (then nothing more happens at the end of the body); a failing release raises.
class LockHold {
public:
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;

    void release() {
        if (!held_) return;
        held_ = false;
        call_method(lock_.get(), n_release);
    }

private:
    template <class F>
    friend auto with_lock(Ref lock, F&& body);
    template <class F, class... A>
    friend bool try_lock(Ref lock, F&& body, A... acquire_args);
    // Holds a lock its caller has just acquired.
    explicit LockHold(Ref lock) noexcept : lock_(std::move(lock)) {}

    Ref lock_;
    bool held_ = true;
};

namespace detail {
// Runs a body with the lock held, releasing it on every way out (see with_lock).
template <class F>
auto run_held(LockHold& hold, F& body) {
    return on_error(
        [&] {
            if constexpr (std::is_void_v<std::invoke_result_t<F&, LockHold&>>) {
                body(hold);
                hold.release();
            } else {
                auto result = body(hold);
                hold.release();
                return result;
            }
        },
        [&] { hold.release(); });
}
}  // namespace detail

// `with lock: return body(hold)`: takes the lock through its `acquire`, runs
// the body, and gives the lock back through `release` on every way out unless
// the body did (hold.release()). A failing release raises; when the body
// raised, a failing release raises its error with the body's error as its
// __context__. Other C++ exceptions pass through unchanged (the lock released,
// a release error dropped); while the thread is being ended at exit
// (abandoned()) the lock is left as it is.
template <class F>
auto with_lock(Ref lock, F&& body) {
    call_method(lock.get(), n_acquire);
    LockHold hold(std::move(lock));
    return detail::run_held(hold, body);
}

// `if lock.acquire(*acquire_args): with lock: body(hold)`, for a lock taken
// without waiting (acquire(False)) or within a time (acquire(True, seconds)):
// runs the body only when `acquire` reports the lock taken, then releases it
// as with_lock does. Returns whether it was taken.
template <class F, class... A>
bool try_lock(Ref lock, F&& body, A... acquire_args) {
    if (!truth(call_method(lock.get(), n_acquire, acquire_args...))) return false;
    LockHold hold(std::move(lock));
    detail::run_held(hold, body);
    return true;
}

}  // namespace qlix::py
