#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# make install and uninstall, staged in a temporary DESTDIR; and what
# make check needs before it builds.

load helper

top=$BATS_TEST_DIRNAME/..
prefix=/usr/local

# The installs are made from a copy of the tree, built as it is: the
# tree's own installed program and its directories stay as make left
# them, for the make install that may follow make check.
setup_file() {
	export copy=$BATS_FILE_TMPDIR/tree
	mkdir "$copy"
	tar -C "$top" --exclude=./.git -cf - . | tar -C "$copy" -xf -
	export before
	before=$(stat -c %y "$top/rotlet.inst" "$top/.dirs"; cat "$top/.dirs")
}

# A program that uses the library is built with the packager's flags too:
# a -m32 build must not link a 64-bit program against a 32-bit library.
cflags="${CPPFLAGS:-} ${CFLAGS:-}"
ldflags=${LDFLAGS:-}

# mk ARG...: make in the copy with the build's compiler and flags, which
# make check exports, and with none of the caller's install variables:
# whatever make check was given, these tests install only where they say.
mk() {
	env -u MAKEFLAGS -u MFLAGS -u GNUMAKEFLAGS -u MAKEOVERRIDES -u MAKELEVEL \
		make -s -C "$copy" CXX="${CXX:-c++}" CC="${CC:-cc}" \
		SANITIZE="${ROTLET_SANITIZED:-}" "$@" >/dev/null
}

setup() {
	dest=$BATS_TEST_TMPDIR/dest
	mk install DESTDIR="$dest" PREFIX="$prefix"
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
	grep -qx 'libdir=${prefix}/lib' "$staged/lib/pkgconfig/kelp.pc"
}

@test "the installed rotlet finds the installed library by itself" {
	ROTLET=$staged/bin/rotlet
	# from elsewhere, so that nothing of the tree can be found instead
	cd "$BATS_TEST_TMPDIR"
	[ "$(kelp_of "$ROTLET")" = "$staged/lib/libkelp.so.1.0.0" ]
	within env -u LD_LIBRARY_PATH "$ROTLET" 1 <<<'Hal' >"$BATS_TEST_TMPDIR/out"
	[ "$(cat "$BATS_TEST_TMPDIR/out")" = "plaintext: Ibm" ]
}

@test "every layout puts each file where it is asked, searches only LIBDIR, and uninstalls cleanly" {
	sanitized=${ROTLET_SANITIZED:-}
	# the loader's own directories, as it names them; none named, /lib
	# and /usr/lib
	sys=$("$(readelf -lW /bin/sh | sed -n 's/.*interpreter: \(.*\)\]$/\1/p')" --help |
		sed -n 's/^ *\(.*\) (system search path)$/\1/p')
	sys=${sys:-$(printf '/lib\n/usr/lib')}
	# rp DIR: the RUNPATH for LIBDIR=DIR under /usr: none where it is one
	rp() { grep -qx "$1" <<<"$sys" || echo "\$ORIGIN/../${1#/usr/}"; }
	multi=$(grep -m1 '^/usr/lib/.' <<<"$sys" || echo /usr/lib)
	# PREFIX, LIBDIR, and the RUNPATH the installed rotlet must carry
	while IFS=: read -r p l want; do
		d=$BATS_TEST_TMPDIR/stage-$RANDOM
		mk install DESTDIR="$d" PREFIX="$p" ${l:+LIBDIR="$l"}
		l=${l:-$p/lib}
		[ -x "$d$p/bin/rotlet" ] && [ -f "$d$l/libkelp.so.1.0.0" ]
		[ -f "$d$p/include/kelp.h" ] && [ -f "$d$p/share/man/man1/rotlet.1" ]
		[ "$(runpath "$d$p/bin/rotlet")" = "$want" ]
		out=$(cd / && env LD_LIBRARY_PATH="${want:+/nonexistent}${want:-$d$l}" \
			"$d$p/bin/rotlet" 1 <<<'Hal')
		[ "$out" = "plaintext: Ibm" ]
		# a C program builds with kelp.pc's flags, as the README says
		if [ -z "$sanitized" ]; then
			eval "${CC:-cc} $cflags -o \"\$BATS_TEST_TMPDIR/use\" \"\$top/tests/use.c\" $(
				PKG_CONFIG_PATH="$d$l/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$d" \
				pkg-config --cflags --libs kelp) $ldflags"
			out=$(LD_LIBRARY_PATH="$d$l" "$BATS_TEST_TMPDIR/use" <<<'staged')
			[ "$out" = "line: [staged]" ]
		fi
		mk uninstall DESTDIR="$d" PREFIX="$p" ${l:+LIBDIR="$l"}
		[ -z "$(find "$d" ! -type d)" ]
	done <<EOF2
/usr:$multi:
/usr::$(rp /usr/lib)
/usr:/usr/lib64:$(rp /usr/lib64)
/opt/rotlet::\$ORIGIN/../lib
/opt/my prefix:/opt/my prefix/lib64/sub:\$ORIGIN/../lib64/sub
/opt/a&b|c:/opt/x&y|z/lib:\$ORIGIN/../../x&y|z/lib
EOF2
	# nothing strayed into the tree from a path split at its space
	[ ! -e "$copy/prefix" ]
	# what the loader, kelp.pc or the shell would read otherwise is
	# refused before anything is installed
	for p in "/opt/a'b" '/opt/a\b' '/opt/a$$b' '/opt/a:b' '/opt/a"b' stagehere; do
		d=$BATS_TEST_TMPDIR/refused
		mk install DESTDIR="$d" PREFIX="$p" 2>/dev/null && return 1
		[ -z "$(find "$d" ! -type d 2>/dev/null)" ]
	done
}

@test "a rotlet waiting at its prompt survives a reinstall under it" {
	lib=$staged/lib/libkelp.so.1.0.0
	before=$(stat -c %i "$lib")
	mkfifo "$BATS_TEST_TMPDIR/in"
	within "$staged/bin/rotlet" 1 <"$BATS_TEST_TMPDIR/in" >"$BATS_TEST_TMPDIR/out" 3>&- &
	pid=$!
	exec 7>"$BATS_TEST_TMPDIR/in"
	for _ in $(seq "$polls"); do
		[ -s "$BATS_TEST_TMPDIR/out" ] && break
		sleep 0.05
	done
	[ -s "$BATS_TEST_TMPDIR/out" ]
	mk install DESTDIR="$dest" PREFIX="$prefix"
	# the file was replaced, not written over
	[ "$(stat -c %i "$lib")" != "$before" ]
	echo Hal >&7
	exec 7>&-
	wait "$pid"
	[ "$(cat "$BATS_TEST_TMPDIR/out")" = "plaintext: Ibm" ]
}

@test "a staged install moves with pkg-config --define-prefix" {
	[ -z "${ROTLET_SANITIZED:-}" ] || skip "the library needs the sanitizer runtime"
	moved=$BATS_TEST_TMPDIR/moved
	mv "$staged" "$moved"
	# shellcheck disable=SC2046
	${CC:-cc} $cflags -o "$BATS_TEST_TMPDIR/use" "$top/tests/use.c" $(PKG_CONFIG_PATH=$moved/lib/pkgconfig \
		pkg-config --define-prefix --cflags --libs kelp) $ldflags
	out=$BATS_TEST_TMPDIR/out err=$BATS_TEST_TMPDIR/err
	LD_LIBRARY_PATH=$moved/lib "$BATS_TEST_TMPDIR/use" <<<'moved' >"$out" 2>"$err"
	expect_out 'line: [moved]\n'
}

# Installing on the live system runs ldconfig on this machine: only when
# asked for, by ROTLET_TEST_LIVE=1.
@test "installed by root on the live system, a private prefix stays out of the loader's cache" {
	[ -n "${ROTLET_TEST_LIVE:-}" ] || skip "set ROTLET_TEST_LIVE=1 to install on this system"
	[ "$(id -u)" -eq 0 ] || skip "needs root"
	[ -z "${ROTLET_SANITIZED:-}" ] || skip "the library needs the sanitizer runtime"
	live=$BATS_TEST_TMPDIR/live
	before=$(/sbin/ldconfig -p | grep -c libkelp || :)
	mk install PREFIX="$live"
	[ "$(/sbin/ldconfig -p | grep -c libkelp || :)" = "$before" ]
	[ -z "$(/sbin/ldconfig -p | grep -F "$live/")" ]
	export PKG_CONFIG_PATH=$live/lib/pkgconfig
	# shellcheck disable=SC2046
	${CC:-cc} $cflags -o "$BATS_TEST_TMPDIR/use" "$top/tests/use.c" $(pkg-config --cflags --libs kelp) $ldflags
	out=$BATS_TEST_TMPDIR/out err=$BATS_TEST_TMPDIR/err
	LD_LIBRARY_PATH=$live/lib "$BATS_TEST_TMPDIR/use" <<<'live' >"$out" 2>"$err" || status=$?
	mk uninstall PREFIX="$live"
	expect_out 'line: [live]\n'
	[ -z "$(find "$live" ! -type d)" ]
}

@test "make dist gives the same bytes each time, holding exactly the tracked files" {
	[ -d "$top/.git" ] || skip "a release tarball holds no git history"
	command -v git >/dev/null || skip "make dist needs git, which is not installed"
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

@test "the install tests leave the tree's installed program and its directories as they were" {
	[ "$(stat -c %y "$top/rotlet.inst" "$top/.dirs"; cat "$top/.dirs")" = "$before" ]
}

@test "make check, lint and sanitize, lacking a tool they cannot install, name the one command that does, a compiler by its package" {
	bin=$BATS_TEST_TMPDIR/bin
	mkdir "$bin"
	for t in sh id pkg-config groff tmux readelf nm; do
		ln -sf "$(command -v "$t")" "$bin/"
	done
	# compilers by the names make check looks for, whatever is installed
	printf '#!/bin/sh\n' >"$bin/g++"
	chmod +x "$bin/g++"
	# with no apt-get on PATH it cannot install, even as root
	# a missing compiler is named by its own package
	while read -r target cxx cc missing; do
		out=$(env PATH="$bin" CXX="$cxx" CC="$cc" sh "$top/tools/need" "$target" 2>&1) &&
			return 1
		[ "$out" = "$(printf '%s\n\t%s' "make $target: it needs $missing; as root (or with sudo), install with" \
			"apt-get install --no-install-recommends $missing")" ]
	done <<EOF
check g++ g++ bats
check clang++ clang clang bats
lint g++ g++ cppcheck clang-tidy shellcheck gcc clang
sanitize clang++-19 clang-19 clang-19 bats
EOF
}

@test "the man pages render without a warning" {
	for page in "$top/rotlet.1" "$top/kelp/get_string.3"; do
		[ -z "$(groff -mandoc -ww -z -Tutf8 "$page" 2>&1)" ]
	done
}
