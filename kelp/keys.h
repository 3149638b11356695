// SPDX-License-Identifier: MIT
// libkelp's keys: the bytes a terminal sends, a key's escape sequence and
// bracketed paste included, made into the one action each names. Works
// on bytes already read, so that it needs no terminal.

#ifndef KELP_KEYS_H
#define KELP_KEYS_H

#include <cstddef>

#pragma GCC visibility push(hidden)

enum class act : unsigned char {
	none,			// a key that does nothing
	text,			// bytes that go into the line
	enter,
	eof_or_del,		// Ctrl-D
	left, right, home, end, word_left, word_right,
	back_del, del,
	kill_before, kill_after, kill_word_before, kill_word_back, kill_word,
	yank, yank_pop, transpose, transpose_words,
	upper_word, lower_word, capitalize_word,
	undo, earlier, later, search_back, search_forward, abort, clear,
	paste_begin, paste_end,
	interrupt, quit, suspend,	// the terminal's keys for signals
};

struct key {
	act a;
	const unsigned char *text;	// for text: n bytes
	size_t n;
};

// The terminal's keys for SIGINT, SIGQUIT and SIGTSTP; 0 for one that is
// off, and all where the program's mode has signals off.
struct signal_keys {
	unsigned char intr, quit, susp;
};

// What a key reader knows between keys: whether it is in a paste.
struct key_state {
	bool pasting;
};

// The key that the n bytes at b begin, and the bytes it takes; where the
// bytes end before the key does, none are taken, and wait says how long
// more may take to come before the key is what there is (-1: however
// long). cut: no more will come, and a key cut short is what there is.
// A run of text is one key.
struct parsed {
	key k;
	size_t used;
	int wait;
};
parsed parse_key(const unsigned char *b, size_t n, key_state *st, const signal_keys &sk,
    bool cut);

#pragma GCC visibility pop

#endif
