// SPDX-License-Identifier: MIT
// get_string, fed through pipes and files: lines, memory, failed reads,
// threads and forks. Each case runs in a child process, so that it
// starts with fresh stdio state and its own standard input and output.

#include <fcntl.h>
#include <malloc.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <algorithm>
#include <climits>

#include "failing.h"
#include "harness.h"

namespace {

// A 64-bit process, which sets a large buffer aside from the start.
constexpr bool wide = sizeof(void *) == 8;

#if SANITIZED
#define SKIP_IF_SANITIZED() \
	GTEST_SKIP() << "the sanitizer needs more memory than the limit"
#else
#define SKIP_IF_SANITIZED()
#endif

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
size_t
resident()
{
	return statm(1);
}

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

// The thread has begun its line with one byte alone.
string
fork_while_waiting()
{
	int in[2];
	if (pipe(in) != 0)
		return nullptr;
	dup2(in[0], 0);
	(void)!write(in[1], "p", 1);
	pthread_t t = start_waiter();
	pid_t pid = fork();
	if (pid == 0) {
		limit(60);
		kill(getppid(), SIGSTOP);
		std::string parent = "/proc/" + std::to_string(getppid()) + "/stat";
		while (state_of(parent.c_str()) != 'T')
			;
		(void)!write(in[1], "artial\nforked\n", 14);
		string s = get_string(nullptr, nullptr);
		kill(getppid(), SIGCONT);
		child_exit(s != nullptr && strcmp(s, "forked") == 0 ? 0 : 3);
	}
	int status = -1;
	waitpid(pid, &status, 0);
	(void)!write(in[1], "done\n", 5);
	pthread_join(t, nullptr);
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
	pthread_t t = start_waiter();
	pthread_cancel(t);
	pthread_join(t, nullptr);
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

}
