#include "worker/status/status_publisher.h"

#include <cerrno>

#include "common/log.h"

namespace orvane {
namespace {

constexpr unsigned kRunFolderMode = 0750;
constexpr unsigned kSocketMode = 0660;
// Long enough for a large table over a slow reader, short enough that a client that never reads
// cannot keep others waiting for long.
constexpr int kSendTimeoutMs = 2000;
constexpr int kAcceptPollMs = 200;

}  // namespace

bool StatusPublisher::Listen(const std::string& programFolder, const std::string& serverArgument) {
    int err = 0;
    const std::string folder = StatusSocketFolder(programFolder);
    if (!platform::EnsureSocketFolder(folder, kRunFolderMode, err)) {
        LogError("[ERR]Create status folder %s fail! ErrorCode:%ld", folder.c_str(), static_cast<long>(err));
        return false;
    }
    const std::string path = StatusSocketPath(programFolder, serverArgument);
    if (!listener_.Listen(path, kSocketMode, err)) {
        LogError("[ERR]Create status socket %s fail! ErrorCode:%ld", path.c_str(), static_cast<long>(err));
        return false;
    }
    return true;
}

void StatusPublisher::ServeOnce(int timeoutMs) {
    platform::LocalConnection connection;
    int err = 0;
    if (!listener_.Accept(timeoutMs, connection, err)) return;
    const std::string text = SnapshotToJson(source_());
    if (!connection.SendAll(text.data(), text.size(), kSendTimeoutMs, err)) {
        LogError("[ERR]Send status snapshot fail! ErrorCode:%ld", static_cast<long>(err));
        return;
    }
    served_.fetch_add(1, std::memory_order_relaxed);
}

bool StatusPublisher::Start(StoppableThread& thread) {
    int err = 0;
    if (thread.Start(
            [this](const std::atomic<bool>& stop) {
                while (!stop.load(std::memory_order_relaxed)) ServeOnce(kAcceptPollMs);
            },
            err))
        return true;
    errno = err;
    return false;
}

}  // namespace orvane
