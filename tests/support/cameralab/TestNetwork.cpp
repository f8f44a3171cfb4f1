#include "cameralab/TestNetwork.h"

#include <cstdio>
#include <string>

#include "netns/NetnsLab.h"

namespace quelnor::test {

bool isolateTestProcessNetwork() {
    static const bool isolated = [] {
        std::string why;
        const bool ok = isolateNetwork(&why);
        if (!ok) {
            std::fprintf(stderr, "note: discovery uses the shared network namespace (%s)\n", why.c_str());
        }
        return ok;
    }();
    return isolated;
}

} // namespace quelnor::test
