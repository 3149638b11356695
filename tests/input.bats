#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# The line as rotlet reads it: none, one of any size, and only the first.

load helper

@test "no line to read ends the prompt line and gives status 1" {
	rot 3 </dev/null
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
