#pragma once
// Shared by the console tests: a program folder with config.ini and the delivered language.ini,
// recorded message boxes, and a service manager whose answers the test sets.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/log.h"
#include "console/core/console_core.h"
#include "console/core/language.h"
#include "tests/unit/test_util.h"

namespace orvane::console::testing {

inline std::string DeliveredLanguageIni() { return orvane::testing::ReadFile(ORVANE_SOURCE_DIR "/packaging/language.ini"); }
inline std::string DeliveredConfigIni() { return orvane::testing::ReadFile(ORVANE_SOURCE_DIR "/packaging/config.ini"); }

// A stand-in protection: "P" + the clear text as hex.
inline int FakeProtect(const std::string& clear, std::string& out) {
    if (clear.empty()) return -1;
    static const char* digits = "0123456789ABCDEF";
    out = "50";
    for (unsigned char c : clear) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return 0;
}
inline void FakeUnprotect(const std::string&, std::string&, std::size_t) {}

class RecordedMessages final : public MessageSink {
public:
    void ShowMessage(const std::string& text) override { shown.push_back(text); }
    bool AskYesNo(const std::string& caption, const std::string& text) override {
        asked.push_back(caption + "|" + text);
        return answer;
    }
    std::vector<std::string> shown;
    std::vector<std::string> asked;
    bool answer = true;
};

// Answers as the test says; counts the requests. Safe to use from the watchdog thread.
class FakeServiceControl final : public ServiceControl {
public:
    std::atomic<ServiceResult> managerResult{ServiceResult::Ok};
    std::atomic<ServiceResult> openResult{ServiceResult::Ok};
    std::atomic<ServiceResult> queryResult{ServiceResult::Ok};
    std::atomic<ServiceResult> startResult{ServiceResult::Ok};
    std::atomic<ServiceResult> stopResult{ServiceResult::Ok};
    std::atomic<std::uint32_t> state{kServiceStopped};
    std::atomic<int> managerOpens{0}, starts{0}, stops{0};
    // A start systemd keeps pending: while held, Start waits for ReleaseStart, at most `ms`
    // (so a caller that waits with it ends the test instead of hanging it); startTimedOut then.
    void HoldStart(unsigned ms) {
        std::lock_guard<std::mutex> guard(holdLock_);
        holdMs_ = ms;
    }
    void ReleaseStart() {
        {
            std::lock_guard<std::mutex> guard(holdLock_);
            holdMs_ = 0;
        }
        released_.notify_all();
    }
    std::atomic<bool> startTimedOut{false};
    void SetStatusText(std::string text) {
        std::lock_guard<std::mutex> guard(statusLock_);
        statusText_ = std::move(text);
    }

    std::unique_ptr<ServiceConnection> OpenManager(ServiceResult& result, int& error, std::string& text) override {
        ++managerOpens;
        result = managerResult;
        if (result != ServiceResult::Ok) {
            error = 5;
            text = "refused by the fake";
            return nullptr;
        }
        return std::make_unique<Connection>(*this);
    }

private:
    class Connection final : public ServiceConnection {
    public:
        explicit Connection(FakeServiceControl& f) : f_(f) {}
        ServiceResult OpenService() override { return f_.openResult; }
        ServiceResult Query(std::uint32_t& s) override {
            s = f_.state;
            return f_.queryResult;
        }
        std::string StatusText() override {
            std::lock_guard<std::mutex> guard(f_.statusLock_);
            return f_.statusText_;
        }
        ServiceResult Start() override {
            ++f_.starts;
            {
                std::unique_lock<std::mutex> lock(f_.holdLock_);
                if (f_.holdMs_ != 0 &&
                    !f_.released_.wait_for(lock, std::chrono::milliseconds(f_.holdMs_), [this] { return f_.holdMs_ == 0; }))
                    f_.startTimedOut = true;
            }
            ServiceResult r = f_.startResult;
            if (r == ServiceResult::Ok) f_.state = kServiceRunning;
            return r;
        }
        ServiceResult Stop() override {
            ++f_.stops;
            ServiceResult r = f_.stopResult;
            if (r == ServiceResult::Ok) f_.state = kServiceStopped;
            return r;
        }
        int ErrorCode() const override { return 1234; }
        std::string ErrorText() const override { return "fake failure"; }

    private:
        FakeServiceControl& f_;
    };
    std::mutex statusLock_;
    std::string statusText_;
    std::mutex holdLock_;
    std::condition_variable released_;
    unsigned holdMs_ = 0;
};

// A program folder: the delivered config.ini with the given values set, and language.ini.
class ConsoleFolder {
public:
    ConsoleFolder() {
        orvane::testing::WriteFile(dir_ / "config.ini", DeliveredConfigIni());
        orvane::testing::WriteFile(dir_ / "language.ini", DeliveredLanguageIni());
    }
    const std::string& path() const { return dir_.path(); }
    std::string ConfigPath() const { return dir_ / "config.ini"; }
    void Set(const std::string& section, const std::string& key, const std::string& value) {
        WriteProfileString(ConfigPath(), section, key.c_str(), value.c_str());
    }
    void SetValue(const std::string& section, const std::string& value) { Set(section, "Value", value); }
    void Remove(const std::string& section) { WriteProfileString(ConfigPath(), section, nullptr, nullptr); }
    std::string Value(const std::string& section, const std::string& key = "Value") const {
        return ReadProfileString(ConfigPath(), section, key, "<missing>", 4096);
    }
    bool HasSection(const std::string& section) const { return !ReadProfileKeyNames(ConfigPath(), section).empty(); }
    void AddServers(unsigned n) {
        for (unsigned i = 0; i < n; ++i) {
            std::string s = "AdServer" + std::to_string(i);
            Set(s, "Ip", "10.0.0." + std::to_string(i + 1));
            Set(s, "UserName", "CORP\\svc");
            Set(s, "Password", "50AA");
            Set(s, "FilterGroups", "Old");
        }
        SetValue("AdServerNum", std::to_string(n));
    }
    void AddDevices(unsigned n) {
        for (unsigned i = 0; i < n; ++i) {
            std::string s = "Firewall" + std::to_string(i);
            Set(s, "Ip", "10.1.0." + std::to_string(i + 1));
            Set(s, "Port", "6001");
        }
        SetValue("FirewallNum", std::to_string(n));
    }

private:
    orvane::testing::TempDir dir_;
};

// The common frame of a core test: folder, texts, fakes, captured log, fake protection.
class ConsoleCoreFixture : public ::testing::Test {
protected:
    void SetUp() override {
        previousSink_ = SetLogSink(&log_);
        previousProtection_ = SetProtectionFunctions({&FakeProtect, &FakeUnprotect});
        ASSERT_TRUE(texts_.Load(folder_.path() + "/language.ini", kEnglish));
    }
    void TearDown() override {
        core_.reset();
        SetProtectionFunctions(previousProtection_);
        SetLogSink(previousSink_);
    }
    // A core over the folder as it is now, config.ini loaded.
    ConsoleCore& Core() {
        core_ = std::make_unique<ConsoleCore>(folder_.path(), texts_, service_, messages_);
        core_->SetUdpTableSource([this](std::string& t, int&) {
            t = udpTable_;
            return true;
        });
        EXPECT_TRUE(core_->Load());
        return *core_;
    }
    const std::string& T(TextId id) const { return texts_.Text(id); }
    std::string LastShown() const { return messages_.shown.empty() ? std::string() : messages_.shown.back(); }

    ConsoleFolder folder_;
    LanguageTable texts_;
    FakeServiceControl service_;
    RecordedMessages messages_;
    MemoryLog log_;
    std::string udpTable_ = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n";
    std::unique_ptr<ConsoleCore> core_;
    LogSink* previousSink_ = nullptr;
    ProtectionFunctions previousProtection_{};
};

}  // namespace orvane::console::testing
