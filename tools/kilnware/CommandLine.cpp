#include "CommandLine.h"

#include <sys/stat.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <ostream>
#include <regex>

#include <kilnware/VXBurn.h>
#include <kilnware/platform/engines/virtual/ImageRecorder.h>

#include "Manual.h"

namespace kilnware::cli {
namespace {

namespace fs = std::filesystem;

// The fastest speed anyone could mean: no medium is written at even a tenth of it.
constexpr double kFastestSpeed = 1000;
// A CD holds at most 99 minutes: no pre-gap is longer.
constexpr std::uint32_t kLongestPreGap = 99 * 60 * 75;

struct CommandEntry {
    const char* name;
    Command command;
    const char* description;
    const char* missing;  // what to name when nothing is; null when nothing is needed
};

const CommandEntry kCommands[] = {
    {"devices", Command::Devices, "Show every recorder and its medium", nullptr},
    {"data", Command::Data, "Burn files and folders to a data disc",
     "name the files and folders to burn, as in: kilnware data ~/Photos"},
    {"mp3", Command::Mp3, "Burn MP3 files and folders to an MP3 CD",
     "name the MP3 files or folders to burn, as in: kilnware mp3 ~/Music/Album"},
    {"audio", Command::Audio, "Burn audio files to an audio CD, one track each",
     "name the audio files to burn, one track each, as in: kilnware audio a.flac b.mp3"},
    {"video", Command::Video, "Author MPEG-2 files into a video DVD and burn it",
     "name the MPEG-2 files of the DVD, as in: kilnware video holiday.mpg"},
    {"video-ts", Command::VideoTs, "Burn a prepared DVD-video folder",
     "name the folder that holds VIDEO_TS, as in: kilnware video-ts ~/dvd"},
    {"image", Command::Image,
     "Burn a disc image as it stands: ISO 9660 or UDF, or a BIN/CUE (audio or data)",
     "name the disc image to burn, as in: kilnware image disc.iso"},
    {"info", Command::Info, "Show the medium in the recorder: its sessions, tracks and space",
     nullptr},
    {"ls", Command::Ls,
     "List the files of the last session of a disc (--recorder R) or of a disc image", nullptr},
    {"check", Command::Check,
     "Read a disc (--recorder R) or disc image back against the checksums written with it",
     nullptr},
    {"erase", Command::Erase, "Erase a rewritable disc", nullptr},
    {"eject", Command::Eject, "Eject the medium", nullptr},
};

const CommandEntry* commandNamed(const std::string& name) {
    for (const CommandEntry& entry : kCommands) {
        if (name == entry.name) {
            return &entry;
        }
    }
    return nullptr;
}

// A validator that lets everything through but marks what the argument names, so that the
// manual page and the completions offer files or folders; the command checks them itself, to say
// what is wrong in its own words.
CLI::Validator names(const char* kind) {
    return CLI::Validator([](std::string&) { return std::string(); }, kind);
}

CLI::Validator speedValue() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            char* end = nullptr;
            const double speed = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !std::isfinite(speed) || speed <= 0 ||
                speed > kFastestSpeed) {
                return text +
                       " is no speed: give a number above 0, such as 4 or 16, in multiples of "
                       "the medium's 1x (kilnware info lists what the medium takes)";
            }
            return {};
        },
        "");
}

CLI::Validator preGapValue() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            char* end = nullptr;
            const unsigned long long frames = std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || text.front() == '-' || frames > kLongestPreGap) {
                return text + " is no pre-gap: give frames, 75 a second, from 0 to " +
                       std::to_string(kLongestPreGap) + " (99 minutes)";
            }
            return {};
        },
        "");
}

CLI::Validator nonEmpty() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            return text.empty() ? "it is empty: give it a value" : std::string();
        },
        "");
}

// The app that reads the command line into `request`; the manual page and the completions are
// made from it too.
struct App {
    CLI::App app{
        "Burns data discs, MP3 CDs, audio CDs and video DVDs, erases rewritable media "
        "and shows the recorders. Without a recorder it burns to disc images: ISO for "
        "data and video, BIN/CUE with CD-Text for audio.",
        "kilnware"};
    std::map<Command, CLI::App*> commands;
    bool fast = false;
    // ls: [IMAGE] [PATH], or [PATH] with --recorder; check: [IMAGE]. One name each: an optional
    // positional list would take every name.
    std::optional<std::string> readFirst, readSecond;
};

void addSharedOptions(CLI::App& command, Request& request) {
    Options& options = request.options;
    command
        .add_option("--recorder", options.recorder,
                    "The recorder to use: its name as kilnware devices shows it, its device "
                    "(/dev/sr0), or stdio:FILE for a disc image file libburn writes like a DVD")
        ->check(nonEmpty());
    command.add_flag("-y,--yes", options.yes, "Confirm without asking");
    command
        .add_option("--image-dir", options.imageDirectory,
                    "Where the image recorder writes its images (default: here)")
        ->check(names("DIR"))
        ->check(nonEmpty());
    command
        .add_option("--image-medium", options.imageMedium,
                    "The image recorder's medium: cd-r (default), cd-rw, dvd-r, dvd+r, dvd-r-dl, "
                    "dvd-rw, bd-r or bd-re")
        ->check(CLI::IsMember(platform::ImageRecorder::mediumNames()));
    command.add_flag("--json", options.json, "Events as JSON lines on standard output");
    command.add_flag("-v,--verbose", options.verbose, "The library's log lines on standard error");
}

void build(App& built, Request& request, std::ostream& out) {
    CLI::App& app = built.app;
    app.require_subcommand(0, 1);
    // The same for every command: scripts tell a refusal (3) from a failure (1).
    app.footer(
        "Exit status:\n"
        "  0  done: burned, erased, ejected, shown, listed, or checked without finding damage\n"
        "  1  failed: a burn, erase or eject failed, ls or check could not read the disc or "
        "image, or check found damage\n"
        "  2  usage error: an unknown command or option, a wrong value, a file that is not "
        "there\n"
        "  3  nothing was done: cancelled, or refused before it began (no such recorder, a "
        "medium the command cannot take, no --yes without a terminal)");
    app.set_version_flag("--version", std::string("kilnware ") + KILNWARE_VERSION);
    // Hidden: the build makes the manual page and the completions from this very description.
    app.add_flag_callback("--help-man",
                          [&app, &out] {
                              out << manualPage(app, KILNWARE_VERSION);
                              throw CLI::Success();
                          })
        ->group("");
    app.add_option_function<std::string>("--completion",
                                         [&app, &out](const std::string& shell) {
                                             out << completionScript(app, shell);
                                             throw CLI::Success();
                                         })
        ->check(CLI::IsMember({"bash", "zsh"}))
        ->group("");
    for (const CommandEntry& entry : kCommands) {
        built.commands[entry.command] = app.add_subcommand(entry.name, entry.description);
    }
    auto& c = built.commands;
    c[Command::Devices]->add_flag("--watch", request.watch,
                                  "Show them again after every change, until Ctrl-C");
    // Positionals take values only: an option's name after them is an option, not a file.
    const auto positional = [&](Command command, const char* name, const char* what,
                                const char* kind, bool many) {
        auto* option = c[command]->add_option(name, request.paths, what)->check(names(kind));
        option->required()->expected(1, many ? CLI::detail::expected_max_vector_size : 1);
        return option;
    };
    positional(Command::Data, "paths", "Files and folders", "PATH(existing)", true);
    c[Command::Data]
        ->add_option("--name", request.name, "The disc's name (default: Data Disc)")
        ->check(nonEmpty());
    c[Command::Data]
        ->add_option("--fs", request.fileSystem,
                     "The file system: iso9660, joliet (default), udf, hfsplus")
        ->check(CLI::IsMember({"iso9660", "joliet", "udf", "hfsplus"}));
    positional(Command::Mp3, "paths", "Files and folders", "PATH(existing)", true);
    c[Command::Mp3]->add_option("--title", request.title, "The disc's title")->check(nonEmpty());
    c[Command::Mp3]->add_flag("--verify", request.verify,
                              "Read the disc back and compare after burning");
    auto* audio = c[Command::Audio];
    positional(Command::Audio, "files", "WAV, AIFF, FLAC, Ogg or MP3 files", "FILE", true);
    AudioOptions& a = request.audio;
    audio->add_option("--title", a.title, "The disc's title (written as CD-Text)");
    audio->add_option("--performer", a.performer, "The disc's performer (written as CD-Text)");
    audio->add_option("--track-title", a.trackTitles, "Each track's title, in order")
        ->allow_extra_args(false);
    audio->add_option("--track-performer", a.trackPerformers, "Each track's performer, in order")
        ->allow_extra_args(false);
    audio
        ->add_option("--pregap", a.pregaps,
                     "The pre-gap in frames (75 a second): once for every track, or each "
                     "track's in order (default: 150, two seconds; 0 for a gapless disc)")
        ->check(preGapValue())
        ->allow_extra_args(false);
    audio->add_flag("--cd-text", a.cdText,
                    "Write the titles and performers as CD-Text (the tags' where no option "
                    "names them)");
    positional(Command::Video, "files", "MPEG-2 files (PAL or NTSC, not mixed)", "FILE", true);
    c[Command::Video]
        ->add_option("--title", request.title, "The volume name (default: Video DVD)")
        ->check(nonEmpty());
    positional(Command::VideoTs, "folder", "A folder holding VIDEO_TS", "DIR", false);
    c[Command::VideoTs]
        ->add_option("--title", request.title, "The volume name (default: Video DVD)")
        ->check(nonEmpty());
    positional(Command::Image, "file", "The disc image", "FILE", false);
    c[Command::Image]->add_flag("--verify", request.verify,
                                "Read the disc back and compare after burning");
    c[Command::Data]->add_flag("--verify", request.verify,
                               "Read the disc back against its checksums after burning");
    for (Command command : {Command::Ls, Command::Check}) {
        c[command]
            ->add_option("image", built.readFirst, "The disc image (none with --recorder)")
            ->check(names("FILE"));
    }
    c[Command::Ls]->add_option("path", built.readSecond,
                               "The folder or file on the disc to list (default: /); with "
                               "--recorder, name it alone");
    MediaRequest& media = request.media;
    for (Command command : {Command::Data, Command::Mp3, Command::Audio, Command::Video,
                            Command::VideoTs, Command::Image}) {
        c[command]->add_flag("--overwrite", media.overwrite,
                             "Write over what the medium holds (a rewritable disc is blanked "
                             "first; a write-once disc cannot be written over)");
    }
    for (Command command : {Command::Data, Command::Mp3}) {
        c[command]->add_flag(
            "--append", media.append,
            "Add a session to the disc: its files join those of the earlier sessions");
        c[command]->add_flag("--replace", media.replace,
                             "With --append, replace a file or folder of the same name");
        c[command]->add_flag("--close", media.close,
                             "Close the disc: no session can be added after this one (media "
                             "written in place, DVD+RW, DVD-RAM, BD-RE and files, cannot be "
                             "closed)");
    }
    c[Command::Erase]->add_flag("--fast", built.fast, "A quick erase (the default)");
    c[Command::Erase]->add_flag(
        "--full", request.fullErase,
        "A complete erase: every block blanked, or the medium formatted anew");
    for (const CommandEntry& entry : kCommands) {
        addSharedOptions(*c[entry.command], request);
        // A value given twice is a mistake to point out, not one to choose between.
        for (CLI::Option* option : c[entry.command]->get_options()) {
            if (option->get_expected_max() == 1 && option->nonpositional()) {
                option->multi_option_policy(CLI::MultiOptionPolicy::Throw);
            }
        }
    }
    for (Command command : {Command::Data, Command::Mp3, Command::Audio, Command::Video,
                            Command::VideoTs, Command::Image}) {
        c[command]
            ->add_option("--speed", request.speed,
                         "Write at this multiple of the medium's 1x speed (see kilnware info)")
            ->check(speedValue());
        c[command]->add_flag("--simulate", request.simulate,
                             "Go through the burn without writing (where the recorder allows it)");
        c[command]->add_flag("--dry-run", request.dryRun,
                             "Lay the disc out and show what would be written, its size against "
                             "the medium and whether it fits; write nothing");
    }
    c[Command::Devices]->get_option("--json")->description("One JSON object per snapshot");
}

// Every name an option of `command` answers to, with whether it takes a value.
std::map<std::string, bool> optionNames(const CLI::App& command) {
    std::map<std::string, bool> names{{"-h", false}, {"--help", false}};
    for (const CLI::Option* option : command.get_options()) {
        const bool value = option->get_type_size() != 0 && !option->get_type_name().empty();
        for (const auto& name : option->get_lnames()) {
            names["--" + name] = value;
        }
        for (const auto& name : option->get_snames()) {
            names["-" + name] = value;
        }
    }
    return names;
}

// An option the command does not know, told with what was likely meant; none when every option
// is known.
std::optional<std::string> unknownOption(const App& built, const CLI::App& command,
                                         const std::vector<std::string>& arguments,
                                         std::size_t from) {
    const auto known = optionNames(command);
    for (std::size_t i = from; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--") {
            break;
        }
        if (argument.size() < 2 || argument.front() != '-') {
            continue;
        }
        std::vector<std::string> given;
        if (argument.starts_with("--")) {
            given.push_back(argument.substr(0, argument.find('=')));
        } else {
            for (std::size_t k = 1; k < argument.size(); ++k) {
                given.push_back(std::string("-") + argument[k]);
            }
        }
        for (const std::string& name : given) {
            auto found = known.find(name);
            if (found != known.end()) {
                // Its value follows, whatever it looks like ("--pregap -1" is a value).
                i += found->second && argument.find('=') == std::string::npos ? 1 : 0;
                continue;
            }
            std::string said = "there is no option " + name + " for " + command.get_name();
            std::vector<std::string> others;
            for (const auto& [kind, sub] : built.commands) {
                if (sub != &command && optionNames(*sub).contains(name)) {
                    others.push_back(sub->get_name());
                }
            }
            if (!others.empty()) {
                said += " (";
                for (std::size_t k = 0; k < others.size(); ++k) {
                    said += (k == 0 ? "" : k + 1 == others.size() ? " and " : ", ") + others[k];
                }
                said += others.size() == 1 ? " takes it)" : " take it)";
            } else {
                std::vector<std::string> candidates;
                for (const auto& [candidate, value] : known) {
                    candidates.push_back(candidate);
                }
                if (auto meant = closestName(name, candidates)) {
                    said += ": did you mean " + *meant + "?";
                }
            }
            return said;
        }
    }
    return std::nullopt;
}

std::string what(const CLI::Error& error) {
    std::string text = error.what();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

// Checks what the parser cannot: the files, the counts and the options that go together. The
// reason of a mistake, or none.
std::optional<std::string> check(Request& request) {
    const Command command = request.command;
    std::error_code error;
    std::vector<std::string> inputs = request.paths;
    if (request.discImage) {
        inputs.push_back(*request.discImage);
    }
    // One disc image is named where a folder would be no image at all.
    const bool imageWanted =
        command == Command::Image || command == Command::Ls || command == Command::Check;
    for (const std::string& path : inputs) {
        const auto status = fs::status(path, error);
        const bool folderWanted = command == Command::VideoTs;
        const bool fileWanted =
            command == Command::Audio || command == Command::Video || imageWanted;
        if (!fs::exists(status)) {
            return path + ": there is no such " +
                   (folderWanted ? "folder"
                    : fileWanted ? "file"
                                 : "file or folder");
        }
        if (folderWanted && !fs::is_directory(status)) {
            return path + " is no folder: name the folder that holds VIDEO_TS";
        }
        if (fileWanted && fs::is_directory(status)) {
            return path + " is a folder: name " +
                   (imageWanted ? "the disc image file, such as disc.iso" : "the files in it");
        }
    }
    AudioOptions& audio = request.audio;
    const std::size_t files = request.paths.size();
    for (const auto& [count, option] :
         {std::pair{audio.trackTitles.size(), "--track-title"},
          std::pair{audio.trackPerformers.size(), "--track-performer"},
          std::pair{audio.pregaps.size() == 1 ? 0 : audio.pregaps.size(), "--pregap"}}) {
        if (count > files) {
            return std::to_string(count) + " times " + option + " for " + std::to_string(files) +
                   (files == 1 ? " file" : " files") + ": give it once for each track at most";
        }
    }
    const MediaRequest& media = request.media;
    if (media.append && media.overwrite) {
        return "--append adds a session and --overwrite writes over what the disc holds: choose "
               "one";
    }
    if (media.replace && !media.append) {
        return "--replace goes with --append: it replaces files of the earlier sessions";
    }
    if (request.dryRun && request.simulate) {
        return "--dry-run writes nothing and --simulate goes through the burn: choose one";
    }
    if (request.verify && request.simulate) {
        return "--verify reads back what was written, and --simulate writes nothing: choose one";
    }
    // The image folder must not lie inside the video DVD's work folder, which goes after the burn.
    // It is checked as the path reads now, then made and resolved once, and checked again: the
    // recorder keeps that folder whatever a link at its path leads to later. A dry run makes
    // nothing, so it checks the path as it reads.
    if (command == Command::Video && !request.paths.empty()) {
        const fs::path work =
            fs::weakly_canonical(VXBurn::videoWorkPaths(request.paths.front())[0], error);
        const auto inside = [&](const fs::path& images) {
            return std::mismatch(work.begin(), work.end(), images.begin(), images.end()).first ==
                   work.end();
        };
        std::string& named = request.options.imageDirectory;
        fs::path images = fs::weakly_canonical(fs::absolute(named, error), error);
        if (!inside(images) && !request.dryRun) {
            error.clear();
            fs::create_directories(named, error);
            images = fs::canonical(named, error);
            if (error) {
                return "the image folder " + named + " cannot be used: " + error.message();
            }
        }
        if (inside(images)) {
            return "the image folder " + named + " lies inside " + work.string() +
                   ", the video DVD's work folder, which is removed after the burn: choose "
                   "another --image-dir";
        }
        if (!request.dryRun) {
            named = images.string();
        }
    }
    // The disc's title and performer go on an audio CD only as CD-Text: given, they ask for it.
    if (command == Command::Audio && !audio.cdText &&
        (audio.title || audio.performer || !audio.trackTitles.empty() ||
         !audio.trackPerformers.empty())) {
        audio.cdText = true;
        request.notes.push_back(
            "The titles and performers given go on the disc as CD-Text, so CD-Text is written "
            "(--cd-text).");
    }
    return std::nullopt;
}

}  // namespace

bool Request::burns() const {
    return command == Command::Data || command == Command::Mp3 || command == Command::Audio ||
           command == Command::Video || command == Command::VideoTs || command == Command::Image;
}

std::optional<std::string> closestName(const std::string& typed,
                                       const std::vector<std::string>& candidates) {
    // Edit distance, a swap of two neighbours counting as one edit.
    const auto distance = [](const std::string& a, const std::string& b) {
        std::vector<std::vector<std::size_t>> d(a.size() + 1,
                                                std::vector<std::size_t>(b.size() + 1));
        for (std::size_t i = 0; i <= a.size(); ++i) {
            d[i][0] = i;
        }
        for (std::size_t j = 0; j <= b.size(); ++j) {
            d[0][j] = j;
        }
        for (std::size_t i = 1; i <= a.size(); ++i) {
            for (std::size_t j = 1; j <= b.size(); ++j) {
                d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                    d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
                if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                    d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
                }
            }
        }
        return d[a.size()][b.size()];
    };
    std::optional<std::string> best;
    std::size_t bestDistance = 0;
    for (const std::string& candidate : candidates) {
        const std::size_t d =
            candidate.starts_with(typed) && typed.size() >= 3 ? 1 : distance(typed, candidate);
        if (d <= std::max<std::size_t>(1, typed.size() / 3) && (!best || d < bestDistance)) {
            best = candidate;
            bestDistance = d;
        }
    }
    return best;
}

Parsed parseCommandLine(const std::vector<std::string>& arguments, std::ostream& out,
                        std::ostream& err) {
    Request request;
    App built;
    build(built, request, out);
    CLI::App& app = built.app;

    // The command, or where it should have been.
    const CommandEntry* entry = nullptr;
    std::size_t at = 0;
    for (; at < arguments.size() && arguments[at].starts_with("-"); ++at) {
        if (arguments[at] == "--completion") {
            ++at;  // its value
        }
    }
    const bool topLevelOnly = at == arguments.size();
    if (!topLevelOnly) {
        entry = commandNamed(arguments[at]);
        if (!entry) {
            std::vector<std::string> names;
            for (const CommandEntry& known : kCommands) {
                names.push_back(known.name);
            }
            std::string said = "kilnware: there is no command \"" + arguments[at] + "\"";
            if (auto meant = closestName(arguments[at], names)) {
                said += ": did you mean \"" + *meant + "\"?";
            } else {
                said += " (kilnware --help lists them)";
            }
            err << said << '\n';
            return {std::nullopt, kUsage};
        }
        if (auto unknown =
                unknownOption(built, *built.commands[entry->command], arguments, at + 1)) {
            err << "kilnware " << entry->name << ": " << *unknown << '\n';
            return {std::nullopt, kUsage};
        }
    }
    const std::string who = entry ? std::string("kilnware ") + entry->name : "kilnware";
    try {
        // CLI11 takes the arguments last to first.
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
        app.parse(reversed);
    } catch (const CLI::Success& done) {  // help, the version, the page, the completions
        return {std::nullopt, app.exit(done, out, err) == 0 ? kSucceeded : kUsage};
    } catch (const CLI::RequiredError& error) {
        err << who << ": " << (entry && entry->missing ? entry->missing : what(error)) << '\n';
        return {std::nullopt, kUsage};
    } catch (const CLI::ArgumentMismatch& error) {
        std::string said = what(error);
        // CLI11 says "--name: At Most 1 required but received 2" for an option given twice.
        const std::string name = said.substr(0, said.find(':'));
        if (said.find("received") != std::string::npos && !name.starts_with("-")) {
            said = "name one " + name + " only";
        } else if (said.find("received") != std::string::npos) {
            said = name + " is given more than once: give it once";
        } else if (said.find("missing") != std::string::npos ||
                   said.find("at least") != std::string::npos) {
            said = name + " needs a value";
        }
        err << who << ": " << said << '\n';
        return {std::nullopt, kUsage};
    } catch (const CLI::ExtrasError& error) {
        // A command that names no files, or ls and check given more names than they take: the
        // others take every argument.
        std::string said = what(error);
        said = said.substr(said.find(": ") == std::string::npos ? 0 : said.find(": ") + 2);
        // What was left over, in the order given.
        if (entry) {
            const auto extras = built.commands[entry->command]->remaining();
            if (!extras.empty()) {
                said.clear();
                for (const std::string& extra : extras) {
                    said += (said.empty() ? "" : " ") + extra;
                }
            }
        }
        std::string takes;
        if (entry) {
            for (const CLI::Option* name : built.commands[entry->command]->get_options(
                     [](const CLI::Option* option) { return option->get_positional(); })) {
                takes += (takes.empty() ? "one " : " and one ") + name->get_name();
            }
        }
        err << who << ": "
            << (!entry          ? std::string("there is nothing to do with ")
                : takes.empty() ? std::string(entry->name) + " takes no files or folders, "
                                : std::string(entry->name) + " takes " + takes + " at most, ")
            << "so not: " << said << " (" << who << " --help tells what it takes)\n";
        return {std::nullopt, kUsage};
    } catch (const CLI::ParseError& error) {
        std::string said = what(error);
        // CLI11 says "--fs: ntfs not in {iso9660,joliet,udf,hfsplus}" for a value not among the
        // option's.
        static const std::regex notAmong("^(--[a-z-]+): (.*) not in \\{(.*)\\}$");
        std::smatch parts;
        if (std::regex_match(said, parts, notAmong)) {
            const std::string listed = parts[3].str();
            std::string choices;
            for (std::size_t from = 0; from <= listed.size();) {
                const std::size_t comma = std::min(listed.find(',', from), listed.size());
                if (from > 0) {
                    choices += comma == listed.size() ? " or " : ", ";
                }
                choices += listed.substr(from, comma - from);
                from = comma + 1;
            }
            said =
                parts[1].str() + ": " + parts[2].str() + " is none of its values: give " + choices;
        }
        err << who << ": " << said << '\n';
        return {std::nullopt, kUsage};
    }
    if (!entry) {
        err << "kilnware: which command? devices, data, mp3, audio, video, video-ts, image, info, "
               "ls, check, erase or eject (kilnware --help tells more)\n";
        return {std::nullopt, kUsage};
    }
    request.command = entry->command;
    if (request.command == Command::Erase && built.fast && request.fullErase) {
        err << who << ": --fast and --full: choose one\n";
        return {std::nullopt, kUsage};
    }
    const CLI::App& command = *built.commands[entry->command];
    request.options.imageOptionsGiven =
        command.count("--image-dir") > 0 || command.count("--image-medium") > 0;
    if (request.command == Command::Audio) {
        request.options.blockBytes = 2352;
    }
    request.media.sessions = request.command == Command::Data || request.command == Command::Mp3;
    if (request.command == Command::Ls || request.command == Command::Check) {
        std::vector<std::string> reading;
        for (const auto& name : {built.readFirst, built.readSecond}) {
            if (name) {
                reading.push_back(*name);
            }
        }
        const bool named = request.options.recorder.has_value();
        if (!named && reading.empty()) {
            err << who << ": name a disc image, or a recorder with --recorder, as in: " << who
                << " disc.iso\n";
            return {std::nullopt, kUsage};
        }
        const std::size_t most = request.command == Command::Check ? 0 : 1;
        if (named && reading.size() > most) {
            err << who << ": --recorder names the disc to read: "
                << (most ? "name only the folder to list" : "name no disc image as well") << '\n';
            return {std::nullopt, kUsage};
        }
        if (!named) {
            request.discImage = reading.front();
            reading.erase(reading.begin());
        }
        if (!reading.empty()) {
            request.discPath = reading.front();
        }
    }
    if (auto mistake = check(request)) {
        err << who << ": " << *mistake << '\n';
        return {std::nullopt, kUsage};
    }
    return {std::move(request), kSucceeded};
}

}  // namespace kilnware::cli
