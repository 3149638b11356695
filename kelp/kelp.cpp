// libkelp: a prompted line reader.
//
// Every line handed out must stay readable until exit, so each call reads
// into a buffer of its own and keeps it on a list that is freed at exit.

#include "kelp.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

	char *line = nullptr;
	size_t size = 0;
	ssize_t n = getline(&line, &size, stdin);
	// A zero byte would cut the text short where the caller reads it.
	if (n < 0 || memchr(line, '\0', static_cast<size_t>(n)) != nullptr ||
	    !keep(line)) {
		free(line);
		return nullptr;
	}
	if (n > 0 && line[n - 1] == '\n') {
		line[--n] = '\0';
		if (n > 0 && line[n - 1] == '\r')
			line[--n] = '\0';
	}
	return line;
}
