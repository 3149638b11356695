#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# rotlet at a terminal, as a person uses it: in tmux, keys sent and the
# screen read back; every wait is for something to show.

load helper

setup() {
	skip_if_wrapped
	sock=$BATS_TEST_TMPDIR/tmux
	cd "$BATS_TEST_TMPDIR"
	# run.sh ARG...: rotlet, then the terminal as it left it and its
	# status, taken by a shell that keeps no terminal state of its own;
	# the terminal first, as the status is what a test waits for
	printf '%s\n' '"$ROTLET" "$@"' 's=$?' 'stty -g >after' 'echo "status=$s" >&2' >run.sh
	# HOME here: the shell writes its history there as it ends
	tm new-session -d -x 80 -y 24 -c "$BATS_TEST_TMPDIR" \
		"env -i HOME=$BATS_TEST_TMPDIR PATH=$PATH TERM=xterm ROTLET=$ROTLET bash --norc --noprofile -i"
	tm send-keys "stty -g >before; PS1='$ '; clear" Enter
	shows '$ '
	pane_tty=$(tm display -p '#{pane_tty}')
}

teardown() {
	tm kill-server 2>/dev/null || :
}

tm() {
	tmux -S "$sock" "$@"
}

# (newer tmux keeps a tab as it was written)
screen() {
	tm capture-pane -p -J | expand
}

# eventually COMMAND...: waits until COMMAND succeeds.
eventually() {
	local i
	for i in $(seq "$polls"); do
		"$@" && return 0
		sleep 0.05
	done
	"$@"
}

on_screen() {
	screen | grep -qF -- "$1"
}

# shows TEXT: waits until TEXT is on the screen.
shows() {
	eventually on_screen "$1" || { echo "never shown: $1"; screen; return 1; }
}

# The rotlet the pane's shell runs, by way of run.sh.
rotlet_pid() {
	local p i
	p=$(tm display -p '#{pane_pid}')
	for i in 1 2; do
		p=$(cut -d' ' -f1 "/proc/$p/task/$p/children")
	done
	echo "$p"
}

# ended STATUS: rotlet ended with STATUS, and gave the terminal back as
# it was before it ran.
ended() {
	shows "status=$1"
	cmp before after
}

@test "at a terminal the line is edited in place and drawn as edited: arrows, End, deleting, UTF-8, unknown keys dropped" {
	tm send-keys 'sh run.sh 13' Enter
	shows 'plaintext: '
	# Helo, back one, l; a function key and Up, which mean nothing here
	tm send-keys Helo Left l F5 Up End '!'
	# hé, back two characters, x; Ctrl-W takes the word before
	tm send-keys ' hé' Left Left x End ' gone' C-w BSpace Enter
	shows 'Uryyb! kué'
	screen | grep -qx 'plaintext: Hello! xhé'
	ended 0
}

@test "at a terminal a pasted line of 10000 bytes comes through whole" {
	yes 'The 5 quick brown foxes: 0xFF & ~ZZ!' | tr '\n' ' ' | head -c 10000 >paste
	# shellcheck disable=SC2046
	{ printf 'plaintext: '; tr $(rotation 3) <paste; echo; } >want
	tm send-keys 'sh run.sh 3 >got' Enter
	# pasted before the editor has the terminal, the driver would keep
	# 4095 bytes of it, as it does for any program
	for _ in $(seq "$polls"); do
		stty -a -F "$pane_tty" | grep -q -- -icanon && break
		sleep 0.05
	done
	tm load-buffer paste
	tm paste-buffer
	tm send-keys Enter
	ended 0
	cmp got want
}

@test "at a terminal Ctrl-D ends the input, and SIGTERM or SIGUSR1 ends rotlet, the terminal given back each time" {
	tm send-keys 'sh run.sh 1' Enter
	shows 'plaintext: '
	# Ctrl-D deletes under the cursor; on an empty line it is the end
	tm send-keys ab C-d Left C-d BSpace C-d
	ended 1
	# keys that come at once with it: the screen shows the line as it ended
	tm send-keys clear Enter 'sh run.sh 1' Enter
	shows 'plaintext: '
	tm send-keys $'ab\x7f\x7f\x04'
	ended 1
	screen | sed 's/ *$//' | grep -qx 'plaintext:'
	# Ctrl-R's prompt in the prompt's place, and the prompt again after it
	tm send-keys clear Enter 'sh run.sh 1' Enter
	shows 'plaintext: '
	tm send-keys C-r x
	eventually row_is "(failed reverse-i-search)\`x':|30"
	tm send-keys C-g
	eventually row_is 'plaintext:|11'
	tm send-keys C-d
	ended 1
	tm send-keys clear Enter 'sh run.sh 1' Enter
	shows 'plaintext: '
	tm send-keys xyz
	shows 'plaintext: xyz'
	kill -TERM "$(rotlet_pid)"
	ended 143
	# any signal whose action ends the process gives the terminal back
	tm send-keys clear Enter 'sh run.sh 1' Enter
	shows 'plaintext: '
	tm send-keys xyz
	shows 'plaintext: xyz'
	kill -USR1 "$(rotlet_pid)"
	ended 138
}

@test "at a terminal what is typed after Enter is the next reader's at once, as canonical mode gives it" {
	printf '%s\n' '"$ROTLET" 1; read -r next; echo "next=[$next]"' >ahead.sh
	tm send-keys 'sh ahead.sh' Enter
	shows 'plaintext: '
	tm send-keys Ann Enter Oslo Enter
	shows 'next=[Oslo]'
	screen | grep -qx 'Boo'
}

@test "at a terminal with echo off, as for a password, nothing typed is shown, and the line is still edited" {
	tm send-keys 'stty -echo; sh run.sh 13; stty echo' Enter
	shows 'plaintext: '
	tm send-keys hunte 2 Left Left r C-e Enter
	shows 'status=0'
	[ "$(screen | grep -F 'plaintext: ')" = 'plaintext: uhager2' ]
}

drawn() {
	[ "$(screen | grep -c "$1")" -ge "$2" ]
}

# the shell's own mode, seen from outside the pane, once it waits at its
# prompt again, where it sets it
at_prompt() {
	[ "$(screen | sed 's/ *$//' | grep -v '^$' | tail -n 1)" = '$' ]
}

shell_mode() {
	eventually at_prompt
	stty -g -F "$pane_tty"
}

@test "at a terminal Ctrl-Z stops the whole pipeline; in the background a job never touches the shell's terminal, stopped as a read there would be, even killed or with SIGTTOU ignored; fg goes on with the line drawn again" {
	shell=$(shell_mode)
	tm send-keys 'sh run.sh 1 | cat' Enter
	shows 'plaintext: '
	tm send-keys abc
	shows 'abc'
	tm send-keys C-z
	shows 'Stopped'
	tm send-keys bg Enter
	shows 'cat &'
	# it reads on in the background, which stops it
	tm send-keys 'stty -g >during; jobs' Enter
	eventually drawn Stopped 2 || { screen; return 1; }
	cmp before during
	[ "$(shell_mode)" = "$shell" ]
	# nor draws on it
	[ "$(screen | grep -c abc)" -eq 1 ]
	tm send-keys fg Enter
	eventually drawn abc 2 || { screen; return 1; }
	tm send-keys def Enter
	shows 'bcdefg'
	ended 0
	tm send-keys clear Enter 'sh run.sh 1' Enter
	shows 'plaintext: '
	tm send-keys C-z
	shows 'Stopped'
	# stopped again by its read in the background, then killed there
	tm send-keys bg Enter 'kill %1; kill -CONT %1; wait; echo KILLED' Enter
	shows 'KILLED'
	[ "$(shell_mode)" = "$shell" ]
	tm send-keys clear Enter "sh -c \"trap '' TTOU; exec \\\"\$ROTLET\\\" 1\" &" Enter
	tm send-keys 'until grep -q ") T" /proc/$!/stat; do sleep 0.1; done; echo STOPPED' Enter
	shows 'STOPPED'
	[ "$(shell_mode)" = "$shell" ]
}

@test "at a terminal a job orphaned in the background ends as a read there would, ignoring SIGHUP" {
	tm send-keys "sh -c 'trap \"\" HUP; exec \"\$ROTLET\" 1'" Enter
	shows 'plaintext: '
	pid=$(cut -d' ' -f1 "/proc/$(tm display -p '#{pane_pid}')/task/$(tm display -p '#{pane_pid}')/children")
	tm send-keys C-z
	shows 'Stopped'
	tm send-keys bg Enter
	shows '&'
	tm kill-server
	eventually test ! -e "/proc/$pid"
}

@test "at a terminal Ctrl-C ends the whole pipeline, the terminal given back" {
	tm send-keys 'sh run.sh 1 | (cat; sleep 1000); echo END' Enter
	shows 'plaintext: '
	# keys for signals throw away what the driver holds unread, so abc
	# must be in first
	tm send-keys abc
	shows 'abc'
	tm send-keys C-c
	shows 'abc^C'
	shows 'END'
	tm send-keys 'stty -g >after' Enter
	shows '$ stty -g >after'
	shows '$ '
	eventually test -s after
	cmp before after
}

# row TEXT: the screen's row that holds TEXT, and where the cursor is.
row() {
	printf '%s|%s\n' "$(screen | grep -F -- "$1" | tail -n 1 | sed 's/ *$//')" \
		"$(tm display -p '#{cursor_x}')"
}

@test "at a terminal the line is drawn where the cursor was, in columns: wide, combining, an escaped prompt" {
	# what the row held before the prompt stays; the cursor counts columns
	printf '%s\n' "printf 'Name: '; \"\$ROTLET\" 0" >name.sh
	tm send-keys 'sh name.sh' Enter
	shows 'Name: plaintext: '
	tm send-keys 'ab漢字cd'
	shows 'Name: plaintext: ab漢字cd'
	[ "$(row 'Name: ')" = 'Name: plaintext: ab漢字cd|25' ]
	tm send-keys Left Left
	[ "$(row 'Name: ')" = 'Name: plaintext: ab漢字cd|23' ]
	tm send-keys Left
	[ "$(row 'Name: ')" = 'Name: plaintext: ab漢字cd|21' ]
	tm send-keys End ' é' Enter
	shows 'ab漢字cd é'
	tm send-keys clear Enter
	shows '$ '
	# a combining accent takes no column
	tm send-keys 'sh run.sh 0' Enter
	shows 'plaintext: '
	tm send-keys "$(printf 'e\314\201te')"
	shows "$(printf 'plaintext: e\314\201te')"
	[ "$(row 'plaintext: ')" = "$(printf 'plaintext: e\314\201te|14')" ]
	tm send-keys Enter
	ended 0
	# a prompt with escapes, drawn again at the top by Ctrl-L
	tm send-keys clear Enter "$BATS_TEST_DIRNAME/use \$'\\e[1mName\\e[0m\\t'" Enter
	shows 'Name    : '
	tm send-keys ab C-l
	shows 'Name    : ab'
	[ "$(row 'Name')" = 'Name    : ab|12' ]
	tm send-keys Enter
	shows '[ab]'
}

# drawn_whole LINE N: the screen holds the prompt and LINE once, over as
# many rows as they take, after what the row held before the prompt (or,
# where the terminal could not say where the line went, nothing), and
# nothing after them; the cursor N characters into LINE.
drawn_whole() {
	local w row pre top at
	w=$(tm display -p '#{pane_width}')
	[ "$(screen | grep -c 'plaintext: ')" -eq 1 ] || return 1
	row=$(screen | grep -F 'plaintext: ' | sed 's/ *$//')
	pre=${row%%plaintext: *}
	[ "$row" = "${pre}plaintext: $1" ] && { [ -z "$pre" ] || [ "$pre" = 'Name: ' ]; } ||
		return 1
	top=$(tm capture-pane -p | grep -nF -- "${row:0:$w}" | head -n 1 | cut -d: -f1)
	at=$((${#pre} + 11 + $2))
	[ "$(tm display -p '#{cursor_x} #{cursor_y}')" = "$((at % w)) $((top - 1 + at / w))" ]
}

# tail_shown LINE: the screen's last row of text is LINE's end, shown once,
# and the cursor after it.
tail_shown() {
	local joined last
	joined=$(screen | sed 's/ *$//' | grep -v '^$' | tail -n 1)
	last=$(tm capture-pane -p | sed 's/ *$//' | grep -v '^$' | tail -n 1)
	[ "$(screen | grep -c "${1: -12}")" -eq 1 ] && [ "$joined" = "${1: -${#joined}}" ] &&
		[ "$(tm display -p '#{cursor_x}')" = "${#last}" ]
}

whole_or_tail() {
	drawn_whole "$1" "${#1}" || tail_shown "$1"
}

# row_is TEXT|X: row TEXT shows TEXT|X, the row whole and the cursor.
row_is() {
	[ "$(row "${1%%|*}")" = "$1" ]
}

width_is() {
	[ "$(stty size -F "$pane_tty" | cut -d' ' -f2)" = "$1" ]
}

# resize WIDTH: the window WIDTH wide, once the editor has seen it: it
# asks the terminal where its cursor is then, which the pane's output,
# kept in out, shows.
asked() {
	[ "$(grep -o $'\e\\[6n' out | wc -l)" -gt "$1" ]
}

resize() {
	local n
	n=$(grep -o $'\e\\[6n' out | wc -l)
	tm resize-window -x "$1"
	eventually asked "$n"
}

at() {
	eventually drawn_whole "$@" || {
		screen; tm display -p '#{cursor_x} #{cursor_y}'; return 1; }
}

@test "at a terminal a line longer than its row wraps over rows after its prompt, as the terminal wraps text, and a resize narrower or wider draws it again once, whole" {
	long=$(seq 100 | tr -d '\n' | head -c 101)
	tm pipe-pane -o 'cat >out'
	# rows that the terminal wraps itself, which it joins again when
	# wider, and which capture-pane joins
	for w in 80 20; do
		tm resize-window -x "$w"
		eventually width_is "$w"
		tm send-keys clear Enter "printf 'Name: '; sh run.sh 0" Enter
		shows 'Name: plaintext: '
		tm send-keys "$long"
		at "$long" 101
		tm send-keys Home
		at "$long" 0
		# At 20, narrower: tmux 3.3a keeps the cursor on its row, and the
		# rows above it that the line now takes go into the scrollback,
		# where they stay as tmux rewrapped them; where the cursor was near
		# the line's start, tmux puts it at 0,0. tmux 3.5 may keep the
		# line's start in sight instead.
		if [ "$w" -eq 80 ]; then
			resize 40
			at "$long" 0
		else
			tm send-keys End
			resize 10
			eventually whole_or_tail "$long" || { screen; return 1; }
		fi
		resize "$w"
		at "$long" $((w == 80 ? 0 : 101))
		tm send-keys End
		at "$long" 101
		tm send-keys Enter
		ended 0
	done
	# the alternate screen is not rewrapped, but cut short
	tm resize-window -x 80
	eventually width_is 80
	tm send-keys clear Enter "printf '\\e[?1049hName: '; sh run.sh 0" Enter
	shows 'Name: plaintext: '
	tm send-keys "$long" Left
	at "$long" 100
	resize 30
	at "$long" 100
	tm send-keys Enter
	ended 0
	# at the bottom of the screen the screen scrolls
	tm send-keys clear Enter 'seq 30; sh run.sh 0' Enter
	shows 'plaintext: '
	tm send-keys "$long"
	at "$long" 101
	tm send-keys Enter
	ended 0
}

@test "at a terminal a line longer than the screen shows the rows around the cursor" {
	tm resize-window -x 20 -y 5
	tm send-keys clear Enter 'sh run.sh 0' Enter
	shows 'plaintext: '
	long=$(seq 100 | tr -d '\n' | head -c 150)
	tm send-keys "$long"
	# the last rows, the cursor after the line
	eventually test "$(screen | tail -n 1 | sed 's/ *$//')" = "${long:149}"
	[ "$(tm display -p '#{cursor_x} #{cursor_y}')" = "1 4" ]
	tm send-keys Home
	eventually test "$(screen | head -n 1)" = "plaintext: ${long:0:9}"
	[ "$(tm display -p '#{cursor_x} #{cursor_y}')" = "11 0" ]
	tm send-keys Enter
	ended 0
}

@test "at a terminal that takes no escape sequences, TERM dumb or unset, the line is edited all the same, drawn with carriage returns and spaces" {
	for how in TERM=dumb '-u TERM'; do
		tm send-keys clear Enter "env $how sh run.sh 1" Enter
		shows 'plaintext: '
		tm send-keys abcd Left Left x
		eventually row_is 'plaintext: abxcd|14'
		tm send-keys BSpace BSpace
		eventually row_is 'plaintext: acd|12'
		tm send-keys Enter
		shows 'bde'
		ended 0
	done
}
