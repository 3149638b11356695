// SPDX-License-Identifier: MIT
// libkelp's terminal while a line is edited. Its keys for signals are read
// as keys, in their place among the others, and the editor sends their
// signals itself. Every signal whose action ends or stops the process
// gives the terminal back first, and so do the end of the line, a
// cancel, exit and quick_exit(). A job in the background never touches
// the terminal: it waits, as a read would, until it is in front.

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
#include <ucontext.h>
#include <unistd.h>

namespace {

// All the terminal's state, which the signal handler shares.
struct terminal {
	struct termios saved, raw;	// the terminal as it was, and as edited
	dev_t dev = 0;			// which terminal that is
	bool inherited = false;			// saved is the parent's: forked mid-edit
	int tty = -1;			// where the line is drawn
	bool escapes = false;			// TERM names a terminal that knows them
	// The program's action for each signal the editor holds, and ours.
	struct sigaction theirs[NSIG], ours;
	bool held[NSIG] = {};
	volatile sig_atomic_t holding = 0;	// the editor's handlers are in place
	// raw is in force: the terminal is ours; read and set atomically, as
	// the editing thread reads it unlocked while quick_exit() may give the
	// terminal back from another
	int raw_on = 0;
	volatile sig_atomic_t redraw = 0;	// the window changed, or the job is back
	volatile sig_atomic_t fresh = 0;	// back from a stop: prompt and line anew
	volatile sig_atomic_t wait_ended = 0;	// a handler without SA_RESTART ran
	volatile sig_atomic_t caught = 0;	// a held signal came during the wait
	int wake[2] = {-1, -1};		// the handler's wake-up for the wait
} term;

bool
raw_now()
{
	return __atomic_load_n(&term.raw_on, __ATOMIC_SEQ_CST) != 0;
}

void
set_raw(int on)
{
	__atomic_store_n(&term.raw_on, on, __ATOMIC_SEQ_CST);
}

// Bracketed paste, on while the editor has the terminal.
constexpr char paste_on[] = "\x1b[?2004h", paste_off[] = "\x1b[?2004l";
static_assert(sizeof paste_on == sizeof paste_off);

bool
handler(const struct sigaction &sa)
{
	return sa.sa_handler != SIG_DFL && sa.sa_handler != SIG_IGN;
}

// Faults, whose handlers must see them as they happened.
bool
fault(int sig)
{
	return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL ||
	    sig == SIGTRAP || sig == SIGSYS;
}

// What the editor holds while it edits: a signal whose action ends or
// stops the process, so that the terminal is given back first; one the
// program handles, so that its handler is called as the kernel would call
// it and one without SA_RESTART ends the wait whatever the editor is
// doing; and a resize and a job brought back, which draw the line again.
bool
to_hold(int sig, const struct sigaction &now)
{
	if (sig == SIGKILL || sig == SIGSTOP)
		return false;
	if (sig == SIGWINCH || sig == SIGCONT)
		return true;
	if (now.sa_handler == SIG_DFL)
		return sig != SIGCHLD && sig != SIGURG && sig != SIGTTIN && sig != SIGTTOU;
	return handler(now) && !fault(sig);
}

// Whether the job is in front at the terminal. Job control applies only
// to the process's controlling terminal: any other is always in front.
bool
in_front()
{
	pid_t p = tcgetpgrp(STDIN_FILENO);
	return p < 0 || p == getpgrp();
}

// Async-signal-safe, as the handler uses them.
void
paste(bool on)
{
	// a handler without SA_RESTART may cut the write short before it began
	while (term.escapes && write(term.tty, on ? paste_on : paste_off,
	    sizeof paste_on - 1) < 0 && errno == EINTR)
		;
}

void
to_program()
{
	(void)tcsetattr(STDIN_FILENO, TCSADRAIN, &term.saved);
	paste(false);
	set_raw(0);
}

// Only in front: in the background the terminal is the shell's, though
// SIGTTOU, blocked or ignored, would not stop the job that set it.
void
to_editor()
{
	if (!in_front())
		return;
	(void)tcsetattr(STDIN_FILENO, TCSADRAIN, &term.raw);
	paste(true);
	set_raw(1);
	term.redraw = 1;
	term.fresh = 1;
}

// The default action, which ends or stops the process: the terminal is
// given back first, and taken again if the job comes back in front.
void
default_action(int sig)
{
	bool ours = raw_now();
	if (ours)
		to_program();
	sigaction(sig, &term.theirs[sig], nullptr);
	sigset_t one;
	sigemptyset(&one);
	sigaddset(&one, sig);
	pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
	(void)raise(sig);
	pthread_sigmask(SIG_BLOCK, &one, nullptr);
	sigaction(sig, &term.ours, nullptr);
	if (ours)
		to_editor();
}

void on_signal(int sig, siginfo_t *info, void *ctx);

// The program's handler, called as the kernel would: its mask over the
// one the signal came into, reset first where it is one-shot. What the
// handler sets for its signal is the program's action from then on. A
// handler for the stop key may stop the process itself: the terminal is
// the program's while it runs.
void
call_theirs(int sig, siginfo_t *info, void *ctx)
{
	struct sigaction t = term.theirs[sig];
	if (t.sa_flags & SA_RESETHAND) {
		term.theirs[sig].sa_handler = SIG_DFL;
		term.theirs[sig].sa_flags &= ~SA_SIGINFO;
	}
	sigset_t mask = static_cast<ucontext_t *>(ctx)->uc_sigmask, was;
	for (int s = 1; s < NSIG; s++)
		if (sigismember(&t.sa_mask, s) == 1 || (s == sig && !(t.sa_flags & SA_NODEFER)))
			sigaddset(&mask, s);
	bool stop = sig == SIGTSTP && raw_now();
	if (stop)
		to_program();
	pthread_sigmask(SIG_SETMASK, &mask, &was);
	if (t.sa_flags & SA_SIGINFO)
		t.sa_sigaction(sig, info, ctx);
	else
		t.sa_handler(sig);
	pthread_sigmask(SIG_SETMASK, &was, nullptr);
	if (stop)
		to_editor();
	struct sigaction now = {};
	(void)sigaction(sig, nullptr, &now);
	if (now.sa_sigaction != on_signal) {
		term.theirs[sig] = now;
		sigaction(sig, &term.ours, nullptr);
	}
	if (!(t.sa_flags & SA_RESTART))
		term.wait_ended = 1;
}

void
on_signal(int sig, siginfo_t *info, void *ctx)
{
	int saved_errno = errno;
	term.caught = 1;
	if (handler(term.theirs[sig]))
		call_theirs(sig, info, ctx);
	else if (term.theirs[sig].sa_handler == SIG_DFL && sig != SIGWINCH && sig != SIGCONT)
		default_action(sig);
	if (sig == SIGWINCH)
		term.redraw = 1;
	// Brought back in front by fg: the terminal is the editor's again.
	if (sig == SIGCONT && term.holding && !raw_now())
		to_editor();
	// a wait that began since the editor last looked ends at once
	(void)!write(term.wake[1], "", 1);
	errno = saved_errno;
}

// Taking the terminal and giving it back go one at a time, as
// quick_exit() may give it back from another thread while one takes it;
// with signals blocked, so that no handler waits for the lock.
pthread_mutex_t state = PTHREAD_MUTEX_INITIALIZER;

void
lock_state(sigset_t *was)
{
	sigset_t all;
	sigfillset(&all);
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
	if (term.holding) {
		for (int sig = 1; sig < NSIG; sig++) {
			if (!term.held[sig])
				continue;
			// asked of a signal it was set for: cannot fail
			struct sigaction now = {};
			(void)sigaction(sig, nullptr, &now);
			if (now.sa_sigaction == on_signal)
				sigaction(sig, &term.theirs[sig], nullptr);
			term.held[sig] = false;
		}
		term.holding = 0;
	}
	if (terminal && raw_now())
		to_program();
	set_raw(0);
	if (term.tty >= 0)
		close(term.tty);
	term.tty = -1;
}

// A child forked while a thread edits has the program's signals, and
// the terminal's mode as the program set it for its own first line.
void
in_child()
{
	pthread_mutex_init(&state, nullptr);
	term.inherited = term.holding;
	release(false);
}

[[gnu::constructor]] void
init()
{
	(void)pthread_atfork(nullptr, nullptr, in_child);
	(void)at_quick_exit(give_back);
}

// In the background, a read of the terminal stops the job until it is in
// front, or fails where it cannot (SIGTTIN ignored or blocked, or the job
// orphaned); a read of no bytes does the same and takes nothing.
bool
await_front()
{
	char c;
	while (!in_front())
		if (read(STDIN_FILENO, &c, 0) < 0)
			return false;
	return true;
}

void
hold_signals()
{
	term.ours.sa_sigaction = on_signal;
	sigfillset(&term.ours.sa_mask);
	term.ours.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
	for (int sig = 1; sig < NSIG; sig++) {
		struct sigaction now;
		// the C library's own signals cannot be asked for
		if (sigaction(sig, nullptr, &now) != 0 || !to_hold(sig, now))
			continue;
		term.theirs[sig] = now;
		term.held[sig] = true;
		sigaction(sig, &term.ours, nullptr);
	}
	term.holding = 1;
}

}

bool
at_terminal()
{
	const char *name = getenv("TERM");
	struct termios now;
	struct stat st = {};
	if (tcgetattr(STDIN_FILENO, &now) != 0)
		return false;
	(void)fstat(STDIN_FILENO, &st);	// of an open terminal: cannot fail
	term.escapes = name != nullptr && *name != '\0' && strcmp(name, "dumb") != 0;
	// The parent's terminal, still in the editor's mode, is the
	// program's as the parent found it.
	if (!term.inherited || st.st_rdev != term.dev)
		term.saved = now;
	term.dev = st.st_rdev;
	term.inherited = false;
	return true;
}

taking
take_terminal()
{
	if (!await_front())
		return taking::failed;
	// Opened again for writing, as stdin may be read-only: through
	// /proc, as ttyname() would, without its static buffer. Where the
	// terminal is another user's, as after su, stdin itself, where it
	// was opened for writing too, as a login's is.
	term.tty = open("/proc/self/fd/0", O_WRONLY | O_NOCTTY | O_CLOEXEC);
	if (term.tty < 0 && (fcntl(STDIN_FILENO, F_GETFL) & O_ACCMODE) == O_RDWR)
		term.tty = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
	if (term.tty < 0 || (term.wake[0] < 0 && pipe2(term.wake, O_CLOEXEC | O_NONBLOCK) != 0)) {
		give_back();
		return taking::refused;
	}
	sigset_t was;
	lock_state(&was);
	term.raw = term.saved;
	// CR still arrives as a newline, as canonical mode would give what
	// is typed after the line to the next reader.
	term.raw.c_iflag &= ~(BRKINT | INLCR | IGNCR | ISTRIP | IXON);
	term.raw.c_lflag &= ~(ECHO | ICANON | IEXTEN | ISIG);
	term.raw.c_cc[VMIN] = 1;
	term.raw.c_cc[VTIME] = 0;
	term.redraw = 0;
	term.fresh = 0;
	term.wait_ended = 0;
	hold_signals();
	bool taken = tcsetattr(STDIN_FILENO, TCSADRAIN, &term.raw) == 0;
	if (taken) {
		set_raw(1);
		paste(true);
	} else {
		release(true);
	}
	term.redraw = 0;
	term.fresh = 0;
	unlock_state(&was);
	return taken ? taking::taken : taking::refused;
}

void
give_back()
{
	sigset_t was;
	lock_state(&was);
	release(true);
	unlock_state(&was);
}

bool
regain_terminal()
{
	if (raw_now())
		return true;
	if (!await_front())
		return false;
	// given back for good meanwhile, as quick_exit() does from another
	// thread: the terminal stays the program's
	sigset_t was;
	lock_state(&was);
	bool ours = term.holding;
	if (ours && !raw_now())
		to_editor();
	unlock_state(&was);
	if (!ours)
		errno = EIO;
	return ours;
}

int
wait_input(int ms, bool for_key)
{
	if (!for_key) {
		struct pollfd p = {STDIN_FILENO, POLLIN, 0};
		return poll(&p, 1, ms);
	}
	term.caught = 0;
	char drain[64];
	while (read(term.wake[0], drain, sizeof drain) > 0)
		;
	// what a signal did before the wake-up was drained
	if (events_pending()) {
		errno = EINTR;
		return -1;
	}
	struct pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {term.wake[0], POLLIN, 0}};
	int cancel = 0;
	pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &cancel);
	int n = poll(p, 2, ms);
	int why = errno;
	pthread_setcancelstate(cancel, nullptr);
	if (n > 0 && p[0].revents == 0) {
		n = -1;
		why = EINTR;
	}
	// A held signal's handler has said whether the wait ends. Any other
	// is the program's own, set since the terminal was taken, and only
	// its handlers' flags can tell.
	if (n < 0 && why == EINTR && !term.caught && !handlers_restart())
		term.wait_ended = 1;
	errno = why;
	return n;
}

dev_t
term_device()
{
	return term.dev;
}

bool
terminal_ours()
{
	return raw_now();
}

int
drawn_on()
{
	return term.tty;
}

bool
echoing()
{
	return term.saved.c_lflag & ECHO;
}

bool
moves_cursor()
{
	return term.escapes;
}

signal_keys
keys_for_signals()
{
	const cc_t *cc = term.saved.c_cc;
	auto on = [&](int i) { return static_cast<unsigned char>(cc[i] == _POSIX_VDISABLE ? 0 : cc[i]); };
	if (!(term.saved.c_lflag & ISIG))
		return {0, 0, 0};
	return {on(VINTR), on(VQUIT), on(VSUSP)};
}

void
send_key_signal(int sig)
{
	pid_t front = tcgetpgrp(STDIN_FILENO);
	if (front > 0)
		(void)kill(-front, sig);
}

// Handlers for faults, as the sanitizers install, do not count: a fault
// never comes while a thread waits.
bool
handlers_restart()
{
	for (int sig = 1; sig < NSIG; sig++) {
		struct sigaction sa;
		if (!fault(sig) && sigaction(sig, nullptr, &sa) == 0 && handler(sa) &&
		    sa.sa_sigaction != on_signal && !(sa.sa_flags & SA_RESTART))
			return false;
	}
	return true;
}

bool
events_pending()
{
	return term.redraw || term.wait_ended;
}

term_events
take_events()
{
	term_events e = {term.redraw != 0, term.fresh != 0, term.wait_ended != 0};
	term.redraw = 0;
	term.fresh = 0;
	term.wait_ended = 0;
	return e;
}
