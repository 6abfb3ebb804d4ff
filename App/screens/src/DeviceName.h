#pragma once
// The default device name of the enrolment form and of "Repair": the
// machine's pretty name (PRETTY_HOSTNAME in /etc/machine-info), else its
// host name, else "Mac".

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace keldra::screens {

// The value of PRETTY_HOSTNAME in a machine-info text (shell-style
// assignments, values optionally quoted); none when absent or empty.
std::optional<std::string> prettyHostnameIn(std::string_view machineInfo);

// The machine's pretty name from the machine-info file, else its host name;
// none when the system gives neither.
std::optional<std::string> machineName(const std::filesystem::path& machineInfo = "/etc/machine-info");

// The form's default name and the name "Repair" sends: machineName(), or
// "Mac" when there is none.
std::string deviceName(const std::filesystem::path& machineInfo = "/etc/machine-info");

}  // namespace keldra::screens
