#include "EventStream/DataTransferFactories.h"
#include "EventStream/EthDataTransfer.h"

#include "QuelnorBase/Logger.h"
#include "QuelnorHal/interface/EthInterface.h"

namespace quelnor::detail {

std::unique_ptr<DataTransfer> makeEthDataTransfer(const std::shared_ptr<Interface>& interface,
                                                  uint32_t rawEventSizeBytes, uint32_t bufferSize) {
    auto eth = std::dynamic_pointer_cast<EthInterface>(interface);
    if (!eth) {
        QN_ERROR("createDataTransferUniquePtr: the Ethernet interface is not an EthInterface");
        return nullptr;
    }
    if (bufferSize == 0) {
        QN_ERROR("createDataTransferUniquePtr: the buffer size must not be 0");
        return nullptr;
    }
    return std::make_unique<EthDataTransfer>(std::move(eth), rawEventSizeBytes, bufferSize);
}

} // namespace quelnor::detail
