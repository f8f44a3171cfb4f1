#include "sensor/MipiDataTransfer.h"

#include "QuelnorBase/Logger.h"
#include "QuelnorHal/interface/OndrikProInterface.h"

namespace quelnor::detail {

std::unique_ptr<DataTransfer> createMipiDataTransfer(const std::shared_ptr<Interface>& interface, MipiStream stream,
                                                     uint32_t rawEventSizeBytes) {
    auto mipi = std::dynamic_pointer_cast<OndrikProInterface>(interface);
    if (!mipi) {
        QN_ERROR("createMipiDataTransfer: the interface is not a MIPI camera interface");
        return nullptr;
    }
    // The capture goes through the interface's own device layer, so a board given to the interface
    // (a simulated one in tests) also serves its streams.
    return createV4l2DataTransferUniquePtr(
        stream == MipiStream::EVENTS ? mipi->dvsStreamConfig() : mipi->apsStreamConfig(), rawEventSizeBytes,
        mipi->deviceIo());
}

} // namespace quelnor::detail
