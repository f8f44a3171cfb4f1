#include "QuelnorDriver/FileRecorder/DvsFileRecorder.h"

#include <chrono>
#include <filesystem>

#include "QuelnorBase/Logger.h"
#include "QuelnorBase/Utils/FuncUtils.h"

namespace quelnor {

namespace {

namespace fs = std::filesystem;

// Room above a full block for the raw buffer that fills it, so appending rarely reallocates.
constexpr size_t BLOCK_HEADROOM = 262144;
// Free blocks the writing threads keep ready, so the camera thread seldom meets a new block whose
// memory has never been touched.
constexpr size_t SPARE_BLOCKS = 8;
constexpr size_t COPY_CHUNK_SIZE = 1048576;

bool writeAll(std::ofstream& out, const std::vector<uint8_t>& bytes) {
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return out.good();
}

} // namespace

DvsFileRecorder::DvsFileRecorder() {
    // Made at full size, so their memory is touched here and not on the camera thread's first pass.
    bufferPool = std::make_unique<ObjectPool<std::vector<uint8_t>>>(POOL_BLOCKS, false, BLOCK_SIZE + BLOCK_HEADROOM);
    currentBlock = takeBlock();
}

DvsFileRecorder::~DvsFileRecorder() {
    if (recording) {
        stopRecording();
    }
    std::lock_guard<std::mutex> control(controlMutex);
    joinAppendThread();
    stopCacheThread();
    deleteCacheFiles();
    if (writerThread.joinable()) {
        writerThread.join();
    }
}

void DvsFileRecorder::setTimestampCallback(TimestampCallback callback) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    timestampCallback = std::move(callback);
}

void DvsFileRecorder::setFileInfo(const DvsFileInfo& info) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    fileInfo = info;
}

bool DvsFileRecorder::isRecording() const { return recording || cacheLoopRunning; }

DvsFileRecorder::Block DvsFileRecorder::takeBlock() {
    Block block = bufferPool->acquire();
    block->clear();
    block->reserve(BLOCK_SIZE + BLOCK_HEADROOM);
    return block;
}

void DvsFileRecorder::keepSpareBlocks() {
    if (bufferPool->size() >= SPARE_BLOCKS) {
        return;
    }
    std::vector<Block> spare;
    while (spare.size() < SPARE_BLOCKS) {
        Block block = bufferPool->acquire();
        if (block->capacity() < BLOCK_SIZE + BLOCK_HEADROOM) {
            block->resize(BLOCK_SIZE + BLOCK_HEADROOM);  // touches every page
        }
        block->clear();
        spare.push_back(std::move(block));
    }
    // Dropping them hands them back to the pool.
}

void DvsFileRecorder::handOverLocked() {
    if (currentBlock->empty()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        blockQueue.push_back(std::move(currentBlock));
    }
    condition.notify_one();
    currentBlock = takeBlock();
}

void DvsFileRecorder::resetBuffers() {
    std::lock_guard<std::mutex> block(blockMutex);
    currentBlock->clear();
    std::lock_guard<std::mutex> lock(mutex);
    blockQueue.clear();
}

void DvsFileRecorder::writeData(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(blockMutex);
    if (sink == Sink::None) {
        return;  // after a stop: these bytes belong to no recording
    }
    currentBlock->insert(currentBlock->end(), bytes.begin(), bytes.end());
    if (currentBlock->size() > BLOCK_SIZE) {
        handOverLocked();
    }
}

std::deque<DvsFileRecorder::Block> DvsFileRecorder::waitForBlocks(bool& stop) {
    std::deque<Block> blocks;
    std::unique_lock<std::mutex> lock(mutex);
    condition.wait(lock, [this] { return !blockQueue.empty() || stopLoop; });
    stop = stopLoop;
    blocks.swap(blockQueue);
    return blocks;
}

uint64_t DvsFileRecorder::eventTime() {
    TimestampCallback callback;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        callback = timestampCallback;
    }
    if (callback) {
        return callback();
    }
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

std::string DvsFileRecorder::segmentPath(uint32_t index) {
    std::string serial;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        serial = fileInfo.serialNumber;
    }
    std::lock_guard<std::mutex> lock(mutex);
    return cacheDirectory + "/" + serial + "_" + std::to_string(index) + SEGMENT_SUFFIX;
}

// ---------------------------------------------------------------------------------------------
// Direct mode

bool DvsFileRecorder::startRecording(const std::string& path, DvsFileInfo info) {
    std::lock_guard<std::mutex> control(controlMutex);
    if (appending) {
        return false;
    }
    if (recording) {
        QN_WARN("A recording is already running: %s", outputPath.c_str());
        return false;
    }
    joinAppendThread();
    outputStream.open(path, std::ios::binary | std::ios::trunc);
    if (!outputStream.is_open()) {
        QN_ERROR("Failed to open recording file: %s", path.c_str());
        return false;
    }
    outputPath = path;
    setFileInfo(info);
    if (cacheMode) {
        // The cache thread goes on writing segments and now keeps every one of them.
        recording = true;
        return true;
    }
    resetBuffers();
    recording = true;
    QN_INFO("Start recording file ts: %llu", static_cast<unsigned long long>(info.dvsStartTimestamp));
    const std::string header = generateDvsFileHeader(info);
    outputStream.write(header.data(), static_cast<std::streamsize>(header.size()));
    outputStream.flush();
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopLoop = false;
    }
    if (writerThread.joinable()) {
        writerThread.join();
    }
    writerThread = std::thread(&DvsFileRecorder::recordLoop, this);
    std::lock_guard<std::mutex> block(blockMutex);
    sink = Sink::Direct;
    return true;
}

void DvsFileRecorder::recordLoop() {
    bool failed = !outputStream.good();
    for (;;) {
        bool stop = false;
        std::deque<Block> blocks = waitForBlocks(stop);
        // The lock is not held here: writeData hands blocks over while this one is on its way to disk.
        for (const Block& block : blocks) {
            if (!writeAll(outputStream, *block) || !outputStream.flush()) {
                failed = true;
            }
        }
        const bool drained = blocks.empty();
        blocks.clear();
        keepSpareBlocks();
        if (stop && drained) {
            break;
        }
    }
    outputStream.close();
    if (failed || outputStream.fail()) {
        QN_ERROR("Failed to write recording file: %s", outputPath.c_str());
    }
}

bool DvsFileRecorder::stopRecording() {
    std::lock_guard<std::mutex> control(controlMutex);
    if (appending) {
        return false;
    }
    if (!recording) {
        return true;
    }
    recording = false;
    if (!cacheMode) {
        {
            std::lock_guard<std::mutex> block(blockMutex);
            sink = Sink::None;
            handOverLocked();
        }
        bool timed = false;
        {
            std::lock_guard<std::mutex> lock(settingsMutex);
            timed = static_cast<bool>(timestampCallback);
        }
        if (timed) {
            QN_INFO("Stop recording file ts: %llu", static_cast<unsigned long long>(eventTime()));
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopLoop = true;
        }
        condition.notify_one();
        if (writerThread.joinable()) {
            writerThread.join();
        }
        return true;
    }
    stopCacheThread();
    joinAppendThread();
    appending = true;
    appendThread = std::thread(&DvsFileRecorder::appendCacheFiles, this);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Cache mode

bool DvsFileRecorder::setFileCacheTime(uint16_t seconds, const std::string& directory) {
    std::lock_guard<std::mutex> control(controlMutex);
    if (recording) {
        // Changing the cache now would split the recording between two writers.
        QN_WARN("The file cache cannot be changed while recording.");
        return false;
    }
    joinAppendThread();
    {
        std::lock_guard<std::mutex> lock(mutex);
        cacheDirectory = directory;
    }
    if (seconds == 0) {
        cacheMode = false;
        stopCacheThread();
    } else if (!cacheLoopRunning) {
        cacheMode = true;
        cacheSeconds = seconds;
        startCacheThread();
    }
    return true;
}

void DvsFileRecorder::startCacheThread() {
    if (cacheThread.joinable()) {
        cacheThread.join();
    }
    segmentOpen = false;
    segmentStart = 0;
    segmentIndex = 0;
    resetBuffers();
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopLoop = false;
    }
    cacheLoopRunning = true;
    {
        std::lock_guard<std::mutex> block(blockMutex);
        sink = Sink::Cache;
    }
    cacheThread = std::thread(&DvsFileRecorder::cacheLoop, this);
}

void DvsFileRecorder::stopCacheThread() {
    cacheLoopRunning = false;
    {
        std::lock_guard<std::mutex> block(blockMutex);
        if (sink == Sink::Cache) {
            sink = Sink::None;
            handOverLocked();
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopLoop = true;
    }
    condition.notify_one();
    if (cacheThread.joinable()) {
        cacheThread.join();
    }
}

void DvsFileRecorder::joinAppendThread() {
    if (appendThread.joinable()) {
        appendThread.join();
    }
}

void DvsFileRecorder::cacheLoop() {
    deleteCacheFiles();
    QN_INFO("Start cache loop");
    bool timed = false;
    auto openSegment = [this, &timed]() {
        {
            std::lock_guard<std::mutex> lock(settingsMutex);
            timed = static_cast<bool>(timestampCallback);
        }
        const std::string path = segmentPath(segmentIndex);
        segmentStart = eventTime();
        segmentStream.open(path, std::ios::binary | std::ios::trunc);
        if (!segmentStream.is_open()) {
            QN_ERROR("Failed to open cache file: %s", path.c_str());
        }
        segmentOpen = true;
        {
            std::lock_guard<std::mutex> lock(mutex);
            cacheFiles.push_back({path, segmentStart, timed});
        }
        return path;
    };
    for (;;) {
        bool stop = false;
        std::deque<Block> blocks = waitForBlocks(stop);
        for (const Block& block : blocks) {
            uint64_t now = 0;
            if (!segmentOpen) {
                segmentIndex = 0;
                const std::string path = openSegment();
                now = segmentStart;
                QN_INFO("Start save cache file: %s", path.c_str());
            } else {
                now = eventTime();
            }
            writeAll(segmentStream, *block);
            if (now - segmentStart < SEGMENT_DURATION_US) {
                continue;
            }
            segmentStream.close();
            ++segmentIndex;
            // Only a ring that nothing records may drop and reuse its oldest segment; a recording, and
            // the blocks drained after its stop, keep every segment under names of their own.
            const bool ring = !recording && cacheLoopRunning;
            if (ring) {
                std::lock_guard<std::mutex> lock(mutex);
                if (cacheFiles.size() >= cacheSeconds) {
                    QN_INFO("Delete unused buffer: %s", cacheFiles.front().path.c_str());
                    cacheFiles.pop_front();
                }
            }
            if (!ring && segmentIndex < cacheSeconds) {
                segmentIndex += cacheSeconds;
                QN_INFO("Save cache file num: %d", static_cast<int>(segmentIndex));
            }
            if (ring && segmentIndex >= cacheSeconds) {
                segmentIndex = 0;
            }
            const std::string path = openSegment();
            QN_INFO("A frame of cache file was saved: %s", path.c_str());
        }
        const bool drained = blocks.empty();
        blocks.clear();
        keepSpareBlocks();
        if (stop && drained) {
            break;
        }
    }
    if (segmentStream.is_open()) {
        segmentStream.close();
    }
    segmentOpen = false;
    QN_INFO("End cache loop");
}

void DvsFileRecorder::appendCacheFiles() {
    std::deque<CacheFile> files;
    {
        std::lock_guard<std::mutex> lock(mutex);
        files.swap(cacheFiles);
    }
    bool failed = false;
    if (!files.empty()) {
        DvsFileInfo info;
        {
            std::lock_guard<std::mutex> lock(settingsMutex);
            info = fileInfo;
        }
        if (files.front().timed) {
            info.dvsStartTimestamp = files.front().startTimestamp;
        }
        const std::string header = generateDvsFileHeader(info);
        outputStream.write(header.data(), static_cast<std::streamsize>(header.size()));
    }
    std::vector<char> chunk(COPY_CHUNK_SIZE);
    for (const CacheFile& file : files) {
        std::ifstream in(file.path, std::ios::binary);
        if (!in.is_open()) {
            QN_ERROR("Failed to open cache file: %s", file.path.c_str());
            failed = true;
        }
        while (in.is_open() && in) {
            in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            const std::streamsize got = in.gcount();
            if (got > 0) {
                outputStream.write(chunk.data(), got);
            }
        }
        in.close();
        std::error_code error;
        if (!fs::remove(file.path, error)) {
            QN_ERROR("Error deleting file: %s", file.path.c_str());
        }
        QN_INFO("app file: %s", file.path.c_str());
    }
    if (outputStream.is_open()) {
        outputStream.close();
        if (failed || outputStream.fail()) {
            QN_ERROR("Failed to write recording file: %s", outputPath.c_str());
        }
    }
    startCacheThread();
    appending = false;
}

void DvsFileRecorder::deleteCacheFiles() {
    std::deque<CacheFile> files;
    {
        std::lock_guard<std::mutex> lock(mutex);
        files.swap(cacheFiles);
    }
    for (const CacheFile& file : files) {
        std::error_code error;
        if (!fs::remove(file.path, error)) {
            QN_ERROR("Error deleting file: %s", file.path.c_str());
        }
    }
}

} // namespace quelnor
