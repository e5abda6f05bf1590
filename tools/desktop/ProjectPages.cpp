#include "ProjectPages.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "Library.h"

namespace kilnware::desktop {

namespace {

QString bytesText(std::uint64_t bytes) {
    return QLocale().formattedDataSize(static_cast<qint64>(bytes), 1, QLocale::DataSizeSIFormat);
}

QPushButton* button(const QString& text, QLayout* into) {
    auto* pushButton = new QPushButton(text);
    into->addWidget(pushButton);
    return pushButton;
}

}  // namespace

QStringList localFiles(const QMimeData* data) {
    QStringList paths;
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile()) {
            paths << url.toLocalFile();
        }
    }
    return paths;
}

SizeBar::SizeBar(const QString& accessibleName, QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    bar_ = new QProgressBar;
    bar_->setRange(0, 1000);
    bar_->setAccessibleName(accessibleName);
    words_ = new QLabel;
    words_->setWordWrap(true);
    layout->addWidget(bar_);
    layout->addWidget(words_);
    redraw();
}

void SizeBar::setRoom(const Room& room) {
    room_ = room;
    redraw();
}

void SizeBar::setMeasuring() {
    known_ = false;
    words_->setText(tr("Measuring..."));
}

void SizeBar::setSize(std::uint64_t bytes) {
    size_ = bytes;
    known_ = true;
    redraw();
}

void SizeBar::setProblem(const QString& why) {
    known_ = false;
    fits_ = true;
    bar_->setValue(0);
    bar_->setFormat(QString());
    words_->setText(why);
}

void SizeBar::redraw() {
    if (!known_) {
        bar_->setValue(0);
        bar_->setFormat(QString());
        return;
    }
    const std::uint64_t capacity = room_.bytes;
    fits_ = capacity == 0 || size_ <= capacity;
    const double share =
        capacity > 0 ? static_cast<double>(size_) / static_cast<double>(capacity) : 0;
    bar_->setValue(static_cast<int>(std::min(share, 1.0) * 1000));
    bar_->setFormat(bytesText(size_));
    const QString size = bytesText(size_);
    const QString room = bytesText(capacity);
    if (capacity == 0) {
        words_->setText(tr("%1; no medium to measure it against.").arg(size));
    } else if (fits_) {
        words_->setText(room_.left ? tr("%1 of the %2 left (%3).").arg(size, room, room_.medium)
                                   : tr("%1 of %2 (%3).").arg(size, room, room_.medium));
    } else {
        words_->setText(room_.left
                            ? tr("%1 does not fit: %2 has %3 left.").arg(size, room_.medium, room)
                            : tr("%1 does not fit: %2 holds %3.").arg(size, room_.medium, room));
    }
}

FilesPage::FilesPage(Library& library, Project::Kind kind, QWidget* parent)
    : ProjectPage(parent), library_(library), kind_(kind) {
    setAcceptDrops(true);
    const bool mp3 = kind == Project::Kind::Mp3;
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(mp3 ? tr("MP3 files and folders, as they go on the CD:")
                                     : tr("Files and folders, as they go on the disc:")));
    tree_ = new QTreeWidget;
    tree_->setHeaderLabels({tr("Name"), tr("Size"), tr("Where")});
    tree_->setAccessibleName(mp3 ? tr("MP3 files") : tr("Files on the disc"));
    tree_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    tree_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    layout->addWidget(tree_, 1);
    auto* buttons = new QHBoxLayout;
    auto* addFiles = button(tr("Add &Files..."), buttons);
    auto* addFolder = button(tr("Add F&older..."), buttons);
    auto* remove = button(tr("&Remove"), buttons);
    buttons->addStretch(1);
    layout->addLayout(buttons);

    auto* form = new QFormLayout;
    title_ = new QLineEdit;
    title_->setPlaceholderText(mp3 ? tr("MP3 CD") : tr("Data Disc"));
    title_->setAccessibleName(mp3 ? tr("Disc title") : tr("Volume name"));
    auto* titleLabel = new QLabel(mp3 ? tr("Disc &title:") : tr("&Volume name:"));
    titleLabel->setBuddy(title_);
    form->addRow(titleLabel, title_);
    if (mp3) {
        verify_ = new QCheckBox(tr("&Verify the disc after writing"));
        form->addRow(QString(), verify_);
    } else {
        fileSystem_ = new QComboBox;
        fileSystem_->addItem(tr("ISO 9660 (every system, short names)"), 0);
        fileSystem_->addItem(tr("Joliet (Windows and Linux, long names)"), 1);
        fileSystem_->addItem(tr("UDF (large files, DVD and BD)"), 2);
        fileSystem_->addItem(tr("HFS+ (Mac)"), 3);
        fileSystem_->setCurrentIndex(1);
        fileSystem_->setAccessibleName(tr("File system"));
        auto* fileSystemLabel = new QLabel(tr("File &system:"));
        fileSystemLabel->setBuddy(fileSystem_);
        form->addRow(fileSystemLabel, fileSystem_);
        connect(fileSystem_, &QComboBox::currentIndexChanged, this, &FilesPage::measureSoon);
    }
    // Sessions, as a disc that holds data takes them: left open for more by default, as the
    // command leaves it.
    leaveOpen_ = new QCheckBox(tr("&Leave the disc open for more sessions"));
    leaveOpen_->setChecked(true);
    leaveOpen_->setAccessibleName(tr("Leave the disc open for more sessions"));
    form->addRow(QString(), leaveOpen_);
    replaceFiles_ = new QCheckBox(tr("Re&place files of the same name when adding a session"));
    replaceFiles_->setAccessibleName(tr("Replace files of the same name when adding a session"));
    form->addRow(QString(), replaceFiles_);
    layout->addLayout(form);
    size_ = new SizeBar(tr("Size of the disc against the medium"));
    layout->addWidget(size_);

    measure_ = new QTimer(this);
    measure_->setSingleShot(true);
    measure_->setInterval(300);
    connect(measure_, &QTimer::timeout, this, [this] {
        const Project current = project();
        if (current.paths.isEmpty()) {
            problem_ = tr("Add files or folders to burn.");
            size_->setProblem(problem_);
            emit changed();
            return;
        }
        size_->setMeasuring();
        library_.measureLayout(++generation_, current);
    });
    connect(&library, &Library::layoutMeasured, this, [this](const LayoutSize& size) {
        if (size.generation != generation_) {
            return;  // another page's, or an older selection's
        }
        measured_ = size.generation;
        problem_ = size.usable ? QString() : size.why;
        if (size.usable) {
            size_->setSize(size.bytes);
        } else {
            size_->setProblem(size.why);
        }
        emit changed();
    });
    connect(title_, &QLineEdit::textChanged, this, &FilesPage::measureSoon);
    connect(addFiles, &QPushButton::clicked, this, [this, mp3] {
        addPaths(QFileDialog::getOpenFileNames(
            this, tr("Add files"), QString(),
            mp3 ? tr("MP3 files (*.mp3 *.MP3);;All files (*)") : QString()));
    });
    connect(addFolder, &QPushButton::clicked, this, [this] {
        const QString folder = QFileDialog::getExistingDirectory(this, tr("Add a folder"));
        if (!folder.isEmpty()) {
            addPaths({folder});
        }
    });
    connect(remove, &QPushButton::clicked, this, [this] {
        for (auto* item : tree_->selectedItems()) {
            if (!item->parent()) {
                delete item;
            }
        }
        measureSoon();
    });
    connect(tree_, &QTreeWidget::itemExpanded, this, &FilesPage::fillFolder);
    problem_ = tr("Add files or folders to burn.");
    size_->setProblem(problem_);
}

void FilesPage::addPaths(const QStringList& paths) {
    for (const QString& path : paths) {
        const QFileInfo info(path);
        auto* item = new QTreeWidgetItem(tree_);
        item->setText(0, info.fileName().isEmpty() ? path : info.fileName());
        item->setText(2, info.absolutePath());
        item->setData(0, Qt::UserRole, info.absoluteFilePath());
        if (info.isDir()) {
            item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
            item->setExpanded(true);
        } else {
            item->setText(1, bytesText(static_cast<std::uint64_t>(info.size())));
        }
    }
    measureSoon();
}

void FilesPage::fillFolder(QTreeWidgetItem* item) {
    if (item->childCount() > 0) {
        return;
    }
    const QDir folder(item->data(0, Qt::UserRole).toString());
    for (const QFileInfo& entry :
         folder.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                              QDir::DirsFirst | QDir::Name)) {
        auto* child = new QTreeWidgetItem(item);
        child->setText(0, entry.fileName());
        child->setData(0, Qt::UserRole, entry.absoluteFilePath());
        if (entry.isDir()) {
            child->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
        } else {
            child->setText(1, bytesText(static_cast<std::uint64_t>(entry.size())));
        }
    }
    item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

void FilesPage::measureSoon() {
    measure_->start();
    emit changed();
}

Project FilesPage::project() const {
    Project project;
    project.kind = kind_;
    for (int i = 0; i < tree_->topLevelItemCount(); ++i) {
        project.paths << tree_->topLevelItem(i)->data(0, Qt::UserRole).toString();
    }
    project.title = title_->text();
    project.fileSystem = fileSystem_ ? fileSystem_->currentData().toInt() : 1;
    project.verify = verify_ && verify_->isChecked();
    project.leaveOpen = leaveOpen_->isChecked();
    project.replaceFiles = replaceFiles_->isChecked();
    return project;
}

QString FilesPage::notReady() const {
    if (tree_->topLevelItemCount() == 0) {
        return tr("Add files or folders to burn.");
    }
    if (!problem_.isEmpty()) {
        return problem_;
    }
    return {};
}

bool FilesPage::measuring() const {
    return measure_->isActive() || measured_ != generation_;
}

void FilesPage::setRoom(const Room& room) {
    size_->setRoom(room);
}

void FilesPage::dragEnterEvent(QDragEnterEvent* event) {
    if (!localFiles(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void FilesPage::dropEvent(QDropEvent* event) {
    addPaths(localFiles(event->mimeData()));
    event->acceptProposedAction();
}

VideoPage::VideoPage(QWidget* parent) : ProjectPage(parent) {
    auto* layout = new QVBoxLayout(this);
    fromFiles_ =
        new QRadioButton(tr("&MPEG-2 files, authored into a DVD (PAL or NTSC, not mixed)"));
    fromFolder_ = new QRadioButton(tr("A &prepared DVD-video folder (holding VIDEO_TS)"));
    fromFiles_->setChecked(true);
    layout->addWidget(fromFiles_);
    files_ = new QListWidget;
    files_->setAccessibleName(tr("MPEG files"));
    layout->addWidget(files_, 1);
    auto* buttons = new QHBoxLayout;
    auto* add = button(tr("Add &Files..."), buttons);
    auto* remove = button(tr("&Remove"), buttons);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    layout->addWidget(fromFolder_);
    auto* folderRow = new QHBoxLayout;
    folder_ = new QLineEdit;
    folder_->setAccessibleName(tr("DVD-video folder"));
    auto* browse = button(tr("&Choose..."), folderRow);
    folderRow->insertWidget(0, folder_, 1);
    browse->setAccessibleName(tr("Choose the DVD-video folder"));
    layout->addLayout(folderRow);
    auto* form = new QFormLayout;
    title_ = new QLineEdit;
    title_->setPlaceholderText(tr("Video DVD"));
    title_->setAccessibleName(tr("Volume name"));
    auto* titleLabel = new QLabel(tr("&Volume name:"));
    titleLabel->setBuddy(title_);
    form->addRow(titleLabel, title_);
    layout->addLayout(form);

    connect(add, &QPushButton::clicked, this, [this] {
        addPaths(
            QFileDialog::getOpenFileNames(this, tr("Add MPEG files"), QString(),
                                          tr("MPEG files (*.mpg *.mpeg *.vob);;All files (*)")));
    });
    connect(remove, &QPushButton::clicked, this, [this] {
        qDeleteAll(files_->selectedItems());
        emit changed();
    });
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString folder = QFileDialog::getExistingDirectory(this, tr("A DVD-video folder"));
        if (!folder.isEmpty()) {
            setFolder(folder);
        }
    });
    for (auto* control : {fromFiles_, fromFolder_}) {
        connect(control, &QRadioButton::toggled, this, &ProjectPage::changed);
    }
    connect(folder_, &QLineEdit::textChanged, this, &ProjectPage::changed);
}

void VideoPage::addPaths(const QStringList& paths) {
    for (const QString& path : paths) {
        auto* item = new QListWidgetItem(QFileInfo(path).fileName(), files_);
        item->setData(Qt::UserRole, QFileInfo(path).absoluteFilePath());
        item->setToolTip(path);
    }
    fromFiles_->setChecked(true);
    emit changed();
}

void VideoPage::setFolder(const QString& folder) {
    folder_->setText(folder);
    fromFolder_->setChecked(true);
}

Project VideoPage::project() const {
    Project project;
    project.title = title_->text();
    if (fromFolder_->isChecked()) {
        project.kind = Project::Kind::VideoTs;
        project.paths << folder_->text();
    } else {
        project.kind = Project::Kind::Video;
        for (int i = 0; i < files_->count(); ++i) {
            project.paths << files_->item(i)->data(Qt::UserRole).toString();
        }
    }
    return project;
}

QString VideoPage::notReady() const {
    if (fromFolder_->isChecked() ? folder_->text().isEmpty() : files_->count() == 0) {
        return fromFolder_->isChecked() ? tr("Choose a DVD-video folder.")
                                        : tr("Add MPEG-2 files to author.");
    }
    return {};
}

ImagePage::ImagePage(QWidget* parent) : ProjectPage(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(
        tr("A disc image is burned as it stands: an ISO 9660 or UDF image (.iso), or a cue "
           "sheet with its BIN file (.cue) for an audio or data CD.")));
    auto* row = new QHBoxLayout;
    file_ = new QLineEdit;
    file_->setAccessibleName(tr("Disc image file"));
    row->addWidget(file_, 1);
    auto* browse = button(tr("&Choose..."), row);
    browse->setAccessibleName(tr("Choose the disc image"));
    layout->addLayout(row);
    verify_ = new QCheckBox(tr("&Verify the disc after writing"));
    layout->addWidget(verify_);
    layout->addStretch(1);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString file =
            QFileDialog::getOpenFileName(this, tr("A disc image"), QString(),
                                         tr("Disc images (*.iso *.cue *.img);;All files (*)"));
        if (!file.isEmpty()) {
            file_->setText(file);
        }
    });
    connect(file_, &QLineEdit::textChanged, this, &ProjectPage::changed);
}

void ImagePage::addPaths(const QStringList& paths) {
    if (!paths.isEmpty()) {
        file_->setText(QFileInfo(paths.front()).absoluteFilePath());
    }
}

Project ImagePage::project() const {
    Project project;
    project.kind = Project::Kind::Image;
    project.paths << file_->text();
    project.verify = verify_->isChecked();
    return project;
}

QString ImagePage::notReady() const {
    return file_->text().isEmpty() ? tr("Choose a disc image.") : QString();
}

ErasePage::ErasePage(QWidget* parent) : ProjectPage(parent) {
    auto* layout = new QVBoxLayout(this);
    auto* words =
        new QLabel(tr("Erasing a rewritable disc (CD-RW, DVD-RW, DVD+RW, DVD-RAM, BD-RE) "
                      "makes it blank again: everything on it is lost."));
    words->setWordWrap(true);
    layout->addWidget(words);
    auto* quick = new QRadioButton(tr("&Quick: the disc reads as blank (a minute or two)"));
    full_ = new QRadioButton(tr("&Full: every block is blanked, or the disc formatted anew"));
    quick->setChecked(true);
    layout->addWidget(quick);
    layout->addWidget(full_);
    layout->addStretch(1);
}

Project ErasePage::project() const {
    Project project;
    project.kind = Project::Kind::Erase;
    project.fullErase = full_->isChecked();
    return project;
}

}  // namespace kilnware::desktop
