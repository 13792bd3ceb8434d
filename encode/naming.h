#pragma once

// The names a result and its helpers take beside the source: pure functions of the source path.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "media/container.h"

namespace brindle {

// The source path with the first "264" that names the codec (x264, X264, h264, H264, h.264,
// H.264, not followed by another digit) turned into "265", looked for only in the file's own name
// (after the last of `separators`): folders are never renamed. Without one, the source path.
std::string target_path_for(const std::string& source, std::string_view separators);
// Where the file name in `path` begins: just after the last of `separators`, or 0.
std::size_t file_name_start(std::string_view path, std::string_view separators);
// The file name in `path`: what follows the last of `separators`, or all of it.
std::string_view name_of(std::string_view path, std::string_view separators);
// The folder part of `path`, keeping the separator when it is all there is ("/", "C:\"); empty
// for a bare name, which lies in the working directory.
std::string folder_of(std::string_view path, std::string_view separators);
// The extension of the file name in `path`, dot included (".mkv"); empty when the name has none
// (a name that only begins with a dot has none).
std::string_view extension_of(std::string_view path, std::string_view separators);
// A file name without its extension.
std::string_view stem_of(std::string_view name);
// `path` with its file name's extension replaced by `extension` (dot included), or added.
std::string with_extension(std::string_view path, std::string_view separators,
                           std::string_view extension);
// The extension a result is installed under, dot included: the source's own (`source_extension`,
// with or without its dot, kept as written) when it names the result's container (.mkv for
// Matroska, .webm for valid WebM, .mp4, .m4v and .mov for MP4/QuickTime, in any case), else
// ".mkv" for Matroska and ".mp4" for MP4. A result in any other container keeps the source's.
std::string installed_extension_for(std::string_view source_extension, media::container result,
                                    bool valid_webm);
// The path a result is installed at: `target` with the extension installed_extension_for gives
// for the source's extension and the result's container.
std::string installed_path_for(const std::string& source, const std::string& target,
                               std::string_view separators, media::container result,
                               bool valid_webm);
// Whether two file names are the same name: byte for byte, or with ASCII letters of either case
// alike where the file system ignores case (`ignore_case`).
bool same_file_name(std::string_view a, std::string_view b, bool ignore_case);
// Whether `name` is the name of a sidecar of a video whose name without its extension is `stem`:
// that stem followed by '.', '-' or '_', and more.
bool is_sidecar_name(std::string_view name, std::string_view stem, bool ignore_case);
// The new name of `name`, a file beside a video once named `source_name` and now installed as
// `installed_name` (file names alone): when `name` begins with the source's name without its
// extension followed by '.', '-' or '_', that part replaced by the installed name without its
// extension. Nothing when `name` is no sidecar of the source or keeps its name. `ignore_case`
// where the file system ignores case.
std::optional<std::string> sidecar_name_for(std::string_view name, std::string_view source_name,
                                            std::string_view installed_name, bool ignore_case);
// The source path and ".bak".
std::string backup_path_for(const std::string& source);
// A dot-named file in the target's directory that holds the result until it is renamed over
// the target: `target` up to its last separator (one of `separators`), ".brindle-<run_id>.part".
std::string staging_path_for(const std::string& target, std::string_view separators,
                             const std::string& run_id);

// The run that staged a file: the machine it ran on, its process id, its start in seconds, and
// a number drawn at random when it started, which no one can foretell from the other three.
struct staging_owner {
    std::string host;
    unsigned long pid = 0;
    std::uint64_t start = 0;
    std::uint64_t nonce = 0;
};

// The run id "HOST-PID-START-NONCE", NONCE in 16 hexadecimal digits. The host name keeps
// letters, digits, '.', '_' and '-'; any other byte becomes '_', so that the name is a plain
// file name everywhere.
std::string run_id_for(const staging_owner& owner);
// The run that staged the file named `name` (".brindle-HOST-PID-START-NONCE.part", no folder),
// or no answer when the name is not one a run gives its staged file. The host is the name as
// made plain.
std::optional<staging_owner> staging_owner_of(std::string_view name);

}  // namespace brindle
