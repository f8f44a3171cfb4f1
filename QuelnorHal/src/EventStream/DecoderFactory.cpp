#include "QuelnorHal/EventStream/DecoderFactory.h"

#include <string>

#include "QuelnorHal/EventStream/EVT3Decoder.h"

namespace quelnor {

std::unique_ptr<Decoder> DecoderFactory::createUniqueDecoder(const RawEventStreamFormat& format) {
    if (format.getEncodingType() != EVT3) {
        return nullptr;
    }
    const int height = std::stoi(format["height"]);
    const int width = std::stoi(format["width"]);
    return std::make_unique<EVT3Decoder>(static_cast<uint16_t>(width), static_cast<uint16_t>(height));
}

} // namespace quelnor
