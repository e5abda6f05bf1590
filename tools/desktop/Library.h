#pragma once

#include <QObject>
#include <QThread>

#include <atomic>

#include "Mailbox.h"
#include "Project.h"

namespace kilnware::desktop {

class LibraryThread;

// The library, on a thread of its own. Its calls wait for what they wait for (the video DVD's
// tools for minutes, a folder's files being laid out, an audio file being measured) on that
// thread, never on the window's: the window sends requests, which return at once, and hears back
// through the signals, on its own thread. Both ways go through a Mailbox.
//
// On its thread the library's run loop is driven by that thread's Qt event loop, through the
// loop's ready descriptor: the engines' reports, the device notices and the panels all arrive
// there. A setup panel asks the window (setupRequested) and waits in an event loop of its own
// for the answer, so that the library thread keeps hearing of recorders meanwhile.
class Library : public QObject {
    Q_OBJECT

public:
    // Starts the thread with every real recorder libburn finds and the image recorder, which
    // writes into `imageFolder`.
    explicit Library(const QString& imageFolder, QObject* parent = nullptr);
    // Cancels what runs and ends the thread.
    ~Library() override;

    // Burns (or erases) the project: the library lays it out, asks for the setup panel, and the
    // outcome arrives as `finished`. One at a time: the window waits for `finished`.
    void burn(const Project& project);
    // Stops what runs now, whatever its step: a tool the video DVD waits for is ended at once, a
    // setup panel that would come up is cancelled, a burn or erase is stopped.
    void cancel();
    void answerSetup(const SetupAnswer& answer);
    void eject(quintptr recorder);
    // What to do with the medium in `recorder`, which holds data: the setup panel that runs asks
    // the controller anew (setupRequested).
    void useMedium(quintptr recorder, MediumUse use);
    // Reads the disc in `recorder` back: its newest session's files, or each session checked
    // (`checkProgress` meanwhile); `discRead` answers.
    void readDisc(quintptr recorder, bool check);
    // Stops a check that runs.
    void stopReading() { stopReading_ = true; }
    // Adds a libburn pseudo-drive over the file at `path` (made when it is not there): a disc
    // image that takes sessions as a disc would. `recorderNotAdded` says why not.
    void addImageFileRecorder(const QString& path);
    // The image recorder's medium (one of the library's short names) and folder.
    void setImageRecorder(const ImageRecorderSettings& settings);
    // Measures audio files for the track table: one `audioMeasured` each, in order.
    void measureAudio(const QStringList& paths);
    // The size of a data disc (or an MP3 CD) of these files: `layoutMeasured` answers.
    void measureLayout(int generation, const Project& project);

    // Whether a burn or erase runs (from `burn` until `finished`).
    bool busy() const { return busy_; }

signals:
    void recordersChanged(const QVector<kilnware::desktop::Recorder>& recorders,
                          const kilnware::desktop::ImageRecorderSettings& imageRecorder);
    // A setup panel runs: answer with answerSetup. It comes again, with fresh verdicts, when the
    // image recorder's medium changes while it runs.
    void setupRequested(const kilnware::desktop::SetupRequest& request);
    void progressBegan(const QString& description, bool erase);
    void progressUpdated(const kilnware::desktop::Progress& progress);
    void finished(const kilnware::desktop::Outcome& outcome);
    void audioMeasured(const kilnware::desktop::AudioFile& file);
    void layoutMeasured(const kilnware::desktop::LayoutSize& size);
    void checkProgress(double fraction);
    void discRead(const kilnware::desktop::DiscReading& reading);
    void recorderNotAdded(const QString& why);

private:
    friend class LibraryThread;
    QThread thread_;
    LibraryThread* worker_;  // lives on thread_
    Mailbox toWorker_, toWindow_;
    std::atomic<bool> busy_{false};
    std::atomic<bool> stopReading_{false};
};

}  // namespace kilnware::desktop
