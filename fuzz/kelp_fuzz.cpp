// SPDX-License-Identifier: MIT
// A fuzz target for get_string. Each input is the text of standard input,
// then a plan of what goes wrong while it is read: the chunks a read
// returns, reads that fail with EINTR, EAGAIN, EIO or ENOMEM, allocations
// of the library's that fail, and a byte stretched into a long run. Every
// result is held to the manual: a whole line or NULL, never a part; lines
// in order, none skipped but one that a failure lost; the prompts as
// asked; and every string handed out unchanged until the end of the input.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "buffer.h"
#include "kelp.h"

namespace {

FuzzedDataProvider *plan;
bool armed;			// while get_string runs
bool lossy;			// memory failed: the line being read may be lost

bool
fails()
{
	return armed && plan->remaining_bytes() > 0 &&
	    plan->ConsumeIntegral<uint8_t>() < 40;
}

bool
memory_fails()
{
	bool f = fails();
	lossy = lossy || f;
	return f;
}

struct source {
	std::string text;
	size_t at;
};

ssize_t
serve(void *cookie, char *to, size_t size)
{
	auto *s = static_cast<source *>(cookie);
	if (fails()) {
		// ENOMEM too: the source's, not the library's, so no line is lost
		const int errors[] = {EINTR, EAGAIN, EIO, ENOMEM};
		errno = errors[plan->ConsumeIntegralInRange(0, 3)];
		return -1;
	}
	size_t n = std::min(size, s->text.size() - s->at);
	if (armed && plan->remaining_bytes() > 0)
		n = std::min(n, size_t(1) + plan->ConsumeIntegral<uint8_t>());
	memcpy(to, s->text.data() + s->at, n);
	s->at += n;
	return static_cast<ssize_t>(n);
}

// The lines as the manual defines them.
std::vector<std::string>
lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	size_t at = 0;
	while (at < text.size()) {
		size_t end = text.find('\n', at);
		std::string line = text.substr(at, end == std::string::npos ?
		    std::string::npos : end - at);
		if (end != std::string::npos && !line.empty() && line.back() == '\r')
			line.pop_back();
		lines.push_back(line);
		at = end == std::string::npos ? text.size() : end + 1;
	}
	return lines;
}

string
ask_with_list(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	string s = get_string(&ap, format);
	va_end(ap);
	return s;
}

[[noreturn]] void
wrong(const char *what, const std::string &detail)
{
	fprintf(stderr, "kelp_fuzz: %s: [%s]\n", what, detail.c_str());
	abort();
}

}

extern "C" void *__real_malloc(size_t);
extern "C" void *__real_realloc(void *, size_t);

extern "C" void *
__wrap_malloc(size_t n)
{
	return memory_fails() ? nullptr : __real_malloc(n);
}

extern "C" void *
__wrap_realloc(void *p, size_t n)
{
	return memory_fails() ? nullptr : __real_realloc(p, n);
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// The seeds in fuzz/corpus name their licence first; it is no part
	// of the input.
	static const char licence[] = "# SPDX-License-Identifier: MIT\n";
	if (size >= sizeof licence - 1 && memcmp(data, licence, sizeof licence - 1) == 0) {
		data += sizeof licence - 1;
		size -= sizeof licence - 1;
	}
	FuzzedDataProvider fdp(data, size);
	source src = {fdp.ConsumeRandomLengthString(1024), 0};
	// Now and then a byte stands for a run of itself that takes its line
	// to where the library keeps lines otherwise: past 16 KiB, 128 KiB
	// or 1 MiB.
	bool stretched = !src.text.empty() && fdp.ConsumeIntegral<uint8_t>() < 8;
	if (stretched) {
		const size_t runs[] = {16 << 10, 128 << 10, 1 << 20};
		size_t at = fdp.ConsumeIntegralInRange<size_t>(0, src.text.size() - 1);
		char c = src.text[at] == '\n' ? ' ' : src.text[at];	// one line
		src.text.insert(at, runs[fdp.ConsumeIntegralInRange(0, 2)], c);
	}
	// Two lines more, so that a line wrongly skipped after the last one
	// of the input shows as well.
	if (fdp.ConsumeBool())
		src.text += "\n#1\n#2\n";
	int calls = fdp.ConsumeIntegralInRange(1, 8);
	plan = &fdp;

	cookie_io_functions_t io = {serve, nullptr, nullptr, nullptr};
	FILE *in = fopencookie(&src, "r", io);
	char *shown = nullptr;
	size_t nshown = 0;
	FILE *out = open_memstream(&shown, &nshown);
	if (in == nullptr || out == nullptr)
		abort();
	FILE *saved_in = stdin, *saved_out = stdout;
	stdin = in;
	stdout = out;

	std::vector<std::string> want = lines_of(src.text);
	std::vector<std::pair<string, std::string>> got;
	std::string prompts;
	// A NULL after memory failed may have lost the line it was reading;
	// a line holding a zero byte never comes back; nothing else may be
	// skipped, and a line never comes back in part. Lines may repeat,
	// so every place in the input that fits what came so far is kept.
	std::vector<size_t> next = {0};
	size_t losses = 0;
	auto check = [&](string s) {
		if (s == nullptr) {
			losses += lossy;
			return;
		}
		std::string_view line(s);	// measured once, not at every match
		std::vector<size_t> fits;
		for (size_t from : next) {
			size_t skipped = 0;
			for (size_t k = from; k < want.size() && skipped <= losses; k++) {
				if (want[k] == line && std::find(fits.begin(), fits.end(),
				    k + 1) == fits.end())
					fits.push_back(k + 1);
				skipped += want[k].find('\0') == std::string::npos;
			}
		}
		if (fits.empty())
			wrong("not the next whole line", s);
		if (ferror(stdin))
			wrong("a line, and the error indicator set", s);
		next = fits;
		losses = 0;
		got.emplace_back(s, s);
	};
	for (int i = 0; i < calls; i++) {
		int form = fdp.ConsumeIntegralInRange(0, 2);
		armed = true;
		lossy = false;
		string s = form == 0 ? get_string(nullptr, "%d> ", i) :
		    form == 1 ? ask_with_list("[%s]", "list") :
		    get_string(nullptr, nullptr);
		armed = false;
		prompts += form == 0 ? std::to_string(i) + "> " :
		    form == 1 ? "[list]" : "";
		check(s);
	}
	// The rest, with nothing going wrong, to the end of the input.
	lossy = false;
	for (size_t i = 0; i < want.size() + 2; i++) {
		string s = get_string(nullptr, nullptr);
		check(s);
		if (s == nullptr && feof(stdin))
			break;
	}
	if (!feof(stdin))
		wrong("input not read to its end", src.text);

	fflush(stdout);
	if (std::string(shown, nshown) != prompts)
		wrong("prompts", std::string(shown, nshown));
	stdin = saved_in;
	stdout = saved_out;
	fclose(in);
	fclose(out);
	free(shown);

	for (const auto &[p, copy] : got)
		if (copy != p)
			wrong("a string changed", copy);
	// Lines that long the library lets go, as at exit: one it never kept
	// for that shows as a leak. Between the others it keeps its buffer.
	if (stretched)
		release_lines();
	return 0;
}

#ifdef KELP_REPLAY
// Without libFuzzer: runs each file named once, as make coverage does
// with the corpus.
int
main(int argc, char *argv[])
{
	for (int i = 1; i < argc; i++) {
		FILE *f = fopen(argv[i], "rb");
		if (f == nullptr)
			return 1;
		std::string bytes;
		char chunk[4096];
		for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;)
			bytes.append(chunk, n);
		fclose(f);
		LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()),
		    bytes.size());
	}
	return 0;
}
#endif
