// SPDX-License-Identifier: MIT
// libkelp's history: the lines earlier calls returned, newest last, and a
// line's way among them: Up and Down, and an incremental search.

#include "line.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bytes lines[history_size];
size_t count;
bytes last_query;	// what the last search looked for

// The line at i as it is to be shown: as edited this call, else as kept;
// at count, the line typed.
bytes
shown_at(const line *l, size_t i)
{
	const bytes &e = l->r.edited[i];
	return e.b != nullptr || i == count ? e : lines[i];
}

// Shows the line at i, keeping the one shown as it was edited; the
// cursor at pos, or the end.
bool
show(line *l, size_t i, size_t pos)
{
	recall &r = l->r;
	if (!set(&r.edited[r.at], l->text, l->len))
		return false;
	bytes t = shown_at(l, i);
	if (!line_replace(l, t.b, t.n, pos < t.n ? pos : t.n))
		return false;
	r.at = i;
	return true;
}

// Where the query is in t: the last place at or before p, or the first at
// or after it.
bool
find_in(const bytes &t, const bytes &q, bool backward, size_t p, size_t *at)
{
	if (q.n > t.n)
		return false;
	size_t last = t.n - q.n, i = backward ? (p < last ? p : last) : p;
	for (; i <= last; i = backward ? i - 1 : i + 1) {
		if (memcmp(t.b + i, q.b, q.n) == 0) {
			*at = i;
			return true;
		}
		if (backward && i == 0)
			break;
	}
	return false;
}

// The query, from line i at p on, the way the search goes; the line it is
// in shown, the cursor at it. Failing where it is nowhere.
void
search(line *l, size_t i, size_t p)
{
	recall &r = l->r;
	for (;;) {
		bytes t = i == r.at ? bytes{l->text, l->len} : shown_at(l, i);
		size_t at;
		if (find_in(t, r.query, r.backward, p, &at)) {
			r.failing = i != r.at && !show(l, i, at);
			if (!r.failing)
				l->pos = r.found = at;
			return;
		}
		if (r.backward ? i == 0 : i == count) {
			r.failing = true;
			return;
		}
		i = r.backward ? i - 1 : i + 1;
		p = r.backward ? SIZE_MAX : 0;
	}
}

}

size_t
history_count()
{
	return count;
}

void
history_keep(const char *s, size_t n)
{
	if (n == 0 || (count > 0 && lines[count - 1].n == n && memcmp(lines[count - 1].b, s, n) == 0))
		return;
	if (count == history_size) {
		free(lines[0].b);
		memmove(lines, lines + 1, (history_size - 1) * sizeof *lines);
		lines[--count] = {nullptr, 0};
	}
	if (set(&lines[count], s, n))
		count++;
}

void
recall_step(line *l, bool earlier)
{
	size_t at = l->r.at;
	if (earlier ? at > 0 : at < count)
		(void)show(l, earlier ? at - 1 : at + 1, SIZE_MAX);
}

void
search_begin(line *l, bool backward)
{
	recall &r = l->r;
	if (!r.searching) {
		r.searching = true;
		r.backward = backward;
		r.failing = false;
		r.found = r.from_pos = l->pos;
		r.from_at = r.at;
		return;
	}
	// again, either way: the next place, or the last query where none is
	// typed
	if (r.query.n == 0 && last_query.n > 0 && !set(&r.query, last_query.b, last_query.n))
		return;
	r.backward = backward;
	if (backward && r.found == 0) {
		if (r.at == 0) {
			r.failing = true;
			return;
		}
		search(l, r.at - 1, SIZE_MAX);
		return;
	}
	search(l, r.at, backward ? r.found - 1 : r.found + 1);
}

void
search_type(line *l, const char *s, size_t n)
{
	recall &r = l->r;
	if (!append(&r.query, s, n) || r.failing)
		return;
	search(l, r.at, r.found);
}

void
search_erase(line *l)
{
	recall &r = l->r;
	if (r.query.n == 0)
		return;
	// back to where the search began, for the query one character shorter
	size_t n = r.query.n - 1;
	while (n > 0 && (r.query.b[n] & 0xc0) == 0x80)
		n--;
	r.query.n = n;
	r.failing = !show(l, r.from_at, r.from_pos);
	r.found = l->pos;
	if (n > 0)
		search(l, r.at, r.found);
}

void
search_end(line *l, bool keep)
{
	recall &r = l->r;
	if (r.query.n > 0)
		(void)set(&last_query, r.query.b, r.query.n);
	free(r.query.b);
	r.query = {nullptr, 0};
	r.searching = false;
	if (keep)
		l->pos = r.found <= l->len ? r.found : l->len;
	else
		(void)show(l, r.from_at, r.from_pos);
}

void
recall_close(line *l)
{
	for (bytes &e : l->r.edited)
		free(e.b);
	free(l->r.query.b);
	l->r = {};
}
