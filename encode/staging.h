#pragma once

// This run's staged files, named for the run that made them, and the one a killed run left.

#include <string>

#include "vocabulary/file_stamp.h"

namespace brindle {

// The staged file this run puts beside `target` before renaming it there.
std::string staging_path(const std::string& target);

// Removes `staging`, a staged file that the journal in the working directory says a killed
// run made, when it is provably that run's own and that run has ended: it is a regular file
// under a name this machine's runs give their staged files, the process that name tells of is
// gone, and it is the file the journal recorded when the journal knows its identity (`result`;
// all zeros when not). A file merely named like a staged file is never looked for.
void remove_abandoned_staging(const std::string& staging, const file_stamp& result);

}  // namespace brindle
