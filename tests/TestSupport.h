#pragma once
// Helpers shared by the test suites.

#include <optional>
#include <string>

namespace orvanta::test {

// A fresh folder under the system temporary root, removed with its contents
// when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets an environment variable for the scope, restoring it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const std::string &value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

bool fileExists(const std::string &path);
void writeText(const std::string &path, const std::string &text);
std::string readText(const std::string &path);
// Names in a folder that start with prefix.
int countEntriesWithPrefix(const std::string &folder, const std::string &prefix);

// Runs a shell command and returns what it printed on standard output.
std::string runCommand(const std::string &command);

// The shared test data folder ($ORVANTA_TESTDATA, default ../shared/testdata
// from the source tree), or nullopt when it is absent.
std::optional<std::string> testDataDir();

} // namespace orvanta::test
