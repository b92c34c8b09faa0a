#pragma once
// User defaults: the application-wide configuration.
//
// Two layers: the registration domain (defaults registered at start, never
// stored) below the user's own values, which are kept in an XML property list
// and written through on every change (atomically). A value the user set wins
// over a registered one. Observers of a key are called on the changing thread
// whenever the key's effective value changes.

#include "Error.h"
#include "Value.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace orvanta {

class UserDefaults {
public:
    using Observer = std::function<void(const std::string &key)>;
    using Token = std::uint64_t;

    // The application's defaults, kept in $XDG_CONFIG_HOME/Orvanta/Orvanta.plist.
    static UserDefaults &standard();

    // Defaults kept in filePath; an empty path keeps them in memory only.
    // An unreadable or malformed file is logged and starts an empty domain.
    explicit UserDefaults(std::string filePath);

    void registerDefaults(const Dictionary &defaults);

    // The user's value, else the registered one, else nullopt.
    std::optional<Value> object(const std::string &key) const;
    bool boolForKey(const std::string &key) const;
    std::int64_t integerForKey(const std::string &key) const;
    double doubleForKey(const std::string &key) const;
    std::string stringForKey(const std::string &key) const;
    std::optional<Data> dataForKey(const std::string &key) const;

    // Stores the user's value (the null marker removes it). A value that a
    // property list cannot hold is refused with a logged message.
    bool set(const std::string &key, const Value &value);
    void remove(const std::string &key);

    // Writes the user's values now. Returns false (and logs) on failure.
    bool synchronize(Error *error = nullptr);
    // Reads the file again, replacing the user's values in memory.
    void reload();

    Token addObserver(const std::string &key, Observer observer);
    void removeObserver(Token token);

    const std::string &filePath() const { return path_; }

private:
    std::optional<Value> lookupLocked(const std::string &key) const;
    bool writeLocked(Error *error);
    void notify(const std::string &key, const std::optional<Value> &before);

    mutable std::mutex m_;
    std::string path_;
    Dictionary registered_;
    Dictionary user_;
    struct ObserverEntry {
        Token token;
        std::string key;
        Observer fn;
    };
    std::vector<ObserverEntry> observers_;
    Token nextToken_ = 1;
};

} // namespace orvanta
