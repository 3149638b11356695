// SPDX-License-Identifier: MIT
// libkelp's terminal while a line is edited: its mode, the signals that
// must give it back, a child forked meanwhile, and quick_exit().

#ifndef KELP_TERM_H
#define KELP_TERM_H

#pragma GCC visibility push(hidden)

// Whether standard input is a terminal. Notes the terminal's mode, which
// the editor gives back, and whether TERM names one that moves its cursor.
bool at_terminal();

// Takes the terminal for editing: opened again for drawing, in
// non-canonical mode, the signals that end or stop the process held.
// False where it cannot be had, and nothing is changed.
bool take_terminal();

// Gives the terminal and the signals back as they were, once: at the
// line's end, a cancel, the library's unloading, quick_exit().
void give_back();

// The descriptor the line is drawn on, and whether the program's mode
// shows what is typed.
int drawn_on();
bool echoing();

// Whether the terminal takes escape sequences: not where TERM is unset,
// empty or "dumb". A line is then drawn with carriage returns and spaces.
bool moves_cursor();

// What signals have left to do, taken once each: draw the line again,
// on a new row where fresh is set; the line thrown away (an interrupt or
// quit); the wait ended (a handler of the program's without SA_RESTART).
bool redraw_due(bool *fresh);
bool dropped();
void keep_line();
bool woken();

// Waits up to ms milliseconds (-1: however long) for input on stdin, as
// poll() would. A signal ends the wait, which then goes on
// (interrupted()); the call itself ends as soon as it can where the
// signal's handler is the program's and asks for that (no SA_RESTART).
int wait_input(int ms);
bool interrupted(int ready);

// Whether the job is in the background, where the terminal is not the
// editor's; once it is in front again, the terminal is taken again.
bool away();

// Whether a wait that a handler ended goes on: poll() is never
// restarted, so it goes on only where every handler of the program's is
// installed with SA_RESTART, as a read would.
bool handlers_restart();

#pragma GCC visibility pop

#endif
