// SPDX-License-Identifier: MIT
// libkelp's line as it is edited: the text and the cursor, and what each
// key does to them; the text last killed, and the lines of earlier calls.
// No input or output: a test calls it as the editor does.

#ifndef KELP_LINE_H
#define KELP_LINE_H

#include <cstddef>

#include "keys.h"

#pragma GCC visibility push(hidden)

// A byte string of the editor's own.
struct bytes {
	char *b;
	size_t n;
};

bool set(bytes *t, const char *s, size_t n);
bool append(bytes *t, const char *s, size_t n);

// One change, as undo needs it: at, the bytes it took out, and how many
// it put in their place; the cursor before it.
struct change {
	size_t at;
	bytes out;
	size_t in;
	size_t pos;
};

constexpr size_t undo_size = 64;

struct line {
	char *text;		// in the read buffer
	size_t len, pos;	// bytes, and the cursor's place among them
	change undo[undo_size];	// the last changes, oldest first
	size_t nundo;
	bool typing;		// the last change was typing
	bool killing;		// the last change was a kill
	size_t at_history;	// the line of history shown; past the last: none
	bytes draft;		// the line being typed, while history is shown
};

// A new line, holding what an earlier call had typed, the cursor at pos;
// false when no memory can be had for it.
bool line_open(line *l, const char *typed, size_t n, size_t pos);

// Text typed at the cursor: one change with what was typed just before.
bool line_type(line *l, const char *s, size_t n);

enum class outcome : unsigned char { edited, entered, end_of_input, no_memory };

// What a key that is not text does; the interrupt and quit keys throw
// the line away.
outcome line_do(line *l, act a);

// Keeps an ended line for the next calls' history, and lets go of the
// line's own memory.
void line_remember(const line *l);
void line_close(line *l);

#pragma GCC visibility pop

#endif
