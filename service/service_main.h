#pragma once
// OrvaneSRV: "-install" and "-remove" from a shell; run by the service manager, it keeps the
// workers running.
namespace orvane {

int ServiceMain(int argc, char** argv);

}  // namespace orvane
