#include "QuelnorHal/EventStream/V4l2DataTransfer.h"

#include <chrono>
#include <utility>

#include "EventStream/V4l2Capture.h"
#include "QuelnorBase/Logger.h"

namespace quelnor {

namespace {
uint32_t poolBufferSize(const V4l2StreamConfig& config) {
    return config.bufferSize > 0 ? static_cast<uint32_t>(config.bufferSize) : V4l2DataTransfer::DEFAULT_BUFFER_SIZE;
}
} // namespace

V4l2DataTransfer::V4l2DataTransfer(V4l2StreamConfig config, uint32_t rawEventSizeBytes, std::shared_ptr<DeviceIo> io)
    : DataTransfer(rawEventSizeBytes, false, poolBufferSize(config)),
      m_config(std::move(config)),
      m_io(io ? std::move(io) : DeviceIo::system()) {}

V4l2DataTransfer::~V4l2DataTransfer() {
    stop();
    closeDevice();
}

void V4l2DataTransfer::start_impl() {
    closeDevice();
    auto capture = std::make_unique<V4l2Capture>(m_io, m_config);
    capture->open();
    m_capture = std::move(capture);
}

void V4l2DataTransfer::run_impl() {
    {
        std::lock_guard<std::mutex> lock(m_runLock);
        if (!isRunning() || !m_capture) {
            return;
        }
        m_inRun = true;
    }
    const V4l2Capture::Allocator allocate = [this](size_t bytes) { return createBuffer(bytes); };
    unsigned int dequeueErrors = 0; // in a row, with no buffer dequeued in between
    while (isRunning()) {
        RawBuffer frame;
        const V4l2Capture::Result result = m_capture->next(POLL_TIMEOUT_MS, allocate, frame);
        switch (result) {
        case V4l2Capture::Result::Frame:
            dequeueErrors = 0;
            transferData(std::move(frame));
            break;
        case V4l2Capture::Result::Dropped:
            dequeueErrors = 0;
            transferGap();
            break;
        case V4l2Capture::Result::Empty:
            dequeueErrors = 0;
            break;
        case V4l2Capture::Result::Error:
            transferGap();
            if (++dequeueErrors >= DEQUEUE_ERROR_LIMIT) {
                QN_ERROR("V4L2 capture %s: VIDIOC_DQBUF failed %u times in a row", m_config.devicePath.c_str(),
                         dequeueErrors);
                QN_ERROR("V4L2 capture %s stopped after a device failure", m_config.devicePath.c_str());
                setState(STATE_STOPPED);
                break;
            }
            pauseAfterError();
            break;
        case V4l2Capture::Result::NotReady:
            // A driver that keeps saying ready without a buffer would make this loop spin.
            pauseAfterError();
            break;
        case V4l2Capture::Result::Failed:
            QN_ERROR("V4L2 capture %s stopped after a device failure", m_config.devicePath.c_str());
            setState(STATE_STOPPED);
            break;
        case V4l2Capture::Result::Timeout:
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_runLock);
        m_inRun = false;
    }
    m_runEnded.notify_all();
}

void V4l2DataTransfer::pauseAfterError() {
    std::unique_lock<std::mutex> lock(m_runLock);
    m_stopRequested.wait_for(lock, std::chrono::milliseconds(ERROR_PAUSE_MS), [this] { return !isRunning(); });
}

void V4l2DataTransfer::stop_impl() {
    {
        std::unique_lock<std::mutex> lock(m_runLock);
        setState(STATE_STOPPED);
        m_stopRequested.notify_all();
        m_runEnded.wait(lock, [this] { return !m_inRun; });
    }
    closeDevice();
}

void V4l2DataTransfer::flush() {}

void V4l2DataTransfer::closeDevice() {
    if (m_capture) {
        m_capture->close();
        m_capture.reset();
    }
}

} // namespace quelnor
