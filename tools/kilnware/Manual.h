#pragma once

// The manual page and the shell completions of the kilnware command, made from the command's own
// CLI11 description so that they always say what --help says.

#include <CLI/CLI.hpp>

#include <string>

namespace kilnware::cli {

// kilnware(1) in roff (man(7) macros); the footer's "Exit status: N meaning, ..." becomes its
// EXIT STATUS section.
std::string manualPage(const CLI::App& app, const std::string& version);

// A completion script for "bash" or "zsh"; empty for any other shell.
std::string completionScript(const CLI::App& app, const std::string& shell);

}  // namespace kilnware::cli
