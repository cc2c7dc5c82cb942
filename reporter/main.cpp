// Quenby: the logon reporter run at every logon and logoff of a user on a client PC.
#include "reporter/reporter.h"

int main(int argc, char** argv) { return orvane::RunReporter(argc, argv); }
