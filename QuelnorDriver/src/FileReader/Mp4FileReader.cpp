#include "QuelnorDriver/FileReader/Mp4FileReader.h"

#include <algorithm>
#include <exception>
#include <limits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include "QuelnorBase/Logger.h"
#include "QuelnorBase/Utils/FuncUtils.h"

namespace quelnor {

namespace {

constexpr AVRational MICROSECONDS = {1, 1000000};
constexpr int BGR_ALIGN = 1;
// How far before the first frame a rewind seeks: more than any decoding delay before the first picture.
constexpr int64_t REWIND_MARGIN_US = 1000000;

} // namespace

Mp4FileReader::Mp4FileReader(const std::string& path) : ApsFileReader(path), m_path(path) {}

Mp4FileReader::~Mp4FileReader() { release(); }

void Mp4FileReader::release() {
    avformat_close_input(&m_formatCtx);
    avcodec_free_context(&m_decoderCtx);
    sws_freeContext(m_swsCtx);
    m_swsCtx = nullptr;
    av_frame_free(&m_decodedFrame);
    av_freep(&m_bgrBuffer);
    av_packet_free(&m_packet);
    m_bgrBufferSize = 0;
    std::fill(std::begin(m_bgrData), std::end(m_bgrData), nullptr);
    std::fill(std::begin(m_bgrLinesize), std::end(m_bgrLinesize), 0);
    m_videoStreamIndex = -1;
    m_videoStream = nullptr;
    m_decoder = nullptr;
    m_decoderOpen = false;
    m_inputEnded = false;
    m_pending = false;
    m_pendingTime = 0;
    m_scalerWidth = 0;
    m_scalerHeight = 0;
    m_scalerFormat = -1;
    m_timestamps.clear();
}

bool Mp4FileReader::loadFile() {
    // A second load starts afresh instead of leaking the first file.
    release();
    std::string utf8Path;
    try {
        utf8Path = local8bitToUtf8(m_path);
    } catch (const std::exception&) {
        return false;
    }
    m_formatCtx = avformat_alloc_context();
    if (m_formatCtx == nullptr) {
        return false;
    }
    // On failure FFmpeg frees the context and clears the pointer.
    if (avformat_open_input(&m_formatCtx, utf8Path.c_str(), nullptr, nullptr) < 0) {
        return false;
    }
    if (avformat_find_stream_info(m_formatCtx, nullptr) < 0) {
        release();
        return false;
    }

    for (unsigned i = 0; i < m_formatCtx->nb_streams; ++i) {
        if (m_formatCtx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            m_videoStreamIndex = static_cast<int>(i);
        }
    }
    if (m_videoStreamIndex < 0) {
        QN_ERROR("No video stream found!");
        release();
        return false;
    }
    m_videoStream = m_formatCtx->streams[m_videoStreamIndex];

    // The picture buffer is sized from the header: a stream without a usable size has nothing to scale into.
    const int width = m_videoStream->codecpar->width;
    const int height = m_videoStream->codecpar->height;
    if (width <= 0 || height <= 0 || width > std::numeric_limits<uint16_t>::max() ||
        height > std::numeric_limits<uint16_t>::max()) {
        QN_ERROR("Video stream has no usable picture size: %dx%d", width, height);
        release();
        return false;
    }
    m_width = static_cast<uint16_t>(width);
    m_height = static_cast<uint16_t>(height);

    m_decodedFrame = av_frame_alloc();
    m_packet = av_packet_alloc();
    if (m_decodedFrame == nullptr || m_packet == nullptr) {
        QN_ERROR("Failed to allocate AVFrame");
        release();
        return false;
    }
    const int bufferSize = av_image_get_buffer_size(AV_PIX_FMT_BGR24, width, height, BGR_ALIGN);
    m_bgrBuffer = bufferSize > 0 ? static_cast<uint8_t*>(av_malloc(static_cast<size_t>(bufferSize))) : nullptr;
    if (m_bgrBuffer == nullptr ||
        av_image_fill_arrays(m_bgrData, m_bgrLinesize, m_bgrBuffer, AV_PIX_FMT_BGR24, width, height, BGR_ALIGN) < 0) {
        QN_ERROR("Failed to allocate the picture buffer of %dx%d pixels", width, height);
        release();
        return false;
    }
    m_bgrBufferSize = static_cast<size_t>(bufferSize);

    // A stream that cannot be decoded still loads, with no frames listed.
    m_decoder = avcodec_find_decoder(m_videoStream->codecpar->codec_id);
    m_decoderCtx = avcodec_alloc_context3(m_decoder);
    m_decoderOpen = m_decoder != nullptr && m_decoderCtx != nullptr &&
                    avcodec_parameters_to_context(m_decoderCtx, m_videoStream->codecpar) >= 0 &&
                    avcodec_open2(m_decoderCtx, m_decoder, nullptr) >= 0;
    if (!m_decoderOpen) {
        QN_ERROR("Could not open the decoder of the video stream.");
    } else {
        m_swsCtx = sws_getContext(m_decoderCtx->width, m_decoderCtx->height, m_decoderCtx->pix_fmt, width, height,
                                  AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (m_swsCtx != nullptr) {
            m_scalerWidth = m_decoderCtx->width;
            m_scalerHeight = m_decoderCtx->height;
            m_scalerFormat = m_decoderCtx->pix_fmt;
        }
        avcodec_flush_buffers(m_decoderCtx);
    }

    listFrameTimes();
    return true;
}

bool Mp4FileReader::listFrameTimes() {
    m_timestamps.clear();
    AVFrame* picture = av_frame_alloc();
    if (picture == nullptr) {
        QN_ERROR("Failed to allocate AVFrame");
        return false;
    }
    uint64_t time = 0;
    while (decodeNextPicture(picture, time) > 0) {
        m_timestamps.push_back(time);
        av_frame_unref(picture);
    }
    av_frame_free(&picture);
    if (!m_timestamps.empty()) {
        positionAt(0);
    }
    return !m_timestamps.empty();
}

bool Mp4FileReader::pictureTime(const AVFrame* picture, uint64_t& time) const {
    const int64_t ticks = picture->pts != AV_NOPTS_VALUE ? picture->pts : picture->best_effort_timestamp;
    if (ticks == AV_NOPTS_VALUE || ticks < 0) {
        return false;
    }
    // Integer rescaling: a floating-point product turns 99,999 us into 99,998.
    time = static_cast<uint64_t>(av_rescale_q(ticks, m_videoStream->time_base, MICROSECONDS));
    return true;
}

int64_t Mp4FileReader::toStreamTime(uint64_t microseconds) const {
    return av_rescale_q(static_cast<int64_t>(microseconds), MICROSECONDS, m_videoStream->time_base);
}

int Mp4FileReader::decodeNextPicture(AVFrame* picture, uint64_t& time) {
    if (!m_decoderOpen || m_formatCtx == nullptr || m_packet == nullptr) {
        return -1;
    }
    for (;;) {
        int ret = avcodec_receive_frame(m_decoderCtx, picture);
        if (ret == 0) {
            if (pictureTime(picture, time)) {
                return 1;
            }
            av_frame_unref(picture);
            continue;
        }
        if (ret == AVERROR_EOF) {
            return 0;
        }
        // A decoding error belongs to the packet just given: the next packet may decode again.
        if (m_inputEnded) {
            return ret == AVERROR(EAGAIN) ? 0 : ret;
        }
        ret = av_read_frame(m_formatCtx, m_packet);
        if (ret < 0) {
            // End of the file: the decoder gives out the pictures it still holds for reordering.
            m_inputEnded = true;
            avcodec_send_packet(m_decoderCtx, nullptr);
            continue;
        }
        // Packets of other streams (audio) are passed over; a damaged packet is dropped and decoding goes on.
        if (m_packet->stream_index == m_videoStreamIndex) {
            avcodec_send_packet(m_decoderCtx, m_packet);
        }
        av_packet_unref(m_packet);
    }
}

bool Mp4FileReader::seekStream(uint64_t microseconds) {
    const int64_t ticks = toStreamTime(microseconds);
    // The key frame at or before the time; decoding then goes forward to the frame itself.
    if (avformat_seek_file(m_formatCtx, m_videoStreamIndex, std::numeric_limits<int64_t>::min(), ticks, ticks, 0) <
        0) {
        return false;
    }
    resetDecoding();
    return true;
}

void Mp4FileReader::resetDecoding() {
    avcodec_flush_buffers(m_decoderCtx);
    m_inputEnded = false;
    m_pending = false;
    av_frame_unref(m_decodedFrame);
}

bool Mp4FileReader::rewind() {
    // Well before the first frame, so that formats whose seeks are inexact also start at the beginning.
    const int64_t ticks =
        toStreamTime(m_timestamps.front()) - av_rescale_q(REWIND_MARGIN_US, MICROSECONDS, m_videoStream->time_base);
    if (avformat_seek_file(m_formatCtx, m_videoStreamIndex, std::numeric_limits<int64_t>::min(), ticks, ticks, 0) <
        0) {
        return false;
    }
    resetDecoding();
    return true;
}

bool Mp4FileReader::positionAt(size_t index) {
    if (!m_decoderOpen || index >= m_timestamps.size()) {
        return false;
    }
    const uint64_t target = m_timestamps[index];
    // A seek by time can land past the frame: on a key frame decoded after it (B-frames), or anywhere near
    // in formats without an exact index. Then start further back, doubling the distance, up to the start.
    for (size_t back = 0;; back = back == 0 ? 1 : back * 2) {
        const bool fromStart = back >= index;
        if (!(fromStart ? rewind() : seekStream(m_timestamps[index - back]))) {
            if (fromStart) {
                return false;
            }
            continue;
        }
        uint64_t time = 0;
        int ret = 0;
        while ((ret = decodeNextPicture(m_decodedFrame, time)) > 0 && time < target) {
            QN_INFO("Skip frame: %lld", static_cast<long long>(time));
            av_frame_unref(m_decodedFrame);
        }
        if (ret > 0 && (time == target || fromStart)) {
            m_pending = true;
            m_pendingTime = time;
            return true;
        }
        av_frame_unref(m_decodedFrame);
        if (fromStart) {
            return false;
        }
    }
}

bool Mp4FileReader::convertPicture(const AVFrame* picture, uint64_t time, ApsFrame& frame) {
    // Built for the picture actually decoded: scaling a smaller picture by a larger header size would read
    // past its planes.
    if (m_swsCtx == nullptr || picture->width != m_scalerWidth || picture->height != m_scalerHeight ||
        picture->format != m_scalerFormat) {
        sws_freeContext(m_swsCtx);
        m_swsCtx = sws_getContext(picture->width, picture->height, static_cast<AVPixelFormat>(picture->format),
                                  m_width, m_height, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (m_swsCtx == nullptr) {
            QN_ERROR("Could not create the conversion of %dx%d pictures of format %d to BGR.", picture->width,
                     picture->height, picture->format);
            m_scalerFormat = -1;
            return false;
        }
        m_scalerWidth = picture->width;
        m_scalerHeight = picture->height;
        m_scalerFormat = picture->format;
    }
    const int rows = sws_scale(m_swsCtx, picture->data, picture->linesize, 0, picture->height, m_bgrData,
                               m_bgrLinesize);
    if (rows != m_height) {
        return false;
    }
    frame = ApsFrame(m_width, m_height, time, time, m_bgrBuffer, m_bgrBufferSize, false);
    return true;
}

bool Mp4FileReader::getNextFrame(ApsFrame& frame) {
    if (!m_pending) {
        if (decodeNextPicture(m_decodedFrame, m_pendingTime) <= 0) {
            return false;
        }
    }
    m_pending = false;
    const bool converted = convertPicture(m_decodedFrame, m_pendingTime, frame);
    av_frame_unref(m_decodedFrame);
    return converted;
}

bool Mp4FileReader::readFrameAt(size_t index, ApsFrame& frame) {
    QN_INFO("Seek to time: %lld", static_cast<long long>(m_timestamps[index]));
    if (!positionAt(index)) {
        QN_ERROR("Seek frame failed!");
        return false;
    }
    return getNextFrame(frame);
}

bool Mp4FileReader::getFrameGivenTimeStamp(uint64_t timestamp, ApsFrame& frame) {
    const auto after = std::upper_bound(m_timestamps.begin(), m_timestamps.end(), timestamp);
    if (after == m_timestamps.begin()) {
        return false;
    }
    return readFrameAt(static_cast<size_t>(after - m_timestamps.begin()) - 1, frame);
}

bool Mp4FileReader::getNFrame(int index, ApsFrame& frame) {
    if (index < 0 || static_cast<size_t>(index) >= m_timestamps.size()) {
        return false;
    }
    return readFrameAt(static_cast<size_t>(index), frame);
}

bool Mp4FileReader::seekTime(uint64_t timestamp) {
    auto at = std::lower_bound(m_timestamps.begin(), m_timestamps.end(), timestamp);
    if (at == m_timestamps.end()) {
        return false;
    }
    // The frame before it, so that the next frames read include the one asked for.
    if (at != m_timestamps.begin()) {
        --at;
    }
    const size_t index = static_cast<size_t>(at - m_timestamps.begin());
    if (!positionAt(index)) {
        QN_ERROR("Seek frame failed!");
        return false;
    }
    QN_INFO("Seek to time: %lld", static_cast<long long>(m_timestamps[index]));
    return true;
}

bool Mp4FileReader::getTimeStamps(std::vector<uint64_t>& timestamps) {
    timestamps = m_timestamps;
    return true;
}

} // namespace quelnor
