/* A C program that uses the line reader: echoes one line back in brackets. */
#include <stdio.h>

#include "kelp.h"

int
main(void)
{
	string s = get_string(NULL, "%s: ", "line");

	if (s == NULL)
		return 1;
	printf("[%s]\n", s);
	return 0;
}
