// The name this computer shows to people: the advertised service name and
// the name the server reports to the headset.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace marlinax::platform {

// The pretty host name (PRETTY_HOSTNAME in /etc/machine-info, as set by
// `hostnamectl set-hostname --pretty`), else the host name.
std::string computerName();

// PRETTY_HOSTNAME's value from the contents of a machine-info file (an
// environment-style file with shell quoting); nullopt when absent or empty.
std::optional<std::string> prettyHostName(std::string_view machineInfo);

}  // namespace marlinax::platform
