#pragma once

#include <memory>

#include "QuelnorHal/EventStream/Decoder.h"
#include "QuelnorHal/EventStream/RawEventStreamFormat.h"

namespace quelnor {

class DecoderFactory {
public:
    // An empty pointer for an encoding other than "EVT3". Needs the options "height" and "width":
    // a missing one throws std::out_of_range("option not found"), a non-number std::stoi's exception.
    static std::unique_ptr<Decoder> createUniqueDecoder(const RawEventStreamFormat& format);
};

} // namespace quelnor
