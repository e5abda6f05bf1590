#pragma once

#include <optional>
#include <set>
#include <string>

#include <kilnware/Kilnware.h>

namespace CLI {
class App;
}

namespace kilnware::cli {

struct Medium;

// What the person asked for a medium that already holds something.
struct MediaRequest {
    bool overwrite = false;  // --overwrite: write over it (a rewritable is blanked first)
    bool append = false;     // --append: add a session, with the earlier sessions' files
    bool replace = false;    // --replace: with --append, a name that exists is replaced
    bool close = false;      // --close: no session can be added after this burn
    bool sessions = false;   // a data disc or MP3 CD: left appendable unless closed
};

// --overwrite for every burn; --append, --replace and --close where sessions can be added (the
// caller sets `request.sessions` for the burn that runs).
void addMediaOptions(CLI::App& command, MediaRequest& request, bool sessions);

// The command's controller: the library's own, with the command's wider media policy. The
// library accepts only CD-R and CD-RW in every setup panel; a host widens that by answering the
// panels' media question itself, as this does: data discs, MP3 CDs, video DVDs and images go on
// CDs, DVDs and BDs; an audio CD stays a CD (the library's answer); an erase takes any rewritable
// medium. A medium that holds anything is never written over unasked: it is refused with a prompt
// that says what it holds and what can be done, unless the person asked to add a session to it
// or to write over it (--overwrite, or yes to overwriteQuestion).
class HostBurn : public VXBurn {
public:
    explicit HostBurn(bool audio = false, MediaRequest request = {})
        : audio_(audio), request_(request) {}

    bool deviceContainsSuitableMedia(platform::DRSetupPanel& panel,
                                     const std::shared_ptr<platform::DRDevice>& device,
                                     std::optional<std::string>& promptString) override;

    // The question to ask the person before writing over the medium in `device`: what it holds
    // and that it would be lost. None where writing over it is not refused, or cannot be allowed
    // (a write-once disc that holds data).
    std::optional<std::string> overwriteQuestion(const platform::DRDevice& device) const;
    // The person said yes to it.
    void allowOverwrite(const platform::DRDevice& device);
    // Sets on the burn for `device` what the person asked: DRBurnOverwriteDiscKey,
    // DRBurnAppendKey, DRBurnReplaceFilesKey, DRBurnAppendableKey.
    void applyRequest(platform::DRBurn& burn, const platform::DRDevice& device) const;

    static constexpr const char* kWritablePrompt =
        "That is no medium this command can write: insert a blank CD-R or CD-RW, DVD-R, DVD+R, "
        "DVD-RW, DVD+RW (single or double layer), DVD-RAM, BD-R or BD-RE.";
    static constexpr const char* kErasablePrompt =
        "That is no medium this command can erase: insert a CD-RW, DVD-RW, DVD+RW, DVD-RAM or "
        "BD-RE.";

private:
    // Why what the medium holds stops this burn, or none.
    std::optional<std::string> contentRefusal(const Medium& medium,
                                              const platform::DRDevice& device) const;
    bool overwriteAllowed(const platform::DRDevice& device) const;

    bool audio_;
    MediaRequest request_;
    std::set<std::string> allowed_;  // display names of the recorders the person said yes for
};

}  // namespace kilnware::cli
