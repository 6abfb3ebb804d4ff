// link_probe SOCKET: asks the filter daemon for its status as the app would;
// exits 0 when a status came back, 1 when not.
//
// The other forms play a local user who wants the filter off:
//   link_probe SOCKET flood COUNT      connects COUNT times and hangs up
//   link_probe SOCKET hand-on PROGRAM  connects, then a child runs PROGRAM
//                                      with the connection (send-on FD)
//   link_probe SOCKET send-on FD       publishes an empty rule set at the
//                                      highest sequence on descriptor FD
//   link_probe SOCKET race APP [FLOOD] FLOOD processes connect over and
//                                      over ahead of it; it connects, a child
//                                      keeps the socket while this process
//                                      execs APP (hold); the child publishes
//                                      once APP runs, naming APP's process in
//                                      its credentials where it may (in a pid
//                                      namespace of its own), else as itself
//   link_probe SOCKET hold             waits half a second
//   link_probe SOCKET keep COUNT       connects COUNT times, sends nothing,
//                                      and keeps the connections for 5 s
//   link_probe SOCKET large COUNT      the same, each sending the length of
//                                      a 1 MiB request and no more
// The publishing forms exit 0 when the rules were taken, 1 when not.
#include "BrivetClient/FilterRules.h"
#include "Keldra/FilterConnection.h"
#include "filter-link/FilterWire.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace wire = keldra::filterwire;

int connectTo(const std::string& socketPath) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    return fd;
}

// Sends the frame in credentials that name `pid` (which takes CAP_SYS_ADMIN
// over this process's pid namespace), else in its own.
void writeFrameAs(int fd, const std::string& body, pid_t pid) {
    std::string frame = wire::framePrefix(body.size()) + body;
    iovec vector{frame.data(), frame.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_CREDENTIALS;
    header->cmsg_len = CMSG_LEN(sizeof(ucred));
    const ucred named{pid, ::getuid(), ::getgid()};
    std::memcpy(CMSG_DATA(header), &named, sizeof named);
    if (::sendmsg(fd, &message, MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) wire::writeFrame(fd, body);
}

int publishEmpty(int fd, pid_t as = ::getpid()) {
    brivet::FilterRules rules;
    rules.policySeq = std::numeric_limits<std::int64_t>::max();
    try {
        writeFrameAs(fd, wire::encodePublishRequest(1, rules.encode()), as);
        const auto reply = wire::decodeReply(
            wire::readFrame(fd, std::chrono::steady_clock::now() + std::chrono::seconds(10)), wire::Call::publish);
        return reply.accepted ? 0 : 1;
    } catch (const std::exception&) {
        return 1;
    }
}

int waitForChild(pid_t child) {
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string socketPath = argv[1];
    if (argc == 2) {
        keldra::FilterConnection connection(socketPath, std::chrono::milliseconds(5000));
        return connection.status() ? 0 : 1;
    }
    const std::string mode = argv[2];
    if (mode == "hold") {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        return 0;
    }
    if (argc != 4 && !(argc == 5 && mode == "race")) return 2;
    const std::string argument = argv[3];
    if (mode == "flood") {
        for (long i = 0, count = std::stol(argument); i < count; ++i) {
            const int fd = connectTo(socketPath);
            if (fd >= 0) ::close(fd);
        }
        return 0;
    }
    if (mode == "send-on") return publishEmpty(std::stoi(argument));
    if (mode == "keep" || mode == "large") {
        const std::string length = wire::framePrefix(1u << 20);
        for (long i = 0, count = std::stol(argument); i < count; ++i) {
            const int fd = connectTo(socketPath);
            if (mode == "large" && fd >= 0) (void)::send(fd, length.data(), length.size(), MSG_NOSIGNAL);
        }
        std::this_thread::sleep_for(std::chrono::seconds(5));
        return 0;
    }
    // Refused connects queue up ahead of ours (the backlog fills, and our
    // connect waits its turn), so that APP runs before ours is accepted.
    std::vector<pid_t> flooders(argc == 5 ? std::stoul(argv[4]) : 0);
    for (auto& flooder : flooders) {
        if ((flooder = ::fork()) == 0) {
            while (true) ::close(connectTo(socketPath));
        }
    }
    if (!flooders.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int fd = connectTo(socketPath);
    if (fd < 0) return 1;
    if (mode == "hand-on") {
        const pid_t child = ::fork();
        if (child == 0) {
            const std::string descriptor = std::to_string(fd);
            ::execl(argument.c_str(), argument.c_str(), socketPath.c_str(), "send-on", descriptor.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // This process (the app) keeps the connection open meanwhile.
        return waitForChild(child);
    }
    if (mode == "race") {
        // The child learns that the exec is done when the pipe's write end,
        // closed on exec, closes.
        int ran[2];
        if (::pipe2(ran, O_CLOEXEC) != 0) return 1;
        const pid_t parent = ::getpid();
        if (::fork() == 0) {
            ::close(ran[1]);
            char byte;
            [[maybe_unused]] auto read = ::read(ran[0], &byte, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const int taken = publishEmpty(fd, parent);
            for (const pid_t flooder : flooders) ::kill(flooder, SIGKILL);
            ::_exit(taken);
        }
        ::execl(argument.c_str(), argument.c_str(), socketPath.c_str(), "hold", static_cast<char*>(nullptr));
        return 127;
    }
    return 2;
}
