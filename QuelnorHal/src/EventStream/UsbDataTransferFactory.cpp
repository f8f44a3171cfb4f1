#include "EventStream/DataTransferFactories.h"

#include "QuelnorBase/Logger.h"

namespace quelnor::detail {

// The USB transport fills this in: std::dynamic_pointer_cast<UsbInterface>(interface), refuse null,
// then std::make_unique<UsbDataTransfer>(usb, rawEventSizeBytes, bufferSize, numTransfers, endpoint).
std::unique_ptr<DataTransfer> makeUsbDataTransfer(const std::shared_ptr<Interface>&, uint32_t, uint32_t, uint8_t,
                                                  UsbDataTransferEndpoint) {
    QN_ERROR("createDataTransferUniquePtr: USB data transfer is not available");
    return nullptr;
}

} // namespace quelnor::detail
