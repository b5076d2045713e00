// Conversion between one vector channel of a cache and a PC2 point cache file.
#include <cmath>

#include "qzCacheFileInterface.h"
#include "qzPointCache2IO.h"
#include "qzPointFileConversion.h"

namespace {

// A PC2 file spaces its samples evenly: the first frame and the frames between samples.
class Pc2Writer {
public:
    explicit Pc2Writer(qzPointCache2IO& pc2) : m_pc2(pc2) {}
    bool begin(const qzPointFiles::ChannelPlan& plan) {
        const float ticksPerFrame = static_cast<float>(plan.ticksPerFrame);
        return m_pc2.writeHeader(plan.pointCount, plan.frameCount,
                                 static_cast<float>(plan.start) / ticksPerFrame,
                                 static_cast<float>(plan.step) / ticksPerFrame);
    }
    bool frame(int index, int, const float* xyz) { return m_pc2.writeSample(index, xyz); }

private:
    qzPointCache2IO& m_pc2;
};

class Pc2Reader {
public:
    explicit Pc2Reader(qzPointCache2IO& pc2) : m_pc2(pc2) {}
    int pointCount() const { return m_pc2.numPoints(); }
    int frameCount() const { return m_pc2.numSamples(); }
    int framesHeld() const { return m_pc2.samplesHeld(); }
    // Sample i lies at frame startFrame + i * sampleRate, computed in single precision and
    // truncated toward zero to ticks.
    bool frameTimes(int first, int count, int ticksPerFrame, int* times) {
        for (int k = 0; k < count; ++k) {
            const float frame =
                static_cast<float>(first + k) * m_pc2.sampleRate() + m_pc2.startFrame();
            const float ticks = frame * static_cast<float>(ticksPerFrame);
            if (!std::isfinite(ticks) || ticks <= -2147483904.0f || ticks >= 2147483648.0f)
                return false;
            times[k] = static_cast<int>(ticks);
        }
        return true;
    }
    bool readFrame(int index, float* xyz) {
        unsigned int points = static_cast<unsigned int>(m_pc2.numPoints());
        return m_pc2.readSample(index, xyz, points);
    }

private:
    qzPointCache2IO& m_pc2;
};

}  // namespace

bool qzCacheFileInterface::convertToPc2(const char* pc2File, const char* storageLocation,
                                        const char* baseFileName, unsigned int channel,
                                        int step) {
    if (!pc2File || !storageLocation || !baseFileName) return false;
    qzPointCache2IO pc2;
    if (!pc2.open(pc2File, true)) return false;
    Pc2Writer writer(pc2);
    qzPointFiles::FrameWriter frames = qzPointFiles::writerOf(writer);
    const bool written =
        qzPointFiles::exportChannel(storageLocation, baseFileName, channel, step, frames);
    pc2.close();
    return written;
}

bool qzCacheFileInterface::readPc2Header(const char* pc2File, Pc2Header& header) {
    header = Pc2Header();
    if (!pc2File) return false;
    qzPointCache2IO pc2;
    const bool read = pc2.open(pc2File, false);
    header.fileVersion = pc2.fileVersion();
    header.numPoints = pc2.numPoints();
    header.startFrame = pc2.startFrame();
    header.sampleRate = pc2.sampleRate();
    header.numSamples = pc2.numSamples();
    if (read) header.samplesInFile = pc2.samplesHeld();
    return read;
}

bool qzCacheFileInterface::convertFromPc2(const char* pc2File, const char* storageLocation,
                                          const char* baseFileName, cacheFileFormat format,
                                          const char* cacheFormat, int ticksPerFrame) {
    if (!pc2File || !storageLocation || !baseFileName || !cacheFormat) return false;
    qzPointCache2IO pc2;
    if (!pc2.open(pc2File, false)) return false;
    Pc2Reader reader(pc2);
    qzPointFiles::FrameReader frames = qzPointFiles::readerOf(reader);
    return qzPointFiles::importFrames(frames, pc2File, storageLocation, baseFileName, format,
                                      cacheFormat, ticksPerFrame);
}
