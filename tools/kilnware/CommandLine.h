#pragma once

// The command line of kilnware: what the person asked for, read and checked before anything runs.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "ContentPolicy.h"

namespace kilnware::cli {

// Exit statuses of the command, the same for every command (the footer of --help tells them).
enum ExitStatus : int {
    kSucceeded = 0,
    kFailed = 1,  // a burn, erase or eject failed; ls or check could not read; check found damage
    kUsage = 2,
    kNothingBurned = 3,  // cancelled, or refused before it began: nothing was burned or done
};

// What every command takes.
struct Options {
    std::optional<std::string> recorder;
    bool yes = false;
    std::string imageDirectory = ".";
    std::string imageMedium = "cd-r";
    bool imageOptionsGiven = false;  // --image-dir or --image-medium, which only the image
                                     // recorder heeds
    bool json = false;
    bool verbose = false;
    std::size_t blockBytes = 2048;  // 2352 for an audio CD
};

struct AudioOptions {
    std::optional<std::string> title;
    std::optional<std::string> performer;
    std::vector<std::string> trackTitles;
    std::vector<std::string> trackPerformers;
    std::vector<std::uint32_t> pregaps;
    bool cdText = false;
};

// What the person asked for a medium that already holds something: --overwrite, --append,
// --replace, --close, and whether the disc takes sessions at all.
using hosts::MediaRequest;

enum class Command {
    Devices,
    Data,
    Mp3,
    Audio,
    Video,
    VideoTs,
    Image,
    Info,
    Ls,
    Check,
    Erase,
    Eject
};

// One run of the command as the person asked for it.
struct Request {
    Command command = Command::Devices;
    Options options;
    std::vector<std::string> paths;
    std::optional<std::string> name;   // data: the disc's name
    std::optional<std::string> title;  // mp3, video, video-ts: the disc's title
    std::string fileSystem = "joliet";
    bool verify = false;
    bool watch = false;
    bool simulate = false;
    bool dryRun = false;
    std::optional<double> speed;  // a multiple of the medium's 1x
    AudioOptions audio;
    bool fullErase = false;
    MediaRequest media;
    // ls: the folder to list ("/" by default); ls and check: the disc image to read, where no
    // recorder is named.
    std::string discPath = "/";
    std::optional<std::string> discImage;
    // What the command line implied, for the person ("--title is written as CD-Text").
    std::vector<std::string> notes;

    // Whether the command burns (and so takes --speed, --simulate and --dry-run).
    bool burns() const;
};

struct Parsed {
    std::optional<Request> request;  // set when there is something to run
    int status = kSucceeded;         // otherwise: 0 after help or the version, 2 after a mistake
};

// Reads `arguments` (without the program's name). Help, the version, the manual page and the
// completions go to `out`; a mistake is told in one line on `err`, with exit status 2.
Parsed parseCommandLine(const std::vector<std::string>& arguments, std::ostream& out,
                        std::ostream& err);

// The closest of `candidates` to `typed`, when one is close enough to be what was meant.
std::optional<std::string> closestName(const std::string& typed,
                                       const std::vector<std::string>& candidates);

}  // namespace kilnware::cli
