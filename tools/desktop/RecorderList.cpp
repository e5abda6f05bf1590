#include "RecorderList.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace kilnware::desktop {

QVector<QPair<QString, QString>> RecorderList::imageMedia() {
    return {{"cd-r", tr("CD-R, 80 minutes")},     {"cd-rw", tr("CD-RW, 80 minutes")},
            {"dvd-r", tr("DVD-R, 4.7 GB")},       {"dvd+r", tr("DVD+R, 4.7 GB")},
            {"dvd-r-dl", tr("DVD-R DL, 8.5 GB")}, {"dvd-rw", tr("DVD-RW, 4.7 GB")},
            {"bd-r", tr("BD-R, 25 GB")},          {"bd-re", tr("BD-RE, 25 GB")}};
}

QString RecorderList::mediumWords(const QString& mediaType) {
    static const QHash<QString, QString> words = {{"CDROM", "CD-ROM"},
                                                  {"CDR", "CD-R"},
                                                  {"CDRW", "CD-RW"},
                                                  {"DVDROM", "DVD-ROM"},
                                                  {"DVDRAM", "DVD-RAM"},
                                                  {"DVDR", "DVD-R"},
                                                  {"DVDRDualLayer", "DVD-R DL"},
                                                  {"DVDRW", "DVD-RW"},
                                                  {"DVDPlusR", "DVD+R"},
                                                  {"DVDPlusRDoubleLayer", "DVD+R DL"},
                                                  {"DVDPlusRW", "DVD+RW"},
                                                  {"BDR", "BD-R"},
                                                  {"BDRE", "BD-RE"},
                                                  {"BDROM", "BD-ROM"},
                                                  {"Unknown", tr("an unknown disc")},
                                                  {"File", tr("a disc image file")}};
    return words.value(mediaType, mediaType);
}

QComboBox* RecorderList::addImageMediumRow(QFormLayout* form) {
    auto* medium = new QComboBox;
    medium->setAccessibleName(tr("Image recorder medium"));
    for (const auto& [name, words] : imageMedia()) {
        medium->addItem(words, name);
    }
    auto* label = new QLabel(tr("Image &medium:"));
    label->setBuddy(medium);
    form->addRow(label, medium);
    return medium;
}

RecorderList::RecorderList(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    auto* heading = new QLabel(tr("<b>Recorders</b>"));
    layout->addWidget(heading);
    none_ = new QLabel(tr("Looking for recorders..."));
    none_->setWordWrap(true);
    layout->addWidget(none_);
    cards_ = new QVBoxLayout;
    layout->addLayout(cards_);

    // The image recorder's medium and folder.
    imageSettings_ = new QWidget;
    auto* form = new QFormLayout(imageSettings_);
    form->setContentsMargins(0, 0, 0, 0);
    imageMedium_ = addImageMediumRow(form);
    imageFolder_ = new QLabel;
    imageFolder_->setWordWrap(true);
    imageFolder_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    imageFolder_->setAccessibleName(tr("Image folder"));
    auto* choose = new QPushButton(tr("&Folder..."));
    choose->setAccessibleName(tr("Choose the image folder"));
    form->addRow(imageFolder_);
    form->addRow(QString(), choose);
    layout->addWidget(imageSettings_);
    imageSettings_->hide();
    layout->addStretch(1);

    connect(imageMedium_, &QComboBox::activated, this, [this] {
        auto settings = imageRecorder_;
        settings.medium = imageMedium_->currentData().toString();
        emit imageRecorderChanged(settings);
    });
    connect(choose, &QPushButton::clicked, this, [this] {
        const QString folder = QFileDialog::getExistingDirectory(
            this, tr("Where the image recorder writes"), imageRecorder_.folder);
        if (!folder.isEmpty()) {
            auto settings = imageRecorder_;
            settings.folder = folder;
            emit imageRecorderChanged(settings);
        }
    });
}

RecorderList::Card& RecorderList::cardFor(const Recorder& recorder) {
    auto found = byId_.find(recorder.id);
    if (found != byId_.end()) {
        return *found;
    }
    Card card;
    auto* frame = new QFrame;
    frame->setFrameShape(QFrame::StyledPanel);
    card.frame = frame;
    auto* layout = new QVBoxLayout(frame);
    auto* top = new QHBoxLayout;
    card.name = new QLabel;
    card.name->setWordWrap(true);
    card.eject = new QPushButton(tr("Eject"));
    top->addWidget(card.name, 1);
    top->addWidget(card.eject);
    layout->addLayout(top);
    card.medium = new QLabel;
    card.medium->setWordWrap(true);
    layout->addWidget(card.medium);
    card.fill = new QProgressBar;
    card.fill->setTextVisible(true);
    layout->addWidget(card.fill);
    card.state = new QLabel;
    card.state->setWordWrap(true);
    layout->addWidget(card.state);
    // A disc written with data is read back here: its files, and its sessions checked.
    card.reading = new QWidget;
    auto* reading = new QHBoxLayout(card.reading);
    reading->setContentsMargins(0, 0, 0, 0);
    card.contents = new QPushButton(tr("Show Contents"));
    card.check = new QPushButton(tr("Check Disc"));
    reading->addWidget(card.contents);
    reading->addWidget(card.check);
    reading->addStretch(1);
    layout->addWidget(card.reading);
    const quintptr id = recorder.id;
    connect(card.eject, &QPushButton::clicked, this, [this, id] { emit ejectRequested(id); });
    connect(card.contents, &QPushButton::clicked, this,
            [this, id] { emit readRequested(id, false); });
    connect(card.check, &QPushButton::clicked, this, [this, id] { emit readRequested(id, true); });
    cards_->addWidget(frame);
    return *byId_.insert(recorder.id, card);
}

void RecorderList::update(Card& card, const Recorder& recorder) {
    card.name->setText(
        QStringLiteral("<b>%1</b> <small>%2</small>")
            .arg(recorder.name.toHtmlEscaped(), recorder.connection.toHtmlEscaped()));
    card.frame->setAccessibleName(recorder.name);
    card.eject->setAccessibleName(tr("Eject %1").arg(recorder.name));
    card.eject->setEnabled(!recorder.busy && recorder.unavailable.isEmpty());
    // The image recorder's discs are its image files: they are read where they are written.
    card.reading->setVisible(!recorder.imageRecorder);
    card.contents->setAccessibleName(tr("Show the contents of the disc in %1").arg(recorder.name));
    card.check->setAccessibleName(tr("Check the disc in %1").arg(recorder.name));
    const bool readable = !recorder.busy && !recorder.holds.isEmpty();
    card.contents->setEnabled(readable);
    card.check->setEnabled(readable);
    if (!recorder.unavailable.isEmpty()) {
        card.medium->setText(recorder.unavailable);
        card.fill->hide();
    } else if (recorder.mediaPresent) {
        card.medium->setText(tr("<b>%1</b>, %2 (%3)")
                                 .arg(mediumWords(recorder.mediaType).toHtmlEscaped(),
                                      recorder.total, recorder.totalTime));
        card.fill->show();
        // Block counts in a range an int holds: the bar shows a share, not the counts.
        const double share = recorder.blocksTotal > 0
                                 ? static_cast<double>(recorder.blocksUsed) /
                                       static_cast<double>(recorder.blocksTotal)
                                 : 0;
        card.fill->setRange(0, 1000);
        card.fill->setValue(static_cast<int>(share * 1000));
        card.fill->setFormat(tr("Used: %1 (%2)").arg(recorder.used, recorder.usedTime));
        card.fill->setAccessibleName(tr("Space used on the medium of %1").arg(recorder.name));
    } else {
        card.medium->setText(recorder.mediaType);
        card.fill->hide();
    }
    QStringList state;
    if (recorder.mediaPresent) {
        state << tr("Free: %1 (%2)").arg(recorder.free, recorder.freeTime);
        if (!recorder.holds.isEmpty()) {
            state << tr("holds %1").arg(recorder.holds);
        }
        state << (recorder.erasable ? tr("erasable") : tr("not erasable"));
    }
    if (recorder.busy) {
        state << tr("busy");
    }
    card.state->setText(state.join(QStringLiteral(", ")));
    card.state->setVisible(!state.isEmpty());
}

void RecorderList::setRecorders(const QVector<Recorder>& recorders,
                                const ImageRecorderSettings& imageRecorder) {
    recorders_ = recorders;
    imageRecorder_ = imageRecorder;
    QSet<quintptr> present;
    bool hasImageRecorder = false;
    for (const auto& recorder : recorders) {
        present.insert(recorder.id);
        update(cardFor(recorder), recorder);
        hasImageRecorder = hasImageRecorder || recorder.imageRecorder;
    }
    // A recorder that went (unplugged) goes from the list.
    for (auto it = byId_.begin(); it != byId_.end();) {
        if (!present.contains(it.key())) {
            delete it->frame;
            it = byId_.erase(it);
        } else {
            ++it;
        }
    }
    none_->setVisible(recorders.isEmpty());
    none_->setText(tr("No recorder is there."));
    imageSettings_->setVisible(hasImageRecorder);
    const int index = imageMedium_->findData(imageRecorder.medium);
    if (index >= 0) {
        imageMedium_->setCurrentIndex(index);
    }
    imageFolder_->setText(tr("Images go to %1").arg(imageRecorder.folder));
}

}  // namespace kilnware::desktop
