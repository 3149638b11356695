// SPDX-License-Identifier: MIT
// libkelp: a prompted line reader.
//
// Every line handed out must stay readable until the process has run all
// its exit handlers, so the library keeps them all and frees them only
// when it is unloaded, after everything that uses it; it is linked with
// -z nodelete, so that dlclose cannot unload it any earlier.
//
// The line is taken from standard input's stdio buffer, and a wait for
// input that has not come is a poll outside stdio, holding none of its
// locks: C libraries take every stream's lock in exit, some in fork too,
// and a thread blocked inside getline would hold them up. Only stdio
// reads stdin, so whatever stdio holds, the read-ahead and a pushed-back
// byte alike, comes first.

#include "kelp.h"
#include "buffer.h"
#include "editor.h"
#include "stream.h"
#include "term.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One lock for the whole call: each caller gets one whole line, and the
// state below is shared.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

// Held while stdin's buffer and the state below change together, and by
// fork: a child sees both as they were before a step or after it, and
// never stdin's lock held by a thread it does not have. Never held while
// waiting.
pthread_mutex_t step_lock = PTHREAD_MUTEX_INITIALIZER;

size_t len;		// bytes of the line not yet whole, in the buffer
bool lost;		// the start of this line is gone: skip the rest of it
bool reading;		// a call is under way, see in_child()

// Where the input goes on after what is kept. The data decides, not the
// FILE: a pipe, terminal or socket is known by its file, whatever stream
// or descriptor reads it, and a seekable file by its file and offset. A
// stream without a descriptor is known by itself.
struct place {
	FILE *stream = nullptr;
	dev_t dev = 0;
	ino_t ino = 0;
	off_t at = -1;
} kept_at;

place
here()
{
	int saved = errno;
	place p = {stdin, 0, 0, -1};
	struct stat st;
	int fd = fileno(stdin);
	if (fd >= 0 && fstat(fd, &st) == 0)
		p = {nullptr, st.st_dev, st.st_ino, ftello(stdin)};
	errno = saved;
	return p;
}

bool
same_place()
{
	place p = here();
	return p.stream == kept_at.stream && p.dev == kept_at.dev &&
	    p.ino == kept_at.ino && p.at == kept_at.at;
}

// Memory ran out: the start of this line is gone, so the rest of it is
// skipped rather than handed out as a line of its own.
void
lose()
{
	free_buffer();
	len = 0;
	lost = true;
	kept_at = here();
}

// n more bytes of the line, or of the lost line's rest, have been taken;
// eol: they end it. A whole line is no longer kept: its length goes to
// *whole.
void
count(size_t n, bool eol, size_t *whole)
{
	if (lost) {
		lost = !eol;
	} else if (eol) {
		*whole = len + n;
		len = 0;
	} else {
		len += n;
	}
}

enum result : unsigned char { more, whole_line, must_wait, input_ended, read_failed, no_memory };

// What one call knows as it reads.
struct reader {
	int fd;			// stdin's descriptor, or -1
	int wait;		// whether a read of it can wait; -1: not asked
	int cancel;		// the cancel state put off; -1: untouched
	char *text;		// the buffer the line is in
	size_t whole;		// the line's length, once it is whole
};

// Whether a read of the descriptor can wait: not for a regular file or a
// disk, nor where it is non-blocking and fails instead; asked once a
// call, not at every refill.
bool
can_wait(int fd)
{
	struct stat st;
	int fl = fcntl(fd, F_GETFL);
	return (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) &&
	    (fl < 0 || !(fl & O_NONBLOCK));
}

// One step, with stdin locked: what it has buffered, up to the end of the
// line, passes into the line; or, with nothing buffered, stdin fills its
// buffer where that cannot wait. Cancelled in that read, the thread would
// leave stdin locked: cancellation is put off from there on, as a line
// already buffered never needs.
result
step(reader *r)
{
	size_t n;
	const char *p = ahead(stdin, &n);
	if (n == 0) {
		if (r->cancel < 0)
			pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &r->cancel);
		if (r->fd >= 0 && r->wait < 0)
			r->wait = can_wait(r->fd);
		// A signal can end even this poll: musl's cancel does, though
		// put off. Then nothing is known to be there.
		struct pollfd pf = {r->fd, POLLIN, 0};
		int k;
		if (set_aside(stdin) == 0 && r->fd >= 0 && r->wait == 1 &&
		    ((k = poll(&pf, 1, 0)) == 0 || (k < 0 && errno == EINTR)))
			return must_wait;
		// A refill; or the bytes set aside, which it takes up again
		// without a read.
		int c = fgetc(stdin);
		if (c == EOF)
			return feof_unlocked(stdin) ? input_ended : read_failed;
		(void)ungetc(c, stdin);	// just taken: cannot fail
		return more;
	}
	const char *nl = static_cast<const char *>(memchr(p, '\n', n));
	if (nl != nullptr)
		n = static_cast<size_t>(nl - p) + 1;
	bool was_lost = lost;
	if (!lost) {
		if ((r->text = room(len + n)) == nullptr)
			return no_memory;
		memcpy(r->text + len, p, n);
	}
	take(stdin, n);
	count(n, nl != nullptr, &r->whole);
	return nl != nullptr && !was_lost ? whole_line : more;
}

// The n bytes at text, in the buffer, are the line: kept and handed out,
// but for one that holds a zero byte, which would cut it short where the
// caller reads it.
string
hand_out(const char *text, size_t n)
{
	if (memchr(text, '\0', n) != nullptr) {
		drop(n);
		return nullptr;
	}
	return keep(n);
}

// Reads on until the line is whole, into the buffer at r->text. With
// nothing buffered and nothing to read yet, the call waits in poll(),
// outside stdio and with neither lock held. That wait is where the thread
// can be cancelled: it takes no byte, so none can be lost, and what was
// read is kept.
result
read_on(reader *rd)
{
	result r;
	pthread_mutex_lock(&step_lock);
	flockfile(stdin);
	// Each call reads afresh: an end of input or a failure that an
	// earlier read met, the program's own or ours, ends no later call.
	// The indicators then say what this call met.
	clearerr_unlocked(stdin);
	while ((r = step(rd)) == more || r == must_wait) {
		if (r == more)
			continue;
		funlockfile(stdin);
		pthread_mutex_unlock(&step_lock);
		if (len > 0 || lost)
			kept_at = here();	// should this thread be cancelled
		struct pollfd pf = {rd->fd, POLLIN, 0};
		pthread_setcancelstate(rd->cancel, nullptr);
		int k = poll(&pf, 1, -1);
		pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
		int why = errno;
		bool failed = k < 0 && (why != EINTR || !handlers_restart());
		pthread_mutex_lock(&step_lock);
		flockfile(stdin);
		if (failed) {
			set_error(stdin);
			errno = why;
			r = read_failed;
			break;
		}
	}
	funlockfile(stdin);
	pthread_mutex_unlock(&step_lock);
	return r;
}

// Ends a call, however it ends: *prompt is the copy of the prompt.
void
cleanup(void *prompt)
{
	free(*static_cast<char **>(prompt));
	reading = false;
	pthread_mutex_unlock(&lock);
}

void
before_fork()
{
	pthread_mutex_lock(&step_lock);
}

void
in_parent()
{
	pthread_mutex_unlock(&step_lock);
}

// A child forked while another thread was inside get_string must still be
// able to call it: the lock that thread held is not held in the child.
// The line that thread had begun is lost to the child, for the parent
// reads on from the same input.
void
in_child()
{
	pthread_mutex_unlock(&step_lock);
	pthread_mutex_init(&lock, nullptr);
	if (reading && len > 0)
		lose();
	reading = false;
}

[[gnu::constructor]] void
init()
{
	(void)pthread_atfork(before_fork, in_parent, in_child);
}

// Runs when the library is unloaded: at exit, after the program's exit
// handlers and static destructors and those of every library that uses
// this one. A thread still inside get_string keeps everything as it is.
[[gnu::destructor]] void
unload()
{
	give_back();
	if (pthread_mutex_trylock(&lock) != 0)
		return;
	release_lines();
	pthread_mutex_unlock(&lock);
}

// Reads one line and hands back a copy of it that the caller may keep.
string
read_line(reader *rd)
{
	if ((len > 0 || lost) && !same_place()) {
		drop(len);	// another input: it starts clean
		len = 0;
		lost = false;
	}
	size_t n;
	switch (read_on(rd)) {
	case whole_line:
		n = rd->whole - 1;
		if (n > 0 && rd->text[n - 1] == '\r')
			n--;
		break;
	case input_ended:
		lost = false;	// the input is over, and a lost line with it
		if (len == 0)
			return nullptr;
		n = len;	// a last line without a newline
		len = 0;
		rd->text = room(n);	// the room it has
		break;
	case no_memory:
		lose();
		errno = ENOMEM;
		return nullptr;
	default:
		// What came before the failure is kept for the next call to
		// finish: never handed back as though it were the whole line.
		if (len > 0 || lost)
			kept_at = here();
		return nullptr;
	}
	return hand_out(rd->text, n);
}

// Whether the person typing at standard input, a terminal, also sees
// standard output: the editor then draws the prompt again with the line.
// Nothing but a terminal has a terminal's device number.
bool
prompt_seen()
{
	struct stat in, out;
	(void)fstat(STDIN_FILENO, &in);
	return fstat(fileno(stdout), &out) == 0 && out.st_rdev == in.st_rdev;
}

// Writes the prompt; where it is to be drawn again, a copy of it goes to
// *copy, for the caller to free.
void
write_prompt(const char *format, va_list ap, char **copy)
{
	if (format == nullptr)
		return;
	// ap may come started from our caller, where the analyzer cannot look.
	va_list again;
	va_copy(again, ap);
	int n = copy != nullptr ? vsnprintf(nullptr, 0, format, ap) : -1; // NOLINT(clang-analyzer-valist.Uninitialized)
	if (n >= 0 && (*copy = static_cast<char *>(malloc(size_t(n) + 1))) != nullptr) {
		(void)vsnprintf(*copy, size_t(n) + 1, format, again);
		(void)fputs(*copy, stdout);
	} else {
		vprintf(format, again); // NOLINT(clang-analyzer-valist.Uninitialized)
	}
	va_end(again);
}

// At a terminal the person edits the line: with nothing of a line kept
// or read ahead, and standard input on its own descriptor.
bool
to_edit()
{
	size_t n;
	(void)ahead(stdin, &n);
	return len == 0 && !lost && n + set_aside(stdin) == 0 &&
	    fileno(stdin) == STDIN_FILENO &&
	    at_terminal();
}

// Reads the line with the editor, drawn after the last row of prompt;
// false when the terminal cannot be put in the editor's mode, and nothing
// was read.
bool
edited(const char *prompt, string *line)
{
	clearerr(stdin);	// as read_on() does
	const char *row = prompt == nullptr ? "" : prompt;
	if (strrchr(row, '\n') != nullptr)
		row = strrchr(row, '\n') + 1;
	edited_line r = edit_line(row, strlen(row));
	if (r.end == edit_end::not_begun)
		return false;
	// Out of memory, the line typed so far is gone with this call; the
	// person sees the next prompt, so what is typed next is a new line.
	*line = r.end == edit_end::line ? hand_out(r.text, r.len) : nullptr;
	return true;
}

}

string
get_string(va_list *args, const char *format, ...)
{
	string line = nullptr;
	pthread_mutex_lock(&lock);
	// A thread cancelled while it waits for its line lets the lock go;
	// the part of the line it had read is kept for the next call.
	char *prompt = nullptr;
	pthread_cleanup_push(cleanup, &prompt);
	reading = true;
	bool edit = to_edit();
	char **copy = edit && prompt_seen() ? &prompt : nullptr;
	if (args != nullptr) {
		write_prompt(format, *args, copy);
	} else {
		va_list ap;
		va_start(ap, format);
		write_prompt(format, ap, copy);
		va_end(ap);
	}
	// Whoever is about to type, or a program reading the pipe, must see
	// the prompt before the read blocks. A failed write stays on
	// stdout's error flag for the caller to find.
	(void)fflush(stdout);
	if (!edit || !edited(prompt, &line)) {
		reader rd = {fileno(stdin), -1, -1, nullptr, 0};
		line = read_line(&rd);
		if (rd.cancel >= 0)
			pthread_setcancelstate(rd.cancel, nullptr);
	}
	reading = false;
	pthread_cleanup_pop(1);
	return line;
}
