#include "Output.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace kilnware::cli {

Output::Output(bool json, bool progressOnTerminal)
    : json_(json), progressBar_(!json && progressOnTerminal) {}

void Output::say(const std::string& line) const {
    if (!json_) {
        endBar();
        std::cout << line << '\n' << std::flush;
    }
}

void Output::problem(const std::string& line) const {
    if (json_) {
        event({{"event", "error"}, {"message", line}});
    } else {
        endBar();
        std::cerr << "kilnware: " << line << '\n' << std::flush;
    }
}

void Output::event(nlohmann::json event) const {
    if (json_) {
        event["schema"] = kSchema;
        // Invalid UTF-8 in a file name must not end the stream: it is replaced, not thrown.
        std::cout << event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n'
                  << std::flush;
    }
}

std::size_t Output::terminalWidth() const {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

void Output::bar(const std::string& line) const {
    std::cerr << "\r\033[K" << line << std::flush;
    barShown_ = true;
}

void Output::endBar() const {
    if (barShown_) {
        std::cerr << '\n' << std::flush;
        barShown_ = false;
    }
}

}  // namespace kilnware::cli
