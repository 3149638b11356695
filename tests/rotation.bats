#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# The rotation: each ASCII letter moves within its case, every other byte
# stays as it came.

load helper

@test "every byte under every shift class matches tr, for small and huge keys" {
	# all bytes 0x01-0xff but the newline that ends the line
	all=$BATS_TEST_TMPDIR/all
	for i in $(seq 1 255); do
		[ "$i" -ne 10 ] && byte "$i"
	done >"$all"
	echo >>"$all"
	[ "$(wc -c <"$all")" -eq 255 ]
	for r in $(sample 0 25); do
		# shellcheck disable=SC2046
		{ printf 'plaintext: '; LC_ALL=C tr $(rotation "$r") <"$all"; } \
			>"$BATS_TEST_TMPDIR/want"
		# past 2^31 and 2^128, the last with leading zeros
		for key in "$r" $((r + 26)) $((2147483647 - (23 - r + 26) % 26)) \
			"0026262626262626262626262626262626262626260$r"; do
			rot "$key" <"$all"
			[ "$status" -eq 0 ]
			cmp "$out" "$BATS_TEST_TMPDIR/want"
			[ ! -s "$err" ]
		done
	done
}
