// SPDX-License-Identifier: MIT
// rotlet: move each ASCII letter of one line KEY places on within its case.

#include <array>
#include <cstdio>

#include <stdio_ext.h>

#include "kelp.h"

namespace {

// Bytes are classified by their ASCII ranges alone: no locale, and no byte
// from 0x80 up is a digit or a letter.
bool
check_valid_key(string s)
{
	for (; *s != '\0'; s++) {
		unsigned char c = *s;
		if (c < '0' || c > '9')
			return false;
	}
	return true;
}

// Only the key's remainder modulo 26 moves a letter. Reducing it digit by
// digit keeps keys of any length exact and nothing can overflow.
int
reduce_key(string s)
{
	int key = 0;
	for (; *s != '\0'; s++)
		key = (key * 10 + (*s - '0')) % 26;
	return key;
}

// key is already reduced to 0..25.
constexpr unsigned char
rotate(unsigned char c, int key)
{
	if (c >= 'a' && c <= 'z')
		return 'a' + (c - 'a' + key) % 26;
	if (c >= 'A' && c <= 'Z')
		return 'A' + (c - 'A' + key) % 26;
	return c;
}

static_assert(rotate('a', 0) == 'a' && rotate('z', 1) == 'a' &&
    rotate('A', 25) == 'Z' && rotate('Z', 2) == 'B' &&
    rotate('0', 5) == '0' && rotate(0xe1, 3) == 0xe1);

}

int
main(int argc, string argv[])
{
	if (argc != 2 || !check_valid_key(argv[1])) {
		printf("usage: ./rotlet key\n");
		return 1;
	}
	int key = reduce_key(argv[1]);
	// Every byte's rotation, worked out once: the loop below then costs a
	// load per byte instead of two range tests and a division.
	std::array<unsigned char, 256> rotated;
	for (size_t c = 0; c < rotated.size(); c++)
		rotated[c] = rotate(static_cast<unsigned char>(c), key);

	// One thread: stdio need not lock stdout around every byte.
	__fsetlocking(stdout, FSETLOCKING_BYCALLER);
	// Larger buffers than stdio's 4 KiB: a long line then costs 16 times
	// fewer system calls. Should this fail, stdio's own buffers serve.
	static char outbuf[1 << 16], inbuf[1 << 16];
	(void)setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);
	(void)setvbuf(stdin, inbuf, _IOFBF, sizeof inbuf);

	string plaintext = get_string(nullptr, "plaintext: ");
	if (plaintext == nullptr) {
		printf("\n");	// end the prompt's line
		return 1;
	}
	for (string p = plaintext; *p != '\0'; p++)
		printf("%c", rotated[static_cast<unsigned char>(*p)]);
	printf("\n");

	// A write that failed (a full disk, a closed descriptor) is no success.
	// stdio drops what a failed write held, so the last flush can succeed
	// after an earlier one failed: the error flag tells.
	return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}
