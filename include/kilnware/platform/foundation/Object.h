#pragma once

#include <memory>
#include <string>

#include <kilnware/Export.h>

namespace kilnware::platform {

// The root of every reference-counted object of the library and its platform.
//
// Objects are meant to be owned by std::shared_ptr, but a host may also keep one on the stack or
// as a member. `self()` and `weakSelf()` work in both cases: for an object that no shared_ptr owns
// they hand out non-owning references that lapse when the object is destroyed, so a callback
// scheduled for later can tell that its target is gone.
class KILNWARE_EXPORT Object : public std::enable_shared_from_this<Object> {
public:
    Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    virtual ~Object();

    // What "%@" shows for this object in a log line.
    virtual std::string description() const;

    std::shared_ptr<Object> self() const;
    std::weak_ptr<Object> weakSelf() const { return self(); }

    template <class T>
    std::shared_ptr<T> selfAs() const {
        return std::dynamic_pointer_cast<T>(self());
    }

private:
    mutable std::shared_ptr<Object> anchor_;  // only for objects that no shared_ptr owns
};

}  // namespace kilnware::platform
