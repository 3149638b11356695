/* SPDX-License-Identifier: MIT */
/*
 * paste [-h] N COMMAND [ARG...]: runs COMMAND on a new pseudo-terminal, as
 * a person's terminal would, pastes a line of N bytes and Enter into it
 * (with -h, in two halves with Ctrl-A between them, so that the second
 * goes in at the line's start, before a tail as long as itself)
 * once the command has the terminal in non-canonical mode (before that
 * the terminal would keep 4095 bytes of it), and ends with the command's
 * status once it has ended.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	int home = argc > 1 && strcmp(argv[1], "-h") == 0;
	argv += home;
	argc -= home;
	if (argc < 3) {
		fprintf(stderr, "usage: paste [-h] N COMMAND [ARG...]\n");
		return 2;
	}
	size_t n = strtoul(argv[1], NULL, 10), sent = 0;
	char *line = malloc(n + 3);
	int pty = posix_openpt(O_RDWR | O_NOCTTY);
	if (line == NULL || pty < 0 || grantpt(pty) != 0 || unlockpt(pty) != 0)
		return 2;
	for (size_t i = 0; i < n; i++)
		line[i] = "The quick brown fox jumps over the lazy dog. "[i % 45];
	line[n] = '\r';
	if (home) {
		memmove(line + n / 2 + 1, line + n / 2, n - n / 2 + 1);
		line[n / 2] = '\001';
		n++;
	}
	pid_t pid = fork();
	if (pid == 0) {
		int tty;
		if (setsid() < 0 || (tty = open(ptsname(pty), O_RDWR)) < 0)
			_exit(127);
		dup2(tty, 0);
		dup2(tty, 1);
		dup2(tty, 2);
		close(pty);
		execvp(argv[2], argv + 2);
		_exit(127);
	}
	/* Paste while taking what the command shows, so that neither waits. */
	int ready = 0;
	for (;;) {
		struct termios t;
		if (!ready && tcgetattr(pty, &t) == 0 && !(t.c_lflag & ICANON))
			ready = 1;
		struct pollfd p = {pty, POLLIN | (ready && sent <= n ? POLLOUT : 0), 0};
		char buf[65536];
		if (poll(&p, 1, ready ? -1 : 10) < 0)
			break;
		if (p.revents & POLLIN) {
			if (read(pty, buf, sizeof buf) <= 0)
				break;
		} else if (p.revents & POLLOUT) {
			ssize_t w = write(pty, line + sent, n + 1 - sent > 4096 ? 4096 : n + 1 - sent);
			if (w > 0)
				sent += (size_t)w;
		} else if (p.revents) {
			break;		/* the command has ended and closed it */
		}
	}
	int status;
	waitpid(pid, &status, 0);
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
