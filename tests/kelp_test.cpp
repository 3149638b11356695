// SPDX-License-Identifier: MIT
// get_string, fed through pipes and pseudo-terminals. Each case runs in a
// child process so that it starts with fresh stdio state and its own
// standard input and output.

#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <malloc.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "failing.h"
#include "kelp.h"

using namespace std::string_literals;

namespace {

// Sanitizers that mishandle a thread cancelled inside a system call.
// ThreadSanitizer, gcc's and clang's alike, can miss a mutex unlocked by
// its cleanup and call the next lock of it a double lock, as ten lines of
// C with no libkelp show. gcc's AddressSanitizer fails a check of its own
// as it unwinds the cancelled editor.
#if TSAN || (defined(__SANITIZE_ADDRESS__) && !defined(__clang__))
#define EDITOR_MISREAD 1
#else
#define EDITOR_MISREAD 0
#endif
#if SANITIZED
#define SKIP_IF_SANITIZED() \
	GTEST_SKIP() << "the sanitizer needs more memory than the limit"
#else
#define SKIP_IF_SANITIZED()
#endif

// A 64-bit process, which sets a large buffer aside from the start.
constexpr bool wide = sizeof(void *) == 8;

// Children end with _exit(), so that nothing of the parent's runs twice;
// counted for coverage, they must exit() for their counts to be written.
#ifdef KELP_COVERAGE
#define child_exit exit
#else
#define child_exit _exit
#endif

// Limits are generous, so that a loaded machine does not fail a case,
// and ROTLET_TEST_SCALE raises them on a slower one.
unsigned
scaled(unsigned seconds)
{
	const char *s = getenv("ROTLET_TEST_SCALE");
	int scale = s != nullptr ? atoi(s) : 0;
	return seconds * unsigned(scale > 0 ? scale : 1);
}

// A limit on a child, which SIGALRM ends, should the parent be gone.
void
limit(unsigned seconds)
{
	alarm(scaled(seconds));
}

// How long the parent waits for a child: less than the child's own
// limit. Once one wait has run out, a second, so that a fault that
// hangs every case fails the run in minutes, not hours.
bool ran_out;

int
patience_ms()
{
	return ran_out ? 1000 : int(scaled(45)) * 1000;
}

// Waits until fd is ready for events; at the end of the patience, fails
// the test, naming what it waited for.
bool
await(int fd, short events, const std::string &what)
{
	struct pollfd p = {fd, events, 0};
	int n;
	while ((n = poll(&p, 1, patience_ms())) < 0 && errno == EINTR)
		;
	if (n > 0)
		return true;
	ADD_FAILURE() << "waited " << patience_ms() / 1000 << " s in vain for " << what;
	ran_out = true;
	return false;
}

// The status of the child pid once it ends: killed if it outlasts the
// patience, and the test failed, naming what it was doing.
int
reap(pid_t pid, const std::string &what)
{
	int fd = int(syscall(SYS_pidfd_open, pid, 0));
	if (fd >= 0 && !await(fd, POLLIN, what))
		kill(pid, SIGKILL);
	if (fd >= 0)
		close(fd);
	int status = -1;
	waitpid(pid, &status, 0);
	return status;
}

using Line = std::optional<std::string>;	// nullopt: NULL came back

struct Outcome {
	std::string shown;		// all that went to standard output
	std::vector<Line> lines;	// one per call
	int status = -1;
};

string
plain_read()
{
	return get_string(nullptr, "> ");
}

std::string
slurp(FILE *f)
{
	std::string s;
	char buf[65536];
	rewind(f);
	for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
		s.append(buf, n);
	return s;
}

// Writes all of text, or as much as the reader takes: a child may stop
// reading early, and the writer then gets EPIPE.
void
write_all(int fd, const std::string &text)
{
	for (size_t off = 0; off < text.size();) {
		ssize_t n = write(fd, text.data() + off, text.size() - off);
		if (n <= 0)
			break;
		off += static_cast<size_t>(n);
	}
}

// Calls read() `calls` times in a child whose standard input is a pipe fed
// with `input`; setup() runs in the child first. Every string is reported
// only after the last call, so earlier ones must still be intact.
Outcome
feed(const std::string &input, int calls = 1, string (*read)() = plain_read,
    void (*setup)() = nullptr)
{
	Outcome o;
	FILE *out = tmpfile(), *res = tmpfile();
	int in[2];
	if (out == nullptr || res == nullptr || pipe(in) != 0)
		return o;
	fflush(nullptr);	// or the child would write our buffers again
	pid_t pid = fork();
	if (pid == 0) {
		limit(60);	// a read that never ends fails the case, not the run
		dup2(in[0], 0);
		dup2(fileno(out), 1);
		close(in[0]);
		close(in[1]);
		if (setup != nullptr)
			setup();
		std::vector<string> got;
		for (int i = 0; i < calls; i++)
			got.push_back(read());
		for (string s : got) {
			uint64_t n = s == nullptr ? UINT64_MAX : strlen(s);
			fwrite(&n, sizeof n, 1, res);
			if (s != nullptr)
				fwrite(s, 1, n, res);
		}
		fflush(res);
		fflush(stdout);
		child_exit(0);
	}
	close(in[0]);
	std::thread writer([&] {
		write_all(in[1], input);
		close(in[1]);
	});
	o.status = reap(pid, "a child's " + std::to_string(calls) + " calls on " +
	    std::to_string(input.size()) + " bytes of input to end");
	writer.join();
	o.shown = slurp(out);
	std::string r = slurp(res);
	for (size_t off = 0; off + 8 <= r.size();) {
		uint64_t n;
		memcpy(&n, r.data() + off, 8);
		off += 8;
		if (n == UINT64_MAX) {
			o.lines.emplace_back();
		} else {
			o.lines.emplace_back(r.substr(off, n));
			off += n;
		}
	}
	fclose(out);
	fclose(res);
	return o;
}

class GetString : public testing::Test {
protected:
	static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }
};

TEST_F(GetString, DropsOnlyTheLineTerminator)
{
	const struct {
		std::string in;
		Line want;
	} cases[] = {
		{"abc\n", "abc"},
		{"abc\r\n", "abc"},
		{"abc", "abc"},			// last line without newline
		{"\n", ""},
		{"\r\n", ""},
		{"a\rb\n", "a\rb"},		// a CR inside is text
		{"abc\r", "abc\r"},		// so is one not before "\n"
		{"abc\r\r\n", "abc\r"},
		{"\r", "\r"},
		{"\n\n", ""},
		{"one\ntwo\n", "one"},
		{"\t \xff\xc3\xa9\x01\n", "\t \xff\xc3\xa9\x01"},
		{"", std::nullopt},		// end of input before a line
		{"a\0b\n"s, std::nullopt},	// a zero byte cannot be carried
		{"\0\n"s, std::nullopt},
		{"abc\0"s, std::nullopt},
		{std::string(200u << 10, 'z') + "\0\n"s, std::nullopt},
	};
	for (const auto &c : cases) {
		Outcome o = feed(c.in);
		EXPECT_EQ(o.status, 0) << testing::PrintToString(c.in);
		ASSERT_EQ(o.lines.size(), 1u);
		EXPECT_EQ(o.lines[0], c.want) << testing::PrintToString(c.in);
		EXPECT_EQ(o.shown, "> ");
	}
}

TEST_F(GetString, ReadsLinesAcrossEveryBufferBoundary)
{
	const size_t lengths[] = {1, 1023, 1024, 1025, 4094, 4095, 4096, 4097,
	    8191, 8192, 8193, 65535, 65536, 65537, 131072, (1u << 20) - 1,
	    1u << 20, 5u << 20};
	for (size_t len : lengths) {
		std::string text(len, 'x');
		for (size_t i = 0; i < len; i += 7)
			text[i] = static_cast<char>('a' + i % 26);
		// The last form has no terminator, so nothing follows it. The
		// buffer starts at its usual size, and at its small one of
		// 1 MiB, which one length fills exactly.
		for (const char *end : {"\n", "\r\n", ""})
		for (void (*setup)() : {+[] {}, +[] { setenv("MALLOC_PERTURB_", "85", 1); }}) {
			bool last = *end == '\0';
			Outcome o = feed(text + end + (last ? "" : "after\n"), 2, plain_read, setup);
			ASSERT_EQ(o.lines.size(), 2u);
			EXPECT_TRUE(o.lines[0] == text)
			    << len << " bytes ended by " << strlen(end);
			EXPECT_EQ(o.lines[1], last ? Line() : Line("after"));
		}
	}
}

TEST_F(GetString, GivesNullWhenInputCannotBeRead)
{
	EXPECT_EQ(feed("text\n", 1, plain_read, [] { close(0); }).lines,
	    std::vector<Line>{std::nullopt});
	EXPECT_EQ(feed("text\n", 1, plain_read, [] { dup2(open("/", O_RDONLY), 0); }).lines,
	    std::vector<Line>{std::nullopt});	// a directory: reads fail, EISDIR
}

void
little_memory()
{
	struct rlimit r = {64u << 20, 64u << 20};
	FILE *f = fopen("/proc/self/statm", "r");
	unsigned long pages = 0;
	if (f != nullptr && fscanf(f, "%lu", &pages) == 1)
		r.rlim_cur = r.rlim_max += pages * sysconf(_SC_PAGESIZE);
	if (f != nullptr)
		fclose(f);
	setrlimit(RLIMIT_AS, &r);
}

// Every line is kept until exit, so a kept line must cost about its own
// size, and the buffer a line under 1 MiB was read into is given back,
// reservation and all.
size_t statm(int field);
size_t resident();

size_t
mappings()
{
	FILE *f = fopen("/proc/self/maps", "r");
	size_t n = 0;
	for (int c; f != nullptr && (c = getc(f)) != EOF;)
		n += c == '\n';
	if (f != nullptr)
		fclose(f);
	return n;
}

string
medium_lines()
{
	size_t rss = resident(), maps = mappings(), size = statm(0);
	string refused = get_string(nullptr, nullptr);
	bool dropped = SANITIZED || resident() < rss + (512u << 10);
	string first = get_string(nullptr, nullptr);
	bool small = SANITIZED || resident() < rss + (900u << 10) + (512u << 10);
	for (int i = 0; i < 50; i++)
		(void)get_string(nullptr, nullptr);
	bool few = mappings() < maps + 16;
	bool freed = SANITIZED || statm(0) < size + (256u << 20);
	return strdup(refused != nullptr || first == nullptr ? "wrong lines" :
	    !dropped ? "refused line kept" : !small || !freed ? "buffer kept" :
	    !few ? "a mapping each" : "about their size, in few mappings");
}

// A line too long for a block's spare room gets a block of its own,
// behind the one still filling, which the short lines go on sharing.
string
mixed_lines()
{
	struct mallinfo2 before = mallinfo2();
	size_t n = 0;
	for (string s; (s = get_string(nullptr, nullptr)) != nullptr;)
		n += strlen(s) + 1;
	struct mallinfo2 after = mallinfo2();
	size_t used = after.uordblks + after.hblkhd - before.uordblks - before.hblkhd;
	return strdup(used < n + n / 8 ? "about their size" : "blocks wasted");
}

TEST_F(GetString, KeepsManyLinesInLittleMemory)
{
	SKIP_IF_SANITIZED();
	std::string mixed;
	for (int i = 0; i < 1500; i++)
		mixed += std::string(33u << 10, 'm') + "\nshort\n";
	EXPECT_EQ(feed(mixed, 1, mixed_lines, little_memory).lines,
	    std::vector<Line>{"about their size"});
	// Lines under 1 MiB are copied out: the buffer a line was read into
	// is not kept beside it, nor is one refused for its zero byte, and
	// kept lines do not each take a mapping, of which the kernel allows a
	// process only so many.
	std::string medium = std::string(2u << 20, 'Z') + "\0\n"s + std::string(900u << 10, 'M');
	for (int i = 0; i < 50; i++)
		medium += "\n" + std::string(200u << 10, 'm');
	EXPECT_EQ(feed(medium + "\n", 1, medium_lines).lines,
	    std::vector<Line>{"about their size, in few mappings"});
}

// From now on the system call nr fails with EPERM: every call, or those
// whose argument which, from 0, is arg.
void
refuse(uint32_t nr, std::optional<uint32_t> arg = {}, int which = 1)
{
	uint32_t at = offsetof(seccomp_data, nr), second = offsetof(seccomp_data, args) +
	    8 * uint32_t(which) + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0);
	struct sock_filter f[] = {
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, at),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 3),
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg ? second : at),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arg ? *arg : nr, 0, 1),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	};
	struct sock_fprog prog = {6, f};
	prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
	prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog);
}

// Where huge pages are off or refused, or address space is short, a long
// line still comes back whole, and so do the short ones around it.
TEST_F(GetString, ReadsEveryLineWhereMemoryIsConstrained)
{
	std::string big(5u << 20, 'q');
	for (size_t i = 0; i < big.size(); i += 4093)
		big[i] = static_cast<char>('a' + i % 26);
	const struct {
		const char *name;
		void (*setup)();
	} cases[] = {
		{"huge pages off", [] { prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0); }},
		{"madvise refused", [] { refuse(__NR_madvise); }},
		{"address space limited", little_memory},
	};
	for (const auto &c : cases) {
		if (c.setup == little_memory) {
			SKIP_IF_SANITIZED();
		}
		Outcome o = feed("short\n" + big + "\nend", 4, plain_read,
		    c.setup);
		EXPECT_EQ(o.status, 0) << c.name;
		ASSERT_EQ(o.lines.size(), 4u) << c.name;
		EXPECT_EQ(o.lines[0], "short") << c.name;
		EXPECT_TRUE(o.lines[1] == big) << c.name;
		EXPECT_EQ(o.lines[2], "end") << c.name;
		EXPECT_EQ(o.lines[3], std::nullopt) << c.name;
	}
}

void
nonblocking()
{
	fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
}

void
on_alarm(int)
{
}

void
interrupted()
{
	struct sigaction sa = {};
	sa.sa_handler = on_alarm;	// no SA_RESTART: the read fails with EINTR
	sigaction(SIGALRM, &sa, nullptr);
	// again and again, until one comes while the read waits
	struct itimerval t = {{0, 20000}, {0, 20000}};
	setitimer(ITIMER_REAL, &t, nullptr);
}

// The size of this process (field 0) or its resident memory (1), in
// bytes.
size_t
statm(int field)
{
	FILE *f = fopen("/proc/self/statm", "r");
	unsigned long v[2] = {0, 0};
	if (f != nullptr) {
		if (fscanf(f, "%lu %lu", &v[0], &v[1]) != 2)
			v[field] = 0;
		fclose(f);
	}
	return v[field] * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

size_t
resident()
{
	return statm(1);
}

// A read that fails after part of a line gives NULL, never that part as a
// line; the next call, once the rest has come, gives the whole line. A
// long start costs about its own size: it is neither copied nor are the
// pages it was read into kept once the line is whole.
TEST_F(GetString, FailedReadNeverGivesPartOfALine)
{
	// the start before the failure, and more of the line after it
	const std::pair<std::string, std::string> parts[] = {{"abc", ""},
	    {std::string(16u << 20, 'h') + "abc", std::string(8u << 20, 'r')}};
	for (const auto &part : parts)
	for (void (*setup)() : {nonblocking, interrupted}) {
		// named, not bound: clang 14 cannot capture a structured binding
		const std::string &head = part.first, &more = part.second;
		int in[2], out[2];
		ASSERT_EQ(pipe(in), 0);
		ASSERT_EQ(pipe(out), 0);
		fflush(nullptr);
		pid_t pid = fork();
		if (pid == 0) {
			dup2(in[0], 0);
			close(in[1]);
			close(out[0]);
			size_t before = resident();
			setup();
			string first = get_string(nullptr, nullptr);
			struct itimerval off = {};
			setitimer(ITIMER_REAL, &off, nullptr);
			signal(SIGALRM, SIG_DFL);
			limit(60);
			(void)!write(out[1], "r", 1);
			// the rest of the line, as it comes
			struct pollfd p = {0, POLLIN, 0};
			string whole;
			while ((whole = get_string(nullptr, nullptr)) == nullptr)
				(void)poll(&p, 1, -1);
			// and the end of input
			while (poll(&p, 1, -1) < 0 || !(p.revents & POLLHUP))
				;
			string last = get_string(nullptr, nullptr);
			string end = get_string(nullptr, nullptr);
			// what the library holds, not what the allocator keeps
			// resident of memory freed
			malloc_trim(0);
			bool small = SANITIZED || resident() < before +
			    head.size() + more.size() + (4u << 20);
			child_exit(first == nullptr &&
			    whole == head + more + "def" &&
			    last != nullptr && strcmp(last, "ghi") == 0 &&
			    end == nullptr ? (small ? 0 : 4) : 3);
		}
		close(in[0]);
		close(out[1]);
		std::thread writer([&] { write_all(in[1], head); });
		std::string how = setup == nonblocking ? "EAGAIN" : "EINTR";
		char r;
		bool failed = await(out[0], POLLIN, "a read to fail with " + how);
		if (!failed)
			kill(pid, SIGKILL);
		writer.join();
		if (failed) {
			EXPECT_EQ(read(out[0], &r, 1), 1);
			write_all(in[1], more + "def\nghi");
		}
		close(in[1]);
		close(out[0]);
		int status = reap(pid, "the line after " + how);
		EXPECT_EQ(status, 0) << (setup == nonblocking ? "EAGAIN" : "EINTR")
		    << " after " << head.size() << " bytes (3: wrong lines, 4: memory kept)";
	}
}

// Standard input served in pieces; an empty piece is a read that fails
// with EAGAIN, and a zero byte alone one that meets the end of input.
struct pieces {
	std::vector<std::string> parts;
	size_t i, at;
} served;

ssize_t
serve(void *cookie, char *to, size_t size)
{
	auto *p = static_cast<pieces *>(cookie);
	if (p->i == p->parts.size())
		return 0;
	const std::string &part = p->parts[p->i];
	if (part.empty() || part == "\0"s) {
		p->i++;
		errno = EAGAIN;
		return part.empty() ? -1 : 0;
	}
	size_t n = std::min(size, part.size() - p->at);
	memcpy(to, part.data() + p->at, n);
	p->at += n;
	if (p->at == part.size()) {
		p->i++;
		p->at = 0;
	}
	return static_cast<ssize_t>(n);
}

void
serve_pieces()
{
	cookie_io_functions_t io = {serve, nullptr, nullptr, nullptr};
	stdin = fopencookie(&served, "r", io);
}

// What is kept from a failed read belongs to the input it came from: a
// standard input reopened or replaced in between starts clean, and
// another stream on the same pipe goes on with it. So does the rest of
// a line lost to memory: a file opened again is read from its start.
TEST_F(GetString, ANewInputStartsClean)
{
	std::string first(2u << 20, 'x');	// past what a small start holds
	char path[] = "/tmp/kelp_test.XXXXXX";
	int fd = mkstemp(path);
	ASSERT_GE(fd, 0);
	write_all(fd, first + "\nnext\n");
	close(fd);
	const struct {
		const char *how;
		Line want;
	} cases[] = {
		{"freopen", first}, {"dup2", first}, {"fopen", first},
		{"another pipe", "pipe"}, {"closed", std::nullopt},
		{"fdopen, the same pipe", "abcdef"}, {"lost, freopen", first},
		{"another stream without a descriptor", "other"},
	};
	for (const auto &[how, want] : cases) {
		bool lost = strcmp(how, "lost, freopen") == 0;
		if (lost && SANITIZED)
			continue;	// their allocators cannot be made to fail
		int in[2];
		ASSERT_EQ(pipe(in), 0);
		ASSERT_EQ(write(in[1], "abc", 3), 3);
		fflush(nullptr);
		pid_t pid = fork();
		if (pid == 0) {
			dup2(in[0], 0);
			nonblocking();
			bool cookie = strcmp(how, "another stream without a descriptor") == 0;
			if (cookie) {
				served = {{"abc", ""}, 0, 0};
				serve_pieces();
			}
			if (lost && freopen(path, "r", stdin) != nullptr) {
				failing = fail::large;
				fail_count = LONG_MAX;
				armed = true;
			}
			string got = get_string(nullptr, nullptr);
			armed = false;
			int other[2];
			if (strcmp(how, "dup2") == 0) {
				dup2(open(path, O_RDONLY), 0);
			} else if (strcmp(how, "fopen") == 0) {
				if ((stdin = fopen(path, "r")) == nullptr)
					child_exit(2);
			} else if (strcmp(how, "another pipe") == 0) {
				if (pipe(other) != 0 || write(other[1], "pipe\n", 5) != 5)
					child_exit(2);
				dup2(other[0], 0);
			} else if (strcmp(how, "closed") == 0) {
				close(0);
			} else if (cookie) {
				served = {{"other\n"}, 0, 0};
				serve_pieces();
			} else if (strcmp(how, "fdopen, the same pipe") == 0) {
				stdin = fdopen(dup(0), "r");
				(void)!write(in[1], "def\n", 4);
			} else if (freopen(path, "r", stdin) == nullptr) {
				child_exit(2);
			}
			string next = get_string(nullptr, nullptr);
			child_exit(got == nullptr && (next == nullptr ? !want :
			    want && *want == next) ? 0 : 3);
		}
		int status = reap(pid, std::string("a new input after ") + how);
		close(in[0]);
		close(in[1]);
		EXPECT_EQ(status, 0) << how;
	}
	unlink(path);
}

// A child forked while another thread waits inside get_string reads on
// its own, rather than waiting for a lock that no thread of it holds, and
// skips the rest of the line that thread had begun. The parent is
// stopped meanwhile, so that the child alone reads the pipe.

// Reads one file of each of the threads of pid, as /proc/pid/task/*/file,
// with each; a thread gone meanwhile is passed over. False where the
// process is gone.
template <class F>
bool
each_thread(pid_t pid, const char *file, F each)
{
	char path[64];
	snprintf(path, sizeof path, "/proc/%d/task", int(pid));
	DIR *d = opendir(path);
	for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;) {
		std::string name = path + "/"s + e->d_name + "/" + file;
		FILE *f = e->d_name[0] == '.' ? nullptr : fopen(name.c_str(), "r");
		if (f != nullptr) {
			each(f, e->d_name);
			fclose(f);
		}
	}
	if (d != nullptr)
		closedir(d);
	return d != nullptr;
}

// Whether every thread of pid is in one of the states named (of ps(1)).
bool
all_in(pid_t pid, const char *states)
{
	bool all = true;
	return each_thread(pid, "stat", [&](FILE *f, const char *) {
		char state;
		all = all && fscanf(f, "%*d (%*[^)]) %c", &state) == 1 &&
		    strchr(states, state) != nullptr;
	}) && all;
}

// How many times each of the process's threads has been run: a thread a
// signal woke has been run once more by the time it sleeps again, and
// one that ended is gone from it.
std::string
runs(pid_t pid)
{
	std::string all;
	each_thread(pid, "schedstat", [&](FILE *f, const char *tid) {
		unsigned long n;
		if (fscanf(f, "%*u %*u %lu", &n) == 1)
			all += tid + ":"s + std::to_string(n) + " ";
	});
	return all;
}

std::atomic<long> waiter_tid;

void *
wait_for_line(void *)
{
	waiter_tid = syscall(SYS_gettid);
	(void)get_string(nullptr, nullptr);
	return nullptr;
}

// A thread that waits inside get_string: started, and known to sleep
// there.
pthread_t
start_waiter()
{
	pthread_t t;
	waiter_tid = 0;
	pthread_create(&t, nullptr, wait_for_line, nullptr);
	while (waiter_tid == 0)
		sched_yield();
	std::string stat = "/proc/self/task/" + std::to_string(waiter_tid) + "/stat";
	for (char state = 'R'; state != 'S'; sched_yield()) {
		FILE *f = fopen(stat.c_str(), "r");
		if (f != nullptr && fscanf(f, "%*d (%*[^)]) %c", &state) != 1)
			state = 'R';
		if (f != nullptr)
			fclose(f);
	}
	return t;
}

// The thread has begun its line with one byte alone.
string
fork_while_waiting()
{
	int in[2];
	if (pipe(in) != 0)
		return nullptr;
	dup2(in[0], 0);
	(void)!write(in[1], "p", 1);
	pthread_t waiter = start_waiter();
	pid_t pid = fork();
	if (pid == 0) {
		limit(60);
		kill(getppid(), SIGSTOP);
		while (!all_in(getppid(), "Tt"))
			;
		(void)!write(in[1], "artial\nforked\n", 14);
		string s = get_string(nullptr, nullptr);
		kill(getppid(), SIGCONT);
		child_exit(s != nullptr && strcmp(s, "forked") == 0 ? 0 : 3);
	}
	int status = -1;
	waitpid(pid, &status, 0);
	(void)!write(in[1], "done\n", 5);
	pthread_join(waiter, nullptr);
	return strdup(status == 0 ? "child read" : "child stuck or wrong");
}

TEST_F(GetString, AChildForkedWhileAThreadWaitsCanRead)
{
	EXPECT_EQ(feed("", 1, fork_while_waiting).lines,
	    std::vector<Line>{"child read"});
}

// A thread cancelled while it waits inside get_string lets the lock go,
// and the part of a line it had read is kept for the next call.
string
cancel_while_waiting()
{
	int in[2];
	if (pipe(in) != 0)
		return nullptr;
	limit(60);		// a lock never let go ends the child
	dup2(in[0], 0);
	(void)!write(in[1], "par", 3);
	pthread_t waiter = start_waiter();
	pthread_cancel(waiter);
	pthread_join(waiter, nullptr);
	(void)!write(in[1], "tial\nnext\n", 10);
	return get_string(nullptr, nullptr);
}

TEST_F(GetString, ACancelledWaiterLetsOthersRead)
{
#if TSAN
	GTEST_SKIP() << "ThreadSanitizer misses an unlock on cancellation";
#endif
	EXPECT_EQ(feed("", 1, cancel_while_waiting).lines,
	    std::vector<Line>{"partial"});
}

// The machine's overcommit mode, strict or (below) unreadable, in a mount
// namespace of the child's own; a child that cannot have one exits 77.
void
own_mounts()
{
	if (unshare(CLONE_NEWNS) != 0 ||
	    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
		child_exit(77);
}

// A file holding text bound over path, in the child's own mounts.
void
bind_over(const char *path, const char *text)
{
	own_mounts();
	char file[] = "/tmp/kelp_test.XXXXXX";
	int fd = mkstemp(file);
	bool bound = fd >= 0 && write(fd, text, strlen(text)) == ssize_t(strlen(text)) &&
	    mount(file, path, nullptr, MS_BIND, nullptr) == 0;
	unlink(file);
	if (!bound)
		child_exit(77);
}

void
strict_overcommit()
{
	bind_over("/proc/sys/vm/overcommit_memory", "2\n");
}

// Without the perturbing that make check itself may have been given,
// which would start the buffer small.
void
unperturbed()
{
	unsetenv("MALLOC_PERTURB_");
	unsetenv("GLIBC_TUNABLES");
}

// Huge pages of 512 MiB, as an arm64 kernel with 64 KiB pages has.
void
huge_pages_too_large()
{
	unperturbed();
	bind_over("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size", "536870912\n");
}

// How the buffer's reservation, the mapping of 1 GiB, is marked.
string
huge_pages_asked()
{
	(void)get_string(nullptr, nullptr);
	FILE *f = fopen("/proc/self/smaps", "r");
	const char *mark = "no reservation";
	char row[512];
	bool reservation = false;
	while (f != nullptr && fgets(row, sizeof row, f) != nullptr) {
		unsigned long kib;
		if (sscanf(row, "Size: %lu kB", &kib) == 1)
			reservation = kib >= (1u << 20);
		else if (reservation && strncmp(row, "VmFlags:", 8) == 0)
			mark = strstr(row, " hg") ? "huge pages" : strstr(row, " nh") ?
			    "no huge pages" : "unmarked";
	}
	if (f != nullptr)
		fclose(f);
	return strdup(mark);
}

// A short line costs a huge page at most where huge pages are small, and
// none where they are larger than a few MiB.
TEST_F(GetString, AsksForHugePagesOnlyWhereTheyAreSmall)
{
	if (SANITIZED)
		GTEST_SKIP() << "the sanitizers reserve less";
	if (access("/sys/kernel/mm/transparent_hugepage", F_OK) != 0)
		GTEST_SKIP() << "no transparent huge pages here";
	const struct {
		void (*setup)();
		const char *want;
	} cases[] = {{unperturbed, "huge pages"}, {huge_pages_too_large, "no huge pages"}};
	for (const auto &c : cases) {
		Outcome o = feed("line\n", 1, huge_pages_asked, c.setup);
		if (o.status == 77 << 8)
			printf("%s: not tried, no mount namespace\n", c.want);
		else	// a 32-bit process sets no 1 GiB aside at all
			EXPECT_EQ(o.lines, std::vector<Line>{wide ? c.want : "no reservation"});
	}
}

string
address_space_taken()
{
	size_t before = statm(0);
	string s = get_string(nullptr, nullptr);
	return strdup(s != nullptr && statm(0) - before < (64u << 20) ?
	    "small" : "large");
}

// An allocator that fills every block it hands out would touch all of a
// large reservation, and a data limit would be spent on it: both get a
// small start.
TEST_F(GetString, StartsSmallWhereAReservationWouldCostMemory)
{
	const struct {
		const char *name;
		void (*setup)();
		const char *want;
	} cases[] = {
		{"MALLOC_PERTURB_", [] { setenv("MALLOC_PERTURB_", "85", 1); }, "small"},
		{"glibc.malloc.perturb", [] { setenv("GLIBC_TUNABLES",
		    "glibc.malloc.check=0:glibc.malloc.perturb=85", 1); }, "small"},
		{"data limit", [] {
			struct rlimit r = {1u << 30, 1u << 30};
			setrlimit(RLIMIT_DATA, &r);
		}, "small"},
		{"strict overcommit", strict_overcommit, "small"},
		{"overcommit mode unreadable", [] {
			unperturbed();
			own_mounts();
			if (mount("none", "/proc/sys/vm", "tmpfs", 0, nullptr) != 0)
				child_exit(77);
		}, "large"},
		{"perturbing off", [] {
			setenv("MALLOC_PERTURB_", "0", 1);
			setenv("GLIBC_TUNABLES", "glibc.malloc.perturb=0:glibc.malloc.check=0", 1);
		}, "large"},
		{"nothing", unperturbed, "large"},
	};
	// A 32-bit process has too little address space for a large start.
	for (const auto &c : cases) {
		// the sanitizers' own mappings count, and ASan reserves little
		if (SANITIZED && (strcmp(c.name, "data limit") == 0 || *c.want == 'l'))
			continue;
		Outcome o = feed("line\n", 1, address_space_taken, c.setup);
		if (o.status == 77 << 8)
			printf("%s: not tried, no mount namespace\n", c.name);
		else
			EXPECT_EQ(o.lines, std::vector<Line>{wide ? c.want : "small"}) << c.name;
	}
}

// Reads with the failures armed, until the end of input; then says once
// whether the failure asked for never came.
string
failing_read()
{
	static bool said;
	armed = true;
	string s = get_string(nullptr, nullptr);
	armed = false;
	if (s == nullptr && feof(stdin) && !said) {
		said = true;
		if (fail_count > 0)
			return strdup("#never failed");
	}
	return s;
}

// Memory that runs out from the nth allocation on, and for any of 1 MiB.
// Standard output, unbuffered, takes none.
void
fail_from(long nth)
{
	setvbuf(stdout, nullptr, _IONBF, 0);
	failing = fail::large;
	fail_count = nth;
	armed = true;
}

// One that fails as a kept part grows, on a pipe: the buffer's small
// start holds the 127 bytes read before the read failed, and no more.
string
memory_out_part_way()
{
	int in[2];
	if (pipe(in) != 0 || write(in[1], std::string(127, 'x').data(), 127) != 127)
		return nullptr;
	dup2(in[0], 0);
	nonblocking();
	setvbuf(stdin, nullptr, _IONBF, 0);	// so that it takes no memory
	string part = get_string(nullptr, nullptr);
	(void)!write(in[1], "rest\nnext\n", 10);
	fail_from(1);
	string lost = get_string(nullptr, nullptr);
	int why = errno;
	armed = false;
	string next = get_string(nullptr, nullptr);
	return part == nullptr && lost == nullptr && why == ENOMEM ? next : nullptr;
}

// One that loses a line the input ends in: the end ends the lost line
// too, and what comes after it is read.
string
memory_out_at_the_end()
{
	served = {{std::string(2u << 20, 'x'), "\0"s, "next\n"}, 0, 0};
	serve_pieces();
	fail_from(LONG_MAX);
	string lost = get_string(nullptr, nullptr);
	string end = get_string(nullptr, nullptr);
	armed = false;
	string next = get_string(nullptr, nullptr);
	return lost == nullptr && end == nullptr ? next : nullptr;
}

// Whatever allocation fails, get_string gives NULL for that call, and
// every line comes back whole and in order, but the one the failure
// was reading, which may be lost; where failures go on, lines are only
// lost. Each allocation of a read is made to fail in turn, over lines
// read whole, over lines joined from pieces across failed reads, long
// and short, and where only a small buffer can be had.
TEST_F(GetString, EveryFailedAllocationCostsOneLineAtMost)
{
	if (SANITIZED)
		GTEST_SKIP() << "the sanitizers' allocators cannot be made to fail";
	// longer: kept where it was read; middle: in a block of its own;
	// medium: copied, and the buffer it was read into given back
	const std::string longer((1u << 20) + 4096, 'L');
	const std::string middle = std::string(20u << 10, 'm') + "\n";
	const std::string medium = std::string(200u << 10, 'M') + "\n";
	const std::vector<std::string> inputs[] = {
		{"par", "", "tial\nfo", "", "ur\n"},
		{longer, "", longer + "\n", "", "x", "", longer + "\nend"},
		{"x", "", longer + "\nmore\n", "", longer, "", "y\nlast"},
		{"a\n" + middle + middle + middle + medium + "b\n" + longer + "\n" +
		    longer + "\n" + longer + "\nc"},
	};
	for (const auto &parts : inputs) {
		std::string text;
		for (const auto &part : parts)
			text += part;
		std::vector<std::string> want;
		for (size_t at = 0; at < text.size();) {
			size_t end = std::min(text.find('\n', at), text.size());
			want.push_back(text.substr(at, end - at));
			at = end + 1;
		}
		// the nth failing, all from the nth on, and the nth where
		// only a small buffer can be had, for each n until no
		// allocation is left to fail; last, no buffer of 1 MiB and
		// the small ones from the nth on, for the first few n
		fail mode = fail::nth;
		for (long count = 1; mode != fail::none; count++) {
			served = {parts, 0, 0};
			failing = mode;
			fail_count = count;
			Outcome o = feed("", int(3 * want.size() + 12), failing_read,
			    serve_pieces);
			std::vector<std::string> got;
			bool never = false;
			for (const Line &l : o.lines) {
				if (l == "#never failed")
					never = true;
				else if (l)
					got.push_back(*l);
			}
			std::string where = testing::PrintToString(parts).substr(0, 60) +
			    " failing " + std::to_string(int(mode)) + "/" +
			    std::to_string(count);
			ASSERT_EQ(o.status, 0) << where;
			// in order and whole: a subsequence of the lines
			size_t at = 0;
			for (const auto &g : got) {
				while (at < want.size() && want[at] != g)
					at++;
				ASSERT_LT(at, want.size()) << where << ": not a line, or out of order";
				at++;
			}
			if (mode == fail::nth || mode == fail::large_and_nth) {
				EXPECT_GE(got.size() + 1, want.size()) << where;
			}
			if (never || count > (mode == fail::large ? 8 : 60)) {
				count = 0;
				mode = mode == fail::nth ? fail::from_nth :
				    mode == fail::from_nth ? fail::large_and_nth :
				    mode == fail::large_and_nth ? fail::large :
				    fail::none;
			}
		}
	}
	for (string (*read)() : {memory_out_part_way, memory_out_at_the_end})
		EXPECT_EQ(feed("", 1, read).lines, std::vector<Line>{"next"});
}

// Several threads share standard input: each line goes to exactly one of
// them, whole, and every string stays intact until all are done.
string
threaded_read()
{
	const int threads = 4;
	std::vector<string> got[threads];
	std::vector<std::thread> pool;
	for (auto &mine : got)
		pool.emplace_back([&mine] {
			for (string s; (s = get_string(nullptr, nullptr)) != nullptr;)
				mine.push_back(s);
		});
	for (auto &t : pool)
		t.join();
	std::vector<std::string> all;
	for (auto &mine : got)
		all.insert(all.end(), mine.begin(), mine.end());
	std::sort(all.begin(), all.end());
	std::vector<std::string> want;
	for (int i = 0; i < 80000; i++)
		want.push_back("line " + std::to_string(i) + std::string(i % 300, '.'));
	std::sort(want.begin(), want.end());
	return strdup(all == want ? "every line once, whole" : "lines lost or torn");
}

TEST_F(GetString, ThreadsEachGetWholeLines)
{
	std::string in;
	for (int i = 0; i < 80000; i++)
		in += "line " + std::to_string(i) + std::string(i % 300, '.') + "\n";
	Outcome o = feed(in, 1, threaded_read);
	EXPECT_EQ(o.status, 0);
	EXPECT_EQ(o.lines, std::vector<Line>{"every line once, whole"});
}


void
ignore(int)
{
}

// Where the editor cannot have the terminal: its mode cannot be set, or
// no descriptor is left to draw on. The line is read plainly.
void
mode_refused()
{
	refuse(__NR_ioctl, TCSETSW);
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

// A thread that edits apart from the one the line is typed for, or is
// itself typed into where its prompt is the one typed after. Returns
// once it has the terminal.
pthread_t
edit_apart(const char *prompt)
{
	pthread_t t;
	pthread_create(&t, nullptr, [](void *p) -> void * {
		(void)get_string(nullptr, "%s", static_cast<const char *>(p));
		return nullptr;
	}, const_cast<char *>(prompt));
	struct termios m;
	while (tcgetattr(0, &m) == 0 && (m.c_lflag & ICANON))
		;
	return t;
}

// A thread cancelled while it edits gives the terminal and the lock back,
// and the handlers it found, not one the program set meanwhile.
// A child forked while it edits leaves the terminal to this process, and
// has the program's handlers: it edits a terminal of its own as any
// program does, and keeps no handler of the library's afterwards.
void
cancelled_first()
{
	pthread_t t = edit_apart("gone> ");
	pid_t pid = fork();
	if (pid == 0) {
		limit(60);	// an alarm is not inherited
		int pty = posix_openpt(O_RDWR | O_NOCTTY), tty;
		if (pty < 0 || grantpt(pty) != 0 || unlockpt(pty) != 0 ||
		    (tty = open(ptsname(pty), O_RDWR | O_NOCTTY)) < 0 ||
		    write(pty, "own\r", 4) != 4 || dup2(tty, 0) < 0)
			child_exit(2);
		string s = get_string(nullptr, nullptr);
		struct sigaction term, usr1, last;
		sigaction(SIGTERM, nullptr, &term);
		sigaction(SIGUSR1, nullptr, &usr1);
		sigaction(NSIG - 1, nullptr, &last);
		child_exit(s != nullptr && strcmp(s, "own") == 0 && term.sa_handler == ignore &&
		    usr1.sa_handler == SIG_DFL && last.sa_handler == SIG_DFL ? 0 : 3);
	}
	int status;
	struct termios m;
	waitpid(pid, &status, 0);
	if (status != 0 || tcgetattr(0, &m) != 0 || (m.c_lflag & ICANON))
		child_exit(3);
	// a handler the program sets meanwhile stays
	signal(SIGUSR2, ignore);
	pthread_cancel(t);
	pthread_join(t, nullptr);
	struct sigaction usr2;
	sigaction(SIGUSR2, nullptr, &usr2);
	if (tcgetattr(0, &m) != 0 || !(m.c_lflag & ICANON) || usr2.sa_handler != ignore)
		child_exit(3);
}

// The keys go to a thread, until the SIGTERM half way cancels it: the
// next call shows what was typed again.
void
cancelled_typing()
{
	sigset_t term;
	sigemptyset(&term);
	sigaddset(&term, SIGTERM);
	pthread_sigmask(SIG_BLOCK, &term, nullptr);
	pthread_t t = edit_apart("line> ");
	int sig;
	sigwait(&term, &sig);
	pthread_cancel(t);
	pthread_join(t, nullptr);
	pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
}

// quick_exit() while a thread edits gives the terminal back too.
void
quick_exit_first()
{
	pid_t pid = fork();
	if (pid == 0) {
		limit(60);
		(void)edit_apart("gone> ");
		quick_exit(0);
	}
	int status;
	struct termios m;
	waitpid(pid, &status, 0);
	if (status != 0 || tcgetattr(0, &m) != 0 || !(m.c_lflag & ICANON))
		child_exit(3);
}

// At a terminal: standard input is a pseudo-terminal cols wide, and so is
// standard output where shown; once the editor has it in non-canonical
// mode, keys are typed into it. The child ignores the signals its keys
// raise, so that it goes on after them. Where jolt is set, half way, as
// it waits for a key, that signal comes, which the child handles; with
// SIGTERM, the window grows at once too. (A signal the editor does not
// hold, coming with one it does, cannot be told apart from it.) Without
// the editor, keys are typed once the prompt is out. setup runs in the
// child first; the child calls get_string calls times, and the last
// call's line is the result. The prompt's last row
// ends in "line> ", after what word holds before it. What the terminal
// was sent is left in seen.
const char *word = "line";
int jolt;		// the signal half way, if any
std::string seen;	// the first KiB the terminal was sent
const char *reply;	// the answer to where the cursor is, if not the true one
bool late;		// the answer comes once every key is typed
bool burst;		// the keys go at once, as pasted without brackets
bool paused;		// after an Escape, the next key once the editor no
			// longer waits for more of its sequence

// Whether a thread of the process is in poll(), with no time limit where
// endless: a signal that comes there ends a wait, where one that comes
// while the editor writes or sets the terminal's mode does not.
bool
polling(pid_t pid, bool endless = false)
{
	bool in = false;
	each_thread(pid, "syscall", [&](FILE *f, const char *) {
		long nr;
		unsigned long limit;	// ms for poll, a timespec for ppoll
		if (fscanf(f, "%ld %*x %*x %lx", &nr, &limit) != 2)
			return;
		in = in || (nr == SYS_ppoll && (!endless || limit == 0));
#ifdef SYS_poll
		in = in || (nr == SYS_poll && (!endless || int(limit) < 0));
#endif
	});
	return in;
}

// Whether what was typed waits unread: a poll of the terminal's own side
// first hands it what is still on its way from ours.
bool
unread(int pty)
{
	int fd = open(ptsname(pty), O_RDWR | O_NOCTTY | O_CLOEXEC);
	struct pollfd p = {fd, POLLIN, 0};
	bool in = fd < 0 || poll(&p, 1, 0) != 0;
	if (fd >= 0)
		close(fd);
	return in;
}

bool
signal_key(char c)
{
	return c == 3 || c == 0x1a || c == 0x1c;
}

Line
typed(const std::string &keys, bool shown = true, unsigned short cols = 80,
    const char *term = "xterm", void (*setup)() = nullptr, int calls = 1)
{
	int pty = posix_openpt(O_RDWR | O_NOCTTY);
	FILE *res = tmpfile();
	struct winsize ws = {24, cols, 0, 0};
	if (pty < 0 || res == nullptr || grantpt(pty) != 0 || unlockpt(pty) != 0 ||
	    ioctl(pty, TIOCSWINSZ, &ws) != 0)
		return "no terminal";
	fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		limit(60);
		int tty = setsid() < 0 ? -1 : open(ptsname(pty), O_RDWR);
		close(pty);	// or a hang-up would never come
		dup2(tty, 0);
		if (shown)
			dup2(tty, 1);
		else
			close(1);
		if (term != nullptr)
			setenv("TERM", term, 1);
		else
			unsetenv("TERM");
		for (int sig : {SIGINT, SIGQUIT, SIGTSTP, SIGHUP})
			signal(sig, SIG_IGN);
		// with SA_RESTART, as glibc's signal() gives, but not
		// ThreadSanitizer's
		struct sigaction sa = {};
		sa.sa_handler = ignore;
		sa.sa_flags = SA_RESTART;
		sigaction(SIGTERM, &sa, nullptr);
		if (setup != nullptr)
			setup();
		string s = nullptr;
		for (int i = 0; i < calls; i++)
			s = get_string(nullptr, "%s\n%s> ", "first row", word);
		armed = false;
		struct rlimit r;	// no_descriptor's limit lifted, for res
		getrlimit(RLIMIT_NOFILE, &r);
		r.rlim_cur = r.rlim_max;
		setrlimit(RLIMIT_NOFILE, &r);
		fseek(res, 0, SEEK_END);
		fprintf(res, "%c%s", s == nullptr ? '-' : '+', s == nullptr ? "" : s);
		fflush(res);
		child_exit(0);
	}
	// typing once the prompt is out and the editor, if any, has the terminal
	bool plain = setup == mode_refused || setup == no_descriptor;
	bool typing = false, editing = false, signalled = false, asked = false;
	bool stirred = false;		// a signal came, by a key or half way
	std::string woke;		// runs before it came
	size_t sent = 0;
	std::string shown_so_far;
	int status;
	bool ended = false;
	auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(patience_ms());
	// all that was typed is read, and the process sleeps
	auto idle = [&] { return !unread(pty) && all_in(pid, "S"); };
	while (!(ended = waitpid(pid, &status, WNOHANG) != 0)) {
		if (std::chrono::steady_clock::now() > until) {
			ADD_FAILURE() << "waited " << patience_ms() / 1000 << " s in vain for " <<
			    (typing ? "the line typed as " +
			    testing::PrintToString(keys) : std::string("the prompt"));
			ran_out = true;
			kill(pid, SIGKILL);
			break;
		}
		struct termios t;
		bool prompted = !shown || shown_so_far.find("line> ") != std::string::npos;
		if (!typing && plain)
			typing = prompted;
		else if (!typing && prompted && tcgetattr(pty, &t) == 0 && !(t.c_lflag & ICANON))
			typing = editing = true;
		struct pollfd p = {pty, POLLIN, 0};
		char buf[4096];
		ssize_t n = 0;
		if (poll(&p, 1, 10) > 0 && (n = read(pty, buf, sizeof buf)) < 0)
			break;
		if (p.revents & POLLIN && n > 0 && shown_so_far.size() < 1024)
			shown_so_far.append(buf, static_cast<size_t>(n));
		// asked where the cursor is: after the prompt, where shown
		asked = asked || (n > 0 && memmem(buf, size_t(n), "\x1b[6n", 4) != nullptr);
		if (asked && (!late || sent == keys.size())) {
			write_all(pty, reply != nullptr ? reply : shown ? "\x1b[2;7R" : "\x1b[1;1R");
			asked = false;
		}
		// and hangs up once all is read, which would otherwise go
		if (typing && sent == keys.size() && !memchr("\r\n\x04", keys.back(), 3) && idle())
			break;
		bool half = jolt != 0 && editing && sent == keys.size() / 2 && !signalled;
		// as it waits for a key, with none on the way: a poll that a key
		// has woken ends as though no signal came
		if (half && idle() && polling(pid)) {
			// before the resize, whose SIGWINCH may run the process
			// through both signals at once
			woke = runs(pid);
			ws.ws_col = static_cast<unsigned short>(cols + (jolt == SIGTERM ? 10 : 0));
			(void)ioctl(pty, TIOCSWINSZ, &ws);
			kill(pid, jolt);
			signalled = stirred = true;
		} else if (typing && !half && sent < keys.size() &&
		    // the signal's handler gives the terminal back for a while
		    (!editing || (tcgetattr(pty, &t) == 0 && !(t.c_lflag & ICANON))) &&
		    // a key that raises a signal throws away what is unread,
		    // so it comes once all is read; after any signal, the next
		    // key once the signal has woken the editor and it waits
		    // again, or a wait the key ends would not see the signal
		    (!editing || !signal_key(keys[sent]) || idle()) &&
		    (!stirred || (runs(pid) != woke && all_in(pid, "S"))) &&
		    (!paused || sent == 0 || keys[sent - 1] != '\x1b' ||
		    (idle() && polling(pid, true))) &&
		    // a thread that is cancelled must not have the rest
		    !(setup == cancelled_typing && signalled &&
		    shown_so_far.find("first row") == std::string::npos)) {
			// a key's escape sequence goes at once, as a terminal
			// sends it, but for the half way
			size_t n = 1, mid = keys.size() / 2;
			if (keys[sent] == '\x1b' && sent + 1 < keys.size() && !paused)
				n = keys[sent + 1] == 'O' ? 3 : keys[sent + 1] != '[' ? 2 :
				    keys.find_first_of("@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`"
				    "abcdefghijklmnopqrstuvwxyz{|}~", sent + 2) + 1 - sent;
			n = burst ? keys.size() - sent : std::min(n, keys.size() - sent);
			if (jolt != 0 && sent < mid && editing && !signalled)
				n = std::min(n, mid - sent);
			woke = runs(pid);
			ssize_t w = write(pty, keys.data() + sent, n);
			if (w > 0)
				sent += size_t(w);
			stirred = editing && sent > 0 && signal_key(keys[sent - 1]);
		}
	}
	close(pty);
	seen = shown_so_far;
	if (!ended)
		status = reap(pid, "the editor to end at the hang-up after " +
		    testing::PrintToString(keys));
	std::string r = slurp(res);
	fclose(res);
	if (r.empty() || r[0] == '-')
		return r.empty() ? Line("no result") : std::nullopt;
	return r.substr(1);
}

TEST_F(GetString, AtATerminalTheLineIsEdited)
{
	const std::string long_line(200, 'x');
	const struct {
		std::string keys;
		Line want;
	} cases[] = {
		{"Helo\x1b[Dl\r", "Hello"},		// left
		{"ac\x1bOD" "b\n", "abc"},		// left, as SS3; LF ends it too
		{"a\x1b[15~b\x1b[200~c\x1b[201~\x1b[1;5Cd\x1b" "xe\r", "abcde"},
		{"a\0b\r"s, "ab"},			// a zero byte is dropped
		{"ab\x03" "cd\r", "cd"},		// Ctrl-C, Ctrl-\ throw it away
		{"ab\x1c" "cd\r", "cd"},
		{"ab\x1a" "cd\r", "abcd"},		// Ctrl-Z keeps it
		{"\x04", std::nullopt},			// Ctrl-D on an empty line
		{"ab", std::nullopt},			// a hang-up, in a key too
		{"a\x1b", std::nullopt},
		{"a\x1bO", std::nullopt},
		{"a\x1b[", std::nullopt},
		{"a\x16\rb\r", "a\nb"},		// Ctrl-V Enter: a newline
		{"a\x16\0b\r"s, std::nullopt},		// a zero byte, as from a pipe
		{"a\x12\x07\x0c" "b\r", "ab"},		// other controls: nothing
		{"a\x1b[200~x\x01\x7f\x1b[Ay\x1b[201~b\r", "ax\x01\x7f\x1b[Ayb"},	// pasted
		{"a\x1b[200~b\rc\x1b[201~d\r", "ab\ncd"},
		{"a\x1b[200~b\x1b\x1b[201~c\r", "ab\x1b" "c"},
		{"a\x1b[200~b\0c\x1b[201~d\r"s, std::nullopt},
		{long_line + "\x01y\r", "y" + long_line},	// scrolled
	};
	for (const auto &c : cases)
		EXPECT_EQ(typed(c.keys), c.want) << testing::PrintToString(c.keys);
	// a resize and a signal half way, the signal inside a key: the line
	// is drawn anew and the key read whole; neither ends the wait, though
	// the program has a handler without SA_RESTART for another signal
	jolt = SIGTERM;
	EXPECT_EQ(typed("ab\x1b[Dc\r", true, 80, "xterm", [] {
		struct sigaction sa = {};
		sa.sa_handler = ignore;
		sigaction(SIGUSR1, &sa, nullptr);
	}), "acb");
	// a handler of the program's without SA_RESTART ends the wait, for
	// a signal the editor holds or not; the next call shows what was
	// typed again
	for (int sig : {SIGTERM, SIGUSR1}) {
		jolt = sig;
		EXPECT_EQ(typed("abcd\r", true, 80, "xterm", [] {
			struct sigaction sa = {};
			sa.sa_handler = ignore;
			sigaction(jolt, &sa, nullptr);
		}, 2), "abcd") << sig;
	}
	jolt = SIGTERM;
	if (!EDITOR_MISREAD) {
		EXPECT_EQ(typed("abcd\r", true, 80, "xterm", cancelled_typing), "abcd");
	}
	jolt = 0;
	// history: Up and Ctrl-P back, Down and Ctrl-N on, to the line being
	// typed; an empty line is not kept
	const struct {
		std::string keys;
		Line want;
	} recalled[] = {
		{"one\rtwo\r\x1b[A\x1b[A\r", "one"},
		{"one\rtwo\r\x10\x10\x0e\r", "two"},
		{"one\r\r\x1b[A\r", "one"},
		{"a\rb\rc\x1b[A\x1b[A\x1b[B\x1b[B\r", "c"},
	};
	for (const auto &c : recalled)
		EXPECT_EQ(typed(c.keys, true, 80, "xterm", nullptr, 3), c.want)
		    << testing::PrintToString(c.keys);
	// the last 100 lines are kept; the last 64 changes undone
	std::string lines, changes;
	for (int i = 0; i < 101; i++)
		lines += std::to_string(i) + "\r";
	for (int i = 0; i < 101; i++)
		lines += "\x1b[A";
	EXPECT_EQ(typed(lines + "\r", true, 80, "xterm", nullptr, 102), "1");
	for (int i = 0; i < 70; i++)
		changes += "a\x7f";
	EXPECT_EQ(typed(changes + "\x1f\r"), "a");
	// a prompt measured by what it shows: a title, a colour and a tab
	word = "\x1b]0;title\x07\x1b[1m\x1b" "7\tline";
	EXPECT_EQ(typed("ab\x02x\r"), "axb");
	word = "line";
	// with standard output closed, the line is drawn alone
	EXPECT_EQ(typed("ab\x02x\r", false), "axb");
	// a terminal that takes no escape sequences, or none named: edited
	// all the same, and sent none; too narrow for the prompt, Ctrl-L
	for (const char *term : {"dumb", "", static_cast<const char *>(nullptr)}) {
		EXPECT_EQ(typed("ab\x02x\r", true, 80, term), "axb");
		EXPECT_EQ(seen.find('\x1b'), std::string::npos) << testing::PrintToString(seen);
	}
	EXPECT_EQ(typed("abc\x02\x0cx\x7f\x7f\x05\x7f\r", true, 4, "dumb"), "a");
	EXPECT_EQ(seen.find('\x1b'), std::string::npos) << testing::PrintToString(seen);
	// with echo off nothing is drawn, even as Ctrl-C throws the line away
	EXPECT_EQ(typed("ab\x03" "cd\r", true, 80, "xterm", [] {
		struct termios t;
		tcgetattr(0, &t);
		t.c_lflag &= ~ECHO;
		tcsetattr(0, TCSANOW, &t);
	}), "cd");
	EXPECT_EQ(seen.find("ab"), std::string::npos) << testing::PrintToString(seen);
	// answers to where the cursor is that are no answer: the line is
	// drawn all the same, and what came in them is keys
	for (const char *r : {"\x1b[0;7R", "\x1b[2R", "\x1b[2;0R", "\x1b[2;7x"}) {
		reply = r;
		EXPECT_EQ(typed("ab\r"), "ab") << testing::PrintToString(r);
	}
	const std::string too_long = "\x1b[" + std::string(29, '1') + "R";
	reply = too_long.c_str();
	EXPECT_EQ(typed("ab\r"), "ab");
	reply = "\x1b\x1b[2;7R";	// an Escape before it is kept for a key
	EXPECT_EQ(typed("\r"), "");
	reply = "\x1b[0;7R";	// and after a resize the terminal is not asked
	jolt = SIGTERM;
	EXPECT_EQ(typed("ab\x02x\r"), "axb");
	jolt = 0;
	reply = nullptr;
	// keys typed while the terminal is slow to answer: an interrupt
	// among them throws away what came before it, and only that
	late = true;
	EXPECT_EQ(typed("ab\x03x\r"), "x");
	late = false;
	// and typed at once: what follows the interrupt is the next line
	burst = true;
	EXPECT_EQ(typed("abc\x03xy\r"), "xy");
	burst = false;
	// Escape, then a key after the half second it waits: the key itself
	paused = true;
	EXPECT_EQ(typed("ab\x1b" "b\r"), "abb");
	paused = false;
	// a prompt that ends at the edge, drawn anew by Ctrl-L: the line on
	// the next row; a window one column wide
	EXPECT_EQ(typed("ab\x0c" "c\r", true, 6), "abc");
	EXPECT_EQ(typed("ab\x02x\r", true, 1), "axb");
	// a window of no known width, and one wider than the drawing's pieces
	EXPECT_EQ(typed("abc\x02x\r", true, 0), "abxc");
	std::string smiles;
	for (int i = 0; i < 300; i++)
		smiles += "\xf0\x9f\x98\x80";
	EXPECT_EQ(typed(smiles + "\r", true, 400), smiles);
	// a window narrower than the prompt
	EXPECT_EQ(typed("abc\x02x\r", true, 4), "abxc");
	// a read of the terminal that fails ends the line: NULL; a poll
	// that fails is no key, and the keys are read as they come
	EXPECT_EQ(typed("ab\r", true, 80, "xterm", [] { refuse(__NR_read, 0, 0); }), std::nullopt);
#ifdef __NR_poll
	EXPECT_EQ(typed("ab\x1b" "b\r", true, 80, "xterm", [] {
		refuse(__NR_poll);
		refuse(__NR_ppoll);
	}), "ab");
#endif
	// a terminal that is another user's, as after su: drawn on stdin
	if (geteuid() == 0) {
		EXPECT_EQ(typed("ab\x02x\r", true, 80, "xterm", [] {
			if (setgid(65534) != 0 || setuid(65534) != 0)
				child_exit(2);
		}), "axb");
	}
	for (void (*setup)() : {mode_refused, no_descriptor, quick_exit_first,
	    cancelled_first}) {
		if (setup != cancelled_first || !EDITOR_MISREAD) {
			EXPECT_EQ(typed("ab\r", true, 80, "xterm", setup), "ab");
		}
	}
	if (!SANITIZED) {
		// after the prompt's copy: the line's small start, its growth
		EXPECT_EQ(typed("ab\r", true, 80, "xterm", [] { fail_from(2); }),
		    std::nullopt);
		EXPECT_EQ(typed(long_line + "\r", true, 80, "xterm",
		    [] { fail_from(3); }), std::nullopt);
		// the line grown past its small start as it is typed; a yank
		for (const std::string &keys : {std::string(300, 'x') + "\r",
		    std::string(150, 'x') + "\x15\x19\x19\r"}) {
			EXPECT_EQ(typed(keys, true, 80, "xterm", [] {
				fail_from(LONG_MAX);
				failing = fail::over;
				fail_count = 200;
			}), std::nullopt) << testing::PrintToString(keys);
		}
		// the text typed as memory ran out is gone, not the next
		// line: the next call edits it
		EXPECT_EQ(typed("ab\r", true, 80, "xterm", [] {
			fail_from(3);
			failing = fail::nth;
		}, 2), "b");
	}
}

}
