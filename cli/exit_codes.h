#pragma once

// The exit codes a scheduler reads; the README's table says the same.

namespace brindle {

// Everything was converted or there was nothing to do; or another run holds the lock.
inline constexpr int exit_success = 0;
// A fault of the input: the command line, the library folder, the configuration file, the
// working directory.
inline constexpr int exit_input_fault = 1;
// A file was not converted, or the run ended early at a fault every later file would meet.
inline constexpr int exit_not_converted = 2;
// The encoder, or the picture comparison, could not be started: no other file was tried.
inline constexpr int exit_cannot_start = 3;
// A stop by signal N ends the run with 128 + N, as shells report it.
inline constexpr int exit_for_signal(int signal) { return 128 + signal; }

}  // namespace brindle
