#include "platform/media/Libburn.h"

#include <libburn.h>

namespace kilnware::platform::media {

using namespace burn;

std::mutex& libburnMutex() {
    static std::mutex mutex;
    return mutex;
}

bool startLibburn() {
    if (!burn_initialize()) {
        return false;
    }
    static std::once_flag quiet;
    std::call_once(quiet, [] {
        // Nothing on standard error; failures wait in the queue for whoever explains them.
        char queue[] = "SORRY";
        char never[] = "NEVER";
        char prefix[] = "libburn: ";
        burn_msgs_set_severities(queue, never, prefix);
    });
    return true;
}

}  // namespace kilnware::platform::media
