// The content filter's cost per new flow, in one run, against two baselines
// measured in the same run: no filter at all, and the floor of a queue round
// trip (bench_queue_floor: the same chain and queue rule as the daemon, a
// reader that allows every packet without looking at it). bench/content-
// filter.sh makes the network namespaces and runs this program twice:
//
//   bench_content_filter serve
//       in the server namespace: answers every TLS ClientHello on port 443
//       with two bytes and closes.
//   bench_content_filter measure --server ADDRESS --blocked-server ADDRESS...
//                        --scratch DIR [--rounds N] [--flows N]
//       in the client namespace: runs no filter, the floor and keldra-filter
//       in turn, every round, and prints medians over the rounds. The
//       blocked name's flows go to the other addresses (--blocked-server may
//       come more than once), as they would to other sites.
//
// Each flow connects, sends a ClientHello, waits for the server's reply (or,
// for a blocked name, for the reset) and closes. Per configuration and
// round: latency per new flow (one client, flows one after another), flows
// per second with 4 and with 32 clients at once, and the reader's CPU time
// (utime + stime) over those flows. With keldra-filter, also one allowed
// client's latency alone and while another client opens connections to a
// blocked name as fast as it can; the same without a filter shows what the
// flood's traffic costs by itself. Needs root.
#include <arpa/inet.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BrivetClient/FilterRules.h"
#include "DaemonTestSupport.h"
#include "PacketBuilders.h"
#include "keldra-filter/FirewallChain.h"

using namespace keldra::filter::test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint16_t kPort = 443;
constexpr int kServerWorkers = 4;
constexpr int kWarmUpFlows = 50;

sockaddr_in addressOf(const std::string& text) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    if (::inet_pton(AF_INET, text.c_str(), &address.sin_addr) != 1) {
        std::fprintf(stderr, "not an IPv4 address: %s\n", text.c_str());
        std::exit(2);
    }
    return address;
}

void raiseFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// ---- The server.

void closeHard(int fd) {
    const linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

// One worker: accepts, answers the first bytes of each connection with "OK"
// and closes. A connection the filter reset on the client's side never sends
// anything; it is closed after two seconds.
[[noreturn]] void serveWorker(int listener) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLEXCLUSIVE;
    event.data.fd = listener;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    std::map<int, Clock::time_point> open;
    std::vector<epoll_event> events(256);
    char buffer[4096];
    auto lastSweep = Clock::now();
    while (true) {
        const int n = ::epoll_wait(poller, events.data(), static_cast<int>(events.size()), 500);
        for (int i = 0; i < n; ++i) {
            const int fd = events[static_cast<std::size_t>(i)].data.fd;
            if (fd == listener) {
                while (true) {
                    const int c = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (c < 0) break;
                    epoll_event client{};
                    client.events = EPOLLIN | EPOLLRDHUP;
                    client.data.fd = c;
                    ::epoll_ctl(poller, EPOLL_CTL_ADD, c, &client);
                    open[c] = Clock::now();
                }
                continue;
            }
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (got > 0) ::send(fd, "OK", 2, MSG_NOSIGNAL);
            open.erase(fd);
            if (got > 0) {
                ::close(fd);
            } else {
                closeHard(fd);
            }
        }
        const auto now = Clock::now();
        if (now - lastSweep > std::chrono::milliseconds(500)) {
            lastSweep = now;
            for (auto it = open.begin(); it != open.end();) {
                if (now - it->second > std::chrono::seconds(2)) {
                    closeHard(it->first);
                    it = open.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
}

int serve() {
    raiseFileLimit();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4096) != 0) {
        std::fprintf(stderr, "cannot listen on port %u: %s\n", kPort, std::strerror(errno));
        return 1;
    }
    for (int i = 0; i < kServerWorkers; ++i) {
        if (::fork() == 0) serveWorker(listener);
    }
    while (::wait(nullptr) > 0 || errno == EINTR) {
    }
    return 0;
}

// ---- Clients.

enum class Expect { reply, reset };

// Tells on standard error why a flow went wrong, the first few times in
// each process.
void noteFailure(const char* step, const char* what) {
    static int told = 0;
    if (++told > 3) return;
    std::fprintf(stderr, "[%d] a flow failed at %s: %s\n", static_cast<int>(::getpid()), step, what);
}
void noteFailure(const char* step, int error) { noteFailure(step, std::strerror(error)); }

// One flow; true when it ended as expected.
bool oneFlow(const sockaddr_in& address, const Bytes& hello, Expect expect) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        noteFailure("socket", errno);
        return false;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Nothing here waits for ever, whatever the filter does. A blocked flow
    // must be reset well before the server gives up on it (two seconds).
    const timeval limit{expect == Expect::reply ? 5 : 1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    bool ok = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        noteFailure("connect", errno);
    } else if (::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size())) {
        const int error = errno;
        ok = expect == Expect::reset && (error == ECONNRESET || error == EPIPE);
        if (!ok) noteFailure("send", error);
    } else {
        char reply[4];
        const ssize_t got = ::recv(fd, reply, sizeof reply, 0);
        const int error = got < 0 ? errno : 0;
        ok = expect == Expect::reply ? got == 2 : error == ECONNRESET;
        const char* step = expect == Expect::reply ? "the reply" : "the reset";
        if (ok) {
        } else if (got > 0) {
            noteFailure(step, expect == Expect::reply ? "a short answer" : "the server answered: the flow got through");
        } else if (got == 0) {
            noteFailure(step, "the server closed the connection");
        } else {
            noteFailure(step, error);
        }
    }
    // Closing with a reset keeps the port pairs from piling up in TIME_WAIT
    // over thousands of flows.
    closeHard(fd);
    return ok;
}

// Runs `count` flows one after another; returns how many failed.
int runFlows(const sockaddr_in& address, const Bytes& hello, int count) {
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        if (!oneFlow(address, hello, Expect::reply)) ++failed;
    }
    return failed;
}

struct Pass {
    double seconds = 0;
    int flows = 0;
    int failed = 0;
    double microsecondsPerFlow() const { return seconds * 1e6 / flows; }
    double flowsPerSecond() const { return flows / seconds; }
};

Pass sequential(const sockaddr_in& address, const Bytes& hello, int count) {
    Pass pass;
    pass.flows = count;
    const auto start = Clock::now();
    pass.failed = runFlows(address, hello, count);
    pass.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return pass;
}

// `clients` processes at once, each running `perClient` flows; the clock
// runs from the moment all are ready until the last one ends.
Pass parallel(const sockaddr_in& address, const Bytes& hello, int clients, int perClient) {
    int go[2];
    if (::pipe(go) != 0) std::exit(1);
    int ready[2];
    if (::pipe(ready) != 0) std::exit(1);
    std::vector<pid_t> pids;
    for (int i = 0; i < clients; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(go[1]);
            ::close(ready[0]);
            char byte = 0;
            [[maybe_unused]] auto written = ::write(ready[1], &byte, 1);
            [[maybe_unused]] auto got = ::read(go[0], &byte, 1);
            ::_exit(std::min(runFlows(address, hello, perClient), 255));
        }
        pids.push_back(pid);
    }
    ::close(go[0]);
    ::close(ready[1]);
    for (int i = 0; i < clients; ++i) {
        char byte = 0;
        if (::read(ready[0], &byte, 1) != 1) break;
    }
    ::close(ready[0]);
    Pass pass;
    pass.flows = clients * perClient;
    const auto start = Clock::now();
    ::close(go[1]);
    for (const pid_t pid : pids) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        pass.failed += WIFEXITED(status) ? WEXITSTATUS(status) : perClient;
    }
    pass.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return pass;
}

// A client that opens connections to a blocked name as fast as it can,
// counting those that end as expected (reset under the filter, answered
// without it), until it is stopped. It takes the servers in turn: one
// server alone would see its port pairs come round again within seconds.
class BlockedFlood {
public:
    BlockedFlood(const std::vector<sockaddr_in>& addresses, const Bytes& hello, Expect expect) {
        void* shared = ::mmap(nullptr, sizeof(Counters), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED) std::exit(1);
        counters_ = new (shared) Counters;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            for (std::size_t i = 0;; ++i) {
                if (oneFlow(addresses[i % addresses.size()], hello, expect)) {
                    counters_->blocked.fetch_add(1, std::memory_order_relaxed);
                } else {
                    counters_->failed.fetch_add(1, std::memory_order_relaxed);
                }
            }
        }
        started_ = Clock::now();
    }
    ~BlockedFlood() {
        stop();
        ::munmap(counters_, sizeof(Counters));
    }
    BlockedFlood(const BlockedFlood&) = delete;
    BlockedFlood& operator=(const BlockedFlood&) = delete;

    std::uint64_t blocked() const { return counters_->blocked.load(std::memory_order_relaxed); }
    std::uint64_t failed() const { return counters_->failed.load(std::memory_order_relaxed); }
    // Stops the client; returns blocked flows per second over its life.
    double stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
            rate_ = static_cast<double>(blocked()) /
                    std::chrono::duration<double>(Clock::now() - started_).count();
        }
        return rate_;
    }

private:
    struct Counters {
        std::atomic<std::uint64_t> blocked{0};
        std::atomic<std::uint64_t> failed{0};
    };
    Counters* counters_ = nullptr;
    pid_t pid_ = -1;
    Clock::time_point started_;
    double rate_ = 0;
};

// ---- Readers of the queue.

// Empties the namespace's connection tracking table, so that no
// configuration inherits the connections (and their marks) of the one
// before: tens of thousands of flows a round reuse port pairs.
void flushConnectionTracking() {
    static bool warned = false;
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    struct {
        nlmsghdr header;
        nfgenmsg body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = (NFNL_SUBSYS_CTNETLINK << 8) | IPCTNL_MSG_CT_DELETE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    request.body.nfgen_family = AF_UNSPEC;
    request.body.version = NFNETLINK_V0;
    int error = fd < 0 ? errno : 0;
    if (fd >= 0 && ::send(fd, &request, sizeof request, 0) < 0) error = errno;
    if (fd >= 0 && error == 0) {
        alignas(nlmsghdr) char answer[512];
        const ssize_t n = ::recv(fd, answer, sizeof answer, 0);
        const auto* reply = reinterpret_cast<const nlmsghdr*>(answer);
        if (n < 0) {
            error = errno;
        } else if (n >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) && reply->nlmsg_type == NLMSG_ERROR) {
            error = -static_cast<const nlmsgerr*>(NLMSG_DATA(reply))->error;
        }
    }
    if (fd >= 0) ::close(fd);
    // ENOENT: no connection tracking in this namespace yet, nothing to flush.
    if (error != 0 && error != ENOENT && !warned) {
        warned = true;
        std::fprintf(stderr, "warning: cannot flush the connection tracking table: %s\n", std::strerror(error));
    }
}

// A process's CPU time (user + system, all its threads) in microseconds.
double cpuMicroseconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto end = text.rfind(')');
    if (end == std::string::npos) return 0;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    double utime = 0, stime = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) utime = std::strtod(field.c_str(), nullptr);
        if (number == 15) stime = std::strtod(field.c_str(), nullptr);
    }
    return (utime + stime) * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

enum class Kind { none, floor, filter };

const char* labelOf(Kind kind) {
    switch (kind) {
    case Kind::none: return "no filter";
    case Kind::floor: return "floor";
    case Kind::filter: return "keldra-filter";
    }
    return "";
}

// The reader of one configuration, running while the object lives.
class Reader {
public:
    Reader(Kind kind, std::uint16_t queue, const std::filesystem::path& folder) : queue_(queue) {
        if (kind == Kind::none) return;
        std::filesystem::create_directories(folder);
        log_ = folder / "reader.log";
        std::vector<std::string> words;
        std::string readyText;
        if (kind == Kind::floor) {
            words = {KELDRA_QUEUE_FLOOR_PATH, std::to_string(queue)};
            readyText = "ready";
        } else {
            const DaemonFiles files{folder};
            brivet::FilterRulesStore(files.state() / "filter-rules.json").save(sampleRules());
            files.setConfigurations(true, false);
            words = files.command({"--queue", std::to_string(queue)});
            // The daemon as it runs for users: the tests' short poll of the
            // configurations would add its own CPU to every flow.
            const auto poll = std::find(words.begin(), words.end(), "--poll-ms");
            if (poll != words.end() && poll + 1 != words.end()) words.erase(poll, poll + 2);
            readyText = "filtering new connections";
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            std::vector<char*> argv;
            for (auto& word : words) argv.push_back(word.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        bool exited = false;
        waitFor(
            [&] {
                exited = exited || ::waitpid(pid_, nullptr, WNOHANG) == pid_;
                return exited || keldra::test::readFile(log_).find(readyText) != std::string::npos;
            },
            std::chrono::milliseconds(30000));
        if (exited) pid_ = -1;
        if (exited || keldra::test::readFile(log_).find(readyText) == std::string::npos) {
            std::fprintf(stderr, "%s did not start:\n%s\n", labelOf(kind), keldra::test::readFile(log_).c_str());
            stop();
            std::exit(1);
        }
        const std::string text = keldra::test::readFile(log_);
        const auto start = text.rfind('\n', text.find(readyText));
        const auto from = start == std::string::npos ? 0 : start + 1;
        readyLine_ = text.substr(from, text.find('\n', from) - from);
    }
    ~Reader() { stop(); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // The reader's line that said it was ready.
    const std::string& readyLine() const { return readyLine_; }

    std::optional<double> cpu() const {
        if (pid_ <= 0) return std::nullopt;
        return cpuMicroseconds(pid_);
    }

private:
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
            // Whatever happened to the reader, the next configuration starts
            // without its chain.
            keldra::filter::FirewallChain(queue_).remove();
        }
    }

    std::uint16_t queue_;
    std::filesystem::path log_;
    std::string readyLine_;
    pid_t pid_ = -1;
};

// ---- Figures.

struct Series {
    std::vector<double> values;
    void add(double value) { values.push_back(value); }
    bool empty() const { return values.empty(); }
    double median() const {
        if (values.empty()) return 0;
        auto sorted = values;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t middle = sorted.size() / 2;
        return sorted.size() % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
    }
    double min() const { return values.empty() ? 0 : *std::min_element(values.begin(), values.end()); }
    double max() const { return values.empty() ? 0 : *std::max_element(values.begin(), values.end()); }
};

struct Figures {
    Series latency, cpu, fps4, fps32;
    int failed = 0;
};

struct FloodFigures {
    Series alone, flooded, blockedRate, cpu;
    int failed = 0;
    std::uint64_t floodFailed = 0;
};

struct Options {
    std::string server;
    std::vector<std::string> blockedServers;
    std::filesystem::path scratch;
    int rounds = 7;
    int flows = 1500;
};

std::string cell(const Series& series, const char* format) {
    if (series.empty()) return "-";
    char text[96];
    std::snprintf(text, sizeof text, format, series.median());
    return text;
}

std::string range(const Series& series, const char* format) {
    if (series.empty()) return "";
    char low[32], high[32];
    std::snprintf(low, sizeof low, format, series.min());
    std::snprintf(high, sizeof high, format, series.max());
    return std::string(low) + "-" + high;
}

void printRow(const char* name, const Series& none, const Series& floor, const Series& filter, const char* format) {
    std::printf("%-30s %12s %12s %14s\n", name, cell(none, format).c_str(), cell(floor, format).c_str(),
                cell(filter, format).c_str());
    std::printf("%-30s %12s %12s %14s\n", "  (range over rounds)", range(none, format).c_str(),
                range(floor, format).c_str(), range(filter, format).c_str());
}

void printGoal(const char* name, double ratio, double goal) {
    std::printf("  %-52s %5.2fx  goal <= %.2fx  %s\n", name, ratio, goal, ratio <= goal ? "met" : "not met");
}

int measure(const Options& options) {
    raiseFileLimit();
    const sockaddr_in address = addressOf(options.server);
    std::vector<sockaddr_in> blockedAddresses;
    for (const auto& text : options.blockedServers) blockedAddresses.push_back(addressOf(text));
    const Bytes allowedHello = clientHelloFor("www.allowed.example", 200);
    const Bytes blockedHello = clientHelloFor("tracker.ads.example", 200);
    const auto queue = static_cast<std::uint16_t>(2000 + ::getpid() % 30000);
    const int perClient4 = std::max(1, options.flows / 2);
    const int perClient32 = std::max(1, options.flows / 8);

    if (!waitFor([&] { return oneFlow(address, allowedHello, Expect::reply); }, std::chrono::milliseconds(10000))) {
        std::fprintf(stderr, "the test server at %s does not answer\n", options.server.c_str());
        return 1;
    }

    const std::vector<Kind> kinds{Kind::none, Kind::floor, Kind::filter};
    std::map<Kind, Figures> figures;
    FloodFigures flood, unfilteredFlood;
    std::vector<std::string> readyLines;
    const auto started = Clock::now();
    for (int round = 0; round < options.rounds; ++round) {
        // Each round starts with another configuration, so that none of them
        // always comes first or last.
        for (std::size_t i = 0; i < kinds.size(); ++i) {
            const Kind kind = kinds[(i + static_cast<std::size_t>(round)) % kinds.size()];
            Figures& f = figures[kind];
            flushConnectionTracking();
            const Reader reader(kind, queue,
                                options.scratch / ("round" + std::to_string(round) + "-" + std::to_string(i)));
            if (round == 0 && kind != Kind::none)
                readyLines.push_back(std::string(labelOf(kind)) + ": " + reader.readyLine());
            runFlows(address, allowedHello, kWarmUpFlows);
            const auto cpuBefore = reader.cpu();
            const Pass latency = sequential(address, allowedHello, options.flows);
            const Pass four = parallel(address, allowedHello, 4, perClient4);
            const Pass many = parallel(address, allowedHello, 32, perClient32);
            const auto cpuAfter = reader.cpu();
            f.latency.add(latency.microsecondsPerFlow());
            f.fps4.add(four.flowsPerSecond());
            f.fps32.add(many.flowsPerSecond());
            if (cpuBefore && cpuAfter) f.cpu.add((*cpuAfter - *cpuBefore) / (latency.flows + four.flows + many.flows));
            f.failed += latency.failed + four.failed + many.failed;

            if (kind != Kind::floor) {
                // Without a filter the same flood is answered; its cost to the
                // allowed client there is what the traffic alone costs.
                FloodFigures& g = kind == Kind::filter ? flood : unfilteredFlood;
                const Pass alone = sequential(address, allowedHello, options.flows);
                const auto floodCpuBefore = reader.cpu();
                BlockedFlood flooding(blockedAddresses, blockedHello, kind == Kind::filter ? Expect::reset : Expect::reply);
                waitFor([&] { return flooding.blocked() + flooding.failed() >= 20; }, std::chrono::milliseconds(3000));
                const Pass flooded = sequential(address, allowedHello, options.flows);
                g.blockedRate.add(flooding.stop());
                const auto floodCpuAfter = reader.cpu();
                if (floodCpuBefore && floodCpuAfter)
                    g.cpu.add((*floodCpuAfter - *floodCpuBefore) /
                              static_cast<double>(flooding.blocked() + flooding.failed() +
                                                  static_cast<std::uint64_t>(flooded.flows)));
                g.floodFailed += flooding.failed();
                g.alone.add(alone.microsecondsPerFlow());
                g.flooded.add(flooded.microsecondsPerFlow());
                g.failed += alone.failed + flooded.failed;
            }
        }
        std::fprintf(stderr, "round %d of %d done\n", round + 1, options.rounds);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

    const Figures& none = figures[Kind::none];
    const Figures& floor = figures[Kind::floor];
    const Figures& filter = figures[Kind::filter];
    std::printf("\nkeldra-filter against no filter and the floor (an allow-all queue reader behind the same chain)\n");
    std::printf("%d rounds in %.0f s; per round and configuration: %d flows one after another, 4 clients x %d, "
                "32 clients x %d; medians over the rounds\n",
                options.rounds, seconds, options.flows, perClient4, perClient32);
    for (const auto& line : readyLines) std::printf("%s\n", line.c_str());
    std::printf("\n");
    std::printf("%-30s %12s %12s %14s\n", "", "no filter", "floor", "keldra-filter");
    printRow("latency per new flow (us)", none.latency, floor.latency, filter.latency, "%.1f");
    printRow("reader CPU per flow (us)", none.cpu, floor.cpu, filter.cpu, "%.1f");
    printRow("flows per second, 4 clients", none.fps4, floor.fps4, filter.fps4, "%.0f");
    printRow("flows per second, 32 clients", none.fps32, floor.fps32, filter.fps32, "%.0f");
    std::printf("\nkeldra-filter, one allowed client (%d flows):\n", options.flows);
    std::printf("  latency per flow alone              %8.1f us  (%s)\n", flood.alone.median(),
                range(flood.alone, "%.1f").c_str());
    std::printf("  latency per flow under blocked flood %7.1f us  (%s)\n", flood.flooded.median(),
                range(flood.flooded, "%.1f").c_str());
    std::printf("  blocked flows per second of the flood %6.0f      (%s)\n", flood.blockedRate.median(),
                range(flood.blockedRate, "%.0f").c_str());
    std::printf("  reader CPU per flow during the flood %7.1f us  (%s)\n", flood.cpu.median(),
                range(flood.cpu, "%.1f").c_str());
    std::printf("the same without a filter (the flood's flows answered):\n");
    std::printf("  latency per flow alone              %8.1f us  (%s)\n", unfilteredFlood.alone.median(),
                range(unfilteredFlood.alone, "%.1f").c_str());
    std::printf("  latency per flow under the flood    %8.1f us  (%s)\n", unfilteredFlood.flooded.median(),
                range(unfilteredFlood.flooded, "%.1f").c_str());
    std::printf("  flows per second of the flood       %8.0f      (%s)\n", unfilteredFlood.blockedRate.median(),
                range(unfilteredFlood.blockedRate, "%.0f").c_str());

    for (const Kind kind : kinds) {
        if (figures[kind].failed > 0)
            std::printf("warning: %d flows failed with %s\n", figures[kind].failed, labelOf(kind));
    }
    if (flood.failed + unfilteredFlood.failed > 0)
        std::printf("warning: %d allowed flows failed in the flood passes\n", flood.failed + unfilteredFlood.failed);
    if (unfilteredFlood.floodFailed > 0)
        std::printf("warning: %llu flows of the flood failed without a filter\n",
                    static_cast<unsigned long long>(unfilteredFlood.floodFailed));
    if (flood.floodFailed > 0)
        std::printf("warning: %llu blocked flows of the flood were not reset within a second\n",
                    static_cast<unsigned long long>(flood.floodFailed));

    std::printf("\nratios of the medians:\n");
    std::printf("  %-52s %5.2fx\n", "floor latency / no filter", floor.latency.median() / none.latency.median());
    std::printf("  %-52s %5.2fx\n", "no filter: allowed latency, under the flood / alone",
                unfilteredFlood.flooded.median() / unfilteredFlood.alone.median());
    std::printf("  %-52s %5.2fx\n", "keldra-filter flows per second / floor, 4 clients",
                filter.fps4.median() / floor.fps4.median());
    std::printf("  %-52s %5.2fx\n", "keldra-filter flows per second / floor, 32 clients",
                filter.fps32.median() / floor.fps32.median());
    std::printf("goals:\n");
    printGoal("latency per new flow, keldra-filter / floor", filter.latency.median() / floor.latency.median(), 1.05);
    printGoal("CPU per flow, keldra-filter / floor", filter.cpu.median() / floor.cpu.median(), 1.2);
    printGoal("allowed latency, under blocked flood / alone", flood.flooded.median() / flood.alone.median(), 1.2);
    return 0;
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: bench_content_filter serve\n"
                 "       bench_content_filter measure --server ADDRESS --blocked-server ADDRESS...\n"
                 "                            --scratch DIR [--rounds N] [--flows N]\n");
    std::exit(2);
}

int positive(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > 1000000) usage();
    return static_cast<int>(value);
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 2) usage();
    const std::string mode = argv[1];
    if (mode == "serve" && argc == 2) return serve();
    if (mode != "measure") usage();
    Options options;
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        if (i + 1 >= argc) usage();
        const char* value = argv[++i];
        if (word == "--server") {
            options.server = value;
        } else if (word == "--blocked-server") {
            options.blockedServers.push_back(value);
        } else if (word == "--scratch") {
            options.scratch = value;
        } else if (word == "--rounds") {
            options.rounds = positive(value);
        } else if (word == "--flows") {
            options.flows = positive(value);
        } else {
            usage();
        }
    }
    if (options.server.empty() || options.blockedServers.empty() || options.scratch.empty()) usage();
    if (::geteuid() != 0) {
        std::fprintf(stderr, "bench_content_filter needs root\n");
        return 1;
    }
    return measure(options);
}
