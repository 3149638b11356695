/* SPDX-License-Identifier: MIT */
/*
 * What reading through the library is measured against: the least a
 * program must do itself for the same job.
 *
 * floor lines: per line, getline, a copy kept on a list and a flush of
 *     standard output; at exit every copy is freed. Prints the count.
 * floor line: the prompt, one getline into a buffer marked for huge
 *     pages, then each byte rotated by 13 and written with printf("%c"),
 *     with standard output set up as rotlet sets it.
 */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

static int
lines(void)
{
	char *line = NULL, **kept = NULL;
	size_t cap = 0, n = 0, max = 0;
	ssize_t len;

	while ((len = getline(&line, &cap, stdin)) >= 0) {
		char *copy = malloc((size_t)len + 1);
		if (copy == NULL)
			return 1;
		memcpy(copy, line, (size_t)len + 1);
		if (n == max) {
			max = max ? 2 * max : 16;
			kept = realloc(kept, max * sizeof *kept);
			if (kept == NULL)
				return 1;
		}
		kept[n++] = copy;
		fflush(stdout);
	}
	printf("%zu\n", n);
	for (size_t i = 0; i < n; i++)
		free(kept[i]);
	free(kept);
	free(line);
	return 0;
}

static int
line(void)
{
	static char out[1 << 16];
	unsigned char rot[256];
	size_t cap = (size_t)1 << 30;
	char *buf = malloc(cap);
	ssize_t len;

	if (buf == NULL)
		return 1;
	madvise((char *)((unsigned long)buf & ~4095UL), cap, MADV_HUGEPAGE);
	for (int c = 0; c < 256; c++)
		rot[c] = c >= 'a' && c <= 'z' ? 'a' + (c - 'a' + 13) % 26 :
		    c >= 'A' && c <= 'Z' ? 'A' + (c - 'A' + 13) % 26 : c;
	__fsetlocking(stdout, FSETLOCKING_BYCALLER);
	setvbuf(stdout, out, _IOFBF, sizeof out);
	printf("plaintext: ");
	fflush(stdout);
	len = getline(&buf, &cap, stdin);
	for (ssize_t i = 0; i < len && buf[i] != '\n'; i++)
		printf("%c", rot[(unsigned char)buf[i]]);
	printf("\n");
	free(buf);
	return 0;
}

int
main(int argc, char *argv[])
{
	if (argc == 2 && strcmp(argv[1], "lines") == 0)
		return lines();
	if (argc == 2 && strcmp(argv[1], "line") == 0)
		return line();
	fprintf(stderr, "usage: floor lines | line\n");
	return 2;
}
