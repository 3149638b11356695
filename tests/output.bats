#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# Standard output: a failure to write is reported by the status alone.

load helper

# to TARGET ARG... <input: rotlet with standard output redirected by the
# TARGET ('full' or 'closed'); standard error to $err.
to() {
	err=$BATS_TEST_TMPDIR/err
	status=0
	case $1 in
	full) within "${wrap[@]}" "$ROTLET" "${@:2}" >/dev/full 2>"$err" || status=$? ;;
	closed) within "${wrap[@]}" "$ROTLET" "${@:2}" >&- 2>"$err" || status=$? ;;
	esac
}

@test "output that cannot be written gives status 1 and nothing on standard error" {
	for where in full closed; do
		to "$where" 1 <<<'abc'
		[ "$status" -eq 1 ]
		[ ! -s "$err" ]
		# the newline overflows the 64 KiB buffer and is dropped with
		# it, so the last flush has nothing to write and succeeds
		to "$where" 1 < <(head -c 65536 /dev/zero | tr '\0' a)
		[ "$status" -eq 1 ]
		[ ! -s "$err" ]
		to "$where" 1 </dev/null
		[ "$status" -eq 1 ]
		[ ! -s "$err" ]
	done
}

@test "a reader that goes away ends rotlet by SIGPIPE, not by a message" {
	skip_if_wrapped
	head -c 1000000 /dev/zero | tr '\0' a >"$BATS_TEST_TMPDIR/in"
	within env --default-signal=PIPE "${emu[@]}" "$ROTLET" 1 <"$BATS_TEST_TMPDIR/in" \
		2>"$BATS_TEST_TMPDIR/err" | head -c 5 >/dev/null
	[ "${PIPESTATUS[0]}" -eq $((128 + 13)) ]
	[ ! -s "$BATS_TEST_TMPDIR/err" ]
}
