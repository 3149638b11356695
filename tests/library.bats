#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# libkelp as its users see it: from C, and at load time.

load helper

@test "a C program reads a line through get_string, still readable in its exit handler" {
	out=$BATS_TEST_TMPDIR/out err=$BATS_TEST_TMPDIR/err
	within "${wrap[@]}" "$BATS_TEST_DIRNAME/use" <<<'from C' >"$out" 2>"$err"
	expect_out 'line: [from C]\n'
}

# needed FILE: the libraries FILE asks the loader for, but the loader
# itself, which glibc's stack protector needs on some machines for its
# guard: whatever rotlet names as its interpreter, on every architecture.
needed() {
	local loader
	loader=$(readelf -lW "$ROTLET" | sed -n 's|.*interpreter: \(.*/\)\{0,1\}\(.*\)\]$|\2|p')
	readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
		grep -vxF "$loader" | sort | tr '\n' ' '
}

@test "rotlet loads only libkelp and the C library, libkelp only the C library" {
	[ -z "${ROTLET_SANITIZED:-}" ] || skip "sanitizers bring their own"
	libc=$(needed "$BATS_TEST_DIRNAME/../kelp/libkelp.so")
	[[ $libc =~ ^libc\.so(\.[0-9]+)?\ $ ]]	# glibc's libc.so.6, musl's libc.so
	[ "$(needed "$ROTLET")" = "${libc}libkelp.so.1 " ]
	# and the loader finds the in-tree library without any help
	[ "$(kelp_of "$ROTLET")" = "$(readlink -f "$BATS_TEST_DIRNAME/../kelp/libkelp.so")" ]
}

@test "libkelp exports get_string alone, at version KELP_1.0, and dlclose never unloads it" {
	lib=$BATS_TEST_DIRNAME/../kelp/libkelp.so
	[ "$(nm -D --defined-only "$lib" | awk '$2 != "A" { print $3 }')" = get_string@@KELP_1.0 ]
	# the lines it handed out must outlive a dlclose
	readelf -d "$lib" | grep -q 'FLAGS_1.*NODELETE'
}

@test "a plain build is hardened: PIE, full RELRO, no executable stack, stack protector, fortified calls" {
	[ -z "${ROTLET_SANITIZED:-}" ] || skip "sanitizer builds leave out fortification"
	lib=$BATS_TEST_DIRNAME/../kelp/libkelp.so
	readelf -h "$ROTLET" | grep -q 'Type:.*DYN'
	readelf -d "$ROTLET" | grep -q 'FLAGS_1.*PIE'
	for f in "$ROTLET" "$lib"; do
		readelf -lW "$f" | grep -q GNU_RELRO
		readelf -d "$f" | grep -q 'FLAGS.*BIND_NOW'
		[ "$(readelf -lW "$f" | awk '$1 == "GNU_STACK" { print $7 }')" = RW ]
		nm -D "$f" | grep -q ' U __stack_chk_fail'
	done
	# Fortified calls need optimisation: at -O0 glibc leaves them out,
	# and make check says so in ROTLET_FORTIFIED. Where they are in,
	# rotlet's own calls all fold to putchar and puts, and the library's
	# prompt goes through the checked printf.
	if [ "${ROTLET_FORTIFIED:-0}" -gt 0 ]; then
		nm -D "$lib" | grep -q ' U __vfprintf_chk'
		! nm -D "$lib" | grep -Eq ' U v?printf$| U vfprintf$'
	fi
}

@test "where C libraries differ, get_string gives the same on each: failed reads, pushed-back bytes, cancels, the end and more, exit, fork, memory" {
	# tests/cases NAME, and what its calls of get_string must give
	while read -r name want; do
		if [ "$name" = memory ] && [ -n "${ROTLET_SANITIZED:-}" ]; then
			continue	# the sanitizers need more address space
		fi
		# never under WRAP: a thread left waiting at exit keeps its
		# memory; 77: the case cannot be tried here, and says why on
		# standard error
		s=0
		got=$(within "${emu[@]}" "$BATS_TEST_DIRNAME/cases" "$name" 2>"$BATS_TEST_TMPDIR/why") || s=$?
		if [ "$s" -eq 77 ]; then
			echo "# $name: not tried: $(cat "$BATS_TEST_TMPDIR/why")" >&3
			continue
		fi
		[ "$s" -eq 0 ] || { echo "$name: status $s, gave [${got:0:200}]"; cat "$BATS_TEST_TMPDIR/why"; return 1; }
		[ "$got" = "$want" ] || { echo "$name: [${got:0:200}], wanted [$want]"; return 1; }
	done <<EOF2
eagain NULL error;abcdef;ghi eof;NULL eof;
eintr NULL error;abcdef;ghi eof;NULL eof;
restart abcdef;
ungetc Xbc;def;late;
cancel 200;
eof-fifo first;NULL eof;hello;NULL eof;
eof-tty hello;
exit
fork from a pipe;
fork-freopen from a file;
memory NULL;next;NULL eof;
EOF2
}
