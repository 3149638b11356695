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

// Half a second for the rest of Alt and a key, typed as Escape and the key.
constexpr int alt_wait = 500;

// What each control byte does; those not named do nothing. Tab is text,
// Ctrl-V takes the next byte as text, and Escape begins a sequence.
constexpr std::array<act, 32> controls = [] {
	std::array<act, 32> t{};
	t[ctrl('A')] = act::home;
	t[ctrl('B')] = act::left;
	t[ctrl('D')] = act::eof_or_del;
	t[ctrl('E')] = act::end;
	t[ctrl('F')] = act::right;
	t[ctrl('G')] = act::abort;
	t[ctrl('H')] = act::back_del;
	t[ctrl('J')] = act::enter;
	t[ctrl('K')] = act::kill_after;
	t[ctrl('L')] = act::clear;
	t[ctrl('M')] = act::enter;
	t[ctrl('N')] = act::later;
	t[ctrl('P')] = act::earlier;
	t[ctrl('R')] = act::search_back;
	t[ctrl('S')] = act::search_forward;
	t[ctrl('T')] = act::transpose;
	t[ctrl('U')] = act::kill_before;
	t[ctrl('W')] = act::kill_word_before;
	t[ctrl('Y')] = act::yank;
	t[ctrl('_')] = act::undo;
	return t;
}();
static_assert(controls[0] == act::none, "Ctrl-Space does nothing");

parsed
whole(act a, size_t used)
{
	return {{a, nullptr, 0}, used, 0};
}

parsed
text(const unsigned char *b, size_t n, size_t used)
{
	return {{act::text, b, n}, used, 0};
}

// More must come: the key so far is none of them where it is cut short.
parsed
more(size_t have, bool cut, int wait = -1)
{
	return cut ? whole(act::none, have) : parsed{{act::none, nullptr, 0}, 0, wait};
}

bool
is_signal_key(unsigned char c, const signal_keys &sk)
{
	return c != 0 && (c == sk.intr || c == sk.quit || c == sk.susp);
}

// Bytes that go into the line as they are typed.
bool
is_text(unsigned char c, const signal_keys &sk)
{
	return (c >= 0x20 || c == '\t') && c != backspace && !is_signal_key(c, sk);
}

// An SS3 sequence's final byte, and a CSI one's with no parameters.
act
plain(unsigned char d)
{
	return d == 'C' ? act::right : d == 'D' ? act::left : d == 'H' ? act::home :
	    d == 'F' ? act::end : d == 'A' ? act::earlier : d == 'B' ? act::later :
	    act::none;
}

// CSI, the bytes at b after ESC [: parameters, then a final byte.
parsed
csi(const unsigned char *b, size_t n, key_state *st, bool cut)
{
	size_t i = 0;
	while (i < n && !(b[i] >= 0x40 && b[i] <= 0x7e))
		i++;
	if (i == n)
		return more(n + 2, cut);
	unsigned char d = b[i];
	auto is = [&](const char *p) { return strlen(p) == i && memcmp(b, p, i) == 0; };
	act a = act::none;
	if (i == 0)
		a = plain(d);
	else if ((d == 'C' || d == 'D') && (is("1;5") || is("5") || is("1;3") || is("3")))
		a = d == 'C' ? act::word_right : act::word_left;
	else if (d == '~')
		a = is("1") || is("7") ? act::home : is("4") || is("8") ? act::end :
		    is("3") ? act::del : is("200") ? act::paste_begin : act::none;
	if (a == act::paste_begin)
		st->pasting = true;
	return whole(a, i + 3);
}

// The bytes of a UTF-8 character that begins with c, by its first byte.
size_t
utf8_len(unsigned char c)
{
	return c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 :
	    c >= 0xf0 && c <= 0xf4 ? 4 : 1;
}

// After an Escape: a key's sequence, or Alt and a key, which the terminal
// may send as Escape and the key's own sequence; a lone Escape does
// nothing.
parsed
escaped(const unsigned char *b, size_t n, key_state *st, bool cut)
{
	if (n == 1)
		return more(1, cut, alt_wait);
	unsigned char d = b[1];
	if (d == '[')
		return csi(b + 2, n - 2, st, cut);
	if (d == 'O')
		return n < 3 ? more(n, cut) : whole(plain(b[2]), 3);
	if (d == escape) {
		// Alt and an arrow, as rxvt sends it: by word
		parsed p = escaped(b + 1, n - 1, st, cut);
		if (p.used == 0)
			return p;
		act a = p.k.a == act::left ? act::word_left : p.k.a == act::right ?
		    act::word_right : act::none;
		return whole(a, p.used + 1);
	}
	// Alt and a letter
	static constexpr struct {
		unsigned char c;
		act a;
	} alt[] = {{'b', act::word_left}, {'f', act::word_right}, {'d', act::kill_word},
	    {'y', act::yank_pop}, {'t', act::transpose_words}, {'u', act::upper_word},
	    {'l', act::lower_word}, {'c', act::capitalize_word}};
	for (const auto &k : alt)
		if (d == k.c)
			return whole(k.a, 2);
	if (d == backspace || d == ctrl('H'))
		return whole(act::kill_word_back, 2);
	// Alt and a character past ASCII: all of it
	size_t len = utf8_len(d);
	return n < 1 + len ? more(n, cut) : whole(act::none, 1 + len);
}

// In a paste, all is text up to the end of the paste.
parsed
in_paste(const unsigned char *b, size_t n, key_state *st, bool cut)
{
	const auto *esc = static_cast<const unsigned char *>(memchr(b, escape, n));
	size_t run = esc == nullptr ? n : static_cast<size_t>(esc - b);
	if (run > 0)
		return text(b, run, run);
	static const char end[] = "\x1b[201~";
	size_t m = n < sizeof end - 1 ? n : sizeof end - 1;
	if (memcmp(b, end, m) != 0 || (m < sizeof end - 1 && cut))
		return text(b, 1, 1);
	if (m < sizeof end - 1)
		return more(m, false);
	st->pasting = false;
	return whole(act::paste_end, m);
}

}

parsed
parse_key(const unsigned char *b, size_t n, key_state *st, const signal_keys &sk, bool cut)
{
	if (n == 0)
		return more(0, false);
	if (st->pasting)
		return in_paste(b, n, st, cut);
	unsigned char c = b[0];
	if (is_signal_key(c, sk))
		return whole(c == sk.intr ? act::interrupt : c == sk.quit ? act::quit :
		    act::suspend, 1);
	if (c == escape)
		return escaped(b, n, st, cut);
	if (c == ctrl('V'))
		return n >= 2 ? text(b + 1, 1, 2) : more(1, cut);
	if (c == backspace)
		return whole(act::back_del, 1);
	if (!is_text(c, sk))
		return whole(controls[c], 1);
	size_t run = 1;
	while (run < n && is_text(b[run], sk))
		run++;
	return text(b, run, run);
}
