// SPDX-License-Identifier: MIT
// libkelp's line editor, for a person at a terminal. Called with the
// library's lock held.

#ifndef KELP_EDITOR_H
#define KELP_EDITOR_H

#include <cstddef>

#pragma GCC visibility push(hidden)

// Whether standard input is a terminal the editor can work: one with a
// TERM that is not "dumb". Notes the terminal's mode, which the editor
// gives back.
bool at_terminal();

// Reads one line from the terminal and lets the person edit it; prompt,
// of plen bytes, is what standard output showed on this terminal before
// it (null when standard output goes elsewhere), drawn again on a new
// row. The line is left in the read buffer. Returns its length, or -1:
// end of input (errno 0), a read that failed (errno), a handler of the
// program's (EINTR, what was typed kept for the next call), or no memory
// (ENOMEM). -2 when the terminal cannot be put in the editor's mode,
// which reads nothing.
long edit_line(const char *prompt, size_t plen);

// Gives the terminal back as it was, should the process end while a
// line is edited.
void end_editing();

// Whether a wait that a signal handler ended goes on: poll() is never
// restarted, so it goes on only where every handler of the program's is
// installed with SA_RESTART, as a read would.
bool handlers_restart();

#pragma GCC visibility pop

#endif
