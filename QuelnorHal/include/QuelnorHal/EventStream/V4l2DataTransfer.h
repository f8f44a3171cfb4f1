#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "QuelnorHal/EventStream/DataTransfer.h"
#include "QuelnorHal/interface/DeviceIo.h"
#include "QuelnorHal/interface/V4l2StreamConfig.h"

namespace quelnor {

class V4l2Capture;

// The capture of one MIPI camera stream from its V4L2 video node, with memory-mapped buffers.
// start() opens the node, sets the format from the configuration (width, height, pixel format; 0 keeps the
// driver's choice), maps and queues the configured number of buffers and starts streaming; a failing step
// throws std::runtime_error and leaves the device as it was. The worker waits for filled buffers with poll,
// hands each complete one over as a raw buffer of its size (a copy; corrupted and empty buffers are
// dropped) and gives every buffer it took back to the driver at once, also one the driver dequeued
// while it answered VIDIOC_DQBUF with an I/O error. A corrupted buffer or a failed dequeue is reported
// as a gap before the next buffer. A device failure, or DQBUF failing again and again with no buffer
// in between, ends the worker with an error logged (stop and start again to resume). stop() stops streaming, unmaps and frees the
// buffers and closes the node. The new-buffer callback runs on the worker thread.
class V4l2DataTransfer : public DataTransfer {
public:
    static constexpr uint32_t DEFAULT_BUFFER_SIZE = 0x20000;
    // Longest wait for a frame before the worker looks whether it should stop.
    static constexpr int POLL_TIMEOUT_MS = 50;
    // Pause after a dequeue that failed or found nothing although poll said ready, so a driver
    // that keeps answering so cannot make the worker spin.
    static constexpr int ERROR_PAUSE_MS = 10;
    // VIDIOC_DQBUF failures in a row, with no buffer dequeued in between, that end the capture: every
    // buffer of a usual ring has failed several times over, so the driver is not coming back.
    static constexpr unsigned int DEQUEUE_ERROR_LIMIT = 16;

    // io nullptr: the real system calls. A buffer size of 0 (or below) uses DEFAULT_BUFFER_SIZE.
    V4l2DataTransfer(V4l2StreamConfig config, uint32_t rawEventSizeBytes, std::shared_ptr<DeviceIo> io = nullptr);
    ~V4l2DataTransfer() override;

protected:
    void start_impl() override;
    void stop_impl() override;
    void run_impl() override;
    void flush() override;

private:
    void closeDevice();
    // Waits ERROR_PAUSE_MS on the worker, less when stop comes.
    void pauseAfterError();

    const V4l2StreamConfig m_config;
    const std::shared_ptr<DeviceIo> m_io;
    std::unique_ptr<V4l2Capture> m_capture;
    // Lets stop_impl wait until the worker has left the capture before it tears the capture down.
    std::mutex m_runLock;
    std::condition_variable m_runEnded;
    std::condition_variable m_stopRequested;
    bool m_inRun = false;
};

} // namespace quelnor
