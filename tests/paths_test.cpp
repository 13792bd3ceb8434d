#include "platform/paths.h"

#include <gtest/gtest.h>

namespace brindle::platform {
namespace {

TEST(LiesInside, StopsAtTheFolderBoundary) {
    struct row {
        const char* path;
        const char* folder;
        const char* separators;
        bool inside;
    };
    const row rows[] = {
        {"/srv/lib", "/srv/lib", "/", true},
        {"/srv/lib/a.mkv", "/srv/lib", "/", true},
        {"/srv/lib2", "/srv/lib", "/", false},
        {"/srv/lib2/a.mkv", "/srv/lib", "/", false},
        {"/srv/li", "/srv/lib", "/", false},
        {"/srv/lib/a", "/srv/lib/", "/", true},
        {"/srv/lib2", "/srv/lib/", "/", false},
        {"/anything", "/", "/", true},
        {"/srv/lib", "", "/", false},
        {"C:\\lib\\a.mkv", "C:\\lib", "\\/", true},
        {"C:\\lib2\\a.mkv", "C:\\lib", "\\/", false},
        {"C:\\lib/a.mkv", "C:\\lib", "\\/", true},
        {"C:\\lib\\a.mkv", "C:\\", "\\/", true},
        {"C:\\lib\\a.mkv", "C:\\lib", "/", false},
    };
    for (const row& r : rows) {
        EXPECT_EQ(lies_inside(r.path, r.folder, r.separators), r.inside)
            << r.path << " in " << r.folder;
    }
}

TEST(LiesInside, ALongFormFolderLosesItsFinalSeparatorsButAVolumeRootKeepsIt) {
    const std::pair<const char*, const char*> rows[] = {
        {"\\\\?\\D:\\TV\\", "\\\\?\\D:\\TV"},
        {"\\\\?\\D:\\TV\\\\/", "\\\\?\\D:\\TV"},
        {"\\\\?\\D:\\", "\\\\?\\D:\\"},
        {"\\\\?\\Volume{1}\\", "\\\\?\\Volume{1}\\"},
        {"\\\\?\\UNC\\host\\share\\", "\\\\?\\UNC\\host\\share"},
        {"D:\\TV\\", "D:\\TV\\"},
        {"lib/", "lib/"},
    };
    for (const auto& [written, used] : rows) {
        EXPECT_EQ(without_final_separators(written), used) << written;
    }
}

}  // namespace
}  // namespace brindle::platform
