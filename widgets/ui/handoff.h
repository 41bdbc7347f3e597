// Hand-offs between threads that go through Qt's event queue. Qt's own locking is not built with
// ThreadSanitizer, so it cannot see that what a thread wrote before queueing a call is visible
// to the call on the other thread; these marks tell it. Without ThreadSanitizer they are empty.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define ZQ_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZQ_THREAD_SANITIZER 1
#endif
#endif

#ifdef ZQ_THREAD_SANITIZER
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace zq {

// Everything the calling thread did before HandOff(token) happens before what a thread does
// after TakeOver(token) on the same token.
inline void HandOff([[maybe_unused]] const void* token) {
#ifdef ZQ_THREAD_SANITIZER
    __tsan_release(const_cast<void*>(token));
#endif
}
inline void TakeOver([[maybe_unused]] const void* token) {
#ifdef ZQ_THREAD_SANITIZER
    __tsan_acquire(const_cast<void*>(token));
#endif
}

}  // namespace zq
