#include "MainWindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

#include "AudioPage.h"
#include "DiscDialog.h"
#include "Library.h"
#include "ProgressDialog.h"
#include "ProjectPages.h"
#include "RecorderList.h"
#include "SetupDialog.h"

namespace kilnware::desktop {

MainWindow::MainWindow(Library& library, QWidget* parent) : QMainWindow(parent), library_(library) {
    setObjectName("mainWindow");
    setWindowTitle(tr("Kilnware Disc Burner"));
    auto* fileMenu = menuBar()->addMenu(tr("&File"));
    auto* addRecorder = fileMenu->addAction(tr("&Add Disc Image File as Recorder..."));
    connect(addRecorder, &QAction::triggered, this, &MainWindow::addImageFileRecorder);
    fileMenu->addSeparator();
    auto* quit = fileMenu->addAction(tr("&Quit"));
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, this, &QWidget::close);

    auto* splitter = new QSplitter;
    recorders_ = new RecorderList;
    auto* scroll = new QScrollArea;
    scroll->setWidget(recorders_);
    scroll->setWidgetResizable(true);
    scroll->setMinimumWidth(280);
    scroll->setAccessibleName(tr("Recorders"));
    splitter->addWidget(scroll);

    auto* right = new QWidget;
    auto* rightLayout = new QVBoxLayout(right);
    pages_ = new QTabWidget;
    pages_->setAccessibleName(tr("Projects"));
    audio_ = new AudioPage(library);
    mp3_ = new FilesPage(library, Project::Kind::Mp3);
    data_ = new FilesPage(library, Project::Kind::Data);
    video_ = new VideoPage;
    image_ = new ImagePage;
    erase_ = new ErasePage;
    pages_->addTab(audio_, tr("&Audio CD"));
    pages_->addTab(mp3_, tr("&MP3 CD"));
    pages_->addTab(data_, tr("&Data Disc"));
    pages_->addTab(video_, tr("&Video DVD"));
    pages_->addTab(image_, tr("Burn &Image"));
    pages_->addTab(erase_, tr("&Erase"));
    rightLayout->addWidget(pages_, 1);
    auto* bottom = new QHBoxLayout;
    status_ = new QLabel;
    status_->setWordWrap(true);
    status_->setAccessibleName(tr("What is missing"));
    burn_ = new QPushButton(tr("&Burn"));
    burn_->setDefault(true);
    bottom->addWidget(status_, 1);
    bottom->addWidget(burn_);
    rightLayout->addLayout(bottom);
    splitter->addWidget(right);
    splitter->setStretchFactor(1, 1);
    setCentralWidget(splitter);
    resize(980, 640);

    setup_ = new SetupDialog(this);
    progress_ = new ProgressDialog(this);
    disc_ = new DiscDialog(this);

    connect(pages_, &QTabWidget::currentChanged, this, &MainWindow::pageChanged);
    for (auto* page : {static_cast<ProjectPage*>(audio_), static_cast<ProjectPage*>(mp3_),
                       static_cast<ProjectPage*>(data_), static_cast<ProjectPage*>(video_),
                       static_cast<ProjectPage*>(image_), static_cast<ProjectPage*>(erase_)}) {
        connect(page, &ProjectPage::changed, this, &MainWindow::pageChanged);
    }
    connect(burn_, &QPushButton::clicked, this, &MainWindow::burn);
    connect(recorders_, &RecorderList::ejectRequested, &library, &Library::eject);
    connect(recorders_, &RecorderList::imageRecorderChanged, &library, &Library::setImageRecorder);
    connect(setup_, &SetupDialog::imageRecorderChanged, &library, &Library::setImageRecorder);
    connect(setup_, &SetupDialog::mediumUseChosen, &library, &Library::useMedium);
    connect(setup_, &SetupDialog::ejectRequested, &library, &Library::eject);
    connect(recorders_, &RecorderList::readRequested, this, [this](quintptr id, bool check) {
        QString name;
        for (const auto& recorder : recorders_->recorders()) {
            name = recorder.id == id ? recorder.name : name;
        }
        disc_->began(name, check);
        disc_->open();
        library_.readDisc(id, check);
    });
    connect(disc_, &DiscDialog::stopRequested, &library, &Library::stopReading);
    connect(&library, &Library::checkProgress, disc_, &DiscDialog::progress);
    connect(&library, &Library::discRead, disc_, &DiscDialog::showReading);
    connect(&library, &Library::recorderNotAdded, this, [this](const QString& why) {
        QMessageBox::warning(this, tr("No Recorder Added"), why);
    });
    connect(setup_, &QDialog::finished, this, [this] {
        library_.answerSetup(setup_->answer());
        if (setup_->answer().recorder == 0 && !library_.busy()) {
            pageChanged();
        }
    });
    connect(progress_, &ProgressDialog::cancelRequested, &library, &Library::cancel);
    connect(progress_, &ProgressDialog::closed, this, [this] {
        if (pendingSetup_) {
            showSetup();
        }
    });
    connect(&library, &Library::recordersChanged, this, &MainWindow::recordersChanged);
    connect(&library, &Library::setupRequested, this, &MainWindow::setupRequested);
    connect(&library, &Library::progressBegan, progress_,
            [this](const QString& description, bool erase) {
                setup_->hide();
                progress_->began(description, erase);
                progress_->show();
            });
    connect(&library, &Library::progressUpdated, progress_, &ProgressDialog::update);
    connect(&library, &Library::finished, this, &MainWindow::finished);
    pageChanged();
}

ProjectPage* MainWindow::currentPage() const {
    return static_cast<ProjectPage*>(pages_->currentWidget());
}

bool MainWindow::settled() const {
    return recordersListed_ && !currentPage()->measuring();
}

void MainWindow::openProject(Project::Kind kind, const QStringList& paths) {
    switch (kind) {
        case Project::Kind::Audio:
            pages_->setCurrentWidget(audio_);
            break;
        case Project::Kind::Mp3:
            pages_->setCurrentWidget(mp3_);
            break;
        case Project::Kind::Data:
            pages_->setCurrentWidget(data_);
            break;
        case Project::Kind::Video:
            pages_->setCurrentWidget(video_);
            break;
        case Project::Kind::VideoTs:
            pages_->setCurrentWidget(video_);
            if (!paths.isEmpty()) {
                video_->setFolder(paths.front());
            }
            return;
        case Project::Kind::Image:
            pages_->setCurrentWidget(image_);
            break;
        case Project::Kind::Erase:
            pages_->setCurrentWidget(erase_);
            return;
    }
    currentPage()->addPaths(paths);
}

void MainWindow::addImageFileRecorder() {
    // A file that is there (an image to add sessions to) or a new one. Opened, not run in an
    // event loop of its own: the window goes on drawing and hearing the library meanwhile.
    auto* choose = new QFileDialog(this, tr("Disc Image File to Burn Into"));
    choose->setAttribute(Qt::WA_DeleteOnClose);
    choose->setObjectName("imageFileDialog");
    choose->setAcceptMode(QFileDialog::AcceptSave);
    choose->setOption(QFileDialog::DontConfirmOverwrite);
    choose->setNameFilters({tr("Disc images (*.iso *.img)"), tr("All files (*)")});
    connect(choose, &QFileDialog::fileSelected, this,
            [this](const QString& file) { library_.addImageFileRecorder(file); });
    choose->open();
}

void MainWindow::pageChanged() {
    ProjectPage* page = currentPage();
    const QString missing = page->notReady();
    status_->setText(missing);
    burn_->setText(page == erase_ ? tr("&Erase...") : tr("&Burn..."));
    burn_->setAccessibleName(page == erase_ ? tr("Erase") : tr("Burn"));
    burn_->setEnabled(missing.isEmpty() && !library_.busy());
}

void MainWindow::recordersChanged(const QVector<Recorder>& recorders,
                                  const ImageRecorderSettings& imageRecorder) {
    recorders_->setRecorders(recorders, imageRecorder);
    recordersListed_ = true;
    // The discs are measured against the medium a burn would most likely go to: a real
    // recorder's, else the image recorder's.
    const Recorder* target = nullptr;
    for (const auto& recorder : recorders) {
        if (recorder.mediaPresent && (!target || target->imageRecorder)) {
            target = &recorder;
        }
    }
    Room room;
    if (target) {
        // A pseudo-drive's file is named by its path alone.
        room.medium =
            target->mediaType == "File"
                ? target->name
                : tr("%1 in %2").arg(RecorderList::mediumWords(target->mediaType), target->name);
        // A disc that holds data takes a new session in the room after it; written over it
        // would hold more, which the setup asks about.
        room.left = !target->holds.isEmpty();
        const std::uint64_t taken = room.left ? target->blocksUsed : 0;
        room.bytes = (target->blocksTotal - std::min(taken, target->blocksTotal)) * 2048;
    }
    for (ProjectPage* page : {static_cast<ProjectPage*>(mp3_), static_cast<ProjectPage*>(data_)}) {
        page->setRoom(room);
    }
}

void MainWindow::burn() {
    const Project project = currentPage()->project();
    burn_->setEnabled(false);
    progress_->preparing(pages_->tabText(pages_->currentIndex()).remove(QLatin1Char('&')));
    progress_->show();
    library_.burn(project);
}

void MainWindow::setupRequested(const SetupRequest& request) {
    const bool refresh = setup_->isVisible();
    pendingSetup_ = request;
    // The erase setup that comes back after an erase waits until its result has been read.
    if (refresh || !progress_->isVisible() || !progress_->showsOutcome()) {
        showSetup();
    }
}

void MainWindow::showSetup() {
    const SetupRequest request = *pendingSetup_;
    pendingSetup_.reset();
    setup_->setRequest(request);
    if (!setup_->isVisible()) {
        progress_->hide();
        setup_->open();
    }
}

void MainWindow::finished(const Outcome& outcome) {
    setup_->hide();
    pageChanged();
    if (quitWhenDone_) {
        close();
        return;
    }
    // A setup panel the user cancelled, or a preparation stopped, needs no words.
    if (outcome.kind == Outcome::Kind::Cancelled && !progress_->hasBegun()) {
        progress_->hide();
        return;
    }
    progress_->showOutcome(outcome);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!library_.busy()) {
        event->accept();
        return;
    }
    // A burn runs: it is stopped first, and the window closes once it has.
    event->ignore();
    if (QMessageBox::question(this, tr("Stop and Quit?"), tr("A burn runs. Stop it and quit?")) ==
        QMessageBox::Yes) {
        quitWhenDone_ = true;
        library_.cancel();
    }
}

}  // namespace kilnware::desktop
