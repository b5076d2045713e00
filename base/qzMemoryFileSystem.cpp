#include "qzMemoryFileSystem.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <set>

namespace qzOS {

// One file's bytes: its own, or a caller's read in place until the first write.
struct MemoryFileSystem::Node {
    mutable std::mutex mutex;
    std::vector<unsigned char> owned;
    const unsigned char* view = nullptr;
    std::size_t viewSize = 0;
    std::uint64_t id = 0;
    // Moves on with every write, as a modification time does.
    std::int64_t version = 0;

    std::size_t size() const { return view ? viewSize : owned.size(); }
    const unsigned char* data() const { return view ? view : owned.data(); }

    void fill(FileStatus& status) const {
        status.length = size();
        status.regular = true;
        status.identity.device = 0;
        status.identity.node = id;
        status.identity.modifiedNs = version;
        status.identity.known = true;
    }
};

namespace {

class MemoryFile final : public FileHandle {
public:
    MemoryFile(std::shared_ptr<MemoryFileSystem::Node> node, bool writable)
        : m_node(std::move(node)), m_writable(writable) {}

    bool read(std::uint64_t offset, void* data, std::size_t count, std::size_t& got) override {
        got = 0;
        if (!m_node) return false;
        std::lock_guard<std::mutex> lock(m_node->mutex);
        const std::size_t size = m_node->size();
        if (offset >= size) return true;
        got = std::min<std::size_t>(count, size - static_cast<std::size_t>(offset));
        if (got > 0) std::memcpy(data, m_node->data() + offset, got);
        return true;
    }

    bool write(std::uint64_t offset, const void* data, std::size_t count) override {
        if (!m_node || !m_writable) return false;
        std::lock_guard<std::mutex> lock(m_node->mutex);
        if (count == 0) return true;
        if (offset > m_node->owned.max_size() || count > m_node->owned.max_size() - offset) return false;
        const std::size_t end = static_cast<std::size_t>(offset) + count;
        try {
            if (m_node->owned.size() < end) m_node->owned.resize(end);
        } catch (const std::bad_alloc&) {
            return false;
        }
        std::memcpy(m_node->owned.data() + offset, data, count);
        ++m_node->version;
        return true;
    }

    bool status(FileStatus& status) override {
        if (!m_node) return false;
        std::lock_guard<std::mutex> lock(m_node->mutex);
        m_node->fill(status);
        return true;
    }

    bool flush() override { return m_node != nullptr; }
    bool sync() override { return m_node != nullptr; }

    bool close() override {
        const bool open = m_node != nullptr;
        m_node.reset();
        return open;
    }

private:
    std::shared_ptr<MemoryFileSystem::Node> m_node;
    bool m_writable;
};

// "a\b/" lists like "a/b": the prefix every entry of the directory starts with.
std::string entryPrefix(const char* directory) {
    std::string prefix = directory ? directory : "";
    std::replace(prefix.begin(), prefix.end(), '\\', '/');
    if (prefix == ".") prefix.clear();
    if (!prefix.empty() && prefix.back() != '/') prefix.push_back('/');
    return prefix;
}

}  // namespace

MemoryFileSystem::MemoryFileSystem() = default;
MemoryFileSystem::~MemoryFileSystem() = default;

std::shared_ptr<MemoryFileSystem::Node> MemoryFileSystem::makeNode() {
    auto node = std::make_shared<Node>();
    node->id = m_nextNode++;
    return node;
}

std::shared_ptr<MemoryFileSystem::Node> MemoryFileSystem::find(const std::string& path) const {
    const auto it = m_files.find(path);
    return it == m_files.end() ? nullptr : it->second;
}

void MemoryFileSystem::addFile(const std::string& path, std::vector<unsigned char> bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::shared_ptr<Node> node = makeNode();
    node->owned = std::move(bytes);
    m_files[path] = node;
}

void MemoryFileSystem::addView(const std::string& path, const void* data, std::size_t size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::shared_ptr<Node> node = makeNode();
    static const unsigned char kEmpty = 0;
    node->view = data && size > 0 ? static_cast<const unsigned char*>(data) : &kEmpty;
    node->viewSize = data ? size : 0;
    m_files[path] = node;
}

bool MemoryFileSystem::contents(const std::string& path, std::vector<unsigned char>& bytes) const {
    std::shared_ptr<Node> node;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        node = find(path);
    }
    if (!node) return false;
    std::lock_guard<std::mutex> lock(node->mutex);
    bytes.assign(node->data(), node->data() + node->size());
    return true;
}

std::unique_ptr<FileHandle> MemoryFileSystem::open(const char* path, OpenMode mode) {
    if (!path || !*path) return nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::shared_ptr<Node> node = find(path);
    if (mode == OpenMode::kCreate) {
        // A fresh file: handles still open on the old one keep reading its bytes.
        node = makeNode();
        m_files[path] = node;
    } else if (!node) {
        return nullptr;
    }
    if (mode == OpenMode::kReadWrite) {
        std::lock_guard<std::mutex> nodeLock(node->mutex);
        if (node->view) {
            try {
                node->owned.assign(node->view, node->view + node->viewSize);
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
            node->view = nullptr;
            node->viewSize = 0;
        }
    }
    return std::make_unique<MemoryFile>(node, mode != OpenMode::kRead);
}

bool MemoryFileSystem::status(const char* path, FileStatus& status) {
    std::shared_ptr<Node> node;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!path) return false;
        node = find(path);
    }
    if (!node) return false;
    std::lock_guard<std::mutex> lock(node->mutex);
    node->fill(status);
    return true;
}

bool MemoryFileSystem::renameReplacing(const char* from, const char* to) {
    if (!from || !to || !*to) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_files.find(from);
    if (it == m_files.end()) return false;
    std::shared_ptr<Node> node = it->second;
    m_files.erase(it);
    m_files[to] = node;
    return true;
}

bool MemoryFileSystem::remove(const char* path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return path && m_files.erase(path) > 0;
}

bool MemoryFileSystem::listDirectory(const char* path, std::vector<std::string>& names) {
    names.clear();
    const std::string prefix = entryPrefix(path);
    std::set<std::string> found;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& file : m_files) {
        std::string name = file.first;
        std::replace(name.begin(), name.end(), '\\', '/');
        if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size()) continue;
        // A deeper file shows its first directory, once.
        found.insert(name.substr(prefix.size(), name.find('/', prefix.size()) - prefix.size()));
    }
    names.assign(found.begin(), found.end());
    // A directory exists only while it holds something.
    return !names.empty() || prefix.empty();
}

bool MemoryFileSystem::syncDirectory(const char*) { return true; }

bool MemoryFileSystem::copyFile(const char* from, const char* to, bool mayLink, bool& linked) {
    linked = false;
    if (!from || !to || !*to) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::shared_ptr<Node> source = find(from);
    if (!source || find(to)) return false;
    if (mayLink) {
        m_files[to] = source;
        linked = true;
        return true;
    }
    std::shared_ptr<Node> copy = makeNode();
    {
        std::lock_guard<std::mutex> nodeLock(source->mutex);
        try {
            copy->owned.assign(source->data(), source->data() + source->size());
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    m_files[to] = copy;
    return true;
}

}  // namespace qzOS
