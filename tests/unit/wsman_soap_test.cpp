#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <pugixml.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "platform/netif.h"
#include "worker/eventlog/ntlm_message.h"
#include "worker/eventlog/wsman_event_source.h"
#include "worker/eventlog/wsman_soap.h"

namespace orvane {
namespace {

using wsman::EnumerationBatch;
using wsman::Fault;
using wsman::ParseEnumeration;
using wsman::ParseResult;

constexpr char kTo[] = "https://10.99.1.2:5986/wsman";

std::string Envelope(const std::string& body) {
    return "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\""
           " xmlns:n=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\""
           " xmlns:w=\"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd\""
           " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
           " xmlns:cim=\"http://schemas.dmtf.org/wbem/wscim/1/common\">"
           "<s:Header><a:Action xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">x</a:Action></s:Header>"
           "<s:Body>" + body + "</s:Body></s:Envelope>";
}

// A Win32_NTLogEvent item as WinRM lays it out: one element per property, arrays repeated,
// times as cim:Datetime, nulls as xsi:nil.
std::string LogEventItem(int code, const std::string& time, const std::vector<std::string>& strings) {
    std::string s = "<p:Win32_NTLogEvent xmlns:p=\"http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/Win32_NTLogEvent\">"
                    "<p:Category>14339</p:Category><p:CategoryString xsi:nil=\"true\"/>"
                    "<p:EventCode>" + std::to_string(code) + "</p:EventCode>"
                    "<p:EventIdentifier>" + std::to_string(code) + "</p:EventIdentifier><p:EventType>4</p:EventType>";
    for (const std::string& i : strings) s += "<p:InsertionStrings>" + i + "</p:InsertionStrings>";
    s += "<p:Logfile>Security</p:Logfile><p:RecordNumber>77</p:RecordNumber>"
         "<p:TimeGenerated><cim:Datetime>" + time + "</cim:Datetime></p:TimeGenerated></p:Win32_NTLogEvent>";
    return s;
}

std::vector<std::string> TgtStrings(const std::string& user, const std::string& address) {
    std::vector<std::string> s(10, "-");
    s[0] = user;
    s[9] = address;
    return s;
}

TEST(WsmanSoap, EnumerateCarriesTheWqlFilterEscapedAndAsksForOptimizedBatches) {
    const std::string wql = "SELECT * FROM Win32_NTLogEvent where TimeGenerated>'20261207080616.359165+000' and "
                            "LogFile='Security' AND (EventCode='4768' OR EventCode='4624')";
    const std::string m = wsman::BuildEnumerate(kTo, wql, 32000, "uuid:1");
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(m.c_str()));
    const pugi::xml_node body = doc.child("s:Envelope").child("s:Body").child("n:Enumerate");
    EXPECT_TRUE(body.child("w:OptimizeEnumeration"));
    EXPECT_STREQ(body.child_value("w:MaxElements"), "32000");
    EXPECT_EQ(body.child("w:Filter").child_value(), wql);
    EXPECT_STREQ(body.child("w:Filter").attribute("Dialect").value(), "http://schemas.microsoft.com/wbem/wsman/1/WQL");
    const pugi::xml_node header = doc.child("s:Envelope").child("s:Header");
    EXPECT_STREQ(header.child_value("w:ResourceURI"), wsman::kCimV2AllClasses);
    EXPECT_STREQ(header.child_value("a:Action"), "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Enumerate");
    EXPECT_STREQ(header.child_value("a:To"), kTo);

    // A context is opaque: whatever the server sent goes back unchanged.
    const std::string pull = wsman::BuildPull(kTo, "uuid:<&>\"", 10, "uuid:2");
    ASSERT_TRUE(doc.load_string(pull.c_str()));
    EXPECT_STREQ(doc.child("s:Envelope").child("s:Body").child("n:Pull").child_value("n:EnumerationContext"),
                 "uuid:<&>\"");
    const std::string release = wsman::BuildRelease(kTo, "uuid:9", "uuid:3");
    ASSERT_TRUE(doc.load_string(release.c_str()));
    EXPECT_STREQ(doc.child("s:Envelope").child("s:Header").child_value("a:Action"),
                 "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Release");
    EXPECT_NE(wsman::NewMessageId(), wsman::NewMessageId());
}

TEST(WsmanSoap, EndOfSequenceWithItemsGivesTypedObjectsAndNoContext) {
    const std::string r = Envelope(
        "<n:EnumerateResponse><n:EnumerationContext>uuid:AB</n:EnumerationContext><w:Items>" +
        LogEventItem(4768, "2026-12-07T08:06:16.3591650Z", TgtStrings("ann", "::ffff:10.99.1.7")) +
        LogEventItem(4624, "2026-12-07T09:06:15.000000+01:00", std::vector<std::string>{"only"}) +
        "</w:Items><w:EndOfSequence/></n:EnumerateResponse>");
    EnumerationBatch batch;
    Fault fault;
    std::string error;
    ASSERT_EQ(ParseEnumeration(r, batch, fault, error), ParseResult::Ok) << error;
    EXPECT_TRUE(batch.endOfSequence);
    EXPECT_TRUE(batch.context.empty());
    ASSERT_EQ(batch.items.size(), 2u);
    const EventObject& e = batch.items[0];
    ASSERT_NE(e.GetInteger("EventIdentifier"), nullptr);
    EXPECT_EQ(*e.GetInteger("EventIdentifier"), 4768);
    EXPECT_EQ(*e.GetInteger("RecordNumber"), 77);
    EXPECT_EQ(*e.GetString("LogFile"), "Security");
    EXPECT_EQ(e.Get("CategoryString"), nullptr);
    // The CIM DATETIME form the next query compares with (7 fraction digits cut to 6).
    EXPECT_EQ(*e.GetString("TimeGenerated"), "20261207080616.359165+000");
    ASSERT_NE(e.GetStrings("InsertionStrings"), nullptr);
    EXPECT_EQ(e.GetStrings("InsertionStrings")->size(), 10u);
    EXPECT_EQ((*e.GetStrings("InsertionStrings"))[9], "::ffff:10.99.1.7");
    // One element is still an array; an offset is folded into UTC.
    ASSERT_NE(batch.items[1].GetStrings("InsertionStrings"), nullptr);
    EXPECT_EQ(batch.items[1].GetStrings("InsertionStrings")->size(), 1u);
    EXPECT_EQ(*batch.items[1].GetString("TimeGenerated"), "20261207080615.000000+000");
}

TEST(WsmanSoap, PullWithoutEndKeepsTheContextAndAnEmptyEnumerationEnds) {
    EnumerationBatch batch;
    Fault fault;
    std::string error;
    const std::string pull = Envelope("<n:PullResponse><n:EnumerationContext>uuid:C2</n:EnumerationContext><n:Items>" +
                                      LogEventItem(4769, "2026-12-07T08:00:00Z", TgtStrings("bob", "10.99.1.8")) +
                                      "</n:Items></n:PullResponse>");
    ASSERT_EQ(ParseEnumeration(pull, batch, fault, error), ParseResult::Ok) << error;
    EXPECT_FALSE(batch.endOfSequence);
    EXPECT_EQ(batch.context, "uuid:C2");
    EXPECT_EQ(batch.items.size(), 1u);

    const std::string empty = Envelope("<n:EnumerateResponse><w:Items/><w:EndOfSequence/></n:EnumerateResponse>");
    ASSERT_EQ(ParseEnumeration(empty, batch, fault, error), ParseResult::Ok) << error;
    EXPECT_TRUE(batch.items.empty());
    EXPECT_TRUE(batch.endOfSequence);

    // A property-list query comes back as fragments of the selected properties.
    const std::string caption = Envelope(
        "<n:EnumerateResponse><w:Items><w:XmlFragment><Caption>Microsoft Windows Server 2003 R2</Caption>"
        "</w:XmlFragment></w:Items><w:EndOfSequence/></n:EnumerateResponse>");
    ASSERT_EQ(ParseEnumeration(caption, batch, fault, error), ParseResult::Ok) << error;
    ASSERT_EQ(batch.items.size(), 1u);
    EXPECT_EQ(*batch.items[0].GetString("Caption"), "Microsoft Windows Server 2003 R2");

    // Neither an end nor a context to go on with: the enumeration would be stuck.
    const std::string stuck = Envelope("<n:PullResponse><n:Items/></n:PullResponse>");
    EXPECT_EQ(ParseEnumeration(stuck, batch, fault, error), ParseResult::Malformed);
}

TEST(WsmanSoap, EscapedTextDecodesAndAReusedBatchKeepsNothingOfTheLastOne) {
    // Entity and character references decode wherever text lies: in insertion strings as in
    // plain properties.
    std::vector<std::string> escaped = TgtStrings("a&amp;b", "&lt;10.99.1.7&gt;");
    escaped[2] = "&quot;q&quot; &apos;&#65;&#x42;";
    std::string first = LogEventItem(4768, "2026-12-07T08:06:16Z", escaped);
    first.insert(first.find("<p:EventCode>"), "<p:Message>x &lt; y &amp;&amp; z</p:Message>");
    const std::string r1 = Envelope("<n:PullResponse><n:EnumerationContext>uuid:C1</n:EnumerationContext><n:Items>" +
                                    first + LogEventItem(4624, "2026-12-07T08:06:17Z", TgtStrings("ann", "x")) +
                                    "</n:Items></n:PullResponse>");
    EnumerationBatch batch;
    Fault fault;
    std::string error;
    ASSERT_EQ(ParseEnumeration(r1, batch, fault, error), ParseResult::Ok) << error;
    ASSERT_EQ(batch.items.size(), 2u);
    const std::vector<std::string>* s = batch.items[0].GetStrings("InsertionStrings");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ((*s)[0], "a&b");
    EXPECT_EQ((*s)[2], "\"q\" 'AB");
    EXPECT_EQ((*s)[9], "<10.99.1.7>");
    EXPECT_EQ(*batch.items[0].GetString("Message"), "x < y && z");

    // The next batch is written over the slots of this one: one item of another shape (fewer
    // insertion strings, a null where text was, an integer and an array where text was, no
    // Message) must come out exactly as sent, and the second slot must go.
    const std::string other =
        "<p:Win32_NTLogEvent xmlns:p=\"urn:x\"><p:Category>7</p:Category><p:Message xsi:nil=\"true\"/>"
        "<p:InsertionStrings>one</p:InsertionStrings><p:Logfile>1</p:Logfile><p:EventCode>4769</p:EventCode>"
        "<p:Data>d1</p:Data><p:InsertionStrings>t&amp;wo</p:InsertionStrings><p:Data></p:Data>"
        "<p:TimeGenerated><cim:Datetime>2026-12-07T09:00:00Z</cim:Datetime></p:TimeGenerated></p:Win32_NTLogEvent>";
    const std::string r2 = Envelope("<n:PullResponse><n:Items>" + other + "</n:Items><n:EndOfSequence/></n:PullResponse>");
    ASSERT_EQ(ParseEnumeration(r2, batch, fault, error), ParseResult::Ok) << error;
    ASSERT_EQ(batch.items.size(), 1u);
    const EventObject& e = batch.items[0];
    EXPECT_EQ(e.Get("Message"), nullptr);
    EXPECT_EQ(e.Get("EventIdentifier"), nullptr);
    EXPECT_EQ(e.Get("RecordNumber"), nullptr);
    EXPECT_EQ(*e.GetInteger("Category"), 7);
    EXPECT_EQ(*e.GetInteger("EventCode"), 4769);
    EXPECT_EQ(*e.GetString("Logfile"), "1");
    EXPECT_EQ(*e.GetString("TimeGenerated"), "20261207090000.000000+000");
    ASSERT_NE(e.GetStrings("InsertionStrings"), nullptr);
    EXPECT_EQ(*e.GetStrings("InsertionStrings"), (std::vector<std::string>{"one", "t&wo"}));
    ASSERT_NE(e.GetStrings("Data"), nullptr);
    EXPECT_EQ(*e.GetStrings("Data"), (std::vector<std::string>{"d1", ""}));
}

TEST(WsmanSoap, TheHeadOfAnAnswerTellsTheNextContextOnlyWhenItIsCertainlyWhole) {
    std::string items;
    for (int i = 0; i < 40; ++i) items += LogEventItem(4768, "2026-12-07T08:06:16Z", TgtStrings("ann", "10.99.1.7"));
    const std::string big = Envelope("<n:PullResponse><n:EnumerationContext>uuid:C2</n:EnumerationContext><n:Items>" +
                                     items + "</n:Items></n:PullResponse>");
    ASSERT_GT(big.size(), 16384u);
    EXPECT_EQ(wsman::PeekContext(big), "uuid:C2");
    // Cut once the next element has begun, the head still tells it; cut inside the context or
    // its end tag, or right after them, it does not (a cut text would pass for the whole).
    const std::size_t end = big.find("</n:EnumerationContext>") + std::strlen("</n:EnumerationContext>");
    for (std::size_t cut = end + 2; cut <= end + 9; ++cut)
        EXPECT_EQ(wsman::PeekContext(std::string_view(big).substr(0, cut)), "uuid:C2") << cut;
    for (std::size_t cut = big.find("uuid:C2"); cut <= end + 1; ++cut)
        EXPECT_EQ(wsman::PeekContext(std::string_view(big).substr(0, cut)), "") << cut;
    // Whatever the head says, the full parse agrees.
    EnumerationBatch batch;
    Fault fault;
    std::string error;
    ASSERT_EQ(ParseEnumeration(big, batch, fault, error), ParseResult::Ok) << error;
    EXPECT_EQ(batch.context, "uuid:C2");
    EXPECT_EQ(batch.items.size(), 40u);
    // A context longer than the head is left to the full parse.
    const std::string longContext = Envelope("<n:PullResponse><n:EnumerationContext>uuid:" + std::string(9000, 'A') +
                                             "</n:EnumerationContext><n:Items>" + items + "</n:Items></n:PullResponse>");
    EXPECT_EQ(wsman::PeekContext(longContext), "");
    // An end, a fault or something else entirely names nothing to pull with.
    EXPECT_EQ(wsman::PeekContext(Envelope("<n:PullResponse><n:EnumerationContext>uuid:C3</n:EnumerationContext>"
                                          "<n:Items/><n:EndOfSequence/></n:PullResponse>")),
              "");
    EXPECT_EQ(wsman::PeekContext(Envelope("<s:Fault><s:Code><s:Value>s:Receiver</s:Value></s:Code></s:Fault>")), "");
    EXPECT_EQ(wsman::PeekContext("<html>502 Bad Gateway</html>"), "");
    EXPECT_EQ(wsman::PeekContext(""), "");
}

TEST(WsmanSoap, FaultsAreReadWithTheirWmiCode) {
    const std::string r = Envelope(
        "<s:Fault><s:Code><s:Value>s:Sender</s:Value><s:Subcode><s:Value>w:CannotProcessFilter</s:Value></s:Subcode>"
        "</s:Code><s:Reason><s:Text xml:lang=\"en-US\">The WQL query is invalid.</s:Text></s:Reason><s:Detail>"
        "<f:WSManFault xmlns:f=\"http://schemas.microsoft.com/wbem/wsman/1/wsmanfault\" Code=\"2147749911\">"
        "<f:Message>bad</f:Message></f:WSManFault></s:Detail></s:Fault>");
    EnumerationBatch batch;
    Fault fault;
    std::string error;
    ASSERT_EQ(ParseEnumeration(r, batch, fault, error), ParseResult::Fault);
    EXPECT_EQ(fault.code, "s:Sender");
    EXPECT_EQ(fault.subcode, "w:CannotProcessFilter");
    EXPECT_EQ(fault.reason, "The WQL query is invalid.");
    EXPECT_EQ(fault.wmiError, 0x80041017u);
    EXPECT_EQ(wsman::FaultResult(fault), kWbemEInvalidQuery);

    Fault other;
    other.subcode = "w:InternalError";
    other.wmiError = 0x80041003u;
    EXPECT_EQ(wsman::FaultResult(other), static_cast<HResult>(0x80041003u));
    other.wmiError = 5;  // not an HRESULT: the generic failure
    EXPECT_EQ(wsman::FaultResult(other), kWbemEFailed);
    other.subcode = "w:AccessDenied";
    EXPECT_EQ(wsman::FaultResult(other), static_cast<HResult>(0x80070005u));
}

TEST(WsmanSoap, TruncatedOrHostileAnswersAreRefusedWithoutReadingPastTheirEnd) {
    const std::string whole = Envelope("<n:EnumerateResponse><w:Items>" +
                                       LogEventItem(4768, "2026-12-07T08:06:16Z", TgtStrings("ann", "10.99.1.7")) +
                                       "</w:Items><w:EndOfSequence/></n:EnumerateResponse>");
    EnumerationBatch batch;
    Fault fault;
    std::string error;
    for (std::size_t cut = 0; cut < whole.size(); cut += 7) {
        // An exact-size copy: a read past its end shows under the sanitizers.
        std::vector<char> part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
        error.clear();
        EXPECT_EQ(ParseEnumeration(std::string_view(part.data(), part.size()), batch, fault, error),
                  ParseResult::Malformed)
            << cut;
        EXPECT_FALSE(error.empty());
    }

    // Entity declarations are never expanded (no "billion laughs").
    const std::string laughs =
        "<?xml version=\"1.0\"?><!DOCTYPE s:Envelope [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;\">]>" +
        Envelope("<n:EnumerateResponse><w:Items><w:XmlFragment><Caption>&b;&b;&b;</Caption></w:XmlFragment></w:Items>"
                 "<w:EndOfSequence/></n:EnumerateResponse>");
    if (ParseEnumeration(laughs, batch, fault, error) == ParseResult::Ok) {
        ASSERT_EQ(batch.items.size(), 1u);
        EXPECT_EQ(batch.items[0].GetString("Caption")->find("aaaa"), std::string::npos);
    }

    // Deep nesting neither crashes nor recurses away the stack.
    std::string deep = "<s:Envelope xmlns:s=\"x\"><s:Body><s:Fault><s:Detail>";
    for (int i = 0; i < 200000; ++i) deep += "<d>";
    for (int i = 0; i < 200000; ++i) deep += "</d>";
    deep += "</s:Detail></s:Fault></s:Body></s:Envelope>";
    EXPECT_NE(ParseEnumeration(deep, batch, fault, error), ParseResult::Ok);

    const std::string notInteger = Envelope("<n:EnumerateResponse><w:Items><p:X><p:EventCode>47x</p:EventCode></p:X>"
                                            "</w:Items><w:EndOfSequence/></n:EnumerateResponse>");
    EXPECT_EQ(ParseEnumeration(notInteger, batch, fault, error), ParseResult::Malformed);
    EXPECT_NE(error.find("EventCode"), std::string::npos);
    const std::string badTime = Envelope(
        "<n:EnumerateResponse><w:Items><p:X><p:TimeGenerated><cim:Datetime>yesterday</cim:Datetime></p:TimeGenerated>"
        "</p:X></w:Items><w:EndOfSequence/></n:EnumerateResponse>");
    EXPECT_EQ(ParseEnumeration(badTime, batch, fault, error), ParseResult::Malformed);
    EXPECT_EQ(ParseEnumeration("<html>502 Bad Gateway</html>", batch, fault, error), ParseResult::Malformed);
    EXPECT_EQ(ParseEnumeration(std::string(wsman::kMaxResponseBytes + 1, ' '), batch, fault, error),
              ParseResult::Malformed);
}

// Answers messages from a script and records what was sent: the HTTPS session's stand-in.
class ScriptedTransport final : public WsmanTransport {
public:
    explicit ScriptedTransport(std::vector<std::string> answers) : answers_(std::move(answers)) {}

    const std::string& Url() const override { return url_; }
    std::string& Body() override { return body_; }
    // An empty answer is a lost connection.
    bool Post(const std::string& request, bool& denied, std::string& error) override {
        denied = false;
        pugi::xml_document doc;
        if (!doc.load_string(request.c_str())) {
            sent_.push_back("not XML");
            return false;
        }
        const pugi::xml_node envelope = doc.child("s:Envelope");
        std::string action = envelope.child("s:Header").child_value("a:Action");
        action = action.substr(action.rfind('/') + 1);
        const std::string context = envelope.child("s:Body").first_child().child_value("n:EnumerationContext");
        sent_.push_back(context.empty() ? action : action + " " + context);
        const std::size_t at = next_++;
        if (at >= answers_.size() || answers_[at].empty()) {
            error = "connection reset by peer";
            return false;
        }
        body_ = answers_[at];
        return true;
    }
    // Read once the enumerator is gone: no pull is in flight then.
    const std::vector<std::string>& Sent() const { return sent_; }

private:
    std::string url_ = kTo;
    std::vector<std::string> answers_, sent_;
    std::size_t next_ = 0;
    std::string body_;
};

std::string Batch(const char* response, const std::string& context, int items, bool end) {
    std::string s = std::string("<n:") + response + ">";
    if (!context.empty()) s += "<n:EnumerationContext>" + context + "</n:EnumerationContext>";
    s += "<w:Items>";
    for (int i = 0; i < items; ++i) s += LogEventItem(4768, "2026-12-07T08:06:16Z", TgtStrings("ann", "10.99.1.7"));
    s += "</w:Items>";
    if (end) s += "<w:EndOfSequence/>";
    return Envelope(s + "</n:" + response + ">");
}

const std::string kReleased = Envelope("");

// Runs one query over `answers`, reads `take` objects (all when negative) and ends the
// enumeration; the messages sent, and how many objects came.
std::vector<std::string> RunQuery(std::vector<std::string> answers, int take, int& got, HResult& hr) {
    auto transport = std::make_shared<ScriptedTransport>(std::move(answers));
    got = 0;
    {
        const std::unique_ptr<EventServices> services = MakeWsmanServices(transport);
        std::unique_ptr<EventEnumerator> e;
        hr = services->ExecQuery("SELECT * FROM Win32_NTLogEvent where LogFile='Security' AND (EventCode='4768')", e);
        EventObject o;
        while (e && (take < 0 || got < take) && e->Next(o)) ++got;
    }
    return transport->Sent();
}

using Messages = std::vector<std::string>;

TEST(WsmanEnumeration, AnEnumerationStoppedEarlyIsReleasedAndAFinishedOneIsNot) {
    int got = 0;
    HResult hr = kSOk;
    // The poller's first poll stops at the first object. The next batch was already asked for;
    // its answer names the context to release. The receiver may already have pulled once more
    // ahead of the reader (how far it gets before the stop is up to the scheduler); the release
    // still names the context the last answer gave.
    Messages sent = RunQuery(
        {Batch("EnumerateResponse", "uuid:C1", 2, false), Batch("PullResponse", "uuid:C2", 2, false), kReleased}, 1,
        got, hr);
    if (sent.size() == 4 && sent[2] == "Pull uuid:C2") sent.erase(sent.begin() + 2);
    EXPECT_EQ(sent, (Messages{"Enumerate", "Pull uuid:C1", "Release uuid:C2"}));
    EXPECT_EQ(hr, kSOk);
    EXPECT_EQ(got, 1);
    // Read to its end: the server ended it itself.
    EXPECT_EQ(RunQuery({Batch("EnumerateResponse", "uuid:C1", 2, false), Batch("PullResponse", "uuid:C1", 2, false),
                   Batch("PullResponse", "", 1, true)},
                  -1, got, hr),
              (Messages{"Enumerate", "Pull uuid:C1", "Pull uuid:C1"}));
    EXPECT_EQ(got, 5);
    // Stopped early, but the batch asked for ahead ended the sequence: nothing left to release.
    EXPECT_EQ(RunQuery({Batch("EnumerateResponse", "uuid:C1", 2, false), Batch("PullResponse", "", 1, true)}, 1, got, hr),
              (Messages{"Enumerate", "Pull uuid:C1"}));
    // Everything in the first answer: no pull, no release, whether read to the end or not.
    EXPECT_EQ(RunQuery({Batch("EnumerateResponse", "", 3, true)}, 1, got, hr), (Messages{"Enumerate"}));
    EXPECT_EQ(RunQuery({Batch("EnumerateResponse", "", 3, true)}, -1, got, hr), (Messages{"Enumerate"}));
    EXPECT_EQ(got, 3);
}

TEST(WsmanEnumeration, TheReceiverRunsAheadBoundedlyAndWhatItPullsPastTheEndIsDropped) {
    int got = 0;
    HResult hr = kSOk;
    // Twenty batches ready on the server, one object read: the pulls ahead stay bounded, and
    // the context the last of them names is released.
    std::vector<std::string> answers = {Batch("EnumerateResponse", "uuid:C1", 2, false)};
    for (int i = 0; i < 20; ++i) answers.push_back(Batch("PullResponse", "uuid:C1", 2, false));
    answers.push_back(kReleased);
    const Messages sent = RunQuery(answers, 1, got, hr);
    ASSERT_GE(sent.size(), 3u);
    EXPECT_LE(sent.size(), 6u) << "more pulls ahead than the answers it may hold";
    EXPECT_EQ(sent.back(), "Release uuid:C1");
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "Release uuid:C1"), 1);

    // The last answer names a context but ends the sequence after its items (too far for the
    // head): the pull that left on the context is answered with a fault and dropped, nothing
    // is released, and every object arrives once.
    const std::string gone = Envelope(
        "<s:Fault><s:Code><s:Value>s:Sender</s:Value><s:Subcode><s:Value>n:InvalidEnumerationContext</s:Value>"
        "</s:Subcode></s:Code><s:Reason><s:Text>gone</s:Text></s:Reason></s:Fault>");
    EXPECT_EQ(RunQuery({Batch("EnumerateResponse", "uuid:C1", 2, false), Batch("PullResponse", "uuid:C1", 40, true), gone},
                       -1, got, hr),
              (Messages{"Enumerate", "Pull uuid:C1", "Pull uuid:C1"}));
    EXPECT_EQ(hr, kSOk);
    EXPECT_EQ(got, 42);
}

TEST(WsmanEnumeration, ObjectsHandedOutAreWholeWhileTheirStorageIsReusedAcrossBatches) {
    // Two batches of different shapes read into one caller object: every object comes out as
    // sent, nothing of the one before it shows through.
    auto batch = [](const char* response, const std::string& context, std::vector<std::vector<std::string>> strings,
                    bool end) {
        std::string s = std::string("<n:") + response + ">";
        if (!context.empty()) s += "<n:EnumerationContext>" + context + "</n:EnumerationContext>";
        s += "<w:Items>";
        for (int minute = 0; minute < static_cast<int>(strings.size()); ++minute)
            s += LogEventItem(4768 + minute, "2026-12-07T08:0" + std::to_string(minute) + ":00Z",
                              strings[static_cast<std::size_t>(minute)]);
        s += "</w:Items>";
        if (end) s += "<w:EndOfSequence/>";
        return Envelope(s + "</n:" + response + ">");
    };
    const std::vector<std::string> twelve = {"x", "y", "z", "w", "v", "u", "t", "s", "r", "q", "p", "o"};
    auto transport = std::make_shared<ScriptedTransport>(
        std::vector<std::string>{batch("EnumerateResponse", "uuid:C1", {TgtStrings("ann", "a1"), twelve}, false),
                                 batch("PullResponse", "", {{"one"}, {}, TgtStrings("bob", "b1")}, true)});
    const std::unique_ptr<EventServices> services = MakeWsmanServices(transport);
    std::unique_ptr<EventEnumerator> e;
    ASSERT_EQ(services->ExecQuery("SELECT * FROM Win32_NTLogEvent where LogFile='Security' AND (EventCode='4768')", e),
              kSOk);
    const std::vector<std::vector<std::string>> want = {TgtStrings("ann", "a1"), twelve, {"one"}, {},
                                                        TgtStrings("bob", "b1")};
    const int codes[] = {4768, 4769, 4768, 4769, 4770};
    EventObject o;
    std::size_t n = 0;
    for (; e->Next(o); ++n) {
        ASSERT_LT(n, want.size());
        const std::vector<std::string>* s = o.GetStrings("InsertionStrings");
        if (want[n].empty()) {
            EXPECT_EQ(s, nullptr) << n;
        } else {
            ASSERT_NE(s, nullptr) << n;
            EXPECT_EQ(*s, want[n]) << n;
        }
        EXPECT_EQ(*o.GetInteger("EventCode"), codes[n]) << n;
        const std::size_t minute = n < 2 ? n : n - 2;  // each batch starts at 08:00
        EXPECT_EQ(*o.GetString("TimeGenerated"), "20261207080" + std::to_string(minute) + "00.000000+000") << n;
    }
    EXPECT_EQ(n, want.size());
}

TEST(WsmanEnumeration, AnAnswerThatCannotBeReadReleasesTheEnumerationALostOneDoesNot) {
    int got = 0;
    HResult hr = kSOk;
    // A pull answered with something unreadable: the server still holds the enumeration.
    EXPECT_EQ(RunQuery({Batch("EnumerateResponse", "uuid:C1", 1, false), "<s:Envelope><s:Body><n:PullResp", kReleased}, -1,
                  got, hr),
              (Messages{"Enumerate", "Pull uuid:C1", "Release uuid:C1"}));
    EXPECT_EQ(got, 1);
    // A bad item after the context: the pull asked for meanwhile is finished, then released.
    const std::string badItem = Envelope(
        "<n:EnumerateResponse><n:EnumerationContext>uuid:C1</n:EnumerationContext><w:Items><p:X><p:EventCode>47x"
        "</p:EventCode></p:X></w:Items></n:EnumerateResponse>");
    EXPECT_EQ(RunQuery({badItem, Batch("PullResponse", "uuid:C1", 1, false), kReleased}, -1, got, hr),
              (Messages{"Enumerate", "Pull uuid:C1", "Release uuid:C1"}));
    EXPECT_EQ(hr, kWbemEFailed);
    EXPECT_EQ(got, 0);
    // The connection lost during a pull takes the enumeration with it: nothing to release.
    EXPECT_EQ(RunQuery({Batch("EnumerateResponse", "uuid:C1", 1, false), ""}, -1, got, hr),
              (Messages{"Enumerate", "Pull uuid:C1"}));
    EXPECT_EQ(got, 1);
    // The server says the context is gone: nothing to release either.
    const std::string gone = Envelope(
        "<s:Fault><s:Code><s:Value>s:Sender</s:Value><s:Subcode><s:Value>n:InvalidEnumerationContext</s:Value>"
        "</s:Subcode></s:Code><s:Reason><s:Text>gone</s:Text></s:Reason></s:Fault>");
    EXPECT_EQ(RunQuery({Batch("EnumerateResponse", "uuid:C1", 1, false), gone}, -1, got, hr),
              (Messages{"Enumerate", "Pull uuid:C1"}));
    // Any other fault leaves it open there.
    const std::string busy = Envelope(
        "<s:Fault><s:Code><s:Value>s:Receiver</s:Value><s:Subcode><s:Value>w:InternalError</s:Value>"
        "</s:Subcode></s:Code><s:Reason><s:Text>busy</s:Text></s:Reason></s:Fault>");
    EXPECT_EQ(RunQuery({Batch("EnumerateResponse", "uuid:C1", 1, false), busy, kReleased}, -1, got, hr),
              (Messages{"Enumerate", "Pull uuid:C1", "Release uuid:C1"}));
}

// MS-NLMP's NTLMv2 worked example.
TEST(Ntlm, NtlmV2ResponseMatchesTheProtocolsWorkedExample) {
    std::array<unsigned char, 16> key{};
    ASSERT_TRUE(ntlm::NtOwfV2("User", "Domain", "Password", key));
    const std::array<unsigned char, 16> expectedKey = {0x0c, 0x86, 0x8a, 0x40, 0x3b, 0xfd, 0x7a, 0x93,
                                                       0xa3, 0x00, 0x1e, 0xf2, 0x2e, 0xf0, 0x2e, 0x3f};
    EXPECT_EQ(key, expectedKey);

    ntlm::Challenge c;
    c.flags = 0xe28a8233;
    c.serverChallenge = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    const unsigned char info[] = {0x02, 0x00, 0x0c, 0x00, 'D', 0, 'o', 0, 'm', 0, 'a', 0, 'i', 0, 'n', 0,
                                  0x01, 0x00, 0x0c, 0x00, 'S', 0, 'e', 0, 'r', 0, 'v', 0, 'e', 0, 'r', 0,
                                  0x00, 0x00, 0x00, 0x00};
    c.targetInfo.assign(reinterpret_cast<const char*>(info), sizeof info);
    std::array<unsigned char, 8> client;
    client.fill(0xaa);
    std::string m, error;
    ASSERT_TRUE(ntlm::AuthenticateMessage(c, "User", "Domain", "Password", client, 0, m, error)) << error;
    ASSERT_GE(m.size(), 64u);
    auto field = [&](std::size_t at) {
        const std::size_t len = static_cast<unsigned char>(m[at]) | static_cast<unsigned char>(m[at + 1]) << 8;
        std::size_t off = 0;
        for (int i = 3; i >= 0; --i) off = off << 8 | static_cast<unsigned char>(m[at + 4 + static_cast<std::size_t>(i)]);
        return m.substr(off, len);
    };
    const std::string nt = field(20), lm = field(12);
    const unsigned char proof[] = {0x68, 0xcd, 0x0a, 0xb8, 0x51, 0xe5, 0x1c, 0x96,
                                   0xaa, 0xbc, 0x92, 0x7b, 0xeb, 0xef, 0x6a, 0x1c};
    EXPECT_EQ(nt.substr(0, 16), std::string(reinterpret_cast<const char*>(proof), 16));
    const unsigned char lmv2[] = {0x86, 0xc3, 0x50, 0x97, 0xac, 0x9c, 0xec, 0x10, 0x25, 0x54, 0x76, 0x4a,
                                  0x57, 0xcc, 0xcc, 0x19, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};
    EXPECT_EQ(lm, std::string(reinterpret_cast<const char*>(lmv2), sizeof lmv2));
    EXPECT_EQ(field(36), std::string("U\0s\0e\0r\0", 8));
}

// A CHALLENGE_MESSAGE with `info` as its target information.
std::string ChallengeMessage(const std::string& info) {
    std::string m("NTLMSSP\0\x02\0\0\0", 12);
    m.resize(48, '\0');
    m[20] = 0x35;  // Unicode, request target, NTLM, ...
    m[22] = static_cast<char>(0x89);
    m[23] = static_cast<char>(0xe2);
    for (int i = 0; i < 8; ++i) m[24 + static_cast<std::size_t>(i)] = static_cast<char>(0x11 * (i + 1));
    m[40] = static_cast<char>(info.size());
    m[42] = static_cast<char>(info.size());
    m[44] = 48;
    return m + info;
}

std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

TEST(Ntlm, AServerTimestampBringsAMicOverTheThreeMessagesAnnouncedInTheResponse) {
    const std::string domain("\x02\0\x08\0C\0O\0R\0P\0", 12);
    const std::string stamp("\x07\0\x08\0\x00\x80\x3e\xd5\xde\xb1\xd9\x01", 12);
    const std::string end(4, '\0');
    for (const bool withFlags : {false, true}) {
        // A server's own MsvAvFlags (here "constrained authentication") keep their bits.
        const std::string flags = withFlags ? std::string("\x06\0\x04\0\x01\0\0\0", 8) : std::string();
        ntlm::Challenge c;
        std::string error;
        ASSERT_TRUE(ntlm::ParseChallenge(ChallengeMessage(domain + flags + stamp + end), c, error)) << error;
        std::array<unsigned char, 8> client{};
        client.fill(0x5a);
        std::string m;
        ASSERT_TRUE(ntlm::AuthenticateMessage(c, "bench", "CORP", "Bench-Pass-1", client, 0, m, error)) << error;
        ASSERT_GE(m.size(), 88u);
        auto field = [&](std::size_t at, std::size_t& off) {
            const std::size_t len = static_cast<unsigned char>(m[at]) | static_cast<unsigned char>(m[at + 1]) << 8;
            off = static_cast<unsigned char>(m[at + 4]) | static_cast<unsigned char>(m[at + 5]) << 8;
            return m.substr(off, len);
        };
        std::size_t off = 0;
        const std::string nt = field(20, off);
        EXPECT_GE(off, 88u) << "the payload overlaps the MIC";
        EXPECT_EQ(field(12, off), std::string(24, '\0')) << "no LMv2 response beside a server timestamp";
        // The response's AV pairs: the server's, then MsvAvFlags with "MIC present", then the end.
        const std::string avFlags = withFlags ? std::string("\x06\0\x04\0\x03\0\0\0", 8)
                                              : std::string("\x06\0\x04\0\x02\0\0\0", 8);
        const std::string expectedInfo = withFlags ? domain + avFlags + stamp + end : domain + stamp + avFlags + end;
        EXPECT_EQ(Hex(nt.substr(16 + 28, expectedInfo.size())), Hex(expectedInfo));

        // MIC = HMAC-MD5(session base key, NEGOTIATE + CHALLENGE + AUTHENTICATE with a zero MIC),
        // the session base key = HMAC-MD5(NTOWFv2, NT proof), as no key exchange is negotiated.
        EXPECT_EQ(static_cast<unsigned char>(m[63]) & 0x40, 0);
        std::array<unsigned char, 16> key{};
        ASSERT_TRUE(ntlm::NtOwfV2("bench", "CORP", "Bench-Pass-1", key));
        unsigned char base[16], mic[16];
        unsigned int n = 0;
        HMAC(EVP_md5(), key.data(), 16, reinterpret_cast<const unsigned char*>(nt.data()), 16, base, &n);
        std::string zeroed = m;
        std::fill(zeroed.begin() + ntlm::kMicOffset, zeroed.begin() + ntlm::kMicOffset + 16, '\0');
        const std::string covered = ntlm::NegotiateMessage() + c.raw + zeroed;
        HMAC(EVP_md5(), base, 16, reinterpret_cast<const unsigned char*>(covered.data()), covered.size(), mic, &n);
        EXPECT_EQ(Hex(m.substr(ntlm::kMicOffset, 16)), Hex(std::string_view(reinterpret_cast<char*>(mic), 16)));
    }
}

TEST(Ntlm, ChallengesPointingOutsideTheMessageAreRefused) {
    std::string m("NTLMSSP\0", 8);
    m += std::string("\x02\0\0\0", 4);
    m.resize(48, '\0');
    m[20] = 0x01;  // Unicode
    ntlm::Challenge c;
    std::string error;
    EXPECT_TRUE(ntlm::ParseChallenge(m, c, error)) << error;
    m[40] = 0x10;  // 16 bytes of target information...
    m[44] = 0x40;  // ...at offset 64 of a 48-byte message
    EXPECT_FALSE(ntlm::ParseChallenge(m, c, error));
    EXPECT_FALSE(ntlm::ParseChallenge(m.substr(0, 30), c, error));
    EXPECT_FALSE(ntlm::ParseChallenge("HTTP/1.1", c, error));

    std::string decoded;
    ASSERT_TRUE(ntlm::FromBase64(ntlm::Base64("ab"), decoded));
    EXPECT_EQ(decoded, "ab");
    ASSERT_TRUE(ntlm::FromBase64(ntlm::Base64(ntlm::NegotiateMessage()), decoded));
    EXPECT_EQ(decoded, ntlm::NegotiateMessage());
    EXPECT_FALSE(ntlm::FromBase64("abc", decoded));
    EXPECT_FALSE(ntlm::FromBase64("a!c=", decoded));
}

// Refusals that must happen before any network traffic.
TEST(WsmanLocator, RefusesBadPathsMissingAccountsAndThisMachinesOwnAddress) {
    WsmanLocator remote;
    std::unique_ptr<EventServices> s;
    EXPECT_EQ(remote.ConnectServer("\\\\10.99.9.9\\root\\default", "u", "p", "ntlmdomain:CORP", s), kWbemEInvalidNamespace);
    EXPECT_EQ(remote.ConnectServer("\\\\a@b\\root\\cimv2", "u", "p", "ntlmdomain:CORP", s), kWbemEInvalidNamespace);
    EXPECT_EQ(remote.ConnectServer("root\\cimv2", "u", "p", "", s), kWbemEInvalidNamespace);
    EXPECT_EQ(remote.ConnectServer("\\\\10.99.9.9\\root\\cimv2", "", "", "", s), kEAccessDenied);
    EXPECT_EQ(s, nullptr);

    // The machine's locator: credentials for one of its own addresses are refused as WMI does,
    // so the poller goes on to the local branch without trying the network.
    std::vector<std::string> own;
    int err = 0;
    if (!platform::LocalIpv4Addresses(own, err) || own.empty()) GTEST_SKIP() << "no IPv4 address here";
    std::unique_ptr<EventLocator> locator;
    ASSERT_EQ(GetEventSourceFactory().CreateLocator(locator), kSOk);
    EXPECT_EQ(locator->ConnectServer("\\\\" + own[0] + "\\root\\cimv2", "admin", "pw", "ntlmdomain:CORP", s),
              kWbemELocalCredentials);
}

}  // namespace
}  // namespace orvane
