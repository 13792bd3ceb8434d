#include "vocabulary/path_hash.h"

namespace brindle {

std::uint64_t fnv1a_64(std::string_view text) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

}  // namespace brindle
