// Holding a Python lock object (threading.Lock or anything with acquire and
// release) for a C++ block, as Python's `with lock:` does.
#pragma once

#include <type_traits>

#include "names.hpp"

namespace qlix::py {

// The hold `with_lock` gives its body. release() ends it early (then nothing
// more happens at the end of the body); a failing release raises.
class LockHold {
public:
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;

    void release() {
        if (!held_) return;
        held_ = false;
        static Name name{"release"};
        call_method(lock_.get(), name);
    }

private:
    template <class F>
    friend auto with_lock(Ref lock, F&& body);
    explicit LockHold(Ref lock) : lock_(std::move(lock)) {
        static Name acquire{"acquire"};
        call_method(lock_.get(), acquire);
    }

    Ref lock_;
    bool held_ = true;
};

// `with lock: return body(hold)`: takes the lock through its `acquire`, runs
// the body, and gives the lock back through `release` on every way out unless
// the body did (hold.release()). A failing release raises; when the body
// raised, a failing release raises its error with the body's error as its
// __context__. Other C++ exceptions pass through unchanged (the lock released,
// a release error dropped); while the thread is being ended at exit
// (abandoned()) the lock is left as it is.
template <class F>
auto with_lock(Ref lock, F&& body) {
    LockHold hold(std::move(lock));
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

}  // namespace qlix::py
