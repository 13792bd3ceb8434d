#include "encode/journal.h"

#include <charconv>
#include <cstdint>
#include <optional>

namespace brindle {

namespace {

constexpr std::string_view journal_header = "brindle-journal-1\n";

// A path may hold any byte but NUL, a line break included, so each is written after its length.
void put_text(std::string& out, const std::string& text) {
    out += std::to_string(text.size()) + ":" + text + "\n";
}

void put_stamp(std::string& out, const file_stamp& stamp) {
    out += std::to_string(stamp.volume) + " " + std::to_string(stamp.index) + " " +
           std::to_string(stamp.size) + " " + std::to_string(stamp.write_ticks) + "\n";
}

// Reads the text as it was written; every read checks what is left.
struct journal_reader {
    std::string_view rest;

    std::optional<std::uint64_t> number(char ends_with) {
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
        if (error != std::errc() || end == rest.data() + rest.size() || *end != ends_with) {
            return std::nullopt;
        }
        rest.remove_prefix(static_cast<std::size_t>(end - rest.data()) + 1);
        return value;
    }
    bool text(std::string& out) {
        const auto length = number(':');
        if (!length || *length >= rest.size() || rest[*length] != '\n') return false;
        out.assign(rest.substr(0, *length));
        rest.remove_prefix(*length + 1);
        return true;
    }
    bool stamp(file_stamp& out) {
        const auto volume = number(' '), index = number(' '), size = number(' '),
                   ticks = number('\n');
        if (!volume || !index || !size || !ticks) return false;
        out = {*volume, *index, *size, *ticks};
        return true;
    }
};

}  // namespace

std::string journal_text(const std::vector<install_intent>& intents) {
    if (intents.empty()) return {};
    std::string out(journal_header);
    for (const install_intent& intent : intents) {
        for (const std::string* text :
             {&intent.source, &intent.target, &intent.staging, &intent.aside, &intent.backup}) {
            put_text(out, *text);
        }
        put_stamp(out, intent.source_stamp);
        put_stamp(out, intent.result);
    }
    return out;
}

std::vector<install_intent> parse_journal(std::string_view text) {
    if (!text.starts_with(journal_header)) return {};
    journal_reader reader{text.substr(journal_header.size())};
    std::vector<install_intent> intents;
    while (!reader.rest.empty()) {
        install_intent intent;
        if (!reader.text(intent.source) || !reader.text(intent.target) ||
            !reader.text(intent.staging) || !reader.text(intent.aside) ||
            !reader.text(intent.backup) || !reader.stamp(intent.source_stamp) ||
            !reader.stamp(intent.result)) {
            return {};
        }
        intents.push_back(std::move(intent));
    }
    return intents;
}

}  // namespace brindle
