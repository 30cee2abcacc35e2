// This machine's host name.
#pragma once

#include <string>

namespace platform {
// Empty when the system does not say.
std::string HostName();
}
