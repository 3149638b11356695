// SPDX-License-Identifier: MIT
// libkelp's line as it is edited: text, cursor, words, the kill ring,
// case, undo. A character here is a grapheme cluster.

#include "line.h"
#include "buffer.h"
#include "chars.h"

#include <cstdlib>
#include <cstring>

bool
set(bytes *t, const char *s, size_t n)
{
	char *b = static_cast<char *>(malloc(n + 1));
	if (b == nullptr)
		return false;
	if (n > 0)
		memcpy(b, s, n);
	free(t->b);
	t->b = b;
	t->n = n;
	return true;
}

bool
append(bytes *t, const char *s, size_t n)
{
	char *b = static_cast<char *>(realloc(t->b, t->n + n + 1));
	if (b == nullptr)
		return false;
	if (n > 0)
		memcpy(b + t->n, s, n);
	t->b = b;
	t->n += n;
	return true;
}

namespace {

// The kill ring, kept across calls: the texts killed, newest last, and
// the one a yank puts back.
constexpr size_t ring_size = 10;
bytes ring[ring_size];
size_t nring, yank_at;

}

bool
line_change(line *l, size_t a, size_t b, const char *s, size_t n, bool typing)
{
	change *last = l->nundo > 0 ? &l->undo[l->nundo - 1] : nullptr;
	bool joins = typing && l->typing && last != nullptr && a == b &&
	    last->at + last->in == a;
	bytes out = {nullptr, 0};
	if (!joins && b > a && !set(&out, l->text + a, b - a))
		return false;
	char *t = room(l->len - (b - a) + n);
	if (t == nullptr) {
		free(out.b);
		return false;
	}
	l->text = t;
	memmove(t + a + n, t + b, l->len - b);
	if (n > 0)
		memcpy(t + a, s, n);
	l->len = l->len - (b - a) + n;
	if (joins) {
		last->in += n;
	} else {
		if (l->nundo == undo_size) {
			free(l->undo[0].out.b);
			memmove(l->undo, l->undo + 1, (undo_size - 1) * sizeof *l->undo);
			l->nundo--;
		}
		l->undo[l->nundo++] = {a, out, n, l->pos};
	}
	l->pos = a + n;
	l->typing = typing;
	l->changed = a < l->changed ? a : l->changed;
	return true;
}

namespace {

void
erase(line *l, size_t a, size_t b)
{
	if (a < b)
		(void)line_change(l, a, b, nullptr, 0, false);
}

void
forget_changes(line *l)
{
	for (size_t i = 0; i < l->nundo; i++)
		free(l->undo[i].out.b);
	l->nundo = 0;
}

// The line and the cursor as they were before the last change.
void
undo(line *l)
{
	if (l->nundo == 0)
		return;
	change &c = l->undo[l->nundo - 1];
	char *t = room(l->len - c.in + c.out.n);
	if (t == nullptr)
		return;
	l->text = t;
	memmove(t + c.at + c.out.n, t + c.at + c.in, l->len - c.at - c.in);
	if (c.out.n > 0)
		memcpy(t + c.at, c.out.b, c.out.n);
	l->len = l->len - c.in + c.out.n;
	l->pos = c.pos;
	l->changed = c.at < l->changed ? c.at : l->changed;
	free(c.out.b);
	l->nundo--;
}

// A kill right after a kill adds to what that one killed: before it,
// where it kills back from the cursor, else after it. Any other kill is
// a new text on the ring. What the ring is to hold is made first: where
// memory runs out, the line and the ring stay as they were.
void
kill_text(line *l, size_t a, size_t b, bool again)
{
	if (a == b)
		return;
	bytes t = {nullptr, 0}, &top = ring[nring - (nring > 0)];
	bool joins = again && nring > 0, made;
	if (!joins)
		made = set(&t, l->text + a, b - a);
	else if (b == l->pos)
		made = set(&t, l->text + a, b - a) && append(&t, top.b, top.n);
	else
		made = set(&t, top.b, top.n) && append(&t, l->text + a, b - a);
	if (!made || !line_change(l, a, b, nullptr, 0, false)) {
		free(t.b);
		return;
	}
	if (joins) {
		free(top.b);
		top = t;
	} else {
		if (nring == ring_size) {
			free(ring[0].b);
			memmove(ring, ring + 1, (ring_size - 1) * sizeof *ring);
			nring--;
		}
		ring[nring++] = t;
	}
	yank_at = nring - 1;
}

// A yank puts back the newest kill; again, right after a yank, it puts
// the one before that in its place, round the ring.
bool
yank(line *l, bool again)
{
	if (nring == 0)
		return true;
	size_t a = again ? l->pos - l->yanked : l->pos;
	yank_at = again ? (yank_at + nring - 1) % nring : nring - 1;
	const bytes &t = ring[yank_at];
	if (!line_change(l, a, l->pos, t.b, t.n, false))
		return false;
	l->yanking = true;
	l->yanked = t.n;
	return true;
}

// The characters a to m and m to b change places, the cursor after them.
void
swap(line *l, size_t a, size_t m, size_t b)
{
	bytes t = {nullptr, 0};
	if (a < m && m < b && set(&t, l->text + m, b - m) && append(&t, l->text + a, m - a))
		(void)line_change(l, a, b, t.b, t.n, false);
	free(t.b);
}

// Ctrl-T: the two characters before the cursor change places, or at its
// end the last two.
void
transpose(line *l)
{
	if (l->len == 0 || l->pos == 0)
		return;
	size_t b = l->pos < l->len ? next_cluster(l->text, l->pos, l->len) : l->len;
	size_t m = prev_cluster(l->text, b, l->len);
	swap(l, m > 0 ? prev_cluster(l->text, m, l->len) : m, m, b);
}

// Where a key that only moves puts the cursor.
size_t
moved(const line *l, act a)
{
	switch (a) {
	case act::left:
		return l->pos > 0 ? prev_cluster(l->text, l->pos, l->len) : 0;
	case act::right:
		return l->pos < l->len ? next_cluster(l->text, l->pos, l->len) : l->len;
	case act::home:
		return 0;
	case act::end:
		return l->len;
	case act::word_left:
		return word_before(l, l->pos);
	default:
		return word_after(l, l->pos);
	}
}

// What a key does in an incremental search: some end it and go on to do
// what they do; true where that is all.
bool
searched(line *l, act a)
{
	switch (a) {
	case act::search_back:
	case act::search_forward:
		search_begin(l, a == act::search_back);
		return true;
	case act::back_del:
		search_erase(l);
		return true;
	case act::abort:
		search_end(l, false);
		return true;
	default:
		search_end(l, true);
		return a == act::none;
	}
}

}

bool
line_open(line *l, const char *typed, size_t n, size_t pos)
{
	*l = {};
	l->r.at = history_count();
	if ((l->text = room(n)) == nullptr)
		return false;
	if (n > 0)
		memcpy(l->text, typed, n);
	l->len = n;
	l->pos = pos < n ? pos : n;
	return true;
}

bool
line_type(line *l, const char *s, size_t n)
{
	l->killing = l->yanking = false;
	if (l->r.searching) {
		search_type(l, s, n);
		return true;
	}
	if (!line_change(l, l->pos, l->pos, s, n, true))
		return false;
	// never inside a character that the text joined
	l->pos = cluster_boundary(l->text, l->pos, l->len);
	return true;
}

bool
line_replace(line *l, const char *s, size_t n, size_t pos)
{
	char *b = room(n);
	if (b == nullptr)
		return false;
	l->text = b;
	if (n > 0)
		memcpy(b, s, n);
	l->len = n;
	l->pos = pos;
	l->changed = 0;
	forget_changes(l);
	return true;
}

outcome
line_do(line *l, act a)
{
	bool killing = l->killing, yanking = l->yanking;
	l->killing = l->yanking = l->typing = false;
	if (l->r.searching && searched(l, a))
		return outcome::edited;
	switch (a) {
	case act::enter:
		l->pos = l->len;
		return outcome::entered;
	case act::interrupt:
	case act::quit:
		l->len = l->pos = l->changed = 0;
		forget_changes(l);
		break;
	case act::eof_or_del:
		if (l->len == 0)
			return outcome::end_of_input;
		[[fallthrough]];
	case act::del:
		if (l->pos < l->len)
			erase(l, l->pos, next_cluster(l->text, l->pos, l->len));
		break;
	case act::back_del:
		if (l->pos > 0)
			erase(l, prev_cluster(l->text, l->pos, l->len), l->pos);
		break;
	case act::left:
	case act::right:
	case act::home:
	case act::end:
	case act::word_left:
	case act::word_right:
		l->pos = moved(l, a);
		break;
	case act::kill_before:
		kill_text(l, 0, l->pos, killing);
		break;
	case act::kill_after:
		kill_text(l, l->pos, l->len, killing);
		break;
	case act::kill_word_before:
		kill_text(l, blank_word_start(l), l->pos, killing);
		break;
	case act::kill_word_back:
		kill_text(l, word_before(l, l->pos), l->pos, killing);
		break;
	case act::kill_word:
		kill_text(l, l->pos, word_after(l, l->pos), killing);
		break;
	case act::yank:
	case act::yank_pop:
		if ((a == act::yank || yanking) && !yank(l, a == act::yank_pop))
			return outcome::no_memory;
		break;
	case act::transpose:
		transpose(l);
		break;
	case act::transpose_words:
		transpose_words(l);
		break;
	case act::upper_word:
	case act::lower_word:
	case act::capitalize_word:
		change_case(l, a);
		break;
	case act::undo:
		undo(l);
		break;
	case act::earlier:
	case act::later:
		recall_step(l, a == act::earlier);
		break;
	case act::search_back:
	case act::search_forward:
		search_begin(l, a == act::search_back);
		break;
	default:
		break;
	}
	l->killing = a >= act::kill_before && a <= act::kill_word;
	return outcome::edited;
}

void
line_remember(const line *l)
{
	// a line holding a zero byte is no line: it gives NULL
	if (memchr(l->text, '\0', l->len) == nullptr)
		history_keep(l->text, l->len);
}

void
line_close(line *l)
{
	forget_changes(l);
	recall_close(l);
}
