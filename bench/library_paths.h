#pragma once

// Paths shaped like a real library's, for the benchmarks that share a library out: shows,
// seasons, episodes and films, with the long shared prefixes such names have. Titles are drawn
// from a word list by a fixed pseudo-random sequence, so every run measures the same names.

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>

namespace bench {

class library_names {
public:
    explicit library_names(std::uint64_t seed = 88172645463325252ULL) : state_(seed) {}

    // The next number of the sequence (xorshift64).
    std::uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }

    // One to three words.
    std::string title() {
        static const char* const words[] = {"The",   "Night", "Return", "of",    "Last",  "House",
                                            "River", "Storm", "Pilot",  "Story", "Dark",  "Light",
                                            "Home",  "Road",  "Winter", "Game",  "Heart", "Secret"};
        std::string text;
        for (int i = 0, n = 1 + static_cast<int>(state_ % 3); i < n; ++i) {
            if (!text.empty()) text += ' ';
            text += words[next() % std::size(words)];
        }
        return text;
    }

    std::string episode_path(const std::string& show, int season, int episode) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "S%02dE%02d", season, episode);
        return "TV/" + show + "/Season " + std::to_string(season) + "/" + show + " - " + tag +
               " - " + title() + ".x264.mkv";
    }

    std::string film_path(int year) {
        const std::string name = title() + " (" + std::to_string(year) + ")";
        return "Films/" + name + "/" + name + ".mkv";
    }

private:
    std::uint64_t state_;
};

}  // namespace bench
