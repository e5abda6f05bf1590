#include <kilnware/platform/panels/Panels.h>

#include <mutex>

#include <kilnware/platform/discrecording/DRKeys.h>
#include <kilnware/platform/foundation/RunLoop.h>

namespace kilnware::platform {

namespace {
std::mutex& answererMutex() {
    static std::mutex mutex;
    return mutex;
}
std::shared_ptr<PanelAnswerer>& currentAnswerer() {
    static std::shared_ptr<PanelAnswerer> answerer;
    return answerer;
}

}  // namespace

DRSetupPanelDelegate::~DRSetupPanelDelegate() = default;
bool DRSetupPanelDelegate::deviceCouldBeTarget(DRSetupPanel&, const std::shared_ptr<DRDevice>&) {
    return true;
}
bool DRSetupPanelDelegate::deviceContainsSuitableMedia(DRSetupPanel&,
                                                       const std::shared_ptr<DRDevice>&,
                                                       std::optional<std::string>&) {
    return true;
}

DRBurnProgressPanelDelegate::~DRBurnProgressPanelDelegate() = default;
void DRBurnProgressPanelDelegate::burnProgressPanelWillBegin(const Notification&) {}
bool DRBurnProgressPanelDelegate::burnDidFinish(DRBurnProgressPanel&,
                                                const std::shared_ptr<DRBurn>&) {
    return false;
}
void DRBurnProgressPanelDelegate::burnProgressPanelDidFinish(const Notification&) {}

DREraseProgressPanelDelegate::~DREraseProgressPanelDelegate() = default;
void DREraseProgressPanelDelegate::eraseProgressPanelWillBegin(const Notification&) {}
bool DREraseProgressPanelDelegate::eraseDidFinish(DREraseProgressPanel&,
                                                  const std::shared_ptr<DRErase>&) {
    return false;
}
void DREraseProgressPanelDelegate::eraseProgressPanelDidFinish(const Notification&) {}

PanelAnswerer::~PanelAnswerer() = default;
void PanelAnswerer::progressPanelBegan(DRProgressPanel&) {}
void PanelAnswerer::progressPanelUpdated(DRProgressPanel&, const Dictionary&) {}
void PanelAnswerer::progressPanelPresentResult(DRProgressPanel&, const Dictionary&) {}
void PanelAnswerer::progressPanelClosed(DRProgressPanel&) {}

void Panels::setAnswerer(std::shared_ptr<PanelAnswerer> answerer) {
    std::lock_guard lock(answererMutex());
    currentAnswerer() = std::move(answerer);
}

std::shared_ptr<PanelAnswerer> Panels::answerer() {
    std::lock_guard lock(answererMutex());
    return currentAnswerer();
}

// Setup panels.

std::vector<DeviceChoice> DRSetupPanel::deviceChoices() {
    std::vector<DeviceChoice> choices;
    auto delegate = delegate_.lock();
    DRSetupPanelDelegate fallback;  // without a delegate every recorder and medium will do
    DRSetupPanelDelegate& asked = delegate ? *delegate : fallback;
    for (const auto& device : DRDevice::devices()) {
        DeviceChoice choice;
        choice.device = device;
        // A recorder that cannot be used (a drive the user may not open) says why itself.
        if (auto why = device->status()[DRDeviceUnavailableReasonKey].textValue()) {
            choice.prompt = std::move(why);
            choices.push_back(std::move(choice));
            continue;
        }
        choice.couldBeTarget = asked.deviceCouldBeTarget(*this, device);
        if (choice.couldBeTarget) {
            choice.suitableMedia = asked.deviceContainsSuitableMedia(*this, device, choice.prompt);
        }
        choices.push_back(std::move(choice));
    }
    return choices;
}

void DRSetupPanel::selectInitialDevice() {
    if (initialSelectionMade_) {
        return;
    }
    initialSelectionMade_ = true;
    auto choices = deviceChoices();
    for (const auto& choice : choices) {
        if (choice.selectable()) {
            selected_ = choice.device;
            return;
        }
    }
    if (!choices.empty()) {
        selected_ = choices.front().device;
    }
}

int DRSetupPanel::runSetupPanel() {
    selectInitialDevice();
    auto answerer = Panels::answerer();
    if (!answerer) {
        return kCancelled;
    }
    auto chosen = answerer->runSetupPanel(*this);
    if (!chosen) {
        return kCancelled;
    }
    // As on screen, only a recorder that the delegate accepts can be confirmed.
    for (const auto& choice : deviceChoices()) {
        if (choice.device == chosen && choice.selectable()) {
            selected_ = chosen;
            deviceSelected(chosen);
            return kConfirmed;
        }
    }
    return kCancelled;
}

std::shared_ptr<DRBurnSetupPanel> DRBurnSetupPanel::setupPanel() {
    return std::make_shared<DRBurnSetupPanel>();
}

std::shared_ptr<DRBurn> DRBurnSetupPanel::burnObject() {
    if (!burn_) {
        selectInitialDevice();
        burn_ = DRBurn::burnForDevice(selectedDevice());
    }
    return burn_;
}

void DRBurnSetupPanel::deviceSelected(const std::shared_ptr<DRDevice>& device) {
    burnObject()->setDevice(device);
}

std::shared_ptr<DREraseSetupPanel> DREraseSetupPanel::setupPanel() {
    return std::make_shared<DREraseSetupPanel>();
}

std::shared_ptr<DRErase> DREraseSetupPanel::eraseObject() {
    if (!erase_) {
        selectInitialDevice();
        erase_ = DRErase::eraseForDevice(selectedDevice());
    }
    return erase_;
}

void DREraseSetupPanel::deviceSelected(const std::shared_ptr<DRDevice>& device) {
    eraseObject()->setDevice(device);
}

// Progress panels.

void DRProgressPanel::cancel() {
    if (auto running = operation()) {
        running->abort();
    }
}

const char* DRProgressPanel::noticeName(bool willBegin) const {
    if (kind_ == Kind::Burn) {
        return willBegin ? DRBurnProgressPanelWillBeginNotification
                         : DRBurnProgressPanelDidFinishNotification;
    }
    return willBegin ? DREraseProgressPanelWillBeginNotification
                     : DREraseProgressPanelDidFinishNotification;
}

void DRProgressPanel::begin(std::function<void()> start) {
    // The panel keeps itself alive through its own callbacks until it has closed.
    auto self = selfAs<DRProgressPanel>();
    RunLoop::current()->post([self, start = std::move(start)] {
        Notification willBegin{self->noticeName(true), self, std::nullopt};
        if (auto answerer = Panels::answerer()) {
            answerer->progressPanelBegan(*self);
        }
        self->delegateWillBegin(willBegin);
        NotificationCenter::defaultCenter().post(willBegin);
        self->operation()->setStatusHandler([self](const Dictionary& status) {
            if (DROperation::isFinal(status)) {
                self->finish(status);
            } else if (auto answerer = Panels::answerer()) {
                answerer->progressPanelUpdated(*self, status);
            }
        });
        start();
    });
}

void DRProgressPanel::finish(const Dictionary& status) {
    auto answerer = Panels::answerer();
    const bool handled = delegateDidFinish();
    if (!handled && answerer) {
        answerer->progressPanelPresentResult(*this, status);
    }
    if (answerer) {
        answerer->progressPanelClosed(*this);
    }
    Notification didFinish{noticeName(false), self(), std::nullopt};
    delegateDidClose(didFinish);
    NotificationCenter::defaultCenter().post(didFinish);
}

std::shared_ptr<DRBurnProgressPanel> DRBurnProgressPanel::progressPanel() {
    return std::make_shared<DRBurnProgressPanel>();
}

void DRBurnProgressPanel::beginProgressPanelForBurn(const std::shared_ptr<DRBurn>& burn,
                                                    const Value& layout) {
    if (!burn || begun_) {
        return;  // a panel shows one burn
    }
    begun_ = true;
    burn_ = burn;
    begin([burn, layout] { burn->writeLayout(layout); });
}

void DRBurnProgressPanel::delegateWillBegin(const Notification& notice) {
    if (auto delegate = delegate_.lock()) {
        delegate->burnProgressPanelWillBegin(notice);
    }
}

bool DRBurnProgressPanel::delegateDidFinish() {
    auto delegate = delegate_.lock();
    return delegate && delegate->burnDidFinish(*this, burn_.lock());
}

void DRBurnProgressPanel::delegateDidClose(const Notification& notice) {
    if (auto delegate = delegate_.lock()) {
        delegate->burnProgressPanelDidFinish(notice);
    }
}

std::shared_ptr<DREraseProgressPanel> DREraseProgressPanel::progressPanel() {
    return std::make_shared<DREraseProgressPanel>();
}

void DREraseProgressPanel::beginProgressPanelForErase(const std::shared_ptr<DRErase>& erase) {
    if (!erase || begun_) {
        return;
    }
    begun_ = true;
    erase_ = erase;
    begin([erase] { erase->start(); });
}

void DREraseProgressPanel::delegateWillBegin(const Notification& notice) {
    if (auto delegate = delegate_.lock()) {
        delegate->eraseProgressPanelWillBegin(notice);
    }
}

bool DREraseProgressPanel::delegateDidFinish() {
    auto delegate = delegate_.lock();
    return delegate && delegate->eraseDidFinish(*this, erase_.lock());
}

void DREraseProgressPanel::delegateDidClose(const Notification& notice) {
    if (auto delegate = delegate_.lock()) {
        delegate->eraseProgressPanelDidFinish(notice);
    }
}

}  // namespace kilnware::platform
