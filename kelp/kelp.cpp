// SPDX-License-Identifier: MIT
// libkelp: a prompted line reader.
//
// Every line handed out must stay readable until the process has run all
// its exit handlers, so the library keeps them all and frees them only
// when it is unloaded, after everything that uses it; it is linked with
// -z nodelete, so that dlclose cannot unload it any earlier.

#include "kelp.h"
#include "buffer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <pthread.h>
#include <sys/stat.h>

namespace {

// One lock for the whole call: each caller gets one whole line, and the
// state below is shared.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

char *partial;		// the start of a line whose read failed
size_t npartial;
bool lost;		// the start of this line is gone: skip the rest of it
bool reading;		// getline is under way, see interrupted()

// What is kept from a failed read belongs to the input it came from: a
// standard input reopened, replaced or given another file since then
// starts clean. A stream without a descriptor, or whose descriptor is
// closed, is known by itself alone: no file has inode 0.
struct input {
	FILE *stream;
	dev_t dev;
	ino_t ino;
} kept_from;

input
current_input()
{
	input in = {stdin, 0, 0};
	struct stat st;
	int fd = fileno(stdin);
	if (fd >= 0 && fstat(fd, &st) == 0) {
		in.dev = st.st_dev;
		in.ino = st.st_ino;
	}
	return in;
}

void
note_input()
{
	kept_from = current_input();
}

bool
same_input()
{
	input now = current_input();
	return now.stream == kept_from.stream && now.dev == kept_from.dev &&
	    now.ino == kept_from.ino;
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
	if (lost)
		note_input();
}

// Puts the start of the line kept from failed reads before the n bytes
// just read into buf, and keeps the whole as partial. The two are joined
// in the larger one, so that a long line is never copied whole, and read
// memory that a long piece touched is given back rather than kept.
bool
join(size_t n)
{
	if (partial == nullptr) {
		if (n >= short_line) {
			partial = take_buffer();
		} else {
			partial = static_cast<char *>(malloc(n + 1));
			if (partial == nullptr)
				return false;
			memcpy(partial, buf, n);
		}
		npartial = n;
		note_input();
		return true;
	}
	size_t total = npartial + n;
	if (n >= short_line && n > npartial) {
		if (cap < total + 1) {
			void *p = realloc(buf, total + 1);
			if (p == nullptr)
				return false;
			buf = static_cast<char *>(p);
			cap = total + 1;
		}
		memmove(buf + npartial, buf, n);
		memcpy(buf, partial, npartial);
		free(partial);
		partial = take_buffer();
	} else {
		void *p = realloc(partial, total + 1);
		if (p == nullptr)
			return false;
		partial = static_cast<char *>(p);
		if (n > 0)
			memcpy(partial + npartial, buf, n);
		if (n >= short_line)
			free(take_buffer());
	}
	npartial = total;
	return true;
}

// A read cut short by cancellation, or by a fork in another thread: the
// bytes it had taken are gone with it. None of them is a newline, and the
// buffer, never null while getline runs, began with one, so a first byte
// that is not a newline tells.
void
interrupted()
{
	if (!reading)
		return;
	reading = false;
	if (buf[0] != '\n')
		forget(true);
}

void
cleanup(void *)
{
	interrupted();
	pthread_mutex_unlock(&lock);
}

// A child forked while another thread was inside get_string must still
// be able to call it: the lock that thread held is not held in the child.
void
after_fork()
{
	interrupted();
	pthread_mutex_init(&lock, nullptr);
}

[[gnu::constructor]] void
init()
{
	(void)pthread_atfork(nullptr, nullptr, after_fork);
}

// Runs when the library is unloaded: at exit, after the program's exit
// handlers and static destructors and those of every library that uses
// this one. A thread still inside get_string keeps everything as it is.
[[gnu::destructor]] void
release()
{
	if (pthread_mutex_trylock(&lock) != 0)
		return;
	release_lines();
	free(partial);
	partial = nullptr;
	npartial = 0;
	pthread_mutex_unlock(&lock);
}

// Reads one line and hands back a copy of it that the caller may keep.
string
read_line()
{
	// The error flag only says that an earlier read failed; whether
	// this one does is what counts. End of input stays as it was.
	if (ferror(stdin) && !feof(stdin))
		clearerr(stdin);
	if ((partial != nullptr || lost) && !same_input())
		forget(false);
	if (feof(stdin))
		lost = false;	// the input is over, and the lost line with it
	if (lost) {
		if (scanf("%*[^\n]") != EOF && !ferror(stdin))
			(void)getc(stdin);	// its newline
		if (ferror(stdin))
			return nullptr;
		lost = false;
	}
	ssize_t n = -1;
	if (!feof(stdin)) {
		if (buf == nullptr && !reserve())
			return nullptr;
		buf[0] = '\n';
		reading = true;
		errno = 0;
		n = getline(&buf, &cap, stdin);
		reading = false;
		if (n < 0 && errno == ENOMEM) {
			// getline could not grow the buffer, and what it had
			// read of the line is gone; newer C libraries also set
			// the error flag.
			forget(true);
			return nullptr;
		}
		if (ferror(stdin)) {
			// What came before the failure is kept for the next
			// call to finish: never handed back as though it were
			// the whole line.
			if (n > 0 && !join(static_cast<size_t>(n)))
				forget(true);
			return nullptr;
		}
	}
	char *text = buf;
	size_t len = n < 0 ? 0 : static_cast<size_t>(n);
	if (partial != nullptr) {
		if (!join(len)) {
			forget(false);	// the rest of it is read already
			return nullptr;
		}
		text = partial;
		len = npartial;
		partial = nullptr;
		npartial = 0;
	} else if (n < 0) {
		return nullptr;		// end of input before any byte of a line
	}
	// Never empty here: getline gives a byte at least, and so does a
	// kept start; the first test is for safety alone.
	if (len > 0 && text[len - 1] == '\n') {	// GCOVR_EXCL_BR_LINE
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
	return keep(text, len);
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
	string line = nullptr;
	pthread_mutex_lock(&lock);
	// A thread cancelled while it waits for its line lets the lock go.
	pthread_cleanup_push(cleanup, nullptr);
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
	line = read_line();
	pthread_cleanup_pop(0);
	pthread_mutex_unlock(&lock);
	return line;
}
