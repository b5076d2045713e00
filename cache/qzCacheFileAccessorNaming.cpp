// File names of a cache and the discovery of per-frame data files on disk.
#include <cstdint>
#include <limits>

#include "qzCacheFileAccessor.h"
#include "qzCacheFileAccessorPrivate.h"
#include "qzCacheFileIffFormat.h"
#include "qzCacheFileIO.h"
#include "qzOS.h"

namespace {

// atol's reading (optional sign, leading digits, stop at anything else; nothing gives 0), kept
// in 64 bits so that long numbers cannot overflow on any platform.
std::int64_t leadingNumber(const std::string& text, bool& inRange) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const std::int64_t limit = negative ? std::int64_t(1) << 31 : (std::int64_t(1) << 31) - 1;
    std::int64_t value = 0;
    inRange = true;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > limit) {
            inRange = false;
            return 0;
        }
    }
    return negative ? -value : value;
}

}  // namespace

qzString::IString qzCacheFileAccessor::constructDescriptionFileFullPath(
    const qzString::IString& location, const qzString::IString& baseName) {
    qzString::IString path(location);
    qzString::plusEqual(path, baseName);
    qzString::plusEqual(path, qzString::IString(".xml", 0));
    return path;
}

static qzString::IString dataFileExtension(qzCacheFileIO* fileIO, const qzString::IString& format) {
    if (fileIO) return fileIO->extension();
    // Without an installed file IO object the cache format decides, as the IFF files do.
    return qzIffDataFileExtension(format);
}

qzString::IString qzCacheFileAccessor::constructDataFilePathForOneFile() {
    qzString::IString path(m_storageLocation);
    qzString::plusEqual(path, m_baseFileName);
    qzString::plusEqual(path, qzString::IString(".", 0));
    qzString::plusEqual(path, dataFileExtension(m_fileAccessor, m_cacheFormat));
    return path;
}

qzString::IString qzCacheFileAccessor::constructDataFilePathForOneFilePerFrame(int time) {
    // No frame can be named without a positive frame length; callers treat the empty path as
    // a file that does not exist.
    if (m_ticksPerFrame <= 0) return qzString::IString();
    const qzString::IString extension = dataFileExtension(m_fileAccessor, m_cacheFormat);
    qzCacheFileAccessorPrivate::FramePath& last = m_private->framePath;
    qzThread::MutexOp lock(m_private->framePathMutex, true);
    if (last.valid && last.time == time && last.ticksPerFrame == m_ticksPerFrame &&
        last.location.chars() == m_storageLocation.chars() &&
        last.baseName.chars() == m_baseFileName.chars() && last.extension.chars() == extension.chars()) {
        return last.path;
    }
    const int frame = time / m_ticksPerFrame;
    const int tick = time % m_ticksPerFrame;
    qzString::IString framePart;
    // A negative remainder is written too, so that every time has a name of its own.
    if (tick != 0) {
        framePart.format("Frame%dTick%d", frame, tick);
    } else {
        framePart.format("Frame%d", frame);
    }
    qzString::IString path(m_storageLocation);
    qzString::plusEqual(path, m_baseFileName);
    qzString::plusEqual(path, framePart);
    qzString::plusEqual(path, qzString::IString(".", 0));
    qzString::plusEqual(path, extension);
    last.valid = false;
    last.location = m_storageLocation;
    last.baseName = m_baseFileName;
    last.extension = extension;
    last.path = path;
    last.time = time;
    last.ticksPerFrame = m_ticksPerFrame;
    last.valid = true;
    return path;
}

bool qzCacheFileAccessor::searchDirectoryForDataTimes(std::vector<int>& times) {
    times.clear();
    qzString::IString directory(m_storageLocation);
    for (unsigned int i = 0; i < directory.length(); ++i) {
        if (directory[i] == u'/') directory[i] = u'\\';
    }
    directory = qzString::IString(directory.asMultibyte(0), 0);
    qzOS::File* folder = qzOS::FileFactory::getFileFactory()->createFile(directory);
    if (!folder) return false;
    std::vector<qzString::IString> names;
    if (folder->readDir(names, false).failed()) return false;
    if (m_ticksPerFrame <= 0) return true;

    int start = 0;
    int end = 0;
    getStartEndTime(start, end);
    qzString::IString prefix(m_baseFileName);
    qzString::plusEqual(prefix, qzString::IString("Frame", 0));
    const qzString::IString tickMark("Tick", 0);
    for (const qzString::IString& name : names) {
        if (name.utf8() == "." || name.utf8() == "..") continue;
        const qzString::IString trunk = qzOS::Filename(name).baseTrunk();
        if (trunk.find(prefix, 0) != 0) continue;
        const qzString::IString rest = trunk.substr(prefix.length());
        const unsigned int mark = rest.find(tickMark, 0);
        std::string frameText = rest.utf8();
        std::string tickText = "0";
        if (mark != qzString::IString::npos) {
            frameText = rest.substr(0, mark).utf8();
            tickText = rest.substr(mark + tickMark.length()).utf8();
        }
        bool frameInRange = true;
        bool tickInRange = true;
        const std::int64_t frame = leadingNumber(frameText, frameInRange);
        const std::int64_t tick = leadingNumber(tickText, tickInRange);
        const std::int64_t time = frame * m_ticksPerFrame + tick;
        // A name whose time does not fit in 32 bits was never written by us.
        if (!frameInRange || !tickInRange || time < std::numeric_limits<std::int32_t>::min() ||
            time > std::numeric_limits<std::int32_t>::max()) {
            continue;
        }
        if (time >= start && time <= end) times.push_back(static_cast<int>(time));
    }
    return true;
}
