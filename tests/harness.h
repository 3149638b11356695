/* SPDX-License-Identifier: MIT */
/*
 * What the library's tests share, in C for tests/cases.c and in C++ for
 * the GoogleTest files: limits on how long anything may wait, the
 * process's memory, a thread asleep inside get_string; and, in C++, a
 * child that reads through pipes and reports each call's line.
 */
#ifndef TESTS_HARNESS_H
#define TESTS_HARNESS_H

#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "kelp.h"

/* Limits are generous, so that a loaded machine does not fail a case, and
 * ROTLET_TEST_SCALE raises them on a slower one. */
static inline unsigned
scaled(unsigned seconds)
{
	const char *s = getenv("ROTLET_TEST_SCALE");
	int scale = s != NULL ? atoi(s) : 0;

	return seconds * (unsigned)(scale > 0 ? scale : 1);
}

/* A limit on a child, which SIGALRM ends, should the parent be gone. */
static inline void
limit(unsigned seconds)
{
	alarm(scaled(seconds));
}

/* The size of this process (field 0) or its resident memory (1), in bytes. */
static inline size_t
statm(int field)
{
	unsigned long v[2] = {0, 0};
	FILE *f = fopen("/proc/self/statm", "r");

	if (f != NULL && fscanf(f, "%lu %lu", &v[0], &v[1]) != 2)
		v[0] = v[1] = 0;
	if (f != NULL)
		fclose(f);
	return v[field] * (size_t)sysconf(_SC_PAGESIZE);
}

/* The state of the thread or process whose stat file is at path, as
 * ps(1) names it; '?' where it cannot be read. */
static inline char
state_of(const char *path)
{
	char state = '?';
	FILE *f = fopen(path, "r");

	if (f != NULL && fscanf(f, "%*d (%*[^)]) %c", &state) != 1)
		state = '?';
	if (f != NULL)
		fclose(f);
	return state;
}

static inline void
until_asleep(const char *path)
{
	while (state_of(path) != 'S')
		sched_yield();
}

/* A thread waiting in get_string for a line that has not come: started,
 * and known to sleep there. */
static long waiter_id;

static inline void *
waiter(void *arg)
{
	(void)arg;
	__atomic_store_n(&waiter_id, syscall(SYS_gettid), __ATOMIC_SEQ_CST);
	(void)get_string(NULL, NULL);
	return NULL;
}

static inline pthread_t
start_waiter(void)
{
	pthread_t t;
	char path[64];

	__atomic_store_n(&waiter_id, 0, __ATOMIC_SEQ_CST);
	pthread_create(&t, NULL, waiter, NULL);
	while (__atomic_load_n(&waiter_id, __ATOMIC_SEQ_CST) == 0)
		sched_yield();
	snprintf(path, sizeof path, "/proc/self/task/%ld/stat", __atomic_load_n(&waiter_id, __ATOMIC_SEQ_CST));
	until_asleep(path);
	return t;
}

#ifdef __cplusplus
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

using namespace std::string_literals;

// Children end with _exit(), so that nothing of the parent's runs twice;
// counted for coverage, they must exit() for their counts to be written.
#ifdef KELP_COVERAGE
#define child_exit exit
#else
#define child_exit _exit
#endif

// How long the parent waits for a child: less than the child's own
// limit. Once one wait has run out, a second, so that a fault that hangs
// every case fails the run in minutes, not hours.
inline bool ran_out;

inline int
patience_ms()
{
	return ran_out ? 1000 : int(scaled(45)) * 1000;
}

// Waits until fd is ready for events; at the end of the patience, fails
// the test, naming what it waited for.
inline bool
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
// patience, and the test failed, naming what it was doing. A child that
// stops is seen to by stopped(), then continued.
inline int
reap(pid_t pid, const std::string &what, void (*stopped)() = nullptr)
{
	int fd = int(syscall(SYS_pidfd_open, pid, 0)), status = -1;
	for (;;) {
		if (waitpid(pid, &status, WUNTRACED | WNOHANG) == pid) {
			if (!WIFSTOPPED(status))
				break;
			if (stopped != nullptr)
				stopped();
			kill(pid, SIGCONT);
			continue;
		}
		struct pollfd p = {fd, POLLIN, 0};
		if (fd >= 0 && poll(&p, 1, 20) == 0)
			continue;
		if (fd < 0 || !await(fd, POLLIN, what)) {
			kill(pid, SIGKILL);
			waitpid(pid, &status, 0);
			break;
		}
	}
	if (fd >= 0)
		close(fd);
	return status;
}

using Line = std::optional<std::string>;	// nullopt: NULL came back

// The lines a child's calls gave, written to f as it ends, and read back.
inline void
report(FILE *f, const std::vector<Line> &lines)
{
	for (const Line &s : lines) {
		uint64_t n = s ? s->size() : UINT64_MAX;
		fwrite(&n, sizeof n, 1, f);
		if (s)
			fwrite(s->data(), 1, n, f);
	}
	fflush(f);
}

inline std::string
slurp(FILE *f)
{
	std::string s;
	char buf[65536];
	rewind(f);
	for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
		s.append(buf, n);
	return s;
}

inline std::vector<Line>
reported(FILE *f)
{
	std::vector<Line> lines;
	std::string r = slurp(f);
	for (size_t off = 0; off + 8 <= r.size();) {
		uint64_t n;
		memcpy(&n, r.data() + off, 8);
		off += 8;
		lines.push_back(n == UINT64_MAX ? Line() : Line(r.substr(off, n)));
		off += n == UINT64_MAX ? 0 : n;
	}
	return lines;
}

// Writes all of text, or as much as the reader takes: a child may stop
// reading early, and the writer then gets EPIPE.
inline void
write_all(int fd, const std::string &text)
{
	for (size_t off = 0; off < text.size();) {
		ssize_t n = write(fd, text.data() + off, text.size() - off);
		if (n <= 0)
			break;
		off += static_cast<size_t>(n);
	}
}

// From now on the system call nr fails with EPERM: every call, or those
// whose argument which, from 0, is arg.
inline void
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

struct Outcome {
	std::string shown;		// all that went to standard output
	std::vector<Line> lines;	// one per call
	int status = -1;
};

inline string
plain_read()
{
	return get_string(nullptr, "> ");
}

// Calls read() `calls` times in a child whose standard input is a pipe fed
// with `input`; setup() runs in the child first. Every string is reported
// only after the last call, so earlier ones must still be intact.
inline Outcome
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
		std::vector<Line> lines;
		for (string s : got)
			lines.push_back(s == nullptr ? Line() : Line(s));
		report(res, lines);
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
	o.lines = reported(res);
	fclose(out);
	fclose(res);
	return o;
}
#endif

#endif
