# SPDX-License-Identifier: MIT
# rotlet and its line reader libkelp

VERSION = 1.0.0

PREFIX = /usr/local
DESTDIR =
BINDIR = $(PREFIX)/bin
LIBDIR = $(PREFIX)/lib
INCLUDEDIR = $(PREFIX)/include
MANDIR = $(PREFIX)/share/man

CXX = c++
CC = cc
# Defaults only: a packager's flags, from the command line or the
# environment, take their place.
CPPFLAGS ?=
CXXFLAGS ?= -O2 -Wall -Wextra -Wpedantic
CFLAGS ?= -O2 -Wall -Wextra -Wpedantic
LDFLAGS ?=

# What the build needs to be right, kept apart so that the flags above
# cannot drop it. gnu++20, not c++20: in strict ISO mode g++ does not know
# the fortified printf as a builtin, and every printf("%c") becomes a call
# to the full printf machinery instead of putchar. --as-needed keeps the
# C++ runtime, which neither program uses, from being loaded at all.
STD = -std=gnu++20 -fno-exceptions -fno-rtti
LINK = -Wl,--as-needed
# What the processor does not do itself, as division on 32-bit ARM, comes
# from libgcc's archive, so that rotlet and libkelp need only the C
# library at run time.
OWNLINK = -static-libgcc

# Hardening, before the packager's flags so that theirs add to it or
# override it. A packager who names _FORTIFY_SOURCE in a language's flags
# has chosen its level for that language.
HARDEN = -fstack-protector-strong -fstack-clash-protection \
	-Wformat -Werror=format-security
FORTIFY = -D_FORTIFY_SOURCE=3
FORTIFYCXX = $(if $(findstring _FORTIFY_SOURCE,$(CPPFLAGS) $(CXXFLAGS)),,$(FORTIFY))
FORTIFYCC = $(if $(findstring _FORTIFY_SOURCE,$(CPPFLAGS) $(CFLAGS)),,$(FORTIFY))
HARDLINK = -Wl,-z,relro,-z,now,-z,noexecstack

# q: one shell word, whatever the text holds.
q = '$(subst ','\'',$(1))'

# In the tree rotlet finds the library in kelp/. Installed, it looks only
# in LIBDIR, relative to itself, and not at all where the loader looks
# anyway: the directories the system's loader names as its own (glibc's
# ld.so --help), or /lib and /usr/lib where it names none. A cross build
# cannot run the target's loader: it takes the target's multiarch
# directories, as Debian's loaders have them, unless SYSLIBS is given.
RPATH = -Wl,--enable-new-dtags,-rpath,'$$ORIGIN/kelp'
TARGET := $(shell $(CXX) -dumpmachine 2>/dev/null)
ifeq ($(firstword $(subst -, ,$(TARGET))),$(shell uname -m))
LOADER := $(shell readelf -lW /bin/sh 2>/dev/null | \
	sed -n 's/.*interpreter: \(.*\)\]$$/\1/p')
SYSLIBS := $(or $(shell $(LOADER) --help 2>/dev/null | \
	sed -n 's/^ *\(.*\) (system search path)$$/\1/p'),/lib /usr/lib)
else
MULTIARCH := $(shell $(CXX) -print-multiarch 2>/dev/null)
SYSLIBS := $(if $(MULTIARCH),/lib/$(MULTIARCH) /usr/lib/$(MULTIARCH)) /lib /usr/lib
endif
ifeq ($(filter $(patsubst %/,%,$(LIBDIR)),$(SYSLIBS)),)
INSTRPATH = -Wl,--enable-new-dtags,-rpath,'$$ORIGIN/$(shell \
	realpath -m --relative-to=$(call q,$(BINDIR)) $(call q,$(LIBDIR)))'
endif
TESTRPATH = -Wl,-rpath,'$$ORIGIN/../kelp'

# make check SANITIZE=1: everything built with AddressSanitizer and
# UndefinedBehaviorSanitizer, stopping at the first report; SANITIZE=thread
# with ThreadSanitizer. Fortified calls would hide accesses from them.
ifneq ($(SANITIZE),)
CXX = clang++
CC = clang
FORTIFY =
ifeq ($(SANITIZE),thread)
SAN = -fsanitize=thread -g
else
# clang's function-type check needs UBSan's C++ runtime, which a C
# program that links the library does not get; gcc has none.
SAN = -fsanitize=address,undefined \
	-fno-sanitize-recover=all -fno-omit-frame-pointer -g
SANONLY = -fno-sanitize=function
export ASAN_OPTIONS = detect_leaks=1:exitcode=99
export UBSAN_OPTIONS = print_stacktrace=1
endif
export ROTLET_SANITIZED = $(SANITIZE)
endif

# Flags that only some compilers, or some targets, know: each compiler is
# asked for itself, as CXX and CC may differ.
accepts = $(shell $(1) $(2) -Werror -E -x c /dev/null >/dev/null 2>&1 && echo $(2))
ONLY = -fcf-protection $(SANONLY)
ONLYCXX := $(foreach f,$(ONLY),$(call accepts,$(CXX),$(f)))
ONLYCC := $(foreach f,$(ONLY),$(call accepts,$(CC),$(f)))

ALLCPP = $(FORTIFYCXX) $(CPPFLAGS)
CCCPP = $(FORTIFYCC) $(CPPFLAGS)
# -fno-exceptions once more after the packager's flags: with exceptions
# on, the library's cancellation cleanup becomes a landing pad, and the
# library would load the unwinder's libgcc_s.
ALLCXX = $(STD) $(HARDEN) $(SAN) $(ONLYCXX) $(CXXFLAGS) -fno-exceptions
ALLCC = -std=c99 $(HARDEN) $(SAN) $(ONLYCC) $(CFLAGS)
TESTCXX = -std=gnu++20 $(HARDEN) $(SAN) $(ONLYCXX) $(CXXFLAGS)
ALLLD = $(LINK) $(HARDLINK) $(LDFLAGS)

all: rotlet rotlet.inst

# What the build makes, and clean removes.
BUILT = rotlet rotlet.o rotlet.inst kelp/libkelp.so kelp/libkelp.so.1 kelp/kelp.pc \
	kelp/abi.so tests/kelp_test tests/parts_test tests/use tests/cases \
	fuzz/kelp_fuzz fuzz/replay coverage.txt .flags .dirs

# Rebuild whenever the compiler or any flag changes, and relink the
# installed program and rewrite kelp.pc whenever the directories do.
BUILD = $(CXX) $(CC) $(ALLCPP) $(CCCPP) $(ALLCXX) $(ALLCC) $(ALLLD) $(RPATH) $(SHARED) $(OWNLINK)
DIRS = $(PREFIX) $(BINDIR) $(LIBDIR) $(INCLUDEDIR) $(INSTRPATH)
stamp = printf '%s\n' $(call q,$(1)) | cmp -s - $@ || printf '%s\n' $(call q,$(1)) >$@
# A tree that another user built, as sudo make install does in a fresh
# one, cannot be built on: said once, before anything fails part way.
MINE = for f in $(BUILT); do [ ! -e "$$f" ] || [ -w "$$f" ] || { \
	printf '%s\n' "make: $$f is another user's build (root's, by sudo make install?):" \
		"build as yourself before sudo make install, or remove that build" \
		"with sudo make clean" >&2; exit 1; }; done
.flags: FORCE
	@$(MINE)
	@$(call stamp,$(BUILD))
.dirs: .flags FORCE
	@$(call stamp,$(DIRS))

# -z nodelete: the lines handed out live until exit, so dlclose must not
# unload the library that holds them.
SHARED = -fPIC -shared -Wl,-soname,libkelp.so.1 -Wl,--version-script=kelp/kelp.map \
	-Wl,-z,nodelete
KELP = kelp/kelp.cpp kelp/stream.cpp kelp/buffer.cpp kelp/editor.cpp kelp/term.cpp kelp/input.cpp kelp/keys.cpp \
	kelp/history.cpp kelp/words.cpp kelp/output.cpp kelp/plain.cpp \
	kelp/line.cpp kelp/screen.cpp kelp/chars.cpp
KELPH = kelp/kelp.h kelp/stream.h kelp/buffer.h kelp/editor.h kelp/term.h kelp/input.h kelp/keys.h kelp/line.h kelp/output.h \
	kelp/screen.h kelp/chars.h kelp/width.h kelp/grapheme.h kelp/case.h
kelp/libkelp.so: $(KELP) $(KELPH) kelp/kelp.map .flags
	$(CXX) $(ALLCPP) $(ALLCXX) $(SHARED) $(OWNLINK) $(ALLLD) -o $@ $(KELP)

# The name the loader looks for.
kelp/libkelp.so.1: kelp/libkelp.so
	ln -sf libkelp.so $@

rotlet.o: rotlet.cpp kelp/kelp.h .flags
	$(CXX) $(ALLCPP) -Ikelp $(ALLCXX) -fPIE -c -o $@ rotlet.cpp

rotlet: rotlet.o kelp/libkelp.so.1
	$(CXX) $(ALLCXX) -pie $(OWNLINK) $(ALLLD) $(RPATH) -o $@ rotlet.o -Lkelp -lkelp

# The same program as it is installed: it looks for libkelp in LIBDIR only.
rotlet.inst: rotlet.o kelp/libkelp.so.1 .dirs
	$(CXX) $(ALLCXX) -pie $(OWNLINK) $(ALLLD) $(INSTRPATH) -o $@ rotlet.o -Lkelp -lkelp

# get_string through pipes and files, and at a terminal.
KELPTEST = tests/read_test.cpp tests/terminal_test.cpp
tests/kelp_test: $(KELPTEST) tests/harness.h tests/failing.h kelp/kelp.h kelp/libkelp.so.1 .flags
	$(CXX) $(ALLCPP) -Ikelp $(TESTCXX) $(ALLLD) $(TESTRPATH) \
		-o $@ $(KELPTEST) -Lkelp -lkelp -lgtest -lgtest_main -pthread -ldl

# The editor's parts, called directly.
tests/parts_test: tests/parts_test.cpp tests/harness.h tests/failing.h $(KELP) $(KELPH) .flags
	$(CXX) $(ALLCPP) -Ikelp $(TESTCXX) $(ALLLD) -o $@ tests/parts_test.cpp \
		$(filter-out kelp/kelp.cpp,$(KELP)) -lgtest -lgtest_main -pthread

# The header must serve C programs as well.
tests/use: tests/use.c kelp/kelp.h kelp/libkelp.so.1 .flags
	$(CC) $(CCCPP) -Ikelp $(ALLCC) $(ALLLD) $(TESTRPATH) \
		-o $@ tests/use.c -Lkelp -lkelp

# The library's cases where C libraries differ, as a C program, so that
# they run on every one.
tests/cases: tests/cases.c tests/harness.h kelp/kelp.h kelp/libkelp.so.1 .flags
	$(CC) $(CCCPP) -Ikelp $(ALLCC) $(ALLLD) $(TESTRPATH) \
		-o $@ tests/cases.c -Lkelp -lkelp -pthread

# kelp.pc names its directories under ${prefix}, so that pkg-config
# --define-prefix can move a staged tree, and escapes spaces as pkg-config
# reads them. Each value is escaped once more for sed's replacement.
kelp/kelp.pc: kelp/kelp.pc.in .dirs
	@set -e; prefix=$(call q,$(PREFIX)); \
	pc() { case $$1 in "$$prefix"/*) v="\$${prefix}$${1#"$$prefix"}" ;; \
		*) v=$$1 ;; esac; \
		printf '%s\n' "$$v" | sed 's/ /\\ /g; s/[\\&|]/\\&/g'; }; \
	sed -e "s|@PREFIX@|$$(pc "$$prefix")|" \
		-e "s|@LIBDIR@|$$(pc $(call q,$(LIBDIR)))|" \
		-e "s|@INCLUDEDIR@|$$(pc $(call q,$(INCLUDEDIR)))|" \
		-e 's|@VERSION@|$(VERSION)|' kelp/kelp.pc.in >$@.tmp; \
	mv -f $@.tmp $@

# The build's own compiler and flags reach the tests that run make, which
# take none of the caller's install variables.
export CXX CC CPPFLAGS CXXFLAGS CFLAGS LDFLAGS
# The fortify level the build must have, worked out apart from how the
# rules give it: 3, unless the packager's C++ flags say otherwise. Fortified
# calls need optimisation: glibc leaves them out at -O0, and other C
# libraries have none.
FORTIFIED = $(shell echo __USE_FORTIFY_LEVEL | $(CXX) $(STD) -D_FORTIFY_SOURCE=3 \
	$(CPPFLAGS) $(CXXFLAGS) -include stdio.h -E -P -x c++ - 2>/dev/null | tail -n 1 | \
	sed 's/[^0-9]//g; s/^$$/0/')

# GoogleTest and the C++ runtime come built for glibc alone: against
# another C library only the command-line tests, which cover the
# library's cases for it too, can run.
GLIBC := $(shell echo __GLIBC__ | $(CC) -E -P -include stdio.h -x c - 2>/dev/null | \
	tail -n 1)
GTEST = $(if $(filter __GLIBC__,$(GLIBC)),,tests/kelp_test tests/parts_test)

# What a target needs is looked for first, before anything is built.
need-%:
	@tools/need $* $(if $(GTEST),gtest)

check: need-check rotlet rotlet.inst $(GTEST) tests/use tests/cases
	$(if $(GTEST),tests/parts_test --gtest_brief=1 && tests/kelp_test --gtest_brief=1,@echo \
		'check: skipped tests/kelp_test and tests/parts_test: GoogleTest and the C++ runtime are built for glibc')
	ROTLET_FORTIFIED=$(FORTIFIED) bats tests

BIN = $(DESTDIR)$(BINDIR)
LIB = $(DESTDIR)$(LIBDIR)
INC = $(DESTDIR)$(INCLUDEDIR)
MAN = $(DESTDIR)$(MANDIR)
INSTALLED = $(call q,$(BIN)/rotlet) $(call q,$(LIB)/libkelp.so.$(VERSION)) \
	$(call q,$(LIB)/libkelp.so.1) $(call q,$(LIB)/libkelp.so) \
	$(call q,$(INC)/kelp.h) $(call q,$(LIB)/pkgconfig/kelp.pc) \
	$(call q,$(MAN)/man1/rotlet.1) $(call q,$(MAN)/man3/get_string.3)

# What goes into kelp.pc and rotlet's search path must come out exactly:
# pkg-config and the shell read some bytes, the loader reads ':' and '$'.
CHECKDIRS = for d in $(call q,$(PREFIX)) $(call q,$(BINDIR)) \
	$(call q,$(LIBDIR)) $(call q,$(INCLUDEDIR)); do case $$d in \
	*[!A-Za-z0-9/._+,@=~\&\|\ -]*) printf '%s\n' "install: cannot install" \
		"into '$$d': a directory may hold letters, digits, spaces and /._+,@=~&|-" >&2; \
		exit 1 ;; \
	/*) ;; \
	*) echo "install: '$$d' is relative: give directories from /" >&2; \
		exit 1 ;; esac; done

# install(1) replaces each file rather than writing into it, so a program
# running from the old library keeps it. Run from the live system, the
# loader's cache learns of the library at once where the loader looks;
# ldconfig is given no directory, so a private prefix stays out of it.
LDCONFIG = if [ -z $(call q,$(DESTDIR)) ] && [ "$$(id -u)" = 0 ]; then \
	PATH="$$PATH:/sbin:/usr/sbin" ldconfig 2>/dev/null || :; fi

# A directory that cannot be written is named before anything is
# installed, with the ways that need no such right.
CHECKWRITE = for d in $(call q,$(BIN)) $(call q,$(LIB)) $(call q,$(INC)) \
	$(call q,$(MAN)); do while [ ! -e "$$d" ]; do d=$$(dirname "$$d"); done; \
	[ -w "$$d" ] || { printf '%s\n' "install: cannot write in '$$d':" \
		"install as root (or with sudo), or into a prefix of your own:" \
		"make install PREFIX=\$$HOME/.local" >&2; exit 1; }; done

install: rotlet.inst kelp/libkelp.so kelp/kelp.pc
	@$(CHECKDIRS)
	@$(CHECKWRITE)
	install -d $(call q,$(BIN)) $(call q,$(LIB)/pkgconfig) $(call q,$(INC)) \
		$(call q,$(MAN)/man1) $(call q,$(MAN)/man3)
	install -m 755 rotlet.inst $(call q,$(BIN)/rotlet)
	install -m 755 kelp/libkelp.so $(call q,$(LIB)/libkelp.so.$(VERSION))
	ln -sf libkelp.so.$(VERSION) $(call q,$(LIB)/libkelp.so.1)
	ln -sf libkelp.so.1 $(call q,$(LIB)/libkelp.so)
	install -m 644 kelp/kelp.h $(call q,$(INC)/kelp.h)
	install -m 644 kelp/kelp.pc $(call q,$(LIB)/pkgconfig/kelp.pc)
	install -m 644 rotlet.1 $(call q,$(MAN)/man1/rotlet.1)
	install -m 644 kelp/get_string.3 $(call q,$(MAN)/man3/get_string.3)
	@$(LDCONFIG)

# Nothing is removed where one file cannot be.
CHECKREMOVE = for f in $(INSTALLED); do [ ! -e "$$f" ] && [ ! -L "$$f" ] || \
	[ -w "$$(dirname "$$f")" ] || { printf '%s\n' "uninstall: cannot remove '$$f':" \
		"uninstall as root (or with sudo), with the variables install was given" \
		>&2; exit 1; }; done

uninstall:
	@$(CHECKREMOVE)
	rm -f $(INSTALLED)
	@$(LDCONFIG)

# The tracked files of the last commit, in git's fixed order, owner and
# times, so that the same commit always gives the same bytes.
DIST = rotlet-$(VERSION)
$(DIST).tar.gz: FORCE
	@[ "$$(git rev-parse --show-toplevel 2>/dev/null)" = "$$(pwd -P)" ] || { \
		echo "dist: a release is made from the git repository, and this" \
		"tree has none" >&2; exit 1; }
	git archive --format=tar.gz --prefix=$(DIST)/ -o $@ HEAD

dist: $(DIST).tar.gz

# The tarball on its own, without git: it builds, passes its tests,
# installs, uninstalls and cleans up after itself.
distcheck: dist
	set -e; d=$$(mktemp -d); trap 'rm -rf "$$d"' EXIT; \
	tar -xzf $(DIST).tar.gz -C "$$d"; cd "$$d/$(DIST)"; \
	find . | sort >"$$d/files"; \
	$(MAKE); $(MAKE) check; $(MAKE) install DESTDIR="$$d/stage"; \
	out=$$(echo 'Hello, World!' | "$$d/stage$(BINDIR)/rotlet" 13); \
	[ "$$out" = 'plaintext: Uryyb, Jbeyq!' ]; \
	$(MAKE) uninstall DESTDIR="$$d/stage"; \
	[ -z "$$(find "$$d/stage" ! -type d)" ]; \
	$(MAKE) clean; find . | sort | diff "$$d/files" -; \
	echo "distcheck: $(DIST).tar.gz is ready"

# The library built for abidiff(1): with its types, whatever the flags.
kelp/abi.so: $(KELP) $(KELPH) kelp/kelp.map
	$(CXX) $(STD) -g -O0 $(SHARED) -o $@ $(KELP)

# Fails on any change to what libkelp.so.1 exports but an added symbol:
# abidiff calls a changed parameter type compatible, and it is not. After
# a deliberate change, renew the baseline with
#	abidw --no-corpus-path --headers-dir kelp --out-file kelp/libkelp.abi kelp/abi.so
abicheck: need-abicheck kelp/abi.so
	abidiff --no-added-syms --headers-dir2 kelp kelp/libkelp.abi kelp/abi.so

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the library's tests under ThreadSanitizer, with clang unless other
# compilers are given. A later plain build rebuilds what they built.
SANCXX = $(if $(filter command line,$(origin CXX)),$(CXX),clang++)
SANCC = $(if $(filter command line,$(origin CC)),$(CC),clang)
need-sanitize:
	@CXX=$(call q,$(SANCXX)) CC=$(call q,$(SANCC)) tools/need sanitize $(if $(GTEST),gtest)

sanitize: need-sanitize
	$(MAKE) check SANITIZE=1
	$(MAKE) tests/kelp_test SANITIZE=thread
	TSAN_OPTIONS=halt_on_error=1:exitcode=99 tests/kelp_test --gtest_brief=1

# The library under a fuzzer: fuzz/kelp_fuzz.cpp says what it tries and
# what it holds each result to. It runs for FUZZ_SECONDS on one job from
# the seeds in fuzz/corpus; what it finds new goes to a scratch directory,
# and a crash or a broken promise leaves its reproducer in fuzz/.
FUZZ_SECONDS = 60
# Lines past 1 MiB, each checked in copies, under AddressSanitizer.
FUZZ_RSS = 8192
FUZZWRAP = -Wl,--wrap=malloc,--wrap=realloc
FUZZSRC = fuzz/kelp_fuzz.cpp $(KELP) $(KELPH)
fuzz/kelp_fuzz: $(FUZZSRC)
	clang++ $(STD) -g -O1 -fsanitize=fuzzer,address,undefined \
		-fno-sanitize-recover=all -Ikelp -o $@ fuzz/kelp_fuzz.cpp $(KELP) $(FUZZWRAP)

fuzz: need-fuzz fuzz/kelp_fuzz
	set -e; d=$$(mktemp -d); trap 'rm -rf "$$d"' EXIT; \
	fuzz/kelp_fuzz -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=fuzz/ \
		-rss_limit_mb=$(FUZZ_RSS) -print_final_stats=1 "$$d" fuzz/corpus

# make check built for gcov at -Og, with the corpus replayed by the fuzz
# target built without libFuzzer, then lines and branches per file. It
# fails below its floors: each of the library's files 99% of lines and
# 95% of branches; rotlet.cpp every line and branch.
COVERAGE = -Og -g --coverage
GCOVR = gcovr -r . -f rotlet.cpp -f kelp/ --exclude-unreachable-branches
fuzz/replay: $(FUZZSRC)
	$(CXX) $(STD) $(COVERAGE) -DKELP_REPLAY \
		-idirafter "$$(clang++ -print-resource-dir)/include" -Ikelp \
		-o $@ fuzz/kelp_fuzz.cpp $(KELP) $(FUZZWRAP)

coverage: need-coverage
	find . -name '*.gcda' -delete
	$(MAKE) check CPPFLAGS=-DKELP_COVERAGE CXXFLAGS='$(COVERAGE)' \
		CFLAGS='$(COVERAGE)' LDFLAGS=--coverage
	$(MAKE) fuzz/replay
	fuzz/replay fuzz/corpus/*
	{ $(GCOVR) && $(GCOVR) --branches; } >coverage.txt
	@cat coverage.txt
	@awk '$$1 ~ /^kelp\// && $$3 < (branches ? 0.95 : 0.99) * $$2 { bad = 1 } \
		$$1 == "rotlet.cpp" && $$3 < $$2 { bad = 1 } \
		$$1 ~ /^(kelp\/.*|rotlet)\.cpp$$/ { rows++ } \
		/Branches/ { branches = 1 } \
		END { if (rows < 4 || !branches) { print "coverage: no report"; exit 1 } \
		if (bad) print "coverage: below the floors"; exit bad }' coverage.txt

# The command-line tests with rotlet under memcheck: any error or leak of
# any kind fails the test that met it.
VALGRIND = valgrind -q --error-exitcode=99 --leak-check=full \
	--show-leak-kinds=all --errors-for-leak-kinds=all
valgrind: need-valgrind rotlet rotlet.inst tests/use tests/cases
	WRAP='$(VALGRIND)' ROTLET_FORTIFIED=$(FORTIFIED) bats tests

# Static analysis, and builds that stop at any warning with both compilers.
STRICT = -O2 -Wall -Wextra -Wpedantic -Wshadow -Werror
lint: need-lint
	cppcheck -q --enable=warning,performance,portability --std=c++20 \
		--error-exitcode=1 --inline-suppr -Ikelp rotlet.cpp kelp
	@echo clang-tidy -quiet rotlet.cpp $(KELP); \
	out=$$(clang-tidy -quiet rotlet.cpp $(KELP) -- -std=gnu++20 -Ikelp 2>&1); \
	s=$$?; printf '%s\n' "$$out" | grep -v '^[0-9]* warnings\? generated\.$$' || :; \
	exit $$s
	$(MAKE) CXX=g++ CC=gcc CXXFLAGS='$(STRICT)' CFLAGS='$(STRICT)' \
		rotlet tests/use tests/cases
	$(MAKE) CXX=clang++ CC=clang CXXFLAGS='$(STRICT)' CFLAGS='$(STRICT)' \
		rotlet tests/use tests/cases
	shellcheck .ci/run tests/helper.bash tools/need tools/musl-c++ tools/root \
		tools/unicode bench/run.sh

# rotlet against tr(1), time and memory; see bench/run.sh.
bench: need-bench rotlet
	bench/run.sh

clean:
	rm -f $(BUILT) $(DIST).tar.gz
	find . -name "*.gcda" -delete -o -name "*.gcno" -delete

.PHONY: all install uninstall check dist distcheck abicheck sanitize valgrind \
	lint bench fuzz coverage clean FORCE
