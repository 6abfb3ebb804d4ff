#include "keldra-filter/DNSProvider.h"

#include "BrivetClient/AtomicFile.h"
#include "keldra-proxy/ResolverNetworkSetup.h"

#include <nlohmann/json.hpp>

#include <stdexcept>

namespace keldra::filter {
namespace {

// The record of what was changed: {"resolved":true} or
// {"resolved":false,"servers":[...]}.
struct Record {
    bool resolved = false;
    std::vector<std::string> servers;
};

std::optional<Record> loadRecord(const std::filesystem::path& file) {
    std::string text;
    try {
        if (!brivet::readWholeFile(file, text)) return std::nullopt;
        const auto json = nlohmann::json::parse(text);
        Record record;
        record.resolved = json.at("resolved").get<bool>();
        if (!record.resolved) record.servers = json.at("servers").get<std::vector<std::string>>();
        return record;
    } catch (const std::exception&) {
        return Record{};  // unreadable: still the resolver file to repair
    }
}

void saveRecord(const std::filesystem::path& file, const Record& record) {
    nlohmann::json json{{"resolved", record.resolved}};
    if (!record.resolved) json["servers"] = record.servers;
    brivet::AtomicWriteOptions options;
    brivet::atomicWrite(file, json.dump(), options);
}

std::string readText(const std::filesystem::path& path) {
    std::string text;
    try {
        if (!brivet::readWholeFile(path, text)) text.clear();
    } catch (const std::exception&) {
        text.clear();
    }
    return text;
}

std::optional<std::string> setResolverFileServers(const DNSProviderSettings& settings,
                                                  const std::vector<std::string>& servers) {
    std::vector<std::string> arguments{"-setdnsservers", brivet::kResolverServiceName};
    if (servers.empty()) {
        arguments.push_back("Empty");
    } else {
        arguments.insert(arguments.end(), servers.begin(), servers.end());
    }
    const auto result = brivet::runResolverNetworkSetup(arguments, settings.resolverFile);
    if (result.status == 0) return std::nullopt;
    return result.standardError;
}

bool putBack(const Record& record, const DNSProviderSettings& settings, const DNSProvider::Log& log) {
    if (record.resolved) {
        if (auto error = brivet::removeResolvedDropIn(settings.resolved)) {
            log("could not remove the resolved drop-in: " + *error);
            return false;
        }
        log("systemd-resolved uses its own name servers again");
        return true;
    }
    if (auto error = setResolverFileServers(settings, record.servers)) {
        log("could not restore " + settings.resolverFile.string() + ": " + *error);
        return false;
    }
    log("restored the name servers of " + settings.resolverFile.string());
    return true;
}

}  // namespace

class DNSProvider::QueryFilter final : public brivet::DNSFilter {
public:
    explicit QueryFilter(FilterState& state) : state_(state) {}
    brivet::HostDecision decide(const brivet::DNSQuestion& question) override {
        return state_.decideQuery(question.name, question.qclass);
    }

private:
    FilterState& state_;
};

DNSProvider::DNSProvider(FilterState& state, DNSProviderSettings settings, std::filesystem::path stateFolder, Log log)
    : settings_(std::move(settings)), stateFolder_(std::move(stateFolder)),
      log_(log ? std::move(log) : Log([](const std::string&) {})), filter_(std::make_unique<QueryFilter>(state)) {}

DNSProvider::~DNSProvider() { stop(); }

void DNSProvider::restoreLeftover(const std::filesystem::path& stateFolder, const DNSProviderSettings& settings,
                                  const Log& log) {
    const auto file = stateFolder / recordFileName;
    const auto record = loadRecord(file);
    if (!record) return;
    log("putting back the DNS settings an earlier run changed");
    if (putBack(*record, settings, log)) {
        std::error_code ec;
        std::filesystem::remove(file, ec);
    }
}

void DNSProvider::start() {
    if (proxy_) return;
    restoreLeftover(stateFolder_, settings_, log_);

    Record record;
    record.resolved = !settings_.resolved.runtime.empty() &&
                      brivet::resolvedManagesDNS(settings_.resolverFile, settings_.resolved);
    std::vector<std::string> upstreams;
    if (record.resolved) {
        upstreams = brivet::resolvedUpstreams(settings_.resolved, settings_.listenHost);
    } else {
        record.servers = brivet::resolverFileServers(readText(settings_.resolverFile));
        upstreams = record.servers;
    }
    upstreams_ = brivet::upstreamsWithoutSelf(upstreams, settings_.listenHost, settings_.listenPort,
                                              settings_.upstreamPort, log_);

    auto proxy = std::make_unique<brivet::DNSProxy>(*filter_, upstreams_, settings_.upstreamPort,
                                                    brivet::DNSProxy::kUpstreamTimeout, log_,
                                                    [this](const std::string& error) {
                                                        log_("udp listener failed: " + error);
                                                    });
    try {
        proxy->start(settings_.listenHost, settings_.listenPort);
    } catch (const std::exception& error) {
        throw std::runtime_error("cannot listen on " + settings_.listenHost + ":" +
                                 std::to_string(settings_.listenPort) + ": " + error.what());
    }

    try {
        saveRecord(stateFolder_ / recordFileName, record);
    } catch (const std::exception& error) {
        throw std::runtime_error(std::string("cannot record the DNS settings: ") + error.what());
    }
    const auto error = record.resolved ? brivet::pointResolvedAt({settings_.listenHost}, settings_.resolved)
                                       : setResolverFileServers(settings_, {settings_.listenHost});
    if (error) {
        restoreLeftover(stateFolder_, settings_, log_);
        throw std::runtime_error("cannot point the DNS settings here: " + *error);
    }
    proxy_ = std::move(proxy);
    log_(std::string("answering DNS on ") + settings_.listenHost + ":" + std::to_string(settings_.listenPort) +
         (record.resolved ? " through systemd-resolved" : ""));
}

void DNSProvider::stop() {
    if (!proxy_) return;
    restoreLeftover(stateFolder_, settings_, log_);
    proxy_.reset();
    log_("stopped answering DNS");
}

}  // namespace keldra::filter
