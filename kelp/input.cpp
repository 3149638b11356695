// SPDX-License-Identifier: MIT
// libkelp's input at a terminal: what was read and is not yet in the line,
// kept whole across signals, cancels, stops and calls.

#include "input.h"
#include "term.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// A run of text taken at once, however much more is typed.
constexpr size_t run_most = 1u << 20;

struct pending {
	unsigned char *b = nullptr;
	size_t at = 0, n = 0, size = 0;	// bytes at to n are not yet keys
	key_state keys = {};
	dev_t from = 0;		// the terminal they were read from
	size_t typed = 0;	// what the terminal holds, as last asked
	size_t run = 0;		// bytes from at known to be text, a run going on
	bool hung_up = false;	// it has hung up
} in;

// Room for more bytes after those pending; false where no memory can be
// had, and nothing is read.
bool
make_room(size_t more)
{
	if (in.at == in.n)
		in.at = in.n = 0;
	if (in.n + more <= in.size)
		return true;
	if (in.at > 0) {
		memmove(in.b, in.b + in.at, in.n - in.at);
		in.n -= in.at;
		in.at = 0;
	}
	if (in.n + more <= in.size)
		return true;
	size_t size = in.size < 64 ? 64 : 2 * in.size;
	auto *b = static_cast<unsigned char *>(realloc(in.b, size));
	if (b == nullptr)
		return false;
	in.b = b;
	in.size = size;
	return true;
}

// Whether the terminal holds bytes not yet read.
bool
terminal_holds()
{
	int n;
	if (in.typed == 0 && ioctl(STDIN_FILENO, FIONREAD, &n) == 0 && n > 0)
		in.typed = static_cast<size_t>(n);
	return in.typed > 0;
}

enum class read_as : unsigned char { byte, late, signalled, none };

// One more byte from the terminal, waiting up to ms milliseconds where
// none is there yet; for a key, a cancellation point while it waits.
// none: errno, 0 at the end of input.
read_as
read_one(int ms, bool for_key)
{
	if (in.typed == 0) {
		int n = wait_input(ms, for_key);
		if (n == 0)
			return read_as::late;
		if (n < 0 && errno == EINTR)
			return read_as::signalled;
		// a wait that failed: the read waits instead
		in.typed = n > 0 && terminal_holds() ? in.typed : 1;
	}
	if (!make_room(1)) {
		errno = ENOMEM;
		return read_as::none;
	}
	ssize_t r = read(STDIN_FILENO, in.b + in.n, 1);
	if (r == 1) {
		in.n++;
		in.typed--;
		return read_as::byte;
	}
	in.typed = 0;
	if (r < 0 && errno == EINTR)
		return read_as::signalled;
	if (r == 0) {
		in.hung_up = true;
		errno = 0;
	}
	return read_as::none;
}

next_key_result
take(const parsed &p)
{
	in.at += p.used;
	in.run = 0;
	return {p.k, no_key::none};
}

// The key the pending bytes begin: where a run of text was going on, only
// what came since is looked at, so that a long paste costs its length.
parsed
parse_pending(const signal_keys &sk)
{
	size_t have = in.n - in.at;
	if (in.run == 0)
		return parse_key(in.b + in.at, have, &in.keys, sk, in.hung_up);
	// what follows the run is looked at, not yet taken: a key that
	// changes the state comes after the run
	parsed t = {{act::text, nullptr, 0}, 0, 0};
	key_state st = in.keys;
	if (have > in.run)
		t = parse_key(in.b + in.at + in.run, have - in.run, &st, sk, in.hung_up);
	// text as it came, not Ctrl-V and the byte after it
	bool more = t.k.a == act::text && t.k.text == in.b + in.at + in.run;
	size_t n = in.run + (more ? t.used : 0);
	return {{act::text, in.b + in.at, n}, n, 0};
}

}

void
input_from(dev_t dev)
{
	in.run = 0;
	if (dev != in.from) {
		in.at = in.n = in.typed = 0;
		in.keys = {};
	}
	in.from = dev;
	in.hung_up = false;
	in.typed = 0;
}

next_key_result
next_key(const signal_keys &sk)
{
	for (;;) {
		if (events_pending()) {
			term_events e = take_events();
			return {{}, e.wait_ended ? no_key::interrupted : e.fresh ? no_key::fresh :
			    no_key::redraw};
		}
		if (!regain_terminal())
			return {{}, no_key::failed};
		size_t have = in.n - in.at;
		parsed p = parse_pending(sk);
		// a run of text goes on while more is typed: a paste goes in at once
		bool run = p.used == have && p.k.a == act::text && have < run_most &&
		    terminal_holds();
		in.run = run && p.k.n == have ? have : 0;
		if (p.used > 0 && !run)
			return take(p);
		if (in.hung_up)
			return {{}, no_key::end_of_input};
		switch (read_one(p.used > 0 ? -1 : p.wait, true)) {
		case read_as::late:
			return take(parse_key(in.b + in.at, have, &in.keys, sk, true));
		case read_as::none:
			if (!in.hung_up)
				return {{}, errno == ENOMEM ? no_key::no_memory : no_key::failed};
			break;
		default:
			break;
		}
	}
}

bool
typed_ahead()
{
	return in.at < in.n || terminal_holds();
}

bool
await_cursor(spot *at)
{
	for (;;) {
		read_as r = read_one(500, false);
		if (r == read_as::signalled)
			continue;
		if (r != read_as::byte)
			return false;
		// the answer, ESC [ row ; column R, at the end of what is pending
		size_t i = in.n, num[2] = {0, 0};
		if (in.b[--i] != 'R')
			continue;
		bool ok = true;
		for (int k = 1; ok && k >= 0; k--) {
			size_t digits = 0, scale = 1;
			for (; i > in.at && in.b[i - 1] >= '0' && in.b[i - 1] <= '9' && digits < 9; digits++) {
				num[k] += (in.b[--i] - '0') * scale;
				scale *= 10;
			}
			unsigned char before = k == 1 ? ';' : '[';
			ok = digits > 0 && i > in.at && in.b[i - 1] == before;
			i--;
		}
		if (!ok || i == in.at || in.b[i - 1] != 0x1b || num[0] == 0 || num[1] == 0)
			continue;
		in.n = i - 1;
		*at = {num[0] - 1, num[1] - 1};
		return true;
	}
}
