#pragma once

#include <string>

namespace brindle {

// Encodes one candidate and puts the result in its place. Answers 1 when the encoder ran and
// reported success (whatever the file steps then did), 0 otherwise.
int encode_candidate(const std::string& path, const std::string& command_template);

}  // namespace brindle
