// Documents the app reads from files others can write: the resolver-level
// service's status document, the environment file, the saved network
// configurations and Info dictionaries. None may crash or hang; each either
// decodes or fails with its typed error.
#include <cstddef>
#include <cstdint>
#include <string>

#include "BrivetClient/JSONCoding.h"
#include "Keldra/BetaProxy.h"
#include "Keldra/ClientEnvironment.h"
#include "Keldra/FilterInstaller.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    try {
        keldra::BetaStatus::decode(text);
    } catch (const brivet::DecodingError&) {
    }
    try {
        keldra::ClientEnvironment::decode(text);
    } catch (const brivet::DecodingError&) {
    } catch (const keldra::EnvironmentError&) {
    }
    try {
        auto configurations = keldra::NetworkConfigurations::decode(text);
        if (keldra::NetworkConfigurations::decode(configurations.encode()) != configurations) __builtin_trap();
    } catch (const std::runtime_error&) {
    }
    return 0;
}
