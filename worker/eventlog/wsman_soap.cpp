#include "worker/eventlog/wsman_soap.h"

#include <openssl/rand.h>

#include <pugixml.hpp>

#include <charconv>
#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "worker/eventlog/samba_audit_source.h"

namespace orvane::wsman {
namespace {

constexpr char kEnvelopeOpen[] =
    "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\""
    " xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\""
    " xmlns:n=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\""
    " xmlns:w=\"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd\">";
constexpr char kActionBase[] = "http://schemas.xmlsoap.org/ws/2004/09/enumeration/";
constexpr char kWqlDialect[] = "http://schemas.microsoft.com/wbem/wsman/1/WQL";
constexpr HResult kEAccessDenied = static_cast<HResult>(0x80070005u);

// Win32_NTLogEvent's integer properties; everything else the poller reads is text.
constexpr std::string_view kIntegerProperties[] = {"Category", "EventCode", "EventIdentifier", "EventType",
                                                   "RecordNumber"};
// Array properties that stay arrays with a single element.
constexpr std::string_view kArrayProperties[] = {"InsertionStrings", "Data"};

void AppendEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
}

void AppendHeader(std::string& out, std::string_view to, std::string_view action, std::string_view messageId) {
    out += kEnvelopeOpen;
    out += "<s:Header><a:To>";
    AppendEscaped(out, to);
    out += "</a:To><w:ResourceURI s:mustUnderstand=\"true\">";
    out += kCimV2AllClasses;
    out += "</w:ResourceURI><a:ReplyTo><a:Address s:mustUnderstand=\"true\">"
           "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous</a:Address></a:ReplyTo>"
           "<a:Action s:mustUnderstand=\"true\">";
    out += kActionBase;
    out += action;
    out += "</a:Action><w:MaxEnvelopeSize s:mustUnderstand=\"true\">";
    out += std::to_string(kMaxEnvelopeSize);
    out += "</w:MaxEnvelopeSize><a:MessageID>";
    AppendEscaped(out, messageId);
    out += "</a:MessageID><w:OperationTimeout>PT60.000S</w:OperationTimeout></s:Header><s:Body>";
}

// Escapes only: SOAP needs no line-end or attribute whitespace normalisation. An element's text
// is kept in the element: half the nodes to build and walk.
constexpr unsigned kParseOptions = pugi::parse_minimal | pugi::parse_escapes | pugi::parse_embed_pcdata;

// One pass over the name: this runs for every element of every item.
std::string_view LocalName(const char* name) {
    const char* local = name;
    const char* c = name;
    for (; *c; ++c) {
        if (*c == ':' && local == name) local = c + 1;
    }
    return {local, static_cast<std::size_t>(c - local)};
}

pugi::xml_node Child(pugi::xml_node parent, std::string_view local) {
    for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element && LocalName(c.name()) == local) return c;
    }
    return {};
}

bool IsNil(pugi::xml_node n) {
    for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
        if (LocalName(a.name()) == "nil" && std::strcmp(a.value(), "true") == 0) return true;
    }
    return false;
}

// A property element's text where it lies in the parsed answer; `dt` is set instead when the
// value is a cim:Datetime. Text is kept in the element itself (parse_embed_pcdata).
std::string_view RawValue(pugi::xml_node property, pugi::xml_node first, const char* value, pugi::xml_node& dt) {
    if (!first || first.type() != pugi::node_element) return value;
    dt = Child(property, "Datetime");
    return dt ? std::string_view() : std::string_view(property.child_value());
}

// Writes a property's value as the poller compares it into `out`, reusing its storage: a
// cim:Datetime becomes CIM DATETIME.
bool PutValue(pugi::xml_node property, std::string_view raw, pugi::xml_node dt, std::string& out, std::string& error) {
    if (!dt) {
        out.assign(raw);
        return true;
    }
    if (IsoToCimDateTime(dt.child_value(), out)) return true;
    error = std::string("bad cim:Datetime \"") + dt.child_value() + "\" in " + property.name();
    return false;
}

enum class Kind { Text, Integer, Array };

// What a property is; Windows spells the names exactly so, anything else is compared ignoring case.
Kind KindOf(std::string_view name, std::size_t& array) {
    if (name == "InsertionStrings") {
        array = 0;
        return Kind::Array;
    }
    for (std::size_t i = 0; i < std::size(kArrayProperties); ++i) {
        if (name.size() == kArrayProperties[i].size() && EqualsNoCase(name, kArrayProperties[i])) {
            array = i;
            return Kind::Array;
        }
    }
    for (std::string_view n : kIntegerProperties) {
        if (name.size() == n.size() && EqualsNoCase(name, n)) return Kind::Integer;
    }
    return Kind::Text;
}

// What the elements of one answer's items are, learnt from the first item: items of one class
// repeat their element names in the same order, so most elements are known by one compare.
struct Shape {
    struct Element {
        std::string name;  // as written in the answer, prefix included
        std::size_t local = 0;  // where the local name starts in it
        Kind kind = Kind::Text;
        std::size_t array = 0;
    };
    std::vector<Element> elements;
    // The answer the names lie in: a compare reads no byte outside it.
    const char* begin = nullptr;
    const char* end = nullptr;

    bool Named(const Element& e, const char* name) const {
        const std::size_t n = e.name.size();
        if (name < begin || name >= end) return std::strcmp(e.name.c_str(), name) == 0;
        return static_cast<std::size_t>(end - name) > n && SameBytes(name, e.name.data(), n) && name[n] == '\0';
    }

    // The element at position `i` of an item, named `name` in the answer.
    const Element& At(std::size_t i, const char* name) {
        if (i < elements.size() && Named(elements[i], name)) return elements[i];
        if (i >= elements.size()) elements.resize(i + 1);
        Element& e = elements[i];
        const std::string_view local = LocalName(name);
        e.name.assign(name);
        e.local = e.name.size() - local.size();
        e.kind = KindOf(local, e.array);
        return e;
    }
};

// Rewrites `object` in place: the storage of the object mapped into it before is reused, so a
// batch of items of one shape costs next to no allocations.
bool MapItem(pugi::xml_node item, Shape& shape, EventObject& object, std::string& error) {
    // Array elements repeat the property's element; each array keeps the position of its first.
    std::size_t arrayAt[std::size(kArrayProperties)] = {};
    std::size_t arrayCount[std::size(kArrayProperties)] = {};
    bool seen[std::size(kArrayProperties)] = {};
    std::size_t at = 0;
    std::size_t position = 0;
    for (pugi::xml_node p = item.first_child(); p; p = p.next_sibling()) {
        if (p.type() != pugi::node_element) continue;
        // Only an empty element can be a null.
        const pugi::xml_node first = p.first_child();
        const char* value = p.value();
        if (!first && !*value && IsNil(p)) continue;
        const Shape::Element& element = shape.At(position++, p.name());
        const std::string_view name = std::string_view(element.name).substr(element.local);
        pugi::xml_node dt;
        const std::string_view raw = RawValue(p, first, value, dt);
        switch (element.kind) {
            case Kind::Array: {
                const std::size_t array = element.array;
                if (!seen[array]) {
                    seen[array] = true;
                    arrayAt[array] = at++;
                }
                std::vector<std::string>& values = object.StringsAt(arrayAt[array], kArrayProperties[array]);
                // A logon event has up to 21 insertion strings: one allocation for them all.
                if (values.capacity() == 0) values.reserve(24);
                const std::size_t n = arrayCount[array]++;
                std::string& slot = n < values.size() ? values[n] : values.emplace_back();
                if (!PutValue(p, raw, dt, slot, error)) return false;
                break;
            }
            case Kind::Integer: {
                const std::string_view text = dt ? std::string_view(dt.child_value()) : raw;
                std::int64_t v = 0;
                auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
                if (ec != std::errc() || end != text.data() + text.size()) {
                    error = "property " + std::string(name) + " is not an integer: \"" + std::string(text) + "\"";
                    return false;
                }
                object.IntegerAt(at++, name, v);
                break;
            }
            case Kind::Text:
                if (!PutValue(p, raw, dt, object.TextAt(at++, name), error)) return false;
                break;
        }
    }
    // What an earlier, longer object left behind goes.
    for (std::size_t i = 0; i < std::size(kArrayProperties); ++i) {
        if (seen[i]) object.StringsAt(arrayAt[i], kArrayProperties[i]).resize(arrayCount[i]);
    }
    object.Truncate(at);
    return true;
}

bool ParseUint32(std::string_view text, std::uint32_t& v) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

void ReadFault(pugi::xml_node f, Fault& fault) {
    pugi::xml_node code = Child(f, "Code");
    fault.code = Child(code, "Value").child_value();
    fault.subcode = Child(Child(code, "Subcode"), "Value").child_value();
    fault.reason = Child(Child(f, "Reason"), "Text").child_value();
    // The WMI or Win32 code travels in the detail: a WSManFault's Code attribute or a
    // MSFT_WmiError's error_Code.
    pugi::xml_node detail = Child(f, "Detail");
    if (!detail) return;
    pugi::xml_node found = detail.find_node([](pugi::xml_node n) {
        return n.type() == pugi::node_element &&
               (LocalName(n.name()) == "WSManFault" || LocalName(n.name()) == "error_Code");
    });
    if (!found) return;
    std::uint32_t v = 0;
    const char* text = LocalName(found.name()) == "WSManFault" ? found.attribute("Code").value() : found.child_value();
    if (ParseUint32(text, v)) fault.wmiError = v;
}

// Loads `body` in place (the buffer must outlive `doc`) and finds the SOAP body; a fault is
// read into `fault`.
ParseResult LoadBody(std::string& body, pugi::xml_document& doc, pugi::xml_node& soapBody, Fault& fault,
                     std::string& error) {
    if (body.size() > kMaxResponseBytes) {
        error = "the answer is larger than " + std::to_string(kMaxResponseBytes) + " bytes";
        return ParseResult::Malformed;
    }
    const pugi::xml_parse_result r = doc.load_buffer_inplace(body.data(), body.size(),
                                                             kParseOptions,
                                                             pugi::encoding_utf8);
    if (!r) {
        error = std::string("the answer is not well-formed XML (") + r.description() + " at byte " +
                std::to_string(r.offset) + ")";
        return ParseResult::Malformed;
    }
    pugi::xml_node envelope = doc.document_element();
    if (LocalName(envelope.name()) != "Envelope") {
        error = "the answer is not a SOAP envelope";
        return ParseResult::Malformed;
    }
    soapBody = Child(envelope, "Body");
    if (!soapBody) {
        error = "the SOAP envelope has no body";
        return ParseResult::Malformed;
    }
    if (pugi::xml_node f = Child(soapBody, "Fault")) {
        ReadFault(f, fault);
        return ParseResult::Fault;
    }
    return ParseResult::Ok;
}

// The EnumerateResponse or PullResponse in a SOAP body.
pugi::xml_node EnumerationResponse(pugi::xml_node soapBody) {
    const pugi::xml_node response = Child(soapBody, "EnumerateResponse");
    return response ? response : Child(soapBody, "PullResponse");
}

}  // namespace

std::string BuildIdentify() {
    return "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\""
           " xmlns:wsmid=\"http://schemas.dmtf.org/wbem/wsman/identity/1/wsmanidentity.xsd\">"
           "<s:Header/><s:Body><wsmid:Identify/></s:Body></s:Envelope>";
}

std::string BuildEnumerate(std::string_view to, std::string_view wql, unsigned maxElements,
                           std::string_view messageId) {
    std::string out;
    out.reserve(1536 + wql.size());
    AppendHeader(out, to, "Enumerate", messageId);
    // The first items come back in the response itself: a small poll takes one round trip.
    out += "<n:Enumerate><w:OptimizeEnumeration/><w:MaxElements>";
    out += std::to_string(maxElements);
    out += "</w:MaxElements><w:Filter Dialect=\"";
    out += kWqlDialect;
    out += "\">";
    AppendEscaped(out, wql);
    out += "</w:Filter></n:Enumerate></s:Body></s:Envelope>";
    return out;
}

namespace {

// Pull and Release: an operation on an enumeration context.
std::string ContextMessage(std::string_view to, std::string_view action, std::string_view context,
                           std::string_view extra, std::string_view messageId) {
    std::string out;
    out.reserve(1536 + context.size());
    AppendHeader(out, to, action, messageId);
    out += "<n:";
    out += action;
    out += "><n:EnumerationContext>";
    AppendEscaped(out, context);
    out += "</n:EnumerationContext>";
    out += extra;
    out += "</n:";
    out += action;
    out += "></s:Body></s:Envelope>";
    return out;
}

}  // namespace

std::string BuildPull(std::string_view to, std::string_view context, unsigned maxElements,
                      std::string_view messageId) {
    const std::string extra = "<n:MaxElements>" + std::to_string(maxElements) + "</n:MaxElements>";
    return ContextMessage(to, "Pull", context, extra, messageId);
}

std::string BuildRelease(std::string_view to, std::string_view context, std::string_view messageId) {
    return ContextMessage(to, "Release", context, {}, messageId);
}

std::string NewMessageId() {
    unsigned char b[16] = {};
    if (RAND_bytes(b, sizeof b) != 1) {
        // Only a message id: uniqueness per process is enough when the generator is down.
        static std::uint64_t counter = 0;
        ++counter;
        std::memcpy(b, &counter, sizeof counter);
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    char out[48];
    std::snprintf(out, sizeof out, "uuid:%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return out;
}

ParseResult LoadEnumeration(LoadedAnswer& answer) {
    answer.fault = Fault{};
    answer.error.clear();
    answer.context.clear();
    answer.endOfSequence = false;
    answer.items = pugi::xml_node();
    auto done = [&answer](ParseResult r) { return answer.result = r; };
    pugi::xml_node soapBody;
    if (ParseResult r = LoadBody(answer.body, answer.doc, soapBody, answer.fault, answer.error); r != ParseResult::Ok)
        return done(r);
    const pugi::xml_node response = EnumerationResponse(soapBody);
    if (!response) {
        answer.error = "the answer is neither an EnumerateResponse nor a PullResponse";
        return done(ParseResult::Malformed);
    }
    answer.endOfSequence = static_cast<bool>(Child(response, "EndOfSequence"));
    if (!answer.endOfSequence) answer.context = Child(response, "EnumerationContext").child_value();
    if (!answer.endOfSequence && answer.context.empty()) {
        answer.error = "the enumeration neither ends nor names a context to pull with";
        return done(ParseResult::Malformed);
    }
    answer.items = Child(response, "Items");
    return done(ParseResult::Ok);
}

std::string PeekContext(std::string_view body) {
    // The header and the context come first; an answer's items follow them.
    constexpr std::size_t kHeadBytes = 8192;
    const std::string_view head = body.substr(0, kHeadBytes);
    pugi::xml_document doc;
    // A head cut short keeps the tree parsed before the cut.
    const bool whole = doc.load_buffer(head.data(), head.size(), kParseOptions,
                                       pugi::encoding_utf8) &&
                       head.size() == body.size();
    pugi::xml_node envelope = doc.document_element();
    if (LocalName(envelope.name()) != "Envelope") return {};
    const pugi::xml_node response = EnumerationResponse(Child(envelope, "Body"));
    const pugi::xml_node context = Child(response, "EnumerationContext");
    // Its text is whole only when something was parsed after it.
    if (!context || (!whole && !context.next_sibling()) || Child(response, "EndOfSequence")) return {};
    return context.child_value();
}

ParseResult MapItems(const LoadedAnswer& answer, EnumerationBatch& out, std::string& error) {
    // The item slots of the last batch are rewritten in place; what this one does not fill goes.
    std::size_t mapped = 0;
    struct Trim {
        std::vector<EventObject>& items;
        const std::size_t& mapped;
        ~Trim() { items.resize(mapped); }
    } trim{out.items, mapped};
    out.context = answer.context;
    out.endOfSequence = answer.endOfSequence;
    if (answer.result != ParseResult::Ok) {
        error = "the answer was not read";
        return ParseResult::Malformed;
    }
    Shape shape;
    shape.begin = answer.body.data();
    shape.end = answer.body.data() + answer.body.size();
    for (pugi::xml_node item = answer.items.first_child(); item; item = item.next_sibling()) {
        if (item.type() != pugi::node_element) continue;
        EventObject& object = mapped < out.items.size() ? out.items[mapped] : out.items.emplace_back();
        ++mapped;
        if (!MapItem(item, shape, object, error)) return ParseResult::Malformed;
    }
    return ParseResult::Ok;
}

ParseResult ParseEnumeration(std::string_view body, EnumerationBatch& out, Fault& fault, std::string& error) {
    if (body.size() > kMaxResponseBytes) {
        out = EnumerationBatch{};
        error = "the answer is larger than " + std::to_string(kMaxResponseBytes) + " bytes";
        return ParseResult::Malformed;
    }
    LoadedAnswer answer;
    answer.body.assign(body);
    switch (LoadEnumeration(answer)) {
        case ParseResult::Ok:
            return MapItems(answer, out, error);
        case ParseResult::Fault:
            fault = std::move(answer.fault);
            break;
        case ParseResult::Malformed:
            error = std::move(answer.error);
            break;
    }
    out = EnumerationBatch{};
    return answer.result;
}

ParseResult ParseIdentify(std::string_view body, Fault& fault, std::string& error) {
    pugi::xml_document doc;
    pugi::xml_node soapBody;
    std::string copy(body.substr(0, kMaxResponseBytes + 1));
    if (ParseResult r = LoadBody(copy, doc, soapBody, fault, error); r != ParseResult::Ok) return r;
    if (!Child(soapBody, "IdentifyResponse")) {
        error = "the answer is not an IdentifyResponse";
        return ParseResult::Malformed;
    }
    return ParseResult::Ok;
}

HResult FaultResult(const Fault& fault) {
    const std::string_view sub = LocalName(fault.subcode.c_str());
    if (sub == "CannotProcessFilter") return kWbemEInvalidQuery;
    if (sub == "AccessDenied") return kEAccessDenied;
    if ((fault.wmiError & 0xFFFF0000u) == 0x80040000u || (fault.wmiError & 0xFFFF0000u) == 0x80070000u)
        return static_cast<HResult>(fault.wmiError);
    return kWbemEFailed;
}

}  // namespace orvane::wsman
