// SPDX-License-Identifier: MIT
// libkelp's line as it is edited: text, cursor, words, kill and yank,
// undo and history.

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
	memcpy(b + t->n, s, n);
	t->b = b;
	t->n += n;
	return true;
}

namespace {

// Kept across calls: the lines returned, newest last, and the text last
// killed.
constexpr size_t history_size = 100;
bytes history[history_size];
size_t nhistory;
bytes killed;

// Takes out the bytes from a to b, the cursor at a.
void
erase(line *l, size_t a, size_t b)
{
	memmove(l->text + a, l->text + b, l->len - b);
	l->len -= b - a;
	l->pos = a;
}

// Puts n bytes at the cursor.
bool
insert(line *l, const char *s, size_t n)
{
	char *b = room(l->len + n);
	if (b == nullptr)
		return false;
	l->text = b;
	memmove(b + l->pos + n, b + l->pos, l->len - l->pos);
	memcpy(b + l->pos, s, n);
	l->len += n;
	l->pos += n;
	return true;
}

// The whole line and the cursor become those of u; where no memory can
// be had, they stay as they were.
bool
replace(line *l, const snapshot &u)
{
	char *b = room(u.n);
	if (b == nullptr)
		return false;
	l->text = b;
	memcpy(b, u.b, u.n);
	l->len = u.n;
	l->pos = u.pos;
	return true;
}

void
forget_changes(line *l)
{
	for (size_t i = 0; i < l->nundo; i++)
		free(l->undo[i].b);
	l->nundo = 0;
}

// A copy of the line and the cursor, for undo, before a change. Typing
// in a row is one change.
void
before_change(line *l, bool typing)
{
	if (typing && l->inserting)
		return;
	l->inserting = typing;
	if (l->nundo == undo_size) {
		free(l->undo[0].b);
		memmove(l->undo, l->undo + 1, (undo_size - 1) * sizeof *l->undo);
		l->nundo--;
	}
	bytes t = {nullptr, 0};
	if (set(&t, l->text, l->len))
		l->undo[l->nundo++] = {t.b, t.n, l->pos};
}

// A kill right after a kill adds to what that one killed: before it,
// where it kills back from the cursor, else after it.
void
kill_text(line *l, size_t a, size_t b, bool again)
{
	if (a == b)
		return;
	before_change(l, false);
	bytes t = {nullptr, 0};
	if (!again) {
		(void)set(&killed, l->text + a, b - a);
	} else if (b == l->pos) {
		if (set(&t, l->text + a, b - a) && append(&t, killed.b, killed.n)) {
			free(killed.b);
			killed = t;
		} else {
			free(t.b);
		}
	} else {
		(void)append(&killed, l->text + a, b - a);
	}
	erase(l, a, b);
}

bool
word_byte(char c)
{
	return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
	    (c >= 'a' && c <= 'z') || (c & 0x80) != 0;
}

size_t
word_end(const line *l)
{
	size_t p = l->pos;
	while (p < l->len && !word_byte(l->text[p]))
		p++;
	while (p < l->len && word_byte(l->text[p]))
		p++;
	return p;
}

size_t
word_start(const line *l)
{
	size_t p = l->pos;
	while (p > 0 && !word_byte(l->text[p - 1]))
		p--;
	while (p > 0 && word_byte(l->text[p - 1]))
		p--;
	return p;
}

// Ctrl-W's word: back over blanks, then to the blank before it.
size_t
blank_word_start(const line *l)
{
	auto blank = [](char c) { return c == ' ' || c == '\t'; };
	size_t p = l->pos;
	while (p > 0 && blank(l->text[p - 1]))
		p--;
	while (p > 0 && !blank(l->text[p - 1]))
		p--;
	return p;
}

// The line of history at i, or the draft when i is past the last. Its
// changes start anew.
void
show_history(line *l, size_t i)
{
	if (l->at_history == nhistory && !set(&l->draft, l->text, l->len))
		return;
	const bytes &t = i == nhistory ? l->draft : history[i];
	if (replace(l, {t.b, t.n, t.n})) {
		l->at_history = i;
		forget_changes(l);
	}
}

// The two characters before the cursor change places, or at its end the
// last two; the cursor goes after them.
void
transpose(line *l)
{
	if (l->len == 0 || l->pos == 0)
		return;
	size_t b = l->pos < l->len ? next_char(l->text, l->pos, l->len) : l->len;
	size_t m = prev_char(l->text, b, l->len);
	size_t a = m > 0 ? prev_char(l->text, m, l->len) : m;
	bytes t = {nullptr, 0};
	if (a == m || !set(&t, l->text + a, m - a))
		return;
	before_change(l, false);
	memmove(l->text + a, l->text + m, b - m);
	memcpy(l->text + a + (b - m), t.b, t.n);
	l->pos = b;
	free(t.b);
}

// Where a key that only moves puts the cursor.
size_t
moved(const line *l, act a)
{
	switch (a) {
	case act::left:
		return l->pos > 0 ? prev_char(l->text, l->pos, l->len) : 0;
	case act::right:
		return l->pos < l->len ? next_char(l->text, l->pos, l->len) : l->len;
	case act::home:
		return 0;
	case act::end:
		return l->len;
	case act::word_left:
		return word_start(l);
	default:
		return word_end(l);
	}
}

void
undo(line *l)
{
	if (l->nundo == 0)
		return;
	snapshot &u = l->undo[l->nundo - 1];
	if (!replace(l, u))
		return;
	l->nundo--;
	free(u.b);
	u = {nullptr, 0, 0};
}

}

bool
line_open(line *l, const char *typed, size_t n)
{
	*l = {};
	l->at_history = nhistory;
	return (l->text = room(0)) != nullptr && (n == 0 || insert(l, typed, n));
}

bool
line_type(line *l, const char *s, size_t n)
{
	before_change(l, true);
	l->killing = false;
	return insert(l, s, n);
}

outcome
line_do(line *l, act a)
{
	bool again = l->killing;
	l->killing = false;
	l->inserting = false;
	switch (a) {
	case act::enter:
		l->pos = l->len;
		return outcome::ended;
	case act::eof_or_del:
		if (l->len == 0)
			return outcome::end_of_input;
		[[fallthrough]];
	case act::del:
		if (l->pos < l->len) {
			before_change(l, false);
			erase(l, l->pos, next_char(l->text, l->pos, l->len));
		}
		break;
	case act::back_del:
		if (l->pos > 0) {
			before_change(l, false);
			erase(l, prev_char(l->text, l->pos, l->len), l->pos);
		}
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
		kill_text(l, 0, l->pos, again);
		break;
	case act::kill_after:
		kill_text(l, l->pos, l->len, again);
		break;
	case act::kill_word_before:
		kill_text(l, blank_word_start(l), l->pos, again);
		break;
	case act::kill_word_back:
		kill_text(l, word_start(l), l->pos, again);
		break;
	case act::kill_word:
		kill_text(l, l->pos, word_end(l), again);
		break;
	case act::yank:
		if (killed.n > 0) {
			before_change(l, false);
			if (!insert(l, killed.b, killed.n))
				return outcome::no_memory;
		}
		break;
	case act::transpose:
		transpose(l);
		break;
	case act::undo:
		undo(l);
		break;
	case act::earlier:
		if (l->at_history > 0)
			show_history(l, l->at_history - 1);
		break;
	case act::later:
		if (l->at_history < nhistory)
			show_history(l, l->at_history + 1);
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
	if (l->len == 0 || (nhistory > 0 && history[nhistory - 1].n == l->len &&
	    memcmp(history[nhistory - 1].b, l->text, l->len) == 0))
		return;
	if (nhistory == history_size) {
		free(history[0].b);
		memmove(history, history + 1, (history_size - 1) * sizeof *history);
		history[--nhistory] = {nullptr, 0};
	}
	if (set(&history[nhistory], l->text, l->len))
		nhistory++;
}

void
line_close(line *l)
{
	forget_changes(l);
	free(l->draft.b);
	l->draft = {nullptr, 0};
}
