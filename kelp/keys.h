// SPDX-License-Identifier: MIT
// libkelp's keys: the bytes a terminal sends, a key's escape sequence and
// bracketed paste included, made into the one action each names. Reads
// through a source of bytes, so that it needs no terminal.

#ifndef KELP_KEYS_H
#define KELP_KEYS_H

#pragma GCC visibility push(hidden)

enum class act : unsigned char {
	none,			// a key that does nothing
	stop,			// the source gave no byte where a key begins
	text,			// a byte that goes into the line
	enter,
	eof_or_del,		// Ctrl-D
	left, right, home, end, word_left, word_right,
	back_del, del,
	kill_before, kill_after, kill_word_before, kill_word_back, kill_word,
	yank, transpose, undo, earlier, later, clear,
	paste_begin, paste_end,
};

struct key {
	act a;
	unsigned char c;	// the byte, for text
};

// The next byte, waiting at most ms milliseconds, or as long as it takes
// where ms is -1; -1 where none comes.
struct byte_source {
	int (*next)(void *ctx, int ms);
	void *ctx;
};

// Where the reader is: in a paste or not, and bytes read as part of what
// turned out to be text.
struct key_reader {
	bool pasting;
	bool escaped;		// an Escape read in a paste begins the next key
	unsigned char held[8];
	unsigned nheld, at;
};

key read_key(key_reader *k, byte_source src);

#pragma GCC visibility pop

#endif
