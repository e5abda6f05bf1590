#pragma once

#include <QDialog>
#include <QElapsedTimer>

#include "Project.h"

class QLabel;
class QMessageBox;
class QProgressBar;
class QPushButton;

namespace kilnware::desktop {

// The progress panel: what is done now, a bar, the megabytes written of all, the speed as a
// multiple of the medium's 1x and the time left; Cancel, which asks first once the medium is
// being written. When the burn ends it says what was written, or why not, and for the image
// recorder offers to show the files.
class ProgressDialog : public QDialog {
    Q_OBJECT

public:
    explicit ProgressDialog(QWidget* parent = nullptr);

    // The library lays the disc out (and runs its tools) before the setup panel.
    void preparing(const QString& what);
    void began(const QString& description, bool erase);
    void update(const Progress& progress);
    void showOutcome(const Outcome& outcome);
    bool showsOutcome() const { return done_; }
    // Whether a burn or erase began since the last preparation.
    bool hasBegun() const { return begun_; }

signals:
    void cancelRequested();
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void cancelClicked();

    QLabel* heading_;
    QLabel* phase_;
    QProgressBar* bar_;
    QLabel* amount_;
    QLabel* speed_;
    QLabel* left_;
    QLabel* result_;
    QPushButton* showFiles_;
    QPushButton* cancel_;
    QPushButton* close_;
    QMessageBox* confirm_ = nullptr;
    QElapsedTimer writing_;  // since the medium began to be written
    bool erase_ = false;
    bool mediumWritten_ = false;
    bool done_ = false;
    bool begun_ = false;
    QString folder_;
};

}  // namespace kilnware::desktop
