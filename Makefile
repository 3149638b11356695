# rotlet and its line reader libkelp

VERSION = 1.0.0

PREFIX = /usr/local
DESTDIR =
CXX = c++
CC = cc
CXXFLAGS = -O2 -fno-plt -Wall -Wextra -Wpedantic
CFLAGS = -O2 -Wall -Wextra -Wpedantic
LDFLAGS =

# What the build needs to be right, kept apart so that overriding CXXFLAGS
# or LDFLAGS cannot drop it. --as-needed keeps the C++ runtime, which
# neither program uses, from being loaded at every start.
STD = -std=c++20 -fno-exceptions -fno-rtti
LINK = -Wl,--as-needed
# In the tree the library is in kelp/; installed, it is in ../lib.
RPATH = -Wl,-rpath,'$$ORIGIN/kelp:$$ORIGIN/../lib'
TESTRPATH = -Wl,-rpath,'$$ORIGIN/../kelp'

# make check SANITIZE=1: everything built with AddressSanitizer and
# UndefinedBehaviorSanitizer, stopping at the first report.
ifneq ($(SANITIZE),)
CXX = clang++
CC = clang
SAN = -fsanitize=address,undefined -fno-sanitize-recover=all \
	-fno-omit-frame-pointer -g
export ASAN_OPTIONS = detect_leaks=1:exitcode=99
export UBSAN_OPTIONS = print_stacktrace=1
export ROTLET_SANITIZED = 1
endif

all: rotlet

# Rebuild whenever the compiler or any flag changes.
BUILD = $(CXX) $(CC) $(STD) $(CXXFLAGS) $(CFLAGS) $(LDFLAGS) $(SAN)
.flags: FORCE
	@echo '$(BUILD)' | cmp -s - $@ || echo '$(BUILD)' > $@

kelp/libkelp.so: kelp/kelp.cpp kelp/kelp.h .flags
	$(CXX) $(STD) -fPIC $(SAN) $(CXXFLAGS) -shared -Wl,-soname,libkelp.so.1 \
		$(LINK) $(LDFLAGS) -o $@ kelp/kelp.cpp

# The name the loader looks for.
kelp/libkelp.so.1: kelp/libkelp.so
	ln -sf libkelp.so $@

rotlet: rotlet.cpp kelp/kelp.h kelp/libkelp.so.1 .flags
	$(CXX) $(STD) -Ikelp $(SAN) $(CXXFLAGS) $(LINK) $(LDFLAGS) $(RPATH) \
		-o $@ rotlet.cpp -Lkelp -lkelp

tests/kelp_test: tests/kelp_test.cpp kelp/kelp.h kelp/libkelp.so.1 .flags
	$(CXX) -std=c++20 -Ikelp $(SAN) $(CXXFLAGS) $(LDFLAGS) $(TESTRPATH) \
		-o $@ tests/kelp_test.cpp -Lkelp -lkelp -lgtest -lgtest_main -pthread

# The header must serve C programs as well.
tests/use: tests/use.c kelp/kelp.h kelp/libkelp.so.1 .flags
	$(CC) -std=c99 -Ikelp $(SAN) $(CFLAGS) $(LDFLAGS) $(TESTRPATH) \
		-o $@ tests/use.c -Lkelp -lkelp

check: rotlet tests/kelp_test tests/use
	tests/kelp_test --gtest_brief=1
	bats tests

BIN = $(DESTDIR)$(PREFIX)/bin
LIB = $(DESTDIR)$(PREFIX)/lib
INC = $(DESTDIR)$(PREFIX)/include
MAN = $(DESTDIR)$(PREFIX)/share/man

install: rotlet kelp/libkelp.so
	mkdir -p $(BIN) $(LIB)/pkgconfig $(INC) $(MAN)/man1 $(MAN)/man3
	cp -f rotlet $(BIN)/rotlet
	cp -f kelp/libkelp.so $(LIB)/libkelp.so.$(VERSION)
	ln -sf libkelp.so.$(VERSION) $(LIB)/libkelp.so.1
	ln -sf libkelp.so.1 $(LIB)/libkelp.so
	cp -f kelp/kelp.h $(INC)/kelp.h
	sed 's|@PREFIX@|$(PREFIX)|; s|@VERSION@|$(VERSION)|' kelp/kelp.pc.in \
		>$(LIB)/pkgconfig/kelp.pc
	cp -f rotlet.1 $(MAN)/man1/rotlet.1
	cp -f kelp/get_string.3 $(MAN)/man3/get_string.3
	chmod 755 $(BIN)/rotlet $(LIB)/libkelp.so.$(VERSION)
	chmod 644 $(INC)/kelp.h $(LIB)/pkgconfig/kelp.pc \
		$(MAN)/man1/rotlet.1 $(MAN)/man3/get_string.3

uninstall:
	rm -f $(BIN)/rotlet $(LIB)/libkelp.so.$(VERSION) $(LIB)/libkelp.so.1 \
		$(LIB)/libkelp.so $(INC)/kelp.h $(LIB)/pkgconfig/kelp.pc \
		$(MAN)/man1/rotlet.1 $(MAN)/man3/get_string.3

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	$(MAKE) check SANITIZE=1

# The command-line tests with rotlet under memcheck: any error or leak of
# any kind fails the test that met it.
VALGRIND = valgrind -q --error-exitcode=99 --leak-check=full \
	--show-leak-kinds=all --errors-for-leak-kinds=all
valgrind: rotlet tests/use
	WRAP='$(VALGRIND)' bats tests

# Static analysis, and builds that stop at any warning with both compilers.
STRICT = -O2 -Wall -Wextra -Wpedantic -Wshadow -Werror
lint:
	cppcheck -q --enable=warning,performance,portability --std=c++20 \
		--error-exitcode=1 --inline-suppr -Ikelp rotlet.cpp kelp
	clang-tidy -quiet rotlet.cpp kelp/kelp.cpp -- -std=c++20 -Ikelp
	$(MAKE) CXX=g++ CC=gcc CXXFLAGS='$(STRICT)' CFLAGS='$(STRICT)' \
		rotlet tests/use
	$(MAKE) CXX=clang++ CC=clang CXXFLAGS='$(STRICT)' CFLAGS='$(STRICT)' \
		rotlet tests/use
	shellcheck .ci/run tests/helper.bash bench/run.sh

# rotlet against tr(1), time and memory; see bench/run.sh.
bench:
	bench/run.sh

clean:
	rm -f rotlet kelp/libkelp.so kelp/libkelp.so.1 tests/kelp_test tests/use .flags

.PHONY: all install uninstall check sanitize valgrind lint bench clean FORCE
