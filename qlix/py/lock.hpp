// Holding a Python lock object (threading.Lock or anything with acquire and
// release) for a C++ scope.
#pragma once

#include "names.hpp"

namespace qlix::py {

// Takes the lock through its `acquire` and gives it back through `release`
// on every way out. `release()` ends the hold on the normal path and reports a
// failing release; when the scope is left by an error instead, the destructor
// releases the lock and keeps that error in flight (a failing release is then
// reported as unraisable).
class LockHold {
public:
    explicit LockHold(Ref lock) : lock_(std::move(lock)) {
        release_name().get();  // interned now: the destructor must not need to
        static Name acquire{"acquire"};
        call_method(lock_.get(), acquire);
        held_ = true;
    }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;

    void release() {
        held_ = false;
        call_method(lock_.get(), release_name());
    }

    // May call Python (the release, the unraisable hook), so not noexcept;
    // leaves the lock as it is when the thread is being ended at exit.
    ~LockHold() noexcept(false) {
        if (!held_ || abandoned()) return;
        Fetched pending;
        PyObject* r = PyObject_CallMethodNoArgs(lock_.get(), release_name().get());
        if (r) {
            Py_DECREF(r);
        } else {
            PyErr_WriteUnraisable(lock_.get());
        }
        pending.restore();
    }

private:
    static Name& release_name() noexcept {
        static Name name{"release"};
        return name;
    }

    Ref lock_;
    bool held_ = false;
};

}  // namespace qlix::py
