// The content filter's cost per new flow: the same namespace set-up (a
// client namespace, a TCP server across a veth pair) measured without and
// with keldra-filter's content filter, in the same run. Each flow connects,
// sends a TLS ClientHello for an allowed name, waits for the server's reply
// and closes. Prints the latency per flow (one client) and the flows per
// second (several clients at once), and their ratios. Needs root.
//   bench_content_filter [flows-per-client] [clients]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "DaemonTestSupport.h"
#include "NamespaceLab.h"
#include "PacketBuilders.h"

using namespace keldra::filter::test;
using Clock = std::chrono::steady_clock;

namespace {

int serve() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(443);
    ::inet_pton(AF_INET, kServerAddress, &address.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 3;
    ::listen(fd, 1024);
    char buffer[4096];
    while (true) {
        const int c = ::accept(fd, nullptr, nullptr);
        if (c < 0) continue;
        if (::recv(c, buffer, sizeof buffer, 0) > 0) ::send(c, "OK", 2, MSG_NOSIGNAL);
        ::close(c);
    }
}

// Runs `flows` flows one after another; returns false on any failure.
bool flows(int count, const Bytes& hello) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(443);
    ::inet_pton(AF_INET, kServerAddress, &address.sin_addr);
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char reply[4];
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                        ::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(hello.size()) &&
                        ::recv(fd, reply, sizeof reply, 0) == 2;
        // Closing with a reset keeps the port pairs from piling up in
        // TIME_WAIT over thousands of flows.
        linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(fd);
        if (!ok) return false;
    }
    return true;
}

struct Figures {
    double microsecondsPerFlow = 0;
    double flowsPerSecond = 0;
};

Figures measure(NamespaceLab& lab, int perClient, int clients, const Bytes& hello) {
    Figures figures;
    auto start = Clock::now();
    pid_t one = lab.fork(lab.client(), [&] { return flows(perClient, hello) ? 0 : 1; });
    int status = 0;
    ::waitpid(one, &status, 0);
    if (status != 0) std::fprintf(stderr, "a flow failed\n");
    figures.microsecondsPerFlow =
        std::chrono::duration<double, std::micro>(Clock::now() - start).count() / perClient;

    start = Clock::now();
    std::vector<pid_t> pids;
    for (int i = 0; i < clients; ++i) pids.push_back(lab.fork(lab.client(), [&] { return flows(perClient, hello) ? 0 : 1; }));
    for (pid_t pid : pids) ::waitpid(pid, nullptr, 0);
    figures.flowsPerSecond =
        perClient * clients / std::chrono::duration<double>(Clock::now() - start).count();
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    const int perClient = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int clients = argc > 2 ? std::atoi(argv[2]) : 4;
    NamespaceLab lab("bench");
    if (!lab.skipReason().empty()) {
        std::fprintf(stderr, "cannot run: %s\n", lab.skipReason().c_str());
        return 1;
    }
    lab.fork(lab.server(), serve);
    const Bytes hello = clientHelloFor("www.allowed.example", 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    flows(50, hello);  // warm up
    const Figures baseline = measure(lab, perClient, clients, hello);

    keldra::test::TempDir folder("keldra-filter-bench");
    const DaemonFiles files{folder.path()};
    brivet::FilterRulesStore(files.state() / "filter-rules.json").save(sampleRules());
    files.setConfigurations(true, false);
    lab.start(lab.client(), files.command({"--queue", std::to_string(2000 + ::getpid() % 30000)}), files.log());
    if (!waitFor([&] { return files.logText().find("filtering new connections") != std::string::npos; })) {
        std::fprintf(stderr, "the content filter did not start:\n%s", files.logText().c_str());
        return 1;
    }
    const Figures filtered = measure(lab, perClient, clients, hello);

    std::printf("flows per client %d, clients %d\n", perClient, clients);
    std::printf("latency per new flow   without filter %8.1f us   with filter %8.1f us   ratio %.2f  (added %.1f us)\n",
                baseline.microsecondsPerFlow, filtered.microsecondsPerFlow,
                filtered.microsecondsPerFlow / baseline.microsecondsPerFlow,
                filtered.microsecondsPerFlow - baseline.microsecondsPerFlow);
    std::printf("flows per second       without filter %8.0f      with filter %8.0f      ratio %.2f\n",
                baseline.flowsPerSecond, filtered.flowsPerSecond, filtered.flowsPerSecond / baseline.flowsPerSecond);
    return 0;
}
