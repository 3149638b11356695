// SPDX-License-Identifier: MIT
// libkelp: a prompted line reader.
//
// Every line handed out must stay readable until the process has run all
// its exit handlers, so each one is kept on a list that is freed only when
// the library itself is unloaded, after everything that uses it.

#include "kelp.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// One lock for the whole call: each caller gets one whole line, and the
// state below is shared.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

char **lines;		// every string handed out so far
size_t nlines, maxlines;
char *buf;		// what getline reads into, reused while lines are short
size_t cap;
char *partial;		// the start of a line whose read failed
size_t npartial;
bool lost;		// the start of this line is gone: skip the rest of it

// A long line must neither move nor fault 4 KiB at a time while getline
// grows it, so the buffer is a large reservation of address space, marked
// for huge pages past the part that short lines use: only what a line
// touches costs memory. Where address space is limited or strictly
// accounted, the reservation would be real memory; it starts small there.
constexpr size_t short_line = 128 << 10;	// copied out; buf is kept
constexpr size_t small_reserve = 1 << 20;
#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
// AddressSanitizer writes shadow memory for every byte reserved.
constexpr size_t large_reserve = 8 << 20;
#else
constexpr size_t large_reserve = size_t(1) << 30;
#endif
constexpr uintptr_t huge_page = 2 << 20, page = 4096;

bool
memory_is_tight()
{
	struct rlimit r;
	if (getrlimit(RLIMIT_AS, &r) == 0 && r.rlim_cur != RLIM_INFINITY)
		return true;
	static int strict = -1;
	if (strict < 0) {
		char mode = '0';
		int fd = open("/proc/sys/vm/overcommit_memory", O_RDONLY | O_CLOEXEC);
		if (fd >= 0) {
			if (read(fd, &mode, 1) != 1)
				mode = '0';
			close(fd);
		}
		strict = mode == '2';
	}
	return strict == 1;
}

void
reserve()
{
	size_t size = memory_is_tight() ? small_reserve : large_reserve;
	for (; size >= small_reserve; size /= 2) {
		buf = static_cast<char *>(malloc(size));
		if (buf != nullptr)
			break;
	}
	if (buf == nullptr) {
		cap = 0;	// getline allocates for itself
		return;
	}
	cap = size;
	uintptr_t at = reinterpret_cast<uintptr_t>(buf);
	if (size < 2 * huge_page) {
		// Too small for a huge page, but what getline's growth adds to
		// it can be one. The mark must cover the whole mapping, which is
		// the only kind that realloc grows in place; and only a block
		// with a mapping of its own ends on a page boundary.
		size_t lead = at % page, len = lead + malloc_usable_size(buf);
		if (len % page == 0)
			(void)madvise(buf - lead, len, MADV_HUGEPAGE);
		return;
	}
	size_t from = ((at + short_line + huge_page - 1) & ~(huge_page - 1)) - at;
	size_t to = ((at + size) & ~(page - 1)) - at;
	// Refused, or huge pages off: the line is read all the same.
	if (from + huge_page <= to)
		(void)madvise(buf + from, to - from, MADV_HUGEPAGE);
}

bool
keep(char *line)
{
	if (nlines == maxlines) {
		size_t n = maxlines == 0 ? 16 : 2 * maxlines;
		void *p = realloc(lines, n * sizeof *lines);
		if (p == nullptr)
			return false;
		lines = static_cast<char **>(p);
		maxlines = n;
	}
	lines[nlines++] = line;
	return true;
}

// Runs when the library is unloaded: at exit, after the program's exit
// handlers and static destructors and those of every library that uses
// this one. A thread still inside get_string keeps everything as it is.
[[gnu::destructor]] void
release()
{
	if (pthread_mutex_trylock(&lock) != 0)
		return;
	for (size_t i = 0; i < nlines; i++)
		free(lines[i]);
	free(lines);
	free(buf);
	free(partial);
	lines = nullptr;
	buf = partial = nullptr;
	nlines = maxlines = cap = npartial = 0;
	pthread_mutex_unlock(&lock);
}

// The start of this line cannot be had any more: rather than hand out the
// rest of it as a line of its own, the next call skips it.
void
forget(bool skip_rest)
{
	free(partial);
	partial = nullptr;
	npartial = 0;
	lost = skip_rest;
}

// Joins the start of a line kept from a failed read to the rest of it.
char *
join(const char *rest, size_t n)
{
	char *line = static_cast<char *>(realloc(partial, npartial + n + 1));
	if (line == nullptr)
		return nullptr;
	memcpy(line + npartial, rest, n);
	npartial += n;
	partial = line;
	return line;
}

// Reads one line and hands back a copy of it that the caller may keep.
string
read_line()
{
	// The error flag only says that an earlier read failed; whether
	// this one does is what counts. End of input stays as it was.
	if (ferror(stdin) && !feof(stdin))
		clearerr(stdin);
	if (lost) {
		if (scanf("%*[^\n]") != EOF && !ferror(stdin))
			(void)getc(stdin);	// its newline
		if (ferror(stdin))
			return nullptr;
		lost = false;
	}
	if (buf == nullptr)
		reserve();
	ssize_t n = getline(&buf, &cap, stdin);
	if (ferror(stdin)) {
		// What came before the failure is kept for the next call to
		// finish: never handed back as though it were the whole line.
		if (n > 0 && join(buf, static_cast<size_t>(n)) == nullptr)
			forget(true);
		return nullptr;
	}
	if (n < 0 && !feof(stdin)) {
		forget(true);	// memory ran out part way through the line
		return nullptr;
	}
	char *text = buf;
	size_t len = n < 0 ? 0 : static_cast<size_t>(n);
	if (partial != nullptr) {
		text = join(buf, len);
		if (text == nullptr) {
			forget(false);	// the rest of it is read already
			return nullptr;
		}
		len = npartial;
		partial = nullptr;
		npartial = 0;
	} else if (n < 0) {
		return nullptr;		// end of input before any byte of a line
	}
	if (len > 0 && text[len - 1] == '\n') {
		len--;
		if (len > 0 && text[len - 1] == '\r')
			len--;
	}
	text[len] = '\0';
	// A zero byte would cut the text short where the caller reads it.
	if (memchr(text, '\0', len) != nullptr) {
		if (text != buf)
			free(text);
		return nullptr;
	}
	char *line;
	if (text == buf && len + 1 < short_line) {
		line = static_cast<char *>(malloc(len + 1));
		if (line != nullptr)
			memcpy(line, text, len + 1);
	} else {
		// A long line keeps the memory it was read into, and the
		// next call reserves anew.
		if (text == buf) {
			buf = nullptr;
			cap = 0;
		}
		line = static_cast<char *>(realloc(text, len + 1));
		if (line == nullptr)
			line = text;
	}
	if (line != nullptr && !keep(line)) {
		free(line);
		line = nullptr;
	}
	return line;
}

void
show(const char *format, va_list ap)
{
	// ap may come started from our caller, where the analyzer cannot look.
	if (format != nullptr)
		vprintf(format, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
}

}

string
get_string(va_list *args, const char *format, ...)
{
	// A thread cancelled while it holds the lock would hold it forever.
	int cancel;
	(void)pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel);
	pthread_mutex_lock(&lock);
	if (args != nullptr) {
		show(format, *args);
	} else {
		va_list ap;
		va_start(ap, format);
		show(format, ap);
		va_end(ap);
	}
	// Whoever is about to type, or a program reading the pipe, must see
	// the prompt before the read blocks. A failed write stays on
	// stdout's error flag for the caller to find.
	(void)fflush(stdout);
	string line = read_line();
	pthread_mutex_unlock(&lock);
	(void)pthread_setcancelstate(cancel, nullptr);
	return line;
}
