#pragma once
#include <atomic>
#include <string>

namespace orvane {

constexpr long long kOverdueLogAge = 604800;  // 7 days

// "<Program Files>/Orvane/Orvane/log".
std::string OverdueLogFolder();

// One pass: deletes every file (not folder) of `folder` created at least 7 days before the
// clock's local now; files from the future are kept. Returns the number deleted.
int CleanOverdueLogPass(const std::string& folder);

// The thread body: a pass about once a minute during even local hours.
void CleanOverdueLog(const std::atomic<bool>* stop = nullptr);

}  // namespace orvane
