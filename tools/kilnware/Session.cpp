#include "Session.h"

#include "ContentPolicy.h"
#include "HostBurn.h"
#include "Medium.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>

#include <kilnware/platform/discrecording/DRKeys.h>
#include <kilnware/platform/engines/libburn/LibburnEngine.h>
#include <kilnware/platform/foundation/Log.h>
#include <kilnware/platform/foundation/RunLoop.h>
#include <kilnware/platform/foundation/Task.h>

namespace kilnware::cli {

using namespace platform;
using hosts::Medium;
using nlohmann::json;

namespace {
std::atomic<bool> interrupted{false};

// Ctrl-C, SIGTERM and SIGHUP: the running panel is cancelled on the run loop, and whatever tool
// runs now is ended at once, so that no child outlives the command.
void onInterrupt(int) {
    interrupted = true;
    Task::terminateAll();
}

// Why libburn cannot take `address` (a device path, or stdio:FILE) as a recorder, in words.
std::string unusableAddress(const std::string& address) {
    namespace fs = std::filesystem;
    constexpr std::string_view kStdio = "stdio:";
    const bool file = address.starts_with(kStdio);
    const fs::path path = file ? address.substr(kStdio.size()) : address;
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    std::error_code error;
    const auto status = fs::status(path, error);
    std::string why;
    if (fs::is_directory(status)) {
        why = path.string() +
              " is a folder: name a file in it, as in stdio:" + (path / "disc.iso").string();
    } else if (file && !fs::exists(status) && !fs::is_directory(folder, error)) {
        why = "there is no folder " + folder.string() + " to hold the file";
    } else if (!file && !fs::exists(status)) {
        why = "there is no such device";
    } else {
        why =
            "libburn cannot open it (name an optical drive, or stdio:FILE for a disc image "
            "file)";
    }
    return address + " cannot be used as a recorder: " + why + ".";
}

json text(const std::optional<std::string>& value) {
    return value ? json(*value) : json(nullptr);
}

// The medium's sessions and their tracks, for the info event.
json sessionsJson(const Medium& medium) {
    json list = json::array();
    for (const Medium::Session& session : medium.sessions) {
        json tracks = json::array();
        for (const Medium::Track& track : session.tracks) {
            tracks.push_back({{"number", track.number},
                              {"type", track.audio ? "audio" : "data"},
                              {"start", track.start},
                              {"length", track.length}});
        }
        list.push_back({{"number", session.number},
                        {"start", session.start},
                        {"length", session.length},
                        {"tracks", tracks}});
    }
    return list;
}
}  // namespace

Session::Session(const Options& options, SetupChoice hooks)
    : options_(options), output_(options.json, ::isatty(STDERR_FILENO) != 0) {
    RunLoop::current();  // this thread's loop is the main one
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }

    Log::setStandardErrorEnabled(options.verbose && !options.json);
    // A line is shown on the main thread: at once when it was logged there, else in the run
    // loop's order. An engine's thread never waits for the output, so that a reader of it that
    // stopped reading holds up the main thread at worst, never a burn.
    logSink_ = Log::addSink([this, main = std::this_thread::get_id(), loop = RunLoop::current()](
                                std::string_view line, Log::Level level) {
        auto show = [this, text = std::string(line), level] { showLogLine(text, level); };
        if (std::this_thread::get_id() == main) {
            show();
        } else {
            loop->post(std::move(show));
        }
    });

    SetupChoice choice = std::move(hooks);
    choice.blockBytes = options.blockBytes;
    choice.recorder = options.recorder;
    choice.noSuchRecorder = [this] { return noSuchRecorder(); };
    choice.isNamed = [this](const DRDevice& device) { return isNamedRecorder(device); };
    // A dry run writes nothing: it needs no confirmation.
    choice.yes = options.yes || choice.dryRun;
    choice.terminal = ::isatty(STDIN_FILENO) != 0;
    choice.interrupted = [] { return interrupted.load(); };
    const bool dryRun = static_cast<bool>(choice.dryRun);
    panels_ = std::make_shared<ConsolePanels>(output_, std::move(choice));
    Panels::setAnswerer(panels_);

    // The folder the person named for the images is made if it is not there yet (a dry run
    // writes nothing).
    if (!dryRun) {
        std::error_code ignored;
        std::filesystem::create_directories(options.imageDirectory, ignored);
    }
    imageEngine_ = std::make_shared<ImageRecorderEngine>(
        options.imageDirectory,
        ImageRecorder::mediumNamed(options.imageMedium).value_or(ImageRecorder::Medium::CDR));
    // Every real recorder that libburn finds, and always the image recorder.
    libburnEngine_ = std::make_shared<LibburnEngine>();
    Engine::install(libburnEngine_);
    Engine::install(imageEngine_);
    // A recorder named by its address joins the others: a drive the scan did not offer, or a
    // libburn pseudo-drive over a file.
    if (options.recorder &&
        (options.recorder->starts_with("/dev/") || options.recorder->starts_with("stdio:"))) {
        if (!libburnEngine_->addRecorder(*options.recorder)) {
            unusableRecorder_ = unusableAddress(*options.recorder);
        }
    }
    RunLoop::current()->runUntilIdle();
}

Session::~Session() {
    RunLoop::current()->runUntilIdle();
    Engine::stopAll();
    Panels::setAnswerer(nullptr);
    Log::removeSink(logSink_);
    // The engines' last lines, posted to the loop.
    RunLoop::current()->runUntilIdle();
}

void Session::showLogLine(const std::string& line, Log::Level level) {
    // The library's own lines are for -v; the command's outcome never rests on them. Warnings
    // are for the person even without -v.
    if (logEvents_ && options_.verbose) {
        output_.event({{"event", "log"}, {"line", line}});
    }
    if (level == Log::Level::Warning && !options_.verbose) {
        output_.problem(line);
    }
}

bool Session::runUntil(const std::function<bool()>& done) {
    auto loop = RunLoop::current();
    bool cancelled = false;
    bool stoppedByInterrupt = false;
    auto timer = loop->addTimer(
        std::chrono::milliseconds(50),
        [&] {
            if (!interrupted.exchange(false)) {
                return;
            }
            if (auto* panel = panels_->activePanel(); panel && !cancelled) {
                output_.say("Cancelling...");
                panel->cancel();
                cancelled = true;
            } else {
                stoppedByInterrupt = true;
                loop->stop();
            }
        },
        true);
    loop->runUntil([&] { return done() || stoppedByInterrupt; });
    loop->cancelTimer(timer);
    return !stoppedByInterrupt;
}

bool Session::isNamedRecorder(const DRDevice& device) const {
    if (!options_.recorder) {
        return false;
    }
    if (device.displayName() == *options_.recorder) {
        return true;
    }
    const auto* drive = dynamic_cast<const LibburnRecorder*>(&device);
    return drive && drive->address() == *options_.recorder;
}

std::shared_ptr<DRDevice> Session::namedRecorder() const {
    for (const auto& device : DRDevice::devices()) {
        if (isNamedRecorder(*device)) {
            return device;
        }
    }
    return nullptr;
}

std::string Session::noSuchRecorder() const {
    if (unusableRecorder_) {
        return *unusableRecorder_;
    }
    return "No recorder is named \"" + options_.recorder.value_or("") +
           "\". Run \"kilnware devices\" to see the recorders.";
}

void Session::result(int status, const std::string& outcome, const std::string& message,
                     const std::string& error, const std::vector<std::string>& files) {
    if (!output_.json() && !message.empty()) {
        if (status == kSucceeded) {
            output_.say(message);
        } else {
            output_.problem(message);
        }
    }
    // A failure and a refusal always say why (the message, where no shorter reason is given).
    const bool why = outcome == "failed" || outcome == "nothing-burned";
    output_.event({{"event", "result"},
                   {"outcome", outcome},
                   {"exitStatus", status},
                   {"message", message},
                   {"error", !error.empty() ? json(error)
                             : why          ? json(message)
                                            : json(nullptr)},
                   {"files", files}});
}

int Session::refuse(const std::string& reason) {
    result(kNothingBurned, "nothing-burned", "Nothing was burned: " + reason, reason);
    return kNothingBurned;
}

int Session::refuseToBegin(const std::string& reason) {
    result(kNothingBurned, "nothing-burned", reason, reason);
    return kNothingBurned;
}

int Session::burn(const std::shared_ptr<VXBurn>& controller,
                  const std::function<void(VXBurn&)>& start) {
    std::optional<bool> succeeded;
    auto& center = NotificationCenter::defaultCenter();
    center.addObserver(this, std::string(BurnSucceed), controller.get(),
                       [&](const Notification&) { succeeded = true; });
    center.addObserver(this, std::string(BurnFailed), controller.get(),
                       [&](const Notification&) { succeeded = false; });
    start(*controller);
    // A progress panel that was started begins on the run loop.
    RunLoop::current()->runUntilIdle();
    int status = kNothingBurned;
    const VXBurn::CallOutcome& call = controller->lastCall();
    if (call.kind != VXBurn::CallOutcome::Kind::Began) {
        // Why nothing was burned: the library's reason, or the console's own for closing the
        // setup panel (no such recorder, an unsuitable medium, no --yes without a terminal).
        const std::string& console = panels_->cancelReason();
        if (interrupted) {
            result(status, "cancelled", "Cancelled: nothing was burned.");
        } else if (panels_->dryRuns() > 0) {
            status = kSucceeded;
            result(status, "dry-run", "Nothing was written: this was a dry run.");
        } else if (call.kind == VXBurn::CallOutcome::Kind::Refused) {
            result(status, "nothing-burned", "Nothing was burned: " + call.reason, call.reason);
        } else if (!console.empty() && console != "Cancelled.") {
            result(status, "nothing-burned", "Nothing was burned: " + console, console);
        } else {
            result(status, "cancelled", "Cancelled: nothing was burned.");
        }
    } else if (!runUntil([&] { return succeeded && panels_->progressPanelsClosed() >= 1; })) {
        status = kFailed;
        result(status, "failed", "Interrupted.");
    } else if (*succeeded) {
        status = kSucceeded;
        std::string message;
        std::vector<std::string> files = imageEngine_->recorder()->lastImageFiles();
        for (const auto& file : files) {
            message += (message.empty() ? "Wrote " : ", ") + file;
        }
        result(status, "done", message, {}, files);
    } else {
        // The outcome is the burn's own: a cancelled burn wrote nothing that counts.
        const bool cancelled = controller->lastBurnWasCancelled();
        status = cancelled ? kNothingBurned : kFailed;
        result(status, cancelled ? "cancelled" : "failed", "",
               controller->lastBurnError().value_or("unknown error"));
    }
    center.removeObserver(this);
    return status;
}

int Session::erase() {
    auto controller = std::make_shared<HostBurn>();
    controller->erase();
    // The cycle ends when a setup panel is cancelled; each erase in between ends with its line.
    runUntil([&] {
        return panels_->setupCancels() > 0 &&
               panels_->progressPanelsClosed() == panels_->progressPanelsBegun();
    });
    // The last erase's own status tells, as its progress panel closed with it.
    if (panels_->progressPanelsClosed() > 0) {
        const Dictionary& last = panels_->lastFinalStatus();
        if (!DROperation::hasFailed(last)) {
            result(kSucceeded, "done", "The erase is done.");
            return kSucceeded;
        }
        const auto error = DROperation::errorText(last).value_or("unknown error");
        const bool cancelled = DROperation::wasCancelled(last);
        result(cancelled ? kNothingBurned : kFailed, cancelled ? "cancelled" : "failed",
               "The erase failed: " + error, error);
        return cancelled ? kNothingBurned : kFailed;
    }
    result(kNothingBurned, interrupted ? "cancelled" : "nothing-burned",
           panels_->cancelReason().empty() ? "Cancelled: nothing was erased."
                                           : panels_->cancelReason());
    return kNothingBurned;
}

void Session::printSnapshot(const VXDevice& device) const {
    const auto snapshots = device.snapshots();
    if (output_.json()) {
        json recorders = json::array();
        for (const auto& one : snapshots) {
            recorders.push_back({{"recorder", text(one.deviceName)},
                                 {"connection", text(one.connection)},
                                 {"busy", one.deviceIsBusy},
                                 {"canEject", one.deviceCanEject},
                                 {"present", one.mediaPresent},
                                 {"type", text(one.mediaType)},
                                 {"erasable", one.mediaIsEarsable},
                                 {"overwritable", one.mediaIsOverWritable},
                                 {"blocksFree", one.blocksFree},
                                 {"blocksUsed", one.blocksUsed},
                                 {"blocksOverwritable", one.blocksTotal},
                                 {"blocksCapacity", hosts::capacityOf(one).blocks},
                                 {"sizeFree", text(one.blocksFreeText)},
                                 {"sizeUsed", text(one.blocksUsedText)},
                                 {"sizeOverwritable", text(one.blocksTotalText)},
                                 {"framesFree", one.framesFree},
                                 {"framesUsed", one.framesUsed},
                                 {"framesOverwritable", one.framesTotal},
                                 {"timeFree", text(one.mediaFreeTime)},
                                 {"timeUsed", text(one.mediaUsedTime)},
                                 {"timeOverwritable", text(one.mediaTotalTime)}});
        }
        output_.event({{"event", "devices"}, {"recorders", recorders}});
        return;
    }
    if (snapshots.empty()) {
        output_.say("There is no recorder.");
    }
    auto show = [](const std::optional<std::string>& value) { return value.value_or("-"); };
    auto yesNo = [](bool value) { return std::string(value ? "yes" : "no"); };
    for (std::size_t i = 0; i < snapshots.size(); ++i) {
        const auto& one = snapshots[i];
        if (i > 0) {
            output_.say("");
        }
        output_.say("Recorder:    " + show(one.deviceName) + " (" + show(one.connection) + ")" +
                    (one.deviceIsBusy ? ", busy" : ""));
        output_.say("Medium:      " + show(one.mediaType));
        if (!one.mediaPresent) {
            continue;
        }
        output_.say("Free:        " + show(one.blocksFreeText) + ", " + show(one.mediaFreeTime));
        output_.say("Used:        " + show(one.blocksUsedText) + ", " + show(one.mediaUsedTime));
        const hosts::Capacity capacity = hosts::capacityOf(one);
        output_.say("Capacity:    " + capacity.size + ", " + capacity.time);
        output_.say("Erasable:    " + yesNo(one.mediaIsEarsable) + ", overwritable: " +
                    yesNo(one.mediaIsOverWritable) + ", can eject: " + yesNo(one.deviceCanEject));
    }
}

int Session::devices(bool watch) {
    logEvents_ = false;  // with --json, the snapshots alone
    if (unusableRecorder_) {
        output_.problem(*unusableRecorder_);
    }
    auto monitor = std::make_shared<VXDevice>();
    bool watching = false;
    NotificationCenter::defaultCenter().addObserver(this, std::string(UpDateDeviceInfo),
                                                    monitor.get(), [&](const Notification&) {
                                                        if (watching) {
                                                            printSnapshot(*monitor);
                                                        }
                                                    });
    // The recorders that are there announce themselves on the run loop: all of them are listed
    // once it is idle.
    RunLoop::current()->runUntilIdle();
    printSnapshot(*monitor);
    if (watch) {
        output_.say("Watching; Ctrl-C ends.");
        watching = true;
        runUntil([] { return false; });
    }
    NotificationCenter::defaultCenter().removeObserver(this);
    return kSucceeded;
}

int Session::info() {
    RunLoop::current()->runUntilIdle();
    auto devices = DRDevice::devices();
    std::shared_ptr<DRDevice> device =
        options_.recorder ? namedRecorder() : (devices.empty() ? nullptr : devices.back());
    if (!device) {
        return refuseToBegin(options_.recorder ? noSuchRecorder() : "There is no recorder.");
    }
    const Dictionary status = device->status();
    const Value& media = status[DRDeviceMediaInfoKey];
    auto text = [](const Value& value, const char* prefix) {
        std::string shown = value.textValue().value_or("-");
        return shown.starts_with(prefix) ? shown.substr(std::string_view(prefix).size()) : shown;
    };
    const bool present = status[DRDeviceMediaStateKey].textValue() ==
                         std::optional<std::string>(DRDeviceMediaStateMediaPresent);
    const std::uint64_t free = lookup(media, DRDeviceMediaBlocksFreeKey).uint64Value();
    const std::uint64_t used = lookup(media, DRDeviceMediaBlocksUsedKey).uint64Value();
    const std::uint64_t total = lookup(media, DRDeviceMediaBlocksOverwritableKey).uint64Value();
    const Medium medium(media);
    const hosts::Capacity capacity = hosts::capacityOf(VXDevice::snapshotOf(*device));
    // Data on an overwritable medium is written over, or sessions added after it; a closed disc
    // takes nothing more.
    const std::string state = !present              ? "no medium"
                              : medium.blank        ? "blank"
                              : medium.appendable   ? "appendable"
                              : medium.overwritable ? "written"
                                                    : "closed";
    if (output_.json()) {
        output_.event({{"event", "info"},
                       {"recorder", device->displayName()},
                       {"present", present},
                       {"type", text(lookup(media, DRDeviceMediaTypeKey), "DRDeviceMediaType")},
                       {"class", text(lookup(media, DRDeviceMediaClassKey), "DRDeviceMediaClass")},
                       {"state", state},
                       {"blocksFree", free},
                       {"blocksUsed", used},
                       {"blocksOverwritable", total},
                       {"blocksCapacity", capacity.blocks},
                       {"erasable", medium.erasable},
                       {"overwritable", medium.overwritable},
                       {"appendable", medium.appendable},
                       {"holds", medium.holdings()},
                       {"volumeName", cli::text(medium.volumeName)},
                       {"fileSystem", cli::text(medium.fileSystem)},
                       {"sessions", sessionsJson(medium)}});
        return kSucceeded;
    }
    auto size = [](std::uint64_t blocks) {
        return VXDevice::getSizeOfDisc(blocks) + " (" + std::to_string(blocks) + " blocks)";
    };
    output_.say("Recorder:    " + device->displayName());
    if (!present) {
        output_.say("Medium:      none");
        return kSucceeded;
    }
    // libburn knows no disc type for a pseudo-drive's medium: it is the file that is written.
    const std::string type = hosts::ContentPolicy::pseudoDrive(*device)
                                 ? "a file"
                                 : text(lookup(media, DRDeviceMediaTypeKey), "DRDeviceMediaType");
    output_.say("Medium:      " + type + ", " + state);
    output_.say("Capacity:    " + size(capacity.blocks));
    output_.say("Used:        " + size(used));
    output_.say("Free:        " + size(free) +
                (medium.appendable && medium.holdsData() ? ", for a new session" : ""));
    if (medium.holdsData()) {
        output_.say("Holds:       " + medium.holdings());
    }
    // As a table of contents lists them: each session with its tracks.
    for (const Medium::Session& session : medium.sessions) {
        for (const Medium::Track& track : session.tracks) {
            output_.say("Session " + std::to_string(session.number) + ":   track " +
                        std::to_string(track.number) + ", " + (track.audio ? "audio" : "data") +
                        ", from block " + std::to_string(track.start) + ", " + size(track.length));
        }
    }
    std::string speeds;
    const double oneX =
        std::string(text(lookup(media, DRDeviceMediaClassKey), "")) == DRDeviceMediaClassBD
            ? 4495.625
        : text(lookup(media, DRDeviceMediaClassKey), "") == DRDeviceMediaClassDVD ? 1385.0
                                                                                  : 176.4;
    if (const List* offered = status[DRDeviceBurnSpeedsKey].list()) {
        for (const Value& kilobytes : *offered) {
            char shown[32];
            std::snprintf(shown, sizeof shown, "%.0fx", kilobytes.doubleValue() / oneX);
            speeds += (speeds.empty() ? "" : ", ") + std::string(shown);
        }
    }
    if (!speeds.empty()) {
        output_.say("Speeds:      " + speeds);
    }
    return kSucceeded;
}

bool Session::interruptRequested() {
    return interrupted.load();
}

std::optional<std::string> Session::namedRecorderVolume() const {
    RunLoop::current()->runUntilIdle();
    const auto device = namedRecorder();
    return device ? Medium(device->status()[DRDeviceMediaInfoKey]).volumeName : std::nullopt;
}

int Session::eject() {
    auto monitor = std::make_shared<VXDevice>();
    RunLoop::current()->runUntilIdle();
    monitor->updateDeviceInfo();
    // The recorder named, or else the one "devices" shows: the last one listed.
    std::shared_ptr<DRDevice> device;
    if (options_.recorder) {
        device = namedRecorder();
    } else if (!monitor->deviceList.empty()) {
        device = monitor->deviceList.back();
    }
    if (!device) {
        return refuseToBegin(options_.recorder ? noSuchRecorder() : "There is no recorder.");
    }
    if (!device->ejectMedia()) {
        result(kFailed, "failed", "Nothing was ejected: " + device->displayName() + " refused.");
        return kFailed;
    }
    result(kSucceeded, "done", "Ejected the medium of " + device->displayName() + ".");
    return kSucceeded;
}

}  // namespace kilnware::cli
