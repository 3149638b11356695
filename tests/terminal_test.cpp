// SPDX-License-Identifier: MIT
// get_string at a terminal. The test plays the person and the terminal on
// the other side of a pseudo-terminal, in the same process as the editor,
// so that each run takes the same steps: the keys go in, a turn at a time,
// when the editor waits for them; the terminal answers where its cursor
// is; and a signal, a cancel, a stop or a resize comes at whichever step
// of the editor a case names, its nth read, write or poll of the terminal.

// read(), write() and poll() are defined here anew, in place of the C
// library's and their fortified entries, which the library may call; the
// fortified inline versions would stand in the way here.
#undef _FORTIFY_SOURCE

#include <climits>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>

#include "failing.h"
#include "harness.h"

// Sanitizers that mishandle a thread cancelled inside a system call.
// ThreadSanitizer, gcc's and clang's alike, can miss a mutex unlocked by
// its cleanup and call the next lock of it a double lock, as ten lines of
// C with no libkelp show. gcc's AddressSanitizer fails a check of its own
// as it unwinds the cancelled editor.
#if TSAN || (defined(__SANITIZE_ADDRESS__) && !defined(__clang__))
#define CANCEL_MISREAD 1
#else
#define CANCEL_MISREAD 0
#endif

namespace {

// What comes at a step of the editor.
// set_and_signal: a handler without SA_RESTART set mid-edit, as another
// thread of the program may, then its signal.
// to_back: stopped, then sent on in the background.
enum class jolt : unsigned char { none, signal, twice, resize, cancel, stop, set_and_signal, to_back };

// How a person types at a terminal, and what comes meanwhile.
struct how {
	int calls = 1;			// not counting those a signal or a
					// cancel ended, which the next call
					// goes on with
	unsigned short cols = 80, rows = 24;
	const char *term = "xterm";
	bool shown = true;		// standard output on the terminal too
	const char *reply = "\x1b[2;7R";	// where the cursor is: the
					// answers in turn, a newline
					// between, the last given again
	bool late = false;		// the answer once the next turn is typed
	const char *prompt = "line";	// the prompt's last row, before "> "
	bool controlling = true;	// the process's controlling terminal
	void (*setup)() = nullptr;	// in the child, first
	jolt what = jolt::none;
	long at = 0;			// the step it comes at
	int sig = 0;
	int flags = 0;			// set_and_signal's handler's
};

// What is typed, in turns, each once the editor waits for a key; "" lets a
// timed wait run out, and after the last the terminal hangs up. want: the
// last call's line.
struct scene {
	std::vector<std::string> keys;
	Line want = {};
	how h = {};
};

// What came of it.
struct played {
	std::vector<Line> lines;	// each call's: "!" where cancelled, "EINTR"
	std::string screen;		// what the terminal was sent
	std::string wrong;		// what the terminal or the signals were left as
	long steps = 0;			// the editor's
	int handled = 0;		// runs of the program's handler
	tcflag_t lflag = 0, iflag = 0;	// the mode the first key was read in
	int status = -1;
};

// The person's side, in the child: the terminal's other end, what is left
// to type, and the step the editor is at.
struct {
	bool armed;
	const scene *sc;
	int master;
	dev_t slave;
	size_t turn, part;	// the turn under way, and how much of it is typed
	bool answer_due;	// asked where the cursor is, the answer held back
	int answers;		// answers given
	bool entered;		// the last turn's Enter has been read
	bool jolted_editing;	// the jolt came before it
	bool jolted, waited;	// it came, and the editor waited for a key since
	bool in_call;		// it came in the call under way, not yet ended
	long steps;
	bool in_jolt;
	bool failing_was;	// allocations fail for the editor, not the person
	bool fail_in_calls;	// they fail in every call, not the first alone
	// what the terminal was sent: kept without allocating, as a signal's
	// handler draws too
	char screen[1 << 20];
	size_t shown;
	struct termios editing;	// the mode the editor read the first key in
} person;

// The C library's own, found once at the start: finding them in a child
// would touch memory that the cases measuring memory count.
template <class F>
F
next_of(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

const auto real_read = next_of<ssize_t (*)(int, void *, size_t)>("read");
const auto real_write = next_of<ssize_t (*)(int, const void *, size_t)>("write");
const auto real_poll = next_of<int (*)(struct pollfd *, nfds_t, int)>("poll");

bool
on_terminal(int fd)
{
	struct stat st;
	return person.armed && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) &&
	    st.st_rdev == person.slave;
}

// Until cond() holds, two seconds at most: the terminal's two sides pass
// bytes on a moment after they are written.
template <class F>
void
settle(F cond)
{
	for (int i = 0; i < 20000 && !cond(); i++)
		usleep(100);
}

// What the terminal was sent, at least least bytes more of it.
void
drain(size_t least = 0)
{
	size_t got = 0;
	auto more = [&] {
		for (ssize_t n; person.master >= 0 && person.shown < sizeof person.screen &&
		    (n = real_read(person.master, person.screen + person.shown,
		    sizeof person.screen - person.shown)) > 0;) {
			got += size_t(n);
			person.shown += size_t(n);
		}
		return got >= least || person.shown == sizeof person.screen;
	};
	settle(more);
}

size_t
unread()
{
	int n = 0;
	return ioctl(0, FIONREAD, &n) == 0 ? size_t(n) : 0;
}

// Types as much of s as the terminal takes now, and waits until the
// editor's side has it, where it is not in canonical mode, which holds
// back a line until it ends. How much was typed.
size_t
type_in(const std::string &s)
{
	size_t before = unread(), typed = 0;
	for (ssize_t n; typed < s.size() &&
	    (n = ::write(person.master, s.data() + typed, s.size() - typed)) > 0;)
		typed += size_t(n);
	struct termios t;
	if (tcgetattr(0, &t) == 0 && !(t.c_lflag & ICANON))
		settle([&] { return unread() >= before + typed; });
	return typed;
}

void
answer()
{
	const char *r = person.sc->h.reply;
	for (int i = 0; i < person.answers && strchr(r, '\n') != nullptr; i++)
		r = strchr(r, '\n') + 1;
	if (person.master >= 0)
		(void)type_in(std::string(r, strcspn(r, "\n")));
	person.answers++;
	person.answer_due = false;
}

void count(int);

// Another job in front, which holds the terminal until the process ends.
void
to_background()
{
	pid_t parent = getpid(), front = fork();
	if (front == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		setpgid(0, 0);
		if (getppid() == parent)
			pause();
		_exit(0);
	}
	setpgid(front, front);
	tcsetpgrp(0, front);
}

void
do_jolt()
{
	const how &h = person.sc->h;
	person.jolted_editing = !person.entered;
	person.jolted = true;
	switch (h.what) {
	case jolt::twice:
		raise(h.sig);
		[[fallthrough]];
	case jolt::signal:
		raise(h.sig);
		break;
	case jolt::resize: {
		struct winsize ws = {h.rows, static_cast<unsigned short>(h.cols + 10), 0, 0};
		ioctl(person.master, TIOCSWINSZ, &ws);
		break;
	}
	case jolt::cancel:
		pthread_cancel(pthread_self());
		break;
	case jolt::stop:
		raise(SIGTSTP);
		break;
	case jolt::to_back:
		to_background();
		raise(SIGTSTP);
		break;
	case jolt::set_and_signal: {
		struct sigaction sa = {};
		sa.sa_handler = count;
		sa.sa_flags = h.flags;
		sigaction(h.sig, &sa, nullptr);
		raise(h.sig);
		break;
	}
	default:
		break;
	}
}

// One more step of the editor, and what comes at it. The person's own
// work is never cancelled part way: a cancel acts where the editor's
// call itself is a cancellation point.
int
step()
{
	int cancel;
	pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel);
	person.failing_was = armed;
	armed = false;
	if (!person.in_jolt && ++person.steps == person.sc->h.at) {
		person.in_jolt = true;
		do_jolt();
		person.in_jolt = false;
		person.in_call = person.sc->h.what != jolt::cancel;
	}
	return cancel;
}

// The editor waits for a key and none is there: the rest of the turn
// under way, or the next, is typed, or a timed wait runs out; with none
// left, a timed wait runs out and an endless one meets a hang-up. Returns
// how long the wait is to be.
int
type_turn(int ms)
{
	const auto &keys = person.sc->keys;
	if (person.turn == 0 && person.part == 0)
		tcgetattr(0, &person.editing);
	while (person.turn < keys.size()) {
		const std::string &k = keys[person.turn];
		if (k.empty()) {
			person.turn++;
			if (ms > 0)
				return 0;
			continue;
		}
		person.part += type_in(k.substr(person.part));
		if (person.part == k.size()) {
			person.turn++;
			person.part = 0;
			if (person.answer_due)
				answer();
		}
		return ms;
	}
	if (person.answer_due) {
		answer();
	} else if (ms > 0) {
		return 0;
	} else if (person.master >= 0) {
		drain();
		close(person.master);
		person.master = -1;
	}
	return ms;
}

// A signal that came in a call that would wait ends it with EINTR, where
// it was caught: a poll always, a read or a write where the handler does
// not restart them.
bool
interrupted(bool restarts)
{
	if (!person.in_call)
		return false;
	person.in_call = false;
	const how &h = person.sc->h;
	struct sigaction sa;
	sigaction(h.what == jolt::resize ? SIGWINCH : h.what == jolt::stop ? SIGTSTP : h.sig,
	    nullptr, &sa);
	bool caught = sa.sa_handler != SIG_DFL && sa.sa_handler != SIG_IGN;
	if (!caught || (restarts && (sa.sa_flags & SA_RESTART)))
		return false;
	errno = EINTR;
	return true;
}

}

extern "C" ssize_t
read(int fd, void *b, size_t n)
{
	if (!on_terminal(fd))
		return real_read(fd, b, n);
	pthread_setcancelstate(step(), nullptr);
	armed = person.failing_was;
	if (interrupted(true))
		return -1;
	ssize_t r = real_read(fd, b, n);
	if (r == 1 && person.turn == person.sc->keys.size() && *static_cast<char *>(b) == '\n')
		person.entered = true;
	return r;
}

extern "C" ssize_t
write(int fd, const void *b, size_t n)
{
	if (!on_terminal(fd))
		return real_write(fd, b, n);
	int cancel = step();
	if (interrupted(true)) {
		armed = person.failing_was;
		pthread_setcancelstate(cancel, nullptr);
		return -1;
	}
	ssize_t w = real_write(fd, b, n);
	drain(w > 0 ? size_t(w) : 0);
	if (w > 0 && memmem(b, size_t(w), "\x1b[6n", 4) != nullptr && person.sc->h.reply != nullptr) {
		if (person.sc->h.late && person.turn < person.sc->keys.size())
			person.answer_due = true;
		else
			answer();
	}
	armed = person.failing_was;
	pthread_setcancelstate(cancel, nullptr);
	return w;
}

// glibc declares the array poll() is given as written to alone.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
extern "C" int
poll(struct pollfd *p, nfds_t n, int ms)
{
	if (!person.armed || n == 0)
		return real_poll(p, n, ms);
	if (p[0].fd != 0 || ms == 0)
		return real_poll(p, n, ms);
	int cancel = step();
	bool cut = interrupted(false);
	if (!cut && unread() == 0) {
		// the wait for a key, with the editor's wake-up beside it
		person.waited = person.waited || (person.jolted && n == 2);
		ms = type_turn(ms);
	}
	armed = person.failing_was;
	pthread_setcancelstate(cancel, nullptr);
	if (!cut)
		return real_poll(p, n, ms);
	// a held signal has woken the editor's wait; any other ends it
	if (n == 2 && real_poll(p + 1, 1, 0) == 1)
		return real_poll(p, n, 0);
	errno = EINTR;
	return -1;
}

// The fortified versions, which clang's builds of the library call.
extern "C" ssize_t
__read_chk(int fd, void *b, size_t n, size_t)
{
	return read(fd, b, n);
}

extern "C" int
__poll_chk(struct pollfd *p, nfds_t n, int ms, size_t)
{
	return poll(p, n, ms);
}

namespace {

int handled;	// how many times the handlers below have run
bool reset;	// one set its signal's action back to the default

void
count(int)
{
	handled++;
}

void
count_once(int sig)
{
	handled++;
	signal(sig, SIG_DFL);
	reset = true;
}

// A handler of the program's for sig, with these flags.
void
count_info(int, siginfo_t *, void *)
{
	handled++;
}

// count() as sig's handler; with SA_SIGINFO, count_info(), SIGUSR2 in its
// mask
void
handle(int sig, int flags)
{
	struct sigaction sa = {};
	if (flags & SA_SIGINFO) {
		sa.sa_sigaction = count_info;
		sigaddset(&sa.sa_mask, SIGUSR2);
	} else {
		sa.sa_handler = count;
	}
	sa.sa_flags = flags;
	sigaction(sig, &sa, nullptr);
}

struct call_result {
	Line line;
	int error;
	bool cancelled;
};

sigset_t program_mask;	// the signals the program blocks, as setup left them

void *
one_call(void *arg)
{
	auto *r = static_cast<call_result *>(arg);
	pthread_sigmask(SIG_SETMASK, &program_mask, nullptr);
	armed = armed || person.fail_in_calls;
	string s = get_string(nullptr, "%s\n%s> ", "first row", person.sc->h.prompt);
	r->error = errno;
	armed = false;
	r->line = s == nullptr ? Line() : Line(s);
	return nullptr;
}

// What the terminal's mode and the program's signals are left as, set
// against how they were.
std::string
left_wrong(const struct termios &mode, const struct sigaction *was)
{
	std::string wrong;
	struct termios now;
	if (tcgetattr(0, &now) == 0 && (now.c_lflag != mode.c_lflag ||
	    now.c_iflag != mode.c_iflag || memcmp(now.c_cc, mode.c_cc, sizeof now.c_cc) != 0))
		wrong += "mode; ";
	std::string screen(person.screen, person.shown);
	size_t on = screen.rfind("\x1b[?2004h"), off = screen.rfind("\x1b[?2004l");
	if (person.master >= 0 && on != std::string::npos && (off == std::string::npos || off < on))
		wrong += "paste left on; ";
	for (int sig = 1; sig < NSIG; sig++) {
		struct sigaction sa;
		if (sigaction(sig, nullptr, &sa) != 0)
			continue;
		bool one_shot = ((was[sig].sa_flags & SA_RESETHAND) || (reset && was[sig].sa_handler == count_once)) &&
		    handled > 0;
		// a handler's flags; the C library adds one of its own to all
		bool handler = was[sig].sa_handler != SIG_DFL && was[sig].sa_handler != SIG_IGN;
		if (one_shot && sa.sa_handler != SIG_DFL)
			wrong += "one-shot " + std::to_string(sig) + " again; ";
		else if (!one_shot && (sa.sa_handler != was[sig].sa_handler ||
		    (handler && sa.sa_flags != was[sig].sa_flags)))
			wrong += "signal " + std::to_string(sig) + "; ";
	}
	return wrong;
}

// In the child: the calls, each in a thread of its own, which the signals
// go to, and what they left.
void
calls(const scene &sc, FILE *res)
{
	struct termios mode;
	struct sigaction was[NSIG];
	tcgetattr(0, &mode);
	for (int sig = 1; sig < NSIG; sig++)
		sigaction(sig, nullptr, &was[sig]);
	sigset_t all;
	sigfillset(&all);
	pthread_sigmask(SIG_BLOCK, &all, &program_mask);
	person.armed = true;
	std::vector<Line> lines;
	int ended = 0;
	const how &h = sc.h;
	for (int i = 0; i < h.calls + 4 && ended < h.calls; i++) {
		call_result r = {};
		pthread_t t;
		void *how;
		pthread_create(&t, nullptr, one_call, &r);
		pthread_join(t, &how);
		bool cancelled = how == PTHREAD_CANCELED;
		lines.push_back(cancelled ? Line("!") : r.line);
		bool again = cancelled || (!r.line && r.error == EINTR);
		ended += !again;
		if (!r.line && r.error == EINTR)
			lines.back() = "EINTR";
	}
	person.armed = false;
	drain();
	// what the program set mid-edit is its own
	if (h.what == jolt::set_and_signal)
		sigaction(h.sig, nullptr, &was[h.sig]);
	std::string wrong = left_wrong(mode, was);
	// a handler without SA_RESTART ends the call it comes in, as it
	// would a read, even where the editor does not wait again
	struct sigaction sa = was[h.sig];
	bool ends = (h.what == jolt::signal || h.what == jolt::resize) &&
	    sa.sa_handler != SIG_DFL && sa.sa_handler != SIG_IGN && !(sa.sa_flags & SA_RESTART);
	if (ends && person.jolted_editing && lines.size() == size_t(h.calls))
		wrong += "not ended by the jolt; ";
	// a cancel, where the editor waits for a key after it
	if (h.what == jolt::cancel && person.waited && lines.size() == size_t(h.calls))
		wrong += "not cancelled where it waited; ";
	if (h.what != jolt::none && h.at > person.steps)
		wrong += "no such step; ";
	lines.push_back(wrong);
	lines.push_back(std::string(person.screen, person.shown));
	lines.push_back(std::to_string(person.steps) + " " + std::to_string(handled) + " " +
	    std::to_string(person.editing.c_lflag) + " " + std::to_string(person.editing.c_iflag));
	report(res, lines);
}

bool stopped_raw;	// the terminal was the editor's while the job was stopped
int pty_seen = -1;

void
stopped()
{
	struct termios t;
	stopped_raw = stopped_raw || (tcgetattr(pty_seen, &t) == 0 && !(t.c_lflag & ICANON));
}

played
play(const scene &sc)
{
	played p;
	int pty = posix_openpt(O_RDWR | O_NOCTTY);
	FILE *res = tmpfile();
	const how &h = sc.h;
	struct winsize ws = {h.rows, h.cols, 0, 0};
	if (pty < 0 || res == nullptr || grantpt(pty) != 0 || unlockpt(pty) != 0 ||
	    ioctl(pty, TIOCSWINSZ, &ws) != 0) {
		p.wrong = "no terminal";
		return p;
	}
	fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		limit(60);
		int tty = setsid() < 0 ? -1 : open(ptsname(pty), O_RDWR | (h.controlling ? 0 : O_NOCTTY));
		struct stat st;
		fstat(tty, &st);
		fcntl(pty, F_SETFL, O_NONBLOCK);
		person = {};
		person.sc = &sc;
		person.master = pty;
		person.slave = st.st_rdev;
		dup2(tty, 0);
		if (h.shown)
			dup2(tty, 1);
		else
			close(1);
		close(tty);
		if (h.term != nullptr)
			setenv("TERM", h.term, 1);
		else
			unsetenv("TERM");
		// the keys' signals are the program's to see to; it goes on
		for (int sig : {SIGINT, SIGQUIT, SIGTSTP, SIGHUP})
			signal(sig, SIG_IGN);
		handle(SIGTERM, SA_RESTART);
		if (h.setup != nullptr)
			h.setup();
		calls(sc, res);
		child_exit(0);
	}
	// Where something comes meanwhile, the terminal is looked at as it
	// stops or ends; else the child alone has its side, and closing it is
	// a hang-up.
	if (h.what == jolt::none)
		close(pty);
	pty_seen = pty;
	stopped_raw = false;
	p.status = reap(pid, "the editor to end after " + testing::PrintToString(sc.keys), stopped);
	struct termios t;
	if (h.what != jolt::none) {
		if (!WIFEXITED(p.status) && (tcgetattr(pty, &t) != 0 || !(t.c_lflag & ICANON)))
			p.wrong += "raw after the end; ";
		close(pty);
	}
	std::vector<Line> got = reported(res);
	fclose(res);
	if (stopped_raw)
		p.wrong += "raw while stopped; ";
	if (got.size() < 3)
		return p;
	p.lines.assign(got.begin(), got.end() - 3);
	p.wrong += got[got.size() - 3].value_or("");
	p.screen = got[got.size() - 2].value_or("");
	unsigned long lflag = 0, iflag = 0;
	sscanf(got.back().value_or("").c_str(), "%ld %d %lu %lu", &p.steps, &p.handled, &lflag, &iflag);
	p.lflag = tcflag_t(lflag);
	p.iflag = tcflag_t(iflag);
	return p;
}

}

namespace {

void
echo_off()
{
	struct termios t;
	tcgetattr(0, &t);
	t.c_lflag &= ~ECHO;
	tcsetattr(0, TCSANOW, &t);
}

// Where the editor cannot have the terminal: its mode cannot be set, or
// no descriptor is left to draw on. The line is read plainly.
void
mode_refused()
{
	refuse(__NR_ioctl, TCSETSW);
}

// The terminal cannot be opened again for writing (but other files can,
// as coverage's own are).
void
no_reopen()
{
	refuse(__NR_openat, O_WRONLY | O_NOCTTY | O_CLOEXEC, 2);
}

void
no_descriptor()
{
	int free_fd = dup(0);
	close(free_fd);
	struct rlimit r;
	getrlimit(RLIMIT_NOFILE, &r);
	r.rlim_cur = rlim_t(free_fd);
	setrlimit(RLIMIT_NOFILE, &r);
}

// SIGTTIN ignored, in the background a read of the terminal fails.
void
reads_fail_behind()
{
	signal(SIGTTIN, SIG_IGN);
	signal(SIGTTOU, SIG_IGN);
}

void
in_background()
{
	reads_fail_behind();
	to_background();
}

// Memory that runs out from the nth allocation on, and for any of 1 MiB.
void
fail_from(long nth)
{
	failing = fail::large;
	fail_count = nth;
	armed = true;
}

// quick_exit() while another thread edits gives the terminal back too.
void
quick_exit_first()
{
	pid_t pid = fork();
	if (pid == 0) {
		limit(60);
		std::thread([] { (void)get_string(nullptr, "gone> "); }).detach();
		struct termios m;
		while (tcgetattr(0, &m) == 0 && (m.c_lflag & ICANON))
			;
		quick_exit(0);
	}
	int status;
	struct termios m;
	waitpid(pid, &status, 0);
	if (status != 0 || tcgetattr(0, &m) != 0 || !(m.c_lflag & ICANON))
		child_exit(3);
}

const std::string long_line(200, 'x');

// The last call's line, or "none" where the child reported none.
Line
last(const played &p)
{
	return p.lines.empty() ? Line("none") : p.lines.back();
}

bool
has(const std::string &screen, const std::string &s)
{
	return screen.find(s) != std::string::npos;
}

// Whether the screen was sent each piece, one after the other.
bool
in_order(const std::string &screen, std::initializer_list<const char *> pieces)
{
	size_t at = 0;
	for (const char *p : pieces)
		if ((at = screen.find(p, at)) == std::string::npos)
			return false;
	return true;
}

// Each row: what is typed, and the line the last call gives.
TEST(Terminal, KeysEditTheLine)
{
	std::string history, changes;
	for (int i = 0; i < 101; i++)
		history += std::to_string(i) + "\r";
	for (int i = 0; i < 101; i++)
		history += "\x1b[A";
	for (int i = 0; i < 70; i++)
		changes += "a\x7f";
	std::string smiles;
	for (int i = 0; i < 300; i++)
		smiles += "\xf0\x9f\x98\x80";
	const scene rows[] = {
		{{"Helo\x1b[Dl\r"}, "Hello"},
		{{"ac", "\x1bOD", "b\n"}, "abc"},	// SS3; LF ends it too
		{{"a\x1b[15~b\x1b[200~c\x1b[201~\x1b[1;5Cd\x1b" "xe\r"}, "abcde"},
		{{"a\0b\r"s}, "ab"},			// a zero byte is dropped
		{{"ab\x03" "cd\r"}, "cd"},		// Ctrl-C, Ctrl-\ throw it away
		{{"ab\x1c" "cd\r"}, "cd"},
		{{"ab\x1a" "cd\r"}, "abcd"},		// Ctrl-Z, ignored, keeps it
		{{"\x04"}, {}},				// Ctrl-D on an empty line
		{{"ab"}, {}},				// a hang-up, in a key too
		{{"a\x1b"}, {}},
		{{"a\x1bO"}, {}},
		{{"a\x1b["}, {}},
		{{"a\x16\rb\r"}, "a\nb"},		// Ctrl-V Enter: a newline
		{{"a\x16\0b\r"s}, {}},			// a zero byte, as from a pipe
		{{"a\x07\x0c" "b\r"}, "ab"},		// other controls: nothing
		{{"a\x1b[200~x\x01\x7f\x03\x1b[Ay\x1b[201~b\r"}, "ax\x01\x7f\x03\x1b[Ayb"},	// pasted
		{{"a\x1b[200~b\rc\x1b[201~d\r"}, "ab\ncd"},
		{{"a\x1b[200~b\x1b\x1b[201~c\r"}, "ab\x1b" "c"},
		{{"a\x1b[200~b\0c\x1b[201~d\r"s}, {}},
		{{"a\x1b[200~b", "c\x1b", "[201~d\r"}, "abcd"},	// a paste in pieces
		{{long_line + "\x01y\r"}, "y" + long_line},	// scrolled
		{{std::string(62, 'x') + "\x1b[Dy\r"}, std::string(61, 'x') + "yx"},
		{{"ab\x1b", "", "b\r"}, "abb"},		// Escape, then a key in its own time
		{{"ab\x03x\r"}, "x", {.late = true}},	// typed while the terminal answers
		{{"abc\x03xy\r"}, "xy"},		// what follows an interrupt begins anew
		// a paste, then Ctrl-C: the paste's end is never thrown away
		{{"\x1b[200~" + std::string(5000, 'p') + "\x1b[201~\x03" "abc\r"}, "abc"},
		// keys typed after Enter as the terminal answers are the next line's
		{{"ab\rnext\r"}, "next", {.calls = 2, .late = true}},
		// history: Up and Ctrl-P back, Down and Ctrl-N on, to the line
		// being typed; neither an empty line nor one that gave NULL is kept
		{{"one\rtwo\r\x1b[A\x1b[A\r"}, "one", {.calls = 3}},
		{{"one\rtwo\r\x10\x10\x0e\r"}, "two", {.calls = 3}},
		{{"one\r\r\x1b[A\r"}, "one", {.calls = 3}},
		{{"a\rb\rc\x1b[A\x1b[A\x1b[B\x1b[B\r"}, "c", {.calls = 3}},
		{{"a\x16\0b\r\x1b[A\r"s}, "", {.calls = 2}},
		// a search again, for another query as long, given up and begun anew
		{{"xa\ray\r", "\x12", "a", "\x12", "\x7fx", "\x7f", "\x07", "\x12", "x", "\r"}, "xa",
		    {.calls = 3}},
		{{history + "\r"}, "1", {.calls = 102}},	// the last 100
		{{changes + "\x1f\r"}, "a"},		// the last 64 changes
		// a prompt measured by what it shows: a title, a colour and a tab
		{{"ab\x02x\r"}, "axb", {.prompt = "\x1b]0;title\x07\x1b[1m\x1b" "7\tline"}},
		{{"ab\x02x\r"}, "axb", {.shown = false}},	// standard output elsewhere
		// answers to where the cursor is that are no answer: the line is
		// drawn all the same, and what came in them is keys
		{{"ab\r"}, "ab", {.reply = "\x1b[0;7R"}},
		{{"ab\r"}, "ab", {.reply = "\x1b[2R"}},
		{{"ab\r"}, "ab", {.reply = "\x1b[2;0R"}},
		{{"ab\r"}, "ab", {.reply = "\x1b[2;7x"}},
		{{"ab\r"}, "ab", {.reply = "\x1b[11111111111111111111111111111R"}},
		{{"\r"}, "", {.reply = "\x1b\x1b[2;7R"}},	// an Escape before it is a key
		{{"ab\r", "cd\r"}, "7Rcd", {.calls = 2, .reply = "7R"}},
		{{"ab\r", "cd\r"}, "cd", {.calls = 2, .reply = "\x1b[2;+7R"}},
		{{"ab\x02x\r"}, "axb", {.reply = "\x1b[0;7R", .what = jolt::resize, .at = 8}},
		// a prompt that ends at the edge, drawn anew by Ctrl-L; windows one
		// column wide, of no known width, wider than the drawing's pieces,
		// narrower than the prompt
		{{"ab\x0c" "c\r"}, "abc", {.cols = 6}},
		{{"ab\x02x\r"}, "axb", {.cols = 1}},
		{{"abc\x02x\r"}, "abxc", {.cols = 0}},
		{{smiles + "\r"}, smiles, {.cols = 400}},
		// a wide character that does not fit the row's end goes to the next;
		// an emoji sequence is one character, of the columns the terminal
		// is found to give it, where there is room to ask, or two
		{{"ab\xe6\xbc\xa2\xe5\xad\x97\r"}, "ab\xe6\xbc\xa2\xe5\xad\x97", {.cols = 9}},
		{{"a\U0001f1eb\U0001f1f7", "\x7f" "b\r"}, "ab", {.reply = "\x1b[2;7R\n\x1b[2;12R"}},
		{{"a\U0001f44d\U0001f3fd", "\x1b[Dx\r"}, "ax\U0001f44d\U0001f3fd"},
		{{"a1\ufe0f\u20e3", "\x7f\r"}, "a", {.cols = 12}},
		{{"a\U0001f1eb\U0001f1f7", "\x7f" "b\r"}, "ab", {.reply = "\x1b[2;7R\n\x1b[0;7R"}},
		{{"abc\x02x\r"}, "abxc", {.cols = 4, .rows = 0}},	// of no known height
		{{"abc\x02\x0cx\x7f\x7f\x05\x7f\r"}, "a", {.cols = 4, .term = "dumb"}},
		{{"ab", "\x01", "\x0c", "\r"}, "ab", {.cols = 1, .term = "dumb"}},
		{{"ab", "\x0c", "c", "\x7f", "\r"}, "ab", {.term = "dumb"}},
		// a failed read ends the line; a poll that fails is no key
		{{"ab\r"}, {}, {.setup = [] { refuse(__NR_read, 0, 0); }}},
#ifdef __NR_poll
		{{"ab\x1b" "b\r"}, "ab", {.setup = [] { refuse(__NR_poll); refuse(__NR_ppoll); }}},
#endif
		// where the editor cannot have the terminal, the line is read
		// plainly; quick_exit() gives the terminal back
		{{"ab\r"}, "ab", {.setup = mode_refused}},
		{{"ab\r"}, "ab", {.setup = no_descriptor}},
		{{"ab\x02x\r"}, "axb", {.setup = no_reopen}},	// drawn on stdin
		{{"ab\r"}, "ab", {.setup = [] { no_reopen(); refuse(__NR_fcntl, F_DUPFD_CLOEXEC); }}},
		{{"ab\r"}, "ab", {.setup = [] {
			dup2(open(ttyname(0), O_RDONLY | O_CLOEXEC), 0);
			no_reopen();
		}}},
		{{"ab\r"}, "ab", {.setup = [] { refuse(__NR_pipe2); }}},
		// with no job control, the interrupt key signals no one
		{{"ab\x03" "cd\r"}, "cd", {.controlling = false}},
		{{"ab\r"}, "ab", {.setup = quick_exit_first}},
		// in the background, as a read there would: fails, the terminal
		// untouched
		{{"ab\r"}, {}, {.setup = in_background}},
		// and stopped mid-edit, then sent on there
		{{"ab", "c\r"}, {}, {.setup = [] { reads_fail_behind(); signal(SIGTSTP, SIG_DFL); },
		    .what = jolt::to_back, .at = 12}},
		// a fault's handler is the program's alone; SIGCONT, not stopped,
		// and a mode with no keys for signals, are nothing
		{{"ab\r"}, "ab", {.setup = [] { handle(SIGSEGV, 0); }}},
		{{"ab", "c\r"}, "abc", {.what = jolt::signal, .at = 12, .sig = SIGCONT}},
		{{"ab\x03" "c\r"}, "abc", {.setup = [] {
			struct termios t;
			tcgetattr(0, &t);
			t.c_lflag &= ~ISIG;
			tcsetattr(0, TCSANOW, &t);
		}}},
		// a blocked interrupt throws away what came before its key, as
		// a read would; a one-shot handler runs once
		{{"ab\x03" "cd\r"}, "cd", {.setup = [] {
			sigset_t s;
			sigemptyset(&s);
			sigaddset(&s, SIGINT);
			signal(SIGINT, SIG_DFL);
			sigprocmask(SIG_BLOCK, &s, nullptr);
		}}},
		{{"ab\x03" "cd\r"}, "cd", {.setup = [] { handle(SIGINT, SA_RESETHAND | SA_RESTART); }}},
	};
	for (const scene &sc : rows) {
		played p = play(sc);
		EXPECT_EQ(last(p), sc.want)
		    << testing::PrintToString(sc.keys) << " status " << std::hex << p.status;
		EXPECT_EQ(p.wrong, "") << testing::PrintToString(sc.keys) << testing::PrintToString(p.screen);
	}
	// a terminal that is another user's, as after su: drawn on stdin
	// (dumpable again, so that the sanitizers can read /proc/self)
	if (geteuid() == 0) {
		EXPECT_EQ(play({{"ab\x02x\r"}, {}, {.setup = [] {
			if (setgid(65534) != 0 || setuid(65534) != 0)
				child_exit(2);
			prctl(PR_SET_DUMPABLE, 1);
		}}}).lines, std::vector<Line>{"axb"});
	}
}

// What the editor sends the terminal, and the mode it edits in.
TEST(Terminal, DrawsWhatTheKeysDid)
{
	// the keys edit in non-canonical mode, with no echo, and the keys for
	// signals and for flow control read as keys
	played p = play({{"ab\r"}});
	EXPECT_EQ(p.lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
	EXPECT_EQ(p.iflag & IXON, 0u);
	EXPECT_NE(p.iflag & ICRNL, 0u);
	// a terminal that takes no escape sequences is sent none
	for (const char *term : {"dumb", "", static_cast<const char *>(nullptr)}) {
		p = play({{"ab\x02x\r"}, "axb", {.term = term}});
		EXPECT_EQ(last(p), "axb");
		EXPECT_FALSE(has(p.screen, "\x1b")) << testing::PrintToString(p.screen);
	}
	// with echo off nothing typed is drawn, not even ^C; Ctrl-L draws the
	// prompt on the cleared screen
	p = play({{"ab\x03" "cd\r"}, {}, {.setup = echo_off}});
	EXPECT_EQ(p.lines.back(), "cd");
	EXPECT_FALSE(has(p.screen, "ab") || has(p.screen, "^C")) << testing::PrintToString(p.screen);
	p = play({{"ab\x0c\r"}, {}, {.setup = echo_off}});
	EXPECT_TRUE(has(p.screen.substr(p.screen.find("\x1b[2J") + 1), "line> "));
	// the interrupt key: the line with ^C after it, the prompt anew, and
	// the keys after it drawn
	p = play({{"abc\x03xy"}});
	EXPECT_TRUE(in_order(p.screen, {"abc", "^C\r", "\rline> ", "xy"})) << testing::PrintToString(p.screen);
	// C1 controls as <85>; DEL as ^?
	p = play({{"a\xc2\x85" "b\x16\x7f\r"}});
	EXPECT_TRUE(has(p.screen, "a<85>b^?")) << testing::PrintToString(p.screen);
	// a prompt as wide as the window, the cursor waiting to wrap after it:
	// its last character stays
	p = play({{"ab\r"}, "ab", {.cols = 6, .reply = "\x1b[2;6R"}});
	EXPECT_FALSE(has(p.screen, "\x1b[5C\x1b[K")) << testing::PrintToString(p.screen);
	// a terminal that is not the process's own knows no job control: back
	// from a stop, the line is edited on
	p = play({{"ab", "c\r"}, "abc", {.controlling = false, .setup = [] { signal(SIGTSTP, SIG_DFL); },
	    .what = jolt::stop, .at = 12}});
	EXPECT_EQ(p.lines, std::vector<Line>{"abc"});
	// keys typed while the terminal answers are drawn once
	p = play({{"ab", "\r"}, {}, {.late = true}});
	EXPECT_FALSE(has(p.screen, "abab")) << testing::PrintToString(p.screen);
	// a search shows what it looks for, a control byte as ?, which way,
	// and where it finds nothing
	p = play({{"a\x16\x01" "b\r", "\x12\x16\x01", "\x13", "x", "\r"}, {}, {.calls = 2}});
	EXPECT_EQ(p.lines.back(), "a\x01" "b");
	EXPECT_TRUE(in_order(p.screen, {"(reverse-i-search)`?': a^Ab", "(failed i-search)`?x': a^Ab"}))
	    << testing::PrintToString(p.screen);
	// back from a stop: the prompt and the line anew
	p = play({{"ab", "c\r"}, "abc", {.setup = [] { signal(SIGTSTP, SIG_DFL); },
	    .what = jolt::stop, .at = 12}});
	EXPECT_TRUE(in_order(p.screen, {"line> ", "\x1b[?2004l", "\x1b[?2004h", "\rline> ", "ab"}))
	    << testing::PrintToString(p.screen);
}

void
over_200()
{
	fail_from(LONG_MAX);
	failing = fail::over;
	fail_count = 200;
}

// Memory that runs out at a terminal: NULL for the call, and what is
// typed next is read by the next.
TEST(Terminal, MemoryRunningOutEndsTheCall)
{
	if (SANITIZED)
		GTEST_SKIP() << "the sanitizers' allocators cannot be made to fail";
	const scene rows[] = {
		{{"ab\r"}, {}, {.setup = [] { fail_from(2); }}},
		{{long_line + "\r"}, {}, {.setup = [] { fail_from(3); }}},
		// the line grown past its small start as it is typed; a yank
		{{std::string(300, 'x') + "\r"}, {}, {.setup = over_200}},
		{{std::string(150, 'x') + "\x15\x19\x19\r"}, {}, {.setup = over_200}},
	};
	for (const scene &sc : rows)
		EXPECT_EQ(last(play(sc)), sc.want) << testing::PrintToString(sc.keys);
}

// A signal, a cancel, a stop or a resize at every step of the editor:
// whatever comes, no typed byte is lost and none made up, and the terminal
// and the program's signals are left as they were. A handler without
// SA_RESTART, or a cancel, ends the call it comes in; the next call goes
// on with the same line.
TEST(Terminal, EveryStepHoldsItsPromises)
{
	const struct {
		const char *name;
		jolt what;
		int sig;
		void (*setup)();
		int flags = 0;
	} jolts[] = {
		{"resize", jolt::resize, SIGWINCH, nullptr},
		{"resize, handled", jolt::resize, SIGWINCH, [] { handle(SIGWINCH, 0); }},
		{"handler", jolt::signal, SIGUSR1, [] { handle(SIGUSR1, SA_RESTART); }},
		{"handler without SA_RESTART", jolt::signal, SIGUSR1, [] { handle(SIGUSR1, 0); }},
		{"handler with siginfo, its mask, SA_NODEFER", jolt::signal, SIGUSR1,
		    [] { handle(SIGUSR1, SA_SIGINFO | SA_NODEFER | SA_RESTART); }},
		{"stop, handled", jolt::signal, SIGTSTP, [] { handle(SIGTSTP, SA_RESTART); }},
		{"handler set mid-edit", jolt::set_and_signal, SIGUSR2, nullptr},
		{"handler set mid-edit, SA_RESTART", jolt::set_and_signal, SIGUSR2, nullptr, SA_RESTART},
		{"one-shot handler", jolt::signal, SIGUSR1,
		    [] { handle(SIGUSR1, SA_RESETHAND | SA_RESTART); }},
		// the second time, the default action
		{"handler that resets itself", jolt::twice, SIGUSR1, [] {
			struct sigaction sa = {};
			sa.sa_handler = count_once;
			sa.sa_flags = SA_RESTART;
			sigaction(SIGUSR1, &sa, nullptr);
		}},
		{"ignored interrupt", jolt::signal, SIGINT, nullptr},
		{"stop", jolt::stop, SIGTSTP, [] { signal(SIGTSTP, SIG_DFL); }},
		{"end", jolt::signal, SIGTERM, [] { signal(SIGTERM, SIG_DFL); }},
		{"cancel", jolt::cancel, 0, nullptr},
	};
	// text, a key cut in two, a paste whose end is cut in two, keys at
	// once, the cursor's place asked and answered late
	const std::vector<std::string> keys = {"ab", "\x1b", "[Dc\x1b[200~x\ny\x1b",
	    "[201~\x1b[C", "d\r"};
	for (bool late : {false, true}) {
		played calm = play({keys, {}, {.late = late}});
		ASSERT_EQ(calm.lines, std::vector<Line>{"acx\nybd"});
		ASSERT_GT(calm.steps, 10);
		for (const auto &j : jolts) {
			if (j.what == jolt::cancel && CANCEL_MISREAD)
				continue;
			for (long at = 1; at <= calm.steps; at++) {
				played p = play({keys, {}, {.late = late, .setup = j.setup,
				    .what = j.what, .at = at, .sig = j.sig, .flags = j.flags}});
				std::string where = std::string(j.name) + " at step " +
				    std::to_string(at) + (late ? ", answered late" : "");
				if (j.what == jolt::twice || (j.what == jolt::signal && j.sig == SIGTERM)) {
					EXPECT_TRUE(WIFSIGNALED(p.status) || last(p) == "acx\nybd") << where;
				} else {
					EXPECT_EQ(last(p), "acx\nybd") << where;
				}
				EXPECT_EQ(p.wrong, "") << where;
				if (j.setup != nullptr && j.what == jolt::signal && j.sig != SIGINT && j.sig != SIGTERM) {
					EXPECT_EQ(p.handled, 1) << where;
				}
			}
		}
	}
}


// A resize at every step of a line over rows, and of one longer than the
// screen: the line as typed. Where the terminal's answer fits both a
// rewrapped and a cut row, the terminal's kind tells; where it fits
// neither, or is none, the line is drawn again all the same.
TEST(Terminal, AResizeAtEveryStepKeepsTheLine)
{
	// 10 columns, then 20; the cursor after 40 columns, or 35: the
	// terminal's answer at the resize is of both kinds, of neither, none,
	// or that of a terminal that cuts its rows
	const struct {
		size_t len;
		const char *reply;
	} cases[] = {{35, "\x1b[1;7R"}, {35, "\x1b[1;7R\n\x1b[3;1R"}, {35, "\x1b[1;7R\n\x1b[3;9R"},
	    {35, "\x1b[1;7R\n\x1b[0;7R"}, {30, "\x1b[1;7R\n\x1b[3;6R"}};
	for (unsigned short rows : {24, 3}) {
		for (const auto &c : cases) {
			std::string text = std::string("abcdefghijklmnopqrstuvwxyz012345678").substr(0, c.len);
			how h = {.cols = 10, .rows = rows, .reply = c.reply, .what = jolt::resize, .sig = SIGWINCH};
			played calm = play({{text, "\x02", "y\r"}, {}, h});
			for (h.at = 1; h.at <= calm.steps; h.at++) {
				played p = play({{text, "\x02", "y\r"}, {}, h});
				EXPECT_EQ(last(p), text.substr(0, c.len - 1) + "y" + text.back())
				    << rows << " rows, at step " << h.at << ", " << testing::PrintToString(c.reply);
				EXPECT_EQ(p.wrong, "") << h.at;
			}
		}
	}
}

// Any one allocation that fails, or every one from it on, in a scene of
// every kind of key: each call gives its line, or NULL, the key it came
// in undone; the terminal and the signals are left as they were.
long nth_fails;

TEST(Terminal, AnyAllocationThatFailsCostsOneCallAtMost)
{
	if (SANITIZED)
		GTEST_SKIP() << "the sanitizers' allocators cannot be made to fail";
	scene sc = {{"first\r", "second\r", "ab cd\x17\x19\x19\x1by\x1bu\x1b" "b\x1bt",
	    "\x12" "fi\x01\x12\x7f\x12", "\x1b[C\x1b[A\x1b[Bxyz\U0001f1eb\U0001f1f7\x0c\x1f",
	    std::string(200, 'z') + "\r"},
	    {}, {.calls = 3, .cols = 12}};
	played calm = play(sc);
	ASSERT_EQ(calm.lines.size(), 3u);
	// every one from the nth on, as where memory is tight, and any of a
	// MiB, so that the line's buffer starts small and must grow
	for (fail how : {fail::nth, fail::large}) {
		failing = how;
		sc.h.setup = [] {
			fail_count = nth_fails;
			person.fail_in_calls = true;
		};
		for (nth_fails = 1; nth_fails <= 200; nth_fails++) {
			played p = play(sc);
			std::string where = "allocation " + std::to_string(nth_fails) +
			    (how == fail::nth ? "" : " on");
			EXPECT_EQ(p.lines.size(), 3u) << where;
			EXPECT_EQ(p.status, 0) << where;
			EXPECT_EQ(p.wrong, "") << where;
		}
	}
	failing = fail::none;
}

}
