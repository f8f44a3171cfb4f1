#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QuelnorBase/DvsFileInfo.h"
#include "QuelnorBase/ObjectPool.h"
#include "QuelnorHal/EventStream/RawBuffer.h"

namespace quelnor {

// Writes the raw byte stream of an event camera into a raw event file: the text header, then every
// byte handed to writeData between startRecording and stopRecording, unchanged.
//
// Direct mode: a writer thread appends blocks of about 1 MiB to the file from the start on.
// Cache mode (setFileCacheTime with seconds > 0): a cache thread keeps writing the stream into
// one-second segment files "<dir>/<serial>_<n>quelnor.raw.tmp", holding a ring of the last N while
// nothing is recorded. When a recording stops, an append thread writes the header and every cached
// segment, the pre-roll before the start included, into the file, deletes them and caching resumes.
//
// Threads: writeData and isRecording are called by the camera-loop thread; the other calls by
// application threads. writeData never waits for the disk: it adds the bytes to the current block
// (a well-filled raw buffer by reference, anything else by copy) and, once per block, queues it.
// Every writeData call that returned before stopRecording lowered the recording state is written;
// bytes handed over after that are dropped.
//
// Failures: the first write or close that fails in a recording (the file itself, or in cache mode
// one of its segments) is logged at error level with the file and the cause, and that recording
// ends there: later bytes are dropped, and the file keeps only the whole blocks written before the
// failure (a cut-off block is cut away, a short segment ends the file), so it still reads back.
// stopRecording then returns false and isHealthy false until the next startRecording. In cache
// mode the copy into the file runs after stopRecording has returned; its own failure shows in
// isHealthy and the log only.
class DvsFileRecorder {
public:
    using TimestampCallback = std::function<uint64_t()>;

    static constexpr size_t BLOCK_SIZE = 1048576;
    static constexpr size_t POOL_BLOCKS = 10;
    static constexpr uint64_t SEGMENT_DURATION_US = 1000000;
    static constexpr const char* SEGMENT_SUFFIX = "quelnor.raw.tmp";
    // Bytes of full blocks that may wait for the cache thread; beyond it the oldest are dropped.
    static constexpr uint64_t DEFAULT_CACHE_QUEUE_LIMIT_BYTES = 64ull * 1024 * 1024;
    static constexpr int DROP_WARN_PERIOD_MS = 1000;
    // Raw buffers from this size on (and at least half full) are held instead of copied.
    static constexpr size_t REFERENCE_MIN_BYTES = 65536;

    DvsFileRecorder();
    ~DvsFileRecorder();
    DvsFileRecorder(const DvsFileRecorder&) = delete;
    DvsFileRecorder& operator=(const DvsFileRecorder&) = delete;

    // The current event time in microseconds. Called on the cache thread; without one, segments
    // are timed by the steady clock and headers take the file info's start time.
    void setTimestampCallback(TimestampCallback callback);
    // Header defaults and the serial number that names the segment files.
    void setFileInfo(const DvsFileInfo& info);
    // A recording runs or the cache is being filled.
    bool isRecording() const;
    // seconds > 0 starts the cache ring of that many seconds in `directory`, 0 stops it. Refused
    // (false) while a recording runs.
    bool setFileCacheTime(uint16_t seconds, const std::string& directory);
    // False while a recording runs or an append is in progress, and when the file cannot be opened.
    bool startRecording(const std::string& path, DvsFileInfo info);
    // Copies the bytes into the current block.
    void writeData(const std::vector<uint8_t>& bytes);
    // The camera loop's form. A buffer of at least REFERENCE_MIN_BYTES that fills at least half its
    // capacity is not copied: the block holds the buffer itself until it is written (its pool makes up
    // for it meanwhile), so its bytes must not change after the call; the decoder only reads them. A
    // smaller one, or one after bytes were copied into the block, is copied. The file is the same
    // either way. Costs a lock and, without the copy, a shared-pointer copy.
    void writeData(const RawBuffer& buffer);
    // False while an append is in progress, and when the recording met a failed write or close.
    // Without a recording it does nothing.
    bool stopRecording();
    // False once the running (or the last) recording met a failed write or close. Any thread; one
    // atomic read.
    bool isHealthy() const;
    // Cache mode with a disk slower than the stream: what waits for the cache thread is bounded by
    // this many bytes; at the limit the oldest whole blocks are dropped, counted and warned about at
    // most once a second. A ring drops what it held before the gap; a recording ends there as after a
    // failed write. Held raw buffers count by their bytes (they are at least half full, so their memory
    // is under twice that). Set while no recording runs; any thread.
    void setCacheQueueLimitBytes(uint64_t bytes);
    // Blocks (and bytes) dropped so far at the cache-queue limit. Any thread; one atomic read each.
    uint64_t getDroppedBlocks() const;
    uint64_t getDroppedBytes() const;
    // Bytes of full blocks waiting for the writer or the cache thread now. Any thread; takes a lock.
    uint64_t getQueuedBytes() const;

private:
    using Piece = std::shared_ptr<std::vector<uint8_t>>;

    // A block: raw buffers held by reference and at most one pooled copy block at its end, written in
    // order; `bytes` is their total.
    struct Block {
        std::vector<Piece> pieces;
        uint64_t bytes = 0;
        bool copyOpen = false; // pieces.back() is the pooled block that copies go into
    };

    struct CacheFile {
        std::string path;
        uint64_t startTimestamp = 0; // event time at which the segment was opened
        bool timed = false;          // startTimestamp came from the timestamp callback
        uint64_t validBytes = 0;     // bytes written in whole blocks
        bool broken = false;         // a write or close failed: only validBytes count, and it ends the file
    };

    // Where writeData's bytes go.
    enum class Sink { None, Direct, Cache };

    void recordLoop();
    void cacheLoop();
    void appendCacheFiles();
    void deleteCacheFiles();
    void resetBuffers();
    // Queues the current block when it holds bytes; the caller holds blockMutex.
    void handOverLocked();
    // Copies into the current block and hands it over once full; the caller holds blockMutex.
    void copyLocked(const std::vector<uint8_t>& bytes);
    void handOverIfFullLocked();
    // An emptied pooled block for copies.
    Piece takeBlock();
    // Run by the writing threads: trims the pool back to POOL_BLOCKS free blocks after a backlog and
    // tops it up with blocks whose memory is already touched.
    void keepSpareBlocks();
    // Takes everything queued, waiting until there is some or the loop is told to stop.
    // gapBefore: blocks were dropped right before the first one returned.
    std::deque<Block> waitForBlocks(bool& stop, bool& gapBefore);
    // Makes room in the cache queue for `bytes`; the caller holds `mutex`. True when a warning is due.
    bool dropOldestLocked(uint64_t bytes);
    // A gap in the cache's stream: the ring forgets what it held, a recording ends.
    void cacheGap();
    uint64_t eventTime();
    std::string segmentPath(uint32_t index);
    void startCacheThread();
    void stopCacheThread();
    void joinAppendThread();
    // Marks the running recording failed; only the first failure is logged.
    void reportFailure(const char* action, const std::string& path, int error);
    // Writes one block's pieces, then flushes.
    static bool writeBlock(std::ofstream& out, const Block& block);
    // Writes one block to the open segment; false (the segment closed and dealt with) on a failure.
    bool writeSegmentBlock(const Block& block, bool ring);
    // Writes the header and the listed segments into the output file; false on a failure, with
    // `whole` the output's length after the last segment (or the header) copied whole.
    bool copySegments(const std::deque<CacheFile>& files, uint64_t& whole);

    std::string outputPath;
    std::ofstream outputStream;
    std::atomic<bool> recording{false};
    std::unique_ptr<ObjectPool<std::vector<uint8_t>>> bufferPool;
    Block currentBlock;
    bool cacheMode = false;
    // Serialises the application calls.
    std::mutex controlMutex;
    // Guards the current block and where writeData's bytes go.
    std::mutex blockMutex;
    Sink sink = Sink::None;
    // Guards the block queue, the stop request of the loops, the cache file list and directory.
    mutable std::mutex mutex;
    std::condition_variable condition;
    std::deque<Block> blockQueue;
    uint64_t queuedBytes = 0;
    uint64_t cacheQueueLimit = DEFAULT_CACHE_QUEUE_LIMIT_BYTES;
    bool gapBeforeQueue = false; // blocks were dropped right before the queue's front
    std::chrono::steady_clock::time_point lastDropWarning{};
    std::atomic<uint64_t> droppedBlocks{0};
    std::atomic<uint64_t> droppedBytes{0};
    bool stopLoop = false;
    std::atomic<bool> cacheLoopRunning{false};
    std::atomic<bool> appending{false};
    // The running (or last) recording met a failure.
    std::atomic<bool> failed{false};
    uint32_t cacheSeconds = 0;
    std::string cacheDirectory;
    std::deque<CacheFile> cacheFiles;
    // Segment state: the cache thread's alone while it runs.
    bool segmentOpen = false;
    uint64_t segmentStart = 0;
    uint32_t segmentIndex = 0;
    std::ofstream segmentStream;
    // A failure of the ring (no recording) was logged and no segment has been completed since.
    bool ringFailureLogged = false;
    // Bytes of the output file known to be written, for cutting it back after a failure (writer thread).
    uint64_t goodBytes = 0;
    std::thread writerThread;
    std::thread cacheThread;
    std::thread appendThread;
    // Guards the file info and the timestamp callback, which application threads set while the
    // cache thread reads them.
    mutable std::mutex settingsMutex;
    DvsFileInfo fileInfo;
    TimestampCallback timestampCallback;
};

} // namespace quelnor
