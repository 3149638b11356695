// SPDX-License-Identifier: MIT
// libkelp's line editor, for a person at a terminal: the loop that reads
// keys, edits the line and draws it. Called with the library's lock held.

#ifndef KELP_EDITOR_H
#define KELP_EDITOR_H

#include <cstddef>

#pragma GCC visibility push(hidden)

// How an edit ended: a line, in the read buffer; no line, with errno: the
// end of input (0), a read that failed, a handler of the program's
// (EINTR: what was typed is shown again by the next call), no memory
// (ENOMEM); or not begun, as the terminal cannot be had, and nothing read.
enum class edit_end : unsigned char { line, no_line, not_begun };

struct edited_line {
	edit_end end;
	char *text;
	size_t len;
};

// Reads one line from the terminal and lets the person edit it; prompt,
// of plen bytes, is what standard output showed on this terminal before
// it (null when standard output goes elsewhere), drawn again on a new
// row.
edited_line edit_line(const char *prompt, size_t plen);

#pragma GCC visibility pop

#endif
