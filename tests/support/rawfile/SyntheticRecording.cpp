#include "rawfile/SyntheticRecording.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <stdexcept>

#include "QuelnorBase/DvsFileInfo.h"
#include "QuelnorBase/Utils/FuncUtils.h"
#include "evt3/Evt3TestEncoder.h"

namespace quelnor::test {

namespace {

constexpr uint64_t TIME_PERIOD = uint64_t(1) << 24;
constexpr unsigned VECTOR_WIDTH = 32;
constexpr size_t FILE_PIECE_ITEMS = 1 << 20;

// Draws the items and hands them to an encoder; the encoder is fed times below 2^24 + the span of
// the stream, as a camera started in the period of the first item would write them.
class ItemSource {
public:
    explicit ItemSource(const SyntheticOptions& options)
        : options(options), random(options.seed), base(options.startTime - options.startTime % TIME_PERIOD),
          timeNs((options.startTime - base) * 1000) {}

    // Encodes `count` items; events and triggers are appended when the lists are given.
    void encode(Evt3TestEncoder& encoder, size_t count, std::vector<Event2D>* events,
                std::vector<EventTriggerIn>* triggers, uint64_t& eventCount, uint64_t& triggerCount) {
        std::uniform_int_distribution<uint32_t> gap(0, 2 * options.meanGapNs);
        std::uniform_int_distribution<unsigned> percent(0, 99);
        std::uniform_int_distribution<unsigned> column(0, options.width - 1u);
        std::uniform_int_distribution<unsigned> vectorColumn(0, options.width - VECTOR_WIDTH);
        std::uniform_int_distribution<unsigned> row(0, options.height - 1u);
        std::uniform_int_distribution<uint32_t> mask;
        for (size_t i = 0; i < count; ++i, ++item) {
            timeNs += gap(random);
            const uint64_t encoded = timeNs / 1000;
            const uint64_t time = base + encoded;
            lastTime = time;
            if (options.othersEvery != 0 && item % options.othersEvery == options.othersEvery - 1) {
                encoder.addOthers(item % 2 == 0 ? 20 : 22);
                continue;
            }
            if (options.triggerEvery != 0 && item % options.triggerEvery == options.triggerEvery - 1) {
                const EventTriggerIn trigger(static_cast<int16_t>(item % 3), static_cast<int16_t>(item / options.triggerEvery % 2),
                                             encoded);
                encoder.addTrigger(trigger);
                ++triggerCount;
                if (triggers != nullptr) {
                    triggers->emplace_back(trigger.id, trigger.polarity, time);
                }
                continue;
            }
            const auto y = static_cast<uint16_t>(row(random));
            const auto polarity = static_cast<uint8_t>(random() & 1);
            if (percent(random) < options.vectorPercent) {
                const auto x = static_cast<uint16_t>(vectorColumn(random));
                uint32_t bits = mask(random);
                if ((bits & (bits - 1)) == 0) {
                    bits |= 0x80000001u;  // at least two events
                }
                encoder.addVector(y, x, polarity, bits, encoded);
                for (unsigned b = 0; b < VECTOR_WIDTH; ++b) {
                    if (bits & (uint32_t(1) << b)) {
                        ++eventCount;
                        if (events != nullptr) {
                            events->emplace_back(static_cast<uint16_t>(x + b), y, polarity, time);
                        }
                    }
                }
            } else {
                const auto x = static_cast<uint16_t>(column(random));
                encoder.addEvent(Event2D(x, y, polarity, encoded));
                ++eventCount;
                if (events != nullptr) {
                    events->emplace_back(x, y, polarity, time);
                }
            }
        }
    }

    uint64_t firstTime() const { return options.startTime; }
    uint64_t lastTime = 0;

private:
    SyntheticOptions options;
    std::mt19937_64 random;
    uint64_t base;
    uint64_t timeNs;
    uint64_t item = 0;
};

} // namespace

std::vector<uint8_t> SyntheticStream::bytes() const { return toBytes(words); }

SyntheticStream makeSyntheticStream(const SyntheticOptions& options) {
    SyntheticStream stream;
    ItemSource source(options);
    Evt3TestEncoder encoder;
    uint64_t events = 0;
    uint64_t triggers = 0;
    source.encode(encoder, options.items, &stream.events, &stream.triggers, events, triggers);
    stream.words = encoder.words();
    return stream;
}

SyntheticFileFigures writeSyntheticRawFile(const std::string& path, SyntheticOptions options, uint64_t dataBytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
    DvsFileInfo info;
    info.dvsStartTimestamp = options.startTime;
    info.width = options.width;
    info.height = options.height;
    info.serialNumber = "SYNTHETIC";
    const std::string header = generateDvsFileHeader(info);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));

    SyntheticFileFigures figures;
    figures.headerBytes = header.size();
    figures.firstTime = options.startTime;
    ItemSource source(options);
    Evt3TestEncoder encoder;
    std::vector<uint8_t> bytes;
    while (figures.dataBytes < dataBytes) {
        source.encode(encoder, FILE_PIECE_ITEMS, nullptr, nullptr, figures.events, figures.triggers);
        bytes = toBytes(encoder.takeWords());
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        figures.dataBytes += bytes.size();
    }
    figures.lastTime = source.lastTime;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
    return figures;
}

} // namespace quelnor::test
