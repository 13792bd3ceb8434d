#include "encode/naming.h"

#include "vocabulary/ascii_case.h"

namespace brindle {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "264" at `at` names the codec when x, X, h or H comes right before it, or "h." / "H.", all
// within the part of the path that may change.
bool names_the_codec(const std::string& path, std::size_t at, std::size_t relative_start) {
    if (at + 3 < path.size() && is_digit(path[at + 3])) return false;
    const auto is_tag_letter = [](char c) { return c == 'x' || c == 'X' || c == 'h' || c == 'H'; };
    if (at >= relative_start + 1 && is_tag_letter(path[at - 1])) return true;
    return at >= relative_start + 2 && path[at - 1] == '.' &&
           (path[at - 2] == 'h' || path[at - 2] == 'H');
}

}  // namespace

std::string target_path_for(const std::string& source, std::string_view separators) {
    const std::size_t relative_start = file_name_start(source, separators);
    std::string target = source;
    for (std::size_t at = source.find("264", relative_start); at != std::string::npos;
         at = source.find("264", at + 1)) {
        if (names_the_codec(source, at, relative_start)) {
            target[at + 2] = '5';
            break;
        }
    }
    return target;
}

std::size_t file_name_start(std::string_view path, std::string_view separators) {
    const std::size_t last = path.find_last_of(separators);
    return last == std::string_view::npos ? 0 : last + 1;
}

std::string_view name_of(std::string_view path, std::string_view separators) {
    return path.substr(file_name_start(path, separators));
}

std::string folder_of(std::string_view path, std::string_view separators) {
    const std::size_t start = file_name_start(path, separators);
    if (start == 0) return {};
    if (start == 1 || path[start - 2] == ':') return std::string(path.substr(0, start));
    return std::string(path.substr(0, start - 1));
}

std::string_view extension_of(std::string_view path, std::string_view separators) {
    const std::string_view name = path.substr(file_name_start(path, separators));
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return name.substr(dot);
}

std::string_view stem_of(std::string_view name) {
    return name.substr(0, name.size() - extension_of(name, "").size());
}

std::string with_extension(std::string_view path, std::string_view separators,
                           std::string_view extension) {
    const std::string_view old = extension_of(path, separators);
    std::string renamed(path.substr(0, path.size() - old.size()));
    renamed += extension;
    return renamed;
}

std::string installed_extension_for(std::string_view source_extension, media::container result,
                                    bool valid_webm) {
    if (!source_extension.empty() && source_extension.front() == '.') {
        source_extension.remove_prefix(1);
    }
    const std::string kept = "." + std::string(source_extension);
    const std::string name = to_lower_ascii(source_extension);
    switch (result) {
        case media::container::matroska:
            return name == "mkv" || (name == "webm" && valid_webm) ? kept : ".mkv";
        case media::container::mp4:
            return name == "mp4" || name == "m4v" || name == "mov" ? kept : ".mp4";
        default:
            return source_extension.empty() ? std::string() : kept;
    }
}

std::string installed_path_for(const std::string& source, const std::string& target,
                               std::string_view separators, media::container result,
                               bool valid_webm) {
    return with_extension(
        target, separators,
        installed_extension_for(extension_of(source, separators), result, valid_webm));
}

bool same_file_name(std::string_view a, std::string_view b, bool ignore_case) {
    return ignore_case ? equal_ignoring_ascii_case(a, b) : a == b;
}

bool is_sidecar_name(std::string_view name, std::string_view stem, bool ignore_case) {
    return name.size() > stem.size() &&
           same_file_name(name.substr(0, stem.size()), stem, ignore_case) &&
           std::string_view(".-_").find(name[stem.size()]) != std::string_view::npos;
}

std::optional<std::string> sidecar_name_for(std::string_view name, std::string_view source_name,
                                            std::string_view installed_name, bool ignore_case) {
    const std::string_view stem = stem_of(source_name);
    const std::string_view new_stem = stem_of(installed_name);
    if (name == source_name || stem == new_stem || !is_sidecar_name(name, stem, ignore_case)) {
        return std::nullopt;
    }
    return std::string(new_stem) + std::string(name.substr(stem.size()));
}

std::string backup_path_for(const std::string& source) { return source + ".bak"; }

std::string staging_path_for(const std::string& target, std::string_view separators,
                             const std::string& run_id) {
    return target.substr(0, file_name_start(target, separators)) + ".brindle-" + run_id + ".part";
}

std::string run_id_for(const staging_owner& owner) {
    std::string host = owner.host;
    for (char& c : host) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) ||
                           c == '.' || c == '_' || c == '-';
        if (!plain) c = '_';
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string nonce(16, '0');
    for (std::size_t i = 0; i < nonce.size(); ++i) {
        nonce[i] = hex[(owner.nonce >> (60 - 4 * i)) & 0xF];
    }
    return host + "-" + std::to_string(owner.pid) + "-" + std::to_string(owner.start) + "-" + nonce;
}

namespace {

std::optional<staging_owner> owner_of_run_id(std::string_view run_id) {
    // Read from the right: a host name may hold '-' itself.
    const auto field = [&run_id](std::uint64_t& value, unsigned base, std::size_t longest) {
        const std::size_t dash = run_id.rfind('-');
        const std::size_t length = dash == std::string_view::npos ? 0 : run_id.size() - dash - 1;
        if (length == 0 || length > longest || (base == 16 && length != longest)) return false;
        value = 0;
        for (const char c : run_id.substr(dash + 1)) {
            const int digit = is_digit(c)                          ? c - '0'
                              : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                                   : -1;
            if (digit < 0) return false;
            value = value * base + static_cast<std::uint64_t>(digit);
        }
        run_id = run_id.substr(0, dash);
        return true;
    };
    staging_owner owner;
    std::uint64_t pid = 0;
    if (!field(owner.nonce, 16, 16) || !field(owner.start, 10, 19) || !field(pid, 10, 19) ||
        run_id.empty()) {
        return std::nullopt;
    }
    owner.pid = static_cast<unsigned long>(pid);
    owner.host = std::string(run_id);
    return owner;
}

}  // namespace

std::optional<staging_owner> staging_owner_of(std::string_view name) {
    constexpr std::string_view prefix = ".brindle-", suffix = ".part";
    if (!name.starts_with(prefix) || !name.ends_with(suffix)) return std::nullopt;
    return owner_of_run_id(name.substr(prefix.size(), name.size() - prefix.size() - suffix.size()));
}

}  // namespace brindle
