// SPDX-License-Identifier: MIT
// libkelp's output to the terminal the line is drawn on: gathered in
// pieces, the characters as they show.

#ifndef KELP_OUTPUT_H
#define KELP_OUTPUT_H

#include <cstddef>

#pragma GCC visibility push(hidden)

// What is drawn goes out in pieces of this size.
struct out {
	char b[1024];
	size_t n;
};

void flush(out *o);
void put(out *o, const char *s, size_t n);
void puts_(out *o, const char *s);

// An escape sequence with a number in it, as printf makes it.
void putn(out *o, const char *format, size_t n);

// The grapheme cluster from p to q of t as it shows: a control as ^X and
// a C1 control as <85>, which some terminals would act on.
void put_cluster(out *o, const char *t, size_t p, size_t q);

// Writes s to the terminal as it is.
void say(const char *s);

#pragma GCC visibility pop

#endif
