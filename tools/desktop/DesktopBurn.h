#pragma once

#include <QCoreApplication>

#include <kilnware/Kilnware.h>

namespace kilnware::desktop {

// The program's controller: the library's own with the program's wider media policy. The library
// takes only CD-R and CD-RW in every setup panel; data discs, MP3 CDs, video DVDs and images go
// on CDs, DVDs and BDs here (and libburn's pseudo-drives over files), an audio CD keeps the
// library's answer, and an erase takes any rewritable medium.
class DesktopBurn : public VXBurn {
    Q_DECLARE_TR_FUNCTIONS(DesktopBurn)

public:
    // An audio CD keeps the library's answer; set before each burn.
    void setAudio(bool audio) { audio_ = audio; }

    bool deviceContainsSuitableMedia(platform::DRSetupPanel& panel,
                                     const std::shared_ptr<platform::DRDevice>& device,
                                     std::optional<std::string>& promptString) override;

private:
    bool audio_ = false;
};

}  // namespace kilnware::desktop
