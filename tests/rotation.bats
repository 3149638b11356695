#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# The rotation: each ASCII letter moves within its case, every other byte
# stays as it came.

load helper

@test "the greeting comes back rotated by 13" {
	rot 13 <<<'Hello, World!'
	expect 0 'plaintext: Uryyb, Jbeyq!\n'
}

@test "every byte under every shift class matches tr, for small and huge keys" {
	# all bytes 0x01-0xff but the newline that ends the line
	all=$BATS_TEST_TMPDIR/all
	for i in $(seq 1 255); do
		[ "$i" -ne 10 ] && byte "$i"
	done >"$all"
	echo >>"$all"
	[ "$(wc -c <"$all")" -eq 255 ]
	for r in $(seq 0 25); do
		# shellcheck disable=SC2046
		{ printf 'plaintext: '; LC_ALL=C tr $(rotation "$r") <"$all"; } \
			>"$BATS_TEST_TMPDIR/want"
		for key in "$r" $((r + 26)) $((2147483647 - (23 - r + 26) % 26)) \
			"26262626262626262626262626262626262626260$r"; do
			rot "$key" <"$all"
			[ "$status" -eq 0 ]
			cmp "$out" "$BATS_TEST_TMPDIR/want"
			[ ! -s "$err" ]
		done
	done
}

@test "the locale named in the environment changes nothing" {
	for loc in C C.UTF-8 en_US.UTF-8 tr_TR.UTF-8; do
		LC_ALL=$loc rot 1 <<<$'Zz Ii \xc3\xa9\xc4\xb1'
		expect 0 'plaintext: Aa Jj \xc3\xa9\xc4\xb1\n'
	done
}
