#pragma once
// Process-wide notifications. A post calls every matching observer at once on
// the posting thread; an observer registered with a sender receives only that
// sender's posts. Removing an observer, even from inside a callback, stops
// further calls to it.

#include "Value.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orvanta {

struct Notification {
    std::string name;
    const void *object = nullptr; // the sender
    Dictionary userInfo;
};

class NotificationCenter {
public:
    using Callback = std::function<void(const Notification &)>;
    using Token = std::uint64_t;

    static NotificationCenter &defaultCenter();

    // sender null: every sender. Returns a token for removeObserver.
    Token addObserver(const std::string &name, const void *sender, Callback callback);
    void removeObserver(Token token);

    void post(const std::string &name, const void *sender, Dictionary userInfo = {});

private:
    struct Entry {
        Token token;
        std::string name;
        const void *sender;
        Callback callback;
        bool active = true;
    };

    std::mutex m_;
    std::vector<std::shared_ptr<Entry>> entries_;
    Token next_ = 1;
};

// Removes its observer when destroyed.
class ObserverRegistration {
public:
    ObserverRegistration() = default;
    ObserverRegistration(NotificationCenter &center, NotificationCenter::Token token)
        : center_(&center), token_(token) {}
    ObserverRegistration(ObserverRegistration &&o) noexcept { *this = std::move(o); }
    ObserverRegistration &operator=(ObserverRegistration &&o) noexcept;
    ObserverRegistration(const ObserverRegistration &) = delete;
    ObserverRegistration &operator=(const ObserverRegistration &) = delete;
    ~ObserverRegistration() { reset(); }
    void reset();

private:
    NotificationCenter *center_ = nullptr;
    NotificationCenter::Token token_ = 0;
};

} // namespace orvanta
