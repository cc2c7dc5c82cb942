#include "console/core/console_core.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <span>

#include "common/log.h"
#include "common/text.h"
#include "console/core/key_strength.h"
#include "console/core/secret_protection.h"
#include "platform/process.h"

namespace orvane::console {

// ---------------------------------------------------------------------------------------------
// Fields.

namespace {

bool AllDigits(std::string_view text) {
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

std::size_t FieldIndex(Field f) { return static_cast<std::size_t>(f); }

}  // namespace

std::size_t FieldLimit(Field field) {
    switch (field) {
        case Field::ClientKey:
        case Field::ClientKeyConfirm:
            return kClientShareKeyMaxLength;
        case Field::FirewallKey:
            return kFirewallShareKeyMaxLength;
        default:
            return 0;
    }
}

InputCheck CheckFieldInput(Field field, std::string_view text) {
    switch (field) {
        case Field::Port:
        case Field::QueryTime:
        case Field::AntiReplayTime:
            return AllDigits(text) ? InputCheck::Ok : InputCheck::NotDigits;
        default:
            return Utf16Length(text) <= FieldLimit(field) ? InputCheck::Ok : InputCheck::TooLong;
    }
}

bool FieldShownInMode(Field field, std::uint32_t mode) {
    switch (field) {
        case Field::QueryTime:
            return mode == 1;
        case Field::FirewallKey:
            return true;
        default:
            return mode == 0;
    }
}

TextId ModeGroupCaption(std::uint32_t mode) { return mode == 1 ? TextId::Agent_QueryServerLog : TextId::Agent_RecvPCInfo; }

long LeadingNumber(std::string_view text) {
    std::string copy(text);  // strtol needs a terminated text
    errno = 0;
    long v = std::strtol(copy.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return v;
}

// ---------------------------------------------------------------------------------------------
// Service state.

ControlEnabling EnablingFor(std::uint32_t serviceState) {
    bool stopped = serviceState == kServiceStopped;
    return {stopped, stopped, !stopped};
}

TrayMenuEnabling TrayMenuFor(std::uint32_t serviceState) {
    return {serviceState != kServiceRunning, serviceState != kServiceStopped};
}

std::array<TrayMenuItem, 8> TrayMenuItems(std::uint32_t serviceState) {
    TrayMenuEnabling e = TrayMenuFor(serviceState);
    return {{{kCmdShowWindow, TextId::Agent_ShowWindowMenu, true},
             {},
             {kCmdStartService, TextId::Agent_StartService, e.startService},
             {kCmdStopService, TextId::Agent_StopService, e.stopService},
             {},
             {kCmdOptions, TextId::Menu_Option, true},
             {kCmdAbout, TextId::Agent_AboutMenu, true},
             {kCmdExit, TextId::Agent_ExitMenu, true}}};
}

TextId RootNodeText(std::uint32_t serviceState) {
    return serviceState == kServiceRunning ? TextId::Agent_Running : TextId::Agent_Stopped;
}

// ---------------------------------------------------------------------------------------------
// Dialogs.

bool ParseIpv4Fields(std::string_view dotted, Ipv4Fields& out) {
    out = {};
    std::size_t field = 0;
    std::size_t start = 0;
    for (;;) {
        std::size_t dot = dotted.find('.', start);
        std::string_view part = dotted.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (field >= 4) return false;
        if (!part.empty()) {
            if (part.size() > 3 || !AllDigits(part)) return false;
            int v = static_cast<int>(LeadingNumber(part));
            if (v > 255) return false;
            out.value[field] = v;
            out.filled[field] = true;
        }
        ++field;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return true;
}

std::string Ipv4Text(const Ipv4Fields& f) {
    std::string out;
    for (std::size_t i = 0; i < 4; ++i) {
        if (i) out += '.';
        out += std::to_string(f.filled[i] ? f.value[i] : 0);
    }
    return out;
}

namespace {

// The two address checks both dialogs share: fewer than four filled fields, then 0.0.0.0 or
// 255.255.255.255.
std::optional<bool> AddressEmptyOrInvalid(const Ipv4Fields& ip) {
    for (bool filled : ip.filled)
        if (!filled) return true;
    bool allZero = true, allOnes = true;
    for (int v : ip.value) {
        allZero = allZero && v == 0;
        allOnes = allOnes && v == 255;
    }
    if (allZero || allOnes) return false;
    return std::nullopt;
}

}  // namespace

std::optional<TextId> CheckServerDialog(const ServerDialogInput& in, ServerEntry& out) {
    if (auto bad = AddressEmptyOrInvalid(in.ip)) return *bad ? TextId::Server_IpEmpty : TextId::Server_IpInvalid;
    if (in.account.empty()) return TextId::Server_AccoutEmpty;
    if (in.password.empty()) return TextId::Server_PasswordEmpty;
    if (in.confirm.empty()) return TextId::Server_ConfirmEmpty;
    if (in.password != in.confirm) return TextId::Server_CheckPW;
    out = ServerEntry{Ipv4Text(in.ip), in.account, in.password, ""};
    return std::nullopt;
}

std::optional<TextId> CheckDeviceDialog(const DeviceDialogInput& in, DeviceEntry& out) {
    if (auto bad = AddressEmptyOrInvalid(in.ip)) return *bad ? TextId::Firewall_IpEmpty : TextId::Firewall_IpInvalid;
    if (in.port.empty()) return TextId::Firewall_PortEmpty;
    long port = LeadingNumber(in.port);
    if (port < 1025 || port > 50000) return TextId::Firewall_PortInvalid;
    out = DeviceEntry{Ipv4Text(in.ip), static_cast<std::uint32_t>(port)};
    return std::nullopt;
}

std::string DeviceDialogPort(const DeviceEntry* existing) {
    return existing ? std::to_string(existing->port) : std::string("8000");
}

// ---------------------------------------------------------------------------------------------
// The core.

ConsoleCore::ConsoleCore(const std::string& programFolder, const LanguageTable& texts, ServiceControl& service,
                         MessageSink& messages)
    : folder_(programFolder), texts_(texts), service_(service), messages_(messages) {
    config_.configPath = folder_ + "/config.ini";
}

ConsoleCore::~ConsoleCore() { StopWatchdog(); }

bool ConsoleCore::Load() {
    if (LoadConsoleConfig(config_) == 1) return true;
    LogError("[ERR] Read config file failed! exit process!");
    return false;
}

std::string& ConsoleCore::FieldText(Field field) {
    switch (field) {
        case Field::Port:
            return config_.listenPort;
        case Field::ClientKey:
            return config_.clientKey;
        case Field::ClientKeyConfirm:
            return config_.clientKeyConfirm;
        case Field::QueryTime:
            return config_.queryTime;
        case Field::AntiReplayTime:
            return config_.antiReplayTime;
        case Field::FirewallKey:
            break;
    }
    return config_.firewallKey;
}

void ConsoleCore::KeyEditFocused(Field field) {
    if (FieldLimit(field) == 0) return;
    std::string& text = FieldText(field);
    previous_[FieldIndex(field)] = text;
    text.clear();
}

void ConsoleCore::KeyEditLeft(Field field, const std::string& typed) {
    if (FieldLimit(field) == 0) return;
    std::string& text = FieldText(field);
    if (typed.empty()) {
        text = previous_[FieldIndex(field)];
        return;
    }
    text = typed;
    (field == Field::FirewallKey ? config_.firewallKeyChanged : config_.clientKeyChanged) = true;
}

std::optional<TextId> ConsoleCore::CheckStep(SaveStep step) const {
    const ConsoleConfig& c = config_;
    switch (step) {
        case SaveStep::ListenPort: {
            if (c.listenPort.empty()) return TextId::Agent_PortEmpty;
            long port = LeadingNumber(c.listenPort);
            if (port < 1024 || port > 65535) return TextId::Agent_PortInvalid;
            if (UdpPortInUse(port, udpSource_)) return TextId::Agent_PortBeUsed;
            return std::nullopt;
        }
        case SaveStep::ClientShareKey:
            if (c.clientKey.empty()) return TextId::Agent_ClientKeyEmpty;
            if (c.clientKeyConfirm.empty()) return TextId::Agent_ClientConfirmKeyEmpty;
            if (c.clientKey != c.clientKeyConfirm) return TextId::Agent_CheckClientKey;
            return std::nullopt;
        case SaveStep::AntiReplayTime: {
            if (c.antiReplayTime.empty()) return TextId::Agent_AntiTimetEmpty;
            auto v = static_cast<std::uint32_t>(LeadingNumber(c.antiReplayTime));
            if (v != 0 && (v < 5 || v > 86400)) return TextId::Agent_AntiTimetInvalid;
            return std::nullopt;
        }
        case SaveStep::QueryTime: {
            if (c.queryTime.empty()) return TextId::Agent_QueryTimeEmpty;
            long v = LeadingNumber(c.queryTime);
            if (v < 5 || v > 300) return TextId::Agent_QueryTimeInvalid;
            return std::nullopt;
        }
        case SaveStep::FirewallShareKey:
            if (c.firewallKey.empty() || c.firewallKey == kKeyMask) return TextId::Agent_FirewallKeyEmpty;
            if (c.firewallKey.find('?') != std::string::npos) return TextId::Agent_FirewallKeyInvalid;
            return std::nullopt;
    }
    return std::nullopt;
}

// A changed key the worker could not keep is refused with the reason; a client key outside ASCII
// is saved with a warning, since the PCs' reporters would derive a different AES key from it.
bool ConsoleCore::KeyStepPasses(SaveStep step) const {
    if (step != SaveStep::ClientShareKey && step != SaveStep::FirewallShareKey) return true;
    const ShareKey which = step == SaveStep::ClientShareKey ? ShareKey::Client : ShareKey::Device;
    const std::string& key = which == ShareKey::Client ? config_.clientKey : config_.firewallKey;
    const std::string problem = KeyBytesProblem(which, key);
    if (!problem.empty()) {
        messages_.ShowMessage(problem);
        return false;
    }
    const std::string warning = NonAsciiKeyWarning(which, key);
    if (!warning.empty()) messages_.ShowMessage(warning);
    return true;
}

int ConsoleCore::SaveMainSettings(std::optional<TextId>* refused) {
    std::optional<TextId> failure;
    int ok = orvane::SaveMainSettings(config_, [&](SaveStep step) {
        failure = CheckStep(step);
        if (failure) {
            messages_.ShowMessage(texts_.Text(*failure));
            return false;
        }
        return KeyStepPasses(step);
    });
    if (refused) *refused = failure;
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Entries: one set of steps for both lists, told apart by their descriptions.

namespace {

// A list of the window with what differs between servers and devices.
template <typename Entry>
struct EntryList {
    std::span<Entry> entries;
    std::span<bool> present;
    std::uint16_t& count;
    TextId full, saveFail, noItem, askCaption, askText;
    int (*add)(const std::string&, const Entry&, unsigned&);
    int (*edit)(const std::string&, const Entry&, unsigned);
    int (*remove)(const std::string&, unsigned);
};

// What the window keeps of an entry: a server's clear password is not kept once it is stored.
ServerEntry Kept(const ServerEntry& e) { return ServerEntry{e.ip, e.userName, "", ""}; }
DeviceEntry Kept(const DeviceEntry& e) { return e; }

bool Present(const auto& list, unsigned slot) { return slot < list.present.size() && list.present[slot]; }

template <typename Entry>
bool BeginAdd(const EntryList<Entry>& list, const LanguageTable& texts, MessageSink& messages) {
    if (list.count < list.entries.size()) return true;
    messages.ShowMessage(texts.Text(list.full));
    return false;
}

template <typename Entry>
AddResult Add(EntryList<Entry> list, const std::string& path, const Entry& entry, unsigned& slot,
                     const LanguageTable& texts, MessageSink& messages) {
    if (!BeginAdd(list, texts, messages)) return AddResult::Full;
    unsigned index = 0;
    if (list.add(path, entry, index) != 1 || index >= list.entries.size()) {
        messages.ShowMessage(texts.Text(list.saveFail));
        return AddResult::SaveFailed;
    }
    list.entries[index] = Kept(entry);
    list.present[index] = true;
    ++list.count;
    slot = index;
    return AddResult::Added;
}

template <typename Entry>
EntryCommand Edit(EntryList<Entry> list, const std::string& path, unsigned slot, const Entry& entry,
                         const LanguageTable& texts, MessageSink& messages) {
    if (slot != ConsoleCore::kNoSlot && slot >= list.entries.size()) return EntryCommand::Refused;
    if (!Present(list, slot)) {
        messages.ShowMessage(texts.Text(list.noItem));
        return EntryCommand::NoSelection;
    }
    list.entries[slot] = Kept(entry);
    return list.edit(path, entry, slot) == 1 ? EntryCommand::Done : EntryCommand::WriteFailed;
}

template <typename Entry>
EntryCommand Delete(EntryList<Entry> list, const std::string& path, unsigned slot,
                           const LanguageTable& texts, MessageSink& messages) {
    if (list.count == 0) return EntryCommand::Refused;
    if (!Present(list, slot)) {
        messages.ShowMessage(texts.Text(list.noItem));
        return EntryCommand::NoSelection;
    }
    std::string question = FormatWithArgument(texts.Text(list.askText), list.entries[slot].ip);
    if (!messages.AskYesNo(texts.Text(list.askCaption), question)) return EntryCommand::Cancelled;
    // A missing count key leaves the file alone; the window removes the entry all the same.
    list.remove(path, slot);
    list.entries[slot] = {};
    list.present[slot] = false;
    --list.count;
    return EntryCommand::Done;
}

EntryList<ServerEntry> ServerList(ConsoleConfig& c) {
    return {c.servers,
            c.serverPresent,
            c.serverCount,
            TextId::Agent_ADServerNumOver,
            TextId::Agent_ADServerSaveFail,
            TextId::Agent_NoAdServerItem,
            TextId::Agent_DelADServer,
            TextId::Agent_AskDelADServer,
            &AddServerEntry,
            &EditServerEntry,
            &DeleteServerEntry};
}

EntryList<DeviceEntry> DeviceList(ConsoleConfig& c) {
    return {c.devices,
            c.devicePresent,
            c.deviceCount,
            TextId::Agent_FirewallNumOver,
            TextId::Agent_FirewallSaveFail,
            TextId::Agent_NoFirewallItem,
            TextId::Agent_DelFirewall,
            TextId::Agent_AskDelFirewall,
            &AddDeviceEntry,
            &EditDeviceEntry,
            &DeleteDeviceEntry};
}

}  // namespace

bool ConsoleCore::BeginAddServer() { return BeginAdd(ServerList(config_), texts_, messages_); }
bool ConsoleCore::BeginAddDevice() { return BeginAdd(DeviceList(config_), texts_, messages_); }

AddResult ConsoleCore::AddServer(const ServerEntry& entry, unsigned& slot) {
    return Add(ServerList(config_), config_.configPath, entry, slot, texts_, messages_);
}
AddResult ConsoleCore::AddDevice(const DeviceEntry& entry, unsigned& slot) {
    return Add(DeviceList(config_), config_.configPath, entry, slot, texts_, messages_);
}
EntryCommand ConsoleCore::EditServer(unsigned slot, const ServerEntry& entry) {
    return Edit(ServerList(config_), config_.configPath, slot, entry, texts_, messages_);
}
EntryCommand ConsoleCore::EditDevice(unsigned slot, const DeviceEntry& entry) {
    return Edit(DeviceList(config_), config_.configPath, slot, entry, texts_, messages_);
}
EntryCommand ConsoleCore::DeleteServer(unsigned slot) {
    return Delete(ServerList(config_), config_.configPath, slot, texts_, messages_);
}
EntryCommand ConsoleCore::DeleteDevice(unsigned slot) {
    return Delete(DeviceList(config_), config_.configPath, slot, texts_, messages_);
}

// ---------------------------------------------------------------------------------------------
// Service.

ServiceOutcome ConsoleCore::OpenService(std::unique_ptr<ServiceConnection>& connection, bool stopPath) {
    ServiceResult result = ServiceResult::Failed;
    int error = 0;
    lastServiceError_.clear();
    connection = service_.OpenManager(result, error, lastServiceError_);
    if (!connection) {
        if (result == ServiceResult::AccessDenied) {
            // The stop path logs the refusal as an error, the others as information.
            if (stopPath)
                LogError("[ERR]Access the service control manager database is denied!");
            else
                LogInfo("[INF]Access the service control manager database is denied!");
            return ServiceOutcome::AccessDenied;
        }
        LogError("[ERR]Open the service control manager database failure!");
        return ServiceOutcome::ManagerFailed;
    }
    ServiceResult opened = connection->OpenService();
    if (opened == ServiceResult::Ok) return ServiceOutcome::Done;
    lastServiceError_ = connection->ErrorText();
    connection.reset();
    if (opened == ServiceResult::ServiceDoesNotExist) {
        LogInfo("[INF]Service does not exist!");
        return ServiceOutcome::NotInstalled;
    }
    LogError("[ERR]Open the service failure!");
    return opened == ServiceResult::AccessDenied ? ServiceOutcome::AccessDenied : ServiceOutcome::OpenFailed;
}

bool ConsoleCore::Initialise() {
    QueryService();
    if (!Load()) return false;
    // A service without a server or without a device is not left running.
    if (config_.serverCount == 0 || config_.deviceCount == 0) StopService();
    return true;
}

ServiceOutcome ConsoleCore::Exit() {
    StopWatchdog();
    return StopService();
}

ServiceOutcome ConsoleCore::QueryService() {
    std::unique_ptr<ServiceConnection> connection;
    ServiceOutcome opened = OpenService(connection, false);
    if (opened != ServiceOutcome::Done) return opened;
    std::uint32_t state = 0;
    if (connection->Query(state) != ServiceResult::Ok) {
        lastServiceError_ = connection->ErrorText();
        LogError("[ERR]Query the service failure! ErrorNum:%d", connection->ErrorCode());
        return ServiceOutcome::QueryFailed;
    }
    state_ = state;
    NoteIdleReason(*connection, state);
    return ServiceOutcome::Done;
}

void ConsoleCore::NoteIdleReason(ServiceConnection& connection, std::uint32_t state) {
    const std::string status = state == kServiceRunning ? connection.StatusText() : std::string();
    std::lock_guard<std::mutex> guard(idleLock_);
    idleReason_ = status.rfind(kIdlePrefix, 0) == 0 ? status : std::string();
}

ServiceOutcome ConsoleCore::StartService() {
    if (auto early = StartChecks()) return *early;
    return RequestStart();
}

std::optional<ServiceOutcome> ConsoleCore::StartChecks() {
    if (state_ == kServiceRunning) {
        LogInfo("[INF]The service is already running!");
        return ServiceOutcome::AlreadyRunning;
    }
    if (config_.serverCount == 0) {
        messages_.ShowMessage(texts_.Text(TextId::Agent_NoAdServer));
        return ServiceOutcome::NoServer;
    }
    if (config_.deviceCount == 0) {
        messages_.ShowMessage(texts_.Text(TextId::Agent_NoFirewall));
        return ServiceOutcome::NoDevice;
    }
    return std::nullopt;
}

ServiceOutcome ConsoleCore::RequestStart() {
    std::unique_ptr<ServiceConnection> connection;
    ServiceOutcome opened = OpenService(connection, false);
    if (opened != ServiceOutcome::Done) return opened;
    std::uint32_t state = 0;
    if (connection->Query(state) != ServiceResult::Ok) {
        lastServiceError_ = connection->ErrorText();
        LogError("[ERR]Query service status failure!");
        return ServiceOutcome::QueryFailed;
    }
    return RequestOutcome(connection->Start(), *connection, kServiceRunning);
}

ServiceOutcome ConsoleCore::RequestOutcome(ServiceResult result, const ServiceConnection& connection,
                                           std::uint32_t newState) {
    if (result == ServiceResult::Ok) {
        state_ = newState;
        return ServiceOutcome::Done;
    }
    lastServiceError_ = connection.ErrorText();
    if (result == ServiceResult::ServiceNotActive) {
        // The start path writes this as information, the stop path as an error.
        if (newState == kServiceRunning)
            LogInfo("[INF]The service has not been started!");
        else
            LogError("[ERR]The service has not been started!");
        return ServiceOutcome::NotActive;
    }
    return result == ServiceResult::AccessDenied ? ServiceOutcome::AccessDenied : ServiceOutcome::RequestFailed;
}

ServiceOutcome ConsoleCore::StopService() {
    if (auto early = StopChecks()) return *early;
    return RequestStop();
}

std::optional<ServiceOutcome> ConsoleCore::StopChecks() {
    if (state_ == kServiceStopped) {
        LogInfo("[INF]The service has stopped!");
        return ServiceOutcome::AlreadyStopped;
    }
    return std::nullopt;
}

ServiceOutcome ConsoleCore::RequestStop() {
    std::unique_ptr<ServiceConnection> connection;
    ServiceOutcome opened = OpenService(connection, true);
    if (opened != ServiceOutcome::Done) return opened;
    return RequestOutcome(connection->Stop(), *connection, kServiceStopped);
}

bool ConsoleCore::SaveBeforeStart(bool logSaveFailure) {
    if (SaveMainSettings() == 1) return true;
    if (logSaveFailure) LogError("[ERR]Save all config info fail!");
    return false;
}

std::optional<ServiceOutcome> ConsoleCore::SaveAndStartService(bool logSaveFailure) {
    if (!SaveBeforeStart(logSaveFailure)) return std::nullopt;
    return StartService();
}

std::string ConsoleCore::ReportServiceFailure(ServiceOutcome outcome, bool start) {
    switch (outcome) {
        case ServiceOutcome::AccessDenied:
        case ServiceOutcome::ManagerFailed:
        case ServiceOutcome::OpenFailed:
        case ServiceOutcome::QueryFailed:
        case ServiceOutcome::RequestFailed:
            break;
        default:
            return {};  // done, not asked, or told by the documented lines alone
    }
    const std::string why = lastServiceError_.empty() ? std::string("no reason given") : lastServiceError_;
    const char* verb = start ? "start" : "stop";
    LogError("[ERR]The service manager did not %s %s: %s", verb, kServiceName, why.c_str());
    std::string text = std::string("The service manager did not ") + verb + " " + kServiceName + ": " + why;
    if (outcome == ServiceOutcome::AccessDenied)
        text += "\n\nStarting and stopping the service takes root: open the console from its menu entry, which "
                "asks for an administrator's password.";
    messages_.ShowMessage(text);
    return text;
}

namespace {

// The file can be replaced as every writer here does: a new file beside it, renamed over it.
bool Replaceable(const std::string& path) {
    char resolved[PATH_MAX];
    const std::string target = ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
    return ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0 &&
           ::faccessat(AT_FDCWD, platform::FolderOf(target).c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

}  // namespace

ConsoleRights ConsoleCore::CheckRights() {
    ConsoleRights rights;
    rights.configWritable = Replaceable(config_.configPath);
    const std::string logFolder = folder_ + "/log";
    // A missing log folder is the installation's matter (the console does not make it), not a right.
    rights.logWritable = ::faccessat(AT_FDCWD, logFolder.c_str(), F_OK, AT_EACCESS) != 0 ||
                         ::faccessat(AT_FDCWD, logFolder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
    ServiceResult result = ServiceResult::Failed;
    int error = 0;
    std::unique_ptr<ServiceConnection> connection = service_.OpenManager(result, error, rights.serviceReason);
    if (!connection) {
        rights.serviceControl = false;
        return rights;
    }
    bool allowed = true;
    if (connection->MayControl(allowed) != ServiceResult::Ok || !allowed) {
        rights.serviceControl = false;
        rights.serviceReason = connection->ErrorText();
    }
    return rights;
}

std::string RightsProblem(const ConsoleRights& rights, const std::string& configPath, const std::string& logFolder,
                          const std::string& program) {
    std::string missing;
    auto add = [&missing](const std::string& what) { missing += (missing.empty() ? "" : "; ") + what; };
    if (!rights.configWritable) add("it cannot write " + configPath + " (settings are shown, not saved)");
    if (!rights.serviceControl)
        add("it may not start or stop the service " + std::string(kServiceName) + " (" +
            (rights.serviceReason.empty() ? std::string("the service manager refused") : rights.serviceReason) + ")");
    if (!rights.logWritable) add("it cannot write its log in " + logFolder);
    if (missing.empty()) return {};
    const bool readOnly = !rights.configWritable || !rights.serviceControl;
    return std::string(readOnly ? "Read-only: " : "") + missing + ". " + RightsHint(program);
}

std::string RightsHint(const std::string& program) {
    return "Run the console as root: open it from the menu entry \"Orvane console\", which asks for an "
           "administrator's password, or run: pkexec " + program;
}

void ConsoleCore::StartWatchdog(unsigned passMs, unsigned retryMs) {
    if (watchdog_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(watchdogMutex_);
        watchdogStop_ = false;
    }
    try {
        watchdog_ = std::thread([this, passMs, retryMs] { WatchdogLoop(passMs, retryMs); });
    } catch (const std::system_error& e) {
        LogError("[ERR] Create the monitor program of Orvane failed! ErrorNum:%d", e.code().value());
    }
}

void ConsoleCore::StopWatchdog() {
    {
        std::lock_guard<std::mutex> lock(watchdogMutex_);
        watchdogStop_ = true;
    }
    watchdogWake_.notify_all();
    if (watchdog_.joinable()) watchdog_.join();
}

bool ConsoleCore::WatchdogWait(unsigned ms) {
    std::unique_lock<std::mutex> lock(watchdogMutex_);
    return watchdogWake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return watchdogStop_; });
}

void ConsoleCore::WatchdogLoop(unsigned passMs, unsigned retryMs) {
    for (;;) {
        if (state_ == kServiceRunning) {
            ServiceResult result = ServiceResult::Failed;
            int error = 0;
            std::string text;
            std::unique_ptr<ServiceConnection> connection = service_.OpenManager(result, error, text);
            // After a failed connection the next pass comes sooner; the stop flag is still seen,
            // so leaving the console never waits on a manager that keeps refusing.
            if (!connection || connection->OpenService() != ServiceResult::Ok) {
                if (WatchdogWait(retryMs)) return;
                continue;
            }
            std::uint32_t state = 0;
            if (connection->Query(state) == ServiceResult::Ok) {
                // The service may fall idle (or recover) while the window is open.
                NoteIdleReason(*connection, state);
                if (state == kServiceStopped) connection->Start();
            }
        }
        if (WatchdogWait(passMs)) return;
    }
}

}  // namespace orvane::console
