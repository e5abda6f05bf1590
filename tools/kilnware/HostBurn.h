#pragma once

#include <optional>
#include <string>

#include <kilnware/Kilnware.h>

#include "CommandLine.h"
#include "ContentPolicy.h"

namespace kilnware::cli {

// What the person asked of the burn beyond its layout.
struct BurnWishes {
    bool audio = false;  // an audio CD: the library's own media policy
    std::optional<double> speed;
    bool simulate = false;
    MediaRequest media;
};

// The command's controller: the library's own, with the command's wider media policy. The
// library accepts only CD-R and CD-RW in every setup panel; a host widens that by answering the
// panels' media question itself, as this does: data discs, MP3 CDs, video DVDs and images go on
// CDs, DVDs and BDs; an audio CD stays a CD (the library's answer); an erase takes any rewritable
// medium. A medium is refused too, with the reason as its prompt, when the layout does not fit it,
// when it is not written at the speed asked, or when --simulate is asked of the image recorder.
// A medium that holds anything is never written over unasked: it is refused with a prompt that
// says what it holds and what can be done, unless the person asked to add a session to it or to
// write over it (--overwrite, or yes to overwriteQuestion): the hosts' shared ContentPolicy.
class HostBurn : public VXBurn {
public:
    explicit HostBurn(BurnWishes wishes = {})
        : wishes_(std::move(wishes)), content_(wishes_.media) {}

    bool deviceContainsSuitableMedia(platform::DRSetupPanel& panel,
                                     const std::shared_ptr<platform::DRDevice>& device,
                                     std::optional<std::string>& promptString) override;

    // The question to ask the person before writing over the medium in `device`: what it holds
    // and that it would be lost. None where writing over it is not refused, or cannot be allowed
    // (a write-once disc that holds data).
    std::optional<std::string> overwriteQuestion(const platform::DRDevice& device) const {
        return content_.overwriteQuestion(device);
    }
    // The person said yes to it.
    void allowOverwrite(const platform::DRDevice& device) { content_.allowOverwrite(device); }
    // Sets on the burn for `device` what the person asked: DRBurnOverwriteDiscKey,
    // DRBurnAppendKey, DRBurnReplaceFilesKey, DRBurnAppendableKey.
    void applyRequest(platform::DRBurn& burn, const platform::DRDevice& device) const {
        content_.applyTo(burn, device);
    }

    static constexpr const char* kWritablePrompt =
        "That is no medium this command can write: insert a blank CD-R or CD-RW, DVD-R, DVD+R, "
        "DVD-RW, DVD+RW (single or double layer), DVD-RAM, BD-R or BD-RE.";
    static constexpr const char* kErasablePrompt =
        "That is no medium this command can erase: insert a CD-RW, DVD-RW, DVD+RW, DVD-RAM or "
        "BD-RE.";

private:
    // Whether the medium's type suits the burn.
    bool suitableType(platform::DRSetupPanel& panel,
                      const std::shared_ptr<platform::DRDevice>& device,
                      std::optional<std::string>& promptString);
    // Why this burn cannot go on the medium in `device`; none when it can.
    std::optional<std::string> refusal(const platform::DRDevice& device) const;
    // The smallest of the image recorder's media that a data layout too large for its medium
    // fits, as an option to give.
    static std::string largerMedium(const LayoutMeasure& measure);

    BurnWishes wishes_;
    hosts::ContentPolicy content_;
};

}  // namespace kilnware::cli
