#pragma once
// The console's logic without any window: the settings and their checks, the server and device
// entries, the service flows and the watchdog, and what the service state enables. The Qt window
// and orvanectl both drive this class, so they cannot disagree.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "common/config.h"
#include "console/core/language.h"
#include "console/core/service_control.h"
#include "console/core/udp_ports.h"

namespace orvane::console {

// Where the core shows a message to the administrator (message boxes, or a terminal).
class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void ShowMessage(const std::string& text) = 0;
    // A yes/no question; true for yes.
    virtual bool AskYesNo(const std::string& caption, const std::string& text) = 0;
};

// ---------------------------------------------------------------------------------------------
// The main window's fields.

enum class Field { Port, ClientKey, ClientKeyConfirm, QueryTime, AntiReplayTime, FirewallKey };

enum class InputCheck { Ok, NotDigits, TooLong };

// What the field's edit lets through: digits only (port, query interval, anti-replay time), or at
// most 16 / 16 / 23 characters (the key edits).
InputCheck CheckFieldInput(Field field, std::string_view text);
// Edit limit in characters; 0 for no limit.
std::size_t FieldLimit(Field field);
// Whether a field is shown in a mode (port, keys and anti-replay in mode 0, the query interval in
// mode 1; the device key in both).
bool FieldShownInMode(Field field, std::uint32_t mode);
// Caption of the frame of the mode's fields.
TextId ModeGroupCaption(std::uint32_t mode);

// The number at the start of a text, as the C library's text-to-integer conversion reads it
// (0 without digits; clamped to the int range instead of overflowing).
long LeadingNumber(std::string_view text);

// ---------------------------------------------------------------------------------------------
// What the service state enables.

struct ControlEnabling {
    bool settings = false;      // the six entry buttons, the radios and every settings edit
    bool startService = false;
    bool stopService = false;
    // The show-log button and the tree are always enabled.
};
ControlEnabling EnablingFor(std::uint32_t serviceState);

struct TrayMenuEnabling {
    bool startService = true;
    bool stopService = true;
};
TrayMenuEnabling TrayMenuFor(std::uint32_t serviceState);

// The window commands of the tray menu and the two accepted from outside.
inline constexpr unsigned kCmdShowWindow = 32775, kCmdStartService = 32776, kCmdStopService = 32777,
                          kCmdExit = 32778, kCmdAbout = 32781, kCmdOptions = 32793;
inline constexpr unsigned kCmdExternalStart = 3526, kCmdExternalStop = 3527;

// One position of the tray menu's pop-up; a separator has command 0 and no text.
struct TrayMenuItem {
    unsigned command = 0;
    std::optional<TextId> text;
    bool enabled = true;
};
// The eight positions: show window, separator, start, stop, separator, Options, About, Exit.
std::array<TrayMenuItem, 8> TrayMenuItems(std::uint32_t serviceState);

// Text of the tree's root node.
TextId RootNodeText(std::uint32_t serviceState);

// ---------------------------------------------------------------------------------------------
// The server and device dialogs.

// An IPv4 address control: four fields, each empty or 0..255.
struct Ipv4Fields {
    std::array<int, 4> value{};
    std::array<bool, 4> filled{};
};
// Reads dotted text as the control would hold it: a missing or empty part is an unfilled field.
// False when a part is not a number from 0 to 255 (the control cannot hold that).
bool ParseIpv4Fields(std::string_view dotted, Ipv4Fields& out);
std::string Ipv4Text(const Ipv4Fields& f);

// The server dialog's edit limits, in characters (the password's is the shared secret limit).
inline constexpr std::size_t kAccountMaxLength = 256;

struct ServerDialogInput {
    Ipv4Fields ip;
    std::string account;
    std::string password;
    std::string confirm;
};
// The accept checks in their order; the entry (FilterGroups empty) when all pass.
std::optional<TextId> CheckServerDialog(const ServerDialogInput& in, ServerEntry& out);

struct DeviceDialogInput {
    Ipv4Fields ip;
    std::string port;
};
std::optional<TextId> CheckDeviceDialog(const DeviceDialogInput& in, DeviceEntry& out);
// The port text a device dialog opens with: "8000" for a new device.
std::string DeviceDialogPort(const DeviceEntry* existing);

// ---------------------------------------------------------------------------------------------

// How a service request ended (the log line is written either way).
enum class ServiceOutcome {
    Done,
    AlreadyRunning,   // start while the state is running: nothing requested
    AlreadyStopped,   // stop while the state is stopped: nothing requested
    NoServer,         // start refused: no directory server
    NoDevice,         // start refused: no device
    AccessDenied,     // the manager refused the connection
    ManagerFailed,    // no connection to the manager (the error text says why)
    NotInstalled,     // the service does not exist
    OpenFailed,       // the service could not be opened
    QueryFailed,
    NotActive,        // the manager answered "service not active"
    RequestFailed,    // the request was refused for another reason
};

// What this process may do where the console works. A console run by an ordinary user can read
// everything but write nothing, and systemd (polkit) refuses its requests.
struct ConsoleRights {
    bool configWritable = true;   // config.ini can be replaced
    bool logWritable = true;      // the log folder takes the console log
    bool serviceControl = true;   // the service manager answers and lets this process start and stop
    std::string serviceReason;    // why not, as the manager or polkit said
};
// The line the window shows and the message at start: what is missing and how to get it; empty
// when nothing is. `program` is the console's own path (for the pkexec command).
std::string RightsProblem(const ConsoleRights& rights, const std::string& configPath, const std::string& logFolder,
                          const std::string& program);
// How to get the rights.
std::string RightsHint(const std::string& program);

enum class AddResult { Added, Full, Cancelled, SaveFailed };
// WriteFailed: the window shows the change, but config.ini could not take it (the window does not
// report that; a terminal does).
enum class EntryCommand { Done, NoSelection, Refused, Cancelled, WriteFailed };

class ConsoleCore {
public:
    ConsoleCore(const std::string& programFolder, const LanguageTable& texts, ServiceControl& service,
                MessageSink& messages);
    ~ConsoleCore();
    ConsoleCore(const ConsoleCore&) = delete;
    ConsoleCore& operator=(const ConsoleCore&) = delete;

    const std::string& ProgramFolder() const { return folder_; }
    const LanguageTable& Texts() const { return texts_; }
    // Reads config.ini; on failure writes "[ERR] Read config file failed! exit process!" and
    // returns false (the window then ends the process).
    bool Load();
    ConsoleConfig& Config() { return config_; }
    const ConsoleConfig& Config() const { return config_; }

    // A key edit gained the focus: its text is emptied, so a new key is typed instead of the mask.
    void KeyEditFocused(Field field);
    // It lost the focus with `typed`: empty puts the previous text back; anything else becomes
    // the field's text and sets its changed flag (client key and confirmation share one).
    void KeyEditLeft(Field field, const std::string& typed);
    // A field's text as the window shows it.
    std::string& FieldText(Field field);

    // The check of one save step on the current fields; the message key when it fails.
    std::optional<TextId> CheckStep(SaveStep step) const;
    // The table of UDP endpoints the port check reads (tests hand in their own).
    void SetUdpTableSource(UdpTableSource source) { udpSource_ = std::move(source); }
    // The worker's byte limit on a changed key of a key step, after CheckStep passed: false (the
    // reason shown) when the worker could not keep the key; a client key outside ASCII is shown a
    // warning and passes.
    bool KeyStepPasses(SaveStep step) const;
    // Validates and writes the main settings in their order; a refused check shows its message.
    // 1 on success, 0 on failure; `refused` holds the message key when a check with one refused
    // (a key the worker could not keep is refused with its own text and no key).
    int SaveMainSettings(std::optional<TextId>* refused = nullptr);

    // Entry commands: the dialog result comes in, config.ini is written at once.
    // Before an add dialog opens: false (after showing the "full" message) at 16 servers / 5 devices.
    bool BeginAddServer();
    bool BeginAddDevice();
    // Add with a filled-in dialog; `slot` is the new section number. Full (with its message) when
    // the list is full; SaveFailed (with its message) when config.ini could not take it.
    AddResult AddServer(const ServerEntry& entry, unsigned& slot);
    AddResult AddDevice(const DeviceEntry& entry, unsigned& slot);
    // What the window passes when the selection is not an entry of the list.
    static constexpr unsigned kNoSlot = ~0u;
    // Replaces the entry in the window and writes its section; WriteFailed when config.ini could not
    // take it (the window shows the new values anyway). Refused for a slot out of range.
    EntryCommand EditServer(unsigned slot, const ServerEntry& entry);
    EntryCommand EditDevice(unsigned slot, const DeviceEntry& entry);
    // Asks the question, then removes the slot and its section. NoSelection (with its message)
    // for a free slot or kNoSlot, Refused when the list is empty, Cancelled on "no".
    EntryCommand DeleteServer(unsigned slot);
    EntryCommand DeleteDevice(unsigned slot);
    // The slot is in use.
    bool ServerPresent(unsigned slot) const { return slot < kMaxServers && config_.serverPresent[slot]; }
    bool DevicePresent(unsigned slot) const { return slot < kMaxGateways && config_.devicePresent[slot]; }

    // Service state as the console believes it.
    std::uint32_t ServiceState() const { return state_.load(); }
    // The status query of the start-up; the state becomes what the manager reports.
    ServiceOutcome QueryService();
    ServiceOutcome StartService();
    ServiceOutcome StopService();
    // The two halves of a start and a stop, so a window can run the request off its own thread:
    // the checks (message boxes; an outcome when nothing is to be requested), then the request
    // itself (no message box; callable from any thread, one at a time).
    std::optional<ServiceOutcome> StartChecks();
    ServiceOutcome RequestStart();
    std::optional<ServiceOutcome> StopChecks();
    ServiceOutcome RequestStop();
    // SaveMainSettings before a start; a failed save writes "[ERR]Save all config info fail!"
    // when `logSaveFailure`.
    bool SaveBeforeStart(bool logSaveFailure);
    // A request the manager refused or could not take: its reason is logged and shown. The text
    // shown; empty when the outcome was no such failure.
    std::string ReportServiceFailure(ServiceOutcome outcome, bool start);
    // What this process may do (config.ini, the log folder, the service).
    ConsoleRights CheckRights();
    // SaveMainSettings, then the start; a failed save writes "[ERR]Save all config info fail!"
    // when `logSaveFailure` (the start button does, the tray command does not).
    std::optional<ServiceOutcome> SaveAndStartService(bool logSaveFailure);
    // Why the running service runs no worker ("idle: ...", as of the last status query or
    // watchdog pass); empty when it runs its workers or is not running.
    std::string ServiceIdleReason() const {
        std::lock_guard<std::mutex> guard(idleLock_);
        return idleReason_;
    }
    // The text of the last manager failure (for a terminal).
    const std::string& LastServiceError() const { return lastServiceError_; }

    // The window's initialisation around its controls: the status query, config.ini, and the
    // stop of a service that has no server or no device. False when config.ini cannot be read.
    bool Initialise();
    // Leaving the console: the watchdog ends, then the service is stopped.
    ServiceOutcome Exit();

    // The watchdog: while the state is running it starts a stopped service again. The intervals
    // are 5 s between passes and 1 s after a failed connection; tests shorten them.
    void StartWatchdog(unsigned passMs = 5000, unsigned retryMs = 1000);
    void StopWatchdog();

private:
    ServiceOutcome OpenService(std::unique_ptr<ServiceConnection>& connection, bool stopPath);
    // The end of a start or stop request: the new state on success, else its log line.
    ServiceOutcome RequestOutcome(ServiceResult result, const ServiceConnection& connection, std::uint32_t newState);
    void NoteIdleReason(ServiceConnection& connection, std::uint32_t state);
    void WatchdogLoop(unsigned passMs, unsigned retryMs);
    bool WatchdogWait(unsigned ms);

    std::string folder_;
    const LanguageTable& texts_;
    ServiceControl& service_;
    MessageSink& messages_;
    ConsoleConfig config_;
    // Previous texts of the key edits while they have the focus.
    std::array<std::string, 6> previous_{};
    std::atomic<std::uint32_t> state_{kServiceStopped};
    std::string lastServiceError_;
    mutable std::mutex idleLock_;
    std::string idleReason_;
    UdpTableSource udpSource_ = ReadSystemUdpTable;

    std::thread watchdog_;
    std::mutex watchdogMutex_;
    std::condition_variable watchdogWake_;
    bool watchdogStop_ = false;
};

}  // namespace orvane::console
