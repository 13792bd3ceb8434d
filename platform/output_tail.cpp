#include "platform/output_tail.h"

namespace brindle::platform {

void output_tail::end_line(bool progress) {
    if (progress && last_is_progress_ && !lines_.empty()) {
        kept_bytes_ -= lines_.back().size();
        lines_.pop_back();
    }
    kept_bytes_ += current_.size();
    lines_.push_back(std::move(current_));
    current_.clear();
    last_is_progress_ = progress;
    while (lines_.size() > max_lines || kept_bytes_ > max_bytes) {
        kept_bytes_ -= lines_.front().size();
        lines_.pop_front();
    }
}

void output_tail::add(std::string_view bytes) {
    for (const char c : bytes) {
        if (after_cr_) {
            after_cr_ = false;
            end_line(c != '\n');
            if (c == '\n') continue;
        }
        if (c == '\r') {
            after_cr_ = true;
        } else if (c == '\n') {
            end_line(false);
        } else if (current_.size() < max_bytes) {
            current_ += c;
        }
    }
}

std::vector<std::string> output_tail::lines() const {
    std::vector<std::string> kept(lines_.begin(), lines_.end());
    if (after_cr_ || !current_.empty()) {
        // The unfinished line replaces a progress update before it, as a finished one would.
        if (after_cr_ && last_is_progress_ && !kept.empty()) kept.pop_back();
        kept.push_back(current_);
        std::size_t total = 0;
        for (const std::string& line : kept) total += line.size();
        std::size_t drop = 0;
        while (kept.size() - drop > max_lines || total > max_bytes) total -= kept[drop++].size();
        kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(drop));
    }
    return kept;
}

}  // namespace brindle::platform
