#pragma once

#include <QDialog>

#include "Project.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace kilnware::desktop {

// The setup panel: every recorder with the controller's verdict (one that cannot take the disc
// shows why and cannot be chosen), the speed, simulation, and the image recorder's medium and
// folder. Burn (or Erase) answers with the recorder chosen; Cancel closes it.
class SetupDialog : public QDialog {
    Q_OBJECT

public:
    explicit SetupDialog(QWidget* parent = nullptr);

    // Shows the request, keeping the recorder chosen when it is still there.
    void setRequest(const SetupRequest& request);
    SetupAnswer answer() const;

signals:
    void imageRecorderChanged(const kilnware::desktop::ImageRecorderSettings& settings);
    // The user chose what to do with the medium of a recorder that holds data.
    void mediumUseChosen(quintptr recorder, kilnware::desktop::MediumUse use);
    void ejectRequested(quintptr recorder);

private:
    void chosen();
    // Asks before the medium of the chosen recorder is written over.
    void confirmWriteOver();
    const SetupChoice* current() const;

    SetupRequest request_;
    QLabel* heading_;
    QVBoxLayout* recorders_;
    QButtonGroup* group_;
    QList<QWidget*> rows_;
    QComboBox* speed_;
    QCheckBox* simulate_;
    QWidget* imageSettings_;
    QComboBox* imageMedium_;
    QLabel* imageFolder_;
    QWidget* mediumChoice_;  // what to do with a medium that holds data
    QPushButton* writeOver_;
    QPushButton* addSession_;
    QPushButton* eject_;
    QPushButton* confirm_;
    bool mediumChosen_ = false;  // the next request answers a choice of what to do with a disc
};

}  // namespace kilnware::desktop
