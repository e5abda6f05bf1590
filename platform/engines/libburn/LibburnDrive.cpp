// The grabbed drive and what it says of its medium.

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/engines/libburn/Isoburn.h"
#include "platform/engines/libburn/LibburnParts.h"
#include "platform/media/Libburn.h"

namespace kilnware::platform::libburn {

using namespace burn;

std::string lastMessage(const std::string& fallback) {
    std::lock_guard lock(media::libburnMutex());
    std::string text = fallback;
    char minimum[] = "SORRY";
    char message[BURN_MSGS_MESSAGE_LEN] = {};
    char severity[80] = {};
    int code = 0;
    int osErrno = 0;
    while (burn_msgs_obtain(minimum, &code, message, &osErrno, severity) == 1) {
        text = std::string("libburn: ") + message;
        // The system's reason ("No space left on device") is what the user can act on.
        if (osErrno != 0) {
            text += " (" + std::error_code(osErrno, std::generic_category()).message() + ")";
        }
    }
    return text;
}

std::unique_ptr<Drive> Drive::grab(const std::string& address, bool load) {
    std::lock_guard lock(media::libburnMutex());
    if (!media::startLibburn()) {
        return nullptr;
    }
    std::vector<char> adr(address.begin(), address.end());
    adr.push_back('\0');
    // A file is tried for reading and writing, as xorriso's -early_stdio_test does: one that
    // may only be read is a closed medium (role 4), and one that may only be written and holds
    // something is appendable (role 5), not blank, so that it is never written over unasked.
    burn_allow_drive_role_4(1 | 2 | 8);
    ::burn_drive_info* acquired = nullptr;
    // bit 2: a file is cut where libisoburn begins to write a session into it, so that nothing
    // of what it held before lingers after the session's end.
    const int status = isoburn_drive_aquire(&acquired, adr.data(), (load ? 1 : 0) | 4);
    auto* infos = reinterpret_cast<burn_drive_info*>(acquired);
    if (status != 1 || !infos) {
        if (infos) {
            burn_drive_info_free(infos);
        }
        return nullptr;
    }
    return std::make_unique<Drive>(infos);
}

Drive::~Drive() {
    std::lock_guard lock(media::libburnMutex());
    isoburn_drive_release(isoburn(infos_[0].drive), eject_ ? 1 : 0);
    burn_drive_info_free(infos_);
}

burn_drive* Drive::get() const {
    return infos_[0].drive;
}

int Drive::role() const {
    return burn_drive_get_drive_role(get());
}

int Drive::profile() const {
    int profile = 0;
    char name[80] = {};
    burn_disc_get_profile(get(), &profile, name);
    return profile;
}

std::string Drive::profileName() const {
    int profile = 0;
    char name[80] = {};
    burn_disc_get_profile(get(), &profile, name);
    return std::string(name, strnlen(name, sizeof name));
}

void Drive::waitWhileSpawning() const {
    while (burn_drive_get_status(get(), nullptr) == BURN_DRIVE_SPAWNING) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

MediumReading readMedium(const Drive& drive) {
    MediumReading reading;
    reading.state = burn_disc_get_status(drive.get());
    reading.profile = drive.profile();
    reading.role = drive.role();
    reading.availableBytes = burn_disc_available_space(drive.get(), nullptr);
    int capacity = 0;
    if (burn_get_read_capacity(drive.get(), &capacity, 0) > 0) {
        reading.readCapacity = capacity;
    }
    std::lock_guard lock(media::libburnMutex());
    reading.sessionState = isoburn_disc_get_status(isoburn(drive.get()));
    reading.appendableBytes = isoburn_disc_available_space(isoburn(drive.get()), nullptr);
    readSessions(drive, reading);
    // A medium without sessions that is not blank holds something else: its first blocks say what.
    if (reading.sessions.empty() && reading.sessionState != BURN_DISC_BLANK &&
        reading.sessionState != BURN_DISC_EMPTY && reading.sessionState != BURN_DISC_UNREADY) {
        const std::vector<unsigned char> head = readHead(drive);
        reading.fileSystem = fileSystemOf(head.data(), head.size());
    }
    return reading;
}

std::vector<std::uint64_t> writeSpeeds(const Drive& drive) {
    std::vector<std::uint64_t> speeds;
    burn_speed_descriptor* list = nullptr;
    if (burn_drive_get_speedlist(drive.get(), &list) == 1) {
        const int profile = drive.profile();
        for (const burn_speed_descriptor* s = list; s; s = s->next) {
            // Descriptors for another medium than the one in the drive do not apply.
            if (s->write_speed > 0 && (s->profile_loaded < 0 || s->profile_loaded == profile)) {
                speeds.push_back(static_cast<std::uint64_t>(s->write_speed));
            }
        }
        burn_drive_free_speedlist(&list);
    }
    if (speeds.empty() && burn_drive_get_write_speed(drive.get()) > 0) {
        speeds.push_back(static_cast<std::uint64_t>(burn_drive_get_write_speed(drive.get())));
    }
    std::sort(speeds.begin(), speeds.end(), std::greater<>());
    speeds.erase(std::unique(speeds.begin(), speeds.end()), speeds.end());
    return speeds;
}

std::string simulationRefusal(const Drive& drive) {
    burn_multi_caps* caps = nullptr;
    const int possible = burn_disc_get_multi_caps(drive.get(), BURN_WRITE_NONE, &caps, 0);
    const bool simulates = possible > 0 && caps && caps->might_simulate;
    burn_disc_free_multi_caps(&caps);
    if (simulates) {
        return {};
    }
    const std::string name = drive.profileName();
    return "This medium cannot simulate a burn: " + (name.empty() ? "the drive" : name) +
           (possible > 0 ? " has no test write." : " cannot be written.");
}

}  // namespace kilnware::platform::libburn
