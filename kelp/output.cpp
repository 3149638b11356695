// SPDX-License-Identifier: MIT
// libkelp's output to the terminal.

#include "output.h"
#include "chars.h"
#include "term.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

void
flush(out *o)
{
	for (size_t off = 0; off < o->n;) {
		ssize_t w = write(drawn_on(), o->b + off, o->n - off);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			break;
		off += static_cast<size_t>(w);
	}
	o->n = 0;
}

void
put(out *o, const char *s, size_t n)
{
	while (n > 0) {
		if (o->n == sizeof o->b)
			flush(o);
		size_t k = n < sizeof o->b - o->n ? n : sizeof o->b - o->n;
		memcpy(o->b + o->n, s, k);
		o->n += k;
		s += k;
		n -= k;
	}
}

void
puts_(out *o, const char *s)
{
	put(o, s, strlen(s));
}

void
putn(out *o, const char *format, size_t n)
{
	char b[32];
	int k = snprintf(b, sizeof b, format, n);
	put(o, b, static_cast<size_t>(k));
}

void
put_cluster(out *o, const char *t, size_t p, size_t q)
{
	unsigned c = code_point_at(t, p, q);
	if (c >= 0x20 && c != 0x7f && !(c >= 0x80 && c <= 0x9f)) {
		put(o, t + p, q - p);
		return;
	}
	for (; p < q; p += char_len(t, p, q)) {
		c = code_point_at(t, p, q);
		char b[8];
		int n = c < 0x80 ? snprintf(b, sizeof b, "^%c", static_cast<char>(c ^ 0x40)) :
		    snprintf(b, sizeof b, "<%02x>", c);
		put(o, b, static_cast<size_t>(n));
	}
}

void
say(const char *s)
{
	out o;
	o.n = 0;
	puts_(&o, s);
	flush(&o);
}
