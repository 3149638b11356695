/* SPDX-License-Identifier: MIT */
#ifndef KELP_H
#define KELP_H

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef char *string;

/*
 * Prints the prompt, a printf format with the arguments that follow it (or
 * with *args when args is not null), flushes standard output and reads one
 * line from standard input, without its "\n" or "\r\n". At a terminal the
 * person may edit the line as it is typed.
 * The text belongs to the library: it stays readable until the process
 * has run all its exit handlers and destructors; the caller must not free
 * or change it.
 * Returns NULL at end of input before any byte of a line, when a read
 * fails (the part of the line read so far is kept, and the next call
 * returns the whole line), when memory runs out, and for a line holding
 * a zero byte. Each call first clears stdin's end-of-file and error
 * indicators; feof(stdin) and ferror(stdin) then tell an end from a
 * failure.
 * Threads may call it at once: each call gets one whole line, and calls
 * take turns, prompt and read together. Other output to standard output
 * may still come between a prompt and its line. It is a cancellation
 * point.
 */
string get_string(va_list *args, const char *format, ...);

#ifdef __cplusplus
}
#endif

#endif
