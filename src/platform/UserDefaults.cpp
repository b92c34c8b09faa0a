#include "UserDefaults.h"

#include "Folders.h"
#include "Log.h"
#include "PropertyList.h"

#include <cerrno>
#include <cstdlib>

namespace orvanta {

UserDefaults &UserDefaults::standard() {
    static UserDefaults *defaults = [] {
        Error error;
        auto dir = folders::configDirectory(&error);
        if (!dir) {
            logMessage("user defaults kept in memory only: %s", error.description().c_str());
            return new UserDefaults(std::string());
        }
        return new UserDefaults(*dir + "/Orvanta.plist");
    }();
    return *defaults;
}

UserDefaults::UserDefaults(std::string filePath) : path_(std::move(filePath)) {
    reload();
}

void UserDefaults::reload() {
    if (path_.empty()) return;
    Error error;
    auto root = plist::readFile(path_, &error);
    std::lock_guard lock(m_);
    if (!root) {
        if (!(error.domain == kPOSIXErrorDomain && error.code == ENOENT))
            logMessage("could not read user defaults %s: %s", path_.c_str(), error.description().c_str());
        user_.clear();
        return;
    }
    if (!root->dictionary()) {
        logMessage("user defaults %s do not hold a dictionary; starting afresh", path_.c_str());
        user_.clear();
        return;
    }
    user_ = *root->dictionary();
}

void UserDefaults::registerDefaults(const Dictionary &defaults) {
    std::vector<std::pair<std::string, std::optional<Value>>> changed;
    {
        std::lock_guard lock(m_);
        for (const auto &[k, v] : defaults) {
            changed.emplace_back(k, lookupLocked(k));
            registered_.set(k, v);
        }
    }
    for (const auto &[k, before] : changed)
        notify(k, before);
}

std::optional<Value> UserDefaults::lookupLocked(const std::string &key) const {
    if (const Value *v = user_.get(key)) return *v;
    if (const Value *v = registered_.get(key)) return *v;
    return std::nullopt;
}

std::optional<Value> UserDefaults::object(const std::string &key) const {
    std::lock_guard lock(m_);
    return lookupLocked(key);
}

bool UserDefaults::boolForKey(const std::string &key) const {
    auto v = object(key);
    if (!v) return false;
    if (auto b = v->toBool()) return *b;
    if (const std::string *s = v->string()) {
        // Strings read as the platform reads them: YES/true or a non-zero number.
        if (*s == "YES" || *s == "yes" || *s == "true" || *s == "TRUE" || *s == "Y" || *s == "y") return true;
        return std::atoll(s->c_str()) != 0;
    }
    return false;
}

std::int64_t UserDefaults::integerForKey(const std::string &key) const {
    auto v = object(key);
    if (!v) return 0;
    if (auto i = v->toInt64()) return *i;
    if (const std::string *s = v->string()) return std::atoll(s->c_str());
    return 0;
}

double UserDefaults::doubleForKey(const std::string &key) const {
    auto v = object(key);
    if (!v) return 0;
    if (auto d = v->toDouble()) return *d;
    if (const std::string *s = v->string()) return std::atof(s->c_str());
    return 0;
}

std::string UserDefaults::stringForKey(const std::string &key) const {
    auto v = object(key);
    if (!v) return {};
    if (const std::string *s = v->string()) return *s;
    return {};
}

std::optional<Data> UserDefaults::dataForKey(const std::string &key) const {
    auto v = object(key);
    if (!v || !v->data()) return std::nullopt;
    return *v->data();
}

bool UserDefaults::set(const std::string &key, const Value &value) {
    if (value.isNull()) {
        remove(key);
        return true;
    }
    Error error;
    if (!plist::toXML(value, &error)) {
        logMessage("user default %s not set: %s", key.c_str(), error.reason.c_str());
        return false;
    }
    std::optional<Value> before;
    {
        std::lock_guard lock(m_);
        before = lookupLocked(key);
        user_.set(key, value);
        writeLocked(nullptr);
    }
    notify(key, before);
    return true;
}

void UserDefaults::remove(const std::string &key) {
    std::optional<Value> before;
    {
        std::lock_guard lock(m_);
        before = lookupLocked(key);
        if (!user_.remove(key)) return;
        writeLocked(nullptr);
    }
    notify(key, before);
}

bool UserDefaults::synchronize(Error *error) {
    std::lock_guard lock(m_);
    return writeLocked(error);
}

bool UserDefaults::writeLocked(Error *error) {
    if (path_.empty()) return true;
    Error e;
    if (plist::writeFile(path_, Value(user_), &e)) return true;
    logMessage("could not write user defaults %s: %s", path_.c_str(), e.description().c_str());
    setError(error, e);
    return false;
}

UserDefaults::Token UserDefaults::addObserver(const std::string &key, Observer observer) {
    std::lock_guard lock(m_);
    observers_.push_back({nextToken_, key, std::move(observer)});
    return nextToken_++;
}

void UserDefaults::removeObserver(Token token) {
    std::lock_guard lock(m_);
    std::erase_if(observers_, [&](const ObserverEntry &e) { return e.token == token; });
}

void UserDefaults::notify(const std::string &key, const std::optional<Value> &before) {
    std::vector<Observer> toCall;
    {
        std::lock_guard lock(m_);
        auto after = lookupLocked(key);
        if (before.has_value() == after.has_value() && (!before || *before == *after)) return;
        for (const auto &e : observers_)
            if (e.key == key) toCall.push_back(e.fn);
    }
    for (const auto &fn : toCall)
        fn(key);
}

} // namespace orvanta
