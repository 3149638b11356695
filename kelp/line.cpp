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

// A change of the line: n bytes of s in place of those from a to b, the
// cursor after them; typing right after typing joins the change before,
// else it is one of its own for undo. False where no memory can be had,
// the line as it was. s must not be in the line.
bool
change_text(line *l, size_t a, size_t b, const char *s, size_t n, bool typing)
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
	return true;
}

void
erase(line *l, size_t a, size_t b)
{
	if (a < b)
		(void)change_text(l, a, b, nullptr, 0, false);
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
	free(c.out.b);
	l->nundo--;
}

// The whole line becomes t, the cursor at its end; its changes start anew.
bool
replace_all(line *l, const bytes &t)
{
	char *b = room(t.n);
	if (b == nullptr)
		return false;
	l->text = b;
	memcpy(b, t.b, t.n);
	l->len = l->pos = t.n;
	forget_changes(l);
	return true;
}

// A kill right after a kill adds to what that one killed: before it,
// where it kills back from the cursor, else after it.
void
kill_text(line *l, size_t a, size_t b, bool again)
{
	if (a == b)
		return;
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

// The line of history at i, or the draft when i is past the last.
void
show_history(line *l, size_t i)
{
	if (l->at_history == nhistory && !set(&l->draft, l->text, l->len))
		return;
	if (replace_all(l, i == nhistory ? l->draft : history[i]))
		l->at_history = i;
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
	if (a == m || !set(&t, l->text + m, b - m) || !append(&t, l->text + a, m - a)) {
		free(t.b);
		return;
	}
	(void)change_text(l, a, b, t.b, t.n, false);
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

}

bool
line_open(line *l, const char *typed, size_t n, size_t pos)
{
	*l = {};
	l->at_history = nhistory;
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
	l->killing = false;
	if (!change_text(l, l->pos, l->pos, s, n, true))
		return false;
	// never inside a character that the text joined
	l->pos = char_boundary(l->text, l->pos, l->len);
	return true;
}

outcome
line_do(line *l, act a)
{
	bool again = l->killing;
	l->killing = false;
	l->typing = false;
	switch (a) {
	case act::enter:
		l->pos = l->len;
		return outcome::entered;
	case act::interrupt:
	case act::quit:
		l->len = l->pos = 0;
		forget_changes(l);
		break;
	case act::eof_or_del:
		if (l->len == 0)
			return outcome::end_of_input;
		[[fallthrough]];
	case act::del:
		if (l->pos < l->len)
			erase(l, l->pos, next_char(l->text, l->pos, l->len));
		break;
	case act::back_del:
		if (l->pos > 0)
			erase(l, prev_char(l->text, l->pos, l->len), l->pos);
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
		if (killed.n > 0 && !change_text(l, l->pos, l->pos, killed.b, killed.n, false))
			return outcome::no_memory;
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
	// a line holding a zero byte is no line: it gives NULL
	if (l->len == 0 || memchr(l->text, '\0', l->len) != nullptr || (nhistory > 0 && history[nhistory - 1].n == l->len &&
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
