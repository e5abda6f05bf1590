#pragma once

#include <optional>
#include <set>
#include <string>

#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/discrecording/DRDevice.h>

#include "Medium.h"

namespace kilnware::hosts {

// What the person asked for a medium that already holds something.
struct MediaRequest {
    bool overwrite = false;  // write over it (a rewritable is blanked first)
    bool append = false;     // add a session, with the earlier sessions' files
    bool replace = false;    // with append, a name that exists is replaced
    bool close = false;      // no session can be added after this burn
    bool sessions = false;   // a data disc or MP3 CD: left appendable unless closed
};

// What both hosts do with a medium that holds anything: it is never written over unasked. A
// session is added to appendable ISO 9660 sessions when asked (for every recorder, or for the
// one the person chose it for); a rewritable is written over when asked, or once the person said
// yes for its recorder; a write-once disc that holds data is never written over. The refusal's
// words name the command's options; the desktop program words its own choices from the same
// answers (appendable, rewritable) and the medium's holdings.
class ContentPolicy {
public:
    explicit ContentPolicy(MediaRequest request = {}) : request_(request) {}

    const MediaRequest& request() const { return request_; }
    // A new request forgets the answers given for single recorders.
    void setRequest(const MediaRequest& request);

    // Why what the medium in `device` holds stops this burn, or none.
    std::optional<std::string> refusal(const platform::DRDevice& device) const;
    // The question to ask before writing over the medium in `device`: what it holds and that it
    // would be lost. None where writing over it is not refused, or cannot be allowed.
    std::optional<std::string> overwriteQuestion(const platform::DRDevice& device) const;
    // The person said yes to writing over the medium in `device`, or to adding a session to it.
    void allowOverwrite(const platform::DRDevice& device);
    void allowAppend(const platform::DRDevice& device);
    bool overwriteAllowed(const platform::DRDevice& device) const;
    bool appending(const platform::DRDevice& device) const;
    // Whether `sectors` fit the medium in `device` because this burn writes over what it holds:
    // the room is then all it can hold (DRDeviceMediaBlocksOverwritableKey), not only the blocks
    // still free. Where that is not known (a CD-RW or DVD-RW written in sequence holds what
    // blanking leaves, which its free blocks do not tell), the engine finds out.
    bool fitsWrittenOver(std::uint64_t sectors, const platform::DRDevice& device) const;
    // Sets on the burn for `device` what was asked: DRBurnOverwriteDiscKey, DRBurnAppendKey,
    // DRBurnReplaceFilesKey, DRBurnAppendableKey.
    void applyTo(platform::DRBurn& burn, const platform::DRDevice& device) const;

    static Medium mediumIn(const platform::DRDevice& device);
    // A libburn pseudo-drive over a file, which its name says all of.
    static bool pseudoDrive(const platform::DRDevice& device);
    // What a medium that holds data is called in a sentence: "The CDRW in Drive", or a
    // pseudo-drive's name.
    static std::string called(const Medium& medium, const platform::DRDevice& device);
    // A session can be added after what the medium holds.
    static bool continuable(const Medium& medium);
    // It can be written over (blanked first where it must be).
    static bool rewritable(const Medium& medium) { return medium.overwritable || medium.erasable; }

private:
    MediaRequest request_;
    // Display names of the recorders the person said yes for.
    std::set<std::string> overwrite_, append_;
};

}  // namespace kilnware::hosts
