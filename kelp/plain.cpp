// SPDX-License-Identifier: MIT
// libkelp's line on a terminal that takes no escape sequence: its one
// row, scrolled sideways.

#include "screen.h"
#include "chars.h"
#include "output.h"

view
sideways(const shown &line, const view &before, size_t room)
{
	const char *text = line.text;
	size_t len = line.len, pos = line.pos;
	auto columns = [&](size_t a, size_t b) {
		size_t w = 0;
		for (; a < b; a = next_cluster(text, a, len))
			w += cluster_width(text, a, next_cluster(text, a, len));
		return w;
	};
	// The furthest back the row can start and still show the cursor.
	size_t lo = pos, fits = 0;
	while (lo > 0) {
		size_t p = prev_cluster(text, lo, len), w = columns(p, lo);
		if (fits + w >= room)
			break;
		fits += w;
		lo = p;
	}
	// Where the end of the line fits, as much as fits is shown.
	size_t tail = len;
	for (size_t w = 0; tail > lo;) {
		size_t p = prev_cluster(text, tail, len);
		w += columns(p, tail);
		if (w >= room)
			break;
		tail = p;
	}
	size_t first = before.first;
	if (first > pos || first < lo)
		first = lo;
	if (tail <= pos && tail < first)
		first = tail;
	view v = {first, first, 0};
	for (size_t w = 0; v.end < len;) {
		size_t q = next_cluster(text, v.end, len), cw = columns(v.end, q);
		if (w + cw > room)
			break;
		if (v.end < pos)
			v.at += cw;
		w += cw;
		v.end = q;
	}
	return v;
}

// A terminal that takes no escape sequence: the row is written again
// from its start, with the prompt where it fits before the line, spaces
// over what is gone, then again up to the cursor.
void
draw_plain(screen *s, const shown &line, size_t cols, bool whole, out *o)
{
	if (!s->placed || s->fresh) {
		bool beside = s->lwidth + 2 < cols;
		if (s->fresh || !beside) {
			puts_(o, "\r");
			put(o, s->lead, s->llen);
		}
		if (!beside)
			puts_(o, "\r\n");
		s->pre = beside ? s->lwidth : 0;
		s->placed = true;
		s->fresh = false;
		s->plain_cols = 0;
	}
	size_t room = cols > s->pre + 1 ? cols - s->pre - 1 : 0;
	view v = whole ? view{0, line.len, 0} : sideways(line, {s->first, 0, 0}, room);
	s->first = v.first;
	size_t plen = s->pre > 0 ? s->llen : 0, w = 0;
	puts_(o, "\r");
	put(o, s->lead, plen);
	for (size_t p = v.first; p < v.end;) {
		size_t q = next_cluster(line.text, p, line.len);
		put_cluster(o, line.text, p, q);
		w += cluster_width(line.text, p, q);
		p = q;
	}
	for (size_t i = w; i < s->plain_cols; i++)
		puts_(o, " ");
	if (line.pos < v.end || w < s->plain_cols) {
		puts_(o, "\r");
		put(o, s->lead, plen);
		for (size_t p = v.first; p < line.pos;) {
			size_t q = next_cluster(line.text, p, line.len);
			put_cluster(o, line.text, p, q);
			p = q;
		}
	}
	s->plain_cols = w;
}
