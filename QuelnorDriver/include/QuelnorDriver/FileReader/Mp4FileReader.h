#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "QuelnorDriver/FileReader/ApsFileReader.h"

// FFmpeg objects are held by pointer only, so applications need no FFmpeg headers.
struct AVFormatContext;
struct AVStream;
struct AVCodec;
struct AVCodecContext;
struct SwsContext;
struct AVPacket;
struct AVFrame;

namespace quelnor {

// Reads the video stream of an MP4 file (the last video stream when there are several) as BGR frames.
// Frame times are the pictures' presentation times in microseconds, rescaled exactly from the stream's
// time base; pictures without a time, or before time 0, are left out everywhere.
//
// A returned frame borrows the reader's one picture buffer: the next read overwrites its pixels, and it
// must not be used after the reader is destroyed. Keep a clone() of frames that must last.
class Mp4FileReader : public ApsFileReader {
public:
    explicit Mp4FileReader(const std::string& path);
    ~Mp4FileReader() override;
    Mp4FileReader(const Mp4FileReader&) = delete;
    Mp4FileReader& operator=(const Mp4FileReader&) = delete;

    bool loadFile() override;
    bool seekTime(uint64_t timestamp) override;
    bool getTimeStamps(std::vector<uint64_t>& timestamps) override;
    bool getNextFrame(ApsFrame& frame) override;
    bool getNFrame(int index, ApsFrame& frame) override;
    bool getFrameGivenTimeStamp(uint64_t timestamp, ApsFrame& frame) override;

private:
    void release();
    bool listFrameTimes();
    // 1 with a picture and its time, 0 at the end of the stream, < 0 on a decoder failure.
    int decodeNextPicture(AVFrame* picture, uint64_t& time);
    bool pictureTime(const AVFrame* picture, uint64_t& time) const;
    int64_t toStreamTime(uint64_t microseconds) const;
    bool seekStream(uint64_t microseconds);
    bool rewind();
    void resetDecoding();
    bool positionAt(size_t index);
    bool readFrameAt(size_t index, ApsFrame& frame);
    bool convertPicture(const AVFrame* picture, uint64_t time, ApsFrame& frame);

    std::string m_path;
    std::vector<uint64_t> m_timestamps;
    AVFormatContext* m_formatCtx = nullptr;
    int m_videoStreamIndex = -1;
    AVStream* m_videoStream = nullptr;
    const AVCodec* m_decoder = nullptr;
    AVCodecContext* m_decoderCtx = nullptr;
    SwsContext* m_swsCtx = nullptr;
    uint8_t* m_bgrBuffer = nullptr;
    size_t m_bgrBufferSize = 0;
    AVPacket* m_packet = nullptr;
    AVFrame* m_decodedFrame = nullptr;
    // The BGR picture laid over m_bgrBuffer.
    uint8_t* m_bgrData[4] = {};
    int m_bgrLinesize[4] = {};

    bool m_decoderOpen = false;
    // The demuxer is exhausted and the decoder has been told to give out the pictures it still holds.
    bool m_inputEnded = false;
    // m_decodedFrame holds the picture a seek positioned at; the next getNextFrame hands it out.
    bool m_pending = false;
    uint64_t m_pendingTime = 0;
    // What the scaler was built for: decoded pictures may differ from the stream's header.
    int m_scalerWidth = 0;
    int m_scalerHeight = 0;
    int m_scalerFormat = -1;
};

} // namespace quelnor
