#include "sensor/MipiDataTransfer.h"

#include "QuelnorBase/Logger.h"

// The MIPI camera's interface lives in QuelnorHal; until it is part of the build, sensors on a MIPI
// interface get no transfer and their init fails.
#if __has_include("QuelnorHal/interface/OndrikProInterface.h")
#include "QuelnorHal/interface/OndrikProInterface.h"
#define QUELNOR_HAS_MIPI_INTERFACE 1
#endif

namespace quelnor::detail {

std::unique_ptr<DataTransfer> createMipiDataTransfer(const std::shared_ptr<Interface>& interface, MipiStream stream,
                                                     uint32_t rawEventSizeBytes) {
#ifdef QUELNOR_HAS_MIPI_INTERFACE
    auto mipi = std::dynamic_pointer_cast<OndrikProInterface>(interface);
    if (!mipi) {
        QN_ERROR("createMipiDataTransfer: the interface is not a MIPI camera interface");
        return nullptr;
    }
    return createV4l2DataTransferUniquePtr(
        stream == MipiStream::EVENTS ? mipi->dvsStreamConfig() : mipi->apsStreamConfig(), rawEventSizeBytes);
#else
    (void)interface;
    (void)stream;
    (void)rawEventSizeBytes;
    QN_ERROR("createMipiDataTransfer: the MIPI camera interface is not available");
    return nullptr;
#endif
}

} // namespace quelnor::detail
