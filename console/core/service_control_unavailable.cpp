// No service-manager layer in this build: service control reports so instead of pretending.
#include <cerrno>

#include "console/core/service_control.h"

namespace orvane::console {
namespace {

class UnavailableServiceControl final : public ServiceControl {
public:
    std::unique_ptr<ServiceConnection> OpenManager(ServiceResult& result, int& error,
                                                   std::string& errorText) override {
        result = ServiceResult::Failed;
        error = ENOSYS;
        errorText = "service control not available in this build";
        return nullptr;
    }
};

}  // namespace

std::unique_ptr<ServiceControl> MakeSystemServiceControl() { return std::make_unique<UnavailableServiceControl>(); }

}  // namespace orvane::console
