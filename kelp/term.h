// SPDX-License-Identifier: MIT
// libkelp's terminal while a line is edited: its mode, the job in front
// of it or behind, the signals that must give it back or that the
// program's handlers must still see, a child forked meanwhile, and
// quick_exit().

#ifndef KELP_TERM_H
#define KELP_TERM_H

#include <sys/types.h>

#include "keys.h"

#pragma GCC visibility push(hidden)

// Whether standard input is a terminal. Notes the terminal's mode, which
// the editor gives back, and whether TERM names one that moves its cursor.
bool at_terminal();

enum class taking : unsigned char { taken, refused, failed };

// Takes the terminal for editing: opened again for drawing, in
// non-canonical mode with its keys for signals read as keys, the signals
// the editor must see held. A job in the background first waits as a
// read would, stopped until it is in front (refused: nothing changed;
// failed: errno, as that read would fail).
taking take_terminal();

// Gives the terminal and the signals back as they were, once: at the
// line's end, a cancel, the library's unloading, quick_exit().
void give_back();

// Where the job has gone to the background, waits as a read would until
// it is in front again, and takes the terminal again; false, with errno,
// where that read would fail, or where the terminal was given back for
// good (EIO).
bool regain_terminal();

// Waits up to ms milliseconds (-1: however long) for input, as poll()
// would. For a key, it is a cancellation point, the one of the edit, and
// a signal that leaves the editor something to do ends it (EINTR).
int wait_input(int ms, bool for_key);

// The terminal's device, as at_terminal() found it.
dev_t term_device();

// Whether the terminal is the editor's now: not while the job is in the
// background, where nothing is drawn.
bool terminal_ours();

// The descriptor the line is drawn on, whether the program's mode shows
// what is typed, and whether the terminal takes escape sequences: not
// where TERM is unset, empty or "dumb".
int drawn_on();
bool echoing();
bool moves_cursor();

// The terminal's keys for signals, which the editor reads as keys.
signal_keys keys_for_signals();

// Sends sig to the job in front of the terminal, as the terminal does
// for its key.
void send_key_signal(int sig);

// Whether a wait that a handler ended goes on: poll() is never
// restarted, so it goes on only where every handler of the program's is
// installed with SA_RESTART, as a read would.
bool handlers_restart();

// What signals have left to do, each said once: draw the line again,
// on a new row where fresh is set; and whether a handler of the
// program's without SA_RESTART has ended the wait, as it would a read's.
struct term_events {
	bool redraw, fresh, wait_ended;
};
bool events_pending();
term_events take_events();

#pragma GCC visibility pop

#endif
