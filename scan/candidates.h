#pragma once

#include <string>

#include "vocabulary/candidates.h"

namespace brindle {

// Appends dir + separator + name. Answers false (and leaves the list unchanged) when either
// text is empty.
bool add_candidate(candidate_list& list, const std::string& dir, const std::string& name);

}  // namespace brindle
