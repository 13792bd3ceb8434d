#pragma once

#include <string_view>

namespace brindle::platform {

// Writes UTF-8 text to standard output: through the console's own UTF-16 interface when
// standard output is a Windows console, as bytes otherwise.
void write_out(std::string_view text);
void flush_out();

}  // namespace brindle::platform
