#pragma once
// Diagnostics. Messages go to standard error and, where a system log socket
// exists, to syslog. Formats are printf-style; a message that names an
// operation carries it as "-[Class operation:]".

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace orvanta {

void logMessage(const char *format, ...) __attribute__((format(printf, 1, 2)));
void logString(std::string_view message);

// Replaces where messages go (tests capture them); an empty function restores
// the default. Returns the previous sink.
using LogSink = std::function<void(std::string_view)>;
LogSink setLogSink(LogSink sink);

// Collects every message logged while it lives, for tests and diagnostics.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::string text() const;
    bool contains(std::string_view needle) const;
    std::size_t count(std::string_view needle) const;

private:
    struct State;
    std::shared_ptr<State> state_;
    LogSink previous_;
};

} // namespace orvanta
