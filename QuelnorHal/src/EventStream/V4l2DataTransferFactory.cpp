#include "EventStream/DataTransferFactories.h"

#include "QuelnorHal/EventStream/V4l2DataTransfer.h"

namespace quelnor::detail {

std::unique_ptr<DataTransfer> makeV4l2DataTransfer(const V4l2StreamConfig& config, uint32_t rawEventSizeBytes,
                                                   std::shared_ptr<DeviceIo> io) {
    return std::make_unique<V4l2DataTransfer>(config, rawEventSizeBytes, std::move(io));
}

} // namespace quelnor::detail
