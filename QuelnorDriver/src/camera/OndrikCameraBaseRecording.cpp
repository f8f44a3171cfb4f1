// OndrikCameraBase: recording of both streams, the calibration and the identity registers.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "QuelnorBase/Utils/FuncUtils.h"
#include "QuelnorBase/Utils/JsonUtils.h"
#include "QuelnorDriver/camera/OndrikCameraBase.h"

namespace quelnor {

namespace {

constexpr const char* RAW_EXTENSION = ".raw";
constexpr const char* MP4_EXTENSION = ".mp4";
constexpr const char* CALIBRATION_EXTENSION = ".json";
constexpr const char* APS_START_LINE = "% aps_start_timestamp ";
constexpr const char* FIRMWARE_VERSION_REGISTER = "firmware_version";
constexpr const char* SERIAL_NUMBER_REGISTER = "usb_serialnumber";
// Room beyond the hand-over size of a raw chunk, so the buffer that crosses it needs no new memory.
constexpr size_t CHUNK_MARGIN_BYTES = 1 << 20;
// Frames the MP4 recording dropped are logged for the first and then every this many.
constexpr uint64_t DROP_LOG_INTERVAL = 100;

// What the last failed system call said, for a failure the stream reports only as a state.
std::string systemCause(int error, const char* what) {
    return error != 0 ? std::string(what) + ": " + std::strerror(error) : std::string(what);
}

// The converter logs the FFmpeg error itself; its result only says that it failed.
std::string converterCause(int result, const char* what) {
    return std::string(what) + " (converter result " + std::to_string(result) + ")";
}

} // namespace

// ---------------------------------------------------------------- recording

int OndrikCameraBase::startRecording(std::string dir, std::string name, STREAM_TYPE type) {
    if (!inited.load()) {
        QN_ERROR("Camera is not inited");
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(calibrationMutex);
        if (hasCalibration) {
            CalibratorParameters copy = calibration;
            paramToJsonFile(copy, dir + "/" + name + CALIBRATION_EXTENSION);
        }
    }
    const std::string rawPath = dir + "/" + name + RAW_EXTENSION;
    if (type == DVS_STREAM) {
        return startRecordingDvsStream(rawPath);
    }
    if (type == APS_STREAM) {
        return startRecordingApsStream(dir, name);
    }
    // The frame recording first, so the raw writer can wait for its first frame.
    if (startRecordingApsStream(dir, name) != 0) {
        QN_INFO("Start Recording APS Stream Failed.");
        return -1;
    }
    if (startRecordingDvsStream(rawPath) < 0) {
        QN_INFO("Start Recording DVS Stream Failed.");
        stopRecording(APS_STREAM); // a failed start leaves nothing recording
        return -1;
    }
    return 0;
}

int OndrikCameraBase::startRecordingDvsStream(std::string path) {
    std::lock_guard<std::mutex> control(recordControlMutex);
    if (dvsRecordActive) {
        QN_INFO("Do not save again while saving.");
        return -1;
    }
    QN_INFO("Start recording DVS stream to %s.", path.c_str());
    dvsRecordPath = path;
    dvsRecordFailed.store(false);
    dvsFile.clear();
    dvsFile.open(path, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!dvsFile.is_open()) {
        const std::string message = "Unable to open " + path + " for writing.";
        QN_ERROR("%s", message.c_str());
        return -1;
    }
    std::unique_ptr<BufferPool> pool = makeBufferPool(RECORD_CHUNKS, dvsChunkBytes + CHUNK_MARGIN_BYTES);
    {
        std::lock_guard<std::mutex> lock(dvsChunkMutex);
        dvsChunkPool = std::move(pool);
        currentDvsChunk = dvsChunkPool->acquire();
        currentDvsChunk->clear();
        dvsChunkQueue.clear();
        dvsPendingBytes = 0;
        dvsRecordStopRequested = false;
    }
    dvsRecordActive = true;
    dvsRecordThread = std::thread(&OndrikCameraBase::dvsRecordLoop, this);
    return 0;
}

void OndrikCameraBase::dvsRecordLoop() {
    // Beside a frame recording the raw file begins with its first frame (a frame without timing
    // gives no start line).
    uint64_t firstFrame = 0;
    for (;;) {
        if (!apsRecording.load() || apsRecordFailed.load()) {
            break;
        }
        bool frameRecorded = false;
        {
            std::lock_guard<std::mutex> lock(apsRecordMutex);
            firstFrame = firstApsTimestamp;
            frameRecorded = apsFramesRecorded > 0;
        }
        if (frameRecorded) {
            break;
        }
        {
            std::lock_guard<std::mutex> lock(dvsChunkMutex);
            if (dvsRecordStopRequested) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(FIRST_FRAME_POLL_MS));
    }
    if (firstFrame != 0) {
        const std::string line = APS_START_LINE + std::to_string(firstFrame) + "\n";
        saveDvsBuffer2File(reinterpret_cast<const uint8_t*>(line.data()), line.size());
    }
    DvsFileInfo info = fileInfo;
    info.dvsStartTimestamp = lastDecodedTimestamp.load();
    info.apsStartTimestamp = firstFrame;
    const std::string header = generateDvsFileHeader(info);
    saveDvsBuffer2File(reinterpret_cast<const uint8_t*>(header.data()), header.size());
    {
        std::lock_guard<std::mutex> lock(dvsChunkMutex);
        if (!dvsRecordStopRequested && !dvsRecordFailed.load()) {
            dvsRecording.store(true); // from now on the event-stream thread hands its buffers over
        }
    }
    for (;;) {
        std::deque<FrameBuffer> chunks;
        bool stopping = false;
        {
            std::unique_lock<std::mutex> lock(dvsChunkMutex);
            dvsChunkCondition.wait(lock, [this] { return !dvsChunkQueue.empty() || dvsRecordStopRequested; });
            chunks.swap(dvsChunkQueue);
            stopping = dvsRecordStopRequested;
        }
        // Written without the lock: the event-stream thread never waits for the disk.
        for (FrameBuffer& chunk : chunks) {
            if (dvsRecordFailed.load()) {
                break;
            }
            saveDvsBuffer2File(chunk->data(), chunk->size());
            const size_t written = chunk->size();
            chunk.reset();
            std::lock_guard<std::mutex> lock(dvsChunkMutex);
            dvsPendingBytes -= std::min(dvsPendingBytes, written);
        }
        if (stopping || dvsRecordFailed.load()) {
            return; // the stop queued the last chunk before it asked; a failure ended the file
        }
    }
}

void OndrikCameraBase::saveDvsBuffer2File(const uint8_t* data, uint64_t size) {
    if (size == 0 || dvsRecordFailed.load()) {
        return;
    }
    errno = 0;
    dvsFile.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!dvsFile.good()) {
        failRawRecording(systemCause(errno, "write failed"));
    }
}

void OndrikCameraBase::failRawRecording(const std::string& cause) {
    std::lock_guard<std::mutex> lock(dvsChunkMutex);
    failRawRecordingLocked(cause);
}

void OndrikCameraBase::failRawRecordingLocked(const std::string& cause) {
    if (dvsRecordFailed.exchange(true)) {
        return;
    }
    // The file keeps what was written before: a short file reads back, one with a hole would not.
    QN_ERROR("Raw recording %s ended: %s.", dvsRecordPath.c_str(), cause.c_str());
    dvsRecording.store(false);
    dvsChunkQueue.clear();
    dvsPendingBytes = 0;
    dvsChunkCondition.notify_all();
}

void OndrikCameraBase::failMp4RecordingLocked(const std::string& cause) {
    if (apsRecordFailed.exchange(true)) {
        return;
    }
    QN_ERROR("APS recording %s ended: %s.", apsRecordPath.c_str(), cause.c_str());
}

bool OndrikCameraBase::isRecordingHealthy(STREAM_TYPE type) const {
    if (type == DVS_STREAM) {
        return !dvsRecordFailed.load();
    }
    if (type == APS_STREAM) {
        return !apsRecordFailed.load();
    }
    return !dvsRecordFailed.load() && !apsRecordFailed.load();
}

void OndrikCameraBase::prepareDvsData2Save(std::vector<uint8_t>& buffer) {
    if (!dvsRecording.load()) {
        return;
    }
    std::lock_guard<std::mutex> lock(dvsChunkMutex);
    if (!dvsRecording.load() || !currentDvsChunk) {
        return;
    }
    currentDvsChunk->insert(currentDvsChunk->end(), buffer.begin(), buffer.end());
    if (currentDvsChunk->size() > dvsChunkBytes) {
        if (dvsPendingBytes + currentDvsChunk->size() > rawQueueLimitBytes) {
            // Dropping this chunk and going on would leave a hole in the event stream, which no reader
            // can tell from a quiet scene: the file rather ends here, whole up to this point.
            failRawRecordingLocked("the writer fell behind by " +
                                   std::to_string(dvsPendingBytes + currentDvsChunk->size()) +
                                   " bytes (limit " + std::to_string(rawQueueLimitBytes) + ")");
            currentDvsChunk->clear();
            return;
        }
        dvsPendingBytes += currentDvsChunk->size();
        dvsChunkQueue.push_back(std::move(currentDvsChunk));
        currentDvsChunk = dvsChunkPool->acquire();
        currentDvsChunk->clear();
        dvsChunkCondition.notify_one();
    }
}

bool OndrikCameraBase::ensureRecordConverter() {
    if (recordConverter) {
        return true;
    }
    auto converter = std::make_shared<DataToVideoConverter>();
    converter->setConverterFrameSize(apsHeight, apsWidth, apsHeight, apsWidth);
    converter->setConverterFmt(DataToVideoConverter::PIX_FMT_NV12, DataToVideoConverter::PIX_FMT_YUV420P);
    if (converter->initVideoConverter() < 0) {
        QN_ERROR("Video converter initialization failed, please confirm that the input file is correct.");
        return false;
    }
    recordConverter = std::move(converter);
    return true;
}

int OndrikCameraBase::startRecordingApsStream(std::string dir, std::string name) {
    std::lock_guard<std::mutex> control(recordControlMutex);
    if (apsRecording.load()) {
        QN_INFO("Do not save again while saving.");
        return -1;
    }
    const std::string path = dir + "/" + name + MP4_EXTENSION;
    {
        std::lock_guard<std::mutex> lock(recordConverterMutex);
        if (!ensureRecordConverter()) {
            return -1;
        }
        if (recordConverter->setOutputFile(path) != 0) {
            QN_ERROR("Unable to record APS frames to %s.", path.c_str());
            return -1;
        }
        apsFileOpen = true;
        apsRecordPath = path;
        apsRecordFailed.store(false);
        lastRecordedPts = -1;
    }
    std::unique_ptr<BufferPool> pool = makeBufferPool(RECORD_FRAMES, frameBytes());
    std::lock_guard<std::mutex> lock(apsRecordMutex);
    firstApsTimestamp = 0;
    apsFramesRecorded = 0;
    apsRecordDroppedFrames = 0;
    apsRecordPool = std::move(pool);
    currentApsRecordBuffer = apsRecordPool->acquire();
    currentApsRecordBuffer->clear();
    apsRecordQueue.clear();
    apsPtsQueue.clear();
    apsRecordStopRequested.store(false);
    apsRecording.store(true);
    return 0;
}

void OndrikCameraBase::prepareApsData2Save(const uint8_t* data, uint32_t size, uint64_t timestamp) {
    std::lock_guard<std::mutex> lock(apsRecordMutex);
    if (!apsRecording.load() || apsRecordFailed.load() || !apsRecordPool || data == nullptr) {
        return;
    }
    if (apsRecordQueue.size() >= mp4QueueLimitFrames) {
        // The encoder fell behind: this frame is left out and counted, so memory stays bounded.
        if (apsRecordDroppedFrames++ % DROP_LOG_INTERVAL == 0) {
            QN_WARN("APS recording fell behind: frames dropped: %llu",
                    static_cast<unsigned long long>(apsRecordDroppedFrames));
        }
        return;
    }
    if (!currentApsRecordBuffer) {
        currentApsRecordBuffer = apsRecordPool->acquire();
    }
    currentApsRecordBuffer->assign(data, data + size);
    if (firstApsTimestamp == 0 && timestamp != 0) {
        firstApsTimestamp = timestamp;
        QN_INFO("Mp4 offset: %lld", static_cast<long long>(timestamp));
    }
    // Each frame keeps the offset of its own recording; a frame without timing gets none.
    int64_t pts = -1;
    if (timestamp != 0 && firstApsTimestamp != 0 && timestamp >= firstApsTimestamp) {
        pts = static_cast<int64_t>(timestamp - firstApsTimestamp);
    }
    apsRecordQueue.push_back(std::move(currentApsRecordBuffer));
    apsPtsQueue.push_back(pts);
    ++apsFramesRecorded;
    currentApsRecordBuffer = apsRecordPool->acquire();
    currentApsRecordBuffer->clear();
    apsRecordCondition.notify_all();
}

void OndrikCameraBase::prepareApsData2Save(std::vector<uint8_t>& data, uint64_t timestamp) {
    prepareApsData2Save(data.data(), static_cast<uint32_t>(data.size()), timestamp);
}

void OndrikCameraBase::encodeRecordedFrame(const FrameBuffer& frame, int64_t pts) {
    std::lock_guard<std::mutex> lock(recordConverterMutex);
    if (!recordConverter || !apsFileOpen || apsRecordFailed.load()) {
        return;
    }
    // Frame times in a file must grow: a frame without timing, or timed before the one written last,
    // goes one frame step after it.
    int64_t at = pts;
    if (at < 0 || at <= lastRecordedPts) {
        at = lastRecordedPts < 0 ? 0 : lastRecordedPts + DataToVideoConverter::AUTO_FRAME_STEP;
        if (pts >= 0) {
            QN_WARN("APS frame time %lld us does not follow the previous frame; recorded at %lld us.",
                    static_cast<long long>(pts), static_cast<long long>(at));
        }
    }
    const int result = recordConverter->nv12ToVideo(*frame, at);
    if (result < 0) {
        failMp4RecordingLocked(converterCause(result, "encoding a frame failed"));
    }
    lastRecordedPts = at;
}

void OndrikCameraBase::closeRecordedFile() {
    std::lock_guard<std::mutex> lock(recordConverterMutex);
    // Also after a failed frame: what was encoded before is finished into a readable file if it can be.
    if (recordConverter && apsFileOpen) {
        const int result = recordConverter->flushAndCloseVideo();
        if (result < 0) {
            failMp4RecordingLocked(converterCause(result, "closing the file failed"));
        }
    }
    apsFileOpen = false;
}

void OndrikCameraBase::apsRecordLoop() {
    {
        std::lock_guard<std::mutex> lock(recordConverterMutex);
        ensureRecordConverter();
    }
    for (;;) {
        FrameBuffer frame;
        int64_t pts = -1;
        bool closeFile = false;
        {
            std::unique_lock<std::mutex> lock(apsRecordMutex);
            apsRecordCondition.wait(lock, [this] {
                return !apsRecordQueue.empty() || apsRecordStopRequested.load() || apsWriterExit;
            });
            if (!apsRecordQueue.empty() && !apsPtsQueue.empty()) {
                frame = std::move(apsRecordQueue.front());
                apsRecordQueue.pop_front();
                pts = apsPtsQueue.front();
                apsPtsQueue.pop_front();
            } else if (apsRecordStopRequested.load()) {
                closeFile = true;
            } else {
                apsRecordQueue.clear();
                apsPtsQueue.clear();
                lock.unlock();
                closeRecordedFile();
                lock.lock();
                apsWriterRunning = false;
                apsRecordCondition.notify_all();
                return;
            }
        }
        // Encoding happens without the queue lock: the fusion thread never waits for the encoder.
        if (frame) {
            encodeRecordedFrame(frame, pts);
            continue;
        }
        if (closeFile) {
            closeRecordedFile();
            std::lock_guard<std::mutex> lock(apsRecordMutex);
            apsRecordStopRequested.store(false);
            apsRecordCondition.notify_all();
        }
    }
}

void OndrikCameraBase::endFrameWriter() {
    {
        std::lock_guard<std::mutex> lock(apsRecordMutex);
        apsWriterExit = true;
    }
    apsRecordCondition.notify_all();
    if (apsRecordThread.joinable()) {
        apsRecordThread.join();
    }
}

int OndrikCameraBase::stopRecording(STREAM_TYPE type) {
    const bool events = type == DVS_STREAM || type == FUSION_STREAM;
    const bool frames = type == APS_STREAM || type == FUSION_STREAM;
    std::lock_guard<std::mutex> control(recordControlMutex);
    int result = 0;
    if (events && dvsRecordActive) {
        {
            std::lock_guard<std::mutex> lock(dvsChunkMutex);
            if (currentDvsChunk && !currentDvsChunk->empty()) {
                dvsChunkQueue.push_back(std::move(currentDvsChunk));
            }
            currentDvsChunk.reset();
            dvsRecording.store(false);
            dvsRecordStopRequested = true;
        }
        dvsChunkCondition.notify_all();
        if (dvsRecordThread.joinable()) {
            dvsRecordThread.join();
        }
        errno = 0;
        dvsFile.close();
        if (dvsFile.fail()) {
            failRawRecording(systemCause(errno, "closing the file failed"));
        }
        {
            std::lock_guard<std::mutex> lock(dvsChunkMutex);
            dvsChunkQueue.clear();
            dvsChunkPool.reset();
        }
        dvsRecordActive = false;
        if (dvsRecordFailed.load()) {
            result = -1;
        }
    }
    if (frames && apsRecording.load()) {
        std::unique_lock<std::mutex> lock(apsRecordMutex);
        apsRecording.store(false);
        apsRecordStopRequested.store(true);
        apsRecordCondition.notify_all();
        // The writer encodes what is queued and closes the file; the recording is complete on return.
        apsRecordCondition.wait(lock, [this] { return !apsRecordStopRequested.load() || !apsWriterRunning; });
        apsRecordStopRequested.store(false);
        apsRecordPool.reset();
        currentApsRecordBuffer.reset();
        firstApsTimestamp = 0;
        if (apsRecordFailed.load()) {
            result = -1;
        }
    }
    return result;
}

// ---------------------------------------------------------------- calibration

bool OndrikCameraBase::readCalibrationParam(CalibratorParameters& params) {
    std::shared_ptr<Interface> device = interface;
    if (!device) {
        return false;
    }
    std::vector<uint8_t> block;
    if (!device->readCalibrationData(block)) {
        return false;
    }
    CalibratorParameters parsed;
    if (!jsonDataToParam(block, parsed)) {
        return false;
    }
    params = parsed;
    std::lock_guard<std::mutex> lock(calibrationMutex);
    calibration = std::move(parsed);
    hasCalibration = true;
    return true;
}

bool OndrikCameraBase::writeCalibrationFile(std::string path) {
    std::shared_ptr<Interface> device = interface;
    return device ? device->writeCalibrationFile(std::move(path)) : false;
}

// ---------------------------------------------------------------- identity

bool OndrikCameraBase::getFirmwareVersion(std::string& version) {
    uint8_t block[IDENTITY_BLOCK_SIZE] = {};
    if (!apsRegisterController ||
        apsRegisterController->readRegisterWithControlTransfer(FIRMWARE_VERSION_REGISTER, block,
                                                               IDENTITY_BLOCK_SIZE) != 0) {
        QN_ERROR("Failed to get firmware version.");
        return false;
    }
    version.assign(reinterpret_cast<const char*>(block),
                   ::strnlen(reinterpret_cast<const char*>(block), IDENTITY_BLOCK_SIZE));
    QN_INFO("Firmware version: %s", version.c_str());
    return true;
}

bool OndrikCameraBase::getSerialNumber(std::string& serial) {
    uint8_t block[IDENTITY_BLOCK_SIZE] = {};
    if (!apsRegisterController ||
        apsRegisterController->readRegisterWithControlTransfer(SERIAL_NUMBER_REGISTER, block, IDENTITY_BLOCK_SIZE) !=
            0) {
        QN_ERROR("Failed to get Serial number.");
        return false;
    }
    serial.assign(reinterpret_cast<const char*>(block),
                  ::strnlen(reinterpret_cast<const char*>(block), IDENTITY_BLOCK_SIZE));
    QN_INFO("Serial number: %s", serial.c_str());
    return true;
}

bool OndrikCameraBase::setSerialNumber(std::string serial) {
    if (serial.size() >= IDENTITY_BLOCK_SIZE) {
        QN_ERROR("Serial number length must less than 64.");
        return false;
    }
    uint8_t block[IDENTITY_BLOCK_SIZE] = {};
    std::memcpy(block, serial.data(), serial.size());
    if (!apsRegisterController || apsRegisterController->writeRegisterDataWithControlTransfer(
                                      SERIAL_NUMBER_REGISTER, block, IDENTITY_BLOCK_SIZE) != 0) {
        QN_ERROR("Failed to set Serial number.");
        return false;
    }
    QN_INFO("Set Serial number: %s", serial.c_str());
    return true;
}

} // namespace quelnor
