#pragma once

// A file size as the run's lines show it.

#include <cstdint>
#include <string>

namespace brindle {

// "812 bytes", "1.5 KiB", "700.0 MiB", "1.25 GiB".
std::string size_text(std::uint64_t bytes);

}  // namespace brindle
