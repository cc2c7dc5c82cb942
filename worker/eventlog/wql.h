#pragma once
// The WQL the poller sends: SELECT <*|properties> FROM <class> [WHERE <condition>], the
// condition made of comparisons "Property op 'literal'" joined by AND, OR, NOT and parentheses.
// Event sources that answer from something other than WMI parse and evaluate it here.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "worker/eventlog/event_source.h"

namespace orvane::wql {

enum class Op { Eq, Ne, Lt, Le, Gt, Ge };

struct Condition {
    enum class Kind { Compare, And, Or, Not } kind = Kind::Compare;
    // Compare
    std::string property;
    Op op = Op::Eq;
    std::string literal;
    // And / Or (two operands) and Not (one)
    std::unique_ptr<Condition> left, right;
};

struct Query {
    std::vector<std::string> properties;  // empty for *
    std::string className;
    std::unique_ptr<Condition> where;     // null without WHERE
};

// Null and a reason when the text is not a query of this form.
std::optional<Query> Parse(std::string_view text, std::string* error = nullptr);

// Integer properties compare numerically with a numeric literal, strings character by
// character (CIM DATETIME texts of one form order like their times); a missing property or
// an array makes the comparison false.
bool Matches(const Condition* where, const EventObject& object);

// The lower bound the condition puts on `property` when every match must satisfy
// "property > literal" (or >=): a comparison at the top or inside a top-level AND chain.
// Lets a source skip what is older without evaluating it. Nullopt when there is none.
std::optional<std::string> LowerBound(const Condition* where, std::string_view property);

}  // namespace orvane::wql
