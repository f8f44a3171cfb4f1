#include "QuelnorDriver/tools/DataToVideoConverter.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "QuelnorBase/Logger.h"
#include "QuelnorBase/Utils/FuncUtils.h"

namespace quelnor {

static_assert(DataToVideoConverter::PIX_FMT_YUV420P == AV_PIX_FMT_YUV420P);
static_assert(DataToVideoConverter::PIX_FMT_RGB24 == AV_PIX_FMT_RGB24);
static_assert(DataToVideoConverter::PIX_FMT_BGR24 == AV_PIX_FMT_BGR24);
static_assert(DataToVideoConverter::PIX_FMT_YUVJ420P == AV_PIX_FMT_YUVJ420P);
static_assert(DataToVideoConverter::PIX_FMT_NV12 == AV_PIX_FMT_NV12);

namespace {

constexpr const char* PREFERRED_H264_ENCODERS[] = {"libx264", "h264_mf"};
constexpr int64_t VIDEO_BIT_RATE = 60000000;
constexpr int FRAME_ALIGN = 32;

size_t nv12Bytes(int width, int height) {
    if (width <= 0 || height <= 0) {
        return 0;
    }
    const size_t w = static_cast<size_t>(width);
    const size_t chromaRows = (static_cast<size_t>(height) + 1) / 2;
    // An odd width still reads a whole U/V pair at the end of the last chroma row.
    return w * static_cast<size_t>(height) + w * (chromaRows - 1) + 2 * ((w + 1) / 2);
}

size_t bgrBytes(int width, int height) {
    if (width <= 0 || height <= 0) {
        return 0;
    }
    return static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
}

} // namespace

DataToVideoConverter::DataToVideoConverter() = default;

DataToVideoConverter::~DataToVideoConverter() {
    // A file still open is finished, so it stays readable.
    if (m_formatCtx != nullptr) {
        finishOutput();
    }
    releaseOutput();
    av_frame_free(&m_dstFrame);
    av_frame_free(&m_jpegFrame);
    avcodec_free_context(&m_codecCtx);
    avcodec_free_context(&m_jpegCtx);
    av_packet_free(&m_packet);
    sws_freeContext(m_swsCtx);
    sws_freeContext(m_jpegSwsCtx);
}

void DataToVideoConverter::setConverterFrameSize(int srcHeight, int srcWidth, int dstHeight, int dstWidth) {
    m_srcHeight = srcHeight;
    m_srcWidth = srcWidth;
    m_dstHeight = dstHeight;
    m_dstWidth = dstWidth;
    sws_freeContext(m_jpegSwsCtx);
    m_jpegSwsCtx = nullptr;
    rebuildSwsContext();
}

void DataToVideoConverter::setConverterFmt(int srcFmt, int dstFmt) {
    m_srcFmt = srcFmt;
    m_dstFmt = dstFmt;
    rebuildSwsContext();
}

size_t DataToVideoConverter::nv12PictureSize() const { return nv12Bytes(m_srcWidth, m_srcHeight); }

size_t DataToVideoConverter::bgrPictureSize() const { return bgrBytes(m_srcWidth, m_srcHeight); }

bool DataToVideoConverter::rebuildSwsContext() {
    sws_freeContext(m_swsCtx);
    m_swsCtx = nullptr;
    if (m_srcFmt == PIX_FMT_NONE || m_dstFmt == PIX_FMT_NONE) {
        return false;
    }
    if (m_srcWidth <= 0 || m_srcHeight <= 0 || m_dstWidth <= 0 || m_dstHeight <= 0) {
        QN_ERROR("Invalid converter dimensions: %dx%d -> %dx%d", m_srcWidth, m_srcHeight, m_dstWidth, m_dstHeight);
        return false;
    }
    m_swsCtx = sws_getContext(m_srcWidth, m_srcHeight, static_cast<AVPixelFormat>(m_srcFmt), m_dstWidth, m_dstHeight,
                              static_cast<AVPixelFormat>(m_dstFmt), SWS_POINT, nullptr, nullptr, nullptr);
    if (m_swsCtx == nullptr) {
        QN_ERROR("Could not create image conversion context: %dx%d fmt %d -> %dx%d fmt %d", m_srcWidth, m_srcHeight,
                 m_srcFmt, m_dstWidth, m_dstHeight, m_dstFmt);
        return false;
    }
    return true;
}

bool DataToVideoConverter::validateSwsScaleResult(int rows, const char* name) {
    if (rows != m_dstHeight) {
        QN_ERROR("%s produced %d of %d output rows", name, rows, m_dstHeight);
        return false;
    }
    return true;
}

const AVCodec* DataToVideoConverter::find_preferred_h264_encoder() {
    for (const char* name : PREFERRED_H264_ENCODERS) {
        void* it = nullptr;
        while (const AVCodec* codec = av_codec_iterate(&it)) {
            if (av_codec_is_encoder(codec) && codec->id == AV_CODEC_ID_H264 && std::strcmp(codec->name, name) == 0) {
                return codec;
            }
        }
    }
    void* it = nullptr;
    while (const AVCodec* codec = av_codec_iterate(&it)) {
        if (av_codec_is_encoder(codec) && codec->id == AV_CODEC_ID_H264) {
            return codec;
        }
    }
    return nullptr;
}

int DataToVideoConverter::initVideoConverter() {
    if (m_swsCtx == nullptr || m_srcFmt == PIX_FMT_NONE || m_dstFmt == PIX_FMT_NONE) {
        QN_ERROR("Video converter format and frame size must be configured before initialization.");
        return -1;
    }
    m_encoder = find_preferred_h264_encoder();
    if (m_encoder == nullptr) {
        QN_ERROR("H.264 encoder not found.");
        return -1;
    }
    QN_INFO("Using encoder: %s", m_encoder->name);
    if (openVideoCodecContext() < 0) {
        QN_ERROR("Could not open codec.");
        return -1;
    }

    av_frame_free(&m_dstFrame);
    m_dstFrame = av_frame_alloc();
    if (m_dstFrame == nullptr) {
        QN_ERROR("Could not allocate destination frame.");
        return -1;
    }
    m_dstFrame->width = m_dstWidth;
    m_dstFrame->height = m_dstHeight;
    m_dstFrame->format = m_dstFmt;
    if (av_frame_get_buffer(m_dstFrame, FRAME_ALIGN) < 0) {
        QN_ERROR("Could not allocate the video frame data");
        av_frame_free(&m_dstFrame);
        return -1;
    }

    m_jpegEncoder = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (m_jpegEncoder == nullptr) {
        QN_ERROR("JPEG codec not found.");
        return -1;
    }
    avcodec_free_context(&m_jpegCtx);
    m_jpegCtx = avcodec_alloc_context3(m_jpegEncoder);
    if (m_jpegCtx == nullptr) {
        QN_ERROR("Could not allocate JPEG codec context.");
        return -1;
    }
    m_jpegCtx->pix_fmt = AV_PIX_FMT_YUVJ420P;
    m_jpegCtx->color_range = AVCOL_RANGE_JPEG;
    m_jpegCtx->width = m_dstWidth;
    m_jpegCtx->height = m_dstHeight;
    m_jpegCtx->time_base = AVRational{1, 25};
    if (avcodec_open2(m_jpegCtx, m_jpegEncoder, nullptr) < 0) {
        QN_ERROR("Could not open JPEG codec.");
        avcodec_free_context(&m_jpegCtx);
        return -1;
    }

    av_packet_free(&m_packet);
    m_packet = av_packet_alloc();
    if (m_packet == nullptr) {
        QN_ERROR("Could not allocate packet.");
        return -1;
    }
    return 0;
}

int DataToVideoConverter::openVideoCodecContext() {
    avcodec_free_context(&m_codecCtx);
    m_codecCtx = avcodec_alloc_context3(m_encoder);
    if (m_codecCtx == nullptr) {
        QN_ERROR("Could not allocate codec context.");
        return -1;
    }
    if (configureVideoCodecContext() < 0) {
        return -1;
    }
    if (avcodec_open2(m_codecCtx, m_encoder, nullptr) < 0) {
        QN_ERROR("Could not open codec.");
        avcodec_free_context(&m_codecCtx);
        return -1;
    }
    return 0;
}

int DataToVideoConverter::configureVideoCodecContext() {
    if (m_codecCtx == nullptr) {
        QN_ERROR("Codec context is not allocated.");
        return -1;
    }
    m_codecCtx->width = m_dstWidth;
    m_codecCtx->height = m_dstHeight;
    m_codecCtx->pix_fmt = static_cast<AVPixelFormat>(m_dstFmt);
    m_codecCtx->time_base = AVRational{m_timeBaseNum, m_timeBaseDen};
    m_codecCtx->framerate = AVRational{m_frameRate, 1};
    // Every picture a key frame, so any frame can be decoded on its own.
    m_codecCtx->keyint_min = 1;
    m_codecCtx->gop_size = 1;
    m_codecCtx->bit_rate = VIDEO_BIT_RATE;
    // The output is always MP4, which keeps the parameter sets in the stream header.
    m_codecCtx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    return 0;
}

void DataToVideoConverter::releaseOutput() {
    if (m_formatCtx != nullptr) {
        if (m_formatCtx->pb != nullptr && !(m_formatCtx->oformat->flags & AVFMT_NOFILE)) {
            avio_closep(&m_formatCtx->pb);
        }
        avformat_free_context(m_formatCtx);
        m_formatCtx = nullptr;
    }
    m_stream = nullptr;
}

int DataToVideoConverter::setOutputFile(const std::string& path) {
    std::string utf8Path;
    try {
        utf8Path = local8bitToUtf8(path);
    } catch (const std::exception& e) {
        QN_ERROR("Could not open output file: %s", path.c_str());
        return -1;
    }
    if (m_codecCtx == nullptr) {
        QN_ERROR("setOutputFile: codec_ctx_ not initialized. Please call initVideoConverter() first.");
        return -1;
    }
    // The previous file is finished rather than dropped: it gets its held frames and its trailer, and
    // none of its frames reach the new file.
    if (m_formatCtx != nullptr) {
        if (finishOutput() < 0 || openVideoCodecContext() < 0) {
            QN_ERROR("Could not open codec after flush.");
            return -1;
        }
    }

    auto fail = [this]() {
        releaseOutput();
        return -1;
    };
    if (avformat_alloc_output_context2(&m_formatCtx, nullptr, "mp4", utf8Path.c_str()) < 0 || m_formatCtx == nullptr) {
        QN_ERROR("Failed to allocate output format context.");
        return fail();
    }
    m_stream = avformat_new_stream(m_formatCtx, nullptr);
    if (m_stream == nullptr) {
        QN_ERROR("Failed to create new stream.");
        return fail();
    }
    if (avcodec_parameters_from_context(m_stream->codecpar, m_codecCtx) < 0) {
        QN_ERROR("Failed to copy codec parameters to stream.");
        return fail();
    }
    m_stream->time_base = m_codecCtx->time_base;
    if (avio_open(&m_formatCtx->pb, utf8Path.c_str(), AVIO_FLAG_WRITE) < 0) {
        QN_ERROR("Could not open output file: %s", path.c_str());
        return fail();
    }
    // The container's own clock would round a first frame time to milliseconds: give it microseconds.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movie_timescale", std::to_string(m_timeBaseDen / m_timeBaseNum).c_str(), 0);
    const int written = avformat_write_header(m_formatCtx, &options);
    av_dict_free(&options);
    if (written < 0) {
        QN_ERROR("Failed to write video header.");
        return fail();
    }
    QN_INFO("Output file set to: %s", path.c_str());
    return 0;
}

int DataToVideoConverter::encodePicture(const uint8_t* const planes[], const int strides[], int64_t pts,
                                        const char* name) {
    // The target picture was sized by initVideoConverter: a later size or format change would overrun it.
    if (m_dstFrame->width != m_dstWidth || m_dstFrame->height != m_dstHeight || m_dstFrame->format != m_dstFmt ||
        m_codecCtx->width != m_dstWidth || m_codecCtx->height != m_dstHeight) {
        QN_ERROR("%s: frame size or format changed after initVideoConverter().", name);
        return -1;
    }
    // The encoder may still hold a reference to the previous picture's buffers.
    if (av_frame_make_writable(m_dstFrame) < 0) {
        QN_ERROR("%s: could not make the target picture writable.", name);
        return -1;
    }
    const int rows = sws_scale(m_swsCtx, planes, strides, 0, m_srcHeight, m_dstFrame->data, m_dstFrame->linesize);
    if (!validateSwsScaleResult(rows, name)) {
        return -1;
    }
    if (pts == -1) {
        m_dstFrame->pts = m_nextPts;
        m_nextPts += AUTO_FRAME_STEP;
    } else {
        // The next automatic time follows this one instead of repeating it.
        m_dstFrame->pts = pts;
        m_nextPts = pts + AUTO_FRAME_STEP;
    }
    if (avcodec_send_frame(m_codecCtx, m_dstFrame) < 0) {
        QN_ERROR("Error sending a frame for encoding");
        return -1;
    }
    if (receiveAndWriteVideoPackets() < 0) {
        return -1;
    }
    return 0;
}

int DataToVideoConverter::nv12ToVideo(const uint8_t* picture, size_t size, int64_t pts) {
    if (picture == nullptr || m_codecCtx == nullptr || m_dstFrame == nullptr || m_swsCtx == nullptr ||
        m_formatCtx == nullptr || m_stream == nullptr || m_packet == nullptr) {
        QN_ERROR("nv12ToVideo: Converter is not fully initialized.");
        return -1;
    }
    if (m_srcFmt != AV_PIX_FMT_NV12) {
        QN_ERROR("Sws scale fmt is not AV_PIX_FMT_NV12");
        return -1;
    }
    if (size < nv12PictureSize()) {
        QN_ERROR("nv12ToVideo: picture of %zu bytes is smaller than %zu bytes.", size, nv12PictureSize());
        return -1;
    }
    const uint8_t* planes[4] = {picture, picture + static_cast<size_t>(m_srcWidth) * m_srcHeight, nullptr, nullptr};
    const int strides[4] = {m_srcWidth, m_srcWidth, 0, 0};
    return encodePicture(planes, strides, pts, "nv12ToVideo");
}

int DataToVideoConverter::nv12ToVideo(const std::vector<uint8_t>& picture, int64_t pts) {
    return nv12ToVideo(picture.empty() ? nullptr : picture.data(), picture.size(), pts);
}

int DataToVideoConverter::rgbToVideo(const uint8_t* picture, size_t size, int64_t pts) {
    if (picture == nullptr || m_codecCtx == nullptr || m_dstFrame == nullptr || m_swsCtx == nullptr ||
        m_formatCtx == nullptr || m_stream == nullptr || m_packet == nullptr) {
        QN_ERROR("rgbToVideo: Converter is not fully initialized.");
        return -1;
    }
    if (m_srcFmt != AV_PIX_FMT_BGR24) {
        QN_ERROR("Sws scale fmt is not AV_PIX_FMT_BGR24");
        return -1;
    }
    if (size < bgrPictureSize()) {
        QN_ERROR("rgbToVideo: picture of %zu bytes is smaller than %zu bytes.", size, bgrPictureSize());
        return -1;
    }
    const uint8_t* planes[4] = {picture, nullptr, nullptr, nullptr};
    const int strides[4] = {m_srcWidth * 3, 0, 0, 0};
    return encodePicture(planes, strides, pts, "rgbToVideo");
}

int DataToVideoConverter::rgbToVideo(const std::vector<uint8_t>& picture, int64_t pts) {
    return rgbToVideo(picture.empty() ? nullptr : picture.data(), picture.size(), pts);
}

int DataToVideoConverter::drainEncoder(const char* receiveError, const char* writeError, bool stopOnWriteError) {
    int result = 0;
    for (;;) {
        const int ret = avcodec_receive_packet(m_codecCtx, m_packet);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
            return result;
        }
        if (ret < 0) {
            QN_ERROR(receiveError, ret);
            return -1;
        }
        // Without a duration the MP4 muxer makes the last sample zero long and players drop it.
        if (m_packet->duration <= 0) {
            m_packet->duration = av_rescale_q(1, AVRational{1, m_frameRate}, m_codecCtx->time_base);
        }
        av_packet_rescale_ts(m_packet, m_codecCtx->time_base, m_stream->time_base);
        m_packet->stream_index = m_stream->index;
        if (av_interleaved_write_frame(m_formatCtx, m_packet) < 0) {
            QN_ERROR("%s", writeError);
            av_packet_unref(m_packet);
            if (stopOnWriteError) {
                return -1;
            }
            result = -1;
            continue;
        }
        av_packet_unref(m_packet);
    }
}

int DataToVideoConverter::receiveAndWriteVideoPackets() {
    if (m_packet == nullptr || m_formatCtx == nullptr || m_codecCtx == nullptr || m_stream == nullptr) {
        QN_ERROR("receiveAndWriteVideoPackets: Missing packet, format, codec, or stream context.");
        return -1;
    }
    return drainEncoder("Error during encoding: %d", "Failed to write packet.", true);
}

int DataToVideoConverter::finishOutput() {
    int result = 0;
    if (m_codecCtx != nullptr && m_packet != nullptr && m_stream != nullptr) {
        if (avcodec_send_frame(m_codecCtx, nullptr) < 0) {
            QN_ERROR("Failed to send flush frame to encoder.");
            result = -1;
        } else if (drainEncoder("Error receiving packet during flush: %d", "Failed to write frame during flush.",
                                false) < 0) {
            result = -1;
        }
    }
    if (m_formatCtx != nullptr && av_write_trailer(m_formatCtx) < 0) {
        QN_ERROR("Failed to write video trailer.");
        result = -1;
    }
    releaseOutput();
    return result;
}

int DataToVideoConverter::flushAndCloseVideo() {
    if (m_formatCtx == nullptr || m_codecCtx == nullptr || m_stream == nullptr) {
        QN_ERROR("flushAndCloseVideo: Missing format or codec context.");
        return -1;
    }
    const int finished = finishOutput();
    if (openVideoCodecContext() < 0) {
        QN_ERROR("Could not open codec after flush.");
        return -1;
    }
    if (finished < 0) {
        return -1;
    }
    QN_INFO("Video flushed and closed successfully.");
    return 0;
}

int DataToVideoConverter::nv12ToRGB(const uint8_t* picture, size_t size, uint8_t* output, size_t outputSize) {
    if ((m_dstFmt != AV_PIX_FMT_BGR24 && m_dstFmt != AV_PIX_FMT_RGB24) || picture == nullptr || output == nullptr ||
        m_swsCtx == nullptr || m_srcFmt != AV_PIX_FMT_NV12) {
        QN_ERROR("nv12ToRGB: Converter is not correctly configured.");
        return -1;
    }
    static std::once_flag backendLogged;
    std::call_once(backendLogged, [] { QN_INFO("NV12 conversion backend: FFmpeg libswscale"); });
    if (size < nv12PictureSize() || outputSize < bgrBytes(m_dstWidth, m_dstHeight)) {
        QN_ERROR("nv12ToRGB: buffers of %zu and %zu bytes are smaller than %zu and %zu bytes.", size, outputSize,
                 nv12PictureSize(), bgrBytes(m_dstWidth, m_dstHeight));
        return -1;
    }
    const uint8_t* planes[4] = {picture, picture + static_cast<size_t>(m_srcWidth) * m_srcHeight, nullptr, nullptr};
    const int strides[4] = {m_srcWidth, m_srcWidth, 0, 0};
    uint8_t* outPlanes[4] = {output, nullptr, nullptr, nullptr};
    const int outStrides[4] = {m_dstWidth * 3, 0, 0, 0};
    const int rows = sws_scale(m_swsCtx, planes, strides, 0, m_srcHeight, outPlanes, outStrides);
    return validateSwsScaleResult(rows, "nv12ToRGB") ? 0 : -1;
}

int DataToVideoConverter::nv12ToRGB(const std::vector<uint8_t>& picture, std::vector<uint8_t>& output) {
    return nv12ToRGB(picture.empty() ? nullptr : picture.data(), picture.size(),
                     output.empty() ? nullptr : output.data(), output.size());
}

int DataToVideoConverter::setJpegOutputPath(const std::string& directory) {
    m_jpegDir = directory;
    return 0;
}

bool DataToVideoConverter::ensureJpegScaler() {
    // BGR source at the source size to the encoder's own full-range format at the size it was opened for.
    const int width = m_jpegCtx->width;
    const int height = m_jpegCtx->height;
    if (m_jpegFrame == nullptr || m_jpegFrame->width != width || m_jpegFrame->height != height) {
        av_frame_free(&m_jpegFrame);
        m_jpegFrame = av_frame_alloc();
        if (m_jpegFrame == nullptr) {
            return false;
        }
        m_jpegFrame->width = width;
        m_jpegFrame->height = height;
        m_jpegFrame->format = AV_PIX_FMT_YUVJ420P;
        m_jpegFrame->color_range = AVCOL_RANGE_JPEG;
        if (av_frame_get_buffer(m_jpegFrame, FRAME_ALIGN) < 0) {
            av_frame_free(&m_jpegFrame);
            return false;
        }
        sws_freeContext(m_jpegSwsCtx);
        m_jpegSwsCtx = nullptr;
    }
    if (m_jpegSwsCtx == nullptr) {
        m_jpegSwsCtx = sws_getContext(m_srcWidth, m_srcHeight, AV_PIX_FMT_BGR24, width, height, AV_PIX_FMT_YUVJ420P,
                                      SWS_POINT, nullptr, nullptr, nullptr);
    }
    return m_jpegSwsCtx != nullptr && av_frame_make_writable(m_jpegFrame) >= 0;
}

int DataToVideoConverter::rgbToJpeg(const uint8_t* picture, size_t size, int64_t index) {
    if (picture == nullptr || m_jpegCtx == nullptr || m_dstFrame == nullptr || m_swsCtx == nullptr ||
        m_packet == nullptr) {
        QN_ERROR("rgbToJpeg: Converter is not fully initialized.");
        return -1;
    }
    if (size < bgrPictureSize()) {
        QN_ERROR("rgbToJpeg: picture of %zu bytes is smaller than %zu bytes.", size, bgrPictureSize());
        return -1;
    }
    if (m_jpegCtx->width != m_dstWidth || m_jpegCtx->height != m_dstHeight) {
        QN_ERROR("rgbToJpeg: frame size or format changed after initVideoConverter().");
        return -1;
    }
    if (!ensureJpegScaler()) {
        QN_ERROR("rgbToJpeg: could not prepare the JPEG picture.");
        return -1;
    }
    const uint8_t* planes[4] = {picture, nullptr, nullptr, nullptr};
    const int strides[4] = {m_srcWidth * 3, 0, 0, 0};
    const int rows = sws_scale(m_jpegSwsCtx, planes, strides, 0, m_srcHeight, m_jpegFrame->data,
                               m_jpegFrame->linesize);
    if (!validateSwsScaleResult(rows, "rgbToJpeg")) {
        return -1;
    }
    m_jpegFrame->pts = index;
    if (avcodec_send_frame(m_jpegCtx, m_jpegFrame) < 0) {
        QN_ERROR("Failed to send frame to JPEG encoder.");
        return -1;
    }
    if (avcodec_receive_packet(m_jpegCtx, m_packet) < 0) {
        QN_ERROR("Failed to receive packet from JPEG encoder.");
        return -1;
    }
    const std::string fileName = m_jpegDir + "/" + std::to_string(index) + ".jpg";
    QN_INFO("JPEG image saved as: %s", fileName.c_str());
    FILE* file = std::fopen(fileName.c_str(), "wb");
    if (file == nullptr) {
        QN_ERROR("Could not open output JPEG file.");
        av_packet_unref(m_packet);
        return -1;
    }
    const size_t written = std::fwrite(m_packet->data, 1, static_cast<size_t>(m_packet->size), file);
    const bool closed = std::fclose(file) == 0;
    const bool complete = written == static_cast<size_t>(m_packet->size) && closed;
    av_packet_unref(m_packet);
    if (!complete) {
        QN_ERROR("Could not write output JPEG file.");
        return -1;
    }
    return 0;
}

int DataToVideoConverter::rgbToJpeg(const std::vector<uint8_t>& picture, int64_t index) {
    return rgbToJpeg(picture.empty() ? nullptr : picture.data(), picture.size(), index);
}

} // namespace quelnor
