// What the logon reporter reads about its PC: the address list (the file of
// ORVANE_REPORTER_ADDRESS_FILE, one address a line), the Kerberos configuration, the user and
// host names its distinguished name and report text are made of, and its five arguments.
// Whatever it builds must be read back by the worker's parser as the same user, domain and
// computer, or not be built at all.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/client_report.h"
#include "reporter/address_source.h"
#include "reporter/identity.h"
#include "reporter/reporter.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/unit/reporter_test_support.h"

using namespace orvane;

namespace {

void Addresses(FuzzedDataProvider& in) {
    const std::string path = fuzzing::ScratchDir::Get() / "addresses";
    fuzzing::WriteWhole(path, in.ConsumeRemainingBytesAsString());
    FileAddressSource source(path);
    std::string list;
    unsigned count = 0;
    ORVANE_FUZZ_CHECK(GetLocalAddressList(source, &list, &count) == 1);
    ORVANE_FUZZ_CHECK(count <= kMaxLocalAddresses);
    // Each address is followed by one blank, so the list holds at least `count` of them.
    std::size_t blanks = 0;
    for (char c : list) blanks += c == ' ';
    ORVANE_FUZZ_CHECK(blanks >= count && (count == 0) == list.empty());
    // The watch sends once for a new list and not again for the same one.
    NetworkWatch watch;
    int sends = 0;
    watch.Cycle(source, [&sends] { return ++sends; });
    watch.Cycle(source, [&sends] { return ++sends; });
    ORVANE_FUZZ_CHECK(sends == (list.empty() ? 0 : 1));
}

void IdentityInputs(FuzzedDataProvider& in) {
    const std::string krb5 = fuzzing::ScratchDir::Get() / "krb5.conf";
    const std::string krb5Text = in.ConsumeRandomLengthString(4096);
    fuzzing::WriteWhole(krb5, krb5Text);
    const std::string user = in.ConsumeRandomLengthString(400);
    const std::string hostDomain = in.ConsumeRandomLengthString(400);
    const std::string host = in.ConsumeRandomLengthString(400);

    (void)DefaultRealmFromKrb5Conf(krb5Text);
    const std::string dcs = DomainComponents(hostDomain);
    ORVANE_FUZZ_CHECK(dcs.empty() || dcs.compare(0, 3, "DC=") == 0);
    // KRB5_CONFIG is a list of files: a missing one is passed over.
    testing::FakeIdentity identity;
    identity.dn = DistinguishedNameOf(user, "/nonexistent/krb5.conf:" + krb5, hostDomain);
    ORVANE_FUZZ_CHECK(identity.dn.compare(0, 3, "CN=") == 0);
    identity.host = host;

    ReporterSession session;
    session.userName = session.loginName = user;
    session.identity = &identity;
    std::array<std::uint8_t, kReportTextCapacity> text{};
    std::size_t length = text.size();
    if (BuildReportText(session, &length, text.data()) != 1) return;
    ORVANE_FUZZ_CHECK(length > 0 && length <= text.size() && text[length - 1] == 0);
    const std::string_view built(reinterpret_cast<const char*>(text.data()), length - 1);
    ORVANE_FUZZ_CHECK(built.compare(0, kReportMagicLength, kReportMagic) == 0);
    ReportFields fields;
    ORVANE_FUZZ_CHECK(SplitReportText(built, fields) == ReportSplitResult::Split);
    ORVANE_FUZZ_CHECK(fields.user == user && fields.computer == host);
    std::string domain;
    ORVANE_FUZZ_CHECK(DomainFromDistinguishedName(identity.dn, domain) && fields.domain == domain);
}

void Arguments(FuzzedDataProvider& in) {
    std::array<std::string, 5> five;
    // Arguments are C strings: they end at a zero byte.
    for (std::string& a : five) a = in.ConsumeRandomLengthString(300).c_str();
    const char* argv[5];
    for (std::size_t i = 0; i < 5; ++i) argv[i] = five[i].c_str();
    ReporterArgs args;
    if (!ReadArguments(argv, args)) return;
    ORVANE_FUZZ_CHECK(args.repetitions <= 3 && args.workerAddress == five[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = (fuzzing::InstallDiscardLog(), true);
    (void)ready;
    if (size > 16 * 1024) return -1;
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            Addresses(in);
            break;
        case 1:
            IdentityInputs(in);
            break;
        case 2:
            Arguments(in);
            break;
    }
    return 0;
}
