# SPDX-License-Identifier: MIT
# Shared by the command-line tests.
# ROTLET names the binary under test; WRAP a command to run it under;
# EMU one to run every program built for another machine, as qemu-user.

ROTLET=${ROTLET:-$BATS_TEST_DIRNAME/../rotlet}

# polls: how many times a wait looks, 20 a second, before it gives up:
# a minute, or ROTLET_TEST_SCALE minutes on a machine that slow.
# shellcheck disable=SC2034 # for the files that load this one
polls=$((1200 * ${ROTLET_TEST_SCALE:-1}))
read -r -a emu <<<"${EMU:-}"
read -r -a wrap <<<"${WRAP:-${EMU:-}}"

# within COMMAND...: COMMAND, ended should it run longer than a wait may,
# with a line on standard error that says what the test waited for.
within() {
	local s=0 limit=$((polls / 20))
	timeout -k 5 "$limit" "$@" || s=$?
	[ "$s" -ne 124 ] && [ "$s" -ne 137 ] || echo "waited $limit s in vain for: $*" >&2
	return "$s"
}

# rot ARG... <input: runs rotlet as a user would; sets status, and out and
# err to the files that hold standard output and standard error.
rot() {
	out=$BATS_TEST_TMPDIR/out
	err=$BATS_TEST_TMPDIR/err
	status=0
	within "${wrap[@]}" "$ROTLET" "$@" >"$out" 2>"$err" || status=$?
}

# expect STATUS BYTES: the status, standard output byte for byte (BYTES
# with printf %b escapes) and an empty standard error.
expect() {
	[ "$status" -eq "$1" ] || { echo "status $status, wanted $1"; return 1; }
	expect_out "$2"
}

expect_out() {
	cmp "$out" <(printf '%b' "$1") || { od -c "$out" | head; return 1; }
	[ ! -s "$err" ] || { cat "$err"; return 1; }
}

# rotation K: the tr(1) arguments that move each letter K places on (0..25),
# written out from the alphabets rather than computed like rotlet does.
rotation() {
	local u=ABCDEFGHIJKLMNOPQRSTUVWXYZ l=abcdefghijklmnopqrstuvwxyz
	printf '%s %s' "$u$l" "${u:$1}${u:0:$1}${l:$1}${l:0:$1}"
}

# byte N: the byte of value N (1..255).
byte() {
	printf '%b' "\\0$(printf %03o "$1")"
}

# sample FIRST LAST: the numbers from FIRST to LAST; under WRAP, as slow
# as valgrind, every eighth of them and the last.
sample() {
	if [ -z "${WRAP:-}" ]; then
		seq "$1" "$2"
	else
		{ seq "$1" 8 "$2"; echo "$2"; } | uniq
	fi
}

# Long runs are too slow under valgrind; they are covered by the plain run.
skip_if_wrapped() {
	[ -z "${WRAP:-}" ] || skip "too slow under $WRAP"
}

# kelp_of PROGRAM: the libkelp file that PROGRAM, run with no
# LD_LIBRARY_PATH, is given by the loader, read from its memory map while
# it waits for its line.
kelp_of() {
	local fifo=$BATS_TEST_TMPDIR/fifo.$RANDOM pid lib=
	mkfifo "$fifo"
	env -u LD_LIBRARY_PATH "${emu[@]}" "$1" 1 <"$fifo" >/dev/null &
	pid=$!
	exec 8>"$fifo"
	for _ in $(seq "$polls"); do
		lib=$(awk '$6 ~ /libkelp/ { print $6; exit }' "/proc/$pid/maps" 2>/dev/null)
		if [ -n "$lib" ] || ! kill -0 "$pid" 2>/dev/null; then
			break
		fi
		sleep 0.05
	done
	kill "$pid" 2>/dev/null || :
	exec 8>&-
	wait "$pid" || :
	readlink -f "$lib"
}
