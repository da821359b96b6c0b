#ifndef TSAN_HANDOFF_H
#define TSAN_HANDOFF_H

// Qt 5 orders what a QThread did before QThread::wait() returns through its
// own futex-based lock inside the uninstrumented Qt libraries, where
// ThreadSanitizer cannot see it: the owner destroying a worker after the
// wait would read as racing with the worker's last accesses. These mark the
// two ends of such a hand-off (the same key at both) in ThreadSanitizer
// builds and are nothing in others; the order itself is Qt's. (A race inside
// Qt itself, as in its queue of posted events, they cannot mend.)

#if defined(__SANITIZE_THREAD__)
#define SOLVER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SOLVER_TSAN 1
#endif
#endif

#ifdef SOLVER_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace tsan {

// In the handing thread, after its last access to what it hands over.
inline void handOff(const void *key)
{
#ifdef SOLVER_TSAN
    __tsan_release(const_cast<void *>(key));
#else
    static_cast<void>(key);
#endif
}

// In the receiving thread, before its first access.
inline void takeOver(const void *key)
{
#ifdef SOLVER_TSAN
    __tsan_acquire(const_cast<void *>(key));
#else
    static_cast<void>(key);
#endif
}

} // namespace tsan

#endif // TSAN_HANDOFF_H
