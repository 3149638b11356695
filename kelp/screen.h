// SPDX-License-Identifier: MIT
// libkelp's line as the terminal shows it: drawn on its row after what
// the row held, in columns, scrolled sideways to keep the cursor in
// sight, and drawn again after a resize, where the terminal is asked
// where its cursor is.

#ifndef KELP_SCREEN_H
#define KELP_SCREEN_H

#include <cstddef>

#pragma GCC visibility push(hidden)

struct screen {
	const char *prompt;	// the last row of the prompt, when shown here
	size_t plen, pwidth;
	size_t first;		// the first byte shown
	size_t start;		// the column the line starts in, on its row
	size_t origin;		// where it starts in the terminal's own line,
				// which one that rewraps keeps over a resize
	size_t from;		// where it is drawn from in that line now
	size_t cols, at;	// the width, and the cursor's column from start,
				// as last drawn; on a terminal that takes no
				// escape sequence, cols is the columns drawn
	bool placed;		// start is known
	bool unasked;		// the terminal did not say where its cursor was
	bool fresh;		// on a new row: the prompt is drawn first
};

// The line as it is shown: its text, and the cursor among it.
struct shown {
	const char *text;
	size_t len, pos;
};

// What a row of room columns shows of the line: from first to end, the
// cursor at column at. The first shown before stays where the cursor is
// still in sight.
struct view {
	size_t first, end, at;
};
view layout(const shown &line, const view &before, size_t room);

// Draws the line. Where the line's place is not known yet, the terminal
// is asked, unless keys are typed ahead, which the answer would follow.
// The line that ended is drawn whole, over as many rows as it takes, so
// that all of it stays to be read.
void draw(screen *s, const shown &line, bool typed_ahead, bool whole = false);

// Clears the screen, or where the terminal cannot, goes on to a new row;
// the prompt is drawn again there.
void clear(screen *s);

// Writes s to the terminal as it is.
void say(const char *s);

#pragma GCC visibility pop

#endif
