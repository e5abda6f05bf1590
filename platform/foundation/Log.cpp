#include <kilnware/platform/foundation/Log.h>

#include <syslog.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace kilnware::platform {

namespace {

struct LogState {
    // Recursive, so that a sink may add or remove sinks, or log, without deadlocking.
    std::recursive_mutex mutex;
    bool standardError = false;
    bool systemLog = true;
    bool systemLogOpen = false;
    Log::SinkId nextId = 1;
    std::vector<std::pair<Log::SinkId, std::shared_ptr<Log::LevelSink>>> sinks;
};

LogState& state() {
    // Never destroyed: threads and static destructors may still log while the process exits.
    static LogState* const instance = new LogState;
    return *instance;
}

thread_local bool insideSink = false;

}  // namespace

std::string formatDescription(std::string_view format,
                              std::initializer_list<std::string_view> arguments) {
    std::string line;
    line.reserve(format.size());
    auto next = arguments.begin();
    std::size_t pos = 0;
    while (pos < format.size()) {
        std::size_t mark = format.find("%@", pos);
        if (mark == std::string_view::npos) {
            break;
        }
        line.append(format, pos, mark - pos);
        if (next != arguments.end()) {
            line.append(*next++);
        } else {
            line.append("%@");
        }
        pos = mark + 2;
    }
    if (pos < format.size()) {
        line.append(format, pos);
    }
    return line;
}

namespace {

void writeLine(std::string_view line, Log::Level level) {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.systemLog) {
        if (!s.systemLogOpen) {
            openlog("kilnware", LOG_PID, LOG_USER);
            s.systemLogOpen = true;
        }
        std::string text(line);
        const int priority = level == Log::Level::Warning ? LOG_WARNING
                             : level == Log::Level::Tool  ? LOG_INFO
                                                          : LOG_NOTICE;
        syslog(priority, "%s", text.c_str());
    }
    if (s.standardError) {
        std::string text(line);
        text.push_back('\n');
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    if (insideSink) {
        return;
    }
    // A sink may remove sinks while the line goes round: call only those still registered.
    auto snapshot = s.sinks;
    insideSink = true;
    for (const auto& [id, sink] : snapshot) {
        bool registered = std::any_of(s.sinks.begin(), s.sinks.end(),
                                      [id = id](const auto& entry) { return entry.first == id; });
        if (registered) {
            try {
                (*sink)(line, level);
            } catch (...) {
                // A faulty sink must not take the line away from the others.
            }
        }
    }
    insideSink = false;
}

}  // namespace

void Log::write(std::string_view line) {
    writeLine(line, Level::Notice);
}

void Log::write(std::string_view format, std::initializer_list<std::string_view> arguments) {
    writeLine(formatDescription(format, arguments), Level::Notice);
}

void Log::warning(std::string_view line) {
    writeLine(line, Level::Warning);
}

void Log::warning(std::string_view format, std::initializer_list<std::string_view> arguments) {
    writeLine(formatDescription(format, arguments), Level::Warning);
}

void Log::tool(std::string_view program, std::string_view line) {
    std::string text(program);
    text.append(": ").append(line);
    writeLine(text, Level::Tool);
}

void Log::setStandardErrorEnabled(bool enabled) {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    s.standardError = enabled;
}

void Log::setSystemLogEnabled(bool enabled) {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    s.systemLog = enabled;
}

bool Log::isSystemLogEnabled() {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    return s.systemLog;
}

Log::SinkId Log::addSink(Sink sink) {
    return addSink(
        LevelSink([sink = std::move(sink)](std::string_view line, Level) { sink(line); }));
}

Log::SinkId Log::addSink(LevelSink sink) {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    SinkId id = s.nextId++;
    s.sinks.emplace_back(id, std::make_shared<LevelSink>(std::move(sink)));
    return id;
}

void Log::removeSink(SinkId id) {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    std::erase_if(s.sinks, [id](const auto& entry) { return entry.first == id; });
}

}  // namespace kilnware::platform
