#pragma once
// One JSON object on one line, fields in the order they are added.
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane::gwemu {

class JsonLine {
public:
    JsonLine& AddText(std::string_view key, std::string_view text);
    JsonLine& AddNumber(std::string_view key, std::uint64_t number);
    JsonLine& AddBool(std::string_view key, bool value);
    // The object with its closing brace and a line end.
    std::string Finish() const;

private:
    void Key(std::string_view key);
    std::string text_ = "{";
};

// The text as a JSON string (UTF-8 passed through; quotes, backslashes and controls escaped).
void AppendJsonString(std::string& out, std::string_view text);

}  // namespace orvane::gwemu
