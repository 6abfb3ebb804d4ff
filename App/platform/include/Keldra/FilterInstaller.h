#pragma once
// Bringing the filter extension into force: activating (installing or
// replacing) it, and saving and enabling its content-filter and DNS-proxy
// configurations; and answering whether each is enabled.
//
// Two seams of our own stand for the system's services:
//   ActivationBackend          submits an activation request and delivers its
//                              outcomes (possibly several, from any thread)
//   NetworkConfigurationStore  loads and saves the two configurations
// The real ones work through the privileged system helper; until it is
// installed, activation fails with a clear message and saving fails.

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace keldra {

// ---- The two network configurations.

struct ContentFilterConfiguration {
    struct Provider {
        bool filterSockets = true;
        bool filterPackets = false;
        bool operator==(const Provider&) const = default;
    };
    bool enabled = false;
    std::optional<Provider> provider;
    std::string localizedDescription;
    bool operator==(const ContentFilterConfiguration&) const = default;
};

struct DNSProxyConfiguration {
    struct Provider {
        std::string providerBundleIdentifier;
        std::string serverAddress;
        bool operator==(const Provider&) const = default;
    };
    bool enabled = false;
    std::optional<Provider> provider;
    std::string localizedDescription;
    bool operator==(const DNSProxyConfiguration&) const = default;
};

// Both configurations as the system keeps them. JSON form:
//   {"contentFilter":{"enabled":true,"localizedDescription":"Keldra",
//                     "provider":{"filterSockets":true,"filterPackets":false}},
//    "dnsProxy":{"enabled":true,"localizedDescription":"Keldra DNS",
//                "provider":{"providerBundleIdentifier":"io.tolvane.brivet.filter",
//                            "serverAddress":"Keldra"}}}
// A missing configuration or "provider" member is absent.
struct NetworkConfigurations {
    ContentFilterConfiguration contentFilter;
    DNSProxyConfiguration dnsProxy;
    bool operator==(const NetworkConfigurations&) const = default;

    std::string encode() const;
    // Throws std::runtime_error with a description when malformed.
    static NetworkConfigurations decode(std::string_view text);
};

// Failures of loading or saving a configuration; what() is the description
// the user sees after "Could not enable the filter: ".
class ConfigurationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class NetworkConfigurationStore {
public:
    virtual ~NetworkConfigurationStore() = default;
    // Throw ConfigurationError (or any std::exception) on failure.
    virtual ContentFilterConfiguration loadContentFilter() = 0;
    virtual void saveContentFilter(const ContentFilterConfiguration& configuration) = 0;
    virtual DNSProxyConfiguration loadDNSProxy() = 0;
    virtual void saveDNSProxy(const DNSProxyConfiguration& configuration) = 0;
};

// Writes the whole configuration document with the rights it needs.
class ConfigurationWriter {
public:
    virtual ~ConfigurationWriter() = default;
    // Throws ConfigurationError on failure.
    virtual void write(const NetworkConfigurations& configurations) = 0;
};

// The stand-in until a system helper exists: every write fails with
// "no system helper is installed to save network configurations".
class UnavailableConfigurationWriter final : public ConfigurationWriter {
public:
    void write(const NetworkConfigurations& configurations) override;
};

// Reads the root-owned document (default
// brivet::platform::networkConfigurationsFile()); saves a load-modify-write of
// it through the writer. A missing document reads as two empty, disabled
// configurations; an unreadable or malformed one is a ConfigurationError.
class FileNetworkConfigurationStore final : public NetworkConfigurationStore {
public:
    FileNetworkConfigurationStore(std::filesystem::path file, std::shared_ptr<ConfigurationWriter> writer);

    ContentFilterConfiguration loadContentFilter() override;
    void saveContentFilter(const ContentFilterConfiguration& configuration) override;
    DNSProxyConfiguration loadDNSProxy() override;
    void saveDNSProxy(const DNSProxyConfiguration& configuration) override;

    NetworkConfigurations loadAll() const;

private:
    const std::filesystem::path file_;
    const std::shared_ptr<ConfigurationWriter> writer_;
};

// ---- Activation.

class FilterInstaller {
public:
    struct Outcome {
        enum class Case { failed, installed, needsUserApproval, willCompleteAfterReboot };
        Case value = Case::installed;
        std::string message;  // failed only: the description of the failure

        static Outcome failed(std::string message) { return {Case::failed, std::move(message)}; }
        static Outcome installed() { return {Case::installed, {}}; }
        static Outcome needsUserApproval() { return {Case::needsUserApproval, {}}; }
        static Outcome willCompleteAfterReboot() { return {Case::willCompleteAfterReboot, {}}; }

        bool operator==(const Outcome&) const = default;
        // installed, needsUserApproval, willCompleteAfterReboot, and
        // failed("<message>").
        std::string printed() const;
    };

    // Submits activation requests. An implementation calls `deliver` once
    // per outcome the request produces (typically needsUserApproval, then
    // installed once the user approved), from any thread, possibly before
    // submit() returns. A request never delivering anything leaves
    // activate() waiting, as the system would.
    class ActivationBackend {
    public:
        virtual ~ActivationBackend() = default;
        virtual void submit(const std::string& extensionIdentifier, std::function<void(Outcome)> deliver) = 0;
    };

    // The stand-in until a system helper exists: every request answers
    // failed("no system helper is installed to activate the filter").
    class UnavailableActivationBackend final : public ActivationBackend {
    public:
        void submit(const std::string& extensionIdentifier, std::function<void(Outcome)> deliver) override;
    };

    FilterInstaller(std::string extensionIdentifier, std::shared_ptr<ActivationBackend> activation,
                    std::shared_ptr<NetworkConfigurationStore> configurations);
    FilterInstaller(const FilterInstaller&) = delete;
    FilterInstaller& operator=(const FilterInstaller&) = delete;

    const std::string& identifier() const noexcept { return identifier_; }

    // Submits one request and blocks until its first outcome. Never throws.
    // A call made while another waits submits nothing and returns the same
    // outcome as the waiting one; every waiting caller is answered exactly
    // once.
    Outcome activate();

    // Receives every outcome that arrives while nobody waits, on the thread
    // that delivered it. May be set at any time.
    void setOnLateCompletion(std::function<void(Outcome)> callback);

    // Loads the content-filter configuration; adds a provider (sockets on,
    // packets off) only when it has none; sets the description "Keldra" and
    // enables it; saves. Load and save failures are thrown unchanged.
    void enableFilter();
    // Loads the DNS-proxy configuration; always sets a new provider naming
    // identifier() with server address "Keldra"; sets the description
    // "Keldra DNS" and enables it; saves. Failures are thrown unchanged.
    void enableDNSProxy();
    // Enabled with a provider; false on a load failure.
    bool isFilterEnabled();
    // Enabled, with a provider naming identifier() exactly; false on a load
    // failure.
    bool isDNSProxyEnabled();

private:
    struct Request {
        std::optional<Outcome> answer;  // the first outcome, once delivered
    };
    // What outcome deliveries touch; shared with the backend's callbacks so
    // that a delivery after the installer is gone touches nothing freed.
    struct Waiting {
        std::mutex mutex;
        std::condition_variable answered;
        std::function<void(Outcome)> onLateCompletion;
        // The request whose first outcome callers wait for; none when
        // nobody waits.
        std::shared_ptr<Request> current;
    };
    static void deliver(const std::shared_ptr<Waiting>& waiting, const std::shared_ptr<Request>& request,
                        Outcome outcome);

    const std::string identifier_;
    const std::shared_ptr<ActivationBackend> activation_;
    const std::shared_ptr<NetworkConfigurationStore> configurations_;
    const std::shared_ptr<Waiting> waiting_ = std::make_shared<Waiting>();
};

// ---- Fakes for tests.

// Records every request; tests deliver outcomes by hand.
class FakeActivationBackend final : public FilterInstaller::ActivationBackend {
public:
    void submit(const std::string& extensionIdentifier,
                std::function<void(FilterInstaller::Outcome)> deliver) override;

    // Outcomes delivered at once, in order, by the next submit().
    void answerNextWith(std::vector<FilterInstaller::Outcome> outcomes);
    // Delivers to the latest request; false when none was made.
    bool deliver(const FilterInstaller::Outcome& outcome);
    std::vector<std::string> submitted() const;
    // Blocks until at least `count` requests were submitted.
    void waitForSubmissions(std::size_t count) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> submitted_;
    std::function<void(FilterInstaller::Outcome)> latest_;
    std::vector<FilterInstaller::Outcome> immediate_;
};

// Keeps the configurations in memory; failures can be injected.
class FakeNetworkConfigurationStore final : public NetworkConfigurationStore {
public:
    ContentFilterConfiguration loadContentFilter() override;
    void saveContentFilter(const ContentFilterConfiguration& configuration) override;
    DNSProxyConfiguration loadDNSProxy() override;
    void saveDNSProxy(const DNSProxyConfiguration& configuration) override;

    // Set through these or by saves.
    void set(NetworkConfigurations configurations);
    NetworkConfigurations current() const;
    // When set, the next loads / saves of that configuration throw
    // ConfigurationError with this text (until cleared with none).
    void failContentFilterLoad(std::optional<std::string> message);
    void failContentFilterSave(std::optional<std::string> message);
    void failDNSProxyLoad(std::optional<std::string> message);
    void failDNSProxySave(std::optional<std::string> message);

private:
    mutable std::mutex mutex_;
    NetworkConfigurations configurations_;
    std::optional<std::string> filterLoadFailure_, filterSaveFailure_, dnsLoadFailure_, dnsSaveFailure_;
};

}  // namespace keldra
