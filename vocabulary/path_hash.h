#pragma once

#include <cstdint>
#include <string_view>

namespace brindle {

// The 64-bit FNV-1a hash of `text`: the shard of a path, the encoder line a failure note names.
std::uint64_t fnv1a_64(std::string_view text);

}  // namespace brindle
