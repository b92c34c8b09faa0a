#include "Log.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace orvanta {
namespace {

std::mutex &sinkMutex() {
    static std::mutex m;
    return m;
}

LogSink &currentSink() {
    static LogSink sink;
    return sink;
}

void defaultSink(std::string_view message) {
    std::fwrite(message.data(), 1, message.size(), stderr);
    if (message.empty() || message.back() != '\n') std::fputc('\n', stderr);
    static const bool haveSyslog = access("/dev/log", W_OK) == 0;
    if (haveSyslog) {
        static std::once_flag opened;
        std::call_once(opened, [] { openlog("Orvanta", LOG_PID, LOG_USER); });
        syslog(LOG_NOTICE, "%.*s", static_cast<int>(message.size()), message.data());
    }
}

} // namespace

void logString(std::string_view message) {
    LogSink sink;
    {
        std::lock_guard lock(sinkMutex());
        sink = currentSink();
    }
    if (sink)
        sink(message);
    else
        defaultSink(message);
}

void logMessage(const char *format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(copy);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof small) {
        va_end(copy);
        logString(std::string_view(small, n));
        return;
    }
    std::vector<char> big(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), format, copy);
    va_end(copy);
    logString(std::string_view(big.data(), n));
}

LogSink setLogSink(LogSink sink) {
    std::lock_guard lock(sinkMutex());
    LogSink previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

struct LogCapture::State {
    mutable std::mutex m;
    std::string text;
};

LogCapture::LogCapture() : state_(std::make_shared<State>()) {
    auto state = state_;
    previous_ = setLogSink([state](std::string_view message) {
        std::lock_guard lock(state->m);
        state->text.append(message);
        if (message.empty() || message.back() != '\n') state->text.push_back('\n');
    });
}

LogCapture::~LogCapture() {
    setLogSink(std::move(previous_));
}

std::string LogCapture::text() const {
    std::lock_guard lock(state_->m);
    return state_->text;
}

bool LogCapture::contains(std::string_view needle) const {
    return count(needle) > 0;
}

std::size_t LogCapture::count(std::string_view needle) const {
    std::lock_guard lock(state_->m);
    std::size_t n = 0;
    for (std::size_t pos = state_->text.find(needle); pos != std::string::npos;
         pos = state_->text.find(needle, pos + needle.size()))
        ++n;
    return n;
}

} // namespace orvanta
