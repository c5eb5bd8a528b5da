#include "wake.hpp"

#include "channel.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include <pythread.h>

namespace qlix::wake {

struct Signal {
    std::atomic<unsigned long long> events{0};
    std::atomic<unsigned long long> cancels{0};
    std::atomic<int> sleepers{0};
    std::atomic<bool> lost{false};
    std::mutex mu;                            // guards `waiting`; never held across a GIL change
    std::vector<PyThread_type_lock> waiting;  // one locked lock per sleeping waiter
    PyObject* on_event = nullptr;             // called by notify when set; read and changed under the GIL
};

namespace {

struct SignalObject {
    PyObject_HEAD
    Signal* signal;
};

PyTypeObject* s_signal_type = nullptr;

int signal_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (Signal* s = reinterpret_cast<SignalObject*>(self)->signal) Py_VISIT(s->on_event);
    return 0;
}

int signal_clear(PyObject* self) {
    if (Signal* s = reinterpret_cast<SignalObject*>(self)->signal) Py_CLEAR(s->on_event);
    return 0;
}

void signal_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    signal_clear(self);
    delete reinterpret_cast<SignalObject*>(self)->signal;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* signal_cancel(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&] {
        Signal& s = *reinterpret_cast<SignalObject*>(self)->signal;
        s.cancels.fetch_add(1);
        notify(s);
        return py::none().release();
    });
}

// read(channel, max_size, timeout): see qlix::read_within.
PyObject* signal_read(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return py::guard<PyObject*>(nullptr, [&] {
        if (nargs != 3) py::raise(PyExc_TypeError, "read() takes 3 arguments (channel, max_size, timeout)");
        return read_within(args[0], args[1], args[2]).release();
    });
}

PyObject* signal_lost_get(PyObject* self, void*) {
    return PyBool_FromLong(lost(*reinterpret_cast<SignalObject*>(self)->signal));
}

PyObject* signal_on_event_get(PyObject* self, void*) {
    PyObject* f = reinterpret_cast<SignalObject*>(self)->signal->on_event;
    return Py_NewRef(f ? f : Py_None);
}

int signal_on_event_set(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "on_event must be callable or None");
        return -1;
    }
    Signal& s = *reinterpret_cast<SignalObject*>(self)->signal;
    Py_XSETREF(s.on_event, Py_XNewRef(value));
    return 0;
}

PyMethodDef signal_methods[] = {
    {"cancel", signal_cancel, METH_NOARGS, "Ends every read waiting on the channel now, with what it has."},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(signal_read)), METH_FASTCALL,
     "read(channel, max_size, timeout): channel.read(max_size) waiting at most `timeout` seconds instead of the "
     "channel's own time-out."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef signal_getset[] = {
    {"lost", signal_lost_get, nullptr, "True once the channel's adapter was lost (its reader failed).", nullptr},
    {"on_event", signal_on_event_get, signal_on_event_set,
     "None, or a callable run without arguments after each wake-up (input, close, adapter loss, a reply, "
     "cancel()), on the notifying thread with the GIL held. Its errors are reported as unraisable.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot signal_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(signal_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(signal_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(signal_clear)},
    {Py_tp_methods, signal_methods},
    {Py_tp_getset, signal_getset},
    {Py_tp_doc, const_cast<char*>("Wakes the threads waiting on one channel.")},
    {0, nullptr},
};

PyType_Spec signal_spec = {
    "ozu_qlix._InputSignal",
    static_cast<int>(sizeof(SignalObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    signal_slots,
};

#ifdef MS_WINDOWS
// The main thread's identity, for the Ctrl-C check between sleeps.
bool on_main_thread() {
    static unsigned long main_ident = 0;
    if (!main_ident) {
        py::Ref threading = py::check(PyImport_ImportModule("threading"));
        py::Ref main = py::check(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
        py::Ref ident = py::check(PyObject_GetAttrString(main.get(), "ident"));
        main_ident = PyLong_AsUnsignedLong(ident.get());
        if (PyErr_Occurred()) py::throw_error();
    }
    return PyThread_get_thread_ident() == main_ident;
}
#endif

// Microseconds from now to the deadline, as the lock wait takes them: -1 for
// no limit, capped at the longest wait the interpreter allows.
long long microseconds_until(std::optional<Clock::time_point> deadline) {
    if (!deadline) return -1;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(*deadline - Clock::now()).count();
    if (left < 0) return 0;
    return std::min<long long>(left, static_cast<long long>(PY_TIMEOUT_MAX));
}

// Runs the on_event callable; an error it raises is reported, not passed on,
// and an error already pending in the caller is kept.
void run_on_event(PyObject* on_event) {
    py::ErrorScope kept;
    py::Ref f = py::Ref::borrow(on_event);  // alive even if the call replaces it
    if (!py::Ref::steal(PyObject_CallNoArgs(f.get()))) PyErr_WriteUnraisable(f.get());
}

// One waiter's sleep: a lock of its own, taken once (the next acquire sleeps
// until a notifier releases it), and the waiter counted among the signal's
// sleepers. On every way out (a throw included) the lock leaves the signal's
// list and is freed, and the count drops again; except while the thread is
// ended at exit (abandoned()): the lock then stays registered, a later notify
// releases it, and it is never freed.
class Sleep {
public:
    explicit Sleep(Signal& s) : s_(s), lock_(PyThread_allocate_lock()) {
        if (!lock_) {
            PyErr_NoMemory();
            py::throw_error();
        }
        PyThread_acquire_lock(lock_, WAIT_LOCK);
        s_.sleepers.fetch_add(1);  // before the events are compared: see notify
    }
    Sleep(const Sleep&) = delete;
    Sleep& operator=(const Sleep&) = delete;
    ~Sleep() {
        if (py::abandoned()) return;
        {
            std::lock_guard<std::mutex> hold(s_.mu);
            auto it = std::find(s_.waiting.begin(), s_.waiting.end(), lock_);
            if (it != s_.waiting.end()) s_.waiting.erase(it);
        }
        s_.sleepers.fetch_sub(1);
        PyThread_free_lock(lock_);
    }

    // Registers the lock for a notifier to release, unless the event count
    // has moved on from `seen`; false then (no sleep is needed).
    bool register_unless_moved(unsigned long long seen) {
        std::lock_guard<std::mutex> hold(s_.mu);
        if (s_.events.load() != seen) return false;
        s_.waiting.push_back(lock_);
        return true;
    }
    // Sleeps, with the GIL released, until released or `us` microseconds pass.
    void sleep(long long us) {
        Py_BEGIN_ALLOW_THREADS PyThread_acquire_lock_timed(lock_, us, 1);
        Py_END_ALLOW_THREADS
    }

private:
    Signal& s_;
    PyThread_type_lock lock_;
};

}  // namespace

py::Ref make_signal() {
    if (!s_signal_type)
        s_signal_type = reinterpret_cast<PyTypeObject*>(py::check(PyType_FromSpec(&signal_spec)).release());
    auto* obj = PyObject_GC_New(SignalObject, s_signal_type);
    if (!obj) py::throw_error();
    obj->signal = new (std::nothrow) Signal;
    py::Ref ref = py::Ref::steal(reinterpret_cast<PyObject*>(obj));
    if (!obj->signal) {
        PyErr_NoMemory();
        py::throw_error();
    }
    PyObject_GC_Track(obj);
    return ref;
}

Signal* as_signal(py::Borrowed o) noexcept {
    if (!o || !s_signal_type || Py_TYPE(o) != s_signal_type) return nullptr;
    return reinterpret_cast<SignalObject*>(o.get())->signal;
}

unsigned long long events(const Signal& s) noexcept { return s.events.load(); }
bool lost(const Signal& s) noexcept { return s.lost.load(); }
unsigned long long cancels(const Signal& s) noexcept { return s.cancels.load(); }

void notify(Signal& s) {
    s.events.fetch_add(1);
    if (s.sleepers.load() != 0) {  // a waiter counts itself before it checks the events
        std::lock_guard<std::mutex> hold(s.mu);
        for (PyThread_type_lock lock : s.waiting) PyThread_release_lock(lock);
        s.waiting.clear();
    }
    if (s.on_event) run_on_event(s.on_event);  // last: the callable may drop the signal
}

void mark_lost(Signal& s) {
    s.lost.store(true);
    notify(s);
}

void wait(Signal& s, unsigned long long seen, std::optional<Clock::time_point> deadline) {
    long long us = microseconds_until(deadline);
    if (us == 0) return;
#ifdef MS_WINDOWS
    if (on_main_thread() && (us < 0 || us > 50000)) us = 50000;
#endif
    {
        Sleep sleep(s);
        if (sleep.register_unless_moved(seen)) sleep.sleep(us);
    }
    // Woken, timed out or interrupted: a signal handler that is due runs now
    // (on the main thread; elsewhere this is one flag test).
    if (PyErr_CheckSignals() < 0) py::throw_error();
}

}  // namespace qlix::wake
