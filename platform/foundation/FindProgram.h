#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kilnware::platform {

// Where the program `name` is run from: the first executable regular file of that name in the
// absolute folders of $PATH, else in /usr/bin or /bin; none when there is none. Every place that
// runs a program by its name finds it here. $PATH is read with secure_getenv, so that whoever
// starts a setuid host cannot choose what it runs, and relative entries are skipped, so that the
// folder a program happens to run in never supplies one.
std::optional<std::string> findProgram(std::string_view name);

}  // namespace kilnware::platform
