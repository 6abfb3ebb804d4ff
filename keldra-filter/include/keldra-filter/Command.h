#pragma once
// Runs a program with an argument vector (never through a shell) and collects
// its exit status and both outputs, draining them together so that a program
// that writes much to one of them never stalls.

#include <chrono>
#include <string>
#include <vector>

namespace keldra::filter {

struct CommandResult {
    // The exit status; 127 when the program could not be started, 128 plus
    // the signal number when a signal ended it.
    int status = 127;
    std::string standardOutput;
    std::string standardError;
    // The program ran past its time limit and was killed.
    bool timedOut = false;

    bool succeeded() const noexcept { return status == 0; }
};

// argv[0] is looked up in PATH when it holds no slash. `input` (up to 64
// KiB) is its standard input; without it, /dev/null. A program still
// running after `timeLimit` (zero: no limit) is killed.
CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input = {},
                         std::chrono::milliseconds timeLimit = std::chrono::milliseconds::zero());

// Starts a program in the background in a session of its own, with its
// standard input from /dev/null and both outputs appended to `logFile` (or
// /dev/null when empty). Returns its pid, or -1 when it could not be started.
int startDetached(const std::vector<std::string>& argv, const std::string& logFile);

}  // namespace keldra::filter
