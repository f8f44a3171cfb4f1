#include "EventStream/DataTransferFactories.h"

#include "QuelnorBase/Logger.h"
#include "QuelnorHal/EventStream/UsbDataTransfer.h"
#include "QuelnorHal/interface/UsbInterface.h"

namespace quelnor::detail {

std::unique_ptr<DataTransfer> makeUsbDataTransfer(const std::shared_ptr<Interface>& interface,
                                                  uint32_t rawEventSizeBytes, uint32_t bufferSize,
                                                  uint8_t numTransfers, UsbDataTransferEndpoint endpoint) {
    auto usb = std::dynamic_pointer_cast<UsbInterface>(interface);
    if (!usb) {
        QN_ERROR("createDataTransferUniquePtr: a USB interface is not a UsbInterface");
        return nullptr;
    }
    return std::make_unique<UsbDataTransfer>(usb, rawEventSizeBytes, bufferSize, numTransfers, endpoint);
}

} // namespace quelnor::detail
