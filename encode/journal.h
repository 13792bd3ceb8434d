#pragma once

// The installs under way, kept in a small file beside the lock: a run killed between two steps
// of an install leaves the record that lets the next run finish or undo it.

#include <string>
#include <string_view>
#include <vector>

#include "vocabulary/file_stamp.h"

namespace brindle {

// The journal's name in the working directory.
inline constexpr const char* journal_file_name = "brindle.journal";

// One install, as recorded before its first step in the library: every name it may use, and
// the two files it moves between them.
struct install_intent {
    std::string source;
    std::string target;
    std::string staging;
    // A private name beside the source, where it stands while it is taken away.
    std::string aside;
    // The source's backup name (NAME.bak), a second name while the result takes its own name.
    std::string backup;
    file_stamp source_stamp;  // the source as it was checked
    file_stamp result;        // the staged result: its identity and size
};

// The installs that runs left unfinished and this run has not finished either; they stay in
// the journal beside this run's own install.
struct install_journal {
    std::vector<install_intent> unfinished;
};

std::string journal_text(const std::vector<install_intent>& intents);
// The records of a journal's text; nothing of a text that is not one (a damaged file).
std::vector<install_intent> parse_journal(std::string_view text);

}  // namespace brindle
