#include <kilnware/platform/foundation/Log.h>

#include <pthread.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace kilnware::platform {

namespace {

// Standard error and syslog take the lines on a thread of their own: a reader of standard error
// that stopped reading, or a system logger that is stuck, never stalls the thread that logs (a
// burn's). What piles up is bounded: past it lines are dropped, and then counted in a line. When
// the process exits, the lines still waiting are written first.
class LineWriter {
public:
    struct Line {
        std::string text;
        int priority = LOG_NOTICE;
        bool standardError = false;
        bool systemLog = false;
    };

    void push(Line line) {
        std::unique_lock lock(mutex_);
        if (!started_ && !start()) {
            lock.unlock();
            write(line);  // no thread to be had: written here, as the line may matter
            return;
        }
        if (queuedBytes_ + line.text.size() > kMaxQueuedBytes) {
            ++dropped_;
            return;
        }
        queuedBytes_ += line.text.size();
        queue_.push_back(std::move(line));
        changed_.notify_all();
    }

    // Waits until every line pushed so far has been written.
    void flush() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return queue_.empty() && dropped_ == 0 && !writing_; });
    }

    static LineWriter& writer() {
        // Never destroyed: threads and static destructors may still log while the process exits.
        static LineWriter* const instance = new LineWriter;
        return *instance;
    }

private:
    static constexpr std::size_t kMaxQueuedBytes = std::size_t{4} << 20;

    // Starts the writing thread, once, with every signal blocked there: a host's handler never
    // runs on it, and a signal never ends one of its writes early. Under mutex_.
    bool start() {
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &previous);
        try {
            std::thread([this] { run(); }).detach();  // lives as long as the process
            started_ = true;
        } catch (const std::system_error&) {
        }
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (started_) {
            std::atexit([] { writer().flush(); });
        }
        return started_;
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return !queue_.empty() || dropped_ > 0; });
            std::deque<Line> lines;
            lines.swap(queue_);
            queuedBytes_ = 0;
            const std::size_t dropped = std::exchange(dropped_, 0);
            writing_ = true;
            lock.unlock();
            for (const Line& line : lines) {
                write(line);
            }
            if (dropped > 0) {
                write(Line{std::to_string(dropped) +
                               " log lines were dropped: standard error or syslog did not take "
                               "them in time",
                           LOG_WARNING, true, true});
            }
            lock.lock();
            writing_ = false;
            changed_.notify_all();
        }
    }

    // On the writing thread, or on the only thread there is.
    void write(const Line& line) {
        if (line.systemLog) {
            std::call_once(systemLogOpened_, [] { openlog("kilnware", LOG_PID, LOG_USER); });
            syslog(line.priority, "%s", line.text.c_str());
        }
        if (line.standardError) {
            // Straight to the descriptor: stdio's lock of stderr is never held while a pipe is
            // full, so the host's own writes to stderr wait for nothing of ours.
            const std::string text = line.text + '\n';
            std::size_t done = 0;
            while (done < text.size()) {
                const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    break;  // nobody to tell
                }
                done += static_cast<std::size_t>(n);
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Line> queue_;
    std::size_t queuedBytes_ = 0;
    std::size_t dropped_ = 0;
    bool writing_ = false;
    bool started_ = false;
    std::once_flag systemLogOpened_;
};

// A registered sink, and the calls of it under way, which its removal waits for.
struct Registered {
    Log::SinkId id = 0;
    Log::LevelSink sink;
    int calls = 0;
    bool removed = false;
};

struct LogState {
    // Never held while a sink runs: a slow sink holds up only the thread whose line it takes.
    std::mutex mutex;
    std::condition_variable callsEnded;
    bool standardError = false;
    bool systemLog = true;
    Log::SinkId nextId = 1;
    std::vector<std::shared_ptr<Registered>> sinks;
};

LogState& state() {
    // Never destroyed: threads and static destructors may still log while the process exits.
    static LogState* const instance = new LogState;
    return *instance;
}

// The sink this thread is running, if any: a line it writes reaches no sink, and it may remove
// itself without waiting for its own call to end.
thread_local const Registered* runningSink = nullptr;

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
    std::vector<std::shared_ptr<Registered>> sinks;
    {
        std::lock_guard lock(s.mutex);
        if (s.systemLog || s.standardError) {
            const int priority = level == Log::Level::Warning ? LOG_WARNING
                                 : level == Log::Level::Tool  ? LOG_INFO
                                                              : LOG_NOTICE;
            LineWriter::writer().push(
                LineWriter::Line{std::string(line), priority, s.standardError, s.systemLog});
        }
        if (runningSink) {
            return;
        }
        sinks = s.sinks;
    }
    // Each sink in turn, outside the lock: the line reaches it before this call returns, and a
    // sink that takes its time holds up no other thread. A call counts only while it runs, so that
    // removing one sink never waits for another.
    for (const auto& sink : sinks) {
        {
            std::lock_guard lock(s.mutex);
            if (sink->removed) {
                continue;
            }
            ++sink->calls;
        }
        runningSink = sink.get();
        try {
            sink->sink(line, level);
        } catch (...) {
            // A faulty sink must not take the line away from the others.
        }
        runningSink = nullptr;
        std::lock_guard lock(s.mutex);
        --sink->calls;
        s.callsEnded.notify_all();
    }
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
    auto registered = std::make_shared<Registered>();
    registered->id = s.nextId++;
    registered->sink = std::move(sink);
    s.sinks.push_back(registered);
    return registered->id;
}

void Log::removeSink(SinkId id) {
    LogState& s = state();
    std::unique_lock lock(s.mutex);
    const auto found = std::find_if(s.sinks.begin(), s.sinks.end(),
                                    [id](const auto& sink) { return sink->id == id; });
    if (found == s.sinks.end()) {
        return;
    }
    const std::shared_ptr<Registered> removed = *found;
    s.sinks.erase(found);
    removed->removed = true;
    // Calls of it on other threads end before this returns; its own call, if it removes itself,
    // goes on.
    const int own = runningSink == removed.get() ? 1 : 0;
    s.callsEnded.wait(lock, [&] { return removed->calls == own; });
}

}  // namespace kilnware::platform
