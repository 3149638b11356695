/* SPDX-License-Identifier: MIT */
/*
 * The library's cases where C libraries differ, run as `cases NAME`: each
 * prints what its calls of get_string gave, a line or NULL, each followed
 * by ';'. It ends by SIGALRM should anything wait for input that has not
 * come.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kelp.h"

static FILE *out;	/* what the calls gave */
static int feed;	/* the writing end of standard input */

static void
call(void)
{
	string s = get_string(NULL, NULL);
	fprintf(out, "%s;", s == NULL ? "NULL" : s);
	fflush(out);
}

static void
put(const char *text)
{
	if (write(feed, text, strlen(text)) != (ssize_t)strlen(text))
		exit(2);
}

/* The process's size (field 0) or resident memory (1), in bytes. */
static unsigned long
statm(int field)
{
	unsigned long v[2] = {0, 0};
	FILE *f = fopen("/proc/self/statm", "r");

	if (f != NULL && fscanf(f, "%lu %lu", &v[0], &v[1]) != 2)
		v[0] = v[1] = 0;
	if (f != NULL)
		fclose(f);
	return v[field] * (unsigned long)sysconf(_SC_PAGESIZE);
}

static void
on_alarm(int sig)
{
	(void)sig;
}

/* A thread waiting in get_string for a line that has not come: returns
 * once it sleeps there. */
static volatile long waiter_id;

static void *
waiter(void *arg)
{
	(void)arg;
	waiter_id = syscall(SYS_gettid);
	(void)get_string(NULL, NULL);
	return NULL;
}

static void
start_waiter(void)
{
	pthread_t t;
	char path[64], state = 'R';

	pthread_create(&t, NULL, waiter, NULL);
	while (waiter_id == 0 || state != 'S') {
		FILE *f;

		snprintf(path, sizeof path, "/proc/self/task/%ld/stat", waiter_id);
		if (waiter_id != 0 && (f = fopen(path, "r")) != NULL) {
			if (fscanf(f, "%*d (%*[^)]) %c", &state) != 1)
				state = 'R';
			fclose(f);
		}
		sched_yield();
	}
}

/* A child forked while the waiter waits reads a new input of its own. */
static void
fork_and_read(int by_freopen)
{
	pid_t pid;
	int status;

	start_waiter();
	pid = fork();
	if (pid == 0) {
		int other[2];
		char path[] = "/tmp/kelp_cases.XXXXXX";
		int fd = mkstemp(path);

		alarm(5);
		if (fd < 0 || write(fd, "from a file\n", 12) != 12)
			_exit(2);
		if (by_freopen) {
			if (freopen(path, "r", stdin) == NULL)
				_exit(2);
		} else {
			if (pipe(other) != 0 || write(other[1], "from a pipe\n", 12) != 12)
				_exit(2);
			dup2(other[0], 0);
		}
		unlink(path);
		call();
		_exit(0);
	}
	waitpid(pid, &status, 0);
	if (status != 0)
		fprintf(out, "child ended with %#x;", status);
}

int
main(int argc, char *argv[])
{
	int in[2];
	const char *name = argc == 2 ? argv[1] : "";

	alarm(10);
	out = fdopen(dup(1), "w");
	if (out == NULL || pipe(in) != 0 || dup2(in[0], 0) < 0)
		return 2;
	feed = in[1];
	if (strcmp(name, "eagain") == 0 || strcmp(name, "eintr") == 0) {
		/* a read fails part way through a line: nothing more yet on a
		 * non-blocking input, or a signal without SA_RESTART */
		struct sigaction sa = {0};
		struct itimerval t = {{0, 20000}, {0, 20000}}, off = {{0, 0}, {0, 0}};

		put("abc");
		if (strcmp(name, "eagain") == 0) {
			fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
		} else {
			sa.sa_handler = on_alarm;
			sigaction(SIGALRM, &sa, NULL);
			setitimer(ITIMER_REAL, &t, NULL);
		}
		call();
		setitimer(ITIMER_REAL, &off, NULL);
		signal(SIGALRM, SIG_DFL);
		alarm(10);
		put("def\nghi");
		close(feed);
		call();
		call();
		call();
	} else if (strcmp(name, "exit") == 0) {
		start_waiter();
		exit(0);
	} else if (strcmp(name, "fork") == 0) {
		fork_and_read(0);
	} else if (strcmp(name, "fork-freopen") == 0) {
		fork_and_read(1);
	} else if (strcmp(name, "memory") == 0) {
		/* a line larger than the address space left, then another;
		 * the memory the lost line held is given back */
		struct rlimit r;
		unsigned long rss = statm(1);

		r.rlim_cur = r.rlim_max = statm(0) + (200ul << 20);
		if (fork() == 0) {
			static char x[1 << 16];

			memset(x, 'x', sizeof x);
			for (int i = 0; i < (300 << 20) / (int)sizeof x; i++)
				if (write(feed, x, sizeof x) != (ssize_t)sizeof x)
					_exit(1);
			put("\nnext\n");
			_exit(0);
		}
		close(feed);
		setrlimit(RLIMIT_AS, &r);
		call();
		call();
		call();
		if (statm(1) > rss + (16ul << 20))
			fprintf(out, "memory kept;");
	} else {
		fprintf(stderr, "usage: cases eagain|eintr|exit|fork|fork-freopen|memory\n");
		return 2;
	}
	return 0;
}
