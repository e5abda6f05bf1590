#pragma once

#include <QMainWindow>

#include "Project.h"

class QLabel;
class QPushButton;
class QTabWidget;

namespace kilnware::desktop {

class AudioPage;
class DiscDialog;
class ErasePage;
class FilesPage;
class ImagePage;
class Library;
class ProgressDialog;
class ProjectPage;
class RecorderList;
class SetupDialog;
class VideoPage;

// The program's window: the recorders with their live snapshots on one side, the projects (one
// page for each kind of disc) on the other, and Burn. The setup and progress panels are dialogs
// over it.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(Library& library, QWidget* parent = nullptr);

    // Opens a project as the command line names it: its page, with its files.
    void openProject(Project::Kind kind, const QStringList& paths);
    ProjectPage* currentPage() const;
    // Whether the recorders have been listed and the project measured: what a picture shows.
    bool settled() const;
    // Asks for a file and adds a libburn pseudo-drive over it (File > Add Disc Image File as
    // Recorder).
    void addImageFileRecorder();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void burn();
    void pageChanged();
    void recordersChanged(const QVector<Recorder>& recorders,
                          const ImageRecorderSettings& imageRecorder);
    void setupRequested(const SetupRequest& request);
    void showSetup();
    void finished(const Outcome& outcome);

    Library& library_;
    RecorderList* recorders_;
    QTabWidget* pages_;
    AudioPage* audio_;
    FilesPage* mp3_;
    FilesPage* data_;
    VideoPage* video_;
    ImagePage* image_;
    ErasePage* erase_;
    QLabel* status_;
    QPushButton* burn_;
    SetupDialog* setup_;
    ProgressDialog* progress_;
    DiscDialog* disc_;
    std::optional<SetupRequest> pendingSetup_;  // waits until the last result is read
    bool quitWhenDone_ = false;
    bool recordersListed_ = false;
};

}  // namespace kilnware::desktop
