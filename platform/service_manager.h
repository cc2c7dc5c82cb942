#pragma once
// The service control manager: installing, removing, querying and controlling a service, and
// what a running service tells the manager about itself. The implementation talks to systemd
// (units "<name>.service", its D-Bus API, sd_notify).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvane::platform {

// The documented service states, with their documented values.
enum class ServiceState : std::uint32_t {
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4,
    ContinuePending = 5,
    PausePending = 6,
    Paused = 7,
};

// What a manager operation ended with (the documented last-error cases).
enum class ServiceResult {
    Ok,
    AccessDenied,          // the caller may not do this (polkit refused a non-root caller)
    ServiceExists,         // creating a service that is already registered
    ServiceDoesNotExist,   // no such service is registered
    ServiceNotActive,      // a control sent to a stopped service
    Failed,                // anything else; see ServiceManager::LastErrorText
};

struct ServiceDefinition {
    std::string name;          // "OrvaneSRV": the unit is "<name>.service"
    std::string displayName;   // the unit's Description
    std::string programPath;   // started as the service, without arguments
    bool autoStart = true;     // started with the machine (enabled for multi-user.target)
    // Comment lines written into the unit (how to pause and continue, for example).
    std::string notes;
    // The sandbox: the service sees the file system read-only except these folders (which must
    // exist), a root-only folder of this name under /run and one under /var/lib (both made by
    // the manager and kept), and keeps only these capabilities ("CAP_KILL", ...).
    std::vector<std::string> writableFolders;
    std::string runtimeFolderName;
    std::string stateFolderName;
    std::vector<std::string> capabilities;
};

class ServiceManager {
public:
    virtual ~ServiceManager() = default;

    // Registers the service (writes its unit, reloads the manager, enables it when autoStart);
    // it is not started. ServiceExists leaves an existing registration unchanged.
    virtual ServiceResult Create(const ServiceDefinition& def) = 0;
    // Ok when the service is registered.
    virtual ServiceResult Exists(const std::string& name) = 0;
    virtual ServiceResult Query(const std::string& name, ServiceState& state) = 0;
    // The status line the running service published last (empty when stopped).
    virtual ServiceResult StatusText(const std::string& name, std::string& text) = 0;
    // Start returns when the service reported itself running (or failed to start).
    virtual ServiceResult Start(const std::string& name) = 0;
    // Stop asks the service to stop and returns at once; Query then reports StopPending until
    // it has ended.
    virtual ServiceResult Stop(const std::string& name) = 0;
    virtual ServiceResult Pause(const std::string& name) = 0;
    virtual ServiceResult Continue(const std::string& name) = 0;
    // Unregisters the service: disabled, its unit removed, the manager reloaded. A running
    // service keeps running.
    virtual ServiceResult Delete(const std::string& name) = 0;

    // Whether the manager's policy lets this process start and stop services without asking
    // for a password. Ok with the answer; the reason of a "no" in LastErrorText.
    virtual ServiceResult MayControl(bool& allowed) {
        allowed = true;
        return ServiceResult::Ok;
    }

    // Text of the last failure (for logs and messages).
    virtual std::string LastErrorText() const = 0;
};

// The program path as the first word of a unit's ExecStart: quoted, with blanks, quotes,
// backslashes, "%" and "$" taken literally.
std::string QuoteExecPath(const std::string& path);

// The unit file Create writes for a definition.
std::string UnitText(const ServiceDefinition& def);

enum class ServiceManagerAccess {
    Control,  // query, start, stop, pause, continue (what the manager's policy allows the caller)
    Full,     // also create and delete services: writing unit files takes root
};

// Connects to the system's service manager. Null with the reason in result (AccessDenied or
// Failed) and a text in errorText.
std::unique_ptr<ServiceManager> OpenServiceManager(ServiceManagerAccess access, ServiceResult& result,
                                                   std::string& errorText);

// ---------------------------------------------------------------------------------------------
// Inside a running service.

// True when this process was started by the service manager as a service.
bool StartedAsService();

// Tells the manager the service's current state; false with the system error in err.
bool ReportServiceState(ServiceState state, int& err);
// Replaces the manager's status line of a running service (why it runs nothing, for example) and
// leaves its state as it is; false with the system error in err.
bool ReportServiceStatusText(const std::string& text, int& err);

// The signals by which the manager delivers pause and continue to the service (the unit
// documents them; systemd has no pause of its own).
int PauseSignal();
int ContinueSignal();

// The text a service publishes for a state ("RUNNING", "PAUSED", ...), and back.
const char* ServiceStateText(ServiceState state);
bool ServiceStateFromText(const std::string& text, ServiceState& state);

}  // namespace orvane::platform
