// SORVEL2_ASAN is 1 in builds with AddressSanitizer, which reserves far more
// address space than a test's limit allows: tests that cap the address
// space (RLIMIT_AS) to provoke out-of-memory paths are left out there.
// SORVEL2_TSAN is 1 in builds with ThreadSanitizer.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define SORVEL2_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SORVEL2_ASAN 1
#endif
#endif
#ifndef SORVEL2_ASAN
#define SORVEL2_ASAN 0
#endif

#if defined(__SANITIZE_THREAD__)
#define SORVEL2_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SORVEL2_TSAN 1
#endif
#endif
#ifndef SORVEL2_TSAN
#define SORVEL2_TSAN 0
#endif
