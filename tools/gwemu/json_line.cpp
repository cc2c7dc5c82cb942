#include "tools/gwemu/json_line.h"

#include <cstdio>

namespace orvane::gwemu {

void AppendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04X", c);
                    out += buf;
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

void JsonLine::Key(std::string_view key) {
    if (text_.size() > 1) text_ += ',';
    AppendJsonString(text_, key);
    text_ += ':';
}

JsonLine& JsonLine::AddText(std::string_view key, std::string_view text) {
    Key(key);
    AppendJsonString(text_, text);
    return *this;
}

JsonLine& JsonLine::AddNumber(std::string_view key, std::uint64_t number) {
    Key(key);
    text_ += std::to_string(number);
    return *this;
}

JsonLine& JsonLine::AddBool(std::string_view key, bool value) {
    Key(key);
    text_ += value ? "true" : "false";
    return *this;
}

std::string JsonLine::Finish() const { return text_ + "}\n"; }

}  // namespace orvane::gwemu
