// SPDX-License-Identifier: MIT
// libkelp's input at a terminal. Every byte read from the terminal and
// not yet in the line is here, and stays from one call to the next: bytes
// that make no whole key yet, a paste's state, keys typed while the
// terminal answered where its cursor is, and those typed after the line.
// The terminal is read a byte at a time, so that nothing past the line's
// end is taken from it.

#ifndef KELP_INPUT_H
#define KELP_INPUT_H

#include <cstddef>

#include <sys/types.h>

#include "keys.h"

#pragma GCC visibility push(hidden)

// Why no key came: a signal left the line to draw again (anew on a new
// row where fresh); the input ended; a read failed (errno); a handler
// without SA_RESTART ended the wait (EINTR); no memory for what was read.
enum class no_key : unsigned char { none, redraw, fresh, end_of_input, failed, interrupted, no_memory };

struct next_key_result {
	key k;
	no_key why;
};

// At the start of a call, from the terminal dev: what is pending from
// another terminal is dropped.
void input_from(dev_t dev);

// The next key, reading the terminal as it is needed; a run of text is one
// key. Its text stays valid until the next call here.
next_key_result next_key(const signal_keys &sk);

// Whether more is typed already, read or not: a paste is drawn once it
// is all in, and the terminal is not asked where its cursor is.
bool typed_ahead();

// A place on the screen, rows and columns from 0.
struct spot {
	size_t row, col;
};

// The terminal's answer to where its cursor is, which it was just asked:
// false where none comes within half a second of the last byte. Keys
// typed before the answer stay pending.
bool await_cursor(spot *at);

#pragma GCC visibility pop

#endif
