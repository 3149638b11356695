// SPDX-License-Identifier: MIT
// libkelp's characters as the editor counts them: UTF-8 sequences, marks
// that combine with the character before them, and the columns each
// takes on a terminal, the same in every locale.

#ifndef KELP_CHARS_H
#define KELP_CHARS_H

#include <cstddef>

#pragma GCC visibility push(hidden)

// The bytes of the character that starts at p of the len at s: those of
// a well-formed UTF-8 sequence, else 1.
size_t char_len(const char *s, size_t p, size_t len);

// Columns the character at p takes: a control byte shows as ^X, two; a
// C1 control, U+0080 to U+009F, as <85>, four; a wide one two; a
// combining mark none.
size_t width(const char *s, size_t p, size_t len);

// The C1 control at p, or 0 where the character there is none.
unsigned c1_control(const char *s, size_t p, size_t len);

// Where the next character starts, a character taking the marks that
// combine with it; and where the one before p starts.
size_t next_char(const char *s, size_t p, size_t len);
size_t prev_char(const char *s, size_t p, size_t len);

// The first place at or after p where a character starts, or the end:
// bytes put in a line may join the ones around them into one.
size_t char_boundary(const char *s, size_t p, size_t len);

// Columns a prompt takes: escape sequences none, and a tab on to the
// next multiple of eight.
size_t shown_width(const char *s, size_t len);

#pragma GCC visibility pop

#endif
