#!/usr/bin/env bats
# make install and uninstall, staged in a temporary DESTDIR.

load helper

top=$BATS_TEST_DIRNAME/..
prefix=/usr/local

setup() {
	dest=$BATS_TEST_TMPDIR/dest
	make -s -C "$top" install DESTDIR="$dest" PREFIX="$prefix" >/dev/null
	staged=$dest$prefix
}

@test "install lays out exactly the tool, the library, its header, kelp.pc and the man pages" {
	[ "$(cd "$dest" && find . ! -type d | sort)" = "$(sort <<EOF2
./usr/local/bin/rotlet
./usr/local/include/kelp.h
./usr/local/lib/libkelp.so
./usr/local/lib/libkelp.so.1
./usr/local/lib/libkelp.so.1.0.0
./usr/local/lib/pkgconfig/kelp.pc
./usr/local/share/man/man1/rotlet.1
./usr/local/share/man/man3/get_string.3
EOF2
)" ]
	[ "$(readlink "$staged/lib/libkelp.so")" = libkelp.so.1 ]
	[ "$(readlink "$staged/lib/libkelp.so.1")" = libkelp.so.1.0.0 ]
	readelf -d "$staged/lib/libkelp.so.1.0.0" | grep -q 'SONAME.*\[libkelp.so.1\]'
	grep -qx "prefix=$prefix" "$staged/lib/pkgconfig/kelp.pc"
}

@test "the installed rotlet finds the installed library by itself" {
	ROTLET=$staged/bin/rotlet
	# from elsewhere, so that nothing of the tree can be found instead
	cd "$BATS_TEST_TMPDIR"
	lib=$(env -u LD_LIBRARY_PATH ldd "$ROTLET" | awk '$1 == "libkelp.so.1" { print $3 }')
	[ "$(readlink -f "$lib")" = "$staged/lib/libkelp.so.1.0.0" ]
	env -u LD_LIBRARY_PATH "$ROTLET" 1 <<<'Hal' >"$BATS_TEST_TMPDIR/out"
	[ "$(cat "$BATS_TEST_TMPDIR/out")" = "plaintext: Ibm" ]
}

@test "a C program builds against the installed library through pkg-config" {
	[ -z "${ROTLET_SANITIZED:-}" ] || skip "the library needs the sanitizer runtime"
	export PKG_CONFIG_PATH=$staged/lib/pkgconfig PKG_CONFIG_SYSROOT_DIR=$dest
	# shellcheck disable=SC2046
	cc -o "$BATS_TEST_TMPDIR/use" "$top/tests/use.c" $(pkg-config --cflags --libs kelp)
	out=$BATS_TEST_TMPDIR/out err=$BATS_TEST_TMPDIR/err
	LD_LIBRARY_PATH=$staged/lib "$BATS_TEST_TMPDIR/use" <<<'staged' >"$out" 2>"$err"
	expect_out 'line: [staged]\n'
}

@test "uninstall removes every file that install put there" {
	make -s -C "$top" uninstall DESTDIR="$dest" PREFIX="$prefix"
	[ -z "$(find "$dest" ! -type d)" ]
}

@test "the man pages render without a warning" {
	for page in "$top/rotlet.1" "$top/kelp/get_string.3"; do
		[ -z "$(groff -mandoc -ww -z -Tutf8 "$page" 2>&1)" ]
	done
}
