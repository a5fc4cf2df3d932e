#pragma once
// Which sanitizer a test is built under, for GCC (__SANITIZE_*__) and Clang (__has_feature) alike.
#if defined(__SANITIZE_ADDRESS__)
#define OSTRANE_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OSTRANE_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define OSTRANE_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define OSTRANE_TEST_TSAN 1
#endif
#endif
