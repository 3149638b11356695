// SPDX-License-Identifier: MIT
// libkelp's line editor. At a terminal the driver's own line editing keeps
// at most 4095 bytes of a line and knows no cursor keys, so the line is
// read here instead, a byte at a time in non-canonical mode, leaving what
// follows it for the next reader. Each key is read (keys.cpp), done to
// the line (line.cpp) and drawn (screen.cpp) while the terminal is the
// editor's (term.cpp).

#include "editor.h"
#include "buffer.h"
#include "chars.h"
#include "keys.h"
#include "line.h"
#include "screen.h"
#include "term.h"

#include <cerrno>
#include <cstdlib>

#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// What was typed when a wait was ended by a signal or a cancel, for the
// next call.
bytes unfinished;

enum why : unsigned char { got, ended, failed, signalled };

struct editing {
	line l;
	screen s;
	key_reader keys;
	bytes batch;		// typed text not yet in the line
	size_t typed;		// bytes the terminal holds, as last asked
	why stopped;		// why no byte came
	int error;		// the failed read's errno
	bool done;		// returning: nothing to keep
};

// Whether more is typed already: a paste is drawn once it is all in.
bool
more_typed(editing *e)
{
	int n;
	if (set_aside())
		return true;
	if (e->typed == 0 && ioctl(STDIN_FILENO, FIONREAD, &n) == 0 && n > 0)
		e->typed = static_cast<size_t>(n);
	return e->typed > 0;
}

void
show(editing *e, bool whole = false)
{
	draw(&e->s, {e->l.text, e->l.len, e->l.pos}, more_typed(e), whole);
}

// The next byte from the terminal, within ms milliseconds, or however
// long it takes where ms is -1. A wait is a poll, which a signal ends
// whatever its flags, so that a resized window is drawn again at once.
int
next_byte(void *arg, int ms)
{
	auto e = static_cast<editing *>(arg);
	unsigned char c;
	for (;;) {
		// An interrupt first, as what was set aside came after it;
		// then what came while the terminal was asked for its cursor.
		if (dropped() || woken()) {
			e->stopped = signalled;
			return -1;
		}
		if (take_set_aside(&c))
			return c;
		if (away()) {	// until fg brings the job back
			(void)poll(nullptr, 0, 100);
			continue;
		}
		bool fresh;
		if (redraw_due(&fresh)) {
			// the key that raised a signal throws away what the
			// terminal held
			e->typed = 0;
			e->s.fresh = e->s.fresh || fresh;
			show(e);
			continue;
		}
		if (e->typed == 0) {
			int n = wait_input(ms);
			if (n == 0)
				return -1;
			// a signal seen to as the wait ended came before the
			// key that ended it, so is seen to first: an interrupt
			// keeps the key for the next line
			if (n > 0)
				e->typed = 1;
			if (n > 0 || interrupted(n))
				continue;
		}
		ssize_t n = read(STDIN_FILENO, &c, 1);
		if (n > 0 && e->typed > 0)
			e->typed--;
		if (n > 0)
			return c;
		if (n == 0 || errno != EINTR) {
			e->stopped = n == 0 ? ended : failed;
			e->error = errno;
			return -1;
		}
	}
}

// Typed text waits while more is typed, so that a paste goes in at once
// wherever the cursor is.
bool
flush_batch(editing *e)
{
	bool ok = e->batch.n == 0 || line_type(&e->l, e->batch.b, e->batch.n);
	e->batch.n = 0;
	return ok;
}

void
cleanup(void *arg)
{
	// Cancelled: what was typed is kept for the next call.
	auto e = static_cast<editing *>(arg);
	if (!e->done && flush_batch(e))
		(void)set(&unfinished, e->l.text, e->l.len);
	free(e->batch.b);
	line_close(&e->l);
	give_back();
}

// Why no key came: -1 and errno, or 0 where an interrupt threw the line
// away and editing goes on.
long
stop(editing *e)
{
	errno = e->stopped == failed ? e->error : 0;
	if (e->stopped != signalled)
		return -1;
	if (woken()) {
		if (!dropped())
			(void)set(&unfinished, e->l.text, e->l.len);
		errno = EINTR;
		return -1;
	}
	keep_line();
	e->l.len = e->l.pos = e->s.first = 0;
	e->s.fresh = true;
	if (echoing())
		say("\r\n");
	show(e);
	return 0;
}

// Keys until the line ends: its length, or -1 and errno.
long
edit(editing *e)
{
	if (e->l.len > 0)
		show(e);
	for (;;) {
		key k = read_key(&e->keys, {next_byte, e});
		if (k.a == act::text) {
			char c = static_cast<char>(k.c);
			if (!append(&e->batch, &c, 1))
				break;
			if (more_typed(e))
				continue;
		}
		if (!flush_batch(e))
			break;
		if (k.a == act::stop) {
			if (stop(e) < 0)
				return -1;
			continue;
		}
		if (k.a == act::clear)
			clear(&e->s);
		outcome o = k.a == act::text ? outcome::edited : line_do(&e->l, k.a);
		if (o == outcome::ended) {
			show(e, true);
			line_remember(&e->l);
			if (echoing())
				say("\r\n");
			return static_cast<long>(e->l.len);
		}
		if (o == outcome::end_of_input) {
			errno = 0;
			return -1;
		}
		if (o == outcome::no_memory)
			break;
		if (!more_typed(e))
			show(e);
	}
	errno = ENOMEM;
	return -1;
}

}

long
edit_line(const char *prompt, size_t plen)
{
	// Not cancelled before the cleanup that gives the terminal back is
	// in place: the line, with what was typed when a wait was ended, is
	// opened first.
	int cancel;
	pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel);
	editing e = {};
	long r = take_terminal() ? 0 : -2;
	if (r == 0 && !line_open(&e.l, unfinished.b, unfinished.n)) {
		errno = ENOMEM;
		r = -1;
	}
	if (r < 0) {
		give_back();
		pthread_setcancelstate(cancel, nullptr);
	} else {
		unfinished.n = 0;
		e.s.prompt = prompt;
		e.s.plen = plen;
		e.s.pwidth = shown_width(prompt, plen);
		// gcov gives each call between the cleanup macros an edge
		// back into their setjmp, which it never sees taken: none is
		// a branch of ours.
		// GCOVR_EXCL_BR_START
		pthread_cleanup_push(cleanup, &e);
		pthread_setcancelstate(cancel, nullptr);
		r = edit(&e);
		e.done = true;
		pthread_cleanup_pop(1);
		// GCOVR_EXCL_BR_STOP
	}
	return r;
}
