#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times rotlet, and its line reader on its own, against tr(1), against the
# least a program must do itself for the same job (bench/floor.c), and
# against the reader as it was before it read into huge pages; and a
# line pasted at a terminal (bench/paste.c, a pseudo-terminal) against
# the same line from a pipe, and half of it pasted at the line's start,
# before the other half, against all of it at its end. Each pair is timed in
# several rounds, A and B back to back in each, and the table gives the
# median of the rounds' mean times and of their ratios. Last, peak resident
# memory. The binaries are built with whatever flags make is given.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v hyperfine >/dev/null || ! [ -x /usr/bin/time ]; then
	echo "bench: needs hyperfine and GNU time: apt-get install hyperfine time" >&2
	exit 1
fi
make -s rotlet kelp/libkelp.so.1

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cc -O2 -Ikelp -o "$dir/lines" bench/lines.c -Lkelp -lkelp
cc -O2 -o "$dir/floor" bench/floor.c
cc -O2 -o "$dir/paste" bench/paste.c
new=$PWD/kelp
# The reader before the huge-page buffer, built from git where there is one.
base=${BASE:-aa059a2}
old=
if git cat-file -e "$base:kelp/kelp.cpp" 2>/dev/null; then
	old=$dir/old
	mkdir "$old"
	git show "$base:kelp/kelp.cpp" >"$old/kelp.cpp"
	git show "$base:kelp/kelp.h" >"$old/kelp.h"
	c++ -std=c++20 -O2 -fno-exceptions -fno-rtti -fPIC -shared \
		-Wl,-soname,libkelp.so.1 -Wl,--as-needed -o "$old/libkelp.so.1" "$old/kelp.cpp"
fi

printf 'The quick brown fox jumps over the lazy dog, 0123456789 OK!\n' >"$dir/line"
# (yes and tr end by SIGPIPE, which pipefail would take for a failure)
{
	head -c $((64 << 20)) < <(yes 'The 5 quick brown foxes, jumping: 0xFF & ~ZZ! Wolves (12) howl; Rivers-Run.' | tr '\n' ' ')
	echo
} >"$dir/long"
head -n 100000 < <(yes 'The quick brown fox jumps over the lazy dog, 0123456789 OK!') >"$dir/short"
seq 1000000 | sed 's/$/ The quick brown fox jumps over the lazy dog/' >"$dir/million"
head -c 100000 < <(yes 'The quick brown fox jumps over the lazy dog.' | tr '\n' ' ') >"$dir/paste100k"
echo >>"$dir/paste100k"

rounds=${ROUNDS:-5}
tr='tr A-Za-z N-ZA-Mn-za-m'

# median: the middle one of the numbers on standard input.
median() {
	sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# compare NAME RUNS A B: one row of the table, A against B.
compare() {
	local i csv=$dir/t.csv
	: >"$dir/a" && : >"$dir/b" && : >"$dir/r"
	for i in $(seq "$rounds"); do
		hyperfine --style none -w $(($2 / 10 + 1)) -r "$2" --export-csv "$csv" \
			"$3" "$4" >/dev/null
		# rows: command,mean,...; times in seconds
		awk -F, 'NR == 2 { a = $2 } NR == 3 { b = $2 }
			END { print a * 1000 >> "'"$dir/a"'"; print b * 1000 >> "'"$dir/b"'"
			print a / b >> "'"$dir/r"'" }' "$csv"
		echo "  $1: round $i of $rounds" >&2
	done
	printf '%-34s %9.3f %9.3f %6.2f\n' "$1" "$(median <"$dir/a")" \
		"$(median <"$dir/b")" "$(median <"$dir/r")"
}

# peak COMMAND INPUT: peak resident memory in MiB.
peak() {
	/usr/bin/time -o "$dir/peak" -f %M sh -c "$1" <"$2" >/dev/null 2>&1
	awk '{ printf "%.1f", $1 / 1024 }' "$dir/peak"
}

rows=$(
	compare "one 60-byte line: rotlet / tr" 200 "./rotlet 13 <$dir/line" "$tr <$dir/line"
	compare "64 MiB line: rotlet / tr" 10 "./rotlet 13 <$dir/long" "$tr <$dir/long"
	compare "64 MiB line: rotlet / floor" 10 "./rotlet 13 <$dir/long" "$dir/floor line <$dir/long"
	compare "64 MiB line, pipe: rotlet / tr" 10 "cat $dir/long | ./rotlet 13" "cat $dir/long | $tr"
	compare "64 MiB line: get_string / tr" 10 \
		"LD_LIBRARY_PATH=$new $dir/lines <$dir/long" "$tr <$dir/long"
	compare "1000000 short lines: get_string / floor" 10 \
		"LD_LIBRARY_PATH=$new $dir/lines <$dir/million" "$dir/floor lines <$dir/million"
	compare "100000-byte paste: terminal / pipe" 20 \
		"TERM=xterm $dir/paste 100000 ./rotlet 13" "./rotlet 13 <$dir/paste100k"
	compare "400000-byte paste: half at Home / all at end" 3 \
		"TERM=xterm $dir/paste -h 400000 ./rotlet 13" \
		"TERM=xterm $dir/paste 400000 ./rotlet 13"
	if [ -n "$old" ]; then
		compare "100000 short lines: new / old" 20 \
			"LD_LIBRARY_PATH=$new $dir/lines <$dir/short" \
			"LD_LIBRARY_PATH=$old $dir/lines <$dir/short"
	fi
)

echo "built with: $(cat .flags)"
printf '%-34s %9s %9s %6s\n' "" "A ms" "B ms" "A/B"
printf '%s\n' "$rows"
line=$(wc -c <"$dir/long")
awk -v kb="$(peak ./rotlet\ 13 "$dir/long")" -v line="$line" 'BEGIN {
	printf "peak memory, rotlet, 64 MiB line: %.1f MiB (the line %.1f MiB, %+.1f MiB)\n",
	    kb, line / 1048576, kb - line / 1048576 }'
if [ -n "$old" ]; then
	echo "peak memory, 100000 short lines: new $(peak "LD_LIBRARY_PATH=$new $dir/lines" "$dir/short") MiB, old $(peak "LD_LIBRARY_PATH=$old $dir/lines" "$dir/short") MiB"
fi
echo "$(uname -m), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
