#include "EventStream/DataTransferFactories.h"

#include "QuelnorBase/Logger.h"

namespace quelnor::detail {

// The MIPI transport fills this in: std::make_unique<V4l2DataTransfer>(config, rawEventSizeBytes).
std::unique_ptr<DataTransfer> makeV4l2DataTransfer(const V4l2StreamConfig&, uint32_t) {
    QN_ERROR("createV4l2DataTransferUniquePtr: V4L2 data transfer is not available");
    return nullptr;
}

} // namespace quelnor::detail
