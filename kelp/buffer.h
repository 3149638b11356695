// SPDX-License-Identifier: MIT
// libkelp's memory: the buffer a line is read into, and where the lines
// handed out are kept until the library is unloaded. Called with the
// library's lock held.

#ifndef KELP_BUFFER_H
#define KELP_BUFFER_H

#include <cstddef>

#include "kelp.h"

#pragma GCC visibility push(hidden)

// Room for need bytes of the line being read and a zero byte after them,
// the bytes already there kept; null when no memory can be had, with the
// buffer as it was.
char *room(size_t need);

// The len bytes in the buffer are a whole line: it is kept until the
// library is unloaded and handed out; null when memory ran out.
string keep(size_t len);

// The len bytes in the buffer are not wanted: a long line's pages are
// given back.
void drop(size_t len);

// Gives the whole buffer back, as when memory has run out.
void free_buffer();

void release_lines();

#pragma GCC visibility pop

#endif
