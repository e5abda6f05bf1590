#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>

namespace kilnware::cli {

// Where the command speaks: plain lines for a person, or one JSON object a line for a program.
class Output {
public:
    // The version of the JSON events (docs/json-events.md), in every event as "schema".
    static constexpr int kSchema = 2;

    Output(bool json, bool progressOnTerminal);

    bool json() const { return json_; }
    // Whether progress is drawn as a bar that redraws itself.
    bool progressBar() const { return progressBar_; }

    // A line for the person, on standard output; nothing in JSON mode.
    void say(const std::string& line) const;
    // A problem and what to do about it: standard error, or an "error" event.
    void problem(const std::string& line) const;
    // An event for programs; in plain mode nothing.
    void event(nlohmann::json event) const;
    // The columns of the terminal the bar is drawn on (80 where it does not say).
    std::size_t terminalWidth() const;
    // Redraws the progress bar in place on standard error.
    void bar(const std::string& line) const;
    void endBar() const;

private:
    bool json_;
    bool progressBar_;
    mutable bool barShown_ = false;
};

}  // namespace kilnware::cli
