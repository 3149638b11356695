// SPDX-License-Identifier: MIT
// libkelp's line editor, for a person at a terminal: the loop that reads
// keys, edits the line and draws it. Called with the library's lock held.

#ifndef KELP_EDITOR_H
#define KELP_EDITOR_H

#include <cstddef>

#pragma GCC visibility push(hidden)

// Reads one line from the terminal and lets the person edit it; prompt,
// of plen bytes, is what standard output showed on this terminal before
// it (null when standard output goes elsewhere), drawn again on a new
// row. The line is left in the read buffer. Returns its length, or -1:
// end of input (errno 0), a read that failed (errno), a handler of the
// program's (EINTR, what was typed kept for the next call), or no memory
// (ENOMEM). -2 when the terminal cannot be put in the editor's mode,
// which reads nothing.
long edit_line(const char *prompt, size_t plen);

#pragma GCC visibility pop

#endif
