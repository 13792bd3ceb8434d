#pragma once

// The files beside a video that players match to it by name (subtitles, artwork, info files),
// renamed to follow it when its installed name differs from its old one.

#include <string>

#include "encode/replace.h"

namespace brindle {

// Renames each sidecar of `source` (a regular file in its folder whose name begins with the
// source's name without its extension and '.', '-' or '_', and that is no video itself) to
// follow `installed`, a path in the same folder, without replacing anything. Answers what could
// not be renamed, for the outcome line ("the sidecar Film.x264.nfo keeps its name:
// Film.x265.nfo already exists"); empty when every sidecar followed.
std::string rename_sidecars(file_ops& ops, const std::string& source, const std::string& installed);

}  // namespace brindle
