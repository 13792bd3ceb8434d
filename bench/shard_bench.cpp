// How evenly -shard K/N splits a library: 200,000 paths shaped like a real library's (shows,
// seasons, episodes, films, with the long shared prefixes such names have), the largest shard's
// share against 1/N for N = 2, 3, 8 and 64. Target: within 2 % of 1/N, or within what chance
// alone gives a perfectly random split where that is more (for N = 64, 3,125 files a shard).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/library_paths.h"
#include "cli/schedule.h"

int main() {
    bench::library_names names;
    std::vector<std::string> paths;
    paths.reserve(200'000);
    for (int show = 0; paths.size() < 150'000; ++show) {
        const std::string name = "Show " + names.title();
        for (int season = 1; season <= 6; ++season) {
            for (int episode = 1; episode <= 25; ++episode)
                paths.push_back(names.episode_path(name, season, episode));
        }
    }
    for (int film = 0; paths.size() < 200'000; ++film)
        paths.push_back(names.film_path(1950 + film % 75));

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
