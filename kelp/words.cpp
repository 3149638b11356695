// SPDX-License-Identifier: MIT
// libkelp's words: where they start and end, a character at a time, and
// the keys that change them whole.

#include "line.h"
#include "chars.h"

#include <cstdlib>
#include <cstring>

namespace {

bool
word_byte(char c)
{
	return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
	    (c >= 'a' && c <= 'z') || (c & 0x80) != 0;
}

}

size_t
word_after(const line *l, size_t p)
{
	for (bool in = false; p < l->len; p = next_cluster(l->text, p, l->len)) {
		bool w = word_byte(l->text[p]);
		if (in && !w)
			break;
		in = in || w;
	}
	return p;
}

size_t
word_before(const line *l, size_t p)
{
	for (bool in = false; p > 0;) {
		size_t q = prev_cluster(l->text, p, l->len);
		bool w = word_byte(l->text[q]);
		if (in && !w)
			break;
		in = in || w;
		p = q;
	}
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

// Alt-t: the word before the cursor and the one after it change places,
// or at the end the last two, what is between them staying.
void
transpose_words(line *l)
{
	size_t e2 = word_after(l, l->pos), s2 = word_before(l, e2);
	size_t s1 = word_before(l, s2), e1 = word_after(l, s1);
	if (s1 == s2 || s2 < e1)
		return;
	bytes t = {nullptr, 0};
	if (set(&t, l->text + s2, e2 - s2) && append(&t, l->text + e1, s2 - e1) &&
	    append(&t, l->text + s1, e1 - s1))
		(void)line_change(l, s1, e2, t.b, t.n, false);
	free(t.b);
}

// Alt-u, Alt-l, Alt-c: the word after the cursor in upper case, lower
// case, or with its first letter upper and the rest lower; the cursor
// after it.
void
change_case(line *l, act a)
{
	size_t b = word_after(l, l->pos);
	bytes t = {nullptr, 0};
	bool first = a == act::capitalize_word;
	for (size_t p = l->pos; p < b; p += char_len(l->text, p, l->len)) {
		unsigned c = code_point_at(l->text, p, l->len);
		char u[4];
		size_t n = char_len(l->text, p, l->len);
		if (c <= 0x10ffff && word_byte(l->text[p])) {
			c = a == act::upper_word || first ? upper_case(c) : lower_case(c);
			first = false;
			n = put_code_point(c, u);
		} else {
			memcpy(u, l->text + p, n);
		}
		if (!append(&t, u, n)) {
			free(t.b);
			return;
		}
	}
	if (t.n != b - l->pos || (t.n > 0 && memcmp(t.b, l->text + l->pos, t.n) != 0))
		(void)line_change(l, l->pos, b, t.b, t.n, false);
	else
		l->pos = b;
	free(t.b);
}

