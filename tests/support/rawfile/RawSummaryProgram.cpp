// quelnor_raw_summary FILE...: reads each raw recording back through the SDK's file reader and
// prints its size, events, time span and trigger edges. Exit code 1 when a file cannot be read or
// holds no events (the demo script uses it to show a recording is whole).

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "QuelnorDriver/FileReader/DvsFileReader.h"

namespace {

constexpr uint64_t EVENTS_PER_READ = 1 << 20;
constexpr double MICROSECONDS_PER_SECOND = 1e6;

bool summarise(const std::string& path) {
    std::unique_ptr<quelnor::DvsFileReader> reader = quelnor::DvsFileReader::createFileReader(path);
    if (!reader || !reader->loadFile()) {
        std::fprintf(stderr, "%s: cannot be read as a raw recording\n", path.c_str());
        return false;
    }
    uint64_t triggers = 0;
    reader->addTriggerInCallback([&triggers](quelnor::EventTriggerIn) { ++triggers; });
    uint64_t events = 0;
    uint64_t first = 0;
    uint64_t last = 0;
    for (;;) {
        const quelnor::DvsFileReader::Events batch = reader->getNEvents(EVENTS_PER_READ);
        if (!batch || batch->empty()) {
            break;
        }
        if (events == 0) {
            first = batch->front().timestamp;
        }
        last = batch->back().timestamp;
        events += batch->size();
        if (reader->reachedEndOfEvents()) {
            break;
        }
    }
    std::printf("%s: %ux%u, %" PRIu64 " events from %" PRIu64 " us to %" PRIu64 " us (%.2f s), %" PRIu64
                " trigger edges\n",
                path.c_str(), static_cast<unsigned>(reader->getWidth()), static_cast<unsigned>(reader->getHeight()),
                events, first, last, static_cast<double>(last - first) / MICROSECONDS_PER_SECOND, triggers);
    return events > 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: quelnor_raw_summary FILE...\n");
        return 1;
    }
    bool good = true;
    for (int i = 1; i < argc; ++i) {
        good = summarise(argv[i]) && good;
    }
    return good ? 0 : 1;
}
