// keldra-dev-service: runs the local device service as a process for shell
// tests and the demo. Prints its base URL on the first line, then one line per
// request; stops on SIGINT or SIGTERM.

#include <csignal>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "keldra/DevService.h"

namespace {

const char* const kUsage =
    "usage: keldra-dev-service [--listen HOST:PORT] [--env-out FILE] [--accept-code CODE ...] "
    "[--policy FILE.json] [--blocklist CATEGORY=FILE.json ...] [--keys-dir DIR] [--name NAME]";

struct Arguments {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string envOut;
    std::vector<std::string> codes;
    std::string policyFile;
    std::vector<std::pair<std::string, std::string>> blocklists;
    std::string keysDir;
    std::string name;
};

[[noreturn]] void usageError(const std::string& message) {
    std::cerr << "keldra-dev-service: " << message << "\n" << kUsage << std::endl;
    std::exit(2);
}

Arguments parse(int argc, char** argv) {
    Arguments args;
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        if (flag == "-h" || flag == "--help") {
            std::cout << kUsage << std::endl;
            std::exit(0);
        }
        if (i + 1 >= argc) usageError("missing value for " + flag);
        std::string value = argv[++i];
        if (flag == "--listen") {
            auto colon = value.rfind(':');
            if (colon == std::string::npos || colon == 0) usageError("--listen wants HOST:PORT");
            args.host = value.substr(0, colon);
            try {
                std::size_t used = 0;
                args.port = std::stoi(value.substr(colon + 1), &used);
                if (used != value.size() - colon - 1 || args.port < 0 || args.port > 65535)
                    throw std::out_of_range("port");
            } catch (const std::exception&) {
                usageError("--listen wants a port from 0 to 65535");
            }
        } else if (flag == "--env-out") {
            args.envOut = value;
        } else if (flag == "--accept-code") {
            args.codes.push_back(value);
        } else if (flag == "--policy") {
            args.policyFile = value;
        } else if (flag == "--blocklist") {
            auto eq = value.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == value.size())
                usageError("--blocklist wants CATEGORY=FILE.json");
            args.blocklists.emplace_back(value.substr(0, eq), value.substr(eq + 1));
        } else if (flag == "--keys-dir") {
            args.keysDir = value;
        } else if (flag == "--name") {
            args.name = value;
        } else {
            usageError("unknown argument " + flag);
        }
    }
    return args;
}

nlohmann::json readJSONFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::stringstream buffer;
    buffer << in.rdbuf();
    auto doc = nlohmann::json::parse(buffer.str(), nullptr, false);
    if (doc.is_discarded()) throw std::runtime_error(path + " is not JSON");
    return doc;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args = parse(argc, argv);

    // Block the stop signals in every thread; the main thread waits for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    static std::mutex outputMutex;
    brivet::dev::DevServiceOptions options;
    options.host = args.host;
    options.port = args.port;
    options.acceptCodes = args.codes;
    if (!args.name.empty()) options.name = args.name;
    if (!args.keysDir.empty()) options.keysDir = args.keysDir;
    options.controlEndpoints = true;
    options.log = [](const std::string& line) {
        std::lock_guard lock(outputMutex);
        std::cout << line << std::endl;
    };

    try {
        brivet::dev::DevService service(options);
        if (!args.policyFile.empty()) {
            auto policy = readJSONFile(args.policyFile);
            if (!policy.is_object()) throw std::runtime_error(args.policyFile + " is not a JSON object");
            auto seq = policy.find("policy_seq");
            if (seq != policy.end() && seq->is_number_integer())
                service.setPolicyWithSequence(policy, seq->get<std::int64_t>());
            else
                service.setPolicy(policy);
        }
        for (const auto& [category, file] : args.blocklists)
            service.setBlocklistDocument(category, readJSONFile(file));
        if (!args.envOut.empty()) service.writeEnvironmentFile(args.envOut);
        {
            std::lock_guard lock(outputMutex);
            std::cout << service.baseURL() << std::endl;
        }
        int signal = 0;
        sigwait(&stopSignals, &signal);
        {
            std::lock_guard lock(outputMutex);
            std::cout << "stopping on signal " << signal << std::endl;
        }
        service.stop();
    } catch (const std::exception& e) {
        std::lock_guard lock(outputMutex);
        std::cerr << "keldra-dev-service: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
