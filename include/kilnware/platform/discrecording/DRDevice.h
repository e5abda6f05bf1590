#pragma once

#include <memory>
#include <string>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include <kilnware/platform/foundation/Object.h>
#include <kilnware/platform/foundation/Value.h>

namespace kilnware::platform {

class DRBurn;
class DRDiscContents;
class DRErase;

// A recorder. Engines subclass it; the library sees only the face: info, status, display name and
// the eject request.
class KILNWARE_EXPORT DRDevice : public Object {
public:
    // The recorders that the engines offer now, in order of appearance.
    static std::vector<std::shared_ptr<DRDevice>> devices();

    virtual std::string displayName() const = 0;
    // Holds DRDevicePhysicalInterconnectKey.
    virtual Dictionary info() const = 0;
    // DRDeviceIsBusyKey, DRDeviceMediaStateKey and, with a medium, DRDeviceMediaInfoKey.
    virtual Dictionary status() const = 0;
    // True when the engine accepted the request.
    virtual bool ejectMedia() = 0;
    // What the medium holds, read back (see DRDiscContents), or null with `error` saying why: the
    // recorder cannot read its medium, is busy, or holds none.
    virtual std::unique_ptr<DRDiscContents> contents(std::string& error);

    std::string description() const override { return displayName(); }

    // For DRBurn and DRErase: start the work and return at once. The engine reports through the
    // operation, from any thread, and ends with the state Done or Failed.
    // `layout` holds at least one track (DRBurn::tracksOfLayout).
    virtual void startBurn(const std::shared_ptr<DRBurn>& burn, const Value& layout) = 0;
    virtual void startErase(const std::shared_ptr<DRErase>& erase) = 0;
};

}  // namespace kilnware::platform
