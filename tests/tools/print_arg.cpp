// Writes the bytes of its first argument, exactly, into the file named by its second, so a test
// can see what a command line delivered to a program. On Windows the argument arrives as UTF-16
// and is written as UTF-8.

#include <cstdio>
#include <string>

namespace {

int write_bytes(std::FILE* out, const std::string& bytes) {
    if (out == nullptr) return 3;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    const bool closed = std::fclose(out) == 0;
    return written && closed ? 0 : 4;
}

}  // namespace

#ifdef _WIN32

namespace {

void append_utf8(std::string& out, unsigned long code_point) {
    auto byte = [&out](unsigned long value) { out.push_back(static_cast<char>(value)); };
    if (code_point < 0x80) {
        byte(code_point);
    } else if (code_point < 0x800) {
        byte(0xC0 | (code_point >> 6));
        byte(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        byte(0xE0 | (code_point >> 12));
        byte(0x80 | ((code_point >> 6) & 0x3F));
        byte(0x80 | (code_point & 0x3F));
    } else {
        byte(0xF0 | (code_point >> 18));
        byte(0x80 | ((code_point >> 12) & 0x3F));
        byte(0x80 | ((code_point >> 6) & 0x3F));
        byte(0x80 | (code_point & 0x3F));
    }
}

std::string utf8_from_utf16(const wchar_t* text) {
    std::string out;
    for (const wchar_t* at = text; *at != 0; ++at) {
        unsigned long unit = static_cast<unsigned long>(*at) & 0xFFFF;
        const unsigned long next = static_cast<unsigned long>(at[1]) & 0xFFFF;
        if (unit >= 0xD800 && unit < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
            ++at;
        }
        append_utf8(out, unit);
    }
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    return write_bytes(_wfopen(argv[2], L"wb"), utf8_from_utf16(argv[1]));
}

#else

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    return write_bytes(std::fopen(argv[2], "wb"), argv[1]);
}

#endif
