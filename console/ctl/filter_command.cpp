// orvanectl filter / explain: the identity lists of config.ini (ignored accounts, address rules,
// member groups), checked and evaluated with the worker's own classes.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/identity_lists.h"
#include "common/text.h"
#include "console/ctl/commands.h"
#include "console/ctl/console_commands.h"
#include "console/ctl/session.h"
#include "platform/udp.h"

namespace orvane::ctl {
namespace {

using namespace orvane::console;

constexpr const char* kListNames = "accounts|addresses|groups";

std::optional<IdentityList> ListNamed(std::string_view name) {
    if (name == "accounts") return IdentityList::Accounts;
    if (name == "addresses") return IdentityList::Addresses;
    if (name == "groups") return IdentityList::Groups;
    return std::nullopt;
}

// A number from 1 up, as the lists are numbered.
std::optional<std::size_t> Position(std::string_view text) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const std::size_t n = std::stoul(std::string(text));
    if (n == 0) return std::nullopt;
    return n;
}

// --gateway N or FirewallN: the Firewall section a gateway's own groups live in.
std::optional<int> GatewayNumber(std::string_view text) {
    if (text.size() > 8 && EqualsNoCase(text.substr(0, 8), "Firewall")) text = text.substr(8);
    if (text.size() != 1 || text[0] < '0' || text[0] >= static_cast<char>('0' + kMaxGateways)) return std::nullopt;
    return text[0] - '0';
}

// Why each entry is left out, by its place (1 first), as the worker's start would log it.
std::map<std::size_t, std::string> LeftOut(const IdentityListPlace& place, const std::vector<std::string>& entries) {
    std::map<std::size_t, std::string> out;
    if (place.list == IdentityList::Groups) {
        std::string why;
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (!entries[i].empty() && !CheckGroupEntry(entries[i], why)) out[i + 1] = why;
        return out;
    }
    const bool accounts = place.list == IdentityList::Accounts;
    static const std::vector<std::string> kNone;
    BuildIdentityRules(accounts ? entries : kNone, accounts ? kNone : entries,
                       [&](IdentityList, std::size_t number, const std::string&, const std::string& why) {
                           out[number] = why;
                       });
    return out;
}

void PrintEntries(const IdentityListPlace& place, const std::vector<std::string>& entries) {
    const std::map<std::size_t, std::string> leftOut = LeftOut(place, entries);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].empty()) {
            std::printf("  %3zu  (empty: %s is missing; nothing is checked for it)\n", i + 1,
                        ListEntryName(place, i + 1).c_str());
            continue;
        }
        std::printf("  %3zu  %s", i + 1, entries[i].c_str());
        // The worker leaves out a bad account or rule; a bad group name it looks for in vain.
        if (auto it = leftOut.find(i + 1); it != leftOut.end())
            std::printf(place.list == IdentityList::Groups ? "   <- no group has this name: %s"
                                                           : "   <- left out by the worker: %s",
                        it->second.c_str());
        std::printf("\n");
    }
}

std::string AddressConsequence(const std::vector<std::string>& rules) {
    return BuildIdentityRules({}, rules, {}).addresses.Consequence();
}

// The gateways' sections with an address, as "Firewall1 (10.0.0.2)".
std::string GatewayName(const IdentitySettings& lists, int gateway) {
    return "Firewall" + std::to_string(gateway) + " (" + lists.gatewayAddress[static_cast<std::size_t>(gateway)] + ")";
}

std::string JoinedGroups(const std::vector<std::string>& groups) {
    std::string out;
    for (const std::string& g : groups) {
        if (g.empty()) continue;
        if (!out.empty()) out += "; ";
        out += g;
    }
    return out;
}

void PrintLists(const Session& s, const IdentitySettings& lists) {
    const IdentityListPlace accounts{IdentityList::Accounts, -1}, addresses{IdentityList::Addresses, -1},
        groups{IdentityList::Groups, -1};
    std::printf("Ignored accounts [IgnoredAccounts]: %zu\n", lists.accounts.size());
    PrintEntries(accounts, lists.accounts);
    const ConsoleConfig& c = s.core->Config();
    for (unsigned i = 0; i < kMaxServers; ++i)
        if (c.serverPresent[i] && !c.servers[i].userName.empty())
            std::printf("    -  %s   (always ignored: the agent's own account, AdServer%u UserName)\n",
                        c.servers[i].userName.c_str(), i);

    std::printf("Address rules [AddressRules], first match decides: %zu\n", lists.addressRules.size());
    PrintEntries(addresses, lists.addressRules);
    std::printf("  => %s\n", AddressConsequence(lists.addressRules).c_str());

    std::printf("Member groups [MemberGroups]: %zu\n", lists.memberGroups.size());
    PrintEntries(groups, lists.memberGroups);
    std::printf("  => %s\n", JoinedGroups(lists.memberGroups).empty()
                                 ? "group membership is not checked"
                                 : "only members of one of them (nested membership included) are reported");
    for (unsigned i = 0; i < kMaxGateways; ++i) {
        if (!lists.gatewayPresent[i]) continue;
        const IdentityListPlace place{IdentityList::Groups, static_cast<int>(i)};
        const std::vector<std::string>& own = lists.List(place);
        std::printf("Gateway %s groups [Firewall%u GroupNum]: %zu%s\n", GatewayName(lists, static_cast<int>(i)).c_str(),
                    i, own.size(), own.empty() ? " (hears of every reported user)" : "");
        PrintEntries(place, own);
    }
}

// The folder opened and its lists read (for a change, only while the settings are unlocked); an
// exit status on failure. The lists' messages are English, so no language section is needed.
std::optional<int> OpenLists(Session& s, IdentitySettings& lists, bool change) {
    if (auto status = OpenSession(s, false, Texts::Optional)) return status;
    if (change) {
        if (auto status = CheckUnlocked(s)) return status;
    }
    if (ReadIdentitySettings(s.start.configPath, lists)) return std::nullopt;
    std::fprintf(stderr, "orvanectl: cannot read %s: %s\n", s.start.configPath.c_str(), std::strerror(errno));
    return kExitFailure;
}

int Refused(const std::string& what, const std::string& why) {
    std::fprintf(stderr, "orvanectl: %s: %s; nothing is written\n", what.c_str(), why.c_str());
    return kExitRefused;
}

// The changed list written alone, then shown as it now reads.
int SaveList(const Session& s, const IdentityListPlace& place, const std::vector<std::string>& entries) {
    std::string why;
    if (!WriteIdentityLists(s.start.configPath, {{place, entries}}, why)) {
        std::fprintf(stderr, "orvanectl: %s\n", why.c_str());
        return kExitFailure;
    }
    std::printf("[%s] %s=%zu\n", ListSection(place).c_str(), ListCountKey(place), entries.size());
    PrintEntries(place, entries);
    if (place.list == IdentityList::Addresses)
        std::printf("First match decides; %s.\n", AddressConsequence(entries).c_str());
    return kExitOk;
}

int RunFilterEdit(std::string_view sub, const Options& opt) {
    const bool add = sub == "add", remove = sub == "remove", move = sub == "move";
    const std::size_t wanted = add ? 2 : remove ? 2 : 3;
    if (opt.positional.size() != wanted)
        return Usage("filter", add      ? "add takes a list and a value"
                               : remove ? "remove takes a list and an entry number"
                                        : "move takes a list and two entry numbers");
    const std::optional<IdentityList> list = ListNamed(opt.positional[0]);
    if (!list) return Usage("filter", "the list is accounts, addresses or groups");
    IdentityListPlace place{*list, -1};
    if (const std::string* gateway = opt.Get("gateway")) {
        if (*list != IdentityList::Groups) return Usage("filter", "--gateway is for groups only");
        const std::optional<int> n = GatewayNumber(*gateway);
        if (!n) return Usage("filter", "--gateway takes a Firewall section number, 0 to 4");
        place.gateway = *n;
    }
    std::optional<std::size_t> at, from, to;
    if (const std::string* text = opt.Get("at")) {
        if (!add) return Usage("filter", "--at is for add only");
        if (!(at = Position(*text))) return Usage("filter", "--at takes an entry number from 1");
    }
    if (remove && !(from = Position(opt.positional[1]))) return Usage("filter", "give the entry's number (see 'show')");
    if (move && (!(from = Position(opt.positional[1])) || !(to = Position(opt.positional[2]))))
        return Usage("filter", "give the entry's number and its new number (see 'show')");
    std::string why;
    const std::string value = add ? StoredListEntry(*list, opt.positional[1]) : std::string();
    // A bad value is refused before anything is opened: the check needs no settings.
    if (add && !CheckListEntry(*list, opt.positional[1], why))
        return Refused("'" + TrimSpaces(opt.positional[1]) + "' is refused", why);

    Session s;
    IdentitySettings lists;
    if (auto status = OpenLists(s, lists, true)) return *status;
    if (place.gateway >= 0 && !lists.gatewayPresent[static_cast<std::size_t>(place.gateway)])
        return Refused("Firewall" + std::to_string(place.gateway), "there is no such gateway (see 'orvanectl device list')");
    std::vector<std::string> entries = lists.List(place);
    const std::string section = ListSection(place);
    auto noEntry = [&](std::size_t n) {
        return Refused(section, "there is no entry " + std::to_string(n) + " (the list holds " +
                                    std::to_string(entries.size()) + ")");
    };
    if (add) {
        if (at && *at > entries.size() + 1) return noEntry(*at);
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (EqualsNoCase(TrimSpaces(entries[i]), value))
                return Refused("'" + value + "'", "already in the list as " + ListEntryName(place, i + 1));
        if (entries.size() >= kMaxNumberedListEntries)
            return Refused(section, "a list holds at most " + std::to_string(kMaxNumberedListEntries) + " entries");
        entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(at ? *at - 1 : entries.size()), value);
    } else if (remove) {
        if (*from > entries.size()) return noEntry(*from);
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(*from - 1));
    } else {
        if (*from > entries.size()) return noEntry(*from);
        if (*to > entries.size()) return noEntry(*to);
        std::string moved = std::move(entries[*from - 1]);
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(*from - 1));
        entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(*to - 1), std::move(moved));
    }
    return SaveList(s, place, entries);
}

}  // namespace

void PrintFilterHelp(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvanectl filter show\n"
                 "       orvanectl filter add %s VALUE [--at N] [--gateway G]\n"
                 "       orvanectl filter remove %s N [--gateway G]\n"
                 "       orvanectl filter move %s FROM TO [--gateway G]\n"
                 "\n"
                 "Which logons become identities on the gateways: the lists of config.ini that the\n"
                 "workers read at start.\n"
                 "  accounts   [IgnoredAccounts] Account1..: accounts never reported, written name,\n"
                 "             DOMAIN\\name or name@dns.domain (case ignored); the name may end in\n"
                 "             one * (svc-*). The agent's own accounts are always ignored.\n"
                 "  addresses  [AddressRules] Rule1..: 'include CIDR' or 'exclude CIDR', in order;\n"
                 "             the first rule that matches decides. Once the list holds an include\n"
                 "             rule, an address no rule matches is NOT reported.\n"
                 "  groups     [MemberGroups] Group1..: a group's distinguished name\n"
                 "             (CN=VPN-Users,CN=Users,DC=corp,DC=example,DC=com) or its name\n"
                 "             (VPN-Users); when any is set only members are reported, nested\n"
                 "             membership included. With --gateway G, the groups of gateway\n"
                 "             FirewallG alone ([FirewallG] GroupNum, Group1..): it hears only of\n"
                 "             their members. Only the directory knows whether a group exists: the\n"
                 "             worker names a missing one at start.\n"
                 "\n"
                 "show prints every list numbered, says what an address no rule matches gets and\n"
                 "marks each entry the worker would leave out, with the reason. add puts VALUE at\n"
                 "the end, or at number N; remove deletes entry N; move puts entry FROM at number\n"
                 "TO. Each checks the value first: a bad one is refused with its reason (exit\n"
                 "status 3) and nothing is written. The list is renumbered and written at once;\n"
                 "changes are locked while the service is not stopped and take effect at its next\n"
                 "start. 'orvanectl explain' tells what the lists decide for one logon.\n"
                 "\n%s\n%s",
                 kListNames, kListNames, kListNames, kFolderHelp, kExitStatusHelp);
}

int RunFilter(int argc, char** argv) {
    if (argc < 2) return Usage("filter", "show, add, remove or move?");
    Options opt;
    std::string error;
    if (!ParseOptions(argc, argv, 2, {"at", "gateway"}, opt, error)) return Usage("filter", error.c_str());
    for (const std::string& p : opt.positional)
        if (IsHelp(p)) {
            PrintFilterHelp(stdout);
            return kExitOk;
        }
    const std::string_view sub = argv[1];
    if (IsHelp(sub)) {
        PrintFilterHelp(stdout);
        return kExitOk;
    }
    if (sub == "show") {
        if (!opt.positional.empty() || !opt.values.empty()) return Usage("filter", "show takes no arguments");
        Session s;
        IdentitySettings lists;
        if (auto status = OpenLists(s, lists, false)) return *status;
        PrintLists(s, lists);
        return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
    }
    if (sub != "add" && sub != "remove" && sub != "move") return Usage("filter", "show, add, remove or move?");
    return RunFilterEdit(sub, opt);
}

// ---------------------------------------------------------------------------------------------

void PrintExplainHelp(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvanectl explain USER ADDRESS\n"
                 "\n"
                 "Says which entry of the lists in config.ini (see 'orvanectl filter --help') would\n"
                 "decide a logon of USER (name, DOMAIN\\name or name@dns.domain) at the IPv4\n"
                 "ADDRESS, and why, as a worker started now would decide it. Nothing is sent and\n"
                 "the directory is not asked: a logon that passes is reported only if the\n"
                 "directory knows the user (and, with member groups, finds it a member). Logoffs\n"
                 "are not held to the lists.\n"
                 "\n"
                 "%s\n"
                 "Exit status: 0 it would be reported, 1 it would not, 2 usage error, 3 USER or\n"
                 "ADDRESS is not one (the message says why); config.ini unreadable also gives 1.\n",
                 kFolderHelp);
}

int RunExplain(int argc, char** argv) {
    if (argc >= 2 && IsHelp(argv[1])) {
        PrintExplainHelp(stdout);
        return kExitOk;
    }
    if (argc != 3) return Usage("explain", "give a user and an address");
    const std::string user = TrimSpaces(argv[1]), address = TrimSpaces(argv[2]);
    std::string name = user, domain;
    if (const std::size_t slash = user.find('\\'); slash != std::string::npos) {
        domain = user.substr(0, slash);
        name = user.substr(slash + 1);
    }
    if (name.empty() || name.front() == '@') {
        std::fprintf(stderr, "orvanectl: '%s' names no user\n", user.c_str());
        return kExitRefused;
    }
    std::uint32_t numeric = 0;
    if (!platform::ParseIpv4Address(address, numeric)) {
        std::fprintf(stderr, "orvanectl: '%s' is not an IPv4 address\n", address.c_str());
        return kExitRefused;
    }
    Session s;
    IdentitySettings lists;
    if (auto status = OpenLists(s, lists, false)) return *status;

    // The worker's order: its own accounts, the ignored accounts, the address rules.
    const ConsoleConfig& c = s.core->Config();
    for (unsigned i = 0; i < kMaxServers; ++i) {
        if (!c.serverPresent[i]) continue;
        ExcludedAccounts own;
        own.Add(c.servers[i].userName);
        if (own.Excludes(name, domain)) {
            std::printf("Not reported: %s is the agent's own account (AdServer%u UserName %s).\n", user.c_str(), i,
                        c.servers[i].userName.c_str());
            return kExitFailure;
        }
    }
    const IdentityRules rules = BuildIdentityRules(lists.accounts, lists.addressRules, {});
    if (const std::string* entry = rules.ignored.Match(name, domain)) {
        std::size_t number = 0;
        for (std::size_t i = 0; i < lists.accounts.size() && number == 0; ++i)
            if (EqualsNoCase(TrimSpaces(lists.accounts[i]), *entry)) number = i + 1;
        std::printf("Not reported: account ignored by IgnoredAccounts Account%zu (%s).\n", number, entry->c_str());
        return kExitFailure;
    }
    const AddressRules::Verdict verdict = rules.addresses.Decide(numeric);
    if (verdict.rule != 0) {
        const AddressRule& rule = rules.addresses.Rules()[verdict.rule - 1];
        if (!verdict.reported) {
            std::printf("Not reported: address %s excluded by AddressRules Rule%zu (%s).\n", address.c_str(), rule.key,
                        rule.text.c_str());
            return kExitFailure;
        }
        std::printf("Address %s included by AddressRules Rule%zu (%s).\n", address.c_str(), rule.key, rule.text.c_str());
    } else if (!verdict.reported) {
        std::printf("Not reported: address %s matches no rule; the list holds an include rule.\n", address.c_str());
        return kExitFailure;
    } else if (!rules.addresses.Empty()) {
        std::printf("Address %s matches no rule; the list holds no include rule, so it passes.\n", address.c_str());
    }
    const std::string groups = JoinedGroups(lists.memberGroups);
    if (groups.empty())
        std::printf("Reported, if the directory knows the user.\n");
    else
        std::printf("Reported, if the directory knows the user, and only if a member of one of: %s.\n", groups.c_str());
    for (unsigned i = 0; i < kMaxGateways; ++i) {
        const std::string own = JoinedGroups(lists.gatewayGroups[i]);
        if (lists.gatewayPresent[i] && !own.empty())
            std::printf("%s hears of it only if a member of one of: %s.\n", GatewayName(lists, static_cast<int>(i)).c_str(),
                        own.c_str());
    }
    return kExitOk;
}

}  // namespace orvane::ctl
