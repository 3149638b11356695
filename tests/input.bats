#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# The line as read: terminators, missing lines, and lines of any size.

load helper

@test "one line is read and its terminator, LF or CRLF, is not part of it" {
	rot_in 'abc\r\nxyz\n' 1
	expect 0 'plaintext: bcd\n'
	rot_in 'a\rb\n' 1
	expect 0 'plaintext: b\rc\n'
}

@test "a last line without a newline is still a line" {
	rot_in 'abc' 2
	expect 0 'plaintext: cde\n'
}

@test "an empty line gives the newline alone" {
	rot_in '\n' 5
	expect 0 'plaintext: \n'
	rot_in '\r\n' 5
	expect 0 'plaintext: \n'
}

@test "no line to read ends the prompt line and gives status 1" {
	rot 3 </dev/null
	expect 1 'plaintext: \n'
	rot 3 <&-
	expect 1 'plaintext: \n'
	rot 3 </	# every read fails
	expect 1 'plaintext: \n'
}

@test "a line holding a zero byte is refused, not shortened" {
	rot_in 'ab\0cd\n' 3
	expect 1 'plaintext: \n'
}

@test "a 100 MiB line comes back whole" {
	skip_if_wrapped
	in=$BATS_TEST_TMPDIR/in
	yes 'The 5 quick brown foxes, jumping: 0xFF & ~ZZ!' | head -c 104857600 |
		tr -d '\n' >"$in"
	# shellcheck disable=SC2046
	{ printf 'plaintext: '; tr $(rotation 7) <"$in"; echo; } \
		>"$BATS_TEST_TMPDIR/want"
	rot 7 <"$in"
	[ "$status" -eq 0 ]
	cmp "$out" "$BATS_TEST_TMPDIR/want"
	[ ! -s "$err" ]
}

@test "only the first line is taken: from a file, the rest is left for the next reader" {
	printf 'abc\nsecond\nthird\n' >"$BATS_TEST_TMPDIR/in"
	{ rot 1; cat >"$BATS_TEST_TMPDIR/rest"; } <"$BATS_TEST_TMPDIR/in"
	expect 0 'plaintext: bcd\n'
	[ "$(cat "$BATS_TEST_TMPDIR/rest")" = "$(printf 'second\nthird')" ]
}
