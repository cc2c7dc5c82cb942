#pragma once
// The console's narrow view of the service manager: open the manager, open the service
// "OrvaneSRV", query it, ask it to start or stop. Each caller opens and closes its own
// connection, so the watchdog thread and the user-interface thread never share one.
#include <cstdint>
#include <memory>
#include <string>

namespace orvane::console {

inline constexpr const char* kServiceName = "OrvaneSRV";

// Current-state values of the service manager.
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceContinuePending = 5;
inline constexpr std::uint32_t kServicePausePending = 6;
inline constexpr std::uint32_t kServicePaused = 7;

enum class ServiceResult {
    Ok,
    AccessDenied,         // the caller may not do this
    ServiceDoesNotExist,  // OrvaneSRV is not installed
    ServiceNotActive,     // a control the stopped service cannot take
    Failed,               // anything else; see ErrorCode/ErrorText
};

// How a running service's status line starts when it runs no worker.
inline constexpr const char* kIdlePrefix = "idle: ";

// An open connection to the manager; destroying it closes the service and the manager.
class ServiceConnection {
public:
    virtual ~ServiceConnection() = default;
    // Opens the service (once per connection, before the other calls).
    virtual ServiceResult OpenService() = 0;
    virtual ServiceResult Query(std::uint32_t& state) = 0;
    // The status line the running service published ("idle: ..." when it runs no worker);
    // empty when there is none or it cannot be read.
    virtual std::string StatusText() { return {}; }
    // Whether this process may start and stop the service; the reason of a "no" in ErrorText.
    virtual ServiceResult MayControl(bool& allowed) {
        allowed = true;
        return ServiceResult::Ok;
    }
    // The request only; neither waits for the service to get there.
    virtual ServiceResult Start() = 0;
    virtual ServiceResult Stop() = 0;
    // The system error code and text of the last failure.
    virtual int ErrorCode() const = 0;
    virtual std::string ErrorText() const = 0;
};

class ServiceControl {
public:
    virtual ~ServiceControl() = default;
    // Connects to the manager. Null with result AccessDenied or Failed, the system error code in
    // `error` and a text in `errorText`. Must be callable from any thread.
    virtual std::unique_ptr<ServiceConnection> OpenManager(ServiceResult& result, int& error,
                                                           std::string& errorText) = 0;
};

// The machine's service manager (systemd).
std::unique_ptr<ServiceControl> MakeSystemServiceControl();

}  // namespace orvane::console
