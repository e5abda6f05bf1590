#pragma once

#include <memory>
#include <string>
#include <vector>

#include <kilnware/Export.h>

namespace kilnware::platform {

// A source of recorders. An engine announces its recorders through DeviceRegistry once started,
// and withdraws them when stopped. The host picks the engines at start-up.
class KILNWARE_EXPORT Engine {
public:
    virtual ~Engine();
    virtual std::string name() const = 0;
    virtual void start() = 0;
    virtual void stop() = 0;

    // Starts `engine` and keeps it until `stopAll`.
    static void install(std::shared_ptr<Engine> engine);
    static void stopAll();
    static std::vector<std::shared_ptr<Engine>> installed();
};

}  // namespace kilnware::platform
