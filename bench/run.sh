#!/usr/bin/env bash
# Times rotlet against tr(1) doing the same rotation, both started the same
# way from a shell with their input redirected from a file: one 60-byte
# line, and one 64 MiB line of letters, digits and punctuation. Each pair
# is timed in several rounds, A and B back to back in each, and the table
# gives the median of the rounds' mean times and of their ratios. Last,
# rotlet's peak resident memory on the long line.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v hyperfine >/dev/null || ! [ -x /usr/bin/time ]; then
	echo "bench: needs hyperfine and GNU time: apt-get install hyperfine time" >&2
	exit 1
fi
make -s rotlet

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf 'The quick brown fox jumps over the lazy dog, 0123456789 OK!\n' >"$dir/line"
# (yes and tr end by SIGPIPE, which pipefail would take for a failure)
{
	head -c $((64 << 20)) < <(yes 'The 5 quick brown foxes, jumping: 0xFF & ~ZZ! Wolves (12) howl; Rivers-Run.' | tr '\n' ' ')
	echo
} >"$dir/long"

rounds=${ROUNDS:-5}

# median: the middle one of the numbers on standard input.
median() {
	sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# compare NAME INPUT RUNS: one row of the table.
compare() {
	local i csv=$dir/t.csv
	: >"$dir/a" && : >"$dir/b" && : >"$dir/r"
	for i in $(seq "$rounds"); do
		hyperfine --style none -w $(($3 / 10 + 1)) -r "$3" --export-csv "$csv" \
			"./rotlet 13 <$2" "tr A-Za-z N-ZA-Mn-za-m <$2" >/dev/null
		# rows: command,mean,...; times in seconds
		awk -F, 'NR == 2 { a = $2 } NR == 3 { b = $2 }
			END { print a * 1000 >> "'"$dir/a"'"; print b * 1000 >> "'"$dir/b"'"
			print a / b >> "'"$dir/r"'" }' "$csv"
		echo "  $1: round $i of $rounds" >&2
	done
	printf '%-22s %10.3f %10.3f %7.2f\n' "$1" "$(median <"$dir/a")" \
		"$(median <"$dir/b")" "$(median <"$dir/r")"
}

rows=$(compare "one 60-byte line" "$dir/line" 200
	compare "one 64 MiB line" "$dir/long" 10)
kb=$(/usr/bin/time -f %M ./rotlet 13 <"$dir/long" 2>&1 >/dev/null)
line=$(wc -c <"$dir/long")

printf '%-22s %10s %10s %7s\n' "" "rotlet ms" "tr ms" "ratio"
printf '%s\n' "$rows"
awk -v kb="$kb" -v line="$line" 'BEGIN {
	printf "peak memory, 64 MiB line: %.1f MiB (the line %.1f MiB, %+.1f MiB)\n",
	    kb / 1024, line / 1048576, kb / 1024 - line / 1048576 }'
echo "$(uname -m), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
