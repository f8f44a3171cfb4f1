#pragma once

// One maker per transport, each in a file of its own (UsbDataTransferFactory.cpp, EthDataTransferFactory.cpp,
// V4l2DataTransferFactory.cpp) so a transport is added by filling in its file. A maker checks that the
// interface is the concrete class the transport needs (std::dynamic_pointer_cast) and returns empty,
// with an error logged, when it is not. createDataTransferUniquePtr has already refused a null interface
// and 0 USB transfers.

#include <cstdint>
#include <memory>

#include "QuelnorHal/EventStream/DataTransfer.h"
#include "QuelnorHal/interface/Interface.h"

namespace quelnor::detail {

std::unique_ptr<DataTransfer> makeUsbDataTransfer(const std::shared_ptr<Interface>& interface,
                                                  uint32_t rawEventSizeBytes, uint32_t bufferSize,
                                                  uint8_t numTransfers, UsbDataTransferEndpoint endpoint);

std::unique_ptr<DataTransfer> makeEthDataTransfer(const std::shared_ptr<Interface>& interface,
                                                  uint32_t rawEventSizeBytes, uint32_t bufferSize);

std::unique_ptr<DataTransfer> makeV4l2DataTransfer(const V4l2StreamConfig& config, uint32_t rawEventSizeBytes,
                                                   std::shared_ptr<DeviceIo> io);

} // namespace quelnor::detail
