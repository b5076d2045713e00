// A file system that forwards to another and makes chosen calls fail or come up short, so that
// a test can fail exactly the call it is about ("the 3rd write to a path with .kc in it"), on
// every platform. Not installed.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "qzFileSystem.h"

namespace qzOS {

class FaultFileSystem final : public FileSystem {
public:
    enum class Operation {
        kOpen, kRead, kWrite, kFlush, kSync, kClose, kRename, kRemove, kSyncDirectory, kCopy
    };
    enum class Effect {
        kFail,   // the call fails and does nothing
        kShort,  // a read gives half of what it would; a write stores half and fails; a copy
                 // leaves an empty file and fails
    };
    struct Call {
        Operation operation;
        std::string path;  // a rename's or a copy's target
    };

    // `target` must outlive this object, which must outlive its handles.
    explicit FaultFileSystem(FileSystem& target);

    // The `nth` call (1: the next) of `operation` on a path that contains `part`, counted
    // from now, meets `effect`; with `repeat` every later such call does too (a full disk).
    void failAt(Operation operation, const std::string& part, unsigned nth,
                Effect effect = Effect::kFail, bool repeat = false);
    // No further faults; the calls seen are kept.
    void clearFaults();
    // Every call that reached this file system, in order.
    std::vector<Call> calls() const;

    std::unique_ptr<FileHandle> open(const char* path, OpenMode mode) override;
    bool status(const char* path, FileStatus& status) override;
    bool renameReplacing(const char* from, const char* to) override;
    bool remove(const char* path) override;
    bool listDirectory(const char* path, std::vector<std::string>& names) override;
    bool syncDirectory(const char* path) override;
    bool copyFile(const char* from, const char* to, bool mayLink, bool& linked) override;
    // A kSync fault on any of the paths fails the whole call.
    bool syncFiles(const std::vector<std::string>& paths) override;

    // Records the call and tells whether a fault strikes it, and which.
    bool strikes(Operation operation, const std::string& path, Effect& effect);

private:
    struct Fault {
        Operation operation;
        std::string part;
        unsigned remaining;  // matching calls to let pass first
        Effect effect;
        bool repeat;
    };

    FileSystem& m_target;
    mutable std::mutex m_mutex;
    std::vector<Fault> m_faults;
    std::vector<Call> m_calls;
};

}  // namespace qzOS
