// How evenly -shard K/N splits a library: 200,000 paths shaped like a real library's (shows,
// seasons, episodes, films, with the long shared prefixes such names have), the largest shard's
// share against 1/N for N = 2, 3, 8 and 64. Target: within 2 % of 1/N, or within what chance
// alone gives a perfectly random split where that is more (for N = 64, 3,125 files a shard).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "cli/schedule.h"

int main() {
    // Episode and film titles drawn from a word list by a fixed pseudo-random sequence, so every
    // run measures the same library.
    const char* const words[] = {"The",   "Night", "Return", "of",    "Last",  "House",
                                 "River", "Storm", "Pilot",  "Story", "Dark",  "Light",
                                 "Home",  "Road",  "Winter", "Game",  "Heart", "Secret"};
    std::uint64_t state = 88172645463325252ULL;
    const auto title = [&] {
        std::string text;
        for (int i = 0, n = 1 + static_cast<int>(state % 3); i < n; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            if (!text.empty()) text += ' ';
            text += words[state % std::size(words)];
        }
        return text;
    };
    std::vector<std::string> paths;
    paths.reserve(200'000);
    for (int show = 0; paths.size() < 150'000; ++show) {
        const std::string name = "Show " + title();
        for (int season = 1; season <= 6; ++season) {
            for (int episode = 1; episode <= 25; ++episode) {
                char tag[16];
                std::snprintf(tag, sizeof tag, "S%02dE%02d", season, episode);
                paths.push_back("TV/" + name + "/Season " + std::to_string(season) + "/" + name +
                                " - " + tag + " - " + title() + ".x264.mkv");
            }
        }
    }
    for (int film = 0; paths.size() < 200'000; ++film) {
        const std::string name = title() + " (" + std::to_string(1950 + film % 75) + ")";
        paths.push_back("Films/" + name + "/" + name + ".mkv");
    }

    bool met = true;
    std::printf("%zu paths\n", paths.size());
    for (const int count : {2, 3, 8, 64}) {
        std::vector<std::size_t> sizes(static_cast<std::size_t>(count));
        for (const auto& path : paths)
            ++sizes[static_cast<std::size_t>(brindle::shard_of(path, "/", count) - 1)];
        const std::size_t largest = *std::max_element(sizes.begin(), sizes.end());
        const double total = static_cast<double>(paths.size());
        const double ratio = static_cast<double>(largest) * count / total;
        // Even a perfectly random split has a largest shard above 1/N: four standard deviations
        // of a shard's size, relative to 1/N, is what chance alone gives.
        const double noise = 4.0 * std::sqrt((count - 1) / total);
        const double allowed = 1.0 + std::max(0.02, noise);
        std::printf("N = %2d: largest shard %zu files, %.4f x 1/N (allowed %.4f: 2 %% or chance)\n",
                    count, largest, ratio, allowed);
        met = met && ratio <= allowed;
    }
    std::printf(met ? "target met\n" : "target missed\n");
    return met ? 0 : 1;
}
