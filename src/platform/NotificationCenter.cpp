#include "NotificationCenter.h"

#include <algorithm>

namespace orvanta {

NotificationCenter &NotificationCenter::defaultCenter() {
    static auto *center = new NotificationCenter;
    return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string &name, const void *sender,
                                                          Callback callback) {
    std::lock_guard lock(m_);
    auto entry = std::make_shared<Entry>(Entry{next_++, name, sender, std::move(callback)});
    entries_.push_back(entry);
    return entry->token;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(m_);
    auto it =
        std::find_if(entries_.begin(), entries_.end(), [&](const auto &e) { return e->token == token; });
    if (it == entries_.end()) return;
    (*it)->active = false;
    entries_.erase(it);
}

void NotificationCenter::post(const std::string &name, const void *sender, Dictionary userInfo) {
    std::vector<std::shared_ptr<Entry>> targets;
    {
        std::lock_guard lock(m_);
        for (const auto &e : entries_)
            if (e->name == name && (!e->sender || e->sender == sender)) targets.push_back(e);
    }
    Notification note{name, sender, std::move(userInfo)};
    for (const auto &e : targets) {
        bool active;
        {
            std::lock_guard lock(m_);
            active = e->active;
        }
        if (active) e->callback(note);
    }
}

ObserverRegistration &ObserverRegistration::operator=(ObserverRegistration &&o) noexcept {
    if (this != &o) {
        reset();
        center_ = o.center_;
        token_ = o.token_;
        o.center_ = nullptr;
        o.token_ = 0;
    }
    return *this;
}

void ObserverRegistration::reset() {
    if (center_) center_->removeObserver(token_);
    center_ = nullptr;
    token_ = 0;
}

} // namespace orvanta
