// How well the growing result's first Clusters foretell its size: for a Matroska source and its
// whole Matroska result (made by any line), the size foretold from the result's Clusters up to
// each share of the duration, against the result's real size. A result is written Cluster by
// Cluster, so its first Clusters are those the encode had written at that point.
//
//   foretell_bench SOURCE RESULT.mkv...   (SOURCE Matroska, MP4, MPEG-TS or AVI)
//
// Prints, per result and per share (5, 10, 20, 30, 50 %), the foretold size's error in percent.
// Target: within the margin the encode is stopped by (see size_watch.h) from a tenth on.

#include <cstdio>
#include <string>
#include <vector>

#include "encode/size_watch.h"
#include "media/container.h"
#include "media/file_source.h"
#include "media/wholeness.h"
#include "platform/files.h"

namespace {

std::vector<brindle::media::written_mark> marks_of(const std::string& path) {
    return brindle::media::read_headers_of(
        path, std::vector<brindle::media::written_mark>{},
        [](brindle::media::block_reader& reader) {
            const auto kind = brindle::media::recognise_container(
                reader.bytes(0, brindle::media::recognition_size));
            return brindle::media::written_marks_of(reader, kind);
        });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: foretell_bench SOURCE.mkv RESULT.mkv...\n");
        return 1;
    }
    const std::string source = argv[1];
    const auto source_marks = marks_of(source);
    const long long source_size = brindle::platform::file_size(source);
    if (source_marks.empty() || source_size <= 0) {
        std::fprintf(stderr, "%s: no bytes by time read from it\n", argv[1]);
        return 1;
    }
    const std::int64_t duration = source_marks.back().ms;
    std::printf("%-40s %8s", "result", "size");
    for (const int share : {5, 10, 20, 30, 50}) std::printf("  %3d %%", share);
    std::printf("\n");
    for (int i = 2; i < argc; ++i) {
        const auto marks = marks_of(argv[i]);
        const long long size = brindle::platform::file_size(argv[i]);
        std::printf("%-40s %7.0f%%", argv[i],
                    100.0 * static_cast<double>(size) / static_cast<double>(source_size));
        for (const int share : {5, 10, 20, 30, 50}) {
            const brindle::media::written_mark* at = nullptr;
            for (const auto& mark : marks) {
                if (mark.ms * 100 >= duration * share) {
                    at = &mark;
                    break;
                }
            }
            const auto foretold =
                at ? brindle::foretold_size(source_marks, static_cast<std::uint64_t>(source_size),
                                            *at)
                   : std::nullopt;
            if (!foretold) {
                std::printf("  %5s", "-");
                continue;
            }
            std::printf("  %+4.0f%%",
                        100.0 * (static_cast<double>(*foretold) / static_cast<double>(size) - 1));
        }
        std::printf("\n");
    }
    return 0;
}
