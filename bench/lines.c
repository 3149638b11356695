/* SPDX-License-Identifier: MIT */
/* Reads every line of standard input through get_string; prints how many. */
#include <stdio.h>

#include "kelp.h"

int
main(void)
{
	long n = 0;

	while (get_string(NULL, NULL) != NULL)
		n++;
	printf("%ld\n", n);
	return 0;
}
