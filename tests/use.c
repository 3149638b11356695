/* SPDX-License-Identifier: MIT */
/*
 * A C program that uses the line reader: echoes one line back in brackets,
 * from an exit handler registered before the library's first call, so the
 * line must outlive every handler of the program's own. The prompt's
 * word may be given.
 */
#include <stdio.h>
#include <stdlib.h>

#include "kelp.h"

static string s;

static void
bye(void)
{
	if (s != NULL)
		printf("[%s]\n", s);
}

int
main(int argc, char *argv[])
{
	if (atexit(bye) != 0)
		return 2;
	s = get_string(NULL, "%s: ", argc > 1 ? argv[1] : "line");
	return s == NULL;
}
