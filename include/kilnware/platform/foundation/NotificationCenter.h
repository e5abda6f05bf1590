#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/foundation/Object.h>
#include <kilnware/platform/foundation/RunLoop.h>
#include <kilnware/platform/foundation/Value.h>

namespace kilnware::platform {

// A notice: its name, the object it is about (may be null) and, only when the poster gives one,
// a user-info dictionary.
struct KILNWARE_EXPORT Notification {
    std::string name;
    std::shared_ptr<Object> object;
    std::optional<Dictionary> userInfo;

    template <class T>
    std::shared_ptr<T> objectAs() const {
        return std::dynamic_pointer_cast<T>(object);
    }
};

using NotificationHandler = std::function<void(const Notification&)>;

// The registry behind both notification centers: observers by name (or every name) and by one
// sender (or every sender). Registering, withdrawing and posting are safe from inside a delivery:
// an observer withdrawn during a delivery is not called afterwards, one added is called from the
// next post on.
class KILNWARE_EXPORT ObserverRegistry {
public:
    struct Registration;
    using RegistrationRef = std::shared_ptr<Registration>;

    // `name` and `sender` null mean every name and every sender. `observer` is only an identity,
    // used to withdraw the registration later. With a `loop`, notices reach the handler later on
    // that run loop instead of during the post.
    RegistrationRef add(const void* observer, std::optional<std::string> name, const Object* sender,
                        NotificationHandler handler, std::shared_ptr<RunLoop> loop = nullptr);
    // Withdraws the observer's registrations that match `name` and `sender` (null: all).
    void remove(const void* observer, const std::optional<std::string>& name = std::nullopt,
                const Object* sender = nullptr);
    // The live registrations that a notice of `name` about `sender` reaches, in registration order.
    std::vector<RegistrationRef> matching(const std::string& name, const Object* sender) const;
    std::size_t count(const void* observer) const;

    // Hands the notice to every registration it reaches: at once, or through the registration's
    // run loop. A registration withdrawn before its turn is not called.
    void dispatch(const Notification& notice) const;
    // Hands one notice to one registration, as `dispatch` does.
    static void send(const RegistrationRef& registration, const Notification& notice);

private:
    mutable std::mutex mutex_;
    std::vector<RegistrationRef> registrations_;
};

// The process-wide notification center: posting is synchronous, so every observer has run when
// `post` returns.
class KILNWARE_EXPORT NotificationCenter {
public:
    static NotificationCenter& defaultCenter();

    void addObserver(const void* observer, std::optional<std::string> name, const Object* sender,
                     NotificationHandler handler);
    void removeObserver(const void* observer, const std::optional<std::string>& name = std::nullopt,
                        const Object* sender = nullptr);
    // How many registrations `observer` holds.
    std::size_t observationCount(const void* observer) const;

    void postNotificationName(const std::string& name, std::shared_ptr<Object> object,
                              std::optional<Dictionary> userInfo = std::nullopt);
    void post(const Notification& notice);

private:
    ObserverRegistry registry_;
};

}  // namespace kilnware::platform
