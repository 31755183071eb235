// How deep a walk may go besides Python's recursion limit: the room left
// on the C stack of the walk's thread, looked up once per walk that nests
// deep enough to ask (see DepthGuard in walk.h).
#include "_redact/walk/walk.h"

#include <pthread.h>

namespace zentrove::redact {

bool stack_low(Walk& w) noexcept
{
    if (w.stack_floor == 0) {
        // The thread's stack bounds, looked up once per walk that gets this
        // deep; a margin is kept for what runs below the last check (a
        // finaliser, a mapping's Python code, a gc pass).
        void* low = nullptr;
        size_t size = 0;
#if defined(__GLIBC__)
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            if (pthread_attr_getstack(&attr, &low, &size) != 0) {
                low = nullptr;
            }
            pthread_attr_destroy(&attr);
        }
#endif
        if (low == nullptr) {
            w.stack_floor = 1;  // unknown: only the fixed cap applies
            return false;
        }
        constexpr size_t kMargin = size_t{256} << 10;
        const size_t margin = size / 4 < kMargin ? size / 4 : kMargin;
        w.stack_floor = reinterpret_cast<uintptr_t>(low) + margin;
    }
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < w.stack_floor;
}

}  // namespace zentrove::redact
