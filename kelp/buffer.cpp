// SPDX-License-Identifier: MIT
// libkelp's memory: the read buffer, and the lines kept until unload.

#include "buffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

char *buf;			// the line being read; null until room()
size_t cap;

// A long line must neither move nor fault 4 KiB at a time while it
// grows, so the buffer is a large reservation of address space, marked
// for huge pages: only what a line touches costs memory. Where memory is
// limited or strictly accounted, or the allocator fills what it hands
// out, the reservation would be real memory; it starts small there.
constexpr size_t small_reserve = 1 << 20;
#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
// AddressSanitizer writes shadow memory for every byte reserved.
constexpr size_t large_reserve = 8 << 20;
#else
// A 32-bit process has too little address space to set 1 GiB aside for
// as long as it runs; its buffer grows with the line instead.
constexpr size_t large_reserve = sizeof(void *) < 8 ? small_reserve : size_t(1) << 30;
#endif
// A huge page larger than this is never asked for: on arm64 kernels with
// 16 KiB or 64 KiB pages it is 32 MiB or 512 MiB, which a short line
// would cost whole.
constexpr size_t huge_limit = 4 << 20;

// The kernel's huge page, from sysfs; 0 where it does not say.
size_t
huge_page()
{
	static size_t size = SIZE_MAX;	// not yet read: it never changes
	if (size == SIZE_MAX) {
		char text[32] = "";
		int fd = open("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size",
		    O_RDONLY | O_CLOEXEC);
		(void)!read(fd, text, sizeof text - 1);	// none: a failed read
		close(fd);
		size = strtoul(text, nullptr, 10);
	}
	return size;
}

// Lines shorter than this are copied out of the buffer; a longer one
// keeps the memory it was read into. Each such line is a mapping of its
// own, and the kernel allows a process only so many.
constexpr size_t short_line = 1 << 20;
constexpr size_t reuse_limit = 128 << 10;

// The C library's malloc fills each block it hands out when asked to, by
// MALLOC_PERTURB_ or by the tunable glibc.malloc.perturb, as debugging
// runs and meson's tests do.
bool
allocator_fills()
{
	const char *p = getenv("MALLOC_PERTURB_");
	if (p != nullptr && strtol(p, nullptr, 0) != 0)
		return true;
	const char *t = getenv("GLIBC_TUNABLES");
	const char *name = "glibc.malloc.perturb=";
	for (; t != nullptr && (t = strstr(t, name)) != nullptr; t++)
		if (strtol(t + strlen(name), nullptr, 0) != 0)
			return true;
	return false;
}

// Where /proc cannot be read, the kernel's default is assumed.
bool
strict_overcommit()
{
	char mode = '0';
	int fd = open("/proc/sys/vm/overcommit_memory", O_RDONLY | O_CLOEXEC);
	if (fd >= 0) {
		(void)!read(fd, &mode, 1);	// a failed read leaves it as it was
		close(fd);
	}
	return mode == '2';
}

bool
memory_is_tight()
{
	// getrlimit cannot fail for these; no limit is unlimited.
	struct rlimit as = {RLIM_INFINITY, RLIM_INFINITY}, data = as;
	(void)getrlimit(RLIMIT_AS, &as);
	(void)getrlimit(RLIMIT_DATA, &data);
	if (as.rlim_cur != RLIM_INFINITY || data.rlim_cur != RLIM_INFINITY)
		return true;
	// Neither changes while the process runs.
	static int tight = -1;
	if (tight < 0)
		tight = allocator_fills() || strict_overcommit();
	return tight == 1;
}

// Short lines are kept in blocks, one bump of a pointer each; a line too
// large for a block's spare room gets one of its own, and long lines keep
// their own memory, on a list.
struct block {
	block *next;
	size_t used, size;	// bytes of the block after this header
};
constexpr size_t block_size = (64 << 10) - sizeof(block);

block *blocks;			// the newest first
char **longs;			// the long lines
size_t nlongs, maxlongs;

char *
store(const char *text, size_t n)
{
	block *b = blocks;
	if (b == nullptr || b->size - b->used < n) {
		size_t size = n > block_size / 4 ? n : block_size;
		b = static_cast<block *>(malloc(sizeof(block) + size));
		if (b == nullptr)
			return nullptr;
		b->used = 0;
		b->size = size;
		// A block of one line goes behind the one still filling.
		if (size != block_size && blocks != nullptr) {
			b->next = blocks->next;
			blocks->next = b;
		} else {
			b->next = blocks;
			blocks = b;
		}
	}
	char *line = reinterpret_cast<char *>(b + 1) + b->used;
	memcpy(line, text, n);
	b->used += n;
	return line;
}

bool
remember(char *line)
{
	if (nlongs == maxlongs) {
		size_t n = maxlongs == 0 ? 2 : 2 * maxlongs;
		void *p = realloc(longs, n * sizeof *longs);
		if (p == nullptr)
			return false;
		longs = static_cast<char **>(p);
		maxlongs = n;
	}
	longs[nlongs++] = line;
	return true;
}

bool
reserve()
{
	size_t size = memory_is_tight() ? small_reserve : large_reserve;
	for (; size >= small_reserve; size /= 2) {
		buf = static_cast<char *>(malloc(size));
		if (buf != nullptr)
			break;
	}
	if (buf == nullptr) {
		size = 128;	// it grows with the line, while it can
		buf = static_cast<char *>(malloc(size));
		if (buf == nullptr)
			return false;
	}
	cap = size;
	// The whole mapping is marked, never a part: that would split it,
	// and realloc could then neither grow it in place past the
	// reservation nor shrink it without a mapping more. A block this
	// large has a mapping of its own, from the page it starts in to the
	// page its usable end lies in: how much of that last page counts as
	// usable differs between C libraries and their versions. Where the
	// allocator put it in its heap after all, the marking is a hint on
	// those pages alone. Where huge pages are too large, it is marked
	// never to have them, which the kernel may give unasked. Refused, or
	// huge pages off: the line is read all the same.
	if (size < small_reserve)
		return true;
	auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
	size_t lead = reinterpret_cast<uintptr_t>(buf) % page;
	size_t len = lead + malloc_usable_size(buf) + page - 1;
	(void)madvise(buf - lead, len - len % page,
	    huge_page() <= huge_limit ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
	return true;
}

char *
take_buffer()
{
	char *p = buf;
	buf = nullptr;
	cap = 0;
	return p;
}

}

char *
room(size_t need)
{
	if (buf == nullptr && !reserve())
		return nullptr;
	if (need < cap)
		return buf;
	// Doubling keeps a line that outgrows its reservation linear to
	// read; where twice cannot be had, just enough may still be.
	size_t more = need + 1 > 2 * cap ? need + 1 : 2 * cap;
	void *p = realloc(buf, more);
	if (p == nullptr && more > need + 1)
		p = realloc(buf, more = need + 1);
	if (p == nullptr)
		return nullptr;
	buf = static_cast<char *>(p);
	cap = more;
	return buf;
}

string
keep(size_t len)
{
	buf[len] = '\0';
	if (len < short_line) {
		char *line = store(buf, len + 1);
		// A line that touched more of the buffer than a short one
		// gives its pages back; the next line reserves anew.
		if (len >= reuse_limit)
			free_buffer();
		return line;
	}
	// Give back what the reservation holds past the line: in place, or,
	// where that fails, by a copy of its own.
	char *text = take_buffer();
	char *line = static_cast<char *>(realloc(text, len + 1));
	if (line == nullptr) {
		line = static_cast<char *>(malloc(len + 1));
		if (line != nullptr) {
			memcpy(line, text, len + 1);
			free(text);
		} else {
			line = text;
		}
	}
	if (!remember(line)) {
		free(line);
		return nullptr;
	}
	return line;
}

void
drop(size_t len)
{
	if (len >= reuse_limit)
		free_buffer();
}

void
free_buffer()
{
	free(take_buffer());
}

void
release_lines()
{
	while (blocks != nullptr) {
		block *b = blocks;
		blocks = b->next;
		free(b);
	}
	for (size_t i = 0; i < nlongs; i++)
		free(longs[i]);
	free(longs);
	longs = nullptr;
	nlongs = maxlongs = 0;
	free_buffer();
}
