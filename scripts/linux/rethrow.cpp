// Linked into the Linux wheels' binaries (zig's libc++ and libc++abi, the
// system's libgcc_s unwinder): `throw;` of a foreign exception continues its
// unwind as it began. libc++abi rethrows every exception with a new raise,
// which turns the forced unwind that ends a thread (pthread_exit, at
// interpreter exit) into an exception nothing catches, and so into
// std::terminate. The linker routes the C++ runtime's __cxa_begin_catch and
// __cxa_rethrow through these (--wrap).
#include <cxxabi.h>
#include <unwind.h>

#include <cstdint>
#include <exception>

extern "C" void* __real___cxa_begin_catch(void* exception) noexcept;
extern "C" [[noreturn]] void __real___cxa_rethrow();
// The C++ ABI's per-thread exception state; its first member is the stack of
// caught exceptions.
extern "C" void* __cxa_get_globals() noexcept;

namespace {
// The foreign exception this thread caught last.
thread_local _Unwind_Exception* caught_foreign = nullptr;

bool is_cxx(const _Unwind_Exception* exception) {
    // C++ exception classes end in "C++\0" (or "C++\1", a dependent one).
    const std::uint64_t low = exception->exception_class & 0xFFFFFF00u;
    return low == (std::uint64_t{'C'} << 24 | std::uint64_t{'+'} << 16 | std::uint64_t{'+'} << 8);
}
}  // namespace

extern "C" void* __wrap___cxa_begin_catch(void* exception) noexcept {
    auto* unwind = static_cast<_Unwind_Exception*>(exception);
    if (!is_cxx(unwind)) caught_foreign = unwind;
    return __real___cxa_begin_catch(exception);
}

extern "C" [[noreturn]] void __wrap___cxa_rethrow() {
    _Unwind_Exception* foreign = caught_foreign;
    if (foreign && !abi::__cxa_current_exception_type()) {
        caught_foreign = nullptr;
        // As libc++abi's own rethrow of a foreign exception: leaving the
        // caught-exceptions stack empty tells __cxa_end_catch not to delete it.
        *static_cast<void**>(__cxa_get_globals()) = nullptr;
        _Unwind_Resume_or_Rethrow(foreign);
        std::terminate();
    }
    __real___cxa_rethrow();
}
