#include <kilnware/VXBurn.h>

#include <algorithm>
#include <string_view>

#include <kilnware/Constants.h>
#include <kilnware/VXAdd.h>
#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRFolder.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include <kilnware/platform/foundation/Log.h>

#include "Kilnware/RootFolder.h"
#include "platform/foundation/WorkRecord.h"

namespace kilnware {

using namespace platform;

namespace {
constexpr const char* kNotWritableCDPrompt = "That's not a writable CD!";
constexpr const char* kEmptySelection = "there's something wrong in what you have seleted";
// Keys that never reach a CD-Text block.
constexpr std::string_view kSkippedKeyPrefix = "ZUN";

// The engine's error text, or a stand-in where the status carries none.
std::string errorText(const Dictionary& status) {
    return DROperation::errorText(status).value_or("unknown error");
}
}  // namespace

VXBurn::~VXBurn() {
    NotificationCenter::defaultCenter().removeObserver(this);
}

std::shared_ptr<VXBurn> VXBurn::strongSelf() const {
    return std::static_pointer_cast<VXBurn>(self());
}

void VXBurn::startCall() {
    lastCall_ = {};
    layoutProblem_.reset();
    pendingLayout_ = Value();
}

void VXBurn::refuse(std::string reason) {
    lastCall_ = {CallOutcome::Kind::Refused, std::move(reason)};
}

void VXBurn::refuseWithLine(const std::string& line) {
    Log::write(line);
    refuse(line.ends_with('.') ? line : line + ".");
}

bool VXBurn::confirmed(DRSetupPanel& panel, const Value& layout) {
    pendingLayout_ = layout;
    panel.setDelegate(strongSelf());
    if (panel.runSetupPanel() == DRSetupPanel::kConfirmed) {
        return true;
    }
    // A layout that falls short is the likelier reason a host's panel was closed.
    if (layoutProblem_) {
        refuse(*layoutProblem_);
    } else {
        lastCall_ = {CallOutcome::Kind::Cancelled, "The burn was cancelled."};
    }
    return false;
}

void VXBurn::burnToAudioCD(const PathList& paths, List* Info) {
    startCall();
    if (paths.empty()) {
        Log::write(kEmptySelection);
        refuse("No audio files were given.");
        return;
    }
    m_CDAdd = std::make_shared<VXAdd>();
    List layout;
    if (auto tracks = m_CDAdd->discPathAddTrackRequest(paths, Info)) {
        layout = std::move(*tracks);
    } else {
        layoutProblem_ = m_CDAdd->whyNoTrack();
    }
    auto setupPanel = DRBurnSetupPanel::setupPanel();
    // Taken before the panel runs: this is the burn that gets the CD-Text. The panel keeps one
    // burn object and binds the confirmed recorder to it, so it is also the one burned.
    auto burnObject = setupPanel->burnObject();
    if (Info) {
        Dictionary disc;
        disc.set(VXDiscCDTextEnabled, false);
        disc.set(VXDiscMCNEnabled, false);
        disc.set(DRCDTextTitleKey, "nil");
        Info->insert(Info->begin(), Value(std::move(disc)));
    }
    if (!confirmed(*setupPanel, Value(layout))) {
        return;
    }
    if (Info) {
        setBurnProperties(burnObject, Info);
    }
    beginBurn(setupPanel->burnObject(), Value(std::move(layout)), "Burning Audio CD");
    m_CDAdd.reset();
}

void VXBurn::burnDataToDisc(const PathList& paths, const std::optional<std::string>& discName,
                            std::int32_t kindOfData) {
    startCall();
    std::string why;
    auto track = dataDiscLayout(paths, discName, kindOfData, why);
    if (!track) {
        // Only a layout that was tried and failed is "nil"; no selection or no file system is
        // refused before.
        if (!paths.empty() && kindOfData >= 0 && kindOfData <= 3) {
            Log::write("track is nil");
        }
        refuse(why);
        return;
    }
    burnLayout(Value(track), "Burn Data Disc");
}

std::shared_ptr<DRTrack> VXBurn::dataDiscLayout(const PathList& paths,
                                                const std::optional<std::string>& discName,
                                                std::int32_t kindOfData, std::string& why) {
    if (paths.empty()) {
        why = "No files or folders were given.";
        return nullptr;
    }
    auto root = DRFolder::virtualFolderWithName(discName.value_or("Data Disc"));
    fillRootFolder(*root, paths);
    if (kindOfData < 0 || kindOfData > 3) {
        why = "There is no file system " + std::to_string(kindOfData) +
              ": 0 is ISO 9660, 1 Joliet, 2 UDF and 3 HFS+.";
        return nullptr;
    }
    root->setExplicitFilesystemMask(std::uint32_t{1} << kindOfData);
    std::string reason;
    auto track = dataTrackOf(root, paths, reason);
    if (!track) {
        why = "The data disc cannot be laid out: " + reason + ".";
    }
    return track;
}

void VXBurn::burnToMp3CD(const PathList& paths, const std::optional<std::string>& Title,
                         bool isverifyDisc) {
    startCall();
    if (paths.empty()) {
        Log::write(kEmptySelection);
        refuse("No files or folders were given.");
        return;
    }
    m_CDAdd = std::make_shared<VXAdd>();
    List layout;
    if (auto tracks = m_CDAdd->discAddMp3Request(paths, Title)) {
        layout = std::move(*tracks);
    } else {
        layoutProblem_ = m_CDAdd->whyNoTrack();
    }
    auto setupPanel = DRBurnSetupPanel::setupPanel();
    if (!confirmed(*setupPanel, Value(layout))) {
        return;
    }
    auto burnObject = setupPanel->burnObject();
    // Set after the panel closed: the host's choice wins over whatever the panel left.
    burnObject->setVerifyDisc(isverifyDisc);
    beginBurn(burnObject, Value(std::move(layout)), "Burning Mp3 CD");
    m_CDAdd.reset();
}

void VXBurn::setBurnProperties(const std::shared_ptr<DRBurn>& burn, List* Info) {
    if (!burn) {
        return;
    }
    Dictionary properties = burn->properties();
    if (discPropertyForKey(std::string(VXDiscCDTextEnabled), Info).boolValue()) {
        auto block = DRCDTextBlock::cdTextBlockWithLanguage("", kStringEncodingISOLatin1);
        const std::size_t count = Info->size();
        for (std::size_t track = 0; track < count; ++track) {
            // A record left by a failed builder is no dictionary: it has nothing to copy.
            const Dictionary* values = (*Info)[track].dictionary();
            if (!values) {
                continue;
            }
            for (const auto& [key, value] : *values) {
                if (!key.starts_with(kSkippedKeyPrefix)) {
                    block->setObject(value, key, static_cast<std::uint32_t>(track));
                }
            }
        }
        properties.set(DRCDTextKey, Value(block));
    }
    burn->setProperties(std::move(properties));
}

Value VXBurn::discPropertyForKey(const std::optional<std::string>& key, const List* Info) const {
    if (!key || !Info || Info->empty()) {
        return Value();
    }
    return lookup(Info->front(), *key);
}

void VXBurn::burnLayout(const Value& layout, const std::string& description) {
    startCall();
    if (layout.isNone()) {
        Log::write("layout is nil");
        refuse("There is nothing to burn.");
        return;
    }
    auto setupPanel = DRBurnSetupPanel::setupPanel();
    if (!confirmed(*setupPanel, layout)) {
        return;
    }
    beginBurn(setupPanel->burnObject(), layout, description);
}

void VXBurn::beginBurn(const std::shared_ptr<DRBurn>& burn, const Value& layout,
                       const std::string& description) {
    auto progressPanel = DRBurnProgressPanel::progressPanel();
    progressPanel->setDelegate(strongSelf());
    progressPanel->setDescription(description);
    ++burnsInFlight_;
    lastCall_ = {CallOutcome::Kind::Began, {}};
    if (layoutProblem_) {
        burnsWithProblems_.emplace_back(burn, *layoutProblem_);
    }
    progressPanel->beginProgressPanelForBurn(burn, layout);
}

void VXBurn::burnProgressPanelWillBegin(const Notification&) {
    Log::write("Burn Begin");
    burning = true;
}

void VXBurn::burnProgressPanelDidFinish(const Notification&) {
    Log::write("Burn End");
    burning = false;
}

bool VXBurn::burnDidFinish(DRBurnProgressPanel&, const std::shared_ptr<DRBurn>& burn) {
    burnsInFlight_ = std::max(0, burnsInFlight_ - 1);
    const Dictionary status = burn ? burn->status() : Dictionary();
    std::optional<std::string> problem;
    std::erase_if(burnsWithProblems_, [&](const auto& entry) {
        const auto owner = entry.first.lock();
        if (owner && owner != burn) {
            return false;
        }
        problem = owner ? std::optional(entry.second) : problem;
        return true;
    });
    lastBurnWasCancelled_ = DROperation::wasCancelled(status);
    lastBurnError_.reset();
    if (DROperation::hasFailed(status)) {
        // The video work stays for a later run (proven by its record, which this burn no longer
        // holds), unless a stop the host was told cancelled the burn: then it goes now.
        if (const auto record = std::move(videoRecord_);
            record && lastBurnWasCancelled_ && stopped()) {
            discardVideoWork(*record);
        }
        // A layout that fell short says more than the engine's word that it holds no track.
        lastBurnError_ = problem && !lastBurnWasCancelled_ ? *problem : errorText(status);
        Log::write("The burn failed (%@)!", {errorText(status)});
        Log::write("Sending BurnFailed notification");
        NotificationCenter::defaultCenter().postNotificationName(BurnFailed, self());
    } else {
        Log::write("Burn finished fine");
        removeTemporaryVideoFiles();
        Log::write("Sending BurnSucceed notification");
        NotificationCenter::defaultCenter().postNotificationName(BurnSucceed, self());
    }
    return false;
}

void VXBurn::removeTemporaryVideoFiles() {
    std::shared_ptr<WorkRecord> record = std::move(videoRecord_);
    if (!fm) {
        return;
    }
    std::vector<const std::string*> there;
    for (const std::string* path : {&isoPath, &folderpath, &xmlPath}) {
        if (!path->empty() && fm->fileExistsAtPath(*path)) {
            there.push_back(path);
        }
    }
    // Only what the record proves to be this library's unchanged work goes, and through the
    // controller's file manager, which a host may have given its own; a folder that holds
    // anything more (an image written into it, say) stays, and so does everything else.
    std::string error;
    if (!there.empty() && !record && !(record = WorkRecord::open(isoPath, error))) {
        Log::write("Not removing the video DVD's work files: %@", {error});
        return;
    }
    for (const std::string* path : there) {
        if (!record->proves(*path)) {
            Log::write("Not removing %@: it is not as this library made it", {*path});
        } else {
            record->removeIfProven(*path, *fm, error);
        }
    }
}

bool VXBurn::deviceCouldBeTarget(DRSetupPanel&, const std::shared_ptr<DRDevice>&) {
    return true;
}

bool VXBurn::deviceContainsSuitableMedia(DRSetupPanel&, const std::shared_ptr<DRDevice>& device,
                                         std::optional<std::string>& promptString) {
    const Dictionary status = device ? device->status() : Dictionary();
    const std::string* type = lookup(status[DRDeviceMediaInfoKey], DRDeviceMediaTypeKey).text();
    if (type && (*type == DRDeviceMediaTypeCDR || *type == DRDeviceMediaTypeCDRW)) {
        return true;
    }
    promptString = kNotWritableCDPrompt;
    return false;
}

void VXBurn::erase() {
    startCall();
    // The handler holds the controller weakly: a controller that is gone hears nothing.
    std::weak_ptr<Object> weak = weakSelf();
    NotificationCenter::defaultCenter().addObserver(
        this, std::string(DREraseProgressPanelDidFinishNotification), nullptr,
        [weak](const Notification& notice) {
            if (auto controller = std::static_pointer_cast<VXBurn>(weak.lock())) {
                controller->eraseCompleted(&notice);
            }
        });
    eraseCompleted(nullptr);
}

void VXBurn::eraseCompleted(const Notification*) {
    auto setupPanel = DREraseSetupPanel::setupPanel();
    setupPanel->setDelegate(strongSelf());
    if (setupPanel->runSetupPanel() != DRSetupPanel::kConfirmed) {
        lastCall_ = {CallOutcome::Kind::Cancelled, "The erase was cancelled."};
        return;
    }
    lastCall_ = {CallOutcome::Kind::Began, {}};
    auto progressPanel = DREraseProgressPanel::progressPanel();
    progressPanel->setDelegate(strongSelf());
    progressPanel->beginProgressPanelForErase(setupPanel->eraseObject());
}

bool VXBurn::eraseDidFinish(DREraseProgressPanel&, const std::shared_ptr<DRErase>& erase) {
    const Dictionary status = erase ? erase->status() : Dictionary();
    if (DROperation::hasFailed(status)) {
        Log::write("The erase failed (%@)!", {errorText(status)});
    } else {
        Log::write("Erase finished fine");
    }
    return true;
}

}  // namespace kilnware
