// How long a night lasts when 8 machines share the work through -shard K/N: with N = 8, one shard
// each; with N = 64, handed out 8 at a time by a scheduler (a Slurm array with %8, an Indexed
// Job with parallelism 8), each machine taking the next shard as soon as it is done. Simulated,
// not measured: files of a library-shaped size distribution, shared out by the real shard
// function over library-shaped names, encoded at a fixed speed, each shard's run costing one
// scan besides. Prints the makespan against the ideal (all the work divided by 8), and against
// the ideal or the largest single file where that is longer, since no split can beat either.
//
//   balance_bench [NIGHTS]

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <queue>
#include <string>
#include <vector>

#include "bench/library_paths.h"
#include "cli/schedule.h"

namespace {

constexpr int machines = 8;
// One machine encodes 2 MiB of source a second (a 1 GiB episode in about 9 minutes), and a run
// scans the library for a second before it encodes anything, whatever its share.
constexpr double mib_per_second = 2.0;
constexpr double scan_seconds = 1.0;

struct video {
    std::string path;
    double mib;
};

// A new file as a library gets them: mostly episodes of 300 MiB to 2 GiB, one in eight a film of
// 4 to 40 GiB, sizes spread evenly on a log scale within each kind.
class new_files {
public:
    explicit new_files(std::uint64_t seed) : names_(seed) {}

    video next() {
        const bool film = names_.next() % 8 == 0;
        const double low = film ? 4096.0 : 300.0, high = film ? 40960.0 : 2048.0;
        const double mib = low * std::pow(high / low, uniform());
        if (film) return {names_.film_path(1950 + static_cast<int>(names_.next() % 77)), mib};
        const std::string show = "Show " + names_.title();
        const int season = 1 + static_cast<int>(names_.next() % 8);
        const int episode = 1 + static_cast<int>(names_.next() % 24);
        return {names_.episode_path(show, season, episode), mib};
    }

    int between(int low, int high) {
        return low + static_cast<int>(names_.next() % static_cast<std::uint64_t>(high - low + 1));
    }

private:
    double uniform() { return static_cast<double>(names_.next() >> 11) / 9007199254740992.0; }
    bench::library_names names_;
};

// The time until the last machine is done: shards started in order 1 to `shards`, each on the
// machine that is free first.
double makespan(const std::vector<video>& files, int shards) {
    std::vector<double> shard_seconds(static_cast<std::size_t>(shards), scan_seconds);
    for (const video& file : files)
        shard_seconds[static_cast<std::size_t>(brindle::shard_of(file.path, "/", shards) - 1)] +=
            file.mib / mib_per_second;
    std::priority_queue<double, std::vector<double>, std::greater<>> free_at;
    for (int i = 0; i < machines; ++i) free_at.push(0.0);
    double last = 0.0;
    for (const double seconds : shard_seconds) {
        const double done = free_at.top() + seconds;
        free_at.pop();
        free_at.push(done);
        last = std::max(last, done);
    }
    return last;
}

struct ratios {
    std::vector<double> to_ideal;
    std::vector<double> to_bound;  // against the ideal or the largest file, whichever is longer
    std::vector<double> hours;     // the makespan itself
};

void add_run(const std::vector<video>& files, int shards, ratios& out) {
    double total = 0.0, largest = 0.0;
    for (const video& file : files) {
        total += file.mib / mib_per_second;
        largest = std::max(largest, file.mib / mib_per_second);
    }
    const double ideal = total / machines;
    const double span = makespan(files, shards);
    out.to_ideal.push_back(span / ideal);
    out.to_bound.push_back(span / std::max(ideal, largest));
    out.hours.push_back(span / 3600.0);
}

double quantile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1))];
}

void report(const ratios (&by_shards)[2]) {
    std::printf("%11s%-28s%-28s%s\n", "", "makespan / ideal", "/ max(ideal, largest file)",
                "hours");
    const int counts[2] = {machines, 64};
    for (int i = 0; i < 2; ++i) {
        const ratios& r = by_shards[i];
        std::printf(
            "%2d shards  median %.2f, 9 in 10 %5.2f  median %.2f, 9 in 10 %5.2f  median %.1f\n",
            counts[i], quantile(r.to_ideal, 0.5), quantile(r.to_ideal, 0.9),
            quantile(r.to_bound, 0.5), quantile(r.to_bound, 0.9), quantile(r.hours, 0.5));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int nights = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10'000;
    new_files source(88172645463325252ULL);

    ratios night[2];
    for (int n = 0; n < nights; ++n) {
        std::vector<video> files(static_cast<std::size_t>(source.between(5, 15)));
        for (video& file : files) file = source.next();
        add_run(files, machines, night[0]);
        add_run(files, 64, night[1]);
    }
    std::printf("%d machines; \"9 in 10\": nine runs in ten end within that figure\n\n", machines);
    std::printf("One night: %d nights of 5 to 15 new files\n", nights);
    report(night);

    // The first full conversion: a library of 3,000 files, all taken on one (long) run.
    ratios full[2];
    for (int library = 0; library < std::max(1, nights / 200); ++library) {
        std::vector<video> files(3'000);
        for (video& file : files) file = source.next();
        add_run(files, machines, full[0]);
        add_run(files, 64, full[1]);
    }
    std::printf("\nThe first full conversion: %zu libraries of 3,000 files\n",
                full[0].to_ideal.size());
    report(full);
    return 0;
}
