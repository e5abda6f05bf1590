#pragma once

#include <QCoreApplication>

#include <kilnware/Kilnware.h>

namespace kilnware::desktop {

// The program's controller: the library's own with the hosts' wider media policy
// (tools/hosts/MediaPolicy.h) for everything but an audio CD, which keeps the library's answer.
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
