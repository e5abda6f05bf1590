#pragma once

#include <QDialog>

#include "Project.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace kilnware::desktop {

// A disc read back: the files of its newest session, or each of its sessions checked against the
// checksums written with it. It shows the reading while it runs (a check can be stopped) and
// then its result.
class DiscDialog : public QDialog {
    Q_OBJECT

public:
    explicit DiscDialog(QWidget* parent = nullptr);

    // A reading of the disc in `recorder` has begun.
    void began(const QString& recorder, bool check);
    void progress(double fraction);
    void showReading(const DiscReading& reading);
    // Whether the reading began last has ended and is shown.
    bool shown() const { return shown_; }

signals:
    void stopRequested();

private:
    QLabel* words_;
    QProgressBar* bar_;
    QTreeWidget* files_;
    QPushButton* stop_;
    QPushButton* close_;
    bool shown_ = false;
};

}  // namespace kilnware::desktop
