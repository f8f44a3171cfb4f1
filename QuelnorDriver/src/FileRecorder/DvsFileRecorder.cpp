#include "QuelnorDriver/FileRecorder/DvsFileRecorder.h"

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <system_error>

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

// Room for the pieces of one block of whole raw buffers, so handing one over seldom reallocates.
constexpr size_t BLOCK_PIECES = 32;

bool writeAll(std::ofstream& out, const std::vector<uint8_t>& bytes) {
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return out.good();
}

// A buffer worth holding instead of copying: large, and not mostly empty room the hold would keep.
bool worthHolding(const std::vector<uint8_t>& buffer) {
    return buffer.size() >= DvsFileRecorder::REFERENCE_MIN_BYTES && buffer.size() * 2 >= buffer.capacity();
}

// The errno of the failed stream operation, or EIO when the stream set none.
int lastError() { return errno != 0 ? errno : EIO; }

// Cuts a file back to the bytes known to be whole, so a failed write leaves no cut-off block.
void cutBack(const std::string& path, uint64_t size) {
    std::error_code error;
    if (fs::exists(path, error) && fs::file_size(path, error) > size) {
        fs::resize_file(path, size, error);
        if (error) {
            QN_ERROR("Failed to cut back recording file %s: %s", path.c_str(), error.message().c_str());
        }
    }
}

} // namespace

DvsFileRecorder::DvsFileRecorder() {
    // Made at full size, so their memory is touched here and not on the camera thread's first pass.
    bufferPool = std::make_unique<ObjectPool<std::vector<uint8_t>>>(POOL_BLOCKS, false, BLOCK_SIZE + BLOCK_HEADROOM);
    currentBlock.pieces.reserve(BLOCK_PIECES);
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

bool DvsFileRecorder::isHealthy() const { return !failed; }

void DvsFileRecorder::reportFailure(const char* action, const std::string& path, int error) {
    if (!failed.exchange(true)) {
        QN_ERROR("Failed to %s %s: %s; the recording stops there", action, path.c_str(),
                 std::error_code(error, std::generic_category()).message().c_str());
    }
}

DvsFileRecorder::Piece DvsFileRecorder::takeBlock() {
    Piece block = bufferPool->acquire();
    block->clear();
    block->reserve(BLOCK_SIZE + BLOCK_HEADROOM);
    return block;
}

void DvsFileRecorder::keepSpareBlocks() {
    // Blocks made while a backlog waited go back to the system once it is written.
    bufferPool->trim(POOL_BLOCKS);
    if (bufferPool->size() >= SPARE_BLOCKS) {
        return;
    }
    std::vector<Piece> spare;
    while (spare.size() < SPARE_BLOCKS) {
        Piece block = bufferPool->acquire();
        if (block->capacity() < BLOCK_SIZE + BLOCK_HEADROOM) {
            block->resize(BLOCK_SIZE + BLOCK_HEADROOM);  // touches every page
        }
        block->clear();
        spare.push_back(std::move(block));
    }
    // Dropping them hands them back to the pool.
}

void DvsFileRecorder::handOverLocked() {
    if (currentBlock.bytes == 0) {
        return;
    }
    bool warn = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (sink == Sink::Cache) {
            warn = dropOldestLocked(currentBlock.bytes);
        }
        queuedBytes += currentBlock.bytes;
        blockQueue.push_back(std::move(currentBlock));
    }
    condition.notify_one();
    currentBlock = Block{};
    currentBlock.pieces.reserve(BLOCK_PIECES);
    if (warn) {
        QN_WARN("Recorder cache falls behind the stream: %llu blocks (%llu bytes) dropped so far",
                static_cast<unsigned long long>(droppedBlocks.load()),
                static_cast<unsigned long long>(droppedBytes.load()));
    }
}

bool DvsFileRecorder::dropOldestLocked(uint64_t bytes) {
    bool warn = false;
    while (!blockQueue.empty() && queuedBytes + bytes > cacheQueueLimit) {
        const uint64_t size = blockQueue.front().bytes;
        queuedBytes -= size;
        blockQueue.pop_front();
        gapBeforeQueue = true;
        droppedBlocks.fetch_add(1);
        droppedBytes.fetch_add(size);
        const auto now = std::chrono::steady_clock::now();
        if (lastDropWarning == std::chrono::steady_clock::time_point{} ||
            now - lastDropWarning >= std::chrono::milliseconds(DROP_WARN_PERIOD_MS)) {
            lastDropWarning = now;
            warn = true;
        }
    }
    return warn;
}

void DvsFileRecorder::setCacheQueueLimitBytes(uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    cacheQueueLimit = bytes;
}

uint64_t DvsFileRecorder::getDroppedBlocks() const { return droppedBlocks.load(); }

uint64_t DvsFileRecorder::getDroppedBytes() const { return droppedBytes.load(); }

uint64_t DvsFileRecorder::getQueuedBytes() const {
    std::lock_guard<std::mutex> lock(mutex);
    return queuedBytes;
}

void DvsFileRecorder::resetBuffers() {
    std::lock_guard<std::mutex> block(blockMutex);
    currentBlock = Block{};
    currentBlock.pieces.reserve(BLOCK_PIECES);
    std::lock_guard<std::mutex> lock(mutex);
    blockQueue.clear();
    queuedBytes = 0;
    gapBeforeQueue = false;
}

void DvsFileRecorder::writeData(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(blockMutex);
    if (sink == Sink::None) {
        return;  // after a stop: these bytes belong to no recording
    }
    copyLocked(bytes);
}

void DvsFileRecorder::writeData(const RawBuffer& buffer) {
    if (!buffer || buffer->empty()) {
        return;
    }
    std::lock_guard<std::mutex> lock(blockMutex);
    if (sink == Sink::None) {
        return;  // after a stop: these bytes belong to no recording
    }
    if (currentBlock.copyOpen || !worthHolding(*buffer)) {
        copyLocked(*buffer);
        return;
    }
    // Held, not copied: the block keeps at most one copied piece, at its end.
    currentBlock.pieces.push_back(buffer);
    currentBlock.bytes += buffer->size();
    handOverIfFullLocked();
}

void DvsFileRecorder::copyLocked(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) {
        return;
    }
    if (!currentBlock.copyOpen) {
        currentBlock.pieces.push_back(takeBlock());
        currentBlock.copyOpen = true;
    }
    std::vector<uint8_t>& copy = *currentBlock.pieces.back();
    copy.insert(copy.end(), bytes.begin(), bytes.end());
    currentBlock.bytes += bytes.size();
    handOverIfFullLocked();
}

void DvsFileRecorder::handOverIfFullLocked() {
    if (currentBlock.bytes > BLOCK_SIZE) {
        handOverLocked();
    }
}

bool DvsFileRecorder::writeBlock(std::ofstream& out, const Block& block) {
    for (const Piece& piece : block.pieces) {
        if (!writeAll(out, *piece)) {
            return false;
        }
    }
    return static_cast<bool>(out.flush());
}

std::deque<DvsFileRecorder::Block> DvsFileRecorder::waitForBlocks(bool& stop, bool& gapBefore) {
    std::deque<Block> blocks;
    std::unique_lock<std::mutex> lock(mutex);
    condition.wait(lock, [this] { return !blockQueue.empty() || stopLoop; });
    stop = stopLoop;
    gapBefore = gapBeforeQueue && !blockQueue.empty();
    gapBeforeQueue = gapBeforeQueue && blockQueue.empty();
    blocks.swap(blockQueue);
    queuedBytes = 0;
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
    failed = false;
    if (cacheMode) {
        // The cache thread goes on writing segments and now keeps every one of them.
        recording = true;
        return true;
    }
    resetBuffers();
    recording = true;
    QN_INFO("Start recording file ts: %llu", static_cast<unsigned long long>(info.dvsStartTimestamp));
    const std::string header = generateDvsFileHeader(info);
    errno = 0;
    outputStream.write(header.data(), static_cast<std::streamsize>(header.size()));
    if (outputStream.flush()) {
        goodBytes = header.size();
    } else {
        goodBytes = 0;
        reportFailure("write", outputPath, lastError());
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopLoop = false;
    }
    if (writerThread.joinable()) {
        writerThread.join();
    }
    writerThread = std::thread(&DvsFileRecorder::recordLoop, this);
    std::lock_guard<std::mutex> block(blockMutex);
    sink = failed ? Sink::None : Sink::Direct;
    return true;
}

void DvsFileRecorder::recordLoop() {
    for (;;) {
        bool stop = false;
        bool gap = false; // direct mode drops nothing
        std::deque<Block> blocks = waitForBlocks(stop, gap);
        // The lock is not held here: writeData hands blocks over while this one is on its way to disk.
        for (const Block& block : blocks) {
            if (failed) {
                break; // the recording ended at its failure
            }
            errno = 0;
            if (writeBlock(outputStream, block)) {
                goodBytes += block.bytes;
                continue;
            }
            reportFailure("write", outputPath, lastError());
            // The camera thread's bytes go nowhere from now on.
            std::lock_guard<std::mutex> lock(blockMutex);
            sink = Sink::None;
            currentBlock = Block{};
        }
        const bool drained = blocks.empty();
        blocks.clear();
        keepSpareBlocks();
        if (stop && drained) {
            break;
        }
    }
    errno = 0;
    const bool wasFailed = failed;
    outputStream.close();
    if (!wasFailed && outputStream.fail()) {
        reportFailure("close", outputPath, lastError());
    }
    if (failed) {
        cutBack(outputPath, goodBytes);
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
        return !failed;
    }
    stopCacheThread();
    joinAppendThread();
    // Read before the append starts: its own failure comes later and shows in isHealthy.
    const bool segmentsWhole = !failed;
    appending = true;
    appendThread = std::thread(&DvsFileRecorder::appendCacheFiles, this);
    return segmentsWhole;
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
        bool gap = false;
        std::deque<Block> blocks = waitForBlocks(stop, gap);
        if (gap) {
            cacheGap();
        }
        for (const Block& block : blocks) {
            if (failed && !(!recording && cacheLoopRunning)) {
                continue; // the recording ended at its failure; its later blocks go nowhere
            }
            uint64_t now = 0;
            if (!segmentOpen) {
                segmentIndex = 0;
                const std::string path = openSegment();
                now = segmentStart;
                QN_INFO("Start save cache file: %s", path.c_str());
            } else {
                now = eventTime();
            }
            // Only a ring that nothing records may drop and reuse its oldest segment; a recording, and
            // the blocks drained after its stop, keep every segment under names of their own.
            if (!writeSegmentBlock(block, !recording && cacheLoopRunning)) {
                continue;
            }
            if (now - segmentStart < SEGMENT_DURATION_US) {
                continue;
            }
            segmentStream.close();
            ringFailureLogged = false; // a whole segment again: the next failure is news
            ++segmentIndex;
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

void DvsFileRecorder::cacheGap() {
    if (!recording && cacheLoopRunning) {
        // What the ring held before the gap is no pre-roll for a later recording.
        if (segmentStream.is_open()) {
            segmentStream.close();
        }
        segmentOpen = false;
        deleteCacheFiles();
        return;
    }
    if (!failed.exchange(true)) {
        QN_ERROR("Recording %s lost blocks: the cache disk is slower than the stream; the recording stops there",
                 outputPath.c_str());
    }
}

bool DvsFileRecorder::writeSegmentBlock(const Block& block, bool ring) {
    // Flushed per block, so what the list counts as written is on disk and a close has nothing left.
    if (segmentStream.is_open() && (errno = 0, writeBlock(segmentStream, block))) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!cacheFiles.empty()) {
            cacheFiles.back().validBytes += block.bytes;
        }
        return true;
    }
    const int error = lastError();
    segmentStream.close();
    segmentOpen = false;
    std::string path;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!cacheFiles.empty()) {
            path = cacheFiles.back().path;
            cacheFiles.back().broken = !ring;
        }
    }
    if (!ring) {
        reportFailure("write", path, error);
        return false;
    }
    if (!ringFailureLogged) {
        QN_ERROR("Failed to write cache file %s: %s", path.c_str(),
                 std::error_code(error, std::generic_category()).message().c_str());
        ringFailureLogged = true;
    }
    // What the ring held before the gap is no pre-roll for a later recording.
    deleteCacheFiles();
    return false;
}

bool DvsFileRecorder::copySegments(const std::deque<CacheFile>& files, uint64_t& whole) {
    DvsFileInfo info;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        info = fileInfo;
    }
    if (files.front().timed) {
        info.dvsStartTimestamp = files.front().startTimestamp;
    }
    const std::string header = generateDvsFileHeader(info);
    errno = 0;
    outputStream.write(header.data(), static_cast<std::streamsize>(header.size()));
    whole = 0;
    if (!outputStream.flush()) {
        reportFailure("write", outputPath, lastError());
        return false;
    }
    whole = header.size();
    std::vector<char> chunk(COPY_CHUNK_SIZE);
    for (const CacheFile& file : files) {
        // Cleared before the open, so a segment that is gone is reported as such.
        errno = 0;
        std::ifstream in(file.path, std::ios::binary);
        uint64_t left = file.validBytes;
        while (in.is_open() && left > 0) {
            in.read(chunk.data(), static_cast<std::streamsize>(std::min<uint64_t>(chunk.size(), left)));
            const std::streamsize got = in.gcount();
            if (got <= 0) {
                break;
            }
            left -= static_cast<uint64_t>(got);
            errno = 0;
            if (!outputStream.write(chunk.data(), got) || !outputStream.flush()) {
                reportFailure("write", outputPath, lastError());
                return false;
            }
        }
        if (left > 0) {
            // A segment shorter than what was written to it would leave a hole: the file ends before it.
            reportFailure("read", file.path, lastError());
            return false;
        }
        QN_INFO("app file: %s", file.path.c_str());
        if (file.broken) {
            return true; // the recording ended in this segment
        }
        whole += file.validBytes;
    }
    return true;
}

void DvsFileRecorder::appendCacheFiles() {
    std::deque<CacheFile> files;
    {
        std::lock_guard<std::mutex> lock(mutex);
        files.swap(cacheFiles);
    }
    // Without a recording since the last append the output is not open: the segments go nowhere.
    if (outputStream.is_open()) {
        uint64_t whole = 0;
        const bool copied = files.empty() || copySegments(files, whole);
        errno = 0;
        outputStream.close();
        if (copied && outputStream.fail()) {
            reportFailure("close", outputPath, lastError());
        } else if (!copied) {
            cutBack(outputPath, whole);
        }
    }
    for (const CacheFile& file : files) {
        std::error_code error;
        if (!fs::remove(file.path, error)) {
            QN_ERROR("Error deleting file: %s", file.path.c_str());
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
