#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// FFmpeg objects are held by pointer only, so applications need no FFmpeg headers.
struct AVFormatContext;
struct AVCodecContext;
struct AVStream;
struct AVCodec;
struct SwsContext;
struct AVFrame;
struct AVPacket;

namespace quelnor {

// Converts camera pictures between pixel formats and sizes, encodes picture sequences as H.264 into MP4
// files and single pictures as JPEG files. Not thread-safe: drive one converter from one thread.
//
// Video: setConverterFrameSize, setConverterFmt, initVideoConverter, setOutputFile, then nv12ToVideo or
// rgbToVideo per picture, then flushAndCloseVideo; setOutputFile may then start the next file.
// Display conversion only: the two setters, then nv12ToRGB per picture.
//
// Picture layouts: NV12 is source width x source height luma bytes (row stride = source width) followed
// by the interleaved chroma plane with the same stride; BGR is source height rows of source width x 3 bytes.
// Every call refuses a buffer smaller than its layout needs.
class DataToVideoConverter {
public:
    // FFmpeg's pixel format numbers, for callers that do not include FFmpeg.
    static constexpr int PIX_FMT_NONE = -1;
    static constexpr int PIX_FMT_YUV420P = 0;
    static constexpr int PIX_FMT_RGB24 = 2;
    static constexpr int PIX_FMT_BGR24 = 3;
    static constexpr int PIX_FMT_YUVJ420P = 12;
    static constexpr int PIX_FMT_NV12 = 23;

    // Time step of automatic frame times, in microseconds.
    static constexpr int64_t AUTO_FRAME_STEP = 33333;

    DataToVideoConverter();
    ~DataToVideoConverter();
    DataToVideoConverter(const DataToVideoConverter&) = delete;
    DataToVideoConverter& operator=(const DataToVideoConverter&) = delete;

    // Heights first.
    void setConverterFrameSize(int srcHeight, int srcWidth, int dstHeight, int dstWidth);
    void setConverterFmt(int srcFmt, int dstFmt);

    int initVideoConverter();
    // Always an MP4 container, whatever the extension. A file still open is finished first.
    int setOutputFile(const std::string& path);

    // pts in microseconds; -1 takes the next automatic time (the previous time plus AUTO_FRAME_STEP).
    int nv12ToVideo(const uint8_t* picture, size_t size, int64_t pts);
    int nv12ToVideo(const std::vector<uint8_t>& picture, int64_t pts);
    int rgbToVideo(const uint8_t* picture, size_t size, int64_t pts);
    int rgbToVideo(const std::vector<uint8_t>& picture, int64_t pts);
    int flushAndCloseVideo();

    // Output: target height rows of target width x 3 bytes (target format BGR24 or RGB24).
    int nv12ToRGB(const uint8_t* picture, size_t size, uint8_t* output, size_t outputSize);
    int nv12ToRGB(const std::vector<uint8_t>& picture, std::vector<uint8_t>& output);

    int setJpegOutputPath(const std::string& directory);
    // Writes <directory>/<index>.jpg at the target size.
    int rgbToJpeg(const uint8_t* picture, size_t size, int64_t index);
    int rgbToJpeg(const std::vector<uint8_t>& picture, int64_t index);

    // Bytes an NV12 or BGR source picture of the configured source size needs.
    size_t nv12PictureSize() const;
    size_t bgrPictureSize() const;

private:
    bool rebuildSwsContext();
    bool validateSwsScaleResult(int rows, const char* name);
    const AVCodec* find_preferred_h264_encoder();
    int openVideoCodecContext();
    int configureVideoCodecContext();
    int receiveAndWriteVideoPackets();
    int encodePicture(const uint8_t* const planes[], const int strides[], int64_t pts, const char* name);
    int drainEncoder(const char* receiveError, const char* writeError, bool stopOnWriteError);
    int finishOutput();
    void releaseOutput();
    bool ensureJpegScaler();

    AVFormatContext* m_formatCtx = nullptr;
    AVCodecContext* m_codecCtx = nullptr;
    AVStream* m_stream = nullptr;
    const AVCodec* m_encoder = nullptr;
    SwsContext* m_swsCtx = nullptr;
    int m_srcFmt = PIX_FMT_NONE;
    int m_dstFmt = PIX_FMT_NONE;
    int m_dstWidth = 3840;
    int m_dstHeight = 2160;
    int m_srcWidth = 3840;
    int m_srcHeight = 2160;
    int m_frameRate = 30;
    int m_timeBaseNum = 1;
    int m_timeBaseDen = 1000000;
    int64_t m_nextPts = 0;
    AVFrame* m_dstFrame = nullptr;
    AVPacket* m_packet = nullptr;
    const AVCodec* m_jpegEncoder = nullptr;
    AVCodecContext* m_jpegCtx = nullptr;
    std::string m_jpegDir;
    // The JPEG encoder takes full-range pictures: it gets its own scaler and picture.
    SwsContext* m_jpegSwsCtx = nullptr;
    AVFrame* m_jpegFrame = nullptr;
};

} // namespace quelnor
