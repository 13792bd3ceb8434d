#include "encode/staging.h"

#include <cstdint>
#include <optional>
#include <random>
#include <string_view>

#include "encode/naming.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace brindle {

namespace {

std::uint64_t random_nonce() {
    std::uint64_t nonce = platform::now_ticks();
    try {
        std::random_device device;
        nonce ^= (std::uint64_t{device()} << 32) ^ device();
    } catch (...) {
        // A system without a source of randomness still gets the clock's ticks.
    }
    return nonce;
}

// The machine, the process id, the process's start (0 where the system does not tell) and a
// random number: no other run, earlier, at the same time or on another machine sharing the
// library, has all four, and no one can name a file for this run before it stages.
const staging_owner& this_run() {
    static const staging_owner owner{
        platform::host_name(), platform::process_id(),
        platform::look_up_process(platform::process_id()).seconds.value_or(0), random_nonce()};
    return owner;
}

// The process id has no process any more, or names one started at another time.
bool run_has_ended(const staging_owner& owner) {
    const platform::process_start process = platform::look_up_process(owner.pid);
    return !process.running ||
           (process.seconds && owner.start != 0 && *process.seconds != owner.start);
}

}  // namespace

std::string staging_path(const std::string& target) {
    static const std::string run_id = run_id_for(this_run());
    return staging_path_for(target, platform::path_separators(), run_id);
}

void remove_abandoned_staging(const std::string& staging, const file_stamp& result) {
    const std::optional<staging_owner> owner =
        staging_owner_of(name_of(staging, platform::path_separators()));
    if (!owner || !run_has_ended(*owner)) return;
    // This machine's name, made plain as the name holds it.
    const std::string ours = run_id_for({this_run().host, owner->pid, owner->start, owner->nonce});
    if (name_of(staging, platform::path_separators()) !=
        staging_path_for({}, platform::path_separators(), ours))
        return;
    const path_state found = platform::status_of(staging);
    if (found.what != path_state::kind::regular) return;
    const bool identity_known = result.volume != 0 || result.index != 0;
    if (identity_known &&
        (found.stamp.volume != result.volume || found.stamp.index != result.index)) {
        return;
    }
    platform::remove_file(staging);
}

}  // namespace brindle
