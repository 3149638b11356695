// SPDX-License-Identifier: MIT
// libkelp's characters: UTF-8 and columns, by the tables in width.h.

#include "chars.h"
#include "width.h"

namespace {

// The code point of the sequence of n bytes, two or more, at s.
unsigned
code_point(const char *s, size_t n)
{
	auto u = reinterpret_cast<const unsigned char *>(s);
	unsigned c = u[0] & (0x7f >> n);
	for (size_t i = 1; i < n; i++)
		c = c << 6 | (u[i] & 0x3f);
	return c;
}

template <size_t n>
bool
in(const range (&r)[n], unsigned c)
{
	size_t lo = 0, hi = n;
	while (lo < hi) {
		size_t mid = (lo + hi) / 2;
		if (c > r[mid].last)
			lo = mid + 1;
		else if (c < r[mid].first)
			hi = mid;
		else
			return true;
	}
	return false;
}

}

size_t
char_len(const char *s, size_t p, size_t len)
{
	auto u = reinterpret_cast<const unsigned char *>(s);
	unsigned c = u[p];
	size_t n = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 :
	    c >= 0xf0 && c <= 0xf4 ? 4 : 1;
	if (n == 1 || p + n > len)
		return 1;
	// The second byte's range leaves out overlong forms, surrogates and
	// code points past U+10FFFF, which are bytes each.
	unsigned lo = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
	unsigned hi = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
	if (u[p + 1] < lo || u[p + 1] > hi)
		return 1;
	for (size_t i = 2; i < n; i++)
		if ((u[p + i] & 0xc0) != 0x80)
			return 1;
	return n;
}

unsigned
c1_control(const char *s, size_t p, size_t len)
{
	auto u = reinterpret_cast<const unsigned char *>(s);
	return u[p] == 0xc2 && p + 1 < len && u[p + 1] >= 0x80 && u[p + 1] <= 0x9f ? u[p + 1] : 0;
}

size_t
width(const char *s, size_t p, size_t len)
{
	auto c = static_cast<unsigned char>(s[p]);
	if (c < 0x20 || c == 0x7f)
		return 2;
	if (c1_control(s, p, len) != 0)
		return 4;
	size_t n = char_len(s, p, len);
	if (n == 1)
		return 1;
	unsigned cp = code_point(s + p, n);
	return in(zero, cp) ? 0 : in(wide, cp) ? 2 : 1;
}

size_t
next_char(const char *s, size_t p, size_t len)
{
	p += char_len(s, p, len);
	while (p < len && width(s, p, len) == 0)
		p += char_len(s, p, len);
	return p;
}

size_t
prev_char(const char *s, size_t p, size_t len)
{
	for (;;) {
		size_t q = p - 1;
		for (size_t k = p < 4 ? p : 4; k > 1; k--)
			if (char_len(s, p - k, len) == k) {
				q = p - k;
				break;
			}
		p = q;
		if (p == 0 || width(s, p, len) != 0)
			return p;
	}
}

namespace {

// A place at or before p where a character certainly starts: between two
// ASCII bytes, which nothing joins but CR LF, or the start.
size_t
walk_from(const char *s, size_t p)
{
	auto ascii = [](char c) { return (c & 0x80) == 0; };
	for (size_t q = p; q > 1 && p - q < 256; q--)
		if (ascii(s[q - 1]) && ascii(s[q]) && !(s[q - 1] == '\r' && s[q] == '\n'))
			return q;
	return 0;
}

}

size_t
char_boundary(const char *s, size_t p, size_t len)
{
	size_t q = p < len ? walk_from(s, p) : len;
	while (q < p)
		q = next_char(s, q, len);
	return q;
}

size_t
shown_width(const char *s, size_t len)
{
	size_t w = 0;
	for (size_t p = 0; p < len;) {
		auto c = static_cast<unsigned char>(s[p]);
		if (c == 0x1b && p + 1 < len && s[p + 1] == '[') {
			for (p += 2; p < len && !(s[p] >= 0x40 && s[p] <= 0x7e); p++)
				;
			p++;
		} else if (c == 0x1b && p + 1 < len && s[p + 1] == ']') {
			for (p += 2; p < len && s[p] != '\a' &&
			    !(s[p] == 0x1b && p + 1 < len && s[p + 1] == '\\'); p++)
				;
			p += p < len && s[p] == 0x1b ? 2 : 1;
		} else if (c == 0x1b) {
			p += 2;
		} else if (c == '\t') {
			w = (w / 8 + 1) * 8;
			p++;
		} else if (c < 0x20 || c == 0x7f) {
			p++;
		} else {
			w += width(s, p, len);
			p += char_len(s, p, len);
		}
	}
	return w;
}
