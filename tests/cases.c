/* SPDX-License-Identifier: MIT */
/*
 * The library's cases where C libraries differ, run as `cases NAME`: each
 * prints what its calls of get_string gave, a line or NULL (with "eof" or
 * "error" when stdin's indicators are set), each followed by ';'. It ends
 * by SIGALRM should anything wait for input that has not come, after a
 * minute, or ROTLET_TEST_SCALE minutes on a machine that slow.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

static FILE *out;	/* what the calls gave */
static int feed;	/* the writing end of standard input */

static void
call(void)
{
	string s = get_string(NULL, NULL);

	fprintf(out, "%s%s%s;", s == NULL ? "NULL" : s, feof(stdin) ? " eof" : "",
	    ferror(stdin) ? " error" : "");
	fflush(out);
}

static void
put(const char *text)
{
	if (write(feed, text, strlen(text)) != (ssize_t)strlen(text))
		exit(2);
}

static void
on_alarm(int sig)
{
	(void)sig;
}

/* A handler that says it ran, on a pipe. */
static int ran[2];

static void
say_ran(int sig)
{
	(void)sig;
	(void)!write(ran[1], "!", 1);
}

/* A child forked while the waiter waits reads a new input of its own. */
static void
fork_and_read(int by_freopen)
{
	pid_t pid;
	int status;

	(void)start_waiter();
	pid = fork();
	if (pid == 0) {
		int other[2];
		char path[] = "/tmp/kelp_cases.XXXXXX";
		int fd = mkstemp(path);

		limit(60);
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

/* The end of a FIFO's input, then a new writer whose line comes in two
 * pieces, the second while the call waits. */
static void
eof_fifo(void)
{
	char dir[] = "/tmp/kelp_cases.XXXXXX", path[64], self[64];
	int r, w;

	if (mkdtemp(dir) == NULL)
		exit(2);
	snprintf(path, sizeof path, "%s/fifo", dir);
	snprintf(self, sizeof self, "/proc/%d/stat", (int)getpid());
	if (mkfifo(path, 0600) != 0 || (r = open(path, O_RDONLY | O_NONBLOCK)) < 0 ||
	    (w = open(path, O_WRONLY)) < 0 || fcntl(r, F_SETFL, 0) != 0 ||
	    dup2(r, 0) < 0 || write(w, "first\n", 6) != 6)
		exit(2);
	close(w);
	call();
	call();
	if ((w = open(path, O_WRONLY)) < 0 || write(w, "h", 1) != 1)
		exit(2);
	unlink(path);
	rmdir(dir);
	if (fork() == 0) {
		until_asleep(self);
		if (write(w, "ello\n", 5) != 5)
			_exit(2);
		_exit(0);
	}
	call();
	close(w);
	wait(NULL);
	call();
}

/* At a terminal: the program's own read meets the end, Ctrl-D, and then
 * a line is typed, which the editor reads all the same. */
static void
eof_tty(void)
{
	int pty = posix_openpt(O_RDWR | O_NOCTTY), tty;

	if (pty < 0 || grantpt(pty) != 0 || unlockpt(pty) != 0 ||
	    (tty = open(ptsname(pty), O_RDWR | O_NOCTTY)) < 0 || dup2(tty, 0) < 0)
		exit(2);
	if (write(pty, "\004", 1) != 1 || getchar() != EOF ||
	    write(pty, "hello\n", 6) != 6)
		exit(2);
	call();
}

int
main(int argc, char *argv[])
{
	int in[2];
	const char *name = argc == 2 ? argv[1] : "";

	limit(60);
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
		limit(60);
		put("def\nghi");
		close(feed);
		call();
		call();
		call();
	} else if (strcmp(name, "restart") == 0) {
		/* a handler installed with SA_RESTART does not end the wait */
		struct sigaction sa = {0};
		char self[64], c;

		snprintf(self, sizeof self, "/proc/%d/stat", (int)getpid());
		sa.sa_handler = say_ran;
		sa.sa_flags = SA_RESTART;
		if (pipe(ran) != 0 || sigaction(SIGUSR1, &sa, NULL) != 0)
			return 2;
		put("abc");
		if (fork() == 0) {
			until_asleep(self);
			kill(getppid(), SIGUSR1);
			if (read(ran[0], &c, 1) != 1)
				_exit(2);
			until_asleep(self);
			put("def\n");
			_exit(0);
		}
		call();
		wait(NULL);
	} else if (strcmp(name, "ungetc") == 0) {
		/* a byte pushed back that is not the one read: glibc keeps it
		 * apart from the rest of its buffer */
		put("abc\ndef\n");
		(void)getchar();
		ungetc('X', stdin);
		call();
		call();
		put("late\n");
		call();
	} else if (strcmp(name, "cancel") == 0) {
		/* a waiting thread cancelled as each byte arrives: the part read
		 * is kept, however the two meet */
		string s;

		for (int i = 0; i < 200; i++) {
			pthread_t waiting = start_waiter();

			put("x");
			pthread_cancel(waiting);
			pthread_join(waiting, NULL);
		}
		put("\n");
		s = get_string(NULL, NULL);
		fprintf(out, "%zu;", s == NULL ? 0 : strlen(s));
	} else if (strcmp(name, "eof-fifo") == 0) {
		eof_fifo();
	} else if (strcmp(name, "eof-tty") == 0) {
		eof_tty();
	} else if (strcmp(name, "exit") == 0) {
		(void)start_waiter();
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
		static void *volatile room;	/* or the compiler may assume it */

		r.rlim_cur = r.rlim_max = statm(0) + (200ul << 20);
		/* qemu-user, for one, does not hold a process to the limit */
		setrlimit(RLIMIT_AS, &r);
		if ((room = malloc(250ul << 20)) != NULL) {
			fprintf(stderr, "cases: the address space limit is not enforced here\n");
			return 77;
		}
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
		call();
		call();
		call();
		if (statm(1) > rss + (16ul << 20))
			fprintf(out, "memory kept;");
	} else {
		fprintf(stderr, "usage: cases NAME, as tests/library.bats names them\n");
		return 2;
	}
	return 0;
}
