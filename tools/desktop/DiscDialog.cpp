#include "DiscDialog.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace kilnware::desktop {

DiscDialog::DiscDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("discDialog");
    setWindowModality(Qt::WindowModal);
    setMinimumWidth(fontMetrics().averageCharWidth() * 72);
    auto* layout = new QVBoxLayout(this);
    words_ = new QLabel;
    words_->setWordWrap(true);
    words_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    words_->setAccessibleName(tr("Result"));
    layout->addWidget(words_);
    bar_ = new QProgressBar;
    bar_->setRange(0, 1000);
    bar_->setAccessibleName(tr("Checked so far"));
    layout->addWidget(bar_);
    files_ = new QTreeWidget;
    files_->setHeaderLabels({tr("Name"), tr("Size"), tr("Modified")});
    files_->setAccessibleName(tr("Files on the disc"));
    files_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    files_->setMinimumSize(520, 300);
    layout->addWidget(files_, 1);
    auto* buttons = new QDialogButtonBox;
    stop_ = buttons->addButton(tr("&Stop"), QDialogButtonBox::RejectRole);
    stop_->setAccessibleName(tr("Stop"));
    close_ = buttons->addButton(QDialogButtonBox::Close);
    close_->setAccessibleName(tr("Close"));
    layout->addWidget(buttons);
    connect(stop_, &QPushButton::clicked, this, &DiscDialog::stopRequested);
    // Closed while it checks (Escape), the check stops too.
    connect(this, &QDialog::rejected, this, [this] {
        if (!shown_) {
            emit stopRequested();
        }
    });
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);
}

void DiscDialog::began(const QString& recorder, bool check) {
    shown_ = false;
    setWindowTitle(check ? tr("Check Disc") : tr("Disc Contents"));
    words_->setText(check ? tr("Checking the disc in %1...").arg(recorder)
                          : tr("Reading the disc in %1...").arg(recorder));
    bar_->setVisible(check);
    bar_->setValue(0);
    files_->clear();
    files_->setVisible(!check);
    stop_->setVisible(check);
    close_->setEnabled(!check);
}

void DiscDialog::progress(double fraction) {
    bar_->setValue(static_cast<int>(fraction * 1000));
}

void DiscDialog::showReading(const DiscReading& reading) {
    shown_ = true;
    stop_->hide();
    close_->setEnabled(true);
    close_->setFocus();
    if (!reading.error.isEmpty()) {
        words_->setText(
            tr("The disc in %1 could not be read: %2").arg(reading.name, reading.error));
        bar_->hide();
        return;
    }
    if (reading.check) {
        bar_->setValue(1000);
        words_->setText(
            (reading.damaged ? tr("The disc in %1 is damaged.") : tr("The disc in %1 is intact."))
                .arg(reading.name) +
            QStringLiteral("\n\n") + reading.sessions.join(QLatin1Char('\n')));
        adjustSize();  // each session's verdict takes a line or more
        return;
    }
    words_->setText(
        reading.entries.isEmpty()
            ? tr("The newest session on the disc in %1 holds no files.").arg(reading.name)
            : tr("The files of the newest session on the disc in %1:").arg(reading.name));
    // Folders come before what they hold: each item's parent is already there.
    QHash<QString, QTreeWidgetItem*> folders;
    for (const auto& entry : reading.entries) {
        const qsizetype slash = entry.path.lastIndexOf(QLatin1Char('/'));
        QTreeWidgetItem* parent = folders.value(entry.path.left(slash));
        auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(files_);
        item->setText(0, entry.path.mid(slash + 1));
        if (entry.folder) {
            folders.insert(entry.path, item);
        } else {
            item->setText(1, QLocale().formattedDataSize(static_cast<qint64>(entry.size)));
        }
        item->setText(2, QLocale().toString(QDateTime::fromSecsSinceEpoch(entry.modified),
                                            QLocale::ShortFormat));
    }
    files_->expandToDepth(0);
}

}  // namespace kilnware::desktop
