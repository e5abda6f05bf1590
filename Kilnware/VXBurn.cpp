#include <kilnware/VXBurn.h>

#include <kilnware/Kilnware.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include <kilnware/platform/foundation/Log.h>

namespace kilnware {

using namespace platform;

namespace {
constexpr const char* kNotWritableCDPrompt = "That's not a writable CD!";

bool hasFailed(const Dictionary& status) {
    const std::string* state = status[DRStatusStateKey].text();
    return state && *state == DRStatusStateFailed;
}

// The engine's error text, or a stand-in where the status carries none.
std::string errorText(const Dictionary& status) {
    const Value& text = lookup(status[DRErrorStatusKey], DRErrorStatusErrorStringKey);
    return text.isNone() ? std::string("unknown error") : text.description();
}
}  // namespace

VXBurn::~VXBurn() {
    NotificationCenter::defaultCenter().removeObserver(this);
}

std::shared_ptr<VXBurn> VXBurn::strongSelf() const {
    return std::static_pointer_cast<VXBurn>(self());
}

void VXBurn::burnLayout(const Value& layout, const std::string& description) {
    if (layout.isNone()) {
        Log::write("layout is nil");
        return;
    }
    auto setupPanel = DRBurnSetupPanel::setupPanel();
    setupPanel->setDelegate(strongSelf());
    if (setupPanel->runSetupPanel() != DRSetupPanel::kConfirmed) {
        return;
    }
    auto progressPanel = DRBurnProgressPanel::progressPanel();
    progressPanel->setDelegate(strongSelf());
    progressPanel->setDescription(description);
    progressPanel->beginProgressPanelForBurn(setupPanel->burnObject(), layout);
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
    const Dictionary status = burn ? burn->status() : Dictionary();
    if (hasFailed(status)) {
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
    if (!fm) {
        return;
    }
    for (const std::string* path : {&isoPath, &folderpath, &xmlPath}) {
        if (!path->empty() && fm->fileExistsAtPath(*path)) {
            fm->removeItemAtPath(*path);
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
        return;
    }
    auto progressPanel = DREraseProgressPanel::progressPanel();
    progressPanel->setDelegate(strongSelf());
    progressPanel->beginProgressPanelForErase(setupPanel->eraseObject());
}

bool VXBurn::eraseDidFinish(DREraseProgressPanel&, const std::shared_ptr<DRErase>& erase) {
    const Dictionary status = erase ? erase->status() : Dictionary();
    if (hasFailed(status)) {
        Log::write("The erase failed (%@)!", {errorText(status)});
    } else {
        Log::write("Erase finished fine");
    }
    return true;
}

}  // namespace kilnware
