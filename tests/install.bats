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

# runpath FILE: the loader's search path written into FILE, if any.
runpath() {
	readelf -d "$1" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p'
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

@test "every layout puts each file where it is asked, searches only LIBDIR, and uninstalls cleanly" {
	# PREFIX, LIBDIR, and the RUNPATH the installed rotlet must carry
	while IFS='|' read -r p l want; do
		d="$BATS_TEST_TMPDIR/stage in $RANDOM"
		make -s -C "$top" install DESTDIR="$d" PREFIX="$p" ${l:+LIBDIR="$l"} >/dev/null
		l=${l:-$p/lib}
		[ -x "$d$p/bin/rotlet" ] && [ -f "$d$l/libkelp.so.1.0.0" ]
		[ -f "$d$p/include/kelp.h" ] && [ -f "$d$p/share/man/man1/rotlet.1" ]
		grep -qx "libdir=$l" "$d$l/pkgconfig/kelp.pc"
		[ "$(runpath "$d$p/bin/rotlet")" = "$want" ]
		out=$(cd / && env LD_LIBRARY_PATH="${want:+/nonexistent}${want:-$d$l}" \
			"$d$p/bin/rotlet" 1 <<<'Hal')
		[ "$out" = "plaintext: Ibm" ]
		make -s -C "$top" uninstall DESTDIR="$d" PREFIX="$p" ${l:+LIBDIR="$l"}
		[ -z "$(find "$d" ! -type d)" ]
	done <<EOF2
/usr|/usr/lib/$(cc -print-multiarch)|
/usr||
/opt/rotlet||\$ORIGIN/../lib
/opt/my prefix|/opt/my prefix/lib64/sub|\$ORIGIN/../lib64/sub
EOF2
	# nothing strayed into the tree from a path split at its space
	[ ! -e "$top/prefix" ]
}

@test "a rotlet waiting at its prompt survives a reinstall under it" {
	lib=$staged/lib/libkelp.so.1.0.0
	before=$(stat -c %i "$lib")
	mkfifo "$BATS_TEST_TMPDIR/in"
	"$staged/bin/rotlet" 1 <"$BATS_TEST_TMPDIR/in" >"$BATS_TEST_TMPDIR/out" 3>&- &
	pid=$!
	exec 7>"$BATS_TEST_TMPDIR/in"
	for _ in $(seq 100); do
		[ -s "$BATS_TEST_TMPDIR/out" ] && break
		sleep 0.05
	done
	make -s -C "$top" install DESTDIR="$dest" PREFIX="$prefix" >/dev/null
	# the file was replaced, not written over
	[ "$(stat -c %i "$lib")" != "$before" ]
	echo Hal >&7
	exec 7>&-
	wait "$pid"
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

@test "installed by root on the live system, the library is found at once" {
	[ "$(id -u)" -eq 0 ] || skip "needs root"
	[ -z "${ROTLET_SANITIZED:-}" ] || skip "the library needs the sanitizer runtime"
	live=$BATS_TEST_TMPDIR/live
	make -s -C "$top" install PREFIX="$live" >/dev/null
	export PKG_CONFIG_PATH=$live/lib/pkgconfig
	# shellcheck disable=SC2046
	cc -o "$BATS_TEST_TMPDIR/use" "$top/tests/use.c" $(pkg-config --cflags --libs kelp)
	out=$BATS_TEST_TMPDIR/out err=$BATS_TEST_TMPDIR/err
	env -u LD_LIBRARY_PATH "$BATS_TEST_TMPDIR/use" <<<'live' >"$out" 2>"$err" || status=$?
	make -s -C "$top" uninstall PREFIX="$live"
	expect_out 'line: [live]\n'
	# and uninstall took it out of the loader's cache again
	! /sbin/ldconfig -p | grep -qF "$live/"
}

@test "uninstall removes every file that install put there" {
	make -s -C "$top" uninstall DESTDIR="$dest" PREFIX="$prefix"
	[ -z "$(find "$dest" ! -type d)" ]
}

@test "make dist gives the same bytes each time, holding exactly the tracked files" {
	[ -d "$top/.git" ] || skip "a release tarball holds no git history"
	tree=$BATS_TEST_TMPDIR/tree
	git clone -q "$top" "$tree"
	make -s -C "$tree" dist
	cp "$tree"/rotlet-*.tar.gz "$BATS_TEST_TMPDIR/first.tar.gz"
	touch "$tree"/*	# newer files must change nothing
	sleep 1
	make -s -C "$tree" dist
	cmp "$BATS_TEST_TMPDIR/first.tar.gz" "$tree"/rotlet-*.tar.gz
	[ "$(tar -tzf "$BATS_TEST_TMPDIR/first.tar.gz" | grep -v '/$' | sed 's|^[^/]*/||' | sort)" = \
		"$(git -C "$tree" ls-files | sort)" ]
}

@test "the man pages render without a warning" {
	for page in "$top/rotlet.1" "$top/kelp/get_string.3"; do
		[ -z "$(groff -mandoc -ww -z -Tutf8 "$page" 2>&1)" ]
	done
}
