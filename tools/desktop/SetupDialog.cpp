#include "SetupDialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <utility>

#include "RecorderList.h"

namespace kilnware::desktop {

SetupDialog::SetupDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("setupDialog");
    setWindowModality(Qt::WindowModal);
    setMinimumWidth(fontMetrics().averageCharWidth() * 64);
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

    // A medium that holds data: written over (a rewritable, once confirmed), a session added to
    // it, or another disc inserted.
    mediumChoice_ = new QWidget;
    auto* mediumRow = new QHBoxLayout(mediumChoice_);
    mediumRow->setContentsMargins(0, 0, 0, 0);
    writeOver_ = new QPushButton(tr("&Write Over It..."));
    writeOver_->setAccessibleName(tr("Write over the disc"));
    addSession_ = new QPushButton(tr("&Add a Session"));
    addSession_->setAccessibleName(tr("Add a session to the disc"));
    eject_ = new QPushButton(tr("Insert A&nother Disc"));
    eject_->setAccessibleName(tr("Eject the disc to insert another"));
    mediumRow->addWidget(writeOver_);
    mediumRow->addWidget(addSession_);
    mediumRow->addWidget(eject_);
    mediumRow->addStretch(1);
    layout->addWidget(mediumChoice_);
    connect(writeOver_, &QPushButton::clicked, this, &SetupDialog::confirmWriteOver);
    connect(addSession_, &QPushButton::clicked, this, [this] {
        if (const SetupChoice* choice = current()) {
            mediumChosen_ = true;
            emit mediumUseChosen(choice->id, MediumUse::AddSession);
        }
    });
    connect(eject_, &QPushButton::clicked, this, [this] {
        if (const SetupChoice* choice = current()) {
            emit ejectRequested(choice->id);
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

    // The rows are made anew: keyboard focus stays on the chosen recorder, or goes on to the
    // confirming button once the user chose what to do with a disc that holds data.
    bool rowHadFocus = false;
    for (QWidget* row : rows_) {
        rowHadFocus = rowHadFocus || row->isAncestorOf(focusWidget());
    }
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
        QString said =
            choice.selectable ? medium : QStringLiteral("%1\n%2").arg(medium, choice.prompt);
        if (choice.use == MediumUse::WriteOver && choice.selectable) {
            said += QLatin1Char('\n') +
                    tr("It holds %1, which will be written over.").arg(choice.holds);
        } else if (choice.use == MediumUse::AddSession && choice.selectable) {
            said += QLatin1Char('\n') +
                    tr("It holds %1; a session will be added to it.").arg(choice.holds);
        }
        auto* verdict = new QLabel(said);
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
    // A long path is shortened in its middle, where it says least; the whole is in its tip.
    const QString folder = request.imageRecorder.folder;
    imageFolder_->setText(imageFolder_->fontMetrics().elidedText(
        folder, Qt::ElideMiddle, imageFolder_->fontMetrics().averageCharWidth() * 48));
    imageFolder_->setToolTip(folder);
    imageFolder_->setAccessibleDescription(folder);
    chosen();
    if (std::exchange(mediumChosen_, false) && confirm_->isEnabled()) {
        confirm_->setFocus();
    } else if (rowHadFocus && group_->checkedButton()) {
        group_->checkedButton()->setFocus();
    }
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
    // What can be done with a disc that holds data, until the user has chosen.
    const bool holds = choice && !choice->holds.isEmpty() && choice->use == MediumUse::AsItIs;
    mediumChoice_->setVisible(holds);
    writeOver_->setVisible(holds && choice->canOverwrite);
    addSession_->setVisible(holds && choice->canAppend);
    eject_->setVisible(holds);
    // The verdicts wrap: the dialog takes the height they need as they come and go.
    adjustSize();
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

void SetupDialog::confirmWriteOver() {
    if (!current()) {
        return;
    }
    // The request may come anew while the question is up: what is asked about is kept here.
    const SetupChoice choice = *current();
    QMessageBox confirm(QMessageBox::Warning, tr("Write Over the Disc?"),
                        tr("Write over the disc in %1?").arg(choice.name), QMessageBox::NoButton,
                        this);
    confirm.setObjectName("writeOverConfirmation");
    confirm.setInformativeText(
        tr("It holds %1. All of it will be lost, and cannot be brought back.").arg(choice.holds));
    auto* yes = confirm.addButton(tr("&Write Over"), QMessageBox::DestructiveRole);
    yes->setAccessibleName(tr("Write Over"));
    confirm.addButton(QMessageBox::Cancel);
    confirm.setDefaultButton(QMessageBox::Cancel);
    confirm.exec();
    if (confirm.clickedButton() == yes) {
        mediumChosen_ = true;
        emit mediumUseChosen(choice.id, MediumUse::WriteOver);
    }
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
