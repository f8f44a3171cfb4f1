#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "QuelnorBase/ObjectPool.h"
#include "QuelnorHal/EventStream/RawBuffer.h"
#include "QuelnorHal/interface/Interface.h"

namespace quelnor {

struct V4l2StreamConfig;
class DeviceIo;

// Which USB data endpoint a UsbDataTransfer reads.
enum UsbDataTransferEndpoint : uint8_t {
    USB_DATA_ENDPOINT = 'R',   // the interface's data endpoint
    USB_DATA_ENDPOINT_2 = 'S', // the second data endpoint
};

// One worker thread reading a stream from a device into pooled byte buffers.
//
// A derived transfer supplies only its transport steps:
//   start_impl  runs in start() before the worker starts (set up, submit, open); may throw, and then
//               the transfer stays stopped and the exception reaches the caller;
//   run_impl    runs on the worker, again and again while isRunning(); it should return soon after the
//               state leaves running (stop_impl is the place to wake it);
//   stop_impl   runs in stop() before the worker is joined (cancel, unblock);
//   flush       drains whatever the device still holds.
// It hands each filled buffer to transferData (on the worker), which gives it to the new-buffer callback.
// Buffers come from createBuffer: a pool of 10 vectors of the buffer size that makes new ones when empty.
//
// start and stop may be called from any thread (not from the worker); the callback runs on the worker.
// Derived destructors must call stop() (the base destructor can no longer reach their steps).
class DataTransfer {
public:
    using NewBufferCallback = std::function<void(RawBuffer)>;
    // Data was lost before the next buffer handed on; runs on the worker.
    using GapCallback = std::function<void()>;

    static constexpr int32_t STATE_STOPPED = 0;
    static constexpr int32_t STATE_RUNNING = 1;
    static constexpr size_t POOL_BUFFERS = 10;

    DataTransfer(const DataTransfer&) = delete;
    DataTransfer& operator=(const DataTransfer&) = delete;
    virtual ~DataTransfer();

    // Does nothing while the worker exists (also after it ended on its own: stop, then start again).
    void start();
    // Does nothing while no worker exists.
    void stop();
    void registerNewBufferCallback(NewBufferCallback callback);
    void registerGapCallback(GapCallback callback);
    bool hasAvailableBuffer() const;
    // Frees the pooled buffers beyond the first POOL_BUFFERS that are not in use (the pool grows while
    // a consumer falls behind). Any thread; frees memory, so not on a hot path.
    void trimBufferPool();

protected:
    DataTransfer(uint32_t rawEventSizeBytes, bool dropWhenNoBuffer, uint32_t bufferSize);

    // The most recently returned pooled vector (keeping the size it had), or size zero bytes when none is free.
    virtual RawBuffer createBuffer(const uint64_t& size);
    virtual void start_impl() = 0;
    virtual void stop_impl();
    virtual void run_impl() = 0;
    virtual void flush() = 0;

    // Hands a filled buffer on. Returns true when it was dropped (only with drop-when-no-buffer and an
    // exhausted pool, which cannot happen with the unbounded pool). Empty buffers are released silently.
    bool transferData(RawBuffer buffer);
    // Tells the consumer (on the worker) that data was lost before the next buffer handed on.
    void transferGap();
    uint32_t getRawEventSizeBytes() const;
    uint32_t getBufferSize() const;
    // Free buffers held by the pool now.
    size_t freePooledBuffers() const;

    int32_t getState() const;
    void setState(int32_t state);
    bool isRunning() const;

private:
    void workerLoop();

    std::mutex m_stateLock;
    std::atomic<int32_t> m_state{STATE_STOPPED};
    std::condition_variable m_wakeUp;
    std::thread m_worker;
    uint32_t m_rawEventSizeBytes;
    bool m_dropWhenNoBuffer;
    uint32_t m_bufferSize;
    ObjectPool<std::vector<uint8_t>> m_bufferPool;
    std::mutex m_callbackLock;
    NewBufferCallback m_newBufferCallback;
    GapCallback m_gapCallback;
    std::mutex m_lifecycleLock; // serialises start and stop
};

// The transfer for an interface: type USB gives a UsbDataTransfer (all five values), type ETH an
// EthDataTransfer (raw event size and buffer size). Empty, with an error logged, for any other type,
// for an interface that is not of the concrete class its type announces, for a transport not built
// in, and for 0 USB transfers.
std::unique_ptr<DataTransfer> createDataTransferUniquePtr(std::shared_ptr<Interface> interface,
                                                          uint32_t rawEventSizeBytes, uint32_t bufferSize,
                                                          uint8_t numTransfers, UsbDataTransferEndpoint endpoint);

// The V4L2 capture of the MIPI camera (a V4l2DataTransfer). Its device calls go through io; nullptr uses
// the real system calls (pass the camera interface's deviceIo() to capture from the same board).
std::unique_ptr<DataTransfer> createV4l2DataTransferUniquePtr(const V4l2StreamConfig& config,
                                                              uint32_t rawEventSizeBytes,
                                                              std::shared_ptr<DeviceIo> io = nullptr);

} // namespace quelnor
