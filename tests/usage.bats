#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# The command line: which keys are taken, and the usage line for the rest.

load helper

usage='usage: ./rotlet key\n'

# refused ARG...: usage line, status 1, and standard input left unread.
refused() {
	printf 'abc\nmore\n' >"$BATS_TEST_TMPDIR/in"
	{ rot "$@"; cat >"$BATS_TEST_TMPDIR/rest"; } <"$BATS_TEST_TMPDIR/in"
	expect 1 "$usage"
	cmp "$BATS_TEST_TMPDIR/in" "$BATS_TEST_TMPDIR/rest"
}

@test "no argument gives the usage line and status 1" {
	refused
}

@test "more than one argument gives the usage line even when all are digits" {
	refused 1 2
	refused 13 13 13
	refused "" ""
}

@test "a key with any byte other than an ASCII digit is refused" {
	for key in +1 -1 " 1" "1 " 1.5 1,000 $'1\n' $'\t1' a 1a 0x1A 1e3 \
		'١' '１' '߁' 'é' $'\x80' $'\xff' $'\x7f' '*'; do
		refused "$key"
	done
}

@test "every single byte as the key: the ten ASCII digits are taken, all else refused" {
	for i in $(sample 1 255); do
		key=$(byte "$i")
		[ "$i" -ne 10 ] || key=$'\n'	# $(...) would drop it
		if [ "$i" -ge 48 ] && [ "$i" -le 57 ]; then
			# a digit d moves "a" to the d-th letter after it
			rot "$key" <<<'a'
			expect 0 "plaintext: \\x$(printf %x $((97 + i - 48)))\n"
		else
			refused "$key"
		fi
	done
}

@test "an empty key is taken as zero" {
	rot "" <<<'Hello, World!'
	expect 0 'plaintext: Hello, World!\n'
}
