#include "EventStream/DataTransferFactories.h"

#include "QuelnorBase/Logger.h"

namespace quelnor::detail {

// The Ethernet transport fills this in: std::dynamic_pointer_cast<EthInterface>(interface), refuse null,
// then std::make_unique<EthDataTransfer>(eth, rawEventSizeBytes, bufferSize).
std::unique_ptr<DataTransfer> makeEthDataTransfer(const std::shared_ptr<Interface>&, uint32_t, uint32_t) {
    QN_ERROR("createDataTransferUniquePtr: Ethernet data transfer is not available");
    return nullptr;
}

} // namespace quelnor::detail
