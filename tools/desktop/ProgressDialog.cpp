#include "ProgressDialog.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <cmath>

namespace kilnware::desktop {

namespace {
QString megabytes(std::uint64_t bytes) {
    return QString::number(static_cast<double>(bytes) / 1e6, 'f', 1);
}
}  // namespace

ProgressDialog::ProgressDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("progressDialog");
    setWindowModality(Qt::WindowModal);
    setMinimumWidth(420);
    auto* layout = new QVBoxLayout(this);
    heading_ = new QLabel;
    heading_->setWordWrap(true);
    layout->addWidget(heading_);
    phase_ = new QLabel;
    phase_->setAccessibleName(tr("Phase"));
    layout->addWidget(phase_);
    bar_ = new QProgressBar;
    bar_->setAccessibleName(tr("Progress"));
    bar_->setRange(0, 1000);
    layout->addWidget(bar_);
    auto* numbers = new QGridLayout;
    amount_ = new QLabel;
    amount_->setAccessibleName(tr("Written"));
    speed_ = new QLabel;
    speed_->setAccessibleName(tr("Speed"));
    left_ = new QLabel;
    left_->setAccessibleName(tr("Time left"));
    numbers->addWidget(amount_, 0, 0);
    numbers->addWidget(speed_, 0, 1, Qt::AlignCenter);
    numbers->addWidget(left_, 0, 2, Qt::AlignRight);
    layout->addLayout(numbers);
    result_ = new QLabel;
    result_->setWordWrap(true);
    result_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    result_->setAccessibleName(tr("Result"));
    layout->addWidget(result_);
    auto* buttons = new QDialogButtonBox;
    showFiles_ = buttons->addButton(tr("&Show the Files"), QDialogButtonBox::ActionRole);
    cancel_ = buttons->addButton(QDialogButtonBox::Cancel);
    close_ = buttons->addButton(QDialogButtonBox::Close);
    layout->addWidget(buttons);
    connect(cancel_, &QPushButton::clicked, this, &ProgressDialog::cancelClicked);
    connect(close_, &QPushButton::clicked, this, [this] {
        hide();
        emit closed();
    });
    connect(showFiles_, &QPushButton::clicked, this,
            [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder_)); });
}

void ProgressDialog::preparing(const QString& what) {
    done_ = false;
    begun_ = false;
    mediumWritten_ = false;
    setWindowTitle(what);
    heading_->setText(
        tr("Preparing the disc: laying it out, measuring its files and running "
           "the tools it needs."));
    phase_->setText(tr("Preparing"));
    bar_->setRange(0, 0);  // busy, for as long as it takes
    for (auto* label : {amount_, speed_, left_, result_}) {
        label->clear();
    }
    result_->hide();
    showFiles_->hide();
    close_->hide();
    cancel_->show();
    cancel_->setEnabled(true);
    cancel_->setFocus();
}

void ProgressDialog::began(const QString& description, bool erase) {
    preparing(description);
    begun_ = true;
    erase_ = erase;
    heading_->setText(erase ? tr("Erasing the disc.") : tr("Burning: %1.").arg(description));
    phase_->setText(tr("Starting"));
    bar_->setRange(0, 1000);
    bar_->setValue(0);
}

void ProgressDialog::update(const Progress& progress) {
    phase_->setText(progress.phase);
    if (progress.writing && !mediumWritten_) {
        mediumWritten_ = true;
        writing_.start();
    }
    if (progress.fraction < 0) {
        bar_->setRange(0, 0);
    } else {
        bar_->setRange(0, 1000);
        bar_->setValue(static_cast<int>(std::clamp(progress.fraction, 0.0, 1.0) * 1000));
    }
    if (progress.bytesTotal > 0) {
        amount_->setText(
            tr("%1 of %2 MB").arg(megabytes(progress.bytesDone), megabytes(progress.bytesTotal)));
    }
    if (progress.speed > 0) {
        speed_->setText(tr("%1x").arg(progress.speed, 0, 'f', 1));
    }
    if (mediumWritten_ && progress.fraction > 0.01 && progress.fraction < 1) {
        const double elapsed = static_cast<double>(writing_.elapsed()) / 1000;
        const auto seconds = static_cast<long long>(
            std::lround(elapsed * (1 - progress.fraction) / progress.fraction));
        left_->setText(
            tr("%1:%2 left").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0')));
    }
}

void ProgressDialog::showOutcome(const Outcome& outcome) {
    done_ = true;
    if (confirm_) {
        confirm_->close();
    }
    bar_->setRange(0, 1000);
    left_->clear();
    cancel_->hide();
    close_->show();
    close_->setDefault(true);
    close_->setFocus();
    folder_.clear();
    QString words;
    switch (outcome.kind) {
        case Outcome::Kind::Done:
            bar_->setValue(1000);
            phase_->setText(tr("Done"));
            if (outcome.erase) {
                words = tr("The disc in %1 is erased.").arg(outcome.recorder);
            } else if (!outcome.files.isEmpty()) {
                QStringList names;
                for (const QString& file : outcome.files) {
                    names << QFileInfo(file).fileName();
                }
                folder_ = QFileInfo(outcome.files.front()).absolutePath();
                words = tr("The disc image is written: %1, in %2.")
                            .arg(names.join(QStringLiteral(", ")), folder_);
            } else {
                words = tr("The disc is burned in %1.").arg(outcome.recorder);
            }
            break;
        case Outcome::Kind::Failed:
            phase_->setText(tr("Failed"));
            words = (outcome.erase ? tr("The erase failed: %1") : tr("The burn failed: %1"))
                        .arg(outcome.reason.isEmpty() ? tr("the recorder gave no reason.")
                                                      : outcome.reason);
            break;
        case Outcome::Kind::Cancelled:
            phase_->setText(tr("Cancelled"));
            words = outcome.erase ? tr("The erase was cancelled.")
                                  : tr("The burn was cancelled: nothing was written that counts.");
            break;
        case Outcome::Kind::Refused:
            phase_->setText(tr("Nothing was burned"));
            bar_->setValue(0);
            words = outcome.reason;
            break;
    }
    heading_->setText(outcome.kind == Outcome::Kind::Done ? tr("Finished.") : tr("Not done."));
    result_->setText(words);
    result_->show();
    showFiles_->setVisible(!folder_.isEmpty());
    // A reason may take several lines: the dialog takes their height at the width it has.
    resize(width(), heightForWidth(width()));
    setWindowTitle(outcome.kind == Outcome::Kind::Done ? tr("Done") : tr("Not Done"));
    show();
    raise();
}

void ProgressDialog::cancelClicked() {
    if (!mediumWritten_) {
        cancel_->setEnabled(false);
        phase_->setText(tr("Cancelling..."));
        emit cancelRequested();
        return;
    }
    // Once the medium is being written, a stop may leave it unusable: ask first.
    confirm_ =
        new QMessageBox(QMessageBox::Warning, erase_ ? tr("Stop the erase?") : tr("Stop the burn?"),
                        erase_ ? tr("The disc is being erased. If you stop now it may "
                                    "not be usable until it is erased again.")
                               : tr("The disc is being written. If you stop now, a "
                                    "write-once disc is lost; an image is removed."),
                        QMessageBox::NoButton, this);
    confirm_->setObjectName("cancelConfirmation");
    auto* stop = confirm_->addButton(erase_ ? tr("&Stop Erasing") : tr("&Stop Burning"),
                                     QMessageBox::DestructiveRole);
    auto* goOn = confirm_->addButton(tr("&Go On"), QMessageBox::RejectRole);
    confirm_->setDefaultButton(goOn);
    confirm_->setAttribute(Qt::WA_DeleteOnClose);
    connect(stop, &QPushButton::clicked, this, [this] {
        cancel_->setEnabled(false);
        phase_->setText(tr("Cancelling..."));
        emit cancelRequested();
    });
    connect(confirm_, &QObject::destroyed, this, [this] { confirm_ = nullptr; });
    confirm_->open();
}

void ProgressDialog::closeEvent(QCloseEvent* event) {
    if (done_) {
        emit closed();
        event->accept();
        return;
    }
    // Closing the window while it works is asking to cancel.
    event->ignore();
    if (cancel_->isEnabled()) {
        cancelClicked();
    }
}

void ProgressDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_Escape) {
        QDialog::keyPressEvent(event);
    } else if (done_) {
        close_->click();
    } else if (cancel_->isEnabled()) {
        cancelClicked();
    }
}

}  // namespace kilnware::desktop
