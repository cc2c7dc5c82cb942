#pragma once
// orvanectl is a terminal tool: what the shared code logs as an error is shown on stderr.
#include "common/log.h"

namespace orvane::ctl {

class StderrLog final : public LogSink {
public:
    void Write(LogSeverity severity, std::string_view message) override;
    std::size_t MessageLimit() const override { return 4095; }
};

}  // namespace orvane::ctl
