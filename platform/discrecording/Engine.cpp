#include <kilnware/platform/discrecording/Engine.h>

#include <mutex>

namespace kilnware::platform {

namespace {
std::mutex& enginesMutex() {
    static std::mutex mutex;
    return mutex;
}
std::vector<std::shared_ptr<Engine>>& engines() {
    static std::vector<std::shared_ptr<Engine>> list;
    return list;
}
}  // namespace

Engine::~Engine() = default;

void Engine::install(std::shared_ptr<Engine> engine) {
    if (!engine) {
        return;
    }
    {
        std::lock_guard lock(enginesMutex());
        engines().push_back(engine);
    }
    engine->start();
}

void Engine::stopAll() {
    std::vector<std::shared_ptr<Engine>> stopping;
    {
        std::lock_guard lock(enginesMutex());
        stopping.swap(engines());
    }
    for (auto it = stopping.rbegin(); it != stopping.rend(); ++it) {
        (*it)->stop();
    }
}

std::vector<std::shared_ptr<Engine>> Engine::installed() {
    std::lock_guard lock(enginesMutex());
    return engines();
}

}  // namespace kilnware::platform
