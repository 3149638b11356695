// SPDX-License-Identifier: MIT
// libkelp's line editor. At a terminal the driver's own line editing keeps
// at most 4095 bytes of a line and knows no cursor keys, so the line is
// read here instead, a byte at a time in non-canonical mode, leaving what
// follows it for the next reader. It knows the usual Emacs-style keys and
// moves over a UTF-8 character as one; a line longer than the terminal is
// wide scrolls sideways on its one row. It keeps no history and completes
// nothing. The terminal is given back as it was however the call ends.

#include "editor.h"
#include "buffer.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct termios saved, raw;	// the terminal as it was, and as edited
volatile sig_atomic_t editing;	// raw is in force
volatile sig_atomic_t redraw;	// a signal came: draw the line again
int tty = -1;			// where the line is drawn

// Signals whose action must find the terminal as the program left it;
// SIGWINCH only asks for the line to be drawn again.
constexpr int caught[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP, SIGWINCH};
constexpr int ncaught = sizeof caught / sizeof caught[0];
struct sigaction theirs[ncaught], ours;

void
on_signal(int sig)
{
	int saved_errno = errno;
	int i = 0;
	while (caught[i] != sig)
		i++;
	if (sig != SIGWINCH)
		(void)tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
	// The program's own action, as though the library were not there:
	// the default ends or stops the process; a handler returns.
	sigaction(sig, &theirs[i], nullptr);
	sigset_t one;
	sigemptyset(&one);
	sigaddset(&one, sig);
	pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
	(void)raise(sig);
	pthread_sigmask(SIG_BLOCK, &one, nullptr);
	sigaction(sig, &ours, nullptr);
	if (sig != SIGWINCH)
		(void)tcsetattr(STDIN_FILENO, TCSADRAIN, &raw);
	redraw = 1;
	errno = saved_errno;
}

// The terminal and the signals back as they were. The handlers go
// first: while they are in place, the terminal is the editor's.
void
give_back()
{
	if (editing) {
		for (int i = 0; i < ncaught; i++)
			sigaction(caught[i], &theirs[i], nullptr);
		(void)tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
		editing = 0;
	}
	if (tty >= 0) {
		close(tty);
		tty = -1;
	}
}

bool
take_terminal()
{
	raw = saved;
	raw.c_iflag &= ~(BRKINT | ICRNL | INLCR | IGNCR | ISTRIP | IXON);
	raw.c_lflag &= ~(ECHO | ICANON | IEXTEN | ISIG);
	raw.c_cc[VMIN] = 1;
	raw.c_cc[VTIME] = 0;
	ours.sa_handler = on_signal;
	sigemptyset(&ours.sa_mask);
	for (int s : caught)
		sigaddset(&ours.sa_mask, s);
	ours.sa_flags = SA_RESTART;
	editing = 1;
	for (int i = 0; i < ncaught; i++)
		sigaction(caught[i], &ours, &theirs[i]);
	if (tcsetattr(STDIN_FILENO, TCSADRAIN, &raw) != 0) {
		give_back();
		return false;
	}
	return true;
}

void
cleanup(void *)
{
	give_back();
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

// The bytes of the character that starts at p: a UTF-8 sequence that is
// whole and well formed, else the one byte.
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

size_t
prev_char(const char *s, size_t p, size_t len)
{
	for (size_t k = p < 4 ? p : 4; k > 1; k--)
		if (char_len(s, p - k, len) == k)
			return p - k;
	return p - 1;
}

// Columns the character at p takes: a control byte shows as ^X.
size_t
width(const char *s, size_t p)
{
	unsigned char c = s[p];
	return c < 0x20 || c == 0x7f ? 2 : 1;
}

struct line {
	const char *prompt;	// the last row of the prompt, when shown here
	size_t plen, pwidth;
	char *text;
	size_t len, pos;	// bytes, and the cursor's place among them
	size_t first;		// the first byte shown
	size_t typed;		// bytes the terminal holds, as last asked
};

// Draws the prompt and as much of the line as the row holds, the cursor
// always among it.
void
draw(line *l)
{
	struct winsize ws;
	size_t cols = ioctl(tty, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
	size_t room = cols > l->pwidth + 2 ? cols - l->pwidth - 1 : 1;
	// The leftmost start from which the cursor still fits: the view
	// moves only as far as it must, and never looks at more of the line
	// than a row holds.
	size_t lo = l->pos, fits = 0;
	while (lo > 0) {
		size_t p = prev_char(l->text, lo, l->len);
		if (fits + width(l->text, p) >= room)
			break;
		fits += width(l->text, p);
		lo = p;
	}
	if (l->first > l->pos || l->first < lo)
		l->first = lo;
	out o;
	o.n = 0;
	puts_(&o, "\r");
	put(&o, l->prompt, l->plen);
	size_t w = 0, at = l->pwidth;
	for (size_t p = l->first; p < l->len;) {
		size_t n = char_len(l->text, p, l->len), cw = width(l->text, p);
		if (w + cw > room)
			break;
		if (cw == 2) {
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
	// Clear the rest of the row, and put the cursor in its column.
	puts_(&o, "\x1b[K\r");
	if (at > 0) {
		char move[32];
		(void)snprintf(move, sizeof move, "\x1b[%zuC", at);
		puts_(&o, move);
	}
	flush(&o);
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

// Takes out the bytes from a to b, the cursor at one end of them.
void
erase(line *l, size_t a, size_t b)
{
	memmove(l->text + a, l->text + b, l->len - b);
	l->len -= b - a;
	l->pos = a;
}

// The next byte from the terminal; 0 at end of input, -1 when the read
// fails. A wait is a poll, which a signal ends whatever its flags, so
// that a resized window is drawn again at once; bytes known to be there
// already are read without one.
int
next_byte(line *l, unsigned char *c)
{
	for (;;) {
		if (l->typed == 0) {
			if (redraw) {
				redraw = 0;
				draw(l);
			}
			struct pollfd p = {STDIN_FILENO, POLLIN, 0};
			if (poll(&p, 1, -1) < 0 && errno == EINTR)
				continue;
		}
		ssize_t n = read(STDIN_FILENO, c, 1);
		if (n > 0 && l->typed > 0)
			l->typed--;
		if (n >= 0 || errno != EINTR)
			return static_cast<int>(n);
	}
}

// Whether more is typed already: a paste is drawn once it is all in.
bool
more_typed(line *l)
{
	int n;
	if (l->typed == 0 && ioctl(STDIN_FILENO, FIONREAD, &n) == 0 && n > 0)
		l->typed = static_cast<size_t>(n);
	return l->typed > 0;
}

// The rest of an escape sequence: the keys it names, and nothing else.
enum key { none, left, right, home, end, del };

key
escape(line *l)
{
	unsigned char c, d;
	struct pollfd p = {STDIN_FILENO, POLLIN, 0};
	// A lone Escape is dropped, once nothing follows it soon.
	int ready;
	while ((ready = poll(&p, 1, 50)) < 0 && errno == EINTR)
		;
	if (ready <= 0 || next_byte(l, &c) <= 0)
		return none;
	if (c == 'O')
		return next_byte(l, &d) <= 0 ? none : d == 'C' ? right :
		    d == 'D' ? left : d == 'H' ? home : d == 'F' ? end : none;
	if (c != '[')
		return none;
	char params[16];
	size_t n = 0;
	for (;;) {
		if (next_byte(l, &d) <= 0)
			return none;
		if (d >= 0x40 && d <= 0x7e)
			break;		// the final byte
		if (n < sizeof params - 1)
			params[n++] = static_cast<char>(d);
	}
	params[n] = '\0';
	if (n == 0)
		return d == 'C' ? right : d == 'D' ? left : d == 'H' ? home :
		    d == 'F' ? end : none;
	if (d != '~')
		return none;
	auto is = [&](const char *name) { return strcmp(params, name) == 0; };
	return is("1") || is("7") ? home : is("4") || is("8") ? end :
	    is("3") ? del : none;
}

// A key that sends a signal, typed: the terminal is given back, and the
// program's action for it acts. Should the program go on, an interrupt
// or quit has thrown the line away, as the terminal would.
void
signal_key(line *l, int sig)
{
	draw(l);
	if (sig != SIGTSTP) {
		out o;
		o.n = 0;
		puts_(&o, sig == SIGINT ? "^C" : "^\\");
		flush(&o);
	}
	(void)raise(sig);
	if (sig != SIGTSTP) {
		l->len = l->pos = l->first = 0;
		out o;
		o.n = 0;
		puts_(&o, "\r\n");
		flush(&o);
	}
	redraw = 1;
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
	tty = open("/proc/self/fd/0", O_WRONLY | O_NOCTTY | O_CLOEXEC);
	if (tty < 0)
		return -2;
	if (!take_terminal()) {
		give_back();
		return -2;
	}
	line l = {prompt, plen, 0, room(0), 0, 0, 0, 0};
	for (size_t p = 0; p < plen; p++)
		l.pwidth += (static_cast<unsigned char>(prompt[p]) & 0xc0) != 0x80;
	long r = -1;
	pthread_cleanup_push(cleanup, nullptr);
	if (l.text == nullptr) {
		errno = ENOMEM;
	} else {
		draw(&l);
		unsigned char c;
		int got;
		while ((got = next_byte(&l, &c)) > 0) {
			size_t at = l.pos;
			key k = none;
			if (c == '\r' || c == '\n') {
				l.pos = l.len;
				draw(&l);
				r = static_cast<long>(l.len);
				break;
			} else if (c == saved.c_cc[VINTR]) {
				signal_key(&l, SIGINT);
			} else if (c == saved.c_cc[VQUIT]) {
				signal_key(&l, SIGQUIT);
			} else if (c == saved.c_cc[VSUSP]) {
				signal_key(&l, SIGTSTP);
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
			} else if (c == 0x7f || c == 8) {
				if (l.pos > 0)
					erase(&l, prev_char(l.text, l.pos, l.len), l.pos);
			} else if (c == 0x15) {	// Ctrl-U
				erase(&l, 0, l.pos);
			} else if (c == 0x0b) {	// Ctrl-K
				l.len = l.pos;
			} else if (c == 0x17) {	// Ctrl-W: the word before
				while (at > 0 && l.text[at - 1] == ' ')
					at--;
				while (at > 0 && l.text[at - 1] != ' ')
					at--;
				erase(&l, at, l.pos);
			} else if (c != 0) {
				char byte = static_cast<char>(c);
				if (!insert(&l, &byte, 1)) {
					errno = ENOMEM;
					break;
				}
			}
			if (k == left && l.pos > 0)
				l.pos = prev_char(l.text, l.pos, l.len);
			else if (k == right && l.pos < l.len)
				l.pos += char_len(l.text, l.pos, l.len);
			else if (k == home)
				l.pos = 0;
			else if (k == end)
				l.pos = l.len;
			else if (k == del && l.pos < l.len)
				erase(&l, l.pos, l.pos + char_len(l.text, l.pos, l.len));
			if (!more_typed(&l))
				draw(&l);
		}
		if (got == 0)
			errno = 0;
		if (r >= 0) {
			out o;
			o.n = 0;
			puts_(&o, "\r\n");
			flush(&o);
		}
	}
	pthread_cleanup_pop(1);
	return r;
}

void
end_editing()
{
	give_back();
}
