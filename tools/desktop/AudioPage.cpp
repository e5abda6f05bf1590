#include "AudioPage.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include "Library.h"

namespace kilnware::desktop {

namespace {

enum Column { kNumber, kTitle, kPerformer, kLength, kPreGap };
constexpr int kPathRole = Qt::UserRole;    // on kNumber: the file
constexpr int kFramesRole = Qt::UserRole;  // on kLength and kPreGap: frames
constexpr int kMeasuredRole = Qt::UserRole + 1;
constexpr std::uint64_t kFramesPerSecond = 75;
constexpr std::uint64_t kMinutes74 = 74 * 60 * kFramesPerSecond;
constexpr std::uint64_t kMinutes80 = 80 * 60 * kFramesPerSecond;

QString timeText(std::uint64_t frames) {
    const std::uint64_t seconds = frames / kFramesPerSecond;
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString preGapText(std::uint32_t frames) {
    return QCoreApplication::translate("AudioPage", "%1 s")
        .arg(static_cast<double>(frames) / kFramesPerSecond, 0, 'f', 1);
}

// Only the title, the performer and the pre-gap are edited; the pre-gap in seconds.
class TrackDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override {
        if (index.column() == kPreGap) {
            auto* seconds = new QDoubleSpinBox(parent);
            seconds->setRange(0, 60);
            seconds->setDecimals(1);
            seconds->setSingleStep(0.5);
            seconds->setSuffix(QCoreApplication::translate("AudioPage", " s"));
            seconds->setAccessibleName(QCoreApplication::translate("AudioPage", "Pre-gap"));
            return seconds;
        }
        if (index.column() == kTitle || index.column() == kPerformer) {
            return QStyledItemDelegate::createEditor(parent, option, index);
        }
        return nullptr;
    }
    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        if (index.column() == kPreGap) {
            static_cast<QDoubleSpinBox*>(editor)->setValue(index.data(kFramesRole).toDouble() /
                                                           kFramesPerSecond);
            return;
        }
        QStyledItemDelegate::setEditorData(editor, index);
    }
    void setModelData(QWidget* editor, QAbstractItemModel* model,
                      const QModelIndex& index) const override {
        if (index.column() == kPreGap) {
            const auto frames = static_cast<std::uint32_t>(
                static_cast<QDoubleSpinBox*>(editor)->value() * kFramesPerSecond + 0.5);
            model->setData(index, frames, kFramesRole);
            model->setData(index, preGapText(frames), Qt::DisplayRole);
            return;
        }
        QStyledItemDelegate::setModelData(editor, model, index);
    }
};

}  // namespace

TrackTable::TrackTable(QWidget* parent) : QTreeWidget(parent) {
    setRootIsDecorated(false);
    setDragDropMode(QAbstractItemView::InternalMove);
    setDefaultDropAction(Qt::MoveAction);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                    QAbstractItemView::SelectedClicked);
    setItemDelegate(new TrackDelegate(this));
}

void TrackTable::dragEnterEvent(QDragEnterEvent* event) {
    if (event->source() == nullptr && !localFiles(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
        return;
    }
    QTreeWidget::dragEnterEvent(event);
}

void TrackTable::dragMoveEvent(QDragMoveEvent* event) {
    if (event->source() == nullptr && !localFiles(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
        return;
    }
    QTreeWidget::dragMoveEvent(event);
}

void TrackTable::dropEvent(QDropEvent* event) {
    if (event->source() == nullptr) {
        const QModelIndex at = indexAt(event->position().toPoint());
        emit filesDropped(localFiles(event->mimeData()), at.isValid() ? at.row() : -1);
        event->acceptProposedAction();
        return;
    }
    QTreeWidget::dropEvent(event);
    emit reordered();
}

AudioPage::AudioPage(Library& library, QWidget* parent) : ProjectPage(parent), library_(library) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(
        tr("One track per file, in this order: drag to reorder, double-click to edit.")));
    table_ = new TrackTable;
    table_->setHeaderLabels({tr("#"), tr("Title"), tr("Performer"), tr("Length"), tr("Pre-gap")});
    table_->setAccessibleName(tr("Tracks"));
    // The title takes what is left; the number, length and pre-gap are as wide as they need, the
    // performer as a name usually is.
    QHeaderView* header = table_->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(kTitle, QHeaderView::Stretch);
    header->setSectionResizeMode(kPerformer, QHeaderView::Interactive);
    header->resizeSection(kPerformer, table_->fontMetrics().averageCharWidth() * 26);
    layout->addWidget(table_, 1);
    auto* buttons = new QHBoxLayout;
    auto* add = new QPushButton(tr("Add &Files..."));
    auto* remove = new QPushButton(tr("&Remove"));
    auto* up = new QPushButton(tr("Move &Up"));
    auto* down = new QPushButton(tr("Move &Down"));
    for (auto* pushButton : {add, remove, up, down}) {
        buttons->addWidget(pushButton);
    }
    buttons->addStretch(1);
    layout->addLayout(buttons);
    problems_ = new QLabel;
    problems_->setWordWrap(true);
    problems_->setAccessibleName(tr("Files that cannot be tracks"));
    problems_->hide();
    layout->addWidget(problems_);

    auto* form = new QFormLayout;
    title_ = new QLineEdit;
    title_->setAccessibleName(tr("Disc title"));
    auto* titleLabel = new QLabel(tr("Disc &title:"));
    titleLabel->setBuddy(title_);
    form->addRow(titleLabel, title_);
    performer_ = new QLineEdit;
    performer_->setAccessibleName(tr("Disc performer"));
    auto* performerLabel = new QLabel(tr("Disc &performer:"));
    performerLabel->setBuddy(performer_);
    form->addRow(performerLabel, performer_);
    cdText_ = new QCheckBox(tr("Write the titles and performers as &CD-Text"));
    form->addRow(QString(), cdText_);
    layout->addLayout(form);
    total_ = new QProgressBar;
    total_->setRange(0, static_cast<int>(kMinutes80));
    total_->setAccessibleName(tr("Total time against 80 minutes"));
    layout->addWidget(total_);
    totalWords_ = new QLabel;
    totalWords_->setWordWrap(true);
    layout->addWidget(totalWords_);

    connect(add, &QPushButton::clicked, this, [this] {
        addFiles(QFileDialog::getOpenFileNames(
                     this, tr("Add audio files"), QString(),
                     tr("Audio files (*.wav *.flac *.mp3 *.ogg *.opus *.m4a *.aiff *.aif);;"
                        "All files (*)")),
                 -1);
    });
    connect(remove, &QPushButton::clicked, this, [this] {
        qDeleteAll(table_->selectedItems());
        renumber();
    });
    auto move = [this](int by) {
        auto* item = table_->currentItem();
        if (!item) {
            return;
        }
        const int row = table_->indexOfTopLevelItem(item);
        const int to = row + by;
        if (to < 0 || to >= table_->topLevelItemCount()) {
            return;
        }
        table_->takeTopLevelItem(row);
        table_->insertTopLevelItem(to, item);
        table_->setCurrentItem(item);
        renumber();
    };
    connect(up, &QPushButton::clicked, this, [move] { move(-1); });
    connect(down, &QPushButton::clicked, this, [move] { move(1); });
    connect(table_, &TrackTable::filesDropped, this, &AudioPage::addFiles);
    connect(table_, &TrackTable::reordered, this, &AudioPage::renumber);
    connect(table_, &QTreeWidget::itemChanged, this, &AudioPage::renumber);
    connect(&library, &Library::audioMeasured, this, &AudioPage::measured);
    for (auto* edit : {title_, performer_}) {
        connect(edit, &QLineEdit::textChanged, this, &ProjectPage::changed);
    }
    connect(cdText_, &QCheckBox::toggled, this, &ProjectPage::changed);
    renumber();
}

void AudioPage::addPaths(const QStringList& paths) {
    addFiles(paths, -1);
}

void AudioPage::addFiles(const QStringList& paths, int row) {
    if (paths.isEmpty()) {
        return;
    }
    int at = row < 0 ? table_->topLevelItemCount() : row;
    QStringList absolute;
    for (const QString& path : paths) {
        auto* item = new QTreeWidgetItem;
        const QFileInfo info(path);
        item->setData(kNumber, kPathRole, info.absoluteFilePath());
        item->setData(kNumber, kMeasuredRole, false);
        item->setText(kTitle, info.completeBaseName());
        item->setText(kLength, tr("measuring..."));
        item->setData(kPreGap, kFramesRole, 150);
        item->setText(kPreGap, preGapText(150));
        item->setFlags((item->flags() | Qt::ItemIsEditable) & ~Qt::ItemIsDropEnabled);
        table_->insertTopLevelItem(at++, item);
        absolute << info.absoluteFilePath();
    }
    measuring_ += static_cast<int>(absolute.size());
    library_.measureAudio(absolute);
    renumber();
}

void AudioPage::measured(const AudioFile& file) {
    for (int i = 0; i < table_->topLevelItemCount(); ++i) {
        auto* item = table_->topLevelItem(i);
        if (item->data(kNumber, kPathRole).toString() != file.path ||
            item->data(kNumber, kMeasuredRole).toBool()) {
            continue;
        }
        --measuring_;
        if (!file.usable) {
            // It gives no track: it leaves the table, and the reason stays in sight.
            delete item;
            problems_->setText(
                problems_->text() + (problems_->text().isEmpty() ? "" : "\n") +
                tr("%1 cannot be a track: %2").arg(QFileInfo(file.path).fileName(), file.why));
            problems_->show();
        } else {
            const QSignalBlocker quiet(table_);
            item->setData(kNumber, kMeasuredRole, true);
            item->setData(kLength, kFramesRole, QVariant::fromValue<qulonglong>(file.frames));
            item->setText(kLength, timeText(file.frames));
            if (!file.title.isEmpty()) {
                item->setText(kTitle, file.title);
            }
            item->setText(kPerformer, file.performer);
            if (title_->text().isEmpty() && !file.album.isEmpty()) {
                title_->setText(file.album);
            }
        }
        break;
    }
    renumber();
}

void AudioPage::renumber() {
    std::uint64_t frames = 0;
    QSet<QString> performers;
    {
        const QSignalBlocker quiet(table_);
        for (int i = 0; i < table_->topLevelItemCount(); ++i) {
            auto* item = table_->topLevelItem(i);
            item->setText(kNumber, QString::number(i + 1));
            frames += item->data(kLength, kFramesRole).toULongLong() +
                      item->data(kPreGap, kFramesRole).toULongLong();
            performers.insert(item->text(kPerformer));
        }
    }
    // The disc's performer is the one all its tracks share, unless the user wrote another.
    if (performer_->text() == proposedPerformer_) {
        proposedPerformer_ = performers.size() == 1 ? *performers.begin() : QString();
        performer_->setText(proposedPerformer_);
    }
    const int tracks = table_->topLevelItemCount();
    total_->setValue(static_cast<int>(std::min(frames, kMinutes80)));
    total_->setFormat(tr("%1 of 74:00 / 80:00").arg(timeText(frames)));
    if (tracks == 0) {
        totalWords_->setText(tr("Add audio files: WAV, FLAC, MP3, Ogg and the like."));
    } else if (frames <= kMinutes74) {
        totalWords_->setText(tr("%n track(s), %1: fits any CD.", "", tracks).arg(timeText(frames)));
    } else if (frames <= kMinutes80) {
        totalWords_->setText(
            tr("%n track(s), %1: fits an 80-minute CD only.", "", tracks).arg(timeText(frames)));
    } else {
        totalWords_->setText(
            tr("%n track(s), %1: too long for a CD, which holds 80 minutes.", "", tracks)
                .arg(timeText(frames)));
    }
    emit changed();
}

Project AudioPage::project() const {
    Project project;
    project.kind = Project::Kind::Audio;
    project.title = title_->text();
    project.performer = performer_->text();
    project.cdText = cdText_->isChecked();
    for (int i = 0; i < table_->topLevelItemCount(); ++i) {
        const auto* item = table_->topLevelItem(i);
        Project::Track track;
        track.path = item->data(kNumber, kPathRole).toString();
        track.title = item->text(kTitle);
        track.performer = item->text(kPerformer);
        track.preGap = item->data(kPreGap, kFramesRole).toUInt();
        project.tracks.push_back(track);
        project.paths << track.path;
    }
    return project;
}

QString AudioPage::notReady() const {
    if (table_->topLevelItemCount() == 0) {
        return tr("Add audio files to burn.");
    }
    if (measuring_ > 0) {
        return tr("Measuring the audio files...");
    }
    return {};
}

}  // namespace kilnware::desktop
