#include "Library.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <future>

#include <kilnware/Kilnware.h>
#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRDiscContents.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include <kilnware/platform/engines/libburn/LibburnEngine.h>
#include <kilnware/platform/engines/virtual/ImageRecorder.h>
#include <kilnware/platform/foundation/RunLoop.h>
#include <kilnware/platform/foundation/Task.h>

#include "DesktopBurn.h"
#include "Medium.h"

namespace kilnware::desktop {

using namespace platform;

namespace {

QString qText(const std::string& text) {
    return QString::fromStdString(text);
}

QString qText(const std::optional<std::string>& text) {
    return text ? QString::fromStdString(*text) : QString();
}

std::optional<std::string> optionalText(const QString& text) {
    return text.isEmpty() ? std::nullopt : std::optional(text.toStdString());
}

quintptr idOf(const DRDevice* device) {
    return reinterpret_cast<quintptr>(device);
}

// Kilobytes a second of 1x on the medium a recorder's status describes: CD, DVD or BD.
double kilobytesPer1x(const Dictionary& status) {
    const auto mediaClass = lookup(status[DRDeviceMediaInfoKey], DRDeviceMediaClassKey).textValue();
    if (mediaClass == DRDeviceMediaClassBD) {
        return 4495.625;
    }
    if (mediaClass == DRDeviceMediaClassDVD) {
        return 1385.0;
    }
    return 176.4;
}

QString phaseOf(const Dictionary& status) {
    const auto state = status[DRStatusStateKey].textValue().value_or("");
    const auto track = status[DRStatusCurrentTrackKey].uint64Value();
    const auto tracks = status[DRStatusTotalTracksKey].uint64Value();
    if (state == DRStatusStateTrackWrite || state == DRStatusStateTrackOpen) {
        return tracks > 1 ? QCoreApplication::translate("Library", "Writing track %1 of %2")
                                .arg(track)
                                .arg(tracks)
                          : QCoreApplication::translate("Library", "Writing");
    }
    if (state == DRStatusStateTrackClose || state == DRStatusStateSessionClose ||
        state == DRStatusStateFinishing) {
        return QCoreApplication::translate("Library", "Finishing");
    }
    if (state == DRStatusStateVerifying) {
        return QCoreApplication::translate("Library", "Verifying");
    }
    if (state == DRStatusStateErasing) {
        return QCoreApplication::translate("Library", "Erasing");
    }
    if (state == DRStatusStateDone) {
        return QCoreApplication::translate("Library", "Done");
    }
    if (state == DRStatusStateFailed) {
        return QCoreApplication::translate("Library", "Stopped");
    }
    return QCoreApplication::translate("Library", "Preparing");
}

// How a call ended that started no burn: cancelled, or refused with a reason.
Outcome noBurn(Outcome::Kind kind, bool erase, const QString& reason = QString()) {
    Outcome outcome;
    outcome.kind = kind;
    outcome.erase = erase;
    outcome.reason = reason;
    return outcome;
}

// Whether the medium is being written: from here on a cancel may leave it unusable.
bool writing(const Dictionary& status) {
    const auto state = status[DRStatusStateKey].textValue().value_or("");
    return state == DRStatusStateTrackOpen || state == DRStatusStateTrackWrite ||
           state == DRStatusStateTrackClose || state == DRStatusStateSessionClose ||
           state == DRStatusStateFinishing || state == DRStatusStateErasing;
}

}  // namespace

// The library's side: lives on the library thread, and every member is touched there only but
// the two flags the window sets.
class LibraryThread : public QObject {
public:
    explicit LibraryThread(Library& owner) : owner_(owner) {}

    std::atomic<bool> cancelRequested{false};
    // Whether an entry point prepares its disc (lays it out, runs the video DVD's tools) before
    // its setup panel: a tool it waits for then is ended at once by a cancel.
    std::atomic<bool> preparing{false};

    void start(const QString& imageFolder);
    void stop();
    void burn(const Project& project);
    void answerSetup(const SetupAnswer& answer);
    void cancelProgress();
    void eject(quintptr recorder);
    void useMedium(quintptr recorder, MediumUse use);
    void readDisc(quintptr recorder, bool check);
    void addImageFileRecorder(const QString& path);
    void setImageRecorder(const ImageRecorderSettings& settings);
    void measureAudio(const QStringList& paths);
    void measureLayout(int generation, const Project& project);

    // The panels, as the library runs them on this thread.
    std::shared_ptr<DRDevice> runSetupPanel(DRSetupPanel& panel);
    void progressBegan(DRProgressPanel& panel);
    void progressUpdated(const Dictionary& status);
    void progressClosed(DRProgressPanel& panel);

private:
    std::shared_ptr<DRDevice> deviceWithId(quintptr recorder) const;
    // Runs what the library's run loop has ready and waits for its next timer.
    void drive();
    void publishRecorders();
    ImageRecorderSettings imageRecorderSettings() const;
    SetupRequest setupRequest(DRSetupPanel& panel) const;
    // Sets on the burn or erase the panel is about to start what the user chose.
    void applyChoices(DRSetupPanel& panel, const DRDevice& device, const SetupAnswer& answer);
    void startProject(const Project& project);
    void finish(Outcome outcome);
    template <typename Signal, typename... Arguments>
    void tell(Signal signal, Arguments... arguments) {
        owner_.toWindow_.post(
            [owner = &owner_, signal, arguments...] { (owner->*signal)(arguments...); });
    }

    Library& owner_;
    std::shared_ptr<RunLoop> loop_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* timer_ = nullptr;
    std::shared_ptr<ImageRecorderEngine> imageEngine_;
    std::shared_ptr<LibburnEngine> libburnEngine_;
    std::shared_ptr<VXDevice> monitor_;
    std::shared_ptr<DesktopBurn> burnController_;
    std::shared_ptr<DesktopBurn> eraseController_;
    std::shared_ptr<PanelAnswerer> panels_;

    Project project_;
    List records_;  // the audio CD's track info list, which the library rewrites in place
    std::shared_ptr<DRCDTextBlock> cueText_;
    std::optional<std::string> refusal_;  // why this thread closed the setup panel itself

    DRSetupPanel* setupPanel_ = nullptr;
    bool setupAgain_ = false;
    QEventLoop* setupLoop_ = nullptr;
    std::optional<SetupAnswer> answer_;
    std::size_t eraseShowings_ = 0;
    DRProgressPanel* progressPanel_ = nullptr;
    std::size_t blockBytes_ = 2048;
};

namespace {

// The library's panels, answered by the window through the library thread.
class DialogPanels : public PanelAnswerer {
public:
    explicit DialogPanels(LibraryThread& thread) : thread_(thread) {}
    std::shared_ptr<DRDevice> runSetupPanel(DRSetupPanel& panel) override {
        return thread_.runSetupPanel(panel);
    }
    void progressPanelBegan(DRProgressPanel& panel) override { thread_.progressBegan(panel); }
    void progressPanelUpdated(DRProgressPanel&, const Dictionary& status) override {
        thread_.progressUpdated(status);
    }
    void progressPanelClosed(DRProgressPanel& panel) override { thread_.progressClosed(panel); }

private:
    LibraryThread& thread_;
};

// libburn knows no disc type for a pseudo-drive's medium: it is the file that is written.
QString mediumType(const DRDevice& device, const VXDevice::Snapshot& snapshot) {
    return hosts::ContentPolicy::pseudoDrive(device) ? QStringLiteral("File")
                                                     : qText(snapshot.mediaType);
}

}  // namespace

void LibraryThread::start(const QString& imageFolder) {
    // This thread runs the library: its run loop is the main one.
    loop_ = RunLoop::current();
    notifier_ = new QSocketNotifier(loop_->readyDescriptor(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { drive(); });
    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    timer_->setTimerType(Qt::PreciseTimer);
    connect(timer_, &QTimer::timeout, this, [this] { drive(); });

    panels_ = std::make_shared<DialogPanels>(*this);
    Panels::setAnswerer(panels_);
    QDir().mkpath(imageFolder);
    imageEngine_ = std::make_shared<ImageRecorderEngine>(imageFolder.toStdString());
    libburnEngine_ = std::make_shared<LibburnEngine>();
    Engine::install(libburnEngine_);
    Engine::install(imageEngine_);
    monitor_ = std::make_shared<VXDevice>();
    NotificationCenter::defaultCenter().addObserver(
        this, std::string(UpDateDeviceInfo), monitor_.get(),
        [this](const Notification&) { publishRecorders(); });
    burnController_ = std::make_shared<DesktopBurn>();
    drive();
}

void LibraryThread::stop() {
    cancelRequested = true;
    if (setupLoop_) {
        setupLoop_->quit();
    }
    if (progressPanel_) {
        progressPanel_->cancel();
    }
    NotificationCenter::defaultCenter().removeObserver(this);
    monitor_.reset();
    Engine::stopAll();
    Panels::setAnswerer(nullptr);
    burnController_.reset();
    eraseController_.reset();
    delete notifier_;
    notifier_ = nullptr;
    delete timer_;
    timer_ = nullptr;
}

void LibraryThread::drive() {
    if (!loop_ || !timer_) {
        return;
    }
    const auto next = loop_->runReady();
    if (!timer_) {
        return;  // stopped by the work it ran
    }
    if (next) {
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(*next - RunLoop::Clock::now());
        timer_->start(static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, 1 << 30)));
    } else {
        timer_->stop();
    }
}

ImageRecorderSettings LibraryThread::imageRecorderSettings() const {
    const auto& recorder = imageEngine_->recorder();
    const auto names = ImageRecorder::mediumNames();
    const auto index = static_cast<std::size_t>(recorder->medium());
    return {index < names.size() ? qText(names[index]) : QString(),
            qText(recorder->outputFolder())};
}

void LibraryThread::publishRecorders() {
    QVector<Recorder> recorders;
    for (const auto& device : monitor_->deviceList) {
        const VXDevice::Snapshot snapshot = VXDevice::snapshotOf(*device);
        Recorder recorder;
        recorder.id = idOf(device.get());
        recorder.name = qText(snapshot.deviceName);
        recorder.connection = qText(snapshot.connection);
        recorder.mediaType = mediumType(*device, snapshot);
        recorder.mediaPresent = snapshot.mediaPresent;
        recorder.busy = snapshot.deviceIsBusy;
        recorder.erasable = snapshot.mediaIsEarsable;
        recorder.imageRecorder = device == imageEngine_->recorder();
        // A drive the user may not open is shown with the reason.
        const Dictionary status = device->status();
        recorder.unavailable = qText(status[DRDeviceUnavailableReasonKey].textValue());
        recorder.holds = qText(hosts::Medium(status[DRDeviceMediaInfoKey]).holdings());
        recorder.free = qText(snapshot.blocksFreeText);
        recorder.used = qText(snapshot.blocksUsedText);
        const hosts::Capacity capacity = hosts::capacityOf(snapshot);
        recorder.total = qText(capacity.size);
        recorder.freeTime = qText(snapshot.mediaFreeTime);
        recorder.usedTime = qText(snapshot.mediaUsedTime);
        recorder.totalTime = qText(capacity.time);
        recorder.blocksUsed = snapshot.blocksUsed;
        recorder.blocksTotal = capacity.blocks;
        recorders.push_back(recorder);
    }
    tell(&Library::recordersChanged, recorders, imageRecorderSettings());
    // A setup panel that runs shows the verdicts on the media as they are now.
    if (setupPanel_) {
        tell(&Library::setupRequested, setupRequest(*setupPanel_));
    }
}

void LibraryThread::burn(const Project& project) {
    project_ = project;
    refusal_.reset();
    cueText_.reset();
    eraseShowings_ = 0;
    if (cancelRequested) {
        finish(noBurn(Outcome::Kind::Cancelled, project.kind == Project::Kind::Erase));
        return;
    }
    preparing = true;
    startProject(project);
    preparing = false;
    const VXBurn& controller =
        project.kind == Project::Kind::Erase ? *eraseController_ : *burnController_;
    const VXBurn::CallOutcome& call = controller.lastCall();
    const bool erase = project.kind == Project::Kind::Erase;
    if (refusal_) {
        finish(noBurn(Outcome::Kind::Refused, erase, qText(*refusal_)));
    } else if (call.kind == VXBurn::CallOutcome::Kind::Refused) {
        finish(noBurn(Outcome::Kind::Refused, erase, qText(call.reason)));
    } else if (call.kind != VXBurn::CallOutcome::Kind::Began) {
        finish(noBurn(Outcome::Kind::Cancelled, erase));
    }
    // A burn that began tells its outcome when its progress panel closes.
}

void LibraryThread::startProject(const Project& project) {
    std::vector<std::string> paths;
    for (const QString& path : project.paths) {
        paths.push_back(path.toStdString());
    }
    burnController_->setAudio(project.kind == Project::Kind::Audio);
    // What is done with a disc that holds data is chosen in the setup dialog, recorder by
    // recorder; sessions are for data discs and MP3 CDs.
    const bool sessions = project.kind == Project::Kind::Data || project.kind == Project::Kind::Mp3;
    burnController_->content().setRequest({.replace = sessions && project.replaceFiles,
                                           .close = !project.leaveOpen,
                                           .sessions = sessions});
    switch (project.kind) {
        case Project::Kind::Audio: {
            records_.clear();
            paths.clear();
            for (const auto& track : project.tracks) {
                paths.push_back(track.path.toStdString());
                auto record = std::make_shared<TrackInfoClass>();
                record->setM_Title(track.title.toStdString());
                record->setM_Author(optionalText(track.performer));
                record->setM_PreGap(track.preGap);
                records_.emplace_back(record);
            }
            burnController_->burnToAudioCD(paths, &records_);
            break;
        }
        case Project::Kind::Mp3:
            burnController_->burnToMp3CD(paths, optionalText(project.title), project.verify);
            break;
        case Project::Kind::Data:
            burnController_->burnDataToDisc(paths, optionalText(project.title), project.fileSystem);
            break;
        case Project::Kind::Video:
            burnController_->BurnToVideoDVD(paths, optionalText(project.title));
            break;
        case Project::Kind::VideoTs:
            burnController_->BurnTsFolderToDVD(
                paths.empty() ? std::nullopt : std::optional(paths.front()),
                optionalText(project.title));
            break;
        case Project::Kind::Image: {
            const std::string path = paths.empty() ? std::string() : paths.front();
            Value layout;
            std::string why;
            if (QFileInfo(qText(path)).suffix().compare("cue", Qt::CaseInsensitive) == 0) {
                if (auto cue = DRBurn::layoutForCueSheet(path, why)) {
                    layout = cue->layout;
                    cueText_ = cue->cdText;
                }
            } else if (auto track = DRBurn::layoutForImageFile(path, why)) {
                layout = Value(track);
            }
            if (layout.isNone()) {
                refusal_ = why;
                return;
            }
            burnController_->burnLayout(layout, "Burn Disc Image");
            break;
        }
        case Project::Kind::Erase:
            // A controller of its own for every erase: each erase() registers for the erase panel's
            // notice for the controller's life, and the setup panel comes back once per
            // registration.
            eraseController_ = std::make_shared<DesktopBurn>();
            eraseController_->erase();
            break;
    }
}

SetupRequest LibraryThread::setupRequest(DRSetupPanel& panel) const {
    SetupRequest request;
    request.erase = panel.kind() == DRSetupPanel::Kind::Erase;
    request.again = setupAgain_;
    request.imageRecorder = imageRecorderSettings();
    for (const auto& choice : panel.deviceChoices()) {
        SetupChoice shown;
        shown.id = idOf(choice.device.get());
        shown.name = qText(choice.device->displayName());
        shown.selectable = choice.selectable();
        shown.prompt = choice.selectable() ? QString()
                       : choice.prompt     ? qText(*choice.prompt)
                                           : QCoreApplication::translate(
                                                 "Library", "This recorder cannot be used.");
        shown.imageRecorder = choice.device == imageEngine_->recorder();
        const auto snapshot = VXDevice::snapshotOf(*choice.device);
        shown.mediaPresent = snapshot.mediaPresent;
        shown.mediaType = mediumType(*choice.device, snapshot);
        shown.free = qText(snapshot.blocksFreeText);
        shown.freeTime = qText(snapshot.mediaFreeTime);
        const Dictionary status = choice.device->status();
        if (!request.erase && snapshot.mediaPresent) {
            using hosts::ContentPolicy;
            const hosts::Medium medium(status[DRDeviceMediaInfoKey]);
            const ContentPolicy& content = burnController_->content();
            if (medium.holdsData()) {
                shown.holds = qText(medium.holdings());
                shown.canOverwrite = ContentPolicy::rewritable(medium);
                shown.canAppend = ContentPolicy::continuable(medium) && content.request().sessions;
                shown.use = content.appending(*choice.device)          ? MediumUse::AddSession
                            : content.overwriteAllowed(*choice.device) ? MediumUse::WriteOver
                                                                       : MediumUse::AsItIs;
            }
        }
        if (const List* speeds = status[DRDeviceBurnSpeedsKey].list()) {
            for (const Value& kilobytes : *speeds) {
                shown.speeds.push_back(
                    std::round(kilobytes.doubleValue() / kilobytesPer1x(status) * 10) / 10);
            }
        }
        request.choices.push_back(shown);
    }
    const auto selected = panel.selectedDevice();
    request.proposed = idOf(selected.get());
    return request;
}

std::shared_ptr<DRDevice> LibraryThread::runSetupPanel(DRSetupPanel& panel) {
    preparing = false;
    const bool erase = panel.kind() == DRSetupPanel::Kind::Erase;
    setupAgain_ = erase && eraseShowings_++ > 0;
    if (cancelRequested && !setupAgain_) {
        return nullptr;
    }
    cancelRequested = false;
    // The layout falls short (an audio file that gives no track): say why instead of burning
    // what is left.
    if (!erase && burnController_->layoutProblem()) {
        refusal_ = burnController_->layoutProblem();
        return nullptr;
    }
    setupPanel_ = &panel;
    answer_.reset();
    tell(&Library::setupRequested, setupRequest(panel));
    QEventLoop wait;
    setupLoop_ = &wait;
    wait.exec();
    setupLoop_ = nullptr;
    setupPanel_ = nullptr;
    if (!answer_ || answer_->recorder == 0 || cancelRequested) {
        return nullptr;
    }
    for (const auto& choice : panel.deviceChoices()) {
        if (idOf(choice.device.get()) == answer_->recorder && choice.selectable()) {
            applyChoices(panel, *choice.device, *answer_);
            return choice.device;
        }
    }
    return nullptr;
}

void LibraryThread::applyChoices(DRSetupPanel& panel, const DRDevice& device,
                                 const SetupAnswer& answer) {
    if (panel.kind() == DRSetupPanel::Kind::Erase) {
        static_cast<DREraseSetupPanel&>(panel).eraseObject()->setEraseType(
            project_.fullErase ? DREraseTypeComplete : DREraseTypeQuick);
        return;
    }
    auto burn = static_cast<DRBurnSetupPanel&>(panel).burnObject();
    Dictionary properties = burn->properties();
    if (answer.speed > 0) {
        properties.set(DRBurnRequestedSpeedKey, answer.speed * kilobytesPer1x(device.status()));
    }
    properties.set(DRBurnTestingKey, answer.simulate);
    if (cueText_) {
        properties.set(DRCDTextKey, Value(cueText_));
    }
    burn->setProperties(std::move(properties));
    burnController_->content().applyTo(*burn, device);
    if (project_.kind == Project::Kind::Image) {
        burn->setVerifyDisc(project_.verify);
    }
    if (project_.kind == Project::Kind::Audio && project_.cdText) {
        // CD-Text as a host gives it: a list whose disc dictionary enables it.
        List cdText;
        Dictionary disc;
        disc.set(VXDiscCDTextEnabled, true);
        disc.set(DRCDTextTitleKey, project_.title.toStdString());
        if (!project_.performer.isEmpty()) {
            disc.set(DRCDTextPerformerKey, project_.performer.toStdString());
        }
        cdText.emplace_back(std::move(disc));
        for (const auto& track : project_.tracks) {
            Dictionary values;
            values.set(DRCDTextTitleKey, track.title.toStdString());
            if (!track.performer.isEmpty()) {
                values.set(DRCDTextPerformerKey, track.performer.toStdString());
            }
            cdText.emplace_back(std::move(values));
        }
        burnController_->setBurnProperties(burn, &cdText);
    }
}

void LibraryThread::answerSetup(const SetupAnswer& answer) {
    answer_ = answer;
    if (setupLoop_) {
        setupLoop_->quit();
    }
}

void LibraryThread::cancelProgress() {
    if (setupLoop_) {
        answer_.reset();
        setupLoop_->quit();
    }
    if (progressPanel_) {
        progressPanel_->cancel();
    }
}

void LibraryThread::progressBegan(DRProgressPanel& panel) {
    progressPanel_ = &panel;
    owner_.busy_ = true;
    const bool erase = panel.kind() == DRProgressPanel::Kind::Erase;
    blockBytes_ =
        project_.kind == Project::Kind::Audio ? DRTrack::kAudioBlockSize : DRTrack::kDataBlockSize;
    tell(&Library::progressBegan,
         erase ? QCoreApplication::translate("Library", "Erase Disc") : qText(panel.description()),
         erase);
    if (cancelRequested) {
        panel.cancel();
    }
}

void LibraryThread::progressUpdated(const Dictionary& status) {
    Progress progress;
    progress.phase = phaseOf(status);
    progress.fraction = status[DRStatusPercentCompleteKey].doubleValue();
    progress.bytesDone = status[DRStatusBlocksWrittenKey].uint64Value() * blockBytes_;
    progress.bytesTotal = status[DRStatusBlocksToWriteKey].uint64Value() * blockBytes_;
    progress.speed = status[DRStatusCurrentSpeedMultipleKey].doubleValue();
    progress.writing = writing(status);
    tell(&Library::progressUpdated, progress);
}

void LibraryThread::progressClosed(DRProgressPanel& panel) {
    progressPanel_ = nullptr;
    const auto operation = panel.operation();
    const Dictionary status = operation ? operation->status() : Dictionary();
    const auto device = operation ? operation->device() : nullptr;
    Outcome outcome;
    outcome.erase = panel.kind() == DRProgressPanel::Kind::Erase;
    outcome.recorder = device ? qText(device->displayName()) : QString();
    if (!DROperation::hasFailed(status)) {
        outcome.kind = Outcome::Kind::Done;
        if (!outcome.erase && device == imageEngine_->recorder()) {
            for (const auto& file : imageEngine_->recorder()->lastImageFiles()) {
                outcome.files.push_back(qText(file));
            }
        }
    } else if (DROperation::wasCancelled(status)) {
        outcome.kind = Outcome::Kind::Cancelled;
    } else {
        outcome.kind = Outcome::Kind::Failed;
        // The controller's words for a burn; the engine's for an erase.
        std::optional<std::string> reason =
            outcome.erase ? std::nullopt : burnController_->lastBurnError();
        outcome.reason = qText(reason ? reason : DROperation::errorText(status));
    }
    finish(outcome);
}

void LibraryThread::finish(Outcome outcome) {
    cancelRequested = false;
    owner_.busy_ = false;
    tell(&Library::finished, outcome);
}

std::shared_ptr<DRDevice> LibraryThread::deviceWithId(quintptr recorder) const {
    for (const auto& device : DRDevice::devices()) {
        if (idOf(device.get()) == recorder) {
            return device;
        }
    }
    return nullptr;
}

void LibraryThread::eject(quintptr recorder) {
    if (const auto device = deviceWithId(recorder)) {
        device->ejectMedia();
    }
}

void LibraryThread::useMedium(quintptr recorder, MediumUse use) {
    const auto device = deviceWithId(recorder);
    if (!device) {
        return;
    }
    auto& content = burnController_->content();
    if (use == MediumUse::WriteOver) {
        content.allowOverwrite(*device);
    } else if (use == MediumUse::AddSession) {
        content.allowAppend(*device);
    }
    if (setupPanel_) {
        tell(&Library::setupRequested, setupRequest(*setupPanel_));
    }
}

namespace {

// The files of the newest session, each folder before what it holds. A folder at a time from a
// list of those still to read, not by recursion: a disc's tree may be as deep as its maker made it.
void listDisc(DRDiscContents& contents, DiscReading& reading, std::string& error) {
    constexpr qsizetype kMostEntries = 100'000;  // a listing for a person, not an archive
    std::vector<std::string> folders{"/"};
    while (!folders.empty()) {
        const std::string path = std::move(folders.back());
        folders.pop_back();
        const auto entries = contents.list(path, error);
        if (!entries) {
            return;
        }
        for (const auto& entry : *entries) {
            if (reading.entries.size() >= kMostEntries) {
                return;
            }
            const std::string child = (path == "/" ? path : path + "/") + entry.name;
            reading.entries.push_back(
                {qText(child), entry.folder, entry.size, static_cast<qint64>(entry.modified)});
            if (entry.folder) {
                folders.push_back(child);
            }
        }
    }
}

// A session's verdict, as a person reads it.
QString sessionWords(const DRDiscContents::Session& session) {
    using State = DRDiscContents::Session::State;
    const QString blocks = QCoreApplication::translate("Library", "Session %1 (blocks %2 to %3)")
                               .arg(session.number)
                               .arg(session.start)
                               .arg(session.start + session.length - 1);
    if (session.state == State::Intact) {
        return QCoreApplication::translate("Library", "%1: intact.").arg(blocks);
    }
    if (session.state == State::NoChecksums) {
        return QCoreApplication::translate("Library",
                                           "%1: not checked, it was written without checksums.")
            .arg(blocks);
    }
    QStringList files;
    for (const auto& [file, block] : session.files) {
        files << QCoreApplication::translate("Library", "%1 (from block %2)")
                     .arg(qText(file))
                     .arg(block);
    }
    const QString where =
        session.unreadable ? QCoreApplication::translate(
                                 "Library", "%1: damaged from block %2 (%3), which cannot be read.")
                           : QCoreApplication::translate(
                                 "Library",
                                 "%1: damaged from block %2 (%3), which reads back otherwise than "
                                 "written.");
    QString words = where.arg(blocks).arg(session.damagedFrom).arg(qText(session.part));
    if (!files.isEmpty()) {
        words += QLatin1Char(' ') + QCoreApplication::translate("Library", "Files damaged: %1.")
                                        .arg(files.join(QStringLiteral(", ")));
    }
    return words;
}

}  // namespace

void LibraryThread::readDisc(quintptr recorder, bool check) {
    DiscReading reading;
    reading.recorder = recorder;
    reading.check = check;
    const auto device = deviceWithId(recorder);
    std::string error;
    if (!device) {
        error = QCoreApplication::translate("Library", "The recorder is gone.").toStdString();
    } else {
        reading.name = qText(device->displayName());
        // The recorder is busy while it is read: the others' snapshots say so.
        if (auto contents = device->contents(error)) {
            publishRecorders();
            if (!check) {
                listDisc(*contents, reading, error);
            } else {
                int shown = -1;
                const auto sessions = contents->check(
                    [&](std::uint64_t done, std::uint64_t total) {
                        const int percent = total ? static_cast<int>(done * 100 / total) : 100;
                        if (percent != shown) {
                            shown = percent;
                            tell(&Library::checkProgress, percent / 100.0);
                        }
                        return !owner_.stopReading_;
                    },
                    error);
                for (std::size_t i = 0; sessions && i < sessions->size(); ++i) {
                    const auto& session = (*sessions)[i];
                    reading.damaged =
                        reading.damaged || session.state == DRDiscContents::Session::State::Damaged;
                    reading.sessions << sessionWords(session);
                }
            }
        }
    }
    owner_.stopReading_ = false;
    reading.error = qText(error);
    tell(&Library::discRead, reading);
    publishRecorders();
}

void LibraryThread::addImageFileRecorder(const QString& path) {
    if (!libburnEngine_->addRecorder("stdio:" + QFileInfo(path).absoluteFilePath().toStdString())) {
        tell(&Library::recorderNotAdded,
             QCoreApplication::translate("Library",
                                         "%1 cannot be used as a recorder: libburn "
                                         "cannot write it.")
                 .arg(path));
    }
}

void LibraryThread::setImageRecorder(const ImageRecorderSettings& settings) {
    const auto& recorder = imageEngine_->recorder();
    if (!settings.folder.isEmpty()) {
        QDir().mkpath(settings.folder);
        recorder->setOutputFolder(settings.folder.toStdString());
    }
    if (auto medium = ImageRecorder::mediumNamed(settings.medium.toStdString())) {
        recorder->setMedium(*medium);
    }
    publishRecorders();
    // A setup panel that runs shows the new verdicts.
    if (setupPanel_) {
        tell(&Library::setupRequested, setupRequest(*setupPanel_));
    }
}

void LibraryThread::measureAudio(const QStringList& paths) {
    for (const QString& path : paths) {
        AudioFile file;
        file.path = path;
        std::string why;
        if (auto track = DRTrack::trackForAudioFile(path.toStdString(), why)) {
            file.usable = true;
            file.frames = track->estimateLength();  // one frame a block of CD audio
            const Dictionary tags = DRTrack::tagsForAudioFile(path.toStdString());
            file.title = qText(tags[DRCDTextTitleKey].textValue());
            file.performer = qText(tags[DRCDTextPerformerKey].textValue());
            file.album = qText(tags[DRAudioAlbumKey].textValue());
        } else {
            file.why = qText(why);
        }
        tell(&Library::audioMeasured, file);
    }
}

void LibraryThread::measureLayout(int generation, const Project& project) {
    LayoutSize size;
    size.generation = generation;
    std::vector<std::string> paths;
    for (const QString& path : project.paths) {
        paths.push_back(path.toStdString());
    }
    std::string why;
    Value layout;
    if (project.kind == Project::Kind::Mp3) {
        auto builder = std::make_shared<VXAdd>();
        if (auto tracks = builder->discAddMp3Request(paths, optionalText(project.title))) {
            layout = Value(std::move(*tracks));
        } else {
            why = builder->whyNoTrack().value_or("");
        }
    } else if (auto track = VXBurn::dataDiscLayout(paths, optionalText(project.title),
                                                   project.fileSystem, why)) {
        layout = Value(track);
    }
    for (const auto& track : DRBurn::tracksOfLayout(layout)) {
        size.usable = true;
        size.bytes += track->estimateLength() * track->blockSize();
    }
    size.why = qText(why);
    tell(&Library::layoutMeasured, size);
}

Library::Library(const QString& imageFolder, QObject* parent)
    : QObject(parent), worker_(new LibraryThread(*this)) {
    // Before the library thread exists: libburn sets the locale as it starts.
    LibburnEngine::prepare();
    toWindow_.open();
    thread_.setObjectName("kilnware-library");
    worker_->moveToThread(&thread_);
    connect(
        &thread_, &QThread::started, worker_, [this] { toWorker_.open(); }, Qt::DirectConnection);
    toWorker_.post([worker = worker_, imageFolder] { worker->start(imageFolder); });
    thread_.start();
}

Library::~Library() {
    cancel();
    std::promise<void> stopped;
    toWorker_.post([this, &stopped] {
        worker_->stop();
        toWorker_.close();
        stopped.set_value();
    });
    stopped.get_future().wait();
    thread_.quit();
    thread_.wait();
    delete worker_;
}

void Library::burn(const Project& project) {
    busy_ = true;
    worker_->cancelRequested = false;
    toWorker_.post([worker = worker_, project] { worker->burn(project); });
}

void Library::cancel() {
    worker_->cancelRequested = true;
    // A tool the library waits for is ended now: the library thread is inside that wait.
    if (worker_->preparing) {
        Task::terminateAll();
    }
    toWorker_.post([worker = worker_] { worker->cancelProgress(); });
}

void Library::answerSetup(const SetupAnswer& answer) {
    toWorker_.post([worker = worker_, answer] { worker->answerSetup(answer); });
}

void Library::eject(quintptr recorder) {
    toWorker_.post([worker = worker_, recorder] { worker->eject(recorder); });
}

void Library::useMedium(quintptr recorder, MediumUse use) {
    toWorker_.post([worker = worker_, recorder, use] { worker->useMedium(recorder, use); });
}

void Library::readDisc(quintptr recorder, bool check) {
    stopReading_ = false;
    toWorker_.post([worker = worker_, recorder, check] { worker->readDisc(recorder, check); });
}

void Library::addImageFileRecorder(const QString& path) {
    toWorker_.post([worker = worker_, path] { worker->addImageFileRecorder(path); });
}

void Library::setImageRecorder(const ImageRecorderSettings& settings) {
    toWorker_.post([worker = worker_, settings] { worker->setImageRecorder(settings); });
}

void Library::measureAudio(const QStringList& paths) {
    toWorker_.post([worker = worker_, paths] { worker->measureAudio(paths); });
}

void Library::measureLayout(int generation, const Project& project) {
    toWorker_.post(
        [worker = worker_, generation, project] { worker->measureLayout(generation, project); });
}

}  // namespace kilnware::desktop
