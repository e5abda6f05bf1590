#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include <kilnware/Export.h>

namespace kilnware::platform {

// The system log. Every line goes to syslog under the ident "kilnware"; the host may also have the
// lines copied to standard error, and any number of sinks (a test's capture, a host's console) may
// listen.
//
// All of it may be used from any thread. A line reaches every sink before the call that logs it
// returns, on the thread that logs it; sinks are called without the log's lock, so a slow sink
// holds up only that thread, and a sink may be called from several threads at once. Standard
// error and syslog take the lines on a thread of their own: a full pipe or a stuck system logger
// never holds up the thread that logs (lines still waiting when the process exits are written
// then). A line that a sink itself writes reaches syslog and standard error but not the sinks.
// Once removeSink returns, that sink is not called again, nor still running on another thread
// (it waits for those calls: do not call it holding anything such a call may wait for).
class KILNWARE_EXPORT Log {
public:
    // A warning is something the person should see even when they do not read the log: a file left
    // out of a disc, a length taken on trust. A tool line is what an external program the library
    // runs printed, below the library's own lines, so that a host can keep the two apart.
    // Everything else is a notice.
    enum class Level { Notice, Warning, Tool };
    using Sink = std::function<void(std::string_view line)>;
    using LevelSink = std::function<void(std::string_view line, Level level)>;
    using SinkId = std::size_t;

    static void write(std::string_view line);
    // Fills each "%@" of `format` with the next argument, in order, and writes the line.
    static void write(std::string_view format, std::initializer_list<std::string_view> arguments);
    static void warning(std::string_view line);
    static void warning(std::string_view format, std::initializer_list<std::string_view> arguments);
    // A line that `program` printed, written as "program: line" at the tool level.
    static void tool(std::string_view program, std::string_view line);

    // Standard error is off by default; syslog is on.
    static void setStandardErrorEnabled(bool enabled);
    static void setSystemLogEnabled(bool enabled);
    static bool isSystemLogEnabled();

    static SinkId addSink(Sink sink);
    static SinkId addSink(LevelSink sink);
    static void removeSink(SinkId id);
};

// Fills each "%@" of `format` with the next argument; a "%@" without an argument stays as it is.
KILNWARE_EXPORT std::string formatDescription(std::string_view format,
                                              std::initializer_list<std::string_view> arguments);

}  // namespace kilnware::platform
