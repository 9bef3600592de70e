#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace orvel {

// The name this machine goes by, as the system reports it.
namespace HostName {

// The pretty host name (PRETTY_HOSTNAME in machine-info) when one is set,
// else the kernel's host name; nothing when neither is there.
std::optional<std::string> localized(const std::filesystem::path& machineInfo = "/etc/machine-info");

// PRETTY_HOSTNAME from the text of a machine-info file (shell-style
// assignments, values bare or in single or double quotes); nothing when unset or empty.
std::optional<std::string> prettyHostName(std::string_view machineInfoText);

}  // namespace HostName
}  // namespace orvel
