#include "console/core/language.h"

#include "common/profile.h"
#include "common/text.h"

namespace orvane::console {
namespace {

constexpr std::string_view kMissing = "ERROR";
constexpr std::size_t kReadSize = 260;

constexpr std::size_t kAbout = 32, kStartup = 72, kAgent = 128, kServer = 56, kDevice = 48;

constexpr TextSlot kSlots[kTextCount] = {
    {"About_Caption", kAbout}, {"About_Version", kAbout}, {"About_CopyRight", 260}, {"About_Ok", kAbout},
    {"Agent_OrvaneStarted", kStartup}, {"Agent_MutexCreateErr", kStartup},
    {"Agent_MonitorSetting", kAgent}, {"Agent_ModelSetting", kAgent}, {"Agent_RecvPCInfo", kAgent},
    {"Agent_QueryServerLog", kAgent}, {"Agent_Port", kAgent}, {"Agent_PcShareKey", kAgent},
    {"Agent_QueryTime", kAgent}, {"Agent_ConfirmKey", kAgent}, {"Agent_AntiTime", kAgent},
    {"Agent_GroupFirewallKey", kAgent}, {"Agent_GeneralEncrypt", kAgent}, {"Agent_EnhanceEncrypt", kAgent},
    {"Agent_GroupEncodeType", kAgent}, {"Agent_FirewallKey", kAgent}, {"Agent_GruopServiceOperate", kAgent},
    {"Agent_ShowLog", kAgent}, {"Agent_StartService", kAgent}, {"Agent_StopService", kAgent},
    {"Agent_GroupDeviceInfo", kAgent}, {"Agent_GruopServer", kAgent}, {"Agent_Add", kAgent},
    {"Agent_Delete", kAgent}, {"Agent_Edit", kAgent}, {"Agent_GruopDevice", kAgent}, {"Agent_Add", kAgent},
    {"Agent_Delete", kAgent}, {"Agent_Edit", kAgent}, {"Agent_DomainControler", kAgent}, {"Agent_Device", kAgent},
    {"Agent_PortEmpty", kAgent}, {"Agent_PortInvalid", kAgent}, {"Agent_PortBeUsed", kAgent},
    {"Agent_ClientKeyEmpty", kAgent}, {"Agent_ClientConfirmKeyEmpty", kAgent}, {"Agent_CheckClientKey", kAgent},
    {"Agent_AntiTimetEmpty", kAgent}, {"Agent_AntiTimetInvalid", kAgent}, {"Agent_QueryTimeEmpty", kAgent},
    {"Agent_QueryTimeInvalid", kAgent}, {"Agent_FirewallKeyEmpty", kAgent}, {"Agent_FirewallKeyInvalid", kAgent},
    {"Agent_AskDelFirewall", kAgent}, {"Agent_DelFirewall", kAgent}, {"Agent_FirewallNumOver", kAgent},
    {"Agent_FirewallExist", kAgent}, {"Agent_FirewallSaveFail", kAgent}, {"Agent_AskDelADServer", kAgent},
    {"Agent_DelADServer", kAgent}, {"Agent_ADServerNumOver", kAgent}, {"Agent_ADServerExist", kAgent},
    {"Agent_ADServerSaveFail", kAgent}, {"Agent_Running", kAgent}, {"Agent_Stopped", kAgent},
    {"Agent_NoDelItem", kAgent}, {"Agent_NoEditItem", kAgent}, {"Agent_NoAdServerItem", kAgent},
    {"Agent_NoFirewallItem", kAgent},
    {"Agent_PortTip", kAgent}, {"Agent_ClientKeyTip", kAgent}, {"Agent_AntiTimeTip", kAgent},
    {"Agent_QueryTimeTip", kAgent}, {"Agent_FirewallKeyTip", kAgent},
    {"Agent_ShowWindowMenu", kAgent}, {"Menu_Option", kAgent}, {"Agent_AboutMenu", kAgent},
    {"Agent_ExitMenu", kAgent}, {"Agent_SimpChineseMenu", kAgent}, {"Agent_EnlishMenu", kAgent},
    {"Agent_NoAdServer", kAgent}, {"Agent_NoFirewall", kAgent},
    {"Server_GruopADServer", kServer}, {"Server_Ip", kServer}, {"Server_IpInfo", kServer},
    {"Server_Account", kServer}, {"Server_AccountInfo", kServer}, {"Server_Password", kServer},
    {"Server_PasswordInfo", kServer}, {"Server_ConfirmPassword", kServer}, {"Server_ConfirmPasswordInfo", kServer},
    {"Server_Ok", kServer}, {"Server_Cancel", kServer}, {"Server_IpEmpty", kServer}, {"Server_IpInvalid", kServer},
    {"Server_AccoutEmpty", kServer}, {"Server_PasswordEmpty", kServer}, {"Server_ConfirmEmpty", kServer},
    {"Server_CheckPW", kServer}, {"Server_AccountTip", kServer}, {"Server_PasswordTip", kServer},
    {"Firewall_GruopDevice", kDevice}, {"Firewall_Ip", kDevice}, {"Firewall_IpInfo", kDevice},
    {"Firewall_Port", kDevice}, {"Firewall_PortInfo", kDevice}, {"Firewall_Ok", kDevice},
    {"Firewall_Cancel", kDevice}, {"Firewall_IpEmpty", kDevice}, {"Firewall_IpInvalid", kDevice},
    {"Firewall_PortEmpty", kDevice}, {"Firewall_PortInvalid", kDevice},
};

std::string SectionOf(std::uint32_t languageId) { return std::to_string(languageId); }

}  // namespace

const TextSlot& SlotOf(TextId id) { return kSlots[static_cast<std::size_t>(id)]; }

std::string LanguageFilePath(const std::string& programFolder) { return programFolder + "/language.ini"; }

bool LanguageTable::Load(const std::string& languageIniPath, std::uint32_t languageId) {
    texts_ = {};
    loaded_ = false;
    failedKey_ = nullptr;
    ProfileFile file;
    // An unreadable file reads as an empty one: its first key is then missing.
    file.Load(languageIniPath);
    const std::string section = SectionOf(languageId);
    std::array<std::string, kTextCount> texts;
    for (std::size_t i = 0; i < kTextCount; ++i) {
        std::string value = file.GetString(section, kSlots[i].key, kMissing, kReadSize);
        if (value == kMissing) {
            failedKey_ = kSlots[i].key;
            return false;
        }
        texts[i] = CutToCapacity(value, kSlots[i].capacity);
    }
    texts_ = std::move(texts);
    loaded_ = true;
    return true;
}

std::string FormatWithArgument(std::string_view format, std::string_view argument) {
    std::size_t at = format.find("%s");
    if (at == std::string_view::npos) return std::string(format);
    std::string out(format.substr(0, at));
    out += argument;
    out += format.substr(at + 2);
    return out;
}

std::string FormatWithArguments(std::string_view format, std::initializer_list<std::string_view> arguments) {
    std::string out;
    const std::string_view* next = arguments.begin();
    for (std::size_t at; (at = format.find("%s")) != std::string_view::npos; format.remove_prefix(at + 2)) {
        out += format.substr(0, at);
        if (next != arguments.end()) out += *next++;
    }
    out += format;
    return out;
}

OptionTexts LoadOptionTexts(const std::string& languageIniPath, std::uint32_t languageId) {
    ProfileFile file;
    file.Load(languageIniPath);
    const std::string section = SectionOf(languageId);
    // Buffers of 36 and 16 characters: 35 and 15 with the terminator.
    auto read = [&](const char* key, const char* def, std::size_t size) {
        return file.GetString(section, key, def, size);
    };
    OptionTexts t;
    t.caption = read("Dlg_Option_Caption", "Options", 16);
    t.autoRun = read("Dlg_Option_AutoRun", "Auto-start during system startup", 36);
    t.language = read("Dlg_Option_Language", "UI Language:", 16);
    t.ok = read("Dlg_Option_Ok", "OK", 16);
    t.cancel = read("Dlg_Option_Cancel", "Cancel", 16);
    t.apply = read("Dlg_Option_Apply", "Apply", 16);
    return t;
}

UsersTexts LoadUsersTexts(const std::string& languageIniPath, std::uint32_t languageId) {
    ProfileFile file;
    file.Load(languageIniPath);
    const std::string section = SectionOf(languageId);
    auto read = [&](const char* key, const char* def) { return file.GetString(section, key, def, 256); };
    UsersTexts t;
    t.button = read("Users_Button", "Online users");
    t.caption = read("Users_Caption", "Online users");
    t.filter = read("Users_Filter", "Filter (user or address):");
    t.columns = read("Users_Columns", "User|Domain|Address|State|Age|Gateways|AD path");
    t.online = read("Users_Online", "online");
    t.loggingOff = read("Users_LoggingOff", "logging off");
    t.confirmed = read("Users_Confirmed", "confirmed");
    t.pending = read("Users_Pending", "pending (%s left)");
    t.givenUp = read("Users_GivenUp", "given up");
    t.notSent = read("Users_NotSent", "not sent");
    t.status = read("Users_Status", "Workers: %s");
    t.noWorker = read("Users_NoWorker", "No worker answers: %s");
    t.count = read("Users_Count", "%s users shown");
    t.close = read("Users_Close", "Close");
    t.clientReportWorker = read("Users_ClientReportWorker", "client-report");
    t.modeClientReport = read("Users_ModeClientReport", "client-report mode");
    t.modeLogQuery = read("Users_ModeLogQuery", "log-query mode");
    t.workerRunning = read("Users_WorkerRunning", "worker %s: running (%s), pid %s, up %s");
    t.workerNotRunning = read("Users_WorkerNotRunning", "worker %s: not running");
    t.workerNotAnswering = read("Users_WorkerNotAnswering", "worker %s: not answering");
    t.workerDenied = read("Users_WorkerDenied", "worker %s: permission denied; run as root");
    t.workerBadAnswer = read("Users_WorkerBadAnswer", "worker %s: unreadable answer");
    t.workerFailed = read("Users_WorkerFailed", "worker %s: cannot be read (%s)");
    t.neverRan = read("Users_NeverRan", "no worker has run from %s");
    t.noneRunning = read("Users_NoneRunning", "no worker is running from %s");
    t.folderDenied = read("Users_FolderDenied", "%s: permission denied (the workers' status is for root)");
    t.folderFailed = read("Users_FolderFailed", "%s cannot be listed (%s)");
    return t;
}

namespace {

struct FiltersText {
    const char* key;
    std::string FiltersTexts::*member;
    const char* def;
};

constexpr FiltersText kFiltersTexts[] = {
    {"Filters_Button", &FiltersTexts::button, "Filters"},
    {"Filters_Caption", &FiltersTexts::caption, "Which logons become identities"},
    {"Filters_Accounts", &FiltersTexts::accounts, "Ignored accounts"},
    {"Filters_Addresses", &FiltersTexts::addresses, "Address rules (the first match decides)"},
    {"Filters_Groups", &FiltersTexts::groups, "Member groups"},
    {"Filters_AccountsHint", &FiltersTexts::accountsHint,
     "name, DOMAIN\\name or name@dns.domain; one * may end the name (svc-*)"},
    {"Filters_AddressesHint", &FiltersTexts::addressesHint, "include CIDR or exclude CIDR (exclude 10.99.5.0/24)"},
    {"Filters_GroupsHint", &FiltersTexts::groupsHint,
     "a group's DN (CN=VPN-Users,CN=Users,DC=corp,DC=com) or its name (VPN-Users)"},
    {"Filters_GroupsOf", &FiltersTexts::groupsOf, "Groups for:"},
    {"Filters_AllGateways", &FiltersTexts::allGateways, "every gateway"},
    {"Filters_Gateway", &FiltersTexts::gateway, "%s only (%s)"},
    {"Filters_AgentAccounts", &FiltersTexts::agentAccounts, "Always ignored, the agent's own accounts: %s"},
    {"Filters_Add", &FiltersTexts::add, "Add"},
    {"Filters_Remove", &FiltersTexts::remove, "Remove"},
    {"Filters_Up", &FiltersTexts::up, "Up"},
    {"Filters_Down", &FiltersTexts::down, "Down"},
    {"Filters_EveryAddress", &FiltersTexts::everyAddress, "No address rules: every address is reported."},
    {"Filters_UnmatchedPass", &FiltersTexts::unmatchedPass, "An address no rule matches is reported."},
    {"Filters_UnmatchedRefused", &FiltersTexts::unmatchedRefused,
     "An address no rule matches is NOT reported (the list holds an include rule)."},
    {"Filters_Refused", &FiltersTexts::refused, "\"%s\" is refused: %s."},
    {"Filters_Duplicate", &FiltersTexts::duplicate, "\"%s\" is already in the list."},
    {"Filters_Saved", &FiltersTexts::saved, "Saved. The service uses the lists from its next start."},
    {"Filters_SaveFailed", &FiltersTexts::saveFailed, "The lists are not saved: %s."},
    {"Filters_Save", &FiltersTexts::save, "Save"},
    {"Filters_Cancel", &FiltersTexts::cancel, "Cancel"},
};

}  // namespace

FiltersTexts LoadFiltersTexts(const std::string& languageIniPath, std::uint32_t languageId) {
    ProfileFile file;
    file.Load(languageIniPath);
    const std::string section = SectionOf(languageId);
    FiltersTexts t;
    for (const FiltersText& f : kFiltersTexts) t.*f.member = file.GetString(section, f.key, f.def, 256);
    return t;
}

std::vector<const char*> FiltersTextKeys() {
    std::vector<const char*> keys;
    for (const FiltersText& f : kFiltersTexts) keys.push_back(f.key);
    return keys;
}

int LanguagePosition(std::uint32_t languageId) { return languageId == kSimplifiedChinese ? 1 : 0; }

std::uint32_t LanguageAtPosition(int position, std::uint32_t current) {
    if (position == 0) return kEnglish;
    if (position == 1) return kSimplifiedChinese;
    return current;
}

}  // namespace orvane::console
