#include "SetupDialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "RecorderList.h"

namespace kilnware::desktop {

SetupDialog::SetupDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("setupDialog");
    setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(this);
    heading_ = new QLabel;
    heading_->setWordWrap(true);
    layout->addWidget(heading_);
    recorders_ = new QVBoxLayout;
    layout->addLayout(recorders_);
    group_ = new QButtonGroup(this);
    connect(group_, &QButtonGroup::idToggled, this, [this](int, bool on) {
        if (on) {
            chosen();
        }
    });

    auto* form = new QFormLayout;
    speed_ = new QComboBox;
    speed_->setAccessibleName(tr("Speed"));
    auto* speedLabel = new QLabel(tr("&Speed:"));
    speedLabel->setBuddy(speed_);
    form->addRow(speedLabel, speed_);
    simulate_ = new QCheckBox(tr("S&imulate: go through the burn without writing"));
    form->addRow(QString(), simulate_);
    layout->addLayout(form);

    imageSettings_ = new QWidget;
    auto* imageForm = new QFormLayout(imageSettings_);
    imageForm->setContentsMargins(0, 0, 0, 0);
    imageMedium_ = RecorderList::addImageMediumRow(imageForm);
    auto* folderRow = new QHBoxLayout;
    imageFolder_ = new QLabel;
    imageFolder_->setWordWrap(true);
    imageFolder_->setAccessibleName(tr("Image folder"));
    auto* chooseFolder = new QPushButton(tr("&Folder..."));
    chooseFolder->setAccessibleName(tr("Choose the image folder"));
    folderRow->addWidget(imageFolder_, 1);
    folderRow->addWidget(chooseFolder);
    imageForm->addRow(tr("Images go to:"), folderRow);
    layout->addWidget(imageSettings_);

    auto* buttons = new QDialogButtonBox;
    confirm_ = buttons->addButton(tr("&Burn"), QDialogButtonBox::AcceptRole);
    confirm_->setDefault(true);
    buttons->addButton(QDialogButtonBox::Cancel);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    connect(imageMedium_, &QComboBox::activated, this, [this] {
        auto settings = request_.imageRecorder;
        settings.medium = imageMedium_->currentData().toString();
        emit imageRecorderChanged(settings);
    });
    connect(chooseFolder, &QPushButton::clicked, this, [this] {
        const QString folder = QFileDialog::getExistingDirectory(
            this, tr("Where the image recorder writes"), request_.imageRecorder.folder);
        if (!folder.isEmpty()) {
            auto settings = request_.imageRecorder;
            settings.folder = folder;
            emit imageRecorderChanged(settings);
        }
    });
}

void SetupDialog::setRequest(const SetupRequest& request) {
    const quintptr keep = current() ? current()->id : request.proposed;
    request_ = request;
    setWindowTitle(request.erase ? tr("Erase Setup") : tr("Burn Setup"));
    heading_->setText(request.again   ? tr("The erase is done. Erase another disc?")
                      : request.erase ? tr("Choose the recorder with the disc to erase.")
                                      : tr("Choose the recorder to burn with."));
    confirm_->setText(request.erase ? tr("&Erase") : tr("&Burn"));
    speed_->setVisible(!request.erase);
    simulate_->setVisible(!request.erase);

    qDeleteAll(rows_);
    rows_.clear();
    for (int i = 0; i < request.choices.size(); ++i) {
        const SetupChoice& choice = request.choices[i];
        auto* row = new QWidget;
        auto* rowLayout = new QVBoxLayout(row);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        auto* radio = new QRadioButton(choice.name);
        radio->setAccessibleName(choice.name);
        const QString medium = choice.mediaPresent
                                   ? tr("%1, %2 free (%3)")
                                         .arg(RecorderList::mediumWords(choice.mediaType),
                                              choice.free, choice.freeTime)
                                   : choice.mediaType;
        auto* verdict = new QLabel(
            choice.selectable ? medium : QStringLiteral("%1\n%2").arg(medium, choice.prompt));
        verdict->setWordWrap(true);
        verdict->setIndent(24);
        verdict->setEnabled(choice.selectable);
        radio->setAccessibleDescription(verdict->text());
        rowLayout->addWidget(radio);
        rowLayout->addWidget(verdict);
        group_->addButton(radio, i);
        recorders_->addWidget(row);
        rows_ << row;
        if (choice.id == keep) {
            radio->setChecked(true);
        }
    }
    if (request.choices.isEmpty()) {
        auto* none = new QLabel(tr("There is no recorder."));
        recorders_->addWidget(none);
        rows_ << none;
    }
    const int index = imageMedium_->findData(request.imageRecorder.medium);
    if (index >= 0) {
        imageMedium_->setCurrentIndex(index);
    }
    imageFolder_->setText(request.imageRecorder.folder);
    chosen();
}

const SetupChoice* SetupDialog::current() const {
    const int index = group_->checkedId();
    return index >= 0 && index < request_.choices.size() ? &request_.choices[index] : nullptr;
}

void SetupDialog::chosen() {
    const SetupChoice* choice = current();
    // Only a recorder whose medium the controller takes can be confirmed.
    confirm_->setEnabled(choice && choice->selectable);
    imageSettings_->setVisible(choice && choice->imageRecorder);
    const double previous = speed_->currentData().toDouble();
    speed_->clear();
    speed_->addItem(tr("As fast as it goes"), 0.0);
    QVector<double> speeds = choice && !choice->speeds.isEmpty()
                                 ? choice->speeds
                                 : QVector<double>{1, 2, 4, 8, 16, 24, 48};
    std::sort(speeds.begin(), speeds.end());
    for (double speed : speeds) {
        speed_->addItem(tr("%1x").arg(speed), speed);
    }
    const int keep = speed_->findData(previous);
    speed_->setCurrentIndex(keep >= 0 ? keep : 0);
}

SetupAnswer SetupDialog::answer() const {
    SetupAnswer answer;
    const SetupChoice* choice = current();
    if (result() == QDialog::Accepted && choice && choice->selectable) {
        answer.recorder = choice->id;
        answer.speed = speed_->currentData().toDouble();
        answer.simulate = simulate_->isChecked();
    }
    return answer;
}

}  // namespace kilnware::desktop
