#include <kilnware/platform/foundation/Object.h>

#include <cstdio>
#include <typeinfo>

namespace kilnware::platform {

Object::~Object() = default;

std::string Object::description() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return std::string("<") + typeid(*this).name() + " " + address + ">";
}

std::shared_ptr<Object> Object::self() const {
    if (auto owned = weak_from_this().lock()) {
        return std::const_pointer_cast<Object>(owned);
    }
    if (!anchor_) {
        // Nobody owns this object through shared_ptr: hand out a non-owning reference whose
        // control block dies with the object, so that weak references to it lapse in time.
        anchor_ = std::shared_ptr<Object>(const_cast<Object*>(this), [](Object*) {});
    }
    return anchor_;
}

}  // namespace kilnware::platform
