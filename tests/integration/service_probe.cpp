// Drives the service-manager layer from a shell (service integration tests): one operation on one
// service, printing the result and, for a query, the state.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/service_manager.h"

using namespace orvane::platform;

namespace {

const char* ResultText(ServiceResult r) {
    switch (r) {
        case ServiceResult::Ok: return "ok";
        case ServiceResult::AccessDenied: return "access-denied";
        case ServiceResult::ServiceExists: return "exists";
        case ServiceResult::ServiceDoesNotExist: return "does-not-exist";
        case ServiceResult::ServiceNotActive: return "not-active";
        case ServiceResult::Failed: return "failed";
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: orvane_service_probe query|start|stop|pause|continue|exists NAME\n");
        return 2;
    }
    ServiceResult r;
    std::string why;
    auto scm = OpenServiceManager(ServiceManagerAccess::Control, r, why);
    if (!scm) {
        std::printf("open %s\n", ResultText(r));
        return 1;
    }
    const std::string op = argv[1], name = argv[2];
    ServiceState state = ServiceState::Stopped;
    if (op == "query")
        r = scm->Query(name, state);
    else if (op == "start")
        r = scm->Start(name);
    else if (op == "stop")
        r = scm->Stop(name);
    else if (op == "pause")
        r = scm->Pause(name);
    else if (op == "continue")
        r = scm->Continue(name);
    else if (op == "exists")
        r = scm->Exists(name);
    else {
        std::fprintf(stderr, "unknown operation %s\n", op.c_str());
        return 2;
    }
    if (r == ServiceResult::Ok && op == "query")
        std::printf("%s\n", ServiceStateText(state));
    else
        std::printf("%s\n", ResultText(r));
    if (r != ServiceResult::Ok) std::fprintf(stderr, "%s\n", scm->LastErrorText().c_str());
    return r == ServiceResult::Ok ? 0 : 1;
}
