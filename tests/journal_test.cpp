#include "encode/journal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brindle {
namespace {

bool same(const install_intent& a, const install_intent& b) {
    return a.source == b.source && a.target == b.target && a.staging == b.staging &&
           a.aside == b.aside && a.backup == b.backup && a.source_stamp == b.source_stamp &&
           a.result == b.result;
}

TEST(InstallJournal, EveryNameComesBackAsItWasAndADamagedTextGivesNothing) {
    // Names may hold line breaks, colons and digits, and a stamp any 64-bit figure.
    const std::vector<install_intent> intents = {
        {"lib/a.x264.mkv",
         "lib/a.x265.mkv",
         "lib/.brindle-h-1-2.part",
         "lib/.brindle-h-1-2.old",
         "lib/a.x264.mkv.bak",
         {1, 2, 3, 4},
         {1, 5, 6, 7}},
        {"lib/12:3\nFilm.mkv",
         "lib/12:3\nFilm.mkv",
         "lib/.p",
         "lib/.o",
         "lib/12:3\nFilm.mkv.bak",
         {~0ULL, 0, 9, ~0ULL},
         {0, 0, 0, 0}},
    };
    const std::string text = journal_text(intents);
    const std::vector<install_intent> read = parse_journal(text);
    ASSERT_EQ(read.size(), intents.size());
    for (std::size_t i = 0; i < read.size(); ++i) EXPECT_TRUE(same(read[i], intents[i])) << i;

    EXPECT_EQ(journal_text({}), "") << "no installs, no journal";
    for (std::size_t cut = 0; cut < text.size(); ++cut) {
        const std::vector<install_intent> partial = parse_journal(text.substr(0, cut));
        EXPECT_TRUE(partial.empty() || (partial.size() == 1 && same(partial[0], intents[0])))
            << "cut at " << cut;
    }
}

}  // namespace
}  // namespace brindle
