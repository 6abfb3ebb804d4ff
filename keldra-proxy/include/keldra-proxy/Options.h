#pragma once
// The proxy's command line.

#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace brivet {

// The usage line printed for -h/--help (without its line feed).
extern const char* const kUsageLine;

// Thrown by Options::parse when the command line ends the process: -h/--help
// (status 0, usage on standard output) or an unknown argument (status 2,
// message on standard error). The caller prints and exits.
class OptionsExit : public std::exception {
public:
    OptionsExit(int status, std::string standardOutput, std::string standardError)
        : status(status), standardOutput(std::move(standardOutput)),
          standardError(std::move(standardError)) {}
    const char* what() const noexcept override { return "command line ends the process"; }

    int status;
    std::string standardOutput;
    std::string standardError;
};

struct Options {
    std::optional<std::string> env;
    std::string dir = defaultDirectory();
    std::string listen = "127.0.0.1:5354";
    std::optional<std::vector<std::string>> upstreams;
    std::optional<std::string> enroll;
    std::string name = defaultName();
    bool once = false;
    double interval = 60.0;
    bool assertDNS = false;
    std::optional<std::string> status;

    bool operator==(const Options&) const = default;

    // Reads the arguments without the program name, left to right. A flag that
    // takes a value consumes the next argument whatever it looks like; a
    // repeated flag keeps its last value. Throws OptionsExit for help and for
    // the first unknown argument.
    static Options parse(const std::vector<std::string>& arguments);

    // "Keldra Dev Proxy" in the user's data folder (platform::userApplicationSupport).
    static std::string defaultDirectory();
    // The machine's host name, or "Mac" when it has none.
    static std::string defaultName();
    // The value of --interval: a decimal floating-point number read whole in
    // the POSIX locale, else 60. Values the main loop cannot sleep for
    // (negative, not finite, more nanoseconds than fit in 64 bits) also give 60.
    static double parseInterval(const std::string& text);
    // The value of --upstream: split at ",", empty pieces dropped, each piece
    // trimmed of spaces and tabs (a blank piece stays as an empty string).
    static std::vector<std::string> parseUpstreams(const std::string& text);
};

// The host and port of --listen.
struct ListenAddress {
    std::string host;
    unsigned short port = 0;
    bool operator==(const ListenAddress&) const = default;
};

// Splits "HOST:PORT" at ":" with empty pieces dropped; needs exactly two
// pieces, the second a decimal port from 1 to 65535. Port 0 is refused:
// the UDP and TCP listeners would each get a different port.
std::optional<ListenAddress> parseListenAddress(const std::string& text);

}  // namespace brivet
