// SPDX-License-Identifier: MIT
// libkelp's line as it is edited: the text and the cursor, and what each
// key does to them; the kill ring, and the lines of earlier calls, which
// history.cpp keeps. No input or output: a test calls it as the editor
// does.

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
constexpr size_t history_size = 100;

// A line's way through the lines of earlier calls, for as long as the call
// lasts: each shown may be edited, and keeps its edits until the call
// ends; an incremental search among them.
struct recall {
	size_t at;			// the line shown; past the last, the one typed
	bytes edited[history_size + 1];	// each as edited while shown
	bool searching, backward, failing;
	bytes query;
	size_t found;			// where the query is in the line shown
	size_t from_at, from_pos;	// the line and the cursor it began at
};

struct line {
	char *text;		// in the read buffer
	size_t len, pos;	// bytes, and the cursor's place among them
	change undo[undo_size];	// the last changes, oldest first
	size_t nundo;
	bool typing;		// the last change was typing
	bool killing;		// the last change was a kill
	bool yanking;		// the last change was a yank, of yanked bytes
	size_t yanked;
	size_t changed;		// the first byte changed since the editor drew
	recall r;
};

// A new line, holding what an earlier call had typed, the cursor at pos;
// false when no memory can be had for it.
bool line_open(line *l, const char *typed, size_t n, size_t pos);

// Text typed at the cursor: one change with what was typed just before;
// in a search, the text searched for.
bool line_type(line *l, const char *s, size_t n);

enum class outcome : unsigned char { edited, entered, end_of_input, no_memory };

// What a key that is not text does; the interrupt and quit keys throw
// the line away.
outcome line_do(line *l, act a);

// A change of the line: n bytes of s in place of those from a to b, the
// cursor after them; typing right after typing joins the change before,
// else it is one of its own for undo. False where no memory can be had,
// the line as it was. s must not be in the line.
bool line_change(line *l, size_t a, size_t b, const char *s, size_t n, bool typing);

// Words (words.cpp): where the one after p ends, or the one before it
// starts, past what is no word; Ctrl-W's, back to a blank; Alt-t's
// swap and the keys that change a word's case.
size_t word_after(const line *l, size_t p);
size_t word_before(const line *l, size_t p);
size_t blank_word_start(const line *l);
void transpose_words(line *l);
void change_case(line *l, act a);

// The whole line becomes n bytes of s, the cursor at pos; its changes
// start anew. False where no memory can be had, the line as it was.
bool line_replace(line *l, const char *s, size_t n, size_t pos);

// Keeps an ended line for the next calls' history, and lets go of the
// line's own memory.
void line_remember(const line *l);
void line_close(line *l);

// The lines of earlier calls (history.cpp): how many, and keeping one
// more; a line's way among them, and its search.
size_t history_count();
void history_keep(const char *s, size_t n);
void recall_step(line *l, bool earlier);
void search_begin(line *l, bool backward);
void search_type(line *l, const char *s, size_t n);
void search_erase(line *l);
void search_end(line *l, bool keep);
void recall_close(line *l);

#pragma GCC visibility pop

#endif
