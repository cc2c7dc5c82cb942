#pragma once
// The console's interface texts, read from language.ini (one section per language id).
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::console {

inline constexpr std::uint32_t kEnglish = 1033;
inline constexpr std::uint32_t kSimplifiedChinese = 2052;

// The slots of the text table, in reading order. Agent_Add, Agent_Delete and Agent_Edit are read
// twice: the first set labels the server buttons, the second (…Device) the device buttons.
enum class TextId : std::size_t {
    About_Caption, About_Version, About_CopyRight, About_Ok,
    Agent_OrvaneStarted, Agent_MutexCreateErr,
    Agent_MonitorSetting, Agent_ModelSetting, Agent_RecvPCInfo, Agent_QueryServerLog, Agent_Port,
    Agent_PcShareKey, Agent_QueryTime, Agent_ConfirmKey, Agent_AntiTime, Agent_GroupFirewallKey,
    Agent_GeneralEncrypt, Agent_EnhanceEncrypt, Agent_GroupEncodeType, Agent_FirewallKey,
    Agent_GruopServiceOperate, Agent_ShowLog, Agent_StartService, Agent_StopService,
    Agent_GroupDeviceInfo, Agent_GruopServer, Agent_Add, Agent_Delete, Agent_Edit, Agent_GruopDevice,
    Agent_AddDevice, Agent_DeleteDevice, Agent_EditDevice, Agent_DomainControler, Agent_Device,
    Agent_PortEmpty, Agent_PortInvalid, Agent_PortBeUsed, Agent_ClientKeyEmpty,
    Agent_ClientConfirmKeyEmpty, Agent_CheckClientKey, Agent_AntiTimetEmpty, Agent_AntiTimetInvalid,
    Agent_QueryTimeEmpty, Agent_QueryTimeInvalid, Agent_FirewallKeyEmpty, Agent_FirewallKeyInvalid,
    Agent_AskDelFirewall, Agent_DelFirewall, Agent_FirewallNumOver, Agent_FirewallExist,
    Agent_FirewallSaveFail, Agent_AskDelADServer, Agent_DelADServer, Agent_ADServerNumOver,
    Agent_ADServerExist, Agent_ADServerSaveFail, Agent_Running, Agent_Stopped, Agent_NoDelItem,
    Agent_NoEditItem, Agent_NoAdServerItem, Agent_NoFirewallItem,
    Agent_PortTip, Agent_ClientKeyTip, Agent_AntiTimeTip, Agent_QueryTimeTip, Agent_FirewallKeyTip,
    Agent_ShowWindowMenu, Menu_Option, Agent_AboutMenu, Agent_ExitMenu, Agent_SimpChineseMenu,
    Agent_EnlishMenu,
    Agent_NoAdServer, Agent_NoFirewall,
    Server_GruopADServer, Server_Ip, Server_IpInfo, Server_Account, Server_AccountInfo, Server_Password,
    Server_PasswordInfo, Server_ConfirmPassword, Server_ConfirmPasswordInfo, Server_Ok, Server_Cancel,
    Server_IpEmpty, Server_IpInvalid, Server_AccoutEmpty, Server_PasswordEmpty, Server_ConfirmEmpty,
    Server_CheckPW, Server_AccountTip, Server_PasswordTip,
    Firewall_GruopDevice, Firewall_Ip, Firewall_IpInfo, Firewall_Port, Firewall_PortInfo, Firewall_Ok,
    Firewall_Cancel, Firewall_IpEmpty, Firewall_IpInvalid, Firewall_PortEmpty, Firewall_PortInvalid,
    Count
};

inline constexpr std::size_t kTextCount = static_cast<std::size_t>(TextId::Count);
static_assert(kTextCount == 106);

struct TextSlot {
    const char* key;        // the key in language.ini
    std::size_t capacity;   // UTF-16 units, terminator included
};

// Key and capacity of a slot.
const TextSlot& SlotOf(TextId id);

// "<folder>/language.ini".
std::string LanguageFilePath(const std::string& programFolder);

class LanguageTable {
public:
    // Reads every slot from the section of `languageId`. False at the first key that is missing
    // or holds "ERROR" (later keys are not read); the table is then empty. A text longer than its
    // slot is cut to fit it.
    bool Load(const std::string& languageIniPath, std::uint32_t languageId);
    bool Loaded() const { return loaded_; }
    // The text of a slot; empty before a successful Load.
    const std::string& Text(TextId id) const { return texts_[static_cast<std::size_t>(id)]; }
    // Key of the slot that made the last Load fail (nullptr when none did).
    const char* FailedKey() const { return failedKey_; }

private:
    std::array<std::string, kTextCount> texts_{};
    bool loaded_ = false;
    const char* failedKey_ = nullptr;
};

// Puts `argument` where the format text holds "%s" (the first one). The texts come from a file an
// administrator may edit, so they are never used as a printf format.
std::string FormatWithArgument(std::string_view format, std::string_view argument);
// The same with each "%s" in turn taking the next argument (none left: nothing).
std::string FormatWithArguments(std::string_view format, std::initializer_list<std::string_view> arguments);

// The Options dialog's texts: read on their own, each with a built-in default when missing,
// cut to 35 characters (AutoRun) or 15 (the others).
struct OptionTexts {
    std::string caption;   // Dlg_Option_Caption
    std::string autoRun;   // Dlg_Option_AutoRun
    std::string language;  // Dlg_Option_Language
    std::string ok;        // Dlg_Option_Ok
    std::string cancel;    // Dlg_Option_Cancel
    std::string apply;     // Dlg_Option_Apply
};
OptionTexts LoadOptionTexts(const std::string& languageIniPath, std::uint32_t languageId);

// The Online users view's texts, read like the Options dialog's: each with a built-in default.
struct UsersTexts {
    std::string button;     // Users_Button: the main window's button
    std::string caption;    // Users_Caption
    std::string filter;     // Users_Filter
    std::string columns;    // Users_Columns: the table's headings, separated by "|"
    std::string online;     // Users_Online
    std::string loggingOff; // Users_LoggingOff
    std::string confirmed;  // Users_Confirmed
    std::string pending;    // Users_Pending: "%s" is the number of sends left
    std::string givenUp;    // Users_GivenUp
    std::string notSent;    // Users_NotSent
    std::string status;     // Users_Status: "%s" is the workers' status
    std::string noWorker;   // Users_NoWorker: "%s" is the reason
    std::string count;      // Users_Count: "%s" is the number of rows shown
    std::string close;      // Users_Close
    // The workers' states; "%s" in turn: the worker, then the values named.
    std::string clientReportWorker;  // Users_ClientReportWorker: the client-report worker's name
    std::string modeClientReport;    // Users_ModeClientReport
    std::string modeLogQuery;        // Users_ModeLogQuery
    std::string workerRunning;       // Users_WorkerRunning: worker, mode, pid, uptime
    std::string workerNotRunning;    // Users_WorkerNotRunning
    std::string workerNotAnswering;  // Users_WorkerNotAnswering
    std::string workerDenied;        // Users_WorkerDenied
    std::string workerBadAnswer;     // Users_WorkerBadAnswer
    std::string workerFailed;        // Users_WorkerFailed: worker, the system's error
    // Why no worker is listed; "%s": the program folder (NeverRan, NoneRunning) or the run folder.
    std::string neverRan;            // Users_NeverRan
    std::string noneRunning;         // Users_NoneRunning
    std::string folderDenied;        // Users_FolderDenied
    std::string folderFailed;        // Users_FolderFailed: run folder, the system's error
};
UsersTexts LoadUsersTexts(const std::string& languageIniPath, std::uint32_t languageId);

// The Filters dialog's texts (which logons become identities), read like the Options dialog's:
// each with a built-in default. The reasons a value is refused stay in English, as orvanectl
// and the worker's log give them.
struct FiltersTexts {
    std::string button;          // Filters_Button: the main window's button
    std::string caption;         // Filters_Caption
    std::string accounts;        // Filters_Accounts: the frames of the three lists
    std::string addresses;       // Filters_Addresses
    std::string groups;          // Filters_Groups
    std::string accountsHint;    // Filters_AccountsHint: what an entry looks like
    std::string addressesHint;   // Filters_AddressesHint
    std::string groupsHint;      // Filters_GroupsHint
    std::string groupsOf;        // Filters_GroupsOf: the label of the gateway choice
    std::string allGateways;     // Filters_AllGateways: the choice for every gateway
    std::string gateway;         // Filters_Gateway: "%s" the Firewall section, then its address
    std::string agentAccounts;   // Filters_AgentAccounts: "%s" the agent's own accounts
    std::string add;             // Filters_Add
    std::string remove;          // Filters_Remove
    std::string up;              // Filters_Up
    std::string down;            // Filters_Down
    std::string everyAddress;    // Filters_EveryAddress: the address rules' consequence, no rule
    std::string unmatchedPass;   // Filters_UnmatchedPass: without an include rule
    std::string unmatchedRefused;// Filters_UnmatchedRefused: with one
    std::string refused;         // Filters_Refused: "%s" the value, then why
    std::string duplicate;       // Filters_Duplicate: "%s" the value
    std::string saved;           // Filters_Saved
    std::string saveFailed;      // Filters_SaveFailed: "%s" why
    std::string save;            // Filters_Save
    std::string cancel;          // Filters_Cancel
};
FiltersTexts LoadFiltersTexts(const std::string& languageIniPath, std::uint32_t languageId);
// Their keys in language.ini, in the order above.
std::vector<const char*> FiltersTextKeys();

// The items of the Options dialog's language list, position 0 and 1.
inline constexpr const char* kLanguageItems[2] = {"English", "中文简体"};
// Position of a language in that list, and back (any other position: no change, 0).
int LanguagePosition(std::uint32_t languageId);
std::uint32_t LanguageAtPosition(int position, std::uint32_t current);

}  // namespace orvane::console
