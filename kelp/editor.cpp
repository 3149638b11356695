// SPDX-License-Identifier: MIT
// libkelp's line editor. At a terminal the driver's own line editing keeps
// at most 4095 bytes of a line and knows no cursor keys, so the line is
// read here instead, in non-canonical mode, leaving what follows it for
// the next reader. Each key is read (input.cpp, keys.cpp), done to the
// line (line.cpp) and drawn (screen.cpp) while the terminal is the
// editor's (term.cpp). The call can be cancelled only where it waits for
// a key, and nothing read is lost then.

#include "editor.h"
#include "chars.h"
#include "input.h"
#include "line.h"
#include "output.h"
#include "screen.h"
#include "term.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <pthread.h>

namespace {

// The line and the cursor as they were when a call ended with EINTR or
// was cancelled, for the next call to show again.
bytes unfinished;
size_t unfinished_at;

void
keep_unfinished(const line *l)
{
	if (set(&unfinished, l->text, l->len))
		unfinished_at = l->pos;
}

struct editing {
	line l;
	screen s;
	signal_keys sk;
	bytes lead;		// in a search, what goes before the line
	bool done;		// returning: nothing to keep
};

// What goes before the line: the prompt, or in a search, what it looks
// for, its control bytes as ?.
void
set_lead(editing *e)
{
	const recall &r = e->l.r;
	screen &s = e->s;
	if (!r.searching) {
		if (s.lead != s.prompt)
			s.lead_changed = true;
		s.lead = s.prompt;
		s.llen = s.plen;
		s.lwidth = s.pwidth;
		return;
	}
	const char *how = r.failing ? "(failed " : "(";
	bytes t = {nullptr, 0};
	bool ok = set(&t, how, strlen(how)) && append(&t, r.backward ? "reverse-" : "", r.backward ? 8 : 0) &&
	    append(&t, "i-search)`", 10) && append(&t, r.query.b, r.query.n) && append(&t, "': ", 3);
	for (size_t i = 0; ok && i < t.n; i++)
		if (static_cast<unsigned char>(t.b[i]) < 0x20 || t.b[i] == 0x7f)
			t.b[i] = '?';
	if (ok && (t.n != e->lead.n || memcmp(t.b, e->lead.b, t.n) != 0 || s.lead != e->lead.b)) {
		free(e->lead.b);
		e->lead = t;
		s.lead = t.b;
		s.llen = t.n;
		s.lwidth = shown_width(t.b, t.n);
		s.lead_changed = true;
	} else {
		free(t.b);
	}
}

void
show(editing *e, bool whole = false)
{
	set_lead(e);
	draw(&e->s, {e->l.text, e->l.len, e->l.pos}, typed_ahead(), e->l.changed, whole);
	e->l.changed = SIZE_MAX;
}

// The interrupt or quit key: the line stays on the screen with the key
// after it, as the terminal echoes it, and is thrown away, as the
// terminal throws away what is unread; then the signal goes to the job.
void
drop_line(editing *e, act a)
{
	if (echoing()) {
		show(e, true);
		say(a == act::interrupt ? "^C" : "^\\");
		end_row(&e->s);
		e->s.fresh = true;
	}
	(void)line_do(&e->l, a);
	send_key_signal(a == act::interrupt ? SIGINT : SIGQUIT);
}

edited_line
none(int error)
{
	errno = error;
	return {edit_end::no_line, nullptr, 0};
}

// Why no key came: the line drawn again, or the call's end.
bool
no_key_ends(editing *e, no_key why, edited_line *r)
{
	switch (why) {
	case no_key::redraw:
	case no_key::fresh:
		if (why == no_key::fresh)
			e->s.fresh = true;
		show(e);
		return false;
	case no_key::end_of_input:
		show(e);	// the line as the input ended
		*r = none(0);
		break;
	case no_key::interrupted:
		keep_unfinished(&e->l);
		*r = none(EINTR);
		break;
	case no_key::no_memory:
		*r = none(ENOMEM);
		break;
	default:
		*r = none(errno);
		break;
	}
	return true;
}

// Keys until the line ends.
edited_line
edit(editing *e)
{
	if (e->l.len > 0)
		show(e);
	for (;;) {
		next_key_result r = next_key(e->sk);
		edited_line end;
		if (r.why != no_key::none) {
			if (no_key_ends(e, r.why, &end))
				return end;
			continue;
		}
		act a = r.k.a;
		outcome o = outcome::edited;
		if (a == act::text) {
			if (!line_type(&e->l, reinterpret_cast<const char *>(r.k.text), r.k.n))
				o = outcome::no_memory;
		} else if (a == act::interrupt || a == act::quit) {
			drop_line(e, a);
		} else if (a == act::suspend) {
			show(e);	// as it stood when the job stopped
			send_key_signal(SIGTSTP);
		} else {
			if (a == act::clear)
				clear(&e->s);
			o = line_do(&e->l, a);
		}
		switch (o) {	// GCOVR_EXCL_BR_LINE: the compiler's own check of o's range
		case outcome::entered:
			show(e, true);
			line_remember(&e->l);
			if (echoing())
				end_row(&e->s);
			return {edit_end::line, e->l.text, e->l.len};
		case outcome::end_of_input:
			(void)no_key_ends(e, no_key::end_of_input, &end);
			return end;
		case outcome::no_memory:
			return none(ENOMEM);
		default:
			if (!typed_ahead())
				show(e);
		}
	}
}

void
cleanup(void *arg)
{
	// Cancelled: what was typed is shown again by the next call.
	auto e = static_cast<editing *>(arg);
	if (!e->done)
		keep_unfinished(&e->l);
	line_close(&e->l);
	free(e->lead.b);
	give_back();
}

}

edited_line
edit_line(const char *prompt, size_t plen)
{
	// Cancelled only where it waits for a key, and not before the cleanup
	// that gives the terminal back is in place.
	int cancel, error = 0;
	pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel);
	edited_line r = {edit_end::not_begun, nullptr, 0};
	taking t = take_terminal();
	editing e = {};
	if (t == taking::failed)
		r = none(errno);
	else if (t == taking::taken && !line_open(&e.l, unfinished.b, unfinished.n, unfinished_at))
		r = none(ENOMEM);
	if (t != taking::taken || r.end != edit_end::not_begun) {
		error = errno;
		give_back();
	} else {
		unfinished.n = 0;
		input_from(term_device());
		e.sk = keys_for_signals();
		e.s.prompt = e.s.lead = prompt;
		e.s.plen = e.s.llen = plen;
		e.s.pwidth = e.s.lwidth = shown_width(prompt, plen);
		// gcov gives each call between the cleanup macros an edge
		// back into their setjmp, which it never sees taken: none is
		// a branch of ours.
		// GCOVR_EXCL_BR_START
		pthread_cleanup_push(cleanup, &e);
		r = edit(&e);
		error = errno;
		e.done = true;
		pthread_cleanup_pop(1);
		// GCOVR_EXCL_BR_STOP
	}
	pthread_setcancelstate(cancel, nullptr);
	errno = error;
	return r;
}
