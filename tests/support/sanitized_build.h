#pragma once
// TAVI_SANITIZED_BUILD is defined in builds with AddressSanitizer or ThreadSanitizer (GCC or clang).

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAVI_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TAVI_SANITIZED_BUILD 1
#endif
#endif
