#include "qzFaultFileSystem.h"

#include <utility>

namespace qzOS {
namespace {

using Operation = FaultFileSystem::Operation;
using Effect = FaultFileSystem::Effect;

class FaultFile final : public FileHandle {
public:
    FaultFile(FaultFileSystem& owner, std::string path, std::unique_ptr<FileHandle> target)
        : m_owner(owner), m_path(std::move(path)), m_target(std::move(target)) {}

    bool read(std::uint64_t offset, void* data, std::size_t count, std::size_t& got) override {
        Effect effect;
        got = 0;
        if (!m_owner.strikes(Operation::kRead, m_path, effect)) {
            return m_target->read(offset, data, count, got);
        }
        if (effect == Effect::kFail) return false;
        return m_target->read(offset, data, count / 2, got);
    }

    bool write(std::uint64_t offset, const void* data, std::size_t count) override {
        Effect effect;
        if (!m_owner.strikes(Operation::kWrite, m_path, effect)) {
            return m_target->write(offset, data, count);
        }
        if (effect == Effect::kShort) m_target->write(offset, data, count / 2);
        return false;
    }

    bool status(FileStatus& status) override { return m_target->status(status); }

    bool flush() override { return pass(Operation::kFlush) && m_target->flush(); }
    bool sync() override { return pass(Operation::kSync) && m_target->sync(); }

    // The target is closed whatever happens: a failed close still gives the file up.
    bool close() override {
        const bool passed = pass(Operation::kClose);
        return m_target->close() && passed;
    }

private:
    bool pass(Operation operation) {
        Effect effect;
        return !m_owner.strikes(operation, m_path, effect);
    }

    FaultFileSystem& m_owner;
    std::string m_path;
    std::unique_ptr<FileHandle> m_target;
};

}  // namespace

FaultFileSystem::FaultFileSystem(FileSystem& target) : m_target(target) {}

void FaultFileSystem::failAt(Operation operation, const std::string& part, unsigned nth,
                             Effect effect, bool repeat) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back({operation, part, nth > 0 ? nth - 1 : 0, effect, repeat});
}

void FaultFileSystem::clearFaults() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
}

std::vector<FaultFileSystem::Call> FaultFileSystem::calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

bool FaultFileSystem::strikes(Operation operation, const std::string& path, Effect& effect) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back({operation, path});
    bool struck = false;
    for (auto it = m_faults.begin(); it != m_faults.end();) {
        if (it->operation != operation || path.find(it->part) == std::string::npos) {
            ++it;
            continue;
        }
        if (it->remaining > 0) {
            --it->remaining;
            ++it;
            continue;
        }
        if (!struck) effect = it->effect;
        struck = true;
        it = it->repeat ? it + 1 : m_faults.erase(it);
    }
    return struck;
}

std::unique_ptr<FileHandle> FaultFileSystem::open(const char* path, OpenMode mode) {
    const std::string name = path ? path : "";
    Effect effect;
    if (strikes(Operation::kOpen, name, effect)) return nullptr;
    std::unique_ptr<FileHandle> target = m_target.open(path, mode);
    if (!target) return nullptr;
    return std::make_unique<FaultFile>(*this, name, std::move(target));
}

bool FaultFileSystem::status(const char* path, FileStatus& status) {
    return m_target.status(path, status);
}

bool FaultFileSystem::renameReplacing(const char* from, const char* to) {
    Effect effect;
    return !strikes(Operation::kRename, to ? to : "", effect) && m_target.renameReplacing(from, to);
}

bool FaultFileSystem::remove(const char* path) {
    Effect effect;
    return !strikes(Operation::kRemove, path ? path : "", effect) && m_target.remove(path);
}

bool FaultFileSystem::listDirectory(const char* path, std::vector<std::string>& names) {
    return m_target.listDirectory(path, names);
}

bool FaultFileSystem::syncDirectory(const char* path) {
    Effect effect;
    return !strikes(Operation::kSyncDirectory, path ? path : "", effect) &&
           m_target.syncDirectory(path);
}

bool FaultFileSystem::syncFiles(const std::vector<std::string>& paths) {
    bool struck = false;
    for (const std::string& path : paths) {
        Effect effect;
        struck = strikes(Operation::kSync, path, effect) || struck;
    }
    return !struck && m_target.syncFiles(paths);
}

bool FaultFileSystem::copyFile(const char* from, const char* to, bool mayLink, bool& linked) {
    linked = false;
    Effect effect;
    if (!strikes(Operation::kCopy, to ? to : "", effect)) {
        return m_target.copyFile(from, to, mayLink, linked);
    }
    if (effect == Effect::kShort) {
        std::unique_ptr<FileHandle> part = m_target.open(to, OpenMode::kCreate);
        if (part) part->close();
    }
    return false;
}

}  // namespace qzOS
