// libkelp: a prompted line reader.
//
// Every line handed out must stay readable until exit, so each call reads
// into a buffer of its own and keeps it on a list that is freed at exit.

#include "kelp.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <malloc.h>
#include <sys/mman.h>

namespace {

char **lines;		// every string handed out so far
size_t nlines, maxlines;

void
release(void)
{
	for (size_t i = 0; i < nlines; i++)
		free(lines[i]);
	free(lines);
	lines = nullptr;
	nlines = maxlines = 0;
}

bool
keep(char *line)
{
	if (nlines == maxlines) {
		if (maxlines == 0 && atexit(release) != 0)
			return false;
		size_t n = maxlines == 0 ? 4 : 2 * maxlines;
		void *p = realloc(lines, n * sizeof *lines);
		if (p == nullptr)
			return false;
		lines = static_cast<char **>(p);
		maxlines = n;
	}
	lines[nlines++] = line;
	return true;
}

// Each 4 KiB that getline's buffer grows by costs a page fault, and on a
// long line those faults are most of the time the read takes. A buffer
// that malloc maps on its own keeps its mapping, and any mark on it, as
// realloc grows it; so the first buffer is made large enough to be mapped
// on its own, and marked for huge pages, which cuts the faults of a 64 MiB
// line from about 16500 to about 3200. A short line touches one page of it.
constexpr size_t first_size = 1 << 20;

char *
new_buffer(size_t *size)
{
	char *p = static_cast<char *>(malloc(first_size));
	if (p == nullptr)
		return nullptr;
	*size = first_size;
	// Only a buffer with a mapping of its own ends on a page boundary.
	const size_t page = 4096;
	uintptr_t at = reinterpret_cast<uintptr_t>(p);
	size_t end = at % page + malloc_usable_size(p);
	if (end % page == 0)
		(void)madvise(p - at % page, end, MADV_HUGEPAGE);
	return p;
}

// Gives back what the line does not use. A short line moves to a block of
// its own size, so that a program that keeps many lines does not keep a
// large buffer for each.
char *
fit(char *line, size_t len)
{
	if (len < first_size / 2) {
		char *copy = static_cast<char *>(malloc(len));
		if (copy != nullptr) {
			memcpy(copy, line, len);
			free(line);
			return copy;
		}
	}
	char *shrunk = static_cast<char *>(realloc(line, len));
	if (shrunk == nullptr)
		return line;	// left as it was
	return shrunk;
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

	size_t size = 0;
	char *line = new_buffer(&size);
	ssize_t n = getline(&line, &size, stdin);
	// A zero byte would cut the text short where the caller reads it.
	if (n < 0 || memchr(line, '\0', static_cast<size_t>(n)) != nullptr) {
		free(line);
		return nullptr;
	}
	if (n > 0 && line[n - 1] == '\n') {
		line[--n] = '\0';
		if (n > 0 && line[n - 1] == '\r')
			line[--n] = '\0';
	}
	line = fit(line, static_cast<size_t>(n) + 1);
	if (!keep(line)) {
		free(line);
		return nullptr;
	}
	return line;
}
