// The recursion guard of native code: the interpreter's depth count, and the real
// C stack of the running thread, so that no recursion limit lets native frames
// run off the end of the stack.
#include "native/api.h"

#include <pthread.h>

#include <algorithm>
#include <cstdint>

namespace py {
namespace {

// Room kept below the refusal point: what runs between two checks (native frames,
// the interpreter's own frames on 3.10, raising the error) must fit in it. The
// sanitizers' frames are several times larger.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t margin_cap = size_t(1) << 20;
constexpr size_t margin_share = 2;  // at most half the stack
#else
constexpr size_t margin_cap = size_t(256) << 10;
constexpr size_t margin_share = 4;  // at most a quarter of the stack
#endif

struct StackBounds {
    bool measured = false;
    uintptr_t low = 0;    // lowest address of the thread's stack
    uintptr_t high = 0;   // one past its highest
    uintptr_t limit = 0;  // below this, a new level is refused
};

// Read at every native level. This file is built with TLS descriptors where the
// compiler has them (CMakeLists.txt): a short call instead of a __tls_get_addr
// lookup, and no claim on the loader's scarce static TLS room, which a module
// opened at run time may find used up.
thread_local StackBounds bounds;

// Once per thread: kept out of line, so that the check itself stays small.
__attribute__((noinline, cold)) void measure(StackBounds& stack) {
    stack.measured = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return;
    void* address = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &address, &size) == 0 && size > 0) {
        stack.low = reinterpret_cast<uintptr_t>(address);
        stack.high = stack.low + size;
        stack.limit = stack.low + std::min(size / margin_share, margin_cap);
    }
    pthread_attr_destroy(&attr);
}

// Whether the current frame is in the last stretch of the thread's stack. A frame
// outside the measured stack (a stack switched by a coroutine library) is not
// judged: nothing is known about its bounds.
bool stack_nearly_spent() {
    StackBounds& stack = bounds;
    if (!stack.measured)
        measure(stack);
    auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    return here >= stack.low && here < stack.limit;
}

}  // namespace

int check_stack(const char* where) {
    if (stack_nearly_spent()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return -1;
    }
    return 0;
}

int enter_recursion(const char* where) {
    if (stack_nearly_spent()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return -1;
    }
    return compat::enter_recursive_call(where);
}

int enter_c_recursion(const char* where) {
    if (stack_nearly_spent()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return -1;
    }
    return Py_EnterRecursiveCall(where);
}

}  // namespace py
