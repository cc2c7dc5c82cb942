// Quenby: the logon reporter run at every logon and logoff of a user on a client PC.
#include "platform/process.h"
#include "reporter/reporter.h"

int main(int argc, char** argv) {
    // Nothing of the folder it was started from is used.
    orvane::platform::LeaveCallerFolder();
    return orvane::RunReporter(argc, argv);
}
