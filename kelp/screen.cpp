// SPDX-License-Identifier: MIT
// libkelp's line on the screen. The last column stays free, so that the
// terminal never wraps the row; a line wider than the rest of the row
// scrolls on it.

#include "screen.h"
#include "chars.h"
#include "input.h"
#include "line.h"
#include "term.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// What is drawn goes out in pieces of this size.
struct out {
	char b[1024];
	size_t n;
};

void
flush(out *o)
{
	for (size_t off = 0; off < o->n;) {
		ssize_t w = write(drawn_on(), o->b + off, o->n - off);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			break;
		off += static_cast<size_t>(w);
	}
	o->n = 0;
}

void
put(out *o, const char *s, size_t n)
{
	while (n > 0) {
		if (o->n == sizeof o->b)
			flush(o);
		size_t k = n < sizeof o->b - o->n ? n : sizeof o->b - o->n;
		memcpy(o->b + o->n, s, k);
		o->n += k;
		s += k;
		n -= k;
	}
}

void
puts_(out *o, const char *s)
{
	put(o, s, strlen(s));
}

// To a column of the row, from its start.
void
column(out *o, size_t col)
{
	char move[32];
	(void)snprintf(move, sizeof move, "\r\x1b[%zuC", col);
	puts_(o, col > 0 ? move : "\r");
}

// Where the cursor is, as the terminal says.
bool
cursor_at(place *at)
{
	say("\x1b[6n");
	return await_cursor(at);
}

// The window's width changed since the line was drawn. A terminal that
// rewraps its lines has put the cursor where its place in the line falls
// now, the line going on over rows above and below it; one that does not
// has cut the row short. Where the terminal says the cursor is tells
// which.
void
resized(screen *s, size_t cols, bool typed_ahead, out *o)
{
	size_t was = s->start + s->at, in_line = s->from + s->at;
	size_t cut = was < cols ? was : cols - 1;
	place now = {0, cut};
	if (!s->unasked && !typed_ahead && !cursor_at(&now))
		s->unasked = true;
	if (now.col == cut || now.col != in_line % cols)
		return;
	// Rewrapped: up to where the line starts, or as far up as the
	// screen goes; the rows above that are drawn on once in reach.
	size_t up = in_line / cols - s->origin / cols;
	s->from = s->origin;
	if (up > now.row) {
		up = now.row;
		s->from = (in_line / cols - up) * cols;
	}
	s->start = s->from % cols;
	char move[32];
	(void)snprintf(move, sizeof move, "\x1b[%zuA", up);
	if (up > 0)
		puts_(o, move);
}

// Where the line starts on its row: on a new row after the prompt; else
// where the cursor was when it was first drawn, once something was
// typed, by when a program writing the prompt from a pipe has written.
void
place_line(screen *s, size_t cols, bool typed_ahead, out *o)
{
	if (!s->placed && !s->fresh) {
		place now = {0, s->pwidth % cols};
		if (!typed_ahead && !cursor_at(&now))
			s->unasked = true;
		s->start = now.col;
		s->origin = s->from = s->start;
	}
	s->placed = true;
	if (s->fresh) {
		puts_(o, "\r");
		put(o, s->prompt, s->plen);
		// A prompt that ends at the edge leaves the cursor there, the
		// terminal waiting to wrap; the line goes on the next row.
		bool full = s->pwidth > 0 && s->pwidth % cols == 0;
		if (full)
			puts_(o, "\r\n");
		s->origin = s->from = full ? 0 : s->pwidth;
		s->start = s->pwidth % cols;
		s->fresh = false;
	}
	if (s->start > 0 && s->start + 2 >= cols) {
		// Room for one character at most after the prompt: the next row.
		// In the last column the cursor may wait to wrap after the
		// prompt's last character, which stays.
		if (s->start + 1 < cols) {
			column(o, s->start);
			puts_(o, "\x1b[K");
		}
		puts_(o, "\r\n");
		s->start = s->origin = s->from = 0;
	}
}

// The columns the row has for the line, the last kept for the cursor.
size_t
columns_left(const screen *s, size_t cols)
{
	return cols > s->start + 1 ? cols - s->start - 1 : 0;
}

// The characters from a to b as they show: a control byte as ^X, a C1
// control as <85>, which some terminals would act on.
void
put_text(out *o, const shown &line, size_t a, size_t b)
{
	while (a < b) {
		size_t n = char_len(line.text, a, line.len);
		auto c = static_cast<unsigned char>(line.text[a]);
		unsigned c1 = c1_control(line.text, a, line.len);
		if (c < 0x20 || c == 0x7f) {
			char caret[2] = {'^', static_cast<char>(c ^ 0x40)};
			put(o, caret, 2);
		} else if (c1 != 0) {
			char hex[16];
			(void)snprintf(hex, sizeof hex, "<%02x>", c1);
			put(o, hex, 4);
		} else {
			put(o, line.text + a, n);
		}
		a += n;
	}
}

// The columns of the characters from a to b.
size_t
columns(const shown &line, size_t a, size_t b)
{
	size_t w = 0;
	for (; a < b; a += char_len(line.text, a, line.len))
		w += width(line.text, a, line.len);
	return w;
}

// What the row shows of the line; the line as it ended, whole over as
// many rows as it takes.
view
shown_view(screen *s, const shown &line, size_t cols, bool whole)
{
	view v = whole ? view{0, line.len, 0} : layout(line, {s->first, 0, 0}, columns_left(s, cols));
	s->first = v.first;
	return v;
}

// A terminal that takes no escape sequence: the row is written again
// from its start, with the prompt where it fits before the line, spaces
// over what is gone, then again up to the cursor.
void
draw_plain(screen *s, const shown &line, size_t cols, bool whole, out *o)
{
	if (!s->placed || s->fresh) {
		bool beside = s->pwidth + 2 < cols;
		if (s->fresh || !beside) {
			puts_(o, "\r");
			put(o, s->prompt, s->plen);
		}
		if (!beside)
			puts_(o, "\r\n");
		s->start = beside ? s->pwidth : 0;
		s->placed = true;
		s->fresh = false;
		s->cols = 0;
	}
	view v = shown_view(s, line, cols, whole);
	size_t plen = s->start > 0 ? s->plen : 0, w = columns(line, v.first, v.end);
	puts_(o, "\r");
	put(o, s->prompt, plen);
	put_text(o, line, v.first, v.end);
	for (size_t i = w; i < s->cols; i++)
		puts_(o, " ");
	if (line.pos < v.end || w < s->cols) {
		puts_(o, "\r");
		put(o, s->prompt, plen);
		put_text(o, line, v.first, line.pos);
	}
	s->cols = w;	// here: the columns drawn
}

}

view
layout(const shown &line, const view &before, size_t room)
{
	const char *text = line.text;
	size_t len = line.len, pos = line.pos;
	// The furthest back the row can start and still show the cursor.
	size_t lo = pos, fits = 0;
	while (lo > 0) {
		size_t p = prev_char(text, lo, len), w = columns(line, p, lo);
		if (fits + w >= room)
			break;
		fits += w;
		lo = p;
	}
	// Where the end of the line fits, as much as fits is shown.
	size_t tail = len;
	for (size_t w = 0; tail > lo;) {
		size_t p = prev_char(text, tail, len);
		w += columns(line, p, tail);
		if (w >= room)
			break;
		tail = p;
	}
	size_t first = before.first;
	if (first > pos || first < lo)
		first = lo;
	if (tail <= pos && tail < first)
		first = tail;
	view v = {first, first, 0};
	for (size_t w = 0; v.end < len;) {
		size_t cw = width(text, v.end, len);
		if (w + cw > room)
			break;
		if (v.end < pos)
			v.at += cw;
		w += cw;
		v.end += char_len(text, v.end, len);
	}
	return v;
}

void
draw(screen *s, const shown &line, bool typed_ahead, bool whole)
{
	// In the background the terminal is the shell's.
	if (!terminal_ours())
		return;
	// With echo off, as for a password, nothing typed is shown, but for
	// the prompt on a new row.
	if (!echoing()) {
		if (s->fresh) {
			say("\r");
			out o;
			o.n = 0;
			put(&o, s->prompt, s->plen);
			flush(&o);
		}
		s->fresh = false;
		return;
	}
	struct winsize ws;
	size_t cols = ioctl(drawn_on(), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
	out o;
	o.n = 0;
	if (!moves_cursor()) {
		draw_plain(s, line, cols, whole, &o);
		flush(&o);
		return;
	}
	bool below = s->placed && !s->fresh && cols != s->cols;
	if (below)
		resized(s, cols, typed_ahead, &o);
	place_line(s, cols, typed_ahead, &o);
	view v = shown_view(s, line, cols, whole);
	column(&o, s->start);
	put_text(&o, line, v.first, v.end);
	// Where the whole line reaches the edge, the terminal waits there
	// to wrap, and an erase would take the last character: the whole
	// line covers all that was drawn, and the cursor stays after it.
	size_t w = whole ? s->start + columns(line, 0, line.len) : 0;
	if (w == 0 || w % cols != 0)
		puts_(&o, below || whole ? "\x1b[J" : "\x1b[K");
	if (!whole)
		column(&o, s->start + v.at);
	flush(&o);
	s->cols = cols;
	s->at = v.at;
}

void
clear(screen *s)
{
	say(moves_cursor() ? "\x1b[H\x1b[2J" : "\r\n");
	s->fresh = true;
}

void
say(const char *s)
{
	out o;
	o.n = 0;
	puts_(&o, s);
	flush(&o);
}
