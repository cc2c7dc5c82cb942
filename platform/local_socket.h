#pragma once
// Local (Unix domain) stream sockets for status requests between programs of one machine: a
// listener that hands each connection one answer, and a client that reads that answer with a
// deadline so a stuck peer can never hang the caller.
#include <cstddef>
#include <string>

namespace orvane::platform {

class LocalConnection {
public:
    LocalConnection() = default;
    explicit LocalConnection(int fd) : fd_(fd) {}
    ~LocalConnection();
    LocalConnection(LocalConnection&& other) noexcept;
    LocalConnection& operator=(LocalConnection&& other) noexcept;
    LocalConnection(const LocalConnection&) = delete;
    LocalConnection& operator=(const LocalConnection&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    // Writes all of `data`; false with the system error (ETIMEDOUT when the peer read nothing for
    // timeoutMs).
    bool SendAll(const void* data, std::size_t length, int timeoutMs, int& err);
    void Close();

private:
    int fd_ = -1;
};

class LocalListener {
public:
    LocalListener() = default;
    ~LocalListener();
    LocalListener(const LocalListener&) = delete;
    LocalListener& operator=(const LocalListener&) = delete;

    // Replaces whatever `path` holds with a listening socket of the given file mode (the folder
    // must exist); false with the system error (ENAMETOOLONG when the path does not fit).
    bool Listen(const std::string& path, unsigned mode, int& err);
    // Waits up to timeoutMs for one connection; false on timeout (err 0) or failure.
    bool Accept(int timeoutMs, LocalConnection& out, int& err);
    // Closes the socket and removes its path.
    void Close();
    const std::string& Path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

// Creates `folder` with `mode` when it is missing; false with the system error when it cannot
// be created or is not a folder.
bool EnsureSocketFolder(const std::string& folder, unsigned mode, int& err);

// True when `path` is a socket nobody listens on any more (connecting is refused): what a killed
// listener leaves behind. A live listener, even one that never accepts, and any other file: false.
bool IsAbandonedLocalSocket(const std::string& path);

enum class LocalReadResult {
    Read,      // the peer's whole answer, up to its end of stream
    NoSocket,  // nothing listens at the path (no file, or a socket nobody serves)
    Denied,    // the caller may not connect
    TimedOut,  // the peer sent nothing for timeoutMs before its answer was complete
    TooLong,   // the answer exceeded maxBytes
    Failed,    // any other system error (in err)
};

// Connects to `path` and reads until the peer closes; gives up when the peer sends nothing for
// timeoutMs (a long answer that keeps coming is read to its end).
LocalReadResult ReadLocalAnswer(const std::string& path, int timeoutMs, std::size_t maxBytes, std::string& out,
                                int& err);

}  // namespace orvane::platform
