#include <memory>
#include <vector>

#include "FileReader/EventsToRgbData.h"
#include "QuelnorBase/Logger.h"
#include "QuelnorDriver/FileReader/RawFileReader.h"
#include "QuelnorDriver/tools/DataToVideoConverter.h"

namespace quelnor {

namespace {

constexpr uint64_t MICROSECONDS_PER_SECOND = 1000000;

} // namespace

void RawFileReader::eventsToRgbData(const std::vector<Event2D>& events, std::vector<uint8_t>& picture) const {
    detail::eventsToRgbData(events, fileInfo.width, fileInfo.height, picture);
}

bool RawFileReader::exportEventDataToVideo(uint64_t start, uint64_t end, std::string path) {
    QN_INFO("Exporting event data to video...");
    // Checked before the output is created, so a refused range leaves no file behind.
    if (!seekTime(start)) {
        QN_ERROR("No start timestamp found.");
        return false;
    }
    if (end < start) {
        QN_ERROR("Start time must be less than or equal to end time.");
        return false;
    }
    if (end == start) {
        QN_ERROR("There is no data in the interval.");
        return false;
    }
    // Opening the output truncates it: never the recording or its side file.
    if (isOwnFile(path)) {
        QN_ERROR("Failed to open output file: %s.", path.c_str());
        return false;
    }

    videoConverter = std::make_shared<DataToVideoConverter>();
    videoConverter->setConverterFrameSize(fileInfo.height, fileInfo.width, fileInfo.height, fileInfo.width);
    videoConverter->setConverterFmt(DataToVideoConverter::PIX_FMT_BGR24, DataToVideoConverter::PIX_FMT_YUV420P);
    if (videoConverter->initVideoConverter() < 0) {
        QN_ERROR("Video converter initialization failed, please confirm that the input file is correct.");
        videoConverter.reset();
        return false;
    }
    if (videoConverter->setOutputFile(path) < 0) {
        return false;
    }

    const uint64_t framePeriod = MICROSECONDS_PER_SECOND / static_cast<uint64_t>(exportFrameRate);
    std::vector<uint8_t> picture;
    bool written = true;
    // One picture per window, empty windows included, so frame k shows the events of window k. Windows
    // beyond the file's end time hold no events: a large end stops at the file's end.
    for (uint64_t t = start; t < end && t <= endTime && written; t += framePeriod) {
        const Events events = getNTimeEvents(framePeriod);
        eventsToRgbData(*events, picture);
        written = videoConverter->rgbToVideo(picture, -1) == 0;
    }
    // A failed write still gets the file finished, so what was written stays readable.
    const bool closed = videoConverter->flushAndCloseVideo() == 0;
    return written && closed;
}

} // namespace quelnor
