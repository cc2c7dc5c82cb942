#pragma once
// Hands decided reports to the logon/logoff decisions of the online-user table. The decisions are
// attached once the receiver's settings are read (they need the anti-replay window) and before its
// threads start; a report reaching an unattached handler is refused.
#include <string_view>

#include "worker/reports/client_report_receiver.h"
#include "worker/users/logon_decisions.h"

namespace orvane {

class LogonReportHandler final : public ReportHandler {
public:
    void Attach(LogonDecisions& decisions) { decisions_ = &decisions; }

    int UserLogon(std::string_view address, std::string_view userName, std::string_view domain,
                  std::string_view computer) override {
        return decisions_ ? decisions_->UserLogon(address, userName, domain, computer) : -1;
    }
    int UserLogoff(std::string_view address, std::string_view userName, std::string_view domain,
                   std::string_view computer) override {
        return decisions_ ? decisions_->UserLogoff(address, userName, domain, computer) : -1;
    }
    void LookAhead(std::string_view userName, bool logoff) override {
        if (decisions_) decisions_->LookAhead(userName, logoff);
    }

private:
    LogonDecisions* decisions_ = nullptr;
};

}  // namespace orvane
