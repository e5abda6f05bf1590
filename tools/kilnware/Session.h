#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <kilnware/Kilnware.h>
#include <kilnware/VXDevice.h>
#include <kilnware/platform/engines/libburn/LibburnEngine.h>
#include <kilnware/platform/engines/virtual/ImageRecorder.h>
#include <kilnware/platform/foundation/Log.h>

#include "CommandLine.h"
#include "ConsolePanels.h"
#include "Output.h"

namespace kilnware::cli {

// One run of the command: the engines, the console panels, the library's log lines and Ctrl-C.
class Session {
public:
    // `hooks` gives SetupChoice's beforeConfirm, nothingToBurn and dryRun; the rest comes from
    // `options`.
    Session(const Options& options, SetupChoice hooks);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const Output& output() const { return output_; }

    // Refuses the burn before it begins: the reason, and exit status 3.
    int refuse(const std::string& reason);
    // Runs one burn entry point of `burn` and waits for its outcome.
    int burn(const std::shared_ptr<VXBurn>& burn, const std::function<void(VXBurn&)>& start);
    // The erase cycle, until a setup panel is cancelled.
    int erase();
    // The media status snapshot; with `watch`, again after every change until Ctrl-C.
    int devices(bool watch);
    int eject();
    // The medium in the recorder named, or in the one devices shows.
    int info();
    // The volume name of the newest session on the medium of the recorder --recorder names.
    std::optional<std::string> namedRecorderVolume() const;
    // `ls`: the entries of `path` in the newest session of the disc image `image`, or of the
    // medium of the recorder --recorder names, as xorriso -lsl shows them (Reading.cpp).
    int list(const std::optional<std::string>& image, const std::string& path);
    // `check`: every session of the image or medium read back against its checksums.
    int check(const std::optional<std::string>& image);

private:
    struct Interrupt;
    // The one "result" event, and the last word for the person. `error` is the failure's text.
    void result(int status, const std::string& outcome, const std::string& message,
                const std::string& error = {}, const std::vector<std::string>& files = {});
    // Refuses what a command other than a burn would do, before it begins (no such recorder):
    // the reason, and exit status 3, as for a burn.
    int refuseToBegin(const std::string& reason);
    void printSnapshot(const VXDevice& device) const;
    // What the command shows of a line of the library's log. On the main thread.
    void showLogLine(const std::string& line, platform::Log::Level level);
    // Runs the main loop until `done`, cancelling a running panel on Ctrl-C. False after Ctrl-C
    // when nothing ran to cancel.
    bool runUntil(const std::function<bool()>& done);

    // The recorder --recorder names: its display name, its device path ("/dev/sr0") or a libburn
    // address ("stdio:/path/disc.iso", added as a pseudo-drive); null when none is named.
    bool isNamedRecorder(const platform::DRDevice& device) const;
    std::shared_ptr<platform::DRDevice> namedRecorder() const;
    // Why namedRecorder() found none: why libburn could not take the address named, or where to
    // look for the names.
    std::string noSuchRecorder() const;
    // Whether Ctrl-C, SIGTERM or SIGHUP came.
    static bool interruptRequested();
    // What `image`, or else the medium of the recorder named, holds; null after telling why,
    // with the exit status in `status`.
    std::unique_ptr<platform::DRDiscContents> contentsToRead(
        const std::optional<std::string>& image, int& status);

    Options options_;
    Output output_;
    std::shared_ptr<platform::LibburnEngine> libburnEngine_;
    std::shared_ptr<ConsolePanels> panels_;
    std::shared_ptr<platform::ImageRecorderEngine> imageEngine_;
    // Why libburn could not take the address --recorder gave, where it could not.
    std::optional<std::string> unusableRecorder_;
    bool logEvents_ = true;
    std::size_t logSink_;
};

}  // namespace kilnware::cli
