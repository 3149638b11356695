// SPDX-License-Identifier: MIT
// libkelp's line on the screen. The prompt and the line are written as one
// text that the terminal wraps itself, so that one that rewraps its rows on
// a resize keeps them together. A cluster that does not fit at the end of
// a row goes on the next after spaces, so that every terminal has it
// where the editor does. Moves are relative to the cursor, which the
// editor always knows, so the screen may scroll under the line.

#include "screen.h"
#include "chars.h"
#include "input.h"
#include "output.h"
#include "term.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The cursor from a to b.
void
move(out *o, spot a, spot b)
{
	if (a.row > b.row)
		putn(o, "\x1b[%zuA", a.row - b.row);
	else if (b.row > a.row)
		putn(o, "\x1b[%zuB", b.row - a.row);
	if (a.row != b.row || a.col != b.col) {
		puts_(o, "\r");
		if (b.col > 0)
			putn(o, "\x1b[%zuC", b.col);
	}
}

// Where a cluster of w columns at goes, its row full or not; at after it.
spot
step_over(spot *at, size_t w, size_t cols)
{
	if (at->col + w > cols && at->col > 0)
		*at = {at->row + 1, 0};
	spot start = *at;
	at->col += w;
	*at = {at->row + at->col / cols, at->col % cols};
	return start;
}

// Writes the line from the byte at p, at, to its end: a cluster that does
// not fit on the rest of its row goes on the next after spaces. Where
// the text ends.
spot
write_line(out *o, const shown &line, size_t cols, size_t p, spot at)
{
	while (p < line.len) {
		size_t q = next_cluster(line.text, p, line.len);
		size_t w = cluster_width(line.text, p, q), col = at.col;
		spot start = step_over(&at, w, cols);
		for (; start.col == 0 && col > 0 && col < cols; col++)
			puts_(o, " ");
		put_cluster(o, line.text, p, q);
		p = q;
	}
	return at;
}

// Where the cursor is, as the terminal says.
bool
cursor_at(spot *at)
{
	say("\x1b[6n");
	return await_cursor(at);
}

// The columns the terminal gives each kind of emoji sequence in the line
// that it has not yet been asked about: one is written after the line's
// end, where the cursor is, and the terminal asked where the cursor went.
// False where none was.
bool
learn_widths(screen *s, const shown &line, bool typed_ahead, size_t cols, out *o)
{
	bool asked = false;
	spot end = s->at;
	for (size_t p = 0, q; p < line.len && !s->unasked && !typed_ahead && end.col + 8 < cols; p = q) {
		q = next_cluster(line.text, p, line.len);
		cluster_kind k = kind_of(line.text, p, q);
		if (k == cluster_kind::text || width_learned(k))
			continue;
		// from a column set here: the line before may not be where the
		// editor thought it
		putn(o, "\r\x1b[%zuC", end.col);
		put(o, line.text + p, q - p);
		flush(o);
		spot now;
		bool known = cursor_at(&now) && now.col > end.col;
		learn_width(k, known ? now.col - end.col : 2);
		s->unasked = !known;
		putn(o, "\r\x1b[%zuC\x1b[K", end.col);
		asked = true;
	}
	return asked;
}

// The window's width changed since the line was drawn. A terminal that
// rewraps its rows has put the cursor where its place in the text falls
// now, what is above moved up, into the scrollback where it must; one that
// does not has cut the rows short where they were. Where the terminal
// says the cursor is tells which, or, where it fits neither, the line is
// drawn again at the top of a clear screen. Rows above the top stay as the
// terminal left them; the line is drawn again from the first row shown.
void
resized(screen *s, size_t cols, out *o)
{
	size_t offset = s->at.row * s->cols + s->at.col;
	spot wrapped = {offset / cols, offset % cols};
	spot cut = {s->at.row, s->at.col < cols ? s->at.col : cols - 1}, said;
	s->hidden = 0;
	if (s->unasked || !cursor_at(&said)) {
		s->unasked = true;
		s->at = cut;
	} else {
		bool wraps = said.col == wrapped.col, cuts = said.col == cut.col;
		if (wraps && cuts && wrapped.row != cut.row)
			wraps = rewraps();
		if (wraps || cuts) {
			s->at = wraps ? wrapped : cut;
			s->hidden = s->at.row > said.row ? s->at.row - said.row : 0;
		} else {
			puts_(o, "\x1b[H\x1b[2J");
			s->at = {0, 0};
			s->pre = 0;
		}
	}
	s->lead_changed = true;
}

// The first cluster of the line on a row shown, and where it is.
size_t
first_shown(screen *s, const shown &line, size_t cols, size_t lead, spot *f)
{
	spot at = {lead / cols, lead % cols};
	size_t p = 0;
	while (p < line.len && at.row < s->hidden) {
		size_t q = next_cluster(line.text, p, line.len);
		(void)step_over(&at, cluster_width(line.text, p, q), cols);
		p = q;
	}
	*f = spot_of(line, cols, lead, p);
	return p;
}

// Where the line starts: on a new row after the prompt; else where the
// cursor was when it was first drawn, once something was typed, by when
// a program writing the prompt from a pipe has written: keys typed before
// the terminal's answer wait for the editor. The text before the prompt
// on its rows is told from that.
void
place_line(screen *s, size_t cols, out *o)
{
	if (s->fresh) {
		puts_(o, "\r");
		s->pre = 0;
		s->at = {0, 0};
		s->blind = s->blind_cols = 0;
		s->lead_changed = true;
		s->fresh = false;
	} else {
		// the cursor after the program's prompt and what was written
		size_t before = s->pwidth + s->blind_cols;
		spot now = {0, before % cols};
		if (!cursor_at(&now))
			s->unasked = true;
		// What fills its last row leaves the cursor in the last column,
		// waiting to wrap, where some terminals say it is.
		if (now.col + 1 >= cols && before > 0 && before % cols == 0)
			now.col = 0;
		s->pre = (now.col + cols - before % cols) % cols;
		before += s->pre;
		s->at = {before / cols, before % cols};
		// the line from its start, or a search's prompt in the prompt's place
		s->lead_changed = s->blind > 0 || s->lead != s->prompt;
	}
	s->placed = true;
}

// A line longer than the screen: the rows around the cursor, each put in
// its place on the screen.
void
draw_screenful(screen *s, const shown &line, size_t cols, size_t rows, spot cur, out *o)
{
	if (!s->whole_screen) {
		// what the screen held goes up into the scrollback
		move(o, s->at, {s->end_row, 0});
		for (size_t i = 0; i < rows; i++)
			puts_(o, "\r\n");
		s->whole_screen = true;
		s->top = 0;
	}
	if (cur.row < s->top)
		s->top = cur.row;
	if (cur.row >= s->top + rows)
		s->top = cur.row - rows + 1;
	size_t lead = s->pre + s->lwidth, row = SIZE_MAX;
	spot at = {lead / cols, lead % cols};
	if (s->top == 0) {
		putn(o, "\x1b[1;%zuH\x1b[K", s->pre % cols + 1);
		put(o, s->lead, s->llen);
		row = at.row;
	}
	for (size_t p = 0; p < line.len;) {
		size_t q = next_cluster(line.text, p, line.len);
		spot start = step_over(&at, cluster_width(line.text, p, q), cols);
		if (start.row >= s->top + rows)
			break;
		if (start.row >= s->top && start.row != row) {
			putn(o, "\x1b[%zu;", start.row - s->top + 1);
			putn(o, "%zuH\x1b[K", start.col + 1);
			row = start.row;
		}
		if (start.row >= s->top)
			put_cluster(o, line.text, p, q);
		p = q;
	}
	for (size_t r = (row == SIZE_MAX ? s->top : row + 1); r < s->top + rows; r++)
		putn(o, "\x1b[%zu;1H\x1b[K", r - s->top + 1);
	putn(o, "\x1b[%zu;", cur.row - s->top + 1);
	putn(o, "%zuH", cur.col + 1);
	s->at = cur;
}

}

bool
rewraps()
{
	const char *term = getenv("TERM");
	if (getenv("TMUX") != nullptr)
		return true;
	return getenv("XTERM_VERSION") == nullptr && term != nullptr &&
	    strncmp(term, "linux", 5) != 0 && strncmp(term, "rxvt", 4) != 0;
}

spot
spot_of(const shown &line, size_t cols, size_t lead, size_t upto)
{
	spot at = {lead / cols, lead % cols};
	for (size_t p = 0; p < line.len;) {
		size_t q = next_cluster(line.text, p, line.len);
		spot start = step_over(&at, cluster_width(line.text, p, q), cols);
		if (p == upto)
			return start;
		p = q;
	}
	return at;
}

void
draw(screen *s, const shown &line, bool typed_ahead, size_t from, bool whole)
{
	// In the background the terminal is the shell's.
	if (!terminal_ours())
		return;
	out o;
	o.n = 0;
	// With echo off, as for a password, nothing typed is shown, but for
	// the prompt on a new row.
	if (!echoing()) {
		if (s->fresh) {
			puts_(&o, "\r");
			put(&o, s->lead, s->llen);
		}
		s->fresh = false;
		flush(&o);
		return;
	}
	struct winsize ws;
	bool known = ioctl(drawn_on(), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0;
	size_t cols = known ? ws.ws_col : 80, rows = known && ws.ws_row > 0 ? ws.ws_row : 24;
	if (!moves_cursor()) {
		draw_plain(s, line, cols, whole, &o);
		flush(&o);
		return;
	}
	if (!s->placed && !s->fresh && typed_ahead) {
		// the end of the line where the cursor is, no more
		if (whole || line.pos == line.len) {
			for (size_t p = s->blind, q; p < line.len; p = q) {
				q = next_cluster(line.text, p, line.len);
				put_cluster(&o, line.text, p, q);
				s->blind_cols += cluster_width(line.text, p, q);
			}
			s->blind = line.len;
		}
		flush(&o);
		return;
	}
	if (s->placed && !s->fresh && cols != s->cols) {
		if (s->whole_screen)
			s->lead_changed = true;
		else
			resized(s, cols, &o);
	}
	if (!s->placed || s->fresh)
		place_line(s, cols, &o);
	s->cols = cols;
	size_t lead = s->pre + s->lwidth;
	spot end = spot_of(line, cols, lead, line.len);
	spot cur = whole ? end : spot_of(line, cols, lead, line.pos);
	if ((end.row >= rows || cur.row < s->hidden) && !whole) {
		draw_screenful(s, line, cols, rows, cur, &o);
		s->end_row = end.row;
		flush(&o);
		return;
	}
	if (s->whole_screen) {
		puts_(&o, "\x1b[H\x1b[2J");
		s->at = {0, 0};
		s->pre = 0;
		s->whole_screen = false;
		s->lead_changed = true;
		lead = s->lwidth;
		end = spot_of(line, cols, lead, line.len);
		cur = whole ? end : spot_of(line, cols, lead, line.pos);
	}
	spot f = {lead / cols, lead % cols};
	size_t p = 0;
	if (s->lead_changed && s->blind > 0) {
		// what was written before the line's place was known, again
		move(&o, s->at, f);
		s->blind = s->blind_cols = 0;
	} else if (s->lead_changed && s->pre / cols >= s->hidden) {
		move(&o, s->at, {s->pre / cols, s->pre % cols});
		put(&o, s->lead, s->llen);
		s->at = f;
	} else if (s->lead_changed) {
		p = first_shown(s, line, cols, lead, &f);
		move(&o, s->at, f);
	} else if (from == SIZE_MAX && !whole) {
		// only the cursor moved
		move(&o, s->at, cur);
		s->at = cur;
		flush(&o);
		return;
	} else {
		// from the cluster before the first change, which may join it
		p = from < line.len ? from : line.len;
		p = p > 0 ? prev_cluster(line.text, p, line.len) : 0;
		f = spot_of(line, cols, lead, p);
		if (f.row < s->hidden)
			p = first_shown(s, line, cols, lead, &f);
		move(&o, s->at, f);
	}
	spot e = write_line(&o, line, cols, p, f);
	// Where the text fills its last row, the terminal waits to wrap, and
	// an erase there would take the last character: a space takes the
	// cursor to the next row as the terminal's own wrap would. The line
	// that ended stays as it is, and its row is ended after it.
	bool full = e.col == 0 && e.row > 0;
	if (full && !whole)
		puts_(&o, " \r");
	if (!full || !whole)
		puts_(&o, "\x1b[J");
	s->at = e;
	s->end_row = e.row;
	s->lead_changed = false;
	if (!whole && learn_widths(s, line, typed_ahead, cols, &o)) {
		flush(&o);
		draw(s, line, typed_ahead, 0, whole);
		return;
	}
	if (!whole)
		move(&o, e, cur);
	s->at = cur;
	flush(&o);
}

void
end_row(screen *s)
{
	(void)s;
	say(moves_cursor() ? "\r\n\x1b[J" : "\r\n");
}

void
clear(screen *s)
{
	say(moves_cursor() ? "\x1b[H\x1b[2J" : "\r\n");
	s->fresh = true;
	s->whole_screen = false;
}
