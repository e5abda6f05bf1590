#include "platform/media/Libburn.h"

#include <clocale>
#include <cstdint>

#include <libburn/libburn.h>
#include <libisofs/libisofs.h>
// libisoburn.h names libburn's types outside its namespace; see platform/engines/libburn/Isoburn.h.
#include <libisoburn/libisoburn.h>

namespace kilnware::platform::media {

namespace {

struct Started {
    bool ok = false;
    std::string error;
};

// libisoburn starts libisofs and libburn itself, and links their message queues into one.
const Started& startOnce() {
    static Started started;
    static std::once_flag once;
    std::call_once(once, [] {
        // It sets the process's character type from the environment, which is the host's to
        // choose: that is put back. Every name of the library is UTF-8.
        const char* current = std::setlocale(LC_CTYPE, nullptr);
        const std::string locale = current ? current : "C";
        char message[1024] = {};
        started.ok = isoburn_initialize(message, 0) == 1;
        std::setlocale(LC_CTYPE, locale.c_str());
        if (!started.ok) {
            started.error = std::string("libisoburn cannot start: ") + message;
            return;
        }
        char charset[] = "UTF-8";
        iso_set_local_charset(charset, 0);
        // Nothing on standard error; failures wait in the one queue for whoever explains them.
        char queue[] = "SORRY";
        char never[] = "NEVER";
        char burnPrefix[] = "libburn: ";
        char isoPrefix[] = "libisofs: ";
        iso_set_msgs_severities(queue, never, isoPrefix);
        burn::burn_msgs_set_severities(queue, never, burnPrefix);
    });
    return started;
}

}  // namespace

std::mutex& libburnMutex() {
    static std::mutex mutex;
    return mutex;
}

bool startLibburn() {
    return startOnce().ok && burn::burn_initialize();
}

bool startLibisofs(std::string& error) {
    const Started& started = startOnce();
    if (!started.ok) {
        error = started.error;
    }
    return started.ok;
}

}  // namespace kilnware::platform::media
