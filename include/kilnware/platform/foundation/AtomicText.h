#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <kilnware/Export.h>

namespace kilnware::platform {

// A text property that a getter never sees half-written: a get and a set of the same property are
// indivisible against each other. Absent is not the same as empty.
class KILNWARE_EXPORT AtomicText {
public:
    AtomicText() = default;
    explicit AtomicText(std::optional<std::string> text) { store(std::move(text)); }
    AtomicText(const AtomicText&) = delete;
    AtomicText& operator=(const AtomicText&) = delete;

    std::optional<std::string> load() const {
        std::shared_ptr<const std::string> text;
        {
            std::lock_guard lock(mutex_);
            text = text_;
        }
        return text ? std::optional<std::string>(*text) : std::nullopt;
    }

    void store(std::optional<std::string> text) {
        auto fresh = text ? std::make_shared<const std::string>(std::move(*text)) : nullptr;
        std::lock_guard lock(mutex_);
        text_.swap(fresh);  // the old text is released outside the lock, with `fresh`
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const std::string> text_;
};

}  // namespace kilnware::platform
