#pragma once

// What tests may see of a camera beyond its public interface. Include "cameralab/CameraTestPeer.h".

#include <cstddef>
#include <mutex>

#include "QuelnorDriver/camera/DvsCameraPrivate.h"

namespace quelnor {

class DvsCameraPrivateTestPeer {
public:
    // Threads waiting in getNextBatch for a batch by count, or by time.
    static size_t countBatchWaiters(DvsCamera& camera) {
        auto& c = dynamic_cast<DvsCameraPrivate&>(camera);
        std::lock_guard<std::mutex> lock(c.countBatchMutex);
        return c.countHandOver.waiters;
    }
    static size_t timeBatchWaiters(DvsCamera& camera) {
        auto& c = dynamic_cast<DvsCameraPrivate&>(camera);
        std::lock_guard<std::mutex> lock(c.timeBatchMutex);
        return c.timeHandOver.waiters;
    }
};

} // namespace quelnor
