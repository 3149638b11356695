// SPDX-License-Identifier: MIT
// The editor's parts called directly, with no terminal: the keys the
// bytes name, what keys do to the line, how a row shows it, and UTF-8.

#include <climits>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "buffer.h"
#include "chars.h"
#include "failing.h"
#include "keys.h"
#include "line.h"
#include "screen.h"
#include "term.h"
#include "grapheme.h"
#include "harness.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace std::string_literals;

namespace {

// The keys for signals as a terminal has them by default.
const signal_keys sk = {0x03, 0x1c, 0x1a};

// Each key in bytes, as the editor takes them: one after the other, a key
// cut short by their end what there is. Text as its bytes, the rest by name.
template <class F>
void
each_key(const std::string &bytes, F f)
{
	key_state st = {};
	auto b = reinterpret_cast<const unsigned char *>(bytes.data());
	for (size_t at = 0; at < bytes.size();) {
		parsed p = parse_key(b + at, bytes.size() - at, &st, sk, false);
		if (p.used == 0)
			p = parse_key(b + at, bytes.size() - at, &st, sk, true);
		if (!f(p.k))
			return;
		at += p.used;
	}
}

std::string
keys_of(const std::string &bytes)
{
	static const char *names[] = {"none", "text", "enter", "eof_or_del",
	    "left", "right", "home", "end", "word_left", "word_right", "back_del",
	    "del", "kill_before", "kill_after", "kill_word_before", "kill_word_back",
	    "kill_word", "yank", "yank_pop", "transpose", "transpose_words",
	    "upper_word", "lower_word", "capitalize_word", "undo", "earlier", "later",
	    "search_back", "search_forward", "abort", "clear", "paste_begin",
	    "paste_end", "interrupt", "quit", "suspend"};
	std::string out;
	each_key(bytes, [&](const key &k) {
		out += k.a == act::text ? std::string(reinterpret_cast<const char *>(k.text), k.n) :
		    "<"s + names[int(k.a)] + ">";
		return true;
	});
	return out;
}

TEST(Keys, EachByteOrSequenceNamesOneKey)
{
	const struct {
		std::string bytes, keys;
	} cases[] = {
		{"\x01\x02\x04\x05\x06\x08", "<home><left><eof_or_del><end><right><back_del>"},
		{"\x0b\x0c\x0e\x10\x14\x15", "<kill_after><clear><later><earlier><transpose><kill_before>"},
		{"\x17\x19\x1f\r\n\x7f", "<kill_word_before><yank><undo><enter><enter><back_del>"},
		{"\x03\x1c\x1e\0\x1a"s, "<interrupt><quit><none><none><suspend>"},
		{"a\t\xc3\xa9 ~", "a\t\xc3\xa9 ~"},
		{"\x16\0\x16\r\x16\x1b"s, "\0\r\x1b"s},		// Ctrl-V: as it is
		{"\x1b[D\x1bOC\x1b[H\x1bOF\x1b[A\x1bOB", "<left><right><home><end><earlier><later>"},
		{"\x1b[1~\x1b[7~\x1b[4~\x1b[8~\x1b[3~", "<home><home><end><end><del>"},
		{"\x1b[1;5D\x1b[5C\x1b" "b\x1b" "f\x1b" "d\x1b\x7f\x1b\x08",
		    "<word_left><word_right><word_left><word_right><kill_word><kill_word_back><kill_word_back>"},
		{"\x1b[15~\x1b[2;5A\x1bOQ\x1bx\x1b[1234567890123456789~a", "<none><none><none><none><none>a"},
		{"a\x1b", "a<none>"},				// a lone Escape
		{"\x1b[2D\x1b[1", "<none><none>"},		// cut short, as at the end
		{"a\x16", "a<none>"},
		{"\x1b[200~a\x1b", "<paste_begin>a\x1b"},
		{"\x1b[200~a\r\x01\x1b[A\x1b[201~b", "<paste_begin>a\r\x01\x1b[A<paste_end>b"},
		{"\x1b[200~a\x1b\x1b[201~", "<paste_begin>a\x1b<paste_end>"},
		{"\x1b[200~\x1b[20x\x1b[201", "<paste_begin>\x1b[20x\x1b[201"},
		{"\x1b[200~\x03\x1a\x1b[201~", "<paste_begin>\x03\x1a<paste_end>"},
		// Alt and a character past ASCII, or an arrow's sequence
		{"\x1b\xc3\xa9" "a\x1b\x1b[D\x1b\x1b[C\x1b\x1b[A\x1b\x1b", "<none>a<word_left><word_right><none><none>"},
		{"\x1b[1;3D\x1b[3C", "<word_left><word_right>"},
		{"\x1by\x1bt\x1bu\x1bl\x1b" "c\x12\x13\x07",
		    "<yank_pop><transpose_words><upper_word><lower_word><capitalize_word><search_back><search_forward><abort>"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(keys_of(c.bytes), c.keys) << testing::PrintToString(c.bytes);
	// a lone Escape waits half a second for what may follow it; a
	// sequence begun waits as long as it takes
	key_state st = {};
	EXPECT_EQ(parse_key(reinterpret_cast<const unsigned char *>("\x1b"), 1, &st, sk, false).wait, 500);
	EXPECT_EQ(parse_key(reinterpret_cast<const unsigned char *>("\x1b["), 2, &st, sk, false).wait, -1);
	// every printable byte and every byte past ASCII is text
	for (int b = 0x20; b < 0x100; b++) {
		std::string one(1, char(b));
		EXPECT_EQ(keys_of(one), b == 0x7f ? "<back_del>" : one);
	}
}

// The line before the first key and after each, typed through the key
// reader as the editor does: text, then "|" where the cursor is. It ends
// at the first key that fails. The buffer starts small and grows with the
// line, as where memory is tight. Where nth is not 0, the nth allocation
// and all after it fail; *at is then the state it failed in, 0 for the
// line's opening.
std::vector<std::string>
states(const std::string &start, const std::string &bytes, long nth, size_t *at)
{
	free_buffer();
	failing = fail::large;
	fail_count = LONG_MAX;
	armed = true;
	bool small = room(0) != nullptr;
	armed = false;
	failing = fail::from_nth;
	fail_count = nth;
	std::vector<std::string> out;
	line l;
	armed = nth > 0;
	bool ok = small && line_open(&l, start.data(), start.size(), start.size());
	auto state = [&] {
		armed = false;	// the test's own strings
		if (nth > 0 && fail_count <= 0 && *at == SIZE_MAX)
			*at = out.size();
		out.push_back(std::string(l.text, l.pos) + "|" + std::string(l.text + l.pos, l.len - l.pos));
	};
	if (ok)
		state();
	each_key(bytes, [&](const key &k) {
		armed = nth > 0;
		if (k.a != act::none)
			ok = k.a == act::text ? line_type(&l, reinterpret_cast<const char *>(k.text), k.n) :
			    line_do(&l, k.a) == outcome::edited;
		state();
		return ok;
	});
	armed = false;
	if (nth > 0 && fail_count <= 0 && *at == SIZE_MAX)
		*at = 0;
	if (small)
		line_close(&l);
	return out;
}

std::string
edited(const std::string &bytes)
{
	size_t at = SIZE_MAX;
	return states("", bytes, 0, &at).back();
}

// Keys typed into an empty line, and the line they leave.
const struct {
	std::string keys, want;
} line_cases[] = {
	{"ab\x1b[D\x1b[C" "c\r", "abc|"},		// right
	{"ab\x1bOD\x1bOC" "c\r", "abc|"},
	{"bc\x1b[Ha\x1b[Fd\r", "abcd|"},		// Home, End
	{"bc\x1bOHa\x1bOFd\r", "abcd|"},
	{"bc\x1b[1~a\x1b[4~d\r", "abcd|"},
	{"bc\x1b[7~a\x1b[8~d\r", "abcd|"},
	{"bc\x01" "a\x05" "d\r", "abcd|"},		// Ctrl-A, Ctrl-E
	{"ac\x02" "b\x06" "d\r", "abcd|"},		// Ctrl-B, Ctrl-F
	{"abx\x1b[D\x1b[3~c\r", "abc|"},		// Delete
	{"abx\x02\x04" "c\r", "abc|"},		// Ctrl-D in a line
	{"abx\x7f" "c\r", "abc|"},		// Backspace, both codes
	{"abx\x08" "c\r", "abc|"},
	{"xyabc\x02\x02\x02\x15\r", "abc|"},	// Ctrl-U
	{"abcxy\x02\x02\x0b\r", "abc|"},		// Ctrl-K
	{"abc def  \x17\r", "abc |"},		// Ctrl-W
	{"h\xc3\xa9\x02\x02x\r", "xh\xc3\xa9|"},	// UTF-8 moves as one
	{"a\xe2\x82\xac" "b\x02\x02\x7f\r", "\xe2\x82\xac" "b|"},
	{"\xf0\x9f\x98\x80z\x02\x02\x04\r", "z|"},
	{"\x80\xff\x02x\r", "\x80x\xff|"},		// invalid bytes are text
	{"\xf5\xf0\x9f\x02x\r", "\xf5\xf0x\x9f|"},
	{"\xc3" "a\x02x\r", "\xc3x" "a|"},
	{"\xc0\x80\xc1\xbf\x02x\r", "\xc0\x80\xc1x\xbf|"},	// overlong
	{"a\tb\x01\r", "a\tb|"},			// so are control bytes
	{"a\x1b[12345678901234567890~b\x1bOQc\r", "abc|"},
	{"\x7f\x17\x02\x01" "ab\x06\r", "ab|"},	// at either end, nothing
	{"abc def\x17\x01\x19\r", "defabc |"},	// Ctrl-Y yanks the kill
	{"abcd\x02\x02\x14\r", "acbd|"},		// Ctrl-T
	{"abc\x14\r", "acb|"},
	{"ab cd\x17\x1f\r", "ab cd|"},		// Ctrl-_ undoes a kill,
	{"x\x01" "ab\x1f\r", "x|"},			// and typing, as one
	{"abc def\x1b" "bX\r", "abc Xdef|"},		// Alt-b, Alt-f
	{"abc def\x01\x1b" "fX\r", "abcX def|"},
	{"abc def\x01\x1b" "f\x1b" "fX\r", "abc defX|"},
	{"e\xcc\x81x\x02\x02y\r", "ye\xcc\x81x|"},	// a mark moves with its letter
	{"abc def\x1b[1;5DX\x1b[1;5CY\r", "abc XdefY|"},	// Ctrl-arrows
	{"abc def\x01\x1b" "d\r", " def|"},		// Alt-d
	{"abc def\x1b\x7f\r", "abc |"},		// Alt-Backspace
	{"a\x16\x01" "b\r", "a\x01" "b|"},		// Ctrl-V
	{"abc\x02\x02\x7f\x1fX", "aX|bc"},		// undo puts the cursor back
	{"ab cd\x17\x17\x19", "ab cd|"},			// kills in a row, yanked as one
	{"abc def\x01\x0b\x15\x19", "abc def|"},
	{"ab\tcd\x17", "ab\t|"},				// Ctrl-W stops at a tab
	{"ab cd ef\x01\x1b" "d\x1b" "d\x05\x19", " efab cd|"},
	{"abc\x1b\x7f\x1b" "b", "|"},
	{"ab \xc3\xa9x\x1b\x7f", "ab |"},			// UTF-8 is word
	{"xy\x15" "abc\x0b\x19", "abcxy|"},		// an empty kill keeps the last
	{"abcd\x02\x14", "abdc|"},			// Ctrl-T
	{"h\xc3\xa9\x02\x14", "\xc3\xa9h|"},
	{"e\xcc\x81x\x02\x02y", "y|e\xcc\x81x"},		// a mark moves with its letter
	{"ab\x04\x01\x04\x04\x04", "|"},			// Ctrl-D deletes, then ends
	{"xy\x1b[D\x1b[3~\x1b[3~", "x|"},
	{"one two\x1b[1;5D\x1b[1;5D\x1b[1;5C", "one| two"},
	{"\xe0\x80\x80\x02", "\xe0\x80|\x80"},		// ill-formed: bytes
	{"\xed\xa0\x80\xf4\x90\x80\x80\x02\x02", "\xed\xa0\x80\xf4\x90|\x80\x80"},
	// bytes typed at the cursor that join those after it into one
	// character: the cursor goes after it, never inside
	{"\x80\x01\xe2\x82\x7f", "|"},
	{"\xcc\x81\x02x", "x\xcc\x81|"},			// a mark alone at the start
	{"e\xcc\x81\xcc\x82\x02x", "x|e\xcc\x81\xcc\x82"},	// two marks on one letter
	{"abc def\x17x\x17\x19", "abc x|"},		// typing ends a run of kills
	{"a\x03" "b\x1c" "c", "c|"},			// the interrupt and quit keys
	// the kill ring: Alt-y after a yank puts the kill before in its place
	{"aa \x17" "bb \x17" "cc \x17" "x \x19\x1by\x1by", "x aa |"},
	{"aa \x17" "x\x1by", "x|"},			// not after a yank: nothing
	// the word after the cursor in upper, lower, capital case, UTF-8 too
	{"one two\x01\x1b" "f\x1bu", "one TWO|"},
	{"ONE TWO\x01\x1bl", "one| TWO"},
	{"one tWO\x01\x1b" "c\x1b" "c", "One Two|"},
	{"\xc3\xa9t\xc3\xa9 \xc4\xb1\x01\x1bu\x1bu", "\xc3\x89T\xc3\x89 I|"},
	// the words around the cursor change places, at the end the last two
	{"one two\x1bt", "two one|"},
	{"one, two\x01\x1b" "f\x1bt", "two, one|"},
	{"one\x1bt", "one|"},
	// a character is a grapheme cluster: a flag, a family, a skin tone,
	// a keycap, Hangul jamo, marks
	{"a\xf0\x9f\x87\xab\xf0\x9f\x87\xb7" "b\x02\x02x", "ax|\xf0\x9f\x87\xab\xf0\x9f\x87\xb7" "b"},
	{"a\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7\x7f", "a|"},
	{"\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd" "1\xef\xb8\x8f\xe2\x83\xa3\x02\x14", "1\xef\xb8\x8f\xe2\x83\xa3\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd|"},
	{"\xe1\x84\x92\xe1\x85\xa1\xe1\x86\xab\x02x", "x|\xe1\x84\x92\xe1\x85\xa1\xe1\x86\xab"},
	{"x\xf0\x9f\x87\xab\x02\xf0\x9f\x87\xb7", "x\xf0\x9f\x87\xb7\xf0\x9f\x87\xab|"},	// joins a flag: after it
};

TEST(Line, KeysEditTheTextAndMoveTheCursor)
{
	for (const auto &c : line_cases)
		EXPECT_EQ(edited(c.keys), c.want) << testing::PrintToString(c.keys);
}

// The line after keys, over the history given, each line of which is
// kept first.
std::string
recalled(const std::vector<std::string> &history, const std::string &keys)
{
	line l;
	for (const std::string &h : history) {
		EXPECT_TRUE(line_open(&l, h.data(), h.size(), 0));
		line_remember(&l);
		line_close(&l);
	}
	return edited(keys);
}

TEST(Line, HistoryIsRecalledSearchedAndKeepsItsEdits)
{
	const struct {
		std::vector<std::string> history;
		std::string keys, want;
	} cases[] = {
		// neither a line the same as the one before nor one that gives
		// NULL is kept
		{{"zero", "first", "first", "a\0b"s}, "\x10\x10", "zero|"},
		{{"first"}, "draft\x10\x1f", "first|"},	// nothing to undo
		{{"first"}, "draft\x10\x0e", "draft|"},
		// a line shown keeps its edits while others are shown
		{{"first"}, "\x10X\x0e\x10", "firstX|"},
		{{}, "\x10", "first|"},		// until the line ends
		// Ctrl-R back, Ctrl-S on; Enter takes the line found, Ctrl-G
		// gives back the line searched from, another key ends it there
		{{"alpha one", "beta two", "alpha three"}, "x\x12" "alpha\r", "alpha three|"},
		{{}, "x\x12" "alpha\x12\r", "alpha one|"},
		{{}, "x\x12" "alpha\x12\x12\x13\r", "alpha three|"},
		{{}, "x\x12" "beta\x07", "x|"},
		{{}, "x\x12" "beta\x05!", "beta two!|"},
		{{}, "x\x12" "bet\x02", "|beta two"},
		{{}, "x\x12" "betz\x7f\x7f" "ta\r", "beta two|"},
		{{}, "x\x12\x12\r", "beta two|"},	// the last search again
		{{}, "x\x12" "zz\x07", "x|"},	// found nowhere
		{{}, "x\x12" "zzz\x7f\x7f\x7f" "al\r", "alpha three|"},
		// a character deleted from the query whole
		{{"caf\xc3\xa9", "cafe"}, "\x12" "f\xc3\xa9\x7f\r", "cafe|"},
		{{}, "\x12" "\xc3\xa9\x7f\x7f\r", "|"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(recalled(c.history, c.keys), c.want) << testing::PrintToString(c.keys);
}

// The last 64 changes are undone, each keeping only what it changed: a
// long paste and 64 keys after it cost about the paste.
TEST(Line, UndoKeepsWhatChanged)
{
	std::string keys;
	for (int i = 0; i < 70; i++)
		keys += "a\x02";
	EXPECT_EQ(edited(keys + std::string(65, '\x1f')), "|aaaaaa");
	line l;
	std::string paste(10u << 20, 'p');
	ASSERT_TRUE(line_open(&l, nullptr, 0, 0));
	ASSERT_TRUE(line_type(&l, paste.data(), paste.size()));
	for (int i = 0; i < 64; i++)
		ASSERT_EQ(line_do(&l, act::back_del), outcome::edited);
	size_t kept = 0;
	for (size_t i = 0; i < l.nundo; i++)
		kept += l.undo[i].out.n;
	EXPECT_EQ(kept, 64u);
	line_close(&l);
}

// Memory that runs out in a key leaves the line as the key would, or as
// it was: never in between, never emptied.
TEST(Line, AKeyWithNoMemoryIsDoneWholeOrNotAtAll)
{
	if (SANITIZED)
		GTEST_SKIP() << "the sanitizers' allocators cannot be made to fail";
	std::string longer(300, 'h');
	line l;
	ASSERT_TRUE(line_open(&l, longer.data(), longer.size(), longer.size()));
	line_remember(&l);
	line_close(&l);
	std::vector<std::pair<std::string, std::string>> rows = {
	    {longer, "ab\x1b[A\x1b[B\x1b[A\x1f"}, {"", "ab\x1b[A\x1b[B"},
	    {"", std::string(200, 'x') + "\x17\x1f"}};	// the line outgrows its buffer
	for (const auto &c : line_cases) {
		rows.emplace_back("", c.keys);
		rows.emplace_back("", std::string(126, 'x') + c.keys);	// past 128 bytes
	}
	for (const auto &[start, keys] : rows) {
		size_t at = SIZE_MAX;
		auto want = states(start, keys, 0, &at);
		for (long n = 1;; n++) {
			at = SIZE_MAX;
			auto got = states(start, keys, n, &at);
			if (at == SIZE_MAX) {
				EXPECT_EQ(got, want) << testing::PrintToString(keys);
				break;
			}
			if (at == 0)
				continue;	// the line could not be opened
			ASSERT_LT(at, got.size());
			EXPECT_TRUE(std::equal(got.begin(), got.begin() + long(at), want.begin()));
			EXPECT_TRUE(got[at] == want[at - 1] || got[at] == want[at])
			    << testing::PrintToString(keys) << " allocation " << n << ": "
			    << testing::PrintToString(got[at]);
		}
	}
}

// Random keys over random text: the cursor is always between characters,
// undo gives back the line and the cursor before each change, in turn,
// and a yank after a kill puts back what it killed.
TEST(Line, EveryChangeIsUndoneExactly)
{
	const act acts[] = {act::left, act::right, act::home, act::end, act::word_left,
	    act::word_right, act::back_del, act::del, act::kill_before, act::kill_after,
	    act::kill_word_before, act::kill_word_back, act::kill_word, act::yank,
	    act::transpose};
	const char *texts[] = {"a", " ", "\xc3\xa9", "\xe6\xbc\xa2", "e\xcc\x81", "\xff", "\t", "9"};
	std::mt19937 rng(1);
	for (int round = 0; round < 200; round++) {
		line l;
		ASSERT_TRUE(line_open(&l, nullptr, 0, 0));
		std::vector<std::pair<std::string, size_t>> before;
		for (int i = 0; i < 60; i++) {
			std::string was(l.text, l.len);
			size_t at = l.pos, changes = l.nundo;
			bool again = l.killing, typing = l.typing, typed = rng() % 3 == 0;
			act a = acts[rng() % std::size(acts)];
			if (typed) {
				const char *t = texts[rng() % std::size(texts)];
				ASSERT_TRUE(line_type(&l, t, strlen(t)));
			} else {
				ASSERT_EQ(line_do(&l, a), outcome::edited);
			}
			size_t p = 0;
			while (p < l.pos)
				p = next_cluster(l.text, p, l.len);
			ASSERT_EQ(p, l.pos) << "the cursor inside a character";
			// typing in a row is one change
			if (l.nundo > changes || (std::string(l.text, l.len) != was && !(typed && typing)))
				before.emplace_back(was, at);
			if (a == act::kill_after && !again && l.len < was.size()) {
				ASSERT_EQ(line_do(&l, act::yank), outcome::edited);
				ASSERT_EQ(std::string(l.text, l.len), was);
				ASSERT_EQ(line_do(&l, act::undo), outcome::edited);
			}
		}
		for (; !before.empty(); before.pop_back()) {
			ASSERT_EQ(line_do(&l, act::undo), outcome::edited);
			ASSERT_EQ(std::make_pair(std::string(l.text, l.len), l.pos), before.back());
		}
		EXPECT_EQ(l.nundo, 0u);
		line_close(&l);
	}
}

TEST(Screen, ARowShowsTheCursorAndAsMuchAsFits)
{
	const struct {
		std::string text;
		size_t pos, first, room;
		view want;
	} cases[] = {
		{"abcdef", 6, 0, 10, {0, 6, 6}},
		{"abcdef", 3, 0, 4, {0, 4, 3}},
		{"abcdef", 6, 0, 4, {3, 6, 3}},		// scrolled to the cursor
		{"abcdef", 1, 3, 4, {0, 4, 1}},		// and back
		{"abcdef", 5, 2, 4, {2, 6, 3}},		// kept while in sight
		{"abcdef", 6, 4, 4, {3, 6, 3}},		// the end in sight, as much as fits
		{"\xe6\xbc\xa2\xe5\xad\x97", 6, 0, 3, {3, 6, 2}},	// wide
		{"a\x01" "b", 3, 0, 10, {0, 3, 4}},		// ^A takes two
		{"", 0, 0, 0, {0, 0, 0}},
	};
	for (const auto &c : cases) {
		view v = sideways({c.text.data(), c.text.size(), c.pos}, {c.first, 0, 0}, c.room);
		EXPECT_EQ(v.first, c.want.first) << testing::PrintToString(c.text) << " " << c.pos;
		EXPECT_EQ(v.end, c.want.end) << testing::PrintToString(c.text) << " " << c.pos;
		EXPECT_EQ(v.at, c.want.at) << testing::PrintToString(c.text) << " " << c.pos;
	}
	const struct {
		std::string prompt;
		size_t width;
	} prompts[] = {
		{"\x1b]0;t\x07\x1b[1mab\x1b" "7\tc\x01", 9},	// title, colour, tab
		{"\x1b]0;t\x1b\\a\x1b]0;u", 1},		// ended by ESC \, and not
		{"a\x1b[1", 1},
		{"a\x1b]0;t\x1b", 1},
		{"\xe6\xbc\xa2\x1b", 2},
	};
	for (const auto &c : prompts)
		EXPECT_EQ(shown_width(c.prompt.data(), c.prompt.size()), c.width)
		    << testing::PrintToString(c.prompt);
}

// Where each cluster falls on rows cols wide, after lead columns, as a
// terminal fills cells: each cluster's columns in a row of cells, one
// that does not fit on the rest of its row after blank cells to the
// next. The place of each is its first cell, and the end's the one after.
TEST(Screen, EachClusterFallsWhereTheTerminalPutsIt)
{
	const std::string texts[] = {"", "abcdefghij", "ab\xe6\xbc\xa2" "cdef\xe5\xad\x97" "gh",
	    "\xe6\xbc\xa2\xe6\xbc\xa2\xe6\xbc\xa2\xe6\xbc\xa2",
	    "a\x01" "b\xc2\x85" "c\xf0\x9f\x87\xab\xf0\x9f\x87\xb7" "de\xcc\x81" "f"};
	for (const std::string &t : texts)
	for (size_t cols : {1, 2, 3, 4, 5, 7, 80})
	for (size_t lead : {0, 1, 3, 4, 6}) {
		std::vector<size_t> cells;	// a cell each column, a cluster's start in its first
		cells.assign(lead, SIZE_MAX);
		std::vector<size_t> starts;
		for (size_t p = 0; p < t.size(); p = next_cluster(t.data(), p, t.size())) {
			size_t w = cluster_width(t.data(), p, next_cluster(t.data(), p, t.size()));
			while (cells.size() % cols != 0 && cells.size() % cols + w > cols)
				cells.push_back(SIZE_MAX);
			starts.push_back(cells.size());
			cells.insert(cells.end(), w, p);
		}
		starts.push_back(cells.size());
		size_t i = 0;
		for (size_t p = 0;; p = next_cluster(t.data(), p, t.size()), i++) {
			spot got = spot_of({t.data(), t.size(), 0}, cols, lead, p);
			EXPECT_EQ(got.row * cols + got.col, starts[i]) << testing::PrintToString(t)
			    << " at " << p << ", " << cols << " columns after " << lead;
			if (p == t.size())
				break;
		}
	}
}

// Whether the terminal rewraps its rows on a resize, by what it says it is.
TEST(Screen, TheTerminalsKindTellsWhetherItRewraps)
{
	const struct {
		const char *term, *tmux, *xterm;
		bool want;
	} rows[] = {
		{"xterm-256color", nullptr, nullptr, true},	// VTE, kitty, most
		{"screen", "/tmp/tmux-0/default,1,0", nullptr, true},
		{"linux", "/tmp/tmux-0/default,1,0", nullptr, true},
		{"xterm", nullptr, "XTerm(379)", false},
		{"linux", nullptr, nullptr, false},
		{"rxvt-unicode", nullptr, nullptr, false},
		{nullptr, nullptr, nullptr, false},
	};
	std::string term = getenv("TERM") != nullptr ? getenv("TERM") : "";
	for (const auto &r : rows) {
		for (auto [name, v] : {std::pair{"TERM", r.term}, {"TMUX", r.tmux}, {"XTERM_VERSION", r.xterm}})
			(void)(v != nullptr ? setenv(name, v, 1) : unsetenv(name));
		EXPECT_EQ(rewraps(), r.want) << (r.term != nullptr ? r.term : "no TERM");
	}
	setenv("TERM", term.c_str(), 1);
}

// A child forked while the editor has the terminal takes the program's
// mode as its own, not the editor's, and gives that back.
TEST(Term, AChildForkedMidEditGivesBackTheProgramsMode)
{
	int pty = posix_openpt(O_RDWR | O_NOCTTY);
	ASSERT_TRUE(pty >= 0 && grantpt(pty) == 0 && unlockpt(pty) == 0);
	pid_t pid = fork();
	if (pid == 0) {
		int tty = open(ptsname(pty), O_RDWR | O_NOCTTY);
		bool ok = dup2(tty, 0) == 0 && at_terminal() && take_terminal() == taking::taken;
		// the child edits on the same terminal, then on another
		for (int other : {0, 1}) {
			pid_t child = fork();
			if (child == 0) {
				struct termios t;
				int pt = other ? posix_openpt(O_RDWR | O_NOCTTY) : -1;
				if (other && (grantpt(pt) != 0 || unlockpt(pt) != 0 ||
				    dup2(open(ptsname(pt), O_RDWR | O_NOCTTY), 0) != 0))
					child_exit(5);
				ok = ok && at_terminal() && take_terminal() == taking::taken;
				give_back();
				child_exit(ok && tcgetattr(0, &t) == 0 && (t.c_lflag & ICANON) ? 0 : 3);
			}
			int status = -1;
			waitpid(child, &status, 0);
			ok = ok && status == 0;
		}
		give_back();
		// given back for good, as quick_exit() does, not taken again
		ok = ok && !regain_terminal() && errno == EIO;
		child_exit(ok ? 0 : 4);
	}
	int status = -1;
	waitpid(pid, &status, 0);
	EXPECT_EQ(status, 0);
	close(pty);
}

// UTF-8 as Unicode defines it: a sequence is one character where it
// decodes to a code point of its own length, not a surrogate, at most
// U+10FFFF. Every first three bytes, and a fourth of each kind.
size_t
well_formed(const unsigned char *u, size_t len)
{
	size_t n = (u[0] & 0xe0) == 0xc0 ? 2 : (u[0] & 0xf0) == 0xe0 ? 3 : (u[0] & 0xf8) == 0xf0 ? 4 : 1;
	if (n == 1 || n > len)
		return 1;
	unsigned cp = u[0] & (0x7f >> n);
	for (size_t i = 1; i < n; i++) {
		if ((u[i] & 0xc0) != 0x80)
			return 1;
		cp = cp << 6 | (u[i] & 0x3f);
	}
	const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
	return cp < least[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff) ? 1 : n;
}

TEST(Chars, EachTakesItsColumns)
{
	const struct {
		std::string c;
		size_t width;
	} cases[] = {
		{"a", 1}, {"\x01", 2}, {"\x7f", 2}, {"\xc2\x85", 4}, {"\xc2\xa0", 1},
		{"\xcc\x81", 0}, {"\xe6\xbc\xa2", 2}, {"\xff", 1}, {"\r\n", 4},
		// emoji sequences: two, but for what a terminal was found to draw
		{"\xf0\x9f\x87\xab\xf0\x9f\x87\xb7", 2}, {"\xe2\x9d\xa4\xef\xb8\x8f", 2},
		{"1\xef\xb8\x8f\xe2\x83\xa3", 2}, {"\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd", 4},
		{"\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7", 2},
		{"e\xcc\x81\xcc\x82", 1}, {"\xe1\x84\x92\xe1\x85\xa1\xe1\x86\xab", 2},
	};
	learn_width(cluster_kind::modified, 4);	// as tmux 3.3a draws a skin tone
	for (const auto &c : cases)
		EXPECT_EQ(cluster_width(c.c.data(), 0, c.c.size()), c.width) << testing::PrintToString(c.c);
	learn_width(cluster_kind::modified, 0);
}

// The clusters against every line of Unicode's own test, but those with
// surrogates, which no well-formed UTF-8 holds; of the same version as
// the tables.
TEST(Chars, ClustersAreUnicodes)
{
	const char *path = "/usr/share/unicode/auxiliary/GraphemeBreakTest.txt";
	FILE *f = fopen(path, "r");
	char row[4096];
	if (f == nullptr || fgets(row, sizeof row, f) == nullptr ||
	    strstr(row, ("-"s + unicode_version + ".txt").c_str()) == nullptr)
		GTEST_SKIP() << path << " is not there, or not of Unicode " << unicode_version;
	int lines = 0;
	while (fgets(row, sizeof row, f) != nullptr) {
		std::string text;
		std::vector<size_t> want, got;
		bool surrogate = false;
		for (char *p = row; *p != '\0' && *p != '#';) {
			if (strncmp(p, "\xc3\xb7", 2) == 0) {	// ÷
				want.push_back(text.size());
				p += 2;
			} else if (strncmp(p, "\xc3\x97", 2) == 0 || *p == ' ' || *p == '\t') {
				p += *p == ' ' || *p == '\t' ? 1 : 2;
			} else {
				unsigned c = unsigned(strtoul(p, &p, 16));
				char u[4];
				surrogate = surrogate || (c >= 0xd800 && c <= 0xdfff);
				text.append(u, put_code_point(c, u));
			}
		}
		if (want.empty() || surrogate)
			continue;
		lines++;
		for (size_t p = 0; p < text.size(); p = next_cluster(text.data(), p, text.size()))
			got.push_back(p);
		got.push_back(text.size());
		EXPECT_EQ(got, want) << row;
		// and back, a cluster at a time
		std::vector<size_t> back = {text.size()};
		for (size_t p = text.size(); p > 0;)
			back.insert(back.begin(), p = prev_cluster(text.data(), p, text.size()));
		EXPECT_EQ(back, want) << row;
	}
	fclose(f);
	EXPECT_GT(lines, 500);
}

TEST(Chars, OneCharacterIsOneWellFormedSequence)
{
	const unsigned char fourth[] = {0x00, 0x7f, 0x80, 0x8f, 0x90, 0xbf, 0xc0, 0xff};
	for (unsigned a = 0; a < 0x100; a++)
		for (unsigned b = 0; b < 0x100; b++)
			for (unsigned c = 0; c < 0x100; c++)
				for (unsigned d : fourth)
					for (size_t len = a < 0xc0 ? 4 : 1; len <= 4; len++) {
						const unsigned char u[] = {
						    (unsigned char)a, (unsigned char)b, (unsigned char)c, (unsigned char)d};
						auto s = reinterpret_cast<const char *>(u);
						size_t want = well_formed(u, len);
						if (char_len(s, 0, len) != want)
							FAIL() << std::hex << a << " " << b << " " << c << " " << d
							       << " of " << len << ": not " << want;
					}
}

}
