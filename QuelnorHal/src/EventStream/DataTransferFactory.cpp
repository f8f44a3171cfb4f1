#include "EventStream/DataTransferFactories.h"

#include <utility>

#include "QuelnorBase/Logger.h"

namespace quelnor {

std::unique_ptr<DataTransfer> createDataTransferUniquePtr(std::shared_ptr<Interface> interface,
                                                          uint32_t rawEventSizeBytes, uint32_t bufferSize,
                                                          uint8_t numTransfers, UsbDataTransferEndpoint endpoint) {
    if (!interface) {
        QN_ERROR("createDataTransferUniquePtr: no interface");
        return nullptr;
    }
    switch (interface->getInterfaceType()) {
    case Interface::USB:
        if (numTransfers == 0) {
            QN_ERROR("createDataTransferUniquePtr: the number of transfers must be at least 1");
            return nullptr;
        }
        return detail::makeUsbDataTransfer(interface, rawEventSizeBytes, bufferSize, numTransfers, endpoint);
    case Interface::ETH:
        return detail::makeEthDataTransfer(interface, rawEventSizeBytes, bufferSize);
    default:
        return nullptr;
    }
}

std::unique_ptr<DataTransfer> createV4l2DataTransferUniquePtr(const V4l2StreamConfig& config,
                                                              uint32_t rawEventSizeBytes,
                                                              std::shared_ptr<DeviceIo> io) {
    return detail::makeV4l2DataTransfer(config, rawEventSizeBytes, std::move(io));
}

} // namespace quelnor
