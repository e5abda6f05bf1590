#include <kilnware/platform/foundation/Log.h>

#include <map>
#include <mutex>

namespace kilnware::platform {

namespace {
struct LogState {
    std::mutex mutex;
    std::map<Log::SinkId, Log::Sink> sinks;
    Log::SinkId nextSink = 1;
};
LogState& state() {
    static LogState instance;
    return instance;
}
}  // namespace

std::string formatDescription(std::string_view format,
                              std::initializer_list<std::string_view> arguments) {
    std::string out;
    auto next = arguments.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '@' &&
            next != arguments.end()) {
            out += *next++;
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

void Log::write(std::string_view line) {
    std::lock_guard lock(state().mutex);
    for (const auto& [id, sink] : state().sinks) {
        sink(line);
    }
}

void Log::write(std::string_view format, std::initializer_list<std::string_view> arguments) {
    write(formatDescription(format, arguments));
}

void Log::setStandardErrorEnabled(bool) {}
void Log::setSystemLogEnabled(bool) {}

Log::SinkId Log::addSink(Sink sink) {
    std::lock_guard lock(state().mutex);
    auto id = state().nextSink++;
    state().sinks.emplace(id, std::move(sink));
    return id;
}

void Log::removeSink(SinkId id) {
    std::lock_guard lock(state().mutex);
    state().sinks.erase(id);
}

}  // namespace kilnware::platform
