#pragma once

// The recording beside which the side-file target puts its inputs; the seed generator writes its
// side file as a seed.
#include <string>
#include <vector>

#include "QuelnorBase/DvsFileInfo.h"
#include "QuelnorBase/Utils/FuncUtils.h"
#include "rawfile/SyntheticRecording.h"

namespace quelnor::fuzz {

// A few read chunks long, so its index holds several bookmarks.
inline test::SyntheticStream sideFileRecordingStream() {
    test::SyntheticOptions options;
    options.items = 20000;
    options.seed = 18;
    options.startTime = 5000;
    options.meanGapNs = 2000;
    options.triggerEvery = 900;
    return test::makeSyntheticStream(options);
}

// Header and data of a raw file for a stream that starts at `start`.
inline std::vector<uint8_t> rawFileBytes(const test::SyntheticStream& stream, uint64_t start) {
    DvsFileInfo info;
    info.dvsStartTimestamp = start;
    const std::string header = generateDvsFileHeader(info);
    std::vector<uint8_t> bytes(header.begin(), header.end());
    const std::vector<uint8_t> data = stream.bytes();
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

constexpr uint64_t SIDE_FILE_RECORDING_START = 5000;

} // namespace quelnor::fuzz
