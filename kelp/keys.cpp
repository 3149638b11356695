// SPDX-License-Identifier: MIT
// libkelp's keys: what each control byte and escape sequence means, in
// this one place.

#include "keys.h"

#include <array>
#include <cstring>

namespace {

constexpr unsigned char
ctrl(char c)
{
	return static_cast<unsigned char>(c & 0x1f);
}

constexpr unsigned char escape = 0x1b, backspace = 0x7f;

// What each control byte does; those not named do nothing. Tab is text,
// Ctrl-V takes the next byte as text, and Escape begins a sequence.
constexpr std::array<act, 32> controls = [] {
	std::array<act, 32> t{};
	t[ctrl('A')] = act::home;
	t[ctrl('B')] = act::left;
	t[ctrl('D')] = act::eof_or_del;
	t[ctrl('E')] = act::end;
	t[ctrl('F')] = act::right;
	t[ctrl('H')] = act::back_del;
	t[ctrl('J')] = act::enter;
	t[ctrl('K')] = act::kill_after;
	t[ctrl('L')] = act::clear;
	t[ctrl('M')] = act::enter;
	t[ctrl('N')] = act::later;
	t[ctrl('P')] = act::earlier;
	t[ctrl('T')] = act::transpose;
	t[ctrl('U')] = act::kill_before;
	t[ctrl('W')] = act::kill_word_before;
	t[ctrl('Y')] = act::yank;
	t[ctrl('_')] = act::undo;
	return t;
}();
static_assert(controls[0] == act::none, "Ctrl-Space does nothing");

// An SS3 sequence's final byte, and a CSI one's with no parameters.
act
plain(int d)
{
	return d == 'C' ? act::right : d == 'D' ? act::left : d == 'H' ? act::home :
	    d == 'F' ? act::end : d == 'A' ? act::earlier : d == 'B' ? act::later :
	    act::none;
}

// CSI: parameters, then a final byte.
act
csi(key_reader *k, byte_source src)
{
	char params[16];
	size_t n = 0;
	int d;
	while ((d = src.next(src.ctx, -1)) >= 0 && !(d >= 0x40 && d <= 0x7e))
		if (n < sizeof params - 1)
			params[n++] = static_cast<char>(d);
	if (d < 0)
		return act::none;
	params[n] = '\0';
	auto is = [&](const char *name) { return strcmp(params, name) == 0; };
	if (n == 0)
		return plain(d);
	if ((d == 'C' || d == 'D') && (is("1;5") || is("5")))
		return d == 'C' ? act::word_right : act::word_left;
	if (d != '~')
		return act::none;
	if (is("200"))
		k->pasting = true;
	return is("1") || is("7") ? act::home : is("4") || is("8") ? act::end :
	    is("3") ? act::del : is("200") ? act::paste_begin : act::none;
}

// After an Escape: a key's sequence, or Alt and a key, within half a
// second; a lone Escape is dropped.
act
escaped(key_reader *k, byte_source src)
{
	int c = src.next(src.ctx, 500);
	if (c == 'b' || c == 'f' || c == 'd')
		return c == 'b' ? act::word_left : c == 'f' ? act::word_right : act::kill_word;
	if (c == backspace || c == ctrl('H'))
		return act::kill_word_back;
	if (c == 'O')
		return plain(src.next(src.ctx, -1));
	return c == '[' ? csi(k, src) : act::none;
}

// An Escape inside a paste: the end of the paste, or text with what
// followed it, but for an Escape among that, which may begin the end in
// turn.
key
in_paste(key_reader *k, byte_source src)
{
	const char tail[] = "[201~";
	unsigned char seen[sizeof tail] = {};
	unsigned n = 0;
	for (int b; n < sizeof tail - 1 && (b = src.next(src.ctx, -1)) >= 0;) {
		seen[n++] = static_cast<unsigned char>(b);
		if (b != tail[n - 1])
			break;
	}
	if (n == sizeof tail - 1 && memcmp(seen, tail, n) == 0) {
		k->pasting = false;
		return {act::paste_end, 0};
	}
	k->escaped = n > 0 && seen[n - 1] == escape;
	k->nheld = k->escaped ? n - 1 : n;
	k->at = 0;
	memcpy(k->held, seen, k->nheld);
	return {act::text, escape};
}

}

key
read_key(key_reader *k, byte_source src)
{
	if (k->at < k->nheld)
		return {act::text, k->held[k->at++]};
	if (k->escaped) {
		k->escaped = false;
		return in_paste(k, src);
	}
	int b = src.next(src.ctx, -1);
	if (b < 0)
		return {act::stop, 0};
	auto c = static_cast<unsigned char>(b);
	if (k->pasting)
		return c == escape ? in_paste(k, src) : key{act::text, c};
	if (c == escape)
		return {escaped(k, src), 0};
	if (c == ctrl('V')) {
		int next = src.next(src.ctx, -1);
		return next < 0 ? key{act::none, 0} : key{act::text, static_cast<unsigned char>(next)};
	}
	if (c == backspace)
		return {act::back_del, 0};
	if (c >= 0x20 || c == '\t')
		return {act::text, c};
	return {controls[c], 0};
}
