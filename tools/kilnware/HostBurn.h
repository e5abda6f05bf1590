#pragma once

#include <kilnware/Kilnware.h>

namespace kilnware::cli {

// The command's controller: the library's own, with the command's wider media policy. The
// library accepts only CD-R and CD-RW in every setup panel; a host widens that by answering the
// panels' media question itself, as this does: data discs, MP3 CDs, video DVDs and images go on
// CDs, DVDs and BDs; an audio CD stays a CD (the library's answer); an erase takes any rewritable
// medium.
class HostBurn : public VXBurn {
public:
    explicit HostBurn(bool audio = false) : audio_(audio) {}

    bool deviceContainsSuitableMedia(platform::DRSetupPanel& panel,
                                     const std::shared_ptr<platform::DRDevice>& device,
                                     std::optional<std::string>& promptString) override;

    static constexpr const char* kWritablePrompt =
        "That is no medium this command can write: insert a blank CD-R or CD-RW, DVD-R, DVD+R, "
        "DVD-RW, DVD+RW (single or double layer), DVD-RAM, BD-R or BD-RE.";
    static constexpr const char* kErasablePrompt =
        "That is no medium this command can erase: insert a CD-RW, DVD-RW, DVD+RW, DVD-RAM or "
        "BD-RE.";

private:
    bool audio_;
};

}  // namespace kilnware::cli
