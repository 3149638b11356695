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
 * line from standard input, without its "\n" or "\r\n".
 * The text belongs to the library: it stays readable until the process
 * exits, when the library frees it; the caller must not free or change it.
 * Returns NULL at end of input before any byte of a line, on a read error,
 * when memory runs out, and for a line holding a zero byte.
 */
string get_string(va_list *args, const char *format, ...);

#ifdef __cplusplus
}
#endif

#endif
