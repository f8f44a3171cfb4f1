#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorBase/DvsFileInfo.h"
#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"
#include "QuelnorBase/Utils/FuncUtils.h"
#include "QuelnorDriver/FileReader/RawFileReader.h"
#include "rawfile/SyntheticRecording.h"
#include "rawfile/TempDir.h"

namespace quelnor::test {

inline std::string realRecording(const std::string& name) { return std::string(QUELNOR_TEST_DATA_DIR) + "/evt3/" + name; }

inline std::string headerFor(uint64_t dvsStart, uint16_t width = 1280, uint16_t height = 720,
                             const std::string& serial = "TEST0001") {
    DvsFileInfo info;
    info.dvsStartTimestamp = dvsStart;
    info.width = width;
    info.height = height;
    info.serialNumber = serial;
    return generateDvsFileHeader(info);
}

// A raw file of a synthetic stream whose header start time is the stream's first time.
struct SyntheticFile {
    std::string path;
    SyntheticStream stream;
    std::string header;
};

inline SyntheticFile writeSynthetic(const TempDir& dir, const std::string& name, const SyntheticOptions& options,
                                    uint64_t headerStart) {
    SyntheticFile file;
    file.path = dir.file(name);
    file.stream = makeSyntheticStream(options);
    file.header = headerFor(headerStart, options.width, options.height);
    writeFileBytes(file.path, file.header, file.stream.bytes());
    return file;
}

inline std::unique_ptr<RawFileReader> loadReader(const std::string& path) {
    auto reader = std::make_unique<RawFileReader>(path);
    if (!reader->loadFile()) {
        return nullptr;
    }
    return reader;
}

// Every event from the current position on, read in batches of n events.
inline std::vector<Event2D> readAllByCount(DvsFileReader& reader, uint64_t n) {
    std::vector<Event2D> all;
    for (int guard = 0; guard < 100000000; ++guard) {
        auto batch = reader.getNEvents(n);
        if (batch->empty()) {
            break;
        }
        all.insert(all.end(), batch->begin(), batch->end());
    }
    return all;
}

// Every event from the current position on, read in windows of `span` us until past the end time.
inline std::vector<Event2D> readAllByTime(DvsFileReader& reader, uint64_t span) {
    std::vector<Event2D> all;
    while (!reader.reachedEndOfEvents()) {
        auto batch = reader.getNTimeEvents(span);
        all.insert(all.end(), batch->begin(), batch->end());
    }
    return all;
}

inline std::string sideFileOf(const std::string& rawPath) {
    return rawPath.substr(0, rawPath.size() - 4) + ".qnmark.tmp";
}

} // namespace quelnor::test
