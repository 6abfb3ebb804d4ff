#include "Keldra/FilterInstaller.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/JSONCoding.h"

namespace keldra {

namespace {

using brivet::Json;
namespace coding = brivet::JSONCoding;

constexpr std::size_t kMaxConfigurationBytes = 1024 * 1024;

Json encodeFilter(const ContentFilterConfiguration& c) {
    Json out = Json::object();
    out["enabled"] = c.enabled;
    out["localizedDescription"] = c.localizedDescription;
    if (c.provider) {
        out["provider"] = Json{{"filterSockets", c.provider->filterSockets}, {"filterPackets", c.provider->filterPackets}};
    }
    return out;
}

Json encodeDNS(const DNSProxyConfiguration& c) {
    Json out = Json::object();
    out["enabled"] = c.enabled;
    out["localizedDescription"] = c.localizedDescription;
    if (c.provider) {
        out["provider"] = Json{{"providerBundleIdentifier", c.provider->providerBundleIdentifier},
                               {"serverAddress", c.provider->serverAddress}};
    }
    return out;
}

const Json* presentObject(const Json& object, std::string_view key) {
    const Json* member = coding::findMember(object, key);
    if (member == nullptr || member->is_null()) return nullptr;
    coding::requireObject(*member, key);
    return member;
}

}  // namespace

// ---- NetworkConfigurations

std::string NetworkConfigurations::encode() const {
    Json out = Json::object();
    out["contentFilter"] = encodeFilter(contentFilter);
    out["dnsProxy"] = encodeDNS(dnsProxy);
    return coding::plainEncode(out);
}

NetworkConfigurations NetworkConfigurations::decode(std::string_view text) {
    const Json tree = coding::parse(text);
    coding::requireObject(tree, "network configurations");
    NetworkConfigurations out;
    if (const Json* filter = presentObject(tree, "contentFilter")) {
        out.contentFilter.enabled = coding::requireBool(*filter, "enabled");
        out.contentFilter.localizedDescription = coding::optionalString(*filter, "localizedDescription").value_or("");
        if (const Json* provider = presentObject(*filter, "provider")) {
            out.contentFilter.provider = ContentFilterConfiguration::Provider{
                coding::requireBool(*provider, "filterSockets"), coding::requireBool(*provider, "filterPackets")};
        }
    }
    if (const Json* dns = presentObject(tree, "dnsProxy")) {
        out.dnsProxy.enabled = coding::requireBool(*dns, "enabled");
        out.dnsProxy.localizedDescription = coding::optionalString(*dns, "localizedDescription").value_or("");
        if (const Json* provider = presentObject(*dns, "provider")) {
            out.dnsProxy.provider = DNSProxyConfiguration::Provider{
                coding::requireString(*provider, "providerBundleIdentifier"),
                coding::requireString(*provider, "serverAddress")};
        }
    }
    return out;
}

// ---- The file store

void UnavailableConfigurationWriter::write(const NetworkConfigurations&) {
    throw ConfigurationError("no system helper is installed to save network configurations");
}

FileNetworkConfigurationStore::FileNetworkConfigurationStore(std::filesystem::path file,
                                                             std::shared_ptr<ConfigurationWriter> writer)
    : file_(std::move(file)), writer_(std::move(writer)) {}

NetworkConfigurations FileNetworkConfigurationStore::loadAll() const {
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0) {
        if (errno == ENOENT) return {};  // nothing saved yet
        throw ConfigurationError("cannot read " + file_.string() + ": " + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > kMaxConfigurationBytes) {
        throw ConfigurationError("cannot read " + file_.string() + ": not a configuration file");
    }
    std::string bytes;
    try {
        if (!brivet::readWholeFile(file_, bytes)) return {};
        return NetworkConfigurations::decode(bytes);
    } catch (const ConfigurationError&) {
        throw;
    } catch (const std::exception& error) {
        throw ConfigurationError("cannot read " + file_.string() + ": " + error.what());
    }
}

ContentFilterConfiguration FileNetworkConfigurationStore::loadContentFilter() { return loadAll().contentFilter; }

DNSProxyConfiguration FileNetworkConfigurationStore::loadDNSProxy() { return loadAll().dnsProxy; }

void FileNetworkConfigurationStore::saveContentFilter(const ContentFilterConfiguration& configuration) {
    NetworkConfigurations all = loadAll();
    all.contentFilter = configuration;
    writer_->write(all);
}

void FileNetworkConfigurationStore::saveDNSProxy(const DNSProxyConfiguration& configuration) {
    NetworkConfigurations all = loadAll();
    all.dnsProxy = configuration;
    writer_->write(all);
}

// ---- Outcomes and activation

std::string FilterInstaller::Outcome::printed() const {
    switch (value) {
        case Case::failed:
            return "failed(\"" + message + "\")";
        case Case::installed:
            return "installed";
        case Case::needsUserApproval:
            return "needsUserApproval";
        case Case::willCompleteAfterReboot:
            return "willCompleteAfterReboot";
    }
    return "installed";
}

void FilterInstaller::UnavailableActivationBackend::submit(const std::string&, std::function<void(Outcome)> deliver) {
    deliver(Outcome::failed("no system helper is installed to activate the filter"));
}

FilterInstaller::FilterInstaller(std::string extensionIdentifier, std::shared_ptr<ActivationBackend> activation,
                                 std::shared_ptr<NetworkConfigurationStore> configurations)
    : identifier_(std::move(extensionIdentifier)),
      activation_(std::move(activation)),
      configurations_(std::move(configurations)) {}

void FilterInstaller::setOnLateCompletion(std::function<void(Outcome)> callback) {
    std::lock_guard lock(waiting_->mutex);
    waiting_->onLateCompletion = std::move(callback);
}

FilterInstaller::Outcome FilterInstaller::activate() {
    std::unique_lock lock(waiting_->mutex);
    std::shared_ptr<Request> request = waiting_->current;
    if (!request) {
        // The waiting caller is recorded before the request goes out, so
        // the first outcome always finds it.
        request = std::make_shared<Request>();
        waiting_->current = request;
        lock.unlock();
        activation_->submit(identifier_, [waiting = waiting_, request](Outcome outcome) {
            deliver(waiting, request, std::move(outcome));
        });
        lock.lock();
    }
    // Every caller that joined while the request waits gets its first answer.
    waiting_->answered.wait(lock, [&] { return request->answer.has_value(); });
    return *request->answer;
}

void FilterInstaller::deliver(const std::shared_ptr<Waiting>& waiting, const std::shared_ptr<Request>& request,
                              Outcome outcome) {
    std::unique_lock lock(waiting->mutex);
    if (waiting->current == request && !request->answer) {
        request->answer = std::move(outcome);
        waiting->current.reset();
        waiting->answered.notify_all();
        return;
    }
    auto late = waiting->onLateCompletion;
    lock.unlock();
    if (late) late(std::move(outcome));
}

// ---- Configurations

void FilterInstaller::enableFilter() {
    ContentFilterConfiguration configuration = configurations_->loadContentFilter();
    if (!configuration.provider) configuration.provider = ContentFilterConfiguration::Provider{true, false};
    configuration.localizedDescription = "Keldra";
    configuration.enabled = true;
    configurations_->saveContentFilter(configuration);
}

void FilterInstaller::enableDNSProxy() {
    DNSProxyConfiguration configuration = configurations_->loadDNSProxy();
    configuration.provider = DNSProxyConfiguration::Provider{identifier_, "Keldra"};
    configuration.localizedDescription = "Keldra DNS";
    configuration.enabled = true;
    configurations_->saveDNSProxy(configuration);
}

bool FilterInstaller::isFilterEnabled() {
    try {
        ContentFilterConfiguration configuration = configurations_->loadContentFilter();
        return configuration.enabled && configuration.provider.has_value();
    } catch (const std::exception&) {
        return false;
    }
}

bool FilterInstaller::isDNSProxyEnabled() {
    try {
        DNSProxyConfiguration configuration = configurations_->loadDNSProxy();
        return configuration.enabled && configuration.provider &&
               configuration.provider->providerBundleIdentifier == identifier_;
    } catch (const std::exception&) {
        return false;
    }
}

// ---- Fakes

void FakeActivationBackend::submit(const std::string& extensionIdentifier,
                                   std::function<void(FilterInstaller::Outcome)> deliver) {
    std::vector<FilterInstaller::Outcome> now;
    {
        std::lock_guard lock(mutex_);
        submitted_.push_back(extensionIdentifier);
        latest_ = deliver;
        now.swap(immediate_);
        changed_.notify_all();
    }
    for (auto& outcome : now) deliver(outcome);
}

void FakeActivationBackend::answerNextWith(std::vector<FilterInstaller::Outcome> outcomes) {
    std::lock_guard lock(mutex_);
    immediate_ = std::move(outcomes);
}

bool FakeActivationBackend::deliver(const FilterInstaller::Outcome& outcome) {
    std::function<void(FilterInstaller::Outcome)> target;
    {
        std::lock_guard lock(mutex_);
        target = latest_;
    }
    if (!target) return false;
    target(outcome);
    return true;
}

std::vector<std::string> FakeActivationBackend::submitted() const {
    std::lock_guard lock(mutex_);
    return submitted_;
}

void FakeActivationBackend::waitForSubmissions(std::size_t count) const {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return submitted_.size() >= count; });
}

namespace {

void failIf(const std::optional<std::string>& failure) {
    if (failure) throw ConfigurationError(*failure);
}

}  // namespace

ContentFilterConfiguration FakeNetworkConfigurationStore::loadContentFilter() {
    std::lock_guard lock(mutex_);
    failIf(filterLoadFailure_);
    return configurations_.contentFilter;
}

void FakeNetworkConfigurationStore::saveContentFilter(const ContentFilterConfiguration& configuration) {
    std::lock_guard lock(mutex_);
    failIf(filterSaveFailure_);
    configurations_.contentFilter = configuration;
}

DNSProxyConfiguration FakeNetworkConfigurationStore::loadDNSProxy() {
    std::lock_guard lock(mutex_);
    failIf(dnsLoadFailure_);
    return configurations_.dnsProxy;
}

void FakeNetworkConfigurationStore::saveDNSProxy(const DNSProxyConfiguration& configuration) {
    std::lock_guard lock(mutex_);
    failIf(dnsSaveFailure_);
    configurations_.dnsProxy = configuration;
}

void FakeNetworkConfigurationStore::set(NetworkConfigurations configurations) {
    std::lock_guard lock(mutex_);
    configurations_ = std::move(configurations);
}

NetworkConfigurations FakeNetworkConfigurationStore::current() const {
    std::lock_guard lock(mutex_);
    return configurations_;
}

void FakeNetworkConfigurationStore::failContentFilterLoad(std::optional<std::string> message) {
    std::lock_guard lock(mutex_);
    filterLoadFailure_ = std::move(message);
}

void FakeNetworkConfigurationStore::failContentFilterSave(std::optional<std::string> message) {
    std::lock_guard lock(mutex_);
    filterSaveFailure_ = std::move(message);
}

void FakeNetworkConfigurationStore::failDNSProxyLoad(std::optional<std::string> message) {
    std::lock_guard lock(mutex_);
    dnsLoadFailure_ = std::move(message);
}

void FakeNetworkConfigurationStore::failDNSProxySave(std::optional<std::string> message) {
    std::lock_guard lock(mutex_);
    dnsSaveFailure_ = std::move(message);
}

}  // namespace keldra
