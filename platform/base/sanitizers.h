#pragma once

// VELLUMARK_ASAN is 1 in a build under AddressSanitizer, which GCC tells
// with __SANITIZE_ADDRESS__ and clang with __has_feature; undefined
// otherwise. A macro, for the preprocessor tests that pair it with others.
#if defined(__SANITIZE_ADDRESS__)
#define VELLUMARK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELLUMARK_ASAN 1
#endif
#endif
