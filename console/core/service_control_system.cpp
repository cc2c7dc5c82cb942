// The console's service control over the platform's service manager (systemd).
#include <memory>
#include <string>

#include "console/core/service_control.h"
#include "platform/service_manager.h"

namespace orvane::console {
namespace {

// The console logs "ErrorNum:%d" with the service manager's error numbers; administrators and
// support know them by these values (access denied, no such service, not active, exists).
int ErrorNumberOf(platform::ServiceResult r) {
    switch (r) {
        case platform::ServiceResult::Ok: return 0;
        case platform::ServiceResult::AccessDenied: return 5;
        case platform::ServiceResult::ServiceDoesNotExist: return 1060;
        case platform::ServiceResult::ServiceNotActive: return 1062;
        case platform::ServiceResult::ServiceExists: return 1073;
        case platform::ServiceResult::Failed: break;
    }
    return 1;
}

ServiceResult ResultOf(platform::ServiceResult r) {
    switch (r) {
        case platform::ServiceResult::Ok: return ServiceResult::Ok;
        case platform::ServiceResult::AccessDenied: return ServiceResult::AccessDenied;
        case platform::ServiceResult::ServiceDoesNotExist: return ServiceResult::ServiceDoesNotExist;
        case platform::ServiceResult::ServiceNotActive: return ServiceResult::ServiceNotActive;
        case platform::ServiceResult::ServiceExists:
        case platform::ServiceResult::Failed: break;
    }
    return ServiceResult::Failed;
}

class SystemServiceConnection final : public ServiceConnection {
public:
    explicit SystemServiceConnection(std::unique_ptr<platform::ServiceManager> manager)
        : manager_(std::move(manager)) {}

    ServiceResult OpenService() override { return Note(manager_->Exists(kServiceName)); }

    ServiceResult Query(std::uint32_t& state) override {
        platform::ServiceState s = platform::ServiceState::Stopped;
        const ServiceResult r = Note(manager_->Query(kServiceName, s));
        if (r == ServiceResult::Ok) state = static_cast<std::uint32_t>(s);
        return r;
    }

    std::string StatusText() override {
        std::string text;
        if (manager_->StatusText(kServiceName, text) != platform::ServiceResult::Ok) return {};
        return text;
    }

    ServiceResult MayControl(bool& allowed) override {
        const ServiceResult r = Note(manager_->MayControl(allowed));
        if (r == ServiceResult::Ok && !allowed) errorText_ = manager_->LastErrorText();
        return r;
    }

    ServiceResult Start() override { return Note(manager_->Start(kServiceName)); }
    ServiceResult Stop() override { return Note(manager_->Stop(kServiceName)); }
    int ErrorCode() const override { return errorCode_; }
    std::string ErrorText() const override { return errorText_; }

private:
    ServiceResult Note(platform::ServiceResult r) {
        if (r != platform::ServiceResult::Ok) {
            errorCode_ = ErrorNumberOf(r);
            errorText_ = manager_->LastErrorText();
        }
        return ResultOf(r);
    }

    std::unique_ptr<platform::ServiceManager> manager_;
    int errorCode_ = 0;
    std::string errorText_;
};

class SystemServiceControl final : public ServiceControl {
public:
    std::unique_ptr<ServiceConnection> OpenManager(ServiceResult& result, int& error,
                                                   std::string& errorText) override {
        platform::ServiceResult r = platform::ServiceResult::Failed;
        auto manager = platform::OpenServiceManager(platform::ServiceManagerAccess::Control, r, errorText);
        if (!manager) {
            result = r == platform::ServiceResult::AccessDenied ? ServiceResult::AccessDenied : ServiceResult::Failed;
            error = ErrorNumberOf(r);
            return nullptr;
        }
        result = ServiceResult::Ok;
        error = 0;
        return std::make_unique<SystemServiceConnection>(std::move(manager));
    }
};

}  // namespace

std::unique_ptr<ServiceControl> MakeSystemServiceControl() { return std::make_unique<SystemServiceControl>(); }

}  // namespace orvane::console
