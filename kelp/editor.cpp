// SPDX-License-Identifier: MIT
// libkelp's line editor. At a terminal the driver's own line editing keeps
// at most 4095 bytes of a line and knows no cursor keys, so the line is
// read here instead, a byte at a time in non-canonical mode, leaving what
// follows it for the next reader. It knows the usual Emacs-style keys,
// moves over a character as one and measures it in columns, and recalls
// the lines of earlier calls; a line longer than the row scrolls sideways
// on it, drawn from where the cursor was, so that whatever the row held
// before stays. The terminal's own keys for signals stay on, so that they
// reach the whole job; the terminal is given back as it was however the
// call ends.

#include "editor.h"
#include "buffer.h"
#include "width.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct termios saved, raw;	// the terminal as it was, and as edited
volatile sig_atomic_t editing;	// raw is in force
volatile sig_atomic_t redraw;	// the window changed: draw the line again
volatile sig_atomic_t resumed;	// back from a stop: prompt and line anew
volatile sig_atomic_t dropped;	// an interrupt or quit: the line is gone
volatile sig_atomic_t woken;	// a handler of the program's ends the wait
int tty = -1;			// where the line is drawn

// Bracketed paste, on while the editor has the terminal.
constexpr char paste_on[] = "\x1b[?2004h", paste_off[] = "\x1b[?2004l";

// The program's action for each signal the editor holds while it edits:
// every catchable one whose action ends or stops the process, and those
// its keys and a resize send, whatever their action.
struct sigaction theirs[NSIG], ours;
bool held[NSIG];

bool
handler(const struct sigaction &sa)
{
	return sa.sa_handler != SIG_DFL && sa.sa_handler != SIG_IGN;
}

// Async-signal-safe, as the handler uses them.
void
to_program()
{
	(void)tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
	(void)!write(tty, paste_off, sizeof paste_off - 1);
}

void
to_editor()
{
	(void)tcsetattr(STDIN_FILENO, TCSADRAIN, &raw);
	(void)!write(tty, paste_on, sizeof paste_on - 1);
}

void
on_signal(int sig)
{
	int saved_errno = errno;
	// as the terminal echoes them
	if ((sig == SIGINT || sig == SIGQUIT) && (saved.c_lflag & ECHO))
		(void)!write(tty, sig == SIGINT ? "^C" : "^\\", 2);
	// Only the default action, which ends or stops the process, needs
	// the terminal back; a handler returns, or exits through exit().
	bool ends = theirs[sig].sa_handler == SIG_DFL && sig != SIGWINCH;
	if (ends)
		to_program();
	// The program's own action, as though the library were not there:
	// the default ends or stops the process; a handler returns.
	sigaction(sig, &theirs[sig], nullptr);
	sigset_t one;
	sigemptyset(&one);
	sigaddset(&one, sig);
	pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
	(void)raise(sig);
	pthread_sigmask(SIG_BLOCK, &one, nullptr);
	sigaction(sig, &ours, nullptr);
	if (ends)
		to_editor();
	if (handler(theirs[sig]) && !(theirs[sig].sa_flags & SA_RESTART))
		woken = 1;
	if (sig == SIGINT || sig == SIGQUIT)
		dropped = 1;
	if (sig == SIGTSTP && theirs[sig].sa_handler == SIG_DFL)
		resumed = 1;
	redraw = 1;
	errno = saved_errno;
}

// Taking the terminal and giving it back go one at a time, as
// quick_exit() may give it back from another thread while one takes it;
// with signals blocked, so that no handler waits for the lock. But for
// SIGTTOU as the terminal is taken: a background job stops there, as
// without the editor.
pthread_mutex_t state = PTHREAD_MUTEX_INITIALIZER;

void
lock_state(sigset_t *was, bool taking)
{
	sigset_t all;
	sigfillset(&all);
	if (taking)
		sigdelset(&all, SIGTTOU);
	pthread_sigmask(SIG_BLOCK, &all, was);
	pthread_mutex_lock(&state);
}

void
unlock_state(const sigset_t *was)
{
	pthread_mutex_unlock(&state);
	pthread_sigmask(SIG_SETMASK, was, nullptr);
}

// The signals the editor holds back as they were, but for one the
// program has set since, from another thread.
void
handlers_back()
{
	for (int sig = 1; sig < NSIG; sig++) {
		struct sigaction now;
		if (held[sig] && sigaction(sig, nullptr, &now) == 0 &&
		    now.sa_handler == on_signal)
			sigaction(sig, &theirs[sig], nullptr);
	}
}

// The terminal and the signals back as they were. The handlers go
// first: while they are in place, the terminal is the editor's.
void
given_back()
{
	if (editing) {
		handlers_back();
		to_program();
		editing = 0;
	}
	for (bool &h : held)
		h = false;
	if (tty >= 0) {
		close(tty);
		tty = -1;
	}
}

void
give_back()
{
	sigset_t was;
	lock_state(&was, false);
	given_back();
	unlock_state(&was);
}

bool
take_terminal()
{
	sigset_t was;
	lock_state(&was, true);
	raw = saved;
	// CR still arrives as a newline, as canonical mode would give what
	// is typed after the line to the next reader.
	raw.c_iflag &= ~(BRKINT | INLCR | IGNCR | ISTRIP | IXON);
	raw.c_lflag &= ~(ECHO | ICANON | IEXTEN);
	raw.c_cc[VMIN] = 1;
	raw.c_cc[VTIME] = 0;
	ours.sa_handler = on_signal;
	sigfillset(&ours.sa_mask);
	ours.sa_flags = SA_RESTART;
	editing = 1;
	redraw = 0;
	resumed = 0;
	dropped = 0;
	woken = 0;
	for (int sig = 1; sig < NSIG; sig++) {
		struct sigaction now;
		bool always = sig == SIGINT || sig == SIGQUIT || sig == SIGTERM ||
		    sig == SIGHUP || sig == SIGTSTP || sig == SIGWINCH;
		bool harmless = sig == SIGKILL || sig == SIGSTOP || sig == SIGCHLD ||
		    sig == SIGCONT || sig == SIGURG || sig == SIGTTIN || sig == SIGTTOU;
		// the C library's own signals cannot be asked for
		if (harmless || sigaction(sig, nullptr, &now) != 0 ||
		    (!always && now.sa_handler != SIG_DFL))
			continue;
		theirs[sig] = now;
		held[sig] = true;
		sigaction(sig, &ours, nullptr);
	}
	bool taken = tcsetattr(STDIN_FILENO, TCSADRAIN, &raw) == 0;
	if (taken)
		(void)!write(tty, paste_on, sizeof paste_on - 1);
	else
		given_back();
	unlock_state(&was);
	return taken;
}

// What is drawn goes out in pieces of this size.
struct out {
	char b[1024];
	size_t n;
};

void
flush(out *o)
{
	for (size_t off = 0; off < o->n;) {
		ssize_t w = write(tty, o->b + off, o->n - off);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			break;
		off += static_cast<size_t>(w);
	}
	o->n = 0;
}

void
put(out *o, const char *s, size_t n)
{
	while (n > 0) {
		if (o->n == sizeof o->b)
			flush(o);
		size_t k = n < sizeof o->b - o->n ? n : sizeof o->b - o->n;
		memcpy(o->b + o->n, s, k);
		o->n += k;
		s += k;
		n -= k;
	}
}

void
puts_(out *o, const char *s)
{
	put(o, s, strlen(s));
}

void
say(const char *s)
{
	out o;
	o.n = 0;
	puts_(&o, s);
	flush(&o);
}

// The bytes of the UTF-8 sequence that starts at p, when it is whole and
// well formed, else 1.
size_t
char_len(const char *s, size_t p, size_t len)
{
	auto u = reinterpret_cast<const unsigned char *>(s);
	size_t n = u[p] >= 0xf0 && u[p] <= 0xf4 ? 4 : u[p] >= 0xe0 ? 3 :
	    u[p] >= 0xc2 && u[p] < 0xe0 ? 2 : 1;
	if (u[p] >= 0xf5 || p + n > len)
		return 1;
	for (size_t i = 1; i < n; i++)
		if ((u[p + i] & 0xc0) != 0x80)
			return 1;
	return n;
}

// The code point of the sequence of n bytes, two or more, at s.
unsigned
code_point(const char *s, size_t n)
{
	auto u = reinterpret_cast<const unsigned char *>(s);
	unsigned c = u[0] & (0x7f >> n);
	for (size_t i = 1; i < n; i++)
		c = c << 6 | (u[i] & 0x3f);
	return c;
}

template <size_t n>
bool
in(const range (&r)[n], unsigned c)
{
	size_t lo = 0, hi = n;
	while (lo < hi) {
		size_t mid = (lo + hi) / 2;
		if (c > r[mid].last)
			lo = mid + 1;
		else if (c < r[mid].first)
			hi = mid;
		else
			return true;
	}
	return false;
}

// Columns the character at p takes: a control byte shows as ^X, a wide
// one takes two, a combining mark none.
size_t
width(const char *s, size_t p, size_t len)
{
	auto c = static_cast<unsigned char>(s[p]);
	if (c < 0x20 || c == 0x7f)
		return 2;
	size_t n = char_len(s, p, len);
	if (n == 1)
		return 1;
	unsigned cp = code_point(s + p, n);
	return in(zero, cp) ? 0 : in(wide, cp) ? 2 : 1;
}

// The next character, with the marks that combine with it; and the one
// before.
size_t
next_char(const char *s, size_t p, size_t len)
{
	p += char_len(s, p, len);
	while (p < len && width(s, p, len) == 0)
		p += char_len(s, p, len);
	return p;
}

size_t
prev_char(const char *s, size_t p, size_t len)
{
	for (;;) {
		size_t q = p - 1;
		for (size_t k = p < 4 ? p : 4; k > 1; k--)
			if (char_len(s, p - k, len) == k) {
				q = p - k;
				break;
			}
		p = q;
		if (p == 0 || width(s, p, len) != 0)
			return p;
	}
}

// What a prompt shows: escape sequences (CSI, OSC and the rest) take no
// columns, and a tab goes on to the next multiple of eight.
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
			w += width(s, p, len);
			p += char_len(s, p, len);
		}
	}
	return w;
}

// A growing byte string of the editor's own.
struct bytes {
	char *b;
	size_t n;
};

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

// Kept across calls: the lines returned, newest last; the text last
// killed; what was typed when a wait was ended by a signal or a cancel;
// and what was typed while the terminal was asked for the cursor.
constexpr size_t history_size = 100;
bytes history[history_size];
size_t nhistory;
bytes killed, unfinished, ahead;
size_t ahead_at;

void
remember(const char *s, size_t n)
{
	if (n == 0 || (nhistory > 0 && history[nhistory - 1].n == n &&
	    memcmp(history[nhistory - 1].b, s, n) == 0))
		return;
	if (nhistory == history_size) {
		free(history[0].b);
		memmove(history, history + 1, (history_size - 1) * sizeof *history);
		history[--nhistory] = {nullptr, 0};
	}
	if (set(&history[nhistory], s, n))
		nhistory++;
}

// Undo keeps a copy of the line before each change, the last so many.
constexpr size_t undo_size = 64;

struct line {
	const char *prompt;	// the last row of the prompt, when shown here
	size_t plen, pwidth;
	char *text;
	size_t len, pos;	// bytes, and the cursor's place among them
	size_t first;		// the first byte shown
	size_t start;		// the column the line starts in, on its row
	size_t origin;		// where it starts in the terminal's own line,
				// which one that rewraps keeps over a resize
	size_t from;		// where it is drawn from in that line now
	size_t cols, at;	// the width, and the cursor's column from start,
				// as last drawn
	bool placed;		// start is known
	bool unasked;		// the terminal did not say where its cursor was
	bool fresh;		// on a new row: the prompt is drawn first
	size_t typed;		// bytes the terminal holds, as last asked
	size_t at_history;	// the line of history shown; nhistory: none
	bytes draft;		// the line being typed, while history is shown
	bytes undo[undo_size];
	size_t nundo;
	bool inserting;		// the last change inserted typed text
	bytes batch;		// typed text not yet in the line
	bool done;		// returning: nothing to keep
};

// Where the terminal's cursor is, from 0.
struct place {
	size_t row, col;
};

bool cursor_at(place *at);
bool more_typed(line *l);

// The window's width changed since the line was drawn. A terminal that
// rewraps its lines has put the cursor where its place in the line falls
// now, the line going on over rows above and below it; one that does not
// has cut the row short. Where the terminal says the cursor is tells
// which.
void
resized(line *l, size_t cols, out *o)
{
	size_t was = l->start + l->at, in_line = l->from + l->at;
	size_t cut = was < cols ? was : cols - 1;
	place now = {0, cut};
	if (!l->unasked && !more_typed(l) && !cursor_at(&now))
		l->unasked = true;
	if (now.col == cut || now.col != in_line % cols)
		return;
	// Rewrapped: up to where the line starts, or as far up as the
	// screen goes; the rows above that are drawn on once in reach.
	size_t up = in_line / cols - l->origin / cols;
	l->from = l->origin;
	if (up > now.row) {
		up = now.row;
		l->from = (in_line / cols - up) * cols;
	}
	l->start = l->from % cols;
	char move[32];
	(void)snprintf(move, sizeof move, "\x1b[%zuA", up);
	if (up > 0)
		puts_(o, move);
}

// Draws as much of the line as the row holds after its start, the
// cursor always among it; on a new row, the prompt first. The start is
// where the cursor was when the line was first drawn, once something was
// typed: by then another program writing to the terminal, as one that
// prints the prompt from a pipe, has written.
void
draw(line *l)
{
	// With echo off, as for a password, nothing typed is shown.
	if (!(saved.c_lflag & ECHO))
		return;
	struct winsize ws;
	size_t cols = ioctl(tty, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
	out o;
	o.n = 0;
	bool below = false;
	if (!l->placed && !l->fresh) {
		// Asked only with nothing typed ahead, which the answer would
		// come after: what follows the line is the next reader's.
		place now = {0, l->pwidth % cols};
		if (!more_typed(l) && !cursor_at(&now))
			l->unasked = true;
		l->start = now.col;
		l->origin = l->from = l->start;
	} else if (!l->fresh && cols != l->cols) {
		resized(l, cols, &o);
		below = true;
	}
	l->placed = true;
	if (l->fresh) {
		puts_(&o, "\r");
		put(&o, l->prompt, l->plen);
		// A prompt that ends at the edge leaves the cursor there, the
		// terminal waiting to wrap; the line goes on the next row.
		bool full = l->pwidth > 0 && l->pwidth % cols == 0;
		if (full)
			puts_(&o, "\r\n");
		l->origin = l->from = full ? 0 : l->pwidth;
		l->start = l->pwidth % cols;
		l->fresh = false;
	}
	char move[32];
	if (l->start > 0 && l->start + 2 >= cols) {
		// No room on the row after the prompt: the line goes on the
		// next.
		(void)snprintf(move, sizeof move, "\r\x1b[%zuC\x1b[K", l->start);
		if (l->start < cols)
			puts_(&o, move);
		puts_(&o, "\r\n");
		l->start = l->origin = l->from = 0;
	}
	// The last column stays free, so that the terminal never wraps.
	size_t room = cols > l->start + 1 ? cols - l->start - 1 : 0;
	size_t lo = l->pos, fits = 0;
	while (lo > 0) {
		size_t p = prev_char(l->text, lo, l->len), w = 0;
		for (size_t q = p; q < lo; q += char_len(l->text, q, l->len))
			w += width(l->text, q, l->len);
		if (fits + w >= room)
			break;
		fits += w;
		lo = p;
	}
	// Where the end of the line fits, as much as fits is shown.
	size_t tail = l->len;
	for (size_t w = 0; tail > lo;) {
		size_t p = prev_char(l->text, tail, l->len);
		for (size_t q = p; q < tail; q += char_len(l->text, q, l->len))
			w += width(l->text, q, l->len);
		if (w >= room)
			break;
		tail = p;
	}
	if (l->first > l->pos || l->first < lo)
		l->first = lo;
	if (tail <= l->pos && tail < l->first)
		l->first = tail;
	(void)snprintf(move, sizeof move, "\r\x1b[%zuC", l->start);
	puts_(&o, l->start > 0 ? move : "\r");
	size_t w = 0, at = 0;
	for (size_t p = l->first; p < l->len;) {
		size_t n = char_len(l->text, p, l->len), cw = width(l->text, p, l->len);
		if (w + cw > room)
			break;
		if (cw == 2 && n == 1) {
			char caret[2] = {'^', static_cast<char>(l->text[p] ^ 0x40)};
			put(&o, caret, 2);
		} else {
			put(&o, l->text + p, n);
		}
		if (p < l->pos)
			at += cw;
		w += cw;
		p += n;
	}
	puts_(&o, below ? "\x1b[J" : "\x1b[K");
	(void)snprintf(move, sizeof move, "\r\x1b[%zuC", l->start + at);
	puts_(&o, l->start + at > 0 ? move : "\r");
	flush(&o);
	l->cols = cols;
	l->at = at;
}

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

// The whole line becomes s.
bool
replace(line *l, const char *s, size_t n)
{
	l->len = l->pos = 0;
	return insert(l, s, n);
}

// A copy of the line for undo, before a change. Typing in a row is one
// change.
void
before_change(line *l, bool inserting)
{
	if (inserting && l->inserting)
		return;
	l->inserting = inserting;
	if (l->nundo == undo_size) {
		free(l->undo[0].b);
		memmove(l->undo, l->undo + 1, (undo_size - 1) * sizeof *l->undo);
		l->undo[--l->nundo] = {nullptr, 0};
	}
	if (set(&l->undo[l->nundo], l->text, l->len))
		l->nundo++;
}

void
kill_text(line *l, size_t a, size_t b)
{
	if (a == b)
		return;
	before_change(l, false);
	(void)set(&killed, l->text + a, b - a);
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

// The line of history at i, or the draft when i is past the last.
void
show_history(line *l, size_t i)
{
	if (l->at_history == nhistory && !set(&l->draft, l->text, l->len))
		return;
	const bytes &t = i == nhistory ? l->draft : history[i];
	if (replace(l, t.b, t.n)) {
		l->at_history = i;
		l->inserting = false;
	}
}

enum next { got, ended, failed, signalled };

// Whether a wait that a handler of the program's ended should go on: it
// ends unless every handler not the editor's is installed with
// SA_RESTART, as a read would. Handlers for faults, as the sanitizers
// install, do not count: a fault never comes while a thread waits.
bool
others_restart()
{
	for (int sig = 1; sig < NSIG; sig++) {
		struct sigaction sa;
		bool fault = sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE ||
		    sig == SIGILL || sig == SIGTRAP;
		if (!held[sig] && !fault && sigaction(sig, nullptr, &sa) == 0 &&
		    handler(sa) && !(sa.sa_flags & SA_RESTART))
			return false;
	}
	return true;
}

// The next byte from the terminal. A wait is a poll, which a signal ends
// whatever its flags, so that a resized window is drawn again at once.
next
next_byte(line *l, unsigned char *c)
{
	for (;;) {
		// what came while the terminal was asked for its cursor first
		if (ahead_at < ahead.n) {
			*c = static_cast<unsigned char>(ahead.b[ahead_at++]);
			return got;
		}
		if (dropped || woken)
			return signalled;
		if (l->typed == 0) {
			if (redraw) {
				redraw = 0;
				if (resumed) {
					resumed = 0;
					l->fresh = true;
				}
				draw(l);
				continue;
			}
			struct pollfd p = {STDIN_FILENO, POLLIN, 0};
			if (poll(&p, 1, -1) < 0 && errno == EINTR) {
				if (!others_restart())
					woken = 1;
				continue;
			}
		}
		ssize_t n = read(STDIN_FILENO, c, 1);
		if (n > 0 && l->typed > 0)
			l->typed--;
		if (n > 0)
			return got;
		if (n == 0 || errno != EINTR)
			return n == 0 ? ended : failed;
	}
}

// Whether more is typed already: a paste is drawn once it is all in.
bool
more_typed(line *l)
{
	int n;
	if (ahead_at < ahead.n)
		return true;
	if (l->typed == 0 && ioctl(STDIN_FILENO, FIONREAD, &n) == 0 && n > 0)
		l->typed = static_cast<size_t>(n);
	return l->typed > 0;
}

// The terminal's answer to where its cursor is; what is typed meanwhile
// is kept for the editor. False where no answer comes.
bool
answer(place *at)
{
	char reply[32];
	size_t n = 0;
	struct pollfd p = {STDIN_FILENO, POLLIN, 0};
	for (;;) {
		unsigned char c;
		int ready = poll(&p, 1, 500);
		if (ready < 0 && errno == EINTR)
			continue;
		if (ready <= 0 || read(STDIN_FILENO, &c, 1) != 1)
			break;
		bool fits = n < sizeof reply - 1 && (n == 0 ? c == 0x1b : n == 1 ? c == '[' :
		    (c >= '0' && c <= '9') || c == ';' || c == 'R');
		if (!fits) {
			(void)append(&ahead, reply, n);
			n = 0;
			if (c != 0x1b) {
				char byte = static_cast<char>(c);
				(void)append(&ahead, &byte, 1);
				continue;
			}
		}
		reply[n++] = static_cast<char>(c);
		if (c == 'R') {
			reply[n] = '\0';
			char *end;
			unsigned long y = strtoul(reply + 2, &end, 10), x;
			if (*end != ';' || y == 0 || (x = strtoul(end + 1, &end, 10)) == 0)
				return false;
			*at = {y - 1, x - 1};
			return true;
		}
	}
	(void)append(&ahead, reply, n);
	return false;
}

// Where the cursor is. Not cancelled part way through the answer, whose
// rest the next call would take for keys.
bool
cursor_at(place *at)
{
	int cancel;
	pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel);
	say("\x1b[6n");
	bool known = answer(at);
	pthread_setcancelstate(cancel, nullptr);
	return known;
}

// The rest of an escape sequence: the keys it names, and nothing else.
enum key {
	none, left, right, home, end, del, up, down, word_left, word_right,
	kill_word, kill_word_back, paste_begin, paste_end
};

key
escape(line *l)
{
	unsigned char c, d;
	struct pollfd p = {STDIN_FILENO, POLLIN, 0};
	// A lone Escape is dropped, once nothing follows it soon.
	int ready = 1;
	if (ahead_at == ahead.n)
		while ((ready = poll(&p, 1, 50)) < 0 && errno == EINTR)
			;
	if (ready <= 0 || next_byte(l, &c) != got)
		return none;
	if (c == 'b' || c == 'f' || c == 'd')
		return c == 'b' ? word_left : c == 'f' ? word_right : kill_word;
	if (c == 0x7f || c == 8)
		return kill_word_back;
	if (c == 'O')
		return next_byte(l, &d) != got ? none : d == 'C' ? right :
		    d == 'D' ? left : d == 'H' ? home : d == 'F' ? end :
		    d == 'A' ? up : d == 'B' ? down : none;
	if (c != '[')
		return none;
	char params[16];
	size_t n = 0;
	for (;;) {
		if (next_byte(l, &d) != got)
			return none;
		if (d >= 0x40 && d <= 0x7e)
			break;		// the final byte
		if (n < sizeof params - 1)
			params[n++] = static_cast<char>(d);
	}
	params[n] = '\0';
	auto is = [&](const char *name) { return strcmp(params, name) == 0; };
	bool plain = n == 0, ctrl = is("1;5") || is("5");
	if (d == 'C' || d == 'D')
		return plain ? (d == 'C' ? right : left) :
		    ctrl ? (d == 'C' ? word_right : word_left) : none;
	if (plain)
		return d == 'H' ? home : d == 'F' ? end : d == 'A' ? up :
		    d == 'B' ? down : none;
	if (d != '~')
		return none;
	return is("1") || is("7") ? home : is("4") || is("8") ? end :
	    is("3") ? del : is("200") ? paste_begin : is("201") ? paste_end : none;
}

// Inside a paste: whether the Escape just read begins its end, which is
// taken; if not, it and the bytes read after it are text, and go in, but
// for an Escape among them, which may begin the end in turn.
bool
paste_ends(line *l)
{
	const char tail[] = "[201~";
	for (;;) {
		char seen[sizeof tail];
		size_t n = 0;
		unsigned char c = 0;
		while (n < sizeof tail - 1 && next_byte(l, &c) == got) {
			seen[n++] = static_cast<char>(c);
			if (c != static_cast<unsigned char>(tail[n - 1]))
				break;
		}
		if (n == sizeof tail - 1 && memcmp(seen, tail, n) == 0)
			return true;
		bool again = n > 0 && c == 0x1b;
		(void)insert(l, "\x1b", 1);
		(void)insert(l, seen, again ? n - 1 : n);
		if (!again)
			return false;
	}
}

// Typed text waits while more is typed, so that a paste goes in at once
// wherever the cursor is.
bool
flush_batch(line *l)
{
	bool ok = l->batch.n == 0 || insert(l, l->batch.b, l->batch.n);
	l->batch.n = 0;
	return ok;
}

void
cleanup(void *arg)
{
	// Cancelled: what was typed is kept for the next call.
	auto l = static_cast<line *>(arg);
	if (!l->done && l->text != nullptr && flush_batch(l))
		(void)set(&unfinished, l->text, l->len);
	free(l->draft.b);
	free(l->batch.b);
	for (size_t i = 0; i < l->nundo; i++)
		free(l->undo[i].b);
	give_back();
}

// A child forked while a thread edits does not own the terminal: the
// parent's thread gives it back, and the child's signals act as the
// program set them.
void
in_child()
{
	// the lock a thread of the parent's may have held
	pthread_mutex_init(&state, nullptr);
	if (editing) {
		handlers_back();
		editing = 0;
	}
	for (bool &h : held)
		h = false;
	if (tty >= 0)
		close(tty);
	tty = -1;
}

void
at_quick_exit_()
{
	give_back();
}

[[gnu::constructor]] void
init()
{
	(void)pthread_atfork(nullptr, nullptr, in_child);
	(void)at_quick_exit(at_quick_exit_);
}

}

bool
at_terminal()
{
	const char *term = getenv("TERM");
	return term != nullptr && *term != '\0' && strcmp(term, "dumb") != 0 &&
	    tcgetattr(STDIN_FILENO, &saved) == 0;
}

long
edit_line(const char *prompt, size_t plen)
{
	// The terminal opened again for writing, as stdin may be read-only:
	// through /proc, as ttyname() would, without its static buffer.
	// Not cancelled before the cleanup that gives the terminal back is
	// in place.
	int cancel;
	pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel);
	tty = open("/proc/self/fd/0", O_WRONLY | O_NOCTTY | O_CLOEXEC);
	if (tty < 0 || !take_terminal()) {
		give_back();
		pthread_setcancelstate(cancel, nullptr);
		return -2;
	}
	line l = {};
	l.prompt = prompt;
	l.plen = plen;
	l.pwidth = shown_width(prompt, plen);
	l.text = room(0);
	l.at_history = nhistory;
	long r = -1;
	pthread_cleanup_push(cleanup, &l);
	pthread_setcancelstate(cancel, nullptr);
	if (l.text == nullptr || (unfinished.n > 0 && !insert(&l, unfinished.b, unfinished.n))) {
		errno = ENOMEM;
	} else {
		unfinished.n = 0;
		if (l.len > 0)
			draw(&l);
		unsigned char c;
		next got_one;
		bool pasting = false;
		while ((got_one = next_byte(&l, &c)) != failed) {
			if (got_one == ended) {
				errno = 0;
				break;
			}
			// A byte of text waits with those before it while more
			// is typed; the rest take them first.
			if (got_one != got && !flush_batch(&l)) {
				errno = ENOMEM;
				break;
			}
			if (got_one == signalled && woken) {
				if (!dropped)
					(void)set(&unfinished, l.text, l.len);
				errno = EINTR;
				break;
			}
			if (got_one == signalled) {	// an interrupt or quit
				dropped = 0;
				l.len = l.pos = l.first = 0;
				l.fresh = true;
				if (saved.c_lflag & ECHO)
					say("\r\n");
				draw(&l);
				continue;
			}
			// A paste is text, newlines and all, but for its end.
			bool text_byte = pasting ? c != 0x1b :
			    c >= 0x20 ? c != 0x7f : c == '\t';
			if (text_byte) {
				before_change(&l, true);
				char byte = static_cast<char>(c);
				if (!append(&l.batch, &byte, 1)) {
					errno = ENOMEM;
					break;
				}
				if (more_typed(&l))
					continue;
			}
			if (!flush_batch(&l)) {
				errno = ENOMEM;
				break;
			}
			size_t at = l.pos;
			key k = none;
			bool typed_text = false;
			if (text_byte) {
				;
			} else if (c == '\n' || c == '\r') {
				l.pos = l.len;
				draw(&l);
				r = static_cast<long>(l.len);
				break;
			} else if (pasting) {
				pasting = !paste_ends(&l);
			} else if (c == 4) {	// Ctrl-D
				if (l.len == 0) {
					errno = 0;
					break;
				}
				k = del;
			} else if (c == 0x1b) {
				k = escape(&l);
			} else if (c == 1) {
				k = home;
			} else if (c == 5) {
				k = end;
			} else if (c == 2) {
				k = left;
			} else if (c == 6) {
				k = right;
			} else if (c == 0x10) {
				k = up;
			} else if (c == 0x0e) {
				k = down;
			} else if (c == 0x7f || c == 8) {
				if (l.pos > 0) {
					before_change(&l, false);
					erase(&l, prev_char(l.text, l.pos, l.len), l.pos);
				}
			} else if (c == 0x15) {	// Ctrl-U
				kill_text(&l, 0, l.pos);
			} else if (c == 0x0b) {	// Ctrl-K
				kill_text(&l, l.pos, l.len);
			} else if (c == 0x17) {	// Ctrl-W: the word before, to a space
				while (at > 0 && l.text[at - 1] == ' ')
					at--;
				while (at > 0 && l.text[at - 1] != ' ')
					at--;
				kill_text(&l, at, l.pos);
			} else if (c == 0x19) {	// Ctrl-Y
				before_change(&l, false);
				if (killed.n > 0 && !insert(&l, killed.b, killed.n)) {
					errno = ENOMEM;
					break;
				}
			} else if (c == 0x14 && l.len > 0 && l.pos > 0) {	// Ctrl-T
				size_t b = l.pos < l.len ? next_char(l.text, l.pos, l.len) : l.len;
				size_t m = prev_char(l.text, b, l.len);
				size_t a = m > 0 ? prev_char(l.text, m, l.len) : m;
				if (a < m) {
					before_change(&l, false);
					bytes t = {nullptr, 0};
					if (set(&t, l.text + a, m - a)) {
						memmove(l.text + a, l.text + m, b - m);
						memcpy(l.text + a + (b - m), t.b, t.n);
						l.pos = b;
					}
					free(t.b);
				}
			} else if (c == 0x1f) {	// Ctrl-_: undo
				if (l.nundo > 0) {
					bytes &u = l.undo[--l.nundo];
					(void)replace(&l, u.b, u.n);
					free(u.b);
					u = {nullptr, 0};
				}
				l.inserting = false;
			} else if (c == 0x0c) {	// Ctrl-L
				say("\x1b[H\x1b[2J");
				l.fresh = true;
			} else if (c == 0x16) {	// Ctrl-V: the next byte as it is
				typed_text = next_byte(&l, &c) == got;
			}
			if (typed_text) {
				char byte = static_cast<char>(c);
				before_change(&l, true);
				if (!insert(&l, &byte, 1)) {
					errno = ENOMEM;
					break;
				}
			} else if (c != 0x1f && !text_byte) {
				l.inserting = false;
			}
			if (k == left && l.pos > 0)
				l.pos = prev_char(l.text, l.pos, l.len);
			else if (k == right && l.pos < l.len)
				l.pos = next_char(l.text, l.pos, l.len);
			else if (k == home)
				l.pos = 0;
			else if (k == end)
				l.pos = l.len;
			else if (k == word_left)
				l.pos = word_start(&l);
			else if (k == word_right)
				l.pos = word_end(&l);
			else if (k == kill_word)
				kill_text(&l, l.pos, word_end(&l));
			else if (k == kill_word_back)
				kill_text(&l, word_start(&l), l.pos);
			else if (k == del && l.pos < l.len) {
				before_change(&l, false);
				erase(&l, l.pos, next_char(l.text, l.pos, l.len));
			} else if (k == up && l.at_history > 0)
				show_history(&l, l.at_history - 1);
			else if (k == down && l.at_history < nhistory)
				show_history(&l, l.at_history + 1);
			else if (k == paste_begin)
				pasting = true;
			if (!more_typed(&l))
				draw(&l);
		}
		if (r >= 0) {
			remember(l.text, l.len);
			if (saved.c_lflag & ECHO)
				say("\r\n");
		}
	}
	l.done = true;
	pthread_cleanup_pop(1);
	return r;
}

bool
handlers_restart()
{
	return others_restart();
}

void
end_editing()
{
	give_back();
}
