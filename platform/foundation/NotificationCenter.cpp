#include <kilnware/platform/foundation/NotificationCenter.h>

#include <algorithm>
#include <atomic>

namespace kilnware::platform {

struct ObserverRegistry::Registration {
    const void* observer;
    std::optional<std::string> name;
    const Object* sender;
    NotificationHandler handler;
    std::shared_ptr<RunLoop> loop;
    std::atomic<bool> withdrawn{false};

    bool matches(const std::string& noticeName, const Object* noticeSender) const {
        return (!name || *name == noticeName) && (!sender || sender == noticeSender);
    }
};

ObserverRegistry::RegistrationRef ObserverRegistry::add(const void* observer,
                                                        std::optional<std::string> name,
                                                        const Object* sender,
                                                        NotificationHandler handler,
                                                        std::shared_ptr<RunLoop> loop) {
    auto registration = std::make_shared<Registration>();
    registration->observer = observer;
    registration->name = std::move(name);
    registration->sender = sender;
    registration->handler = std::move(handler);
    registration->loop = std::move(loop);
    std::lock_guard lock(mutex_);
    registrations_.push_back(registration);
    return registration;
}

void ObserverRegistry::remove(const void* observer, const std::optional<std::string>& name,
                              const Object* sender) {
    std::lock_guard lock(mutex_);
    std::erase_if(registrations_, [&](const RegistrationRef& r) {
        bool hit = r->observer == observer && (!name || r->name == name) &&
                   (!sender || r->sender == sender);
        if (hit) {
            r->withdrawn = true;
        }
        return hit;
    });
}

std::vector<ObserverRegistry::RegistrationRef> ObserverRegistry::matching(
    const std::string& name, const Object* sender) const {
    std::vector<RegistrationRef> hits;
    std::lock_guard lock(mutex_);
    for (const auto& r : registrations_) {
        if (r->matches(name, sender)) {
            hits.push_back(r);
        }
    }
    return hits;
}

std::size_t ObserverRegistry::count(const void* observer) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(registrations_.begin(), registrations_.end(),
                      [&](const RegistrationRef& r) { return r->observer == observer; }));
}

void ObserverRegistry::dispatch(const Notification& notice) const {
    // Observers are taken before the first is called, so that one added during this delivery
    // waits for the next post; one withdrawn during it is skipped.
    for (const auto& registration : matching(notice.name, notice.object.get())) {
        send(registration, notice);
    }
}

void ObserverRegistry::send(const RegistrationRef& registration, const Notification& notice) {
    if (!registration->loop) {
        if (!registration->withdrawn) {
            registration->handler(notice);
        }
        return;
    }
    registration->loop->post([registration, notice] {
        if (!registration->withdrawn) {
            registration->handler(notice);
        }
    });
}

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

void NotificationCenter::addObserver(const void* observer, std::optional<std::string> name,
                                     const Object* sender, NotificationHandler handler) {
    registry_.add(observer, std::move(name), sender, std::move(handler));
}

void NotificationCenter::removeObserver(const void* observer,
                                        const std::optional<std::string>& name,
                                        const Object* sender) {
    registry_.remove(observer, name, sender);
}

std::size_t NotificationCenter::observationCount(const void* observer) const {
    return registry_.count(observer);
}

void NotificationCenter::postNotificationName(const std::string& name,
                                              std::shared_ptr<Object> object,
                                              std::optional<Dictionary> userInfo) {
    post(Notification{name, std::move(object), std::move(userInfo)});
}

void NotificationCenter::post(const Notification& notice) {
    registry_.dispatch(notice);
}

}  // namespace kilnware::platform
