#pragma once

#include <QCoreApplication>

#include <kilnware/Kilnware.h>

#include "ContentPolicy.h"

namespace kilnware::desktop {

// The program's controller: the library's own with the hosts' wider media policy
// (tools/hosts/MediaPolicy.h) for everything but an audio CD, which keeps the library's answer.
// A medium is refused too, with the reason as its prompt, when it holds data and the user has not
// chosen what to do with it (write over a rewritable, or add a session: the hosts' ContentPolicy),
// or when the layout does not fit it.
class DesktopBurn : public VXBurn {
    Q_DECLARE_TR_FUNCTIONS(DesktopBurn)

public:
    // An audio CD keeps the library's answer; set before each burn.
    void setAudio(bool audio) { audio_ = audio; }
    // What a burn does with media that hold data; set before each burn, and per recorder as the
    // user chooses in the setup dialog.
    hosts::ContentPolicy& content() { return content_; }
    const hosts::ContentPolicy& content() const { return content_; }

    bool deviceContainsSuitableMedia(platform::DRSetupPanel& panel,
                                     const std::shared_ptr<platform::DRDevice>& device,
                                     std::optional<std::string>& promptString) override;

private:
    // Why this burn cannot go on the medium in `device`; empty when it can.
    QString refusal(const platform::DRDevice& device) const;
    // Why what the medium holds stops this burn, in the program's words; empty when it does not.
    QString contentRefusal(const platform::DRDevice& device) const;

    bool audio_ = false;
    hosts::ContentPolicy content_;
};

}  // namespace kilnware::desktop
