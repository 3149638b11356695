// SPDX-License-Identifier: MIT
// libkelp's characters: UTF-8, grapheme clusters, columns and case, by the
// tables in width.h, grapheme.h and case.h.

#include "chars.h"
#include "case.h"
#include "grapheme.h"
#include "width.h"

namespace {

constexpr unsigned no_code_point = 0x110000;

// The entry of the table r, sorted, whose range holds c; null where none.
template <class T, size_t n>
const T *
find(const T (&r)[n], unsigned c)
{
	size_t lo = 0, hi = n;
	while (lo < hi) {
		size_t mid = (lo + hi) / 2;
		if (c > r[mid].last)
			lo = mid + 1;
		else if (c < r[mid].first)
			hi = mid;
		else
			return &r[mid];
	}
	return nullptr;
}

gb
break_of(unsigned c)
{
	if (c == no_code_point)
		return gb::Control;	// a byte alone
	const break_range *r = find(breaks, c);
	return r != nullptr ? r->value : gb::any;
}

bool
pictographic(unsigned c)
{
	return find(pictures, c) != nullptr;
}

bool
hangul(gb b)
{
	return b == gb::L || b == gb::V || b == gb::T || b == gb::LV || b == gb::LVT;
}

bool
control(gb b)
{
	return b == gb::Control || b == gb::CR || b == gb::LF;
}

// Where a cluster goes on past the code points so far: runs of regional
// indicators, and a pictograph with its marks, for a ZWJ to join on.
struct joining {
	gb last;
	unsigned indicators;	// regional indicators in a row, up to last
	bool picture;		// last is a pictograph or a mark after one
	bool picture_zwj;	// last is a ZWJ after that
};

// Whether the code point c goes on with the cluster (UAX #29's rules GB3
// to GB13), and what it leaves for the next.
bool
goes_on(joining *j, unsigned c)
{
	gb b = break_of(c), a = j->last;
	bool on = (a == gb::CR && b == gb::LF) ||
	    (!control(a) && !control(b) &&
	    ((a == gb::L && (b == gb::L || b == gb::V || b == gb::LV || b == gb::LVT)) ||
	    ((a == gb::LV || a == gb::V) && (b == gb::V || b == gb::T)) ||
	    ((a == gb::LVT || a == gb::T) && b == gb::T) ||
	    b == gb::Extend || b == gb::ZWJ || b == gb::SpacingMark || a == gb::Prepend ||
	    (j->picture_zwj && pictographic(c)) ||
	    (a == gb::Regional_Indicator && b == gb::Regional_Indicator && j->indicators % 2 == 1)));
	if (!on)
		*j = {};
	j->picture_zwj = b == gb::ZWJ && j->picture;
	j->picture = pictographic(c) || (j->picture && b == gb::Extend);
	j->indicators = b == gb::Regional_Indicator ? j->indicators + 1 : 0;
	j->last = b;
	return on;
}

// The code point that ends at p, and where it starts.
size_t
code_point_before(const char *s, size_t p, size_t len)
{
	for (size_t k = p < 4 ? p : 4; k > 1; k--)
		if (char_len(s, p - k, len) == k)
			return p - k;
	return p - 1;
}

// Whether a cluster certainly starts at p, from the code points on either
// side: no rule joins them, and none before them reaches over.
bool
certain_start(const char *s, size_t p, size_t len)
{
	if (p == 0 || p >= len)
		return true;
	gb a = break_of(code_point_at(s, code_point_before(s, p, len), len));
	gb b = break_of(code_point_at(s, p, len));
	return !(b == gb::Extend || b == gb::ZWJ || b == gb::SpacingMark ||
	    b == gb::Regional_Indicator || a == gb::Prepend || a == gb::ZWJ ||
	    (a == gb::CR && b == gb::LF) || (hangul(a) && hangul(b)));
}

// Whether p is inside a well-formed UTF-8 sequence, past its first byte.
bool
inside_sequence(const char *s, size_t p, size_t len)
{
	for (size_t k = 1; k < 4 && k <= p; k++)
		if (char_len(s, p - k, len) > k)
			return true;
	return false;
}

// A place at or before p where a cluster certainly starts, looked for a
// little way back, else the start.
size_t
walk_from(const char *s, size_t p, size_t len)
{
	while (p > 0 && inside_sequence(s, p, len))
		p--;
	for (int i = 0; i < 64 && p > 0; i++) {
		if (certain_start(s, p, len))
			return p;
		p = code_point_before(s, p, len);
	}
	return p > 0 && certain_start(s, p, len) ? p : 0;
}

// Columns of the code point c alone.
size_t
columns(unsigned c)
{
	if (c < 0x20 || c == 0x7f)
		return 2;
	if (c >= 0x80 && c <= 0x9f)
		return 4;
	if (c == no_code_point)
		return 1;
	return find(zero, c) != nullptr ? 0 : find(wide, c) != nullptr ? 2 : 1;
}

// What each kind of emoji sequence takes, as learned; 0: not learned.
size_t learned[cluster_kinds];

// c as the run of the table that holds it maps it: every step'th from
// the run's first moved by the same.
template <size_t n>
unsigned
mapped(const case_run (&runs)[n], unsigned c)
{
	const case_run *r = find(runs, c);
	return r != nullptr && (c - r->first) % r->step == 0 ? unsigned(int(c) + r->by) : c;
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
code_point_at(const char *s, size_t p, size_t len)
{
	auto u = reinterpret_cast<const unsigned char *>(s + p);
	size_t n = char_len(s, p, len);
	if (n == 1)
		return u[0] < 0x80 ? u[0] : no_code_point;
	unsigned c = u[0] & (0x7f >> n);
	for (size_t i = 1; i < n; i++)
		c = c << 6 | (u[i] & 0x3f);
	return c;
}

size_t
next_cluster(const char *s, size_t p, size_t len)
{
	joining j = {};
	(void)goes_on(&j, code_point_at(s, p, len));
	for (p += char_len(s, p, len); p < len && goes_on(&j, code_point_at(s, p, len));)
		p += char_len(s, p, len);
	return p;
}

size_t
prev_cluster(const char *s, size_t p, size_t len)
{
	size_t q = walk_from(s, code_point_before(s, p, len), len), start = q;
	while (q < p) {
		start = q;
		q = next_cluster(s, q, len);
	}
	return start;
}

size_t
cluster_boundary(const char *s, size_t p, size_t len)
{
	size_t q = p < len ? walk_from(s, p, len) : len;
	while (q < p)
		q = next_cluster(s, q, len);
	return q;
}

cluster_kind
kind_of(const char *s, size_t p, size_t q)
{
	cluster_kind k = cluster_kind::text;
	unsigned first = code_point_at(s, p, q), before = first;
	for (size_t i = p + char_len(s, p, q); i < q; i += char_len(s, i, q)) {
		unsigned c = code_point_at(s, i, q);
		if (c == 0x200d && k < cluster_kind::joined)
			k = cluster_kind::joined;	// a ZWJ that joined a pictograph
		else if (c >= 0x1f3fb && c <= 0x1f3ff && pictographic(before) && k < cluster_kind::modified)
			k = cluster_kind::modified;
		else if (c == 0x20e3 && k < cluster_kind::keycap)
			k = cluster_kind::keycap;
		else if (c == 0xfe0f && k < cluster_kind::presented)
			k = cluster_kind::presented;
		else if (break_of(c) == gb::Regional_Indicator && k < cluster_kind::flag)
			k = cluster_kind::flag;
		before = c;
	}
	// a ZWJ joins a pictograph only after another
	if (k == cluster_kind::joined && !pictographic(first))
		k = cluster_kind::text;
	return k;
}

size_t
cluster_width(const char *s, size_t p, size_t q)
{
	unsigned first = code_point_at(s, p, q);
	cluster_kind k = kind_of(s, p, q);
	if (k != cluster_kind::text)
		return learned[int(k)] > 0 ? learned[int(k)] : 2;
	if (break_of(first) != gb::CR && break_of(first) != gb::LF && break_of(first) != gb::Control)
		return columns(first);
	size_t w = 0;		// controls, each as it shows
	for (; p < q; p += char_len(s, p, q))
		w += columns(code_point_at(s, p, q));
	return w;
}

void
learn_width(cluster_kind k, size_t columns)
{
	learned[int(k)] = columns;
}

bool
width_learned(cluster_kind k)
{
	return learned[int(k)] > 0;
}

unsigned
upper_case(unsigned c)
{
	return mapped(to_upper, c);
}

unsigned
lower_case(unsigned c)
{
	return mapped(to_lower, c);
}

size_t
put_code_point(unsigned c, char *to)
{
	auto u = reinterpret_cast<unsigned char *>(to);
	if (c < 0x80) {
		u[0] = static_cast<unsigned char>(c);
		return 1;
	}
	static const unsigned char lead[] = {0, 0, 0xc0, 0xe0, 0xf0};
	size_t n = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
	for (size_t i = n - 1; i > 0; i--, c >>= 6)
		u[i] = static_cast<unsigned char>(0x80 | (c & 0x3f));
	u[0] = static_cast<unsigned char>(lead[n] | c);
	return n;
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
			size_t q = next_cluster(s, p, len);
			w += cluster_width(s, p, q);
			p = q;
		}
	}
	return w;
}
