#pragma once

// What tests may see of a camera beyond its public interface. Include "cameralab/CameraTestPeer.h".

#include <cstddef>

#include "QuelnorDriver/camera/DvsCameraPrivate.h"
#include "cameralab/EventBatcherTestPeer.h"

namespace quelnor {

class DvsCameraPrivateTestPeer {
public:
    // Threads waiting in getNextBatch for a batch by count, or by time.
    static size_t countBatchWaiters(DvsCamera& camera) {
        return EventBatcherTestPeer::countWaiters(dynamic_cast<DvsCameraPrivate&>(camera).batcher);
    }
    static size_t timeBatchWaiters(DvsCamera& camera) {
        return EventBatcherTestPeer::timeWaiters(dynamic_cast<DvsCameraPrivate&>(camera).batcher);
    }
};

} // namespace quelnor
