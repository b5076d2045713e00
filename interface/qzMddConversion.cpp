// Conversion between one vector channel of a cache and an MDD point cache file. MDD times are
// seconds: a tick lasts 1 / (ticks per frame x frames per second) of one.
#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "qzCacheFileInterface.h"
#include "qzMddIO.h"
#include "qzPointFileConversion.h"

namespace {

bool validRate(double framesPerSecond) {
    return std::isfinite(framesPerSecond) && framesPerSecond > 0.0;
}

// Rounded to the nearest tick (halves away from zero): a time written as float seconds by any
// program seldom lands on a tick exactly, and truncation would put 1/24 s one tick early.
bool secondsToTicks(float seconds, double ticksPerSecond, int& ticks) {
    const double rounded = std::round(double(seconds) * ticksPerSecond);
    if (!(rounded >= double(INT_MIN) && rounded <= double(INT_MAX))) return false;
    ticks = int(rounded);
    return true;
}

class MddWriter {
public:
    MddWriter(qzMddIO& mdd, double framesPerSecond) : m_mdd(mdd), m_framesPerSecond(framesPerSecond) {}
    bool begin(const qzPointFiles::ChannelPlan& plan) {
        m_ticksPerSecond = double(plan.ticksPerFrame) * m_framesPerSecond;
        return std::isfinite(m_ticksPerSecond) && m_mdd.writeHeader(plan.frameCount, plan.pointCount);
    }
    // Refuses a time that single precision cannot tell from the one before, so that no file
    // is written that would read back with two frames at one time.
    bool frame(int index, int time, const float* xyz) {
        const float seconds = static_cast<float>(double(time) / m_ticksPerSecond);
        if (!std::isfinite(seconds) || (index > 0 && !(seconds > m_previous))) return false;
        m_previous = seconds;
        return m_mdd.writeFrame(index, seconds, xyz);
    }

private:
    qzMddIO& m_mdd;
    double m_framesPerSecond;
    double m_ticksPerSecond = 0.0;
    float m_previous = 0.0f;
};

class MddReader {
public:
    MddReader(qzMddIO& mdd, double framesPerSecond) : m_mdd(mdd), m_framesPerSecond(framesPerSecond) {}
    int pointCount() const { return m_mdd.numPoints(); }
    int frameCount() const { return m_mdd.numFrames(); }
    int framesHeld() const { return m_mdd.framesHeld(); }
    bool frameTimes(int first, int count, int ticksPerFrame, int* times) {
        m_seconds.resize(std::size_t(count));
        if (!m_mdd.readTimes(first, count, m_seconds.data())) return false;
        const double ticksPerSecond = double(ticksPerFrame) * m_framesPerSecond;
        for (int k = 0; k < count; ++k) {
            if (!secondsToTicks(m_seconds[std::size_t(k)], ticksPerSecond, times[k])) return false;
        }
        return true;
    }
    bool readFrame(int index, float* xyz) {
        unsigned int points = static_cast<unsigned int>(m_mdd.numPoints());
        return m_mdd.readFrame(index, xyz, points);
    }

private:
    qzMddIO& m_mdd;
    double m_framesPerSecond;
    std::vector<float> m_seconds;  // at most one block of times
};

// The first and last time of the frames held, and the first frame whose time is not finite
// or not after the one before.
void scanTimes(qzMddIO& mdd, qzCacheFileInterface::MddHeader& header) {
    constexpr int kBlock = 1024;
    std::vector<float> seconds(kBlock);
    for (int first = 0; first < header.framesInFile; first += kBlock) {
        const int count = std::min(kBlock, header.framesInFile - first);
        if (!mdd.readTimes(first, count, seconds.data())) return;
        for (int k = 0; k < count; ++k) {
            const int frame = first + k;
            const float time = seconds[std::size_t(k)];
            if (frame == 0) header.firstTime = time;
            if (header.unorderedFrame < 0 &&
                (!std::isfinite(time) || (frame > 0 && !(time > header.lastTime))))
                header.unorderedFrame = frame;
            header.lastTime = time;
        }
    }
}

}  // namespace

bool qzCacheFileInterface::convertToMdd(const char* mddFile, const char* storageLocation,
                                        const char* baseFileName, unsigned int channel, int step,
                                        double framesPerSecond) {
    if (!mddFile || !storageLocation || !baseFileName || !validRate(framesPerSecond)) return false;
    qzMddIO mdd;
    if (!mdd.open(mddFile, true)) return false;
    MddWriter writer(mdd, framesPerSecond);
    qzPointFiles::FrameWriter frames = qzPointFiles::writerOf(writer);
    const bool written =
        qzPointFiles::exportChannel(storageLocation, baseFileName, channel, step, frames);
    mdd.close();
    return written;
}

bool qzCacheFileInterface::readMddHeader(const char* mddFile, MddHeader& header) {
    header = MddHeader();
    if (!mddFile) return false;
    qzMddIO mdd;
    const bool read = mdd.open(mddFile, false);
    header.numFrames = mdd.numFrames();
    header.numPoints = mdd.numPoints();
    if (!read) return false;
    header.framesInFile = mdd.framesHeld();
    scanTimes(mdd, header);
    return true;
}

bool qzCacheFileInterface::convertFromMdd(const char* mddFile, const char* storageLocation,
                                          const char* baseFileName, cacheFileFormat format,
                                          const char* cacheFormat, int ticksPerFrame,
                                          double framesPerSecond) {
    if (!mddFile || !storageLocation || !baseFileName || !cacheFormat ||
        !validRate(framesPerSecond))
        return false;
    qzMddIO mdd;
    if (!mdd.open(mddFile, false)) return false;
    MddReader reader(mdd, framesPerSecond);
    qzPointFiles::FrameReader frames = qzPointFiles::readerOf(reader);
    return qzPointFiles::importFrames(frames, mddFile, storageLocation, baseFileName, format,
                                      cacheFormat, ticksPerFrame);
}
