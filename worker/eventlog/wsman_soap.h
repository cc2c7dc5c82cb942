#pragma once
// WS-Management messages of the remote event source: the SOAP 1.2 envelopes of Identify,
// Enumerate (WQL filter, optimized), Pull and Release on WMI's root/cimv2, and the parsing of
// their answers into the event layer's typed objects. No I/O here, so every edge is testable.
#include <pugixml.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "worker/eventlog/event_source.h"

namespace orvane::wsman {

// WMI's root/cimv2 classes, all of them (the class comes from the WQL text).
inline constexpr char kCimV2AllClasses[] = "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/*";
// The envelope size Windows accepts by default (MaxEnvelopeSizekb = 500).
inline constexpr std::size_t kMaxEnvelopeSize = 512000;
// What one answer may grow to before it is refused: a peer is never trusted to stop.
inline constexpr std::size_t kMaxResponseBytes = 4 * kMaxEnvelopeSize;

std::string BuildIdentify();
std::string BuildEnumerate(std::string_view to, std::string_view wql, unsigned maxElements,
                           std::string_view messageId);
std::string BuildPull(std::string_view to, std::string_view context, unsigned maxElements,
                      std::string_view messageId);
std::string BuildRelease(std::string_view to, std::string_view context, std::string_view messageId);

// "uuid:xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx" from 16 random bytes.
std::string NewMessageId();

struct Fault {
    std::string code;     // s:Code/s:Value, e.g. "s:Sender"
    std::string subcode;  // s:Subcode/s:Value, e.g. "w:CannotProcessFilter"
    std::string reason;   // s:Reason/s:Text
    std::uint32_t wmiError = 0;  // the WMI or Win32 code in the fault detail, 0 when none
};

struct EnumerationBatch {
    std::vector<EventObject> items;
    std::string context;        // the enumeration context to pull with; empty when done
    bool endOfSequence = false;
};

enum class ParseResult { Ok, Fault, Malformed };

// One EnumerateResponse or PullResponse, parsed where it lies: the document points into
// `body`, so an answer is held by pointer and never moved while it is read.
struct LoadedAnswer {
    std::string body;
    pugi::xml_document doc;
    ParseResult result = ParseResult::Malformed;
    Fault fault;                // on Fault
    std::string error;          // on Malformed
    std::string context;        // the context to pull with; empty when the enumeration ended
    bool endOfSequence = false;
    pugi::xml_node items;       // the items, when the answer has any
};

// Parses `answer.body` and reads all but the items, so the next batch can be asked for before
// they are mapped. Sets and returns `answer.result`.
ParseResult LoadEnumeration(LoadedAnswer& answer);
// Maps the items of an answer loaded without a failure into `out`, whose item slots are
// rewritten in place; what this answer does not fill goes. Ok, or Malformed with `error`.
ParseResult MapItems(const LoadedAnswer& answer, EnumerationBatch& out, std::string& error);

// The context an answer names, read from its first bytes only: the next pull can leave as
// soon as the answer is in, while the answer is still to be parsed. Empty when the head shows
// no context that is certainly whole (a fault, an end, or a context too long to tell); the
// full parse then decides.
std::string PeekContext(std::string_view body);

// Both steps on a copy of `body` (read within its size only). On Fault `fault` is filled; on
// Malformed `error` says what is wrong.
ParseResult ParseEnumeration(std::string_view body, EnumerationBatch& out, Fault& fault, std::string& error);
// An IdentifyResponse (or a fault).
ParseResult ParseIdentify(std::string_view body, Fault& fault, std::string& error);

// The WMI result a fault stands for.
HResult FaultResult(const Fault& fault);

}  // namespace orvane::wsman
