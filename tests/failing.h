// SPDX-License-Identifier: MIT
// Allocations that fail where a test says: the nth from now, every one
// from the nth on, every one of 4 MiB or more and the nth of the others,
// every one of 1 MiB or more and the others from the nth on, or every one
// of more than n bytes. Only
// allocations made while it is armed count. The sanitizers bring
// allocators of their own, so under them none fails.

#ifndef TESTS_FAILING_H
#define TESTS_FAILING_H

#include <cerrno>
#include <cstddef>

#ifndef __has_feature
#define __has_feature(x) 0	// g++ tells by __SANITIZE_ADDRESS__ instead
#endif
#if defined(__SANITIZE_THREAD__) || __has_feature(thread_sanitizer)
#define TSAN 1
#else
#define TSAN 0
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer) || TSAN
#define SANITIZED 1
#else
#define SANITIZED 0
#endif

enum class fail { none, nth, from_nth, large_and_nth, large, over };
inline fail failing;
inline long fail_count;
inline bool armed;

inline bool
fail_now(size_t size)
{
	if (!armed)
		return false;
	switch (failing) {
	case fail::nth:
		return --fail_count == 0;
	case fail::from_nth:
		return --fail_count <= 0;
	case fail::large_and_nth:
		return size >= (4u << 20) || --fail_count == 0;
	case fail::large:
		return size >= (1u << 20) || --fail_count <= 0;
	case fail::over:
		return size > size_t(fail_count);
	default:
		return false;
	}
}

// Weak: each test file may include this, and one of each is kept.
#if !SANITIZED
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_realloc(void *, size_t);

extern "C" void *test_malloc(size_t n) __asm__("malloc");

extern "C" [[gnu::weak]] void *
test_malloc(size_t n)
{
	if (fail_now(n)) {
		errno = ENOMEM;
		return nullptr;
	}
	return __libc_malloc(n);
}

extern "C" void *test_realloc(void *p, size_t n) __asm__("realloc");

extern "C" [[gnu::weak]] void *
test_realloc(void *p, size_t n)
{
	if (fail_now(n)) {
		errno = ENOMEM;
		return nullptr;
	}
	return __libc_realloc(p, n);
}
#endif

#endif
