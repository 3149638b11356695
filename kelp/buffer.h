// SPDX-License-Identifier: MIT
// libkelp's memory: the buffer lines are read into, and where the lines
// handed out are kept until the library is unloaded. Called with the
// library's lock held.

#ifndef KELP_BUFFER_H
#define KELP_BUFFER_H

#include <cstddef>

#include "kelp.h"

#pragma GCC visibility push(hidden)

// Lines shorter than this are copied out of the buffer; a longer one
// keeps the memory it was read into. Each such line is a mapping of its
// own, and the kernel allows a process only so many.
constexpr size_t short_line = 1 << 20;

extern char *buf;	// what getline reads into; null until reserve()
extern size_t cap;

// Makes buf ready for a line; false when no memory can be had.
bool reserve();

// Hands buf over to the caller; the next line reserves anew.
char *take_buffer();

// Keeps the len bytes at text, which end in a zero byte, until the
// library is unloaded, and returns them. text is buf, or a block of its
// own that keep() takes over.
string keep(char *text, size_t len);

void release_lines();

#pragma GCC visibility pop

#endif
