#pragma once
// Each document test binary keeps its per-user folders (application data,
// configuration) in a scratch folder of its own, set before first use.

#include "TestSupport.h"

#include <cstdlib>
#include <string>

namespace orvanta::test {

inline ScratchDir &documentSandbox() {
    static ScratchDir d;
    return d;
}

inline bool sandboxDocumentFolders() {
    static const bool done = [] {
        setenv("XDG_CONFIG_HOME", (documentSandbox().path() + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (documentSandbox().path() + "/data").c_str(), 1);
        return true;
    }();
    return done;
}

} // namespace orvanta::test
