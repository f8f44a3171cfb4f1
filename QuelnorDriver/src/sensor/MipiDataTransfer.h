#pragma once

#include <cstdint>
#include <memory>

#include "QuelnorHal/EventStream/DataTransfer.h"
#include "QuelnorHal/interface/Interface.h"

namespace quelnor::detail {

// Which of the MIPI camera's two V4L2 streams a sensor reads.
enum class MipiStream {
    EVENTS, // the event sensor's stream
    FRAMES, // the frame sensor's stream
};

// The V4L2 capture of one stream of the MIPI camera, configured from its interface. Empty, with an
// error logged, when the interface is not the MIPI camera's.
std::unique_ptr<DataTransfer> createMipiDataTransfer(const std::shared_ptr<Interface>& interface, MipiStream stream,
                                                     uint32_t rawEventSizeBytes);

} // namespace quelnor::detail
