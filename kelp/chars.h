// SPDX-License-Identifier: MIT
// libkelp's characters as the editor counts them: UTF-8 sequences, the
// grapheme clusters a person sees as one character (Unicode's UAX #29),
// the columns each takes on a terminal, and their case; the same in
// every locale.

#ifndef KELP_CHARS_H
#define KELP_CHARS_H

#include <cstddef>

#pragma GCC visibility push(hidden)

// The bytes of the character that starts at p of the len at s: those of
// a well-formed UTF-8 sequence, else 1.
size_t char_len(const char *s, size_t p, size_t len);

// The code point at p, of char_len() bytes; a byte that begins no
// well-formed sequence is none, and its value is taken past U+10FFFF.
unsigned code_point_at(const char *s, size_t p, size_t len);

// Where the cluster that starts at p ends; where the one that ends at p
// starts. A byte that is no well-formed UTF-8 is a cluster of its own.
size_t next_cluster(const char *s, size_t p, size_t len);
size_t prev_cluster(const char *s, size_t p, size_t len);

// The first place at or after p where a cluster starts, or the end:
// bytes put in a line may join those around them into one.
size_t cluster_boundary(const char *s, size_t p, size_t len);

// What a cluster is, as far as its columns go: terminals differ on the
// emoji sequences, so each kind's columns may be learned from the one in
// front of the person.
enum class cluster_kind : unsigned char {
	text,		// the columns of its first character
	flag,		// two regional indicators
	presented,	// an emoji presentation sequence, with U+FE0F
	keycap,		// a keycap sequence, with U+20E3
	modified,	// an emoji with a skin tone
	joined,		// pictographs joined by ZWJ into one
};
constexpr int cluster_kinds = 6;

cluster_kind kind_of(const char *s, size_t p, size_t q);

// Columns the cluster from p to q takes: a control byte shows as ^X,
// two; a C1 control, U+0080 to U+009F, as <85>, four; a wide character
// two, a combining mark alone none; an emoji sequence two, or what the
// terminal was found to give its kind.
size_t cluster_width(const char *s, size_t p, size_t q);
void learn_width(cluster_kind k, size_t columns);
bool width_learned(cluster_kind k);

// Code points in the other case, by Unicode's simple mappings; those
// with none stay.
unsigned upper_case(unsigned c);
unsigned lower_case(unsigned c);

// The UTF-8 of c, into four bytes at to: how many.
size_t put_code_point(unsigned c, char *to);

// Columns a prompt takes: escape sequences none, and a tab on to the
// next multiple of eight.
size_t shown_width(const char *s, size_t len);

#pragma GCC visibility pop

#endif
