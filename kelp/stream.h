// SPDX-License-Identifier: MIT
// What the C library's stdio holds of a stream, read and changed from
// outside it: the bytes it has read ahead, those it has set aside behind
// a pushed-back byte, and its error indicator. glibc's FILE is public;
// musl has functions for it.

#ifndef KELP_STREAM_H
#define KELP_STREAM_H

#include <cstddef>
#include <cstdio>

#pragma GCC visibility push(hidden)

// What stdio has read ahead of the stream's position, and taking n bytes
// of it.
const char *ahead(FILE *f, size_t *n);
void take(FILE *f, size_t n);

// What stdio holds behind the bytes ahead() sees.
size_t set_aside(FILE *f);

// Sets the error indicator, for a failed wait, which is no stdio read.
void set_error(FILE *f);

#pragma GCC visibility pop

#endif
