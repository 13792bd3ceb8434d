// How well the sample windows foretell a result's size before its encode: for a source and its
// whole result made by the same line, the windows are cut from the source and encoded with the
// line in the working directory, as a run does, and the size they foretell is set against the
// result's real one.
//
//   foresee_bench SOURCE RESULT [LINE]   (LINE: the built-in line when not given; a number N: the
//                                         built-in line at CRF N, as -quality makes it)
//
// Prints the windows, the real size against the source's, the error of the size foretold and of
// the least with one window left out, in percent, and whether the file would be refused.
// Target: within the margin a result is refused by before its encode (see quality.h).

#include <cstdio>
#include <string>

#include "encode/command.h"
#include "encode/quality.h"
#include "media/probe.h"
#include "platform/files.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: foresee_bench SOURCE RESULT [LINE | CRF]\n");
        return 1;
    }
    brindle::quality_request request;
    request.ffmpeg = brindle::platform::find_program("ffmpeg").value_or("");
    request.source = argv[1];
    request.duration_ms = brindle::probe_source(request.source).duration_ms.value_or(0);
    const std::string line = argc > 3 ? argv[3] : "";
    const bool crf = !line.empty() && line.find_first_not_of("0123456789") == std::string::npos;
    request.default_line = line.empty() || crf;
    request.line =
        line.empty() ? brindle::default_command_template
        : crf ? brindle::line_with_crf(brindle::default_command_template, true, std::stoi(line))
              : line;
    request.low_priority = false;
    const std::uint64_t source_size = brindle::platform::file_size(argv[1]).value_or(0);
    const std::uint64_t result_size = brindle::platform::file_size(argv[2]).value_or(0);
    if (request.ffmpeg.empty() || request.duration_ms <= 0 || source_size == 0 ||
        result_size == 0) {
        std::fprintf(stderr,
                     "needs ffmpeg on PATH, a source that tells its duration and a result\n");
        return 1;
    }
    const brindle::window_encodes encoded = brindle::encode_windows(request);
    const auto foreseen = brindle::foreseen_size(encoded.bytes, source_size, request.duration_ms);
    if (!foreseen) {
        std::fprintf(stderr, "%s: the windows foretold nothing\n", argv[1]);
        return 1;
    }
    const auto error = [&](std::uint64_t size) {
        return 100.0 * (static_cast<double>(size) / static_cast<double>(result_size) - 1);
    };
    std::printf(
        "%-32s %2zu windows  source %10llu  result %10llu (%3.0f %%)  foretold %+6.1f %%  "
        "least %+6.1f %%  %s\n",
        argv[1], encoded.bytes.size(), static_cast<unsigned long long>(source_size),
        static_cast<unsigned long long>(result_size),
        100.0 * static_cast<double>(result_size) / static_cast<double>(source_size),
        error(foreseen->size), error(foreseen->least),
        brindle::foreseen_larger(*foreseen, source_size) ? "refused" : "encoded");
    return 0;
}
