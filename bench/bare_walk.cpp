// The floor for the scan: a depth-first readdir walk that looks at names only (folders are
// entered, nothing is examined or sorted), for scan_bench.sh to time beside brindle and find.
//
//   bare_walk TREE

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

void walk(int parent, const char* name) {
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR* stream = ::fdopendir(fd);
    if (stream == nullptr) {
        ::close(fd);
        return;
    }
    std::vector<std::string> folders;
    while (const dirent* entry = ::readdir(stream)) {
        if (entry->d_name[0] != '.' && entry->d_type == DT_DIR) folders.emplace_back(entry->d_name);
    }
    for (const std::string& folder : folders) walk(::dirfd(stream), folder.c_str());
    ::closedir(stream);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s TREE\n", argv[0]);
        return 2;
    }
    walk(AT_FDCWD, argv[1]);
    return 0;
}
