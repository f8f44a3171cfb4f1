#pragma once

#include <string>
#include <vector>

#include "QuelnorBase/Event2D.h"
#include "QuelnorDriver/FileReader/RawFileReader.h"

namespace quelnor::test {

// Every event of a raw recording, through the SDK's own reader; empty when it does not load.
inline std::vector<Event2D> readAllEvents(const std::string& path) {
    RawFileReader reader(path);
    std::vector<Event2D> events;
    if (!reader.loadFile()) {
        return events;
    }
    for (;;) {
        auto batch = reader.getNEvents(65536);
        if (!batch || batch->empty()) {
            return events;
        }
        events.insert(events.end(), batch->begin(), batch->end());
    }
}

} // namespace quelnor::test
