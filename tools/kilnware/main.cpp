// kilnware: burns data discs, MP3 CDs, audio CDs and video DVDs, erases and ejects, and shows the
// recorders, through the Kilnware library. Without a recorder it burns to disc images.
#include <iostream>

#include "CommandLine.h"
#include "Commands.h"

int main(int argc, char** argv) {
    using namespace kilnware::cli;
    const Parsed parsed =
        parseCommandLine(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
    return parsed.request ? runCommand(*parsed.request) : parsed.status;
}
