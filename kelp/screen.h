// SPDX-License-Identifier: MIT
// libkelp's line as the terminal shows it: after its prompt, wrapped over
// as many rows as it takes, as the terminal wraps text; the rows around
// the cursor where it is longer than the screen; drawn again after a
// resize, where the terminal is asked where its cursor is. On a terminal
// that takes no escape sequence, on its one row, scrolled sideways.

#ifndef KELP_SCREEN_H
#define KELP_SCREEN_H

#include <cstddef>

#include "input.h"

#pragma GCC visibility push(hidden)

// The line as it is shown: its text, and the cursor among it.
struct shown {
	const char *text;
	size_t len, pos;
};

// Where the byte at upto of the line falls, the first cell of the cluster
// that starts there, or the one after the end, in rows from the first of the
// text it goes on (what was written since the last newline), a cluster's start or the end,
// the line drawn after lead columns on rows cols wide. A cluster wider
// than what is left of its row goes on the next; where a row is full, the
// next character is on the next row.
spot spot_of(const shown &line, size_t cols, size_t lead, size_t upto);

struct screen {
	const char *prompt;	// the last row of the prompt, when shown here
	size_t plen, pwidth;
	const char *lead;	// what is drawn before the line: the prompt, or
	size_t llen, lwidth;	// a search's own
	bool lead_changed;	// drawn again, from where the prompt begins
	size_t pre;		// columns of that text before the prompt
	size_t cols, rows;	// the window, as last drawn
	spot at;		// the terminal's cursor, as last drawn
	size_t end_row;		// the last row the line took
	size_t hidden;		// rows of the text a resize left above the top
	size_t top;		// the first row shown, where the line is longer
	bool whole_screen;	// than the screen
	size_t first;		// on a terminal that takes no escape sequence:
	size_t plain_cols;	// the first byte shown, and the columns drawn
	size_t blind, blind_cols;	// bytes and columns of the line written
				// before its place was known, at the cursor
	bool placed;		// the line's place is known
	bool unasked;		// the terminal did not say where its cursor was
	bool fresh;		// on a new row: the prompt is drawn first
};

// What one row of room columns shows of the line, scrolled sideways: from
// first to end, the cursor at column at. The first shown before stays
// where the cursor is still in sight.
struct view {
	size_t first, end, at;
};
view sideways(const shown &line, const view &before, size_t room);

// Draws the line so, on rows cols wide.
struct out;
void draw_plain(screen *s, const shown &line, size_t cols, bool whole, out *o);

// Draws the line: from the byte at from on, where nothing before it
// changed (SIZE_MAX: only the cursor moved). Where the line's place is
// not known yet, the terminal is asked, but not while keys are typed
// ahead, which the answer would follow, and which may end the line: what
// is typed at the end is written where the cursor is until then. The line
// that ended is drawn whole, the cursor after it.
void draw(screen *s, const shown &line, bool typed_ahead, size_t from, bool whole = false);

// Whether the terminal rewraps its rows when its width changes, as tmux
// and most do, told by what it says it is; xterm, rxvt and the Linux
// console cut them short.
bool rewraps();

// Goes on to a new row after the line, clearing what is below.
void end_row(screen *s);

// Clears the screen, or where the terminal cannot, goes on to a new row;
// the prompt is drawn again there.
void clear(screen *s);


#pragma GCC visibility pop

#endif
