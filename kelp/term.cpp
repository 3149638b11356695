// SPDX-License-Identifier: MIT
// libkelp's terminal while a line is edited. Its own keys for signals
// stay on, so that they reach the whole job; every signal that ends or
// stops the process gives the terminal back first, and so do the end of
// the line, a cancel, exit and quick_exit().

#include "term.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct termios saved, raw;	// the terminal as it was, and as edited
dev_t edited;			// which terminal that is
bool inherited;			// saved is the parent's, forked mid-edit
volatile sig_atomic_t editing;	// raw is in force
volatile sig_atomic_t redraw;	// the window changed: draw the line again
volatile sig_atomic_t resumed;	// back from a stop: prompt and line anew
volatile sig_atomic_t lost;	// an interrupt or quit: the line is gone
volatile sig_atomic_t ended;	// a handler of the program's ends the wait
volatile sig_atomic_t behind;	// in the background: the terminal not ours
volatile sig_atomic_t caught;	// a held signal came during the wait
int tty = -1;			// where the line is drawn
bool escapes;			// TERM names a terminal that knows them

// Bracketed paste, on while the editor has the terminal.
constexpr char paste_on[] = "\x1b[?2004h", paste_off[] = "\x1b[?2004l";
static_assert(sizeof paste_on == sizeof paste_off);

// The program's action for each signal the editor holds while it edits:
// every catchable one whose action ends or stops the process, and those
// its keys, a resize and fg send, whatever their action.
struct sigaction theirs[NSIG], ours;
bool held[NSIG];

bool
handler(const struct sigaction &sa)
{
	return sa.sa_handler != SIG_DFL && sa.sa_handler != SIG_IGN;
}

bool
in_front()
{
	return tcgetpgrp(STDIN_FILENO) == getpgrp();
}

// Async-signal-safe, as the handler uses them.
void
paste(bool on)
{
	if (escapes)
		(void)!write(tty, on ? paste_on : paste_off, sizeof paste_on - 1);
}

void
to_program()
{
	(void)tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
	paste(false);
}

// Only in front: every signal is blocked in the handler, SIGTTOU too,
// which would otherwise stop a job in the background that sets the mode.
void
to_editor()
{
	behind = !in_front();
	if (behind)
		return;
	(void)tcsetattr(STDIN_FILENO, TCSADRAIN, &raw);
	paste(true);
}

void
on_signal(int sig)
{
	int saved_errno = errno;
	caught = 1;
	// as the terminal echoes them
	if ((sig == SIGINT || sig == SIGQUIT) && (saved.c_lflag & ECHO))
		(void)!write(tty, sig == SIGINT ? "^C" : "^\\", 2);
	// Only the default action, which ends or stops the process, needs
	// the terminal back; a handler returns, or exits through exit().
	bool ends = theirs[sig].sa_handler == SIG_DFL && sig != SIGWINCH && sig != SIGCONT;
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
	// Brought back to the front by fg: the terminal is the editor's
	// again, and the line drawn anew.
	bool back = sig == SIGCONT && behind && in_front();
	if (ends || back)
		to_editor();
	if (handler(theirs[sig]) && !(theirs[sig].sa_flags & SA_RESTART))
		ended = 1;
	if (sig == SIGINT || sig == SIGQUIT)
		lost = 1;
	if ((sig == SIGTSTP && theirs[sig].sa_handler == SIG_DFL) || back)
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

// The held signals back as they were, but for one the program has set
// since, from another thread; and the terminal, unless a child forked
// mid-edit, which leaves it to the parent.
void
release(bool terminal)
{
	if (editing) {
		for (int sig = 1; sig < NSIG; sig++) {
			if (!held[sig])
				continue;
			// asked of a signal it was set for: cannot fail
			struct sigaction now = {};
			(void)sigaction(sig, nullptr, &now);
			if (now.sa_handler == on_signal)
				sigaction(sig, &theirs[sig], nullptr);
		}
		if (terminal)
			to_program();
		editing = 0;
	}
	for (bool &h : held)
		h = false;
	if (tty >= 0)
		close(tty);
	tty = -1;
}

// A child forked while a thread edits has the program's signals, and
// the terminal's mode as the program set it for its own first line.
void
in_child()
{
	pthread_mutex_init(&state, nullptr);
	inherited = editing;
	release(false);
}

[[gnu::constructor]] void
init()
{
	(void)pthread_atfork(nullptr, nullptr, in_child);
	(void)at_quick_exit(give_back);
}

}

bool
at_terminal()
{
	const char *term = getenv("TERM");
	struct termios now;
	struct stat st = {};
	if (tcgetattr(STDIN_FILENO, &now) != 0)
		return false;
	(void)fstat(STDIN_FILENO, &st);	// of an open terminal: cannot fail
	escapes = term != nullptr && *term != '\0' && strcmp(term, "dumb") != 0;
	// The parent's terminal, still in the editor's mode, is the
	// program's as the parent found it.
	if (!inherited || st.st_rdev != edited)
		saved = now;
	edited = st.st_rdev;
	inherited = false;
	return true;
}

bool
take_terminal()
{
	// Opened again for writing, as stdin may be read-only: through
	// /proc, as ttyname() would, without its static buffer. Where the
	// terminal is another user's, as after su, stdin itself, where it
	// was opened for writing too, as a login's is.
	tty = open("/proc/self/fd/0", O_WRONLY | O_NOCTTY | O_CLOEXEC);
	if (tty < 0 && (fcntl(STDIN_FILENO, F_GETFL) & O_ACCMODE) == O_RDWR)
		tty = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
	if (tty < 0)
		return false;
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
	lost = 0;
	ended = 0;
	behind = 0;
	for (int sig = 1; sig < NSIG; sig++) {
		struct sigaction now;
		bool always = sig == SIGINT || sig == SIGQUIT || sig == SIGTERM ||
		    sig == SIGHUP || sig == SIGTSTP || sig == SIGWINCH || sig == SIGCONT;
		bool harmless = sig == SIGKILL || sig == SIGSTOP || sig == SIGCHLD ||
		    sig == SIGURG || sig == SIGTTIN || sig == SIGTTOU;
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
		paste(true);
	else
		release(true);
	unlock_state(&was);
	return taken;
}

void
give_back()
{
	sigset_t was;
	lock_state(&was, false);
	release(true);
	unlock_state(&was);
}

int
drawn_on()
{
	return tty;
}

bool
moves_cursor()
{
	return escapes;
}

bool
echoing()
{
	return saved.c_lflag & ECHO;
}

bool
redraw_due(bool *fresh)
{
	if (!redraw)
		return false;
	redraw = 0;
	*fresh = resumed;
	resumed = 0;
	return true;
}

bool
dropped()
{
	return lost;
}

void
keep_line()
{
	lost = 0;
}

bool
woken()
{
	return ended;
}

int
wait_input(int ms)
{
	caught = 0;
	struct pollfd p = {STDIN_FILENO, POLLIN, 0};
	int n = poll(&p, 1, ms);
	// A held signal's handler has said whether the call ends; any other
	// is the program's own, and only its handlers' flags can tell.
	if (n < 0 && errno == EINTR && !caught && !handlers_restart())
		ended = 1;
	return n;
}

bool
interrupted(int ready)
{
	return ready < 0 && errno == EINTR;
}

// Brought back to the front by fg, which sends a running job no signal:
// the terminal is the editor's again, and the line drawn anew.
bool
away()
{
	if (behind && in_front()) {
		sigset_t was;
		lock_state(&was, true);
		to_editor();
		resumed = !behind;
		redraw = !behind;
		unlock_state(&was);
	}
	return behind;
}

// Handlers for faults, as the sanitizers install, do not count: a fault
// never comes while a thread waits.
bool
handlers_restart()
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
