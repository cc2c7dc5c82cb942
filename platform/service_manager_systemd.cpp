#include "platform/service_manager.h"

#include <fcntl.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/clock.h"

namespace orvane::platform {
namespace {

constexpr const char* kDest = "org.freedesktop.systemd1";
constexpr const char* kPath = "/org/freedesktop/systemd1";
constexpr const char* kManager = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitIface = "org.freedesktop.systemd1.Unit";
constexpr const char* kServiceIface = "org.freedesktop.systemd1.Service";
constexpr const char* kUnitDir = "/etc/systemd/system";
// How long Start waits for a starting service to report itself running.
constexpr unsigned kStartWaitMs = 90000;

std::string UnitName(const std::string& name) { return name + ".service"; }

}  // namespace

namespace {

// A path as one quoted word of a unit file; `dollars` where the setting expands variables.
std::string QuoteUnitPath(const std::string& path, bool dollars) {
    std::string out = "\"";
    for (char c : path) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '%': out += "%%"; break;
            case '$': out += dollars ? "$$" : "$"; break;
            default: out += c;
        }
    }
    return out + "\"";
}

}  // namespace

std::string QuoteExecPath(const std::string& path) { return QuoteUnitPath(path, true); }

std::string UnitText(const ServiceDefinition& def) {
    std::string text = "# Written by " + def.programPath + " -install; removed by -remove.\n";
    text += def.notes;
    text += "[Unit]\nDescription=" + def.displayName + "\n\n[Service]\nType=notify\nNotifyAccess=main\n";
    text += "ExecStart=" + QuoteExecPath(def.programPath) + "\n";
    text +=
        "\n# Sandbox. To loosen it, override single settings in a drop-in (systemctl edit " + def.name + ").\n"
        "NoNewPrivileges=yes\nPrivateTmp=yes\nPrivateDevices=yes\nProtectSystem=strict\n";
    if (!def.writableFolders.empty()) {
        text += "ReadWritePaths=";
        for (std::size_t i = 0; i < def.writableFolders.size(); ++i)
            text += (i ? " " : "") + QuoteUnitPath(def.writableFolders[i], false);
        text += "\n";
    }
    if (!def.runtimeFolderName.empty())
        text += "RuntimeDirectory=" + def.runtimeFolderName +
                "\nRuntimeDirectoryMode=0700\nRuntimeDirectoryPreserve=yes\n";
    if (!def.stateFolderName.empty())
        text += "StateDirectory=" + def.stateFolderName + "\nStateDirectoryMode=0700\n";
    text += "CapabilityBoundingSet=";
    for (std::size_t i = 0; i < def.capabilities.size(); ++i) text += (i ? " " : "") + def.capabilities[i];
    text +=
        "\nProtectHome=yes\nProtectKernelTunables=yes\nProtectKernelModules=yes\nProtectKernelLogs=yes\n"
        "ProtectControlGroups=yes\nProtectClock=yes\nProtectHostname=yes\nPrivateMounts=yes\n"
        "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK\nRestrictNamespaces=yes\n"
        "RestrictRealtime=yes\nRestrictSUIDSGID=yes\nLockPersonality=yes\nMemoryDenyWriteExecute=yes\n"
        "SystemCallArchitectures=native\nSystemCallFilter=@system-service\nSystemCallFilter=~@privileged\n"
        "SystemCallErrorNumber=EPERM\nUMask=0027\n";
    text += "\n[Install]\nWantedBy=multi-user.target\n";
    return text;
}

namespace {

struct BusError {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&e); }
};

struct Reply {
    sd_bus_message* m = nullptr;
    ~Reply() { sd_bus_message_unref(m); }
};

class SystemdServiceManager final : public ServiceManager {
public:
    explicit SystemdServiceManager(sd_bus* bus) : bus_(bus) {}
    ~SystemdServiceManager() override { sd_bus_flush_close_unref(bus_); }

    ServiceResult Create(const ServiceDefinition& def) override {
        const std::string unit = UnitName(def.name);
        const std::string file = std::string(kUnitDir) + "/" + unit;
        if (::access(file.c_str(), F_OK) == 0) return Fail(ServiceResult::ServiceExists, "unit file exists");
        ServiceResult r = Exists(def.name);
        if (r == ServiceResult::Ok) return Fail(ServiceResult::ServiceExists, "unit exists");
        if (r != ServiceResult::ServiceDoesNotExist) return r;

        if (!WriteFileAtomic(file, UnitText(def)))
            return Fail(errno == EACCES || errno == EPERM ? ServiceResult::AccessDenied : ServiceResult::Failed,
                        std::string("cannot write ") + file + ": " + std::strerror(errno));
        r = Reload();
        if (r == ServiceResult::Ok && def.autoStart) r = Enable(unit);
        if (r != ServiceResult::Ok) {
            const std::string why = error_;
            ::unlink(file.c_str());
            Reload();
            error_ = why;
        }
        return r;
    }

    ServiceResult Exists(const std::string& name) override {
        std::string path, load;
        ServiceResult r = UnitPath(name, path);
        if (r != ServiceResult::Ok) return r;
        r = GetString(path, kUnitIface, "LoadState", load);
        if (r != ServiceResult::Ok) return r;
        if (load == "not-found") return Fail(ServiceResult::ServiceDoesNotExist, "unit not found");
        return ServiceResult::Ok;
    }

    ServiceResult Query(const std::string& name, ServiceState& state) override {
        std::string path, load, active;
        ServiceResult r = UnitPath(name, path);
        if (r == ServiceResult::Ok) r = GetString(path, kUnitIface, "LoadState", load);
        if (r != ServiceResult::Ok) return r;
        if (load == "not-found") return Fail(ServiceResult::ServiceDoesNotExist, "unit not found");
        r = GetString(path, kUnitIface, "ActiveState", active);
        if (r != ServiceResult::Ok) return r;
        if (active == "inactive" || active == "failed") {
            // A start asked for but not yet taken up is pending already.
            state = PendingJobType(path) == "start" ? ServiceState::StartPending : ServiceState::Stopped;
        } else if (active == "activating") {
            state = ServiceState::StartPending;
        } else if (active == "deactivating") {
            state = ServiceState::StopPending;
        } else {
            std::string status;
            r = GetString(path, kServiceIface, "StatusText", status);
            if (r != ServiceResult::Ok) return r;
            ServiceState reported = ServiceState::Running;
            ServiceStateFromText(status, reported);
            // A stop asked for but not yet taken up is pending, like one the service reported.
            if (reported == ServiceState::Stopped || PendingJobType(path) == "stop")
                state = ServiceState::StopPending;
            else
                state = reported == ServiceState::Paused ? ServiceState::Paused : ServiceState::Running;
        }
        return ServiceResult::Ok;
    }

    ServiceResult StatusText(const std::string& name, std::string& text) override {
        std::string path;
        ServiceResult r = UnitPath(name, path);
        if (r == ServiceResult::Ok) r = GetString(path, kServiceIface, "StatusText", text);
        return r;
    }

    ServiceResult Start(const std::string& name) override {
        ServiceResult r = Exists(name);
        if (r != ServiceResult::Ok) return r;
        r = Call("StartUnit", "ss", UnitName(name).c_str(), "replace");
        if (r != ServiceResult::Ok) return r;
        ServiceState state = ServiceState::StartPending;
        for (unsigned waited = 0; waited < kStartWaitMs; waited += 20) {
            r = Query(name, state);
            if (r != ServiceResult::Ok) return r;
            if (state != ServiceState::StartPending) break;
            GetClock().SleepMs(20);
        }
        if (state == ServiceState::Stopped) return Fail(ServiceResult::Failed, "the service ended while starting");
        return ServiceResult::Ok;
    }

    ServiceResult Stop(const std::string& name) override {
        ServiceState state;
        ServiceResult r = Query(name, state);
        if (r != ServiceResult::Ok) return r;
        if (state == ServiceState::Stopped) return Fail(ServiceResult::ServiceNotActive, "the service is not running");
        return Call("StopUnit", "ss", UnitName(name).c_str(), "replace");
    }

    ServiceResult Pause(const std::string& name) override { return Signal(name, PauseSignal()); }
    ServiceResult Continue(const std::string& name) override { return Signal(name, ContinueSignal()); }

    ServiceResult Delete(const std::string& name) override {
        const std::string unit = UnitName(name);
        const std::string file = std::string(kUnitDir) + "/" + unit;
        ServiceResult r = Exists(name);
        if (r != ServiceResult::Ok && !(r == ServiceResult::ServiceDoesNotExist && ::access(file.c_str(), F_OK) == 0))
            return r;
        r = Disable(unit);
        if (r != ServiceResult::Ok) return r;
        if (::unlink(file.c_str()) != 0 && errno != ENOENT)
            return Fail(errno == EACCES || errno == EPERM ? ServiceResult::AccessDenied : ServiceResult::Failed,
                        std::string("cannot delete ") + file + ": " + std::strerror(errno));
        r = Reload();
        if (r != ServiceResult::Ok) return r;
        // A unit that failed earlier would otherwise linger in the manager's list.
        Call("ResetFailedUnit", "s", unit.c_str());
        return ServiceResult::Ok;
    }

    ServiceResult MayControl(bool& allowed) override {
        allowed = ::geteuid() == 0;
        if (allowed) return ServiceResult::Ok;
        // Everyone else is judged by polkit: ask it for this connection, without a password prompt.
        const char* self = nullptr;
        if (sd_bus_get_unique_name(bus_, &self) < 0 || !self)
            return Fail(ServiceResult::Failed, "cannot learn this connection's bus name");
        BusError e;
        Reply reply;
        int rc = sd_bus_call_method(bus_, "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
                                    "org.freedesktop.PolicyKit1.Authority", "CheckAuthorization", &e.e, &reply.m,
                                    "(sa{sv})sa{ss}us", "system-bus-name", 1, "name", "s", self,
                                    "org.freedesktop.systemd1.manage-units", 0, 0u, "");
        if (rc < 0) {
            // Without polkit systemd lets only root control services.
            error_ = std::string("polkit did not answer (") + (e.e.message ? e.e.message : std::strerror(-rc)) +
                     "); only root may start or stop services";
            return ServiceResult::Ok;
        }
        int authorized = 0, challenge = 0;
        if (sd_bus_message_enter_container(reply.m, 'r', "bba{ss}") < 0 ||
            sd_bus_message_read(reply.m, "bb", &authorized, &challenge) < 0)
            return Fail(ServiceResult::Failed, "unreadable answer from polkit");
        allowed = authorized != 0;
        if (!allowed)
            error_ = challenge ? "polkit asks for an administrator's password to start or stop services"
                               : "polkit does not allow this user to start or stop services";
        return ServiceResult::Ok;
    }

    std::string LastErrorText() const override { return error_; }

private:
    ServiceResult Fail(ServiceResult r, std::string text) {
        error_ = std::move(text);
        return r;
    }

    ServiceResult FromBus(int rc, const sd_bus_error& e) {
        error_ = e.message ? e.message : std::strerror(-rc);
        // The error's name says who refused and why (polkit's InteractiveAuthorizationRequired, ...).
        if (e.name) error_ = std::string(e.name) + ": " + error_;
        if (e.name) {
            std::string_view n = e.name;
            if (n == SD_BUS_ERROR_ACCESS_DENIED || n == SD_BUS_ERROR_INTERACTIVE_AUTHORIZATION_REQUIRED ||
                n == "org.freedesktop.systemd1.InteractiveAuthorizationRequired")
                return ServiceResult::AccessDenied;
            if (n == "org.freedesktop.systemd1.NoSuchUnit" || n == "org.freedesktop.systemd1.LoadFailed")
                return ServiceResult::ServiceDoesNotExist;
            if (n == "org.freedesktop.systemd1.NoSuchProcess") return ServiceResult::ServiceNotActive;
        }
        if (rc == -EACCES || rc == -EPERM) return ServiceResult::AccessDenied;
        return ServiceResult::Failed;
    }

    template <typename... Args>
    ServiceResult Call(const char* method, const char* types, Args... args) {
        BusError e;
        Reply reply;
        int rc = sd_bus_call_method(bus_, kDest, kPath, kManager, method, &e.e, &reply.m, types, args...);
        return rc < 0 ? FromBus(rc, e.e) : ServiceResult::Ok;
    }

    ServiceResult Reload() { return Call("Reload", ""); }

    ServiceResult Enable(const std::string& unit) {
        BusError e;
        Reply reply;
        int rc = sd_bus_call_method(bus_, kDest, kPath, kManager, "EnableUnitFiles", &e.e, &reply.m, "asbb", 1,
                                    unit.c_str(), 0, 0);
        if (rc < 0) return FromBus(rc, e.e);
        return Reload();
    }

    ServiceResult Disable(const std::string& unit) {
        BusError e;
        Reply reply;
        int rc = sd_bus_call_method(bus_, kDest, kPath, kManager, "DisableUnitFiles", &e.e, &reply.m, "asb", 1,
                                    unit.c_str(), 0);
        return rc < 0 ? FromBus(rc, e.e) : ServiceResult::Ok;
    }

    ServiceResult UnitPath(const std::string& name, std::string& path) {
        BusError e;
        Reply reply;
        int rc = sd_bus_call_method(bus_, kDest, kPath, kManager, "LoadUnit", &e.e, &reply.m, "s",
                                    UnitName(name).c_str());
        if (rc < 0) return FromBus(rc, e.e);
        const char* p = nullptr;
        rc = sd_bus_message_read(reply.m, "o", &p);
        if (rc < 0 || !p) return Fail(ServiceResult::Failed, "unexpected reply to LoadUnit");
        path = p;
        return ServiceResult::Ok;
    }

    ServiceResult GetString(const std::string& path, const char* iface, const char* property, std::string& out) {
        BusError e;
        char* value = nullptr;
        int rc = sd_bus_get_property_string(bus_, kDest, path.c_str(), iface, property, &e.e, &value);
        if (rc < 0) return FromBus(rc, e.e);
        out = value ? value : "";
        std::free(value);
        return ServiceResult::Ok;
    }

    // The type of the unit's queued job ("start", "stop", ...), empty when none.
    std::string PendingJobType(const std::string& unitPath) {
        BusError e;
        Reply reply;
        if (sd_bus_get_property(bus_, kDest, unitPath.c_str(), kUnitIface, "Job", &e.e, &reply.m, "(uo)") < 0)
            return {};
        std::uint32_t id = 0;
        const char* jobPath = nullptr;
        if (sd_bus_message_read(reply.m, "(uo)", &id, &jobPath) < 0 || id == 0 || !jobPath) return {};
        std::string type;
        if (GetString(jobPath, "org.freedesktop.systemd1.Job", "JobType", type) != ServiceResult::Ok) return {};
        return type;
    }

    ServiceResult Signal(const std::string& name, int sig) {
        ServiceState state;
        ServiceResult r = Query(name, state);
        if (r != ServiceResult::Ok) return r;
        if (state == ServiceState::Stopped) return Fail(ServiceResult::ServiceNotActive, "the service is not running");
        // Only the service's own process: its workers keep their default signal handling.
        return Call("KillUnit", "ssi", UnitName(name).c_str(), "main", sig);
    }

    static bool WriteFileAtomic(const std::string& path, const std::string& text) {
        const std::string tmp = path + ".tmp";
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        std::size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                int saved = errno;
                ::close(fd);
                ::unlink(tmp.c_str());
                errno = saved;
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
            int saved = errno;
            ::unlink(tmp.c_str());
            errno = saved;
            return false;
        }
        return true;
    }

    sd_bus* bus_;
    std::string error_;
};

}  // namespace

std::unique_ptr<ServiceManager> OpenServiceManager(ServiceManagerAccess access, ServiceResult& result,
                                                   std::string& errorText) {
    if (access == ServiceManagerAccess::Full && ::geteuid() != 0) {
        result = ServiceResult::AccessDenied;
        errorText = "installing or removing a service needs root";
        return nullptr;
    }
    sd_bus* bus = nullptr;
    int rc = -ENOENT;
    // As root, systemd's private socket works with or without a bus daemon (and is faster).
    if (::geteuid() == 0 && ::access("/run/systemd/private", F_OK) == 0) {
        rc = sd_bus_new(&bus);
        if (rc >= 0) rc = sd_bus_set_address(bus, "unix:path=/run/systemd/private");
        if (rc >= 0) rc = sd_bus_start(bus);
        if (rc < 0) {
            sd_bus_unref(bus);
            bus = nullptr;
        }
    }
    if (rc < 0) rc = sd_bus_open_system(&bus);
    if (rc < 0) {
        result = rc == -EACCES || rc == -EPERM ? ServiceResult::AccessDenied : ServiceResult::Failed;
        errorText = std::string("cannot connect to systemd: ") + std::strerror(-rc);
        return nullptr;
    }
    result = ServiceResult::Ok;
    return std::make_unique<SystemdServiceManager>(bus);
}

bool StartedAsService() {
    const char* notify = std::getenv("NOTIFY_SOCKET");
    const char* invocation = std::getenv("INVOCATION_ID");
    return notify && *notify && invocation && *invocation;
}

namespace {
bool Notify(const char* assignments, int& err) {
    int rc = sd_notify(0, assignments);
    if (rc > 0) {
        err = 0;
        return true;
    }
    err = rc < 0 ? -rc : ENOTCONN;
    return false;
}
}  // namespace

bool ReportServiceState(ServiceState state, int& err) {
    char text[96];
    const char* extra = state == ServiceState::Running   ? "READY=1\n"
                        : state == ServiceState::Stopped ? "STOPPING=1\n"
                                                         : "";
    std::snprintf(text, sizeof text, "%sSTATUS=%s", extra, ServiceStateText(state));
    return Notify(text, err);
}

bool ReportServiceStatusText(const std::string& text, int& err) {
    // One line: a newline would start another assignment.
    const std::string line = "STATUS=" + text.substr(0, text.find('\n'));
    return Notify(line.c_str(), err);
}

int PauseSignal() { return SIGUSR1; }
int ContinueSignal() { return SIGUSR2; }

namespace {
struct StateName {
    ServiceState state;
    const char* text;
};
constexpr StateName kStateNames[] = {
    {ServiceState::Stopped, "STOPPED"},           {ServiceState::StartPending, "START_PENDING"},
    {ServiceState::StopPending, "STOP_PENDING"},  {ServiceState::Running, "RUNNING"},
    {ServiceState::ContinuePending, "CONTINUE_PENDING"}, {ServiceState::PausePending, "PAUSE_PENDING"},
    {ServiceState::Paused, "PAUSED"},
};
}  // namespace

const char* ServiceStateText(ServiceState state) {
    for (const auto& n : kStateNames)
        if (n.state == state) return n.text;
    return "UNKNOWN";
}

bool ServiceStateFromText(const std::string& text, ServiceState& state) {
    for (const auto& n : kStateNames)
        if (text == n.text) {
            state = n.state;
            return true;
        }
    return false;
}

}  // namespace orvane::platform
