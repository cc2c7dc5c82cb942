#pragma once
// A strict reader of the Prometheus text exposition format (version 0.0.4), written from the
// format's documentation, for the tests of orvanectl metrics:
//  - lines end with '\n'; empty lines are ignored; '#' lines are comments unless they are
//    "# HELP <name> <text>" or "# TYPE <name> <counter|gauge|histogram|summary|untyped>";
//  - HELP text escapes backslash as \\ and line feed as \n; label values also escape '"' as \";
//  - a sample is <name>[{<label>="<value>",...}] <value> [<timestamp>];
//  - metric names match [a-zA-Z_:][a-zA-Z0-9_:]*, label names [a-zA-Z_][a-zA-Z0-9_]*, and
//    label names beginning with "__" are reserved;
//  - at most one HELP and one TYPE per name, TYPE before the family's first sample, all samples of
//    a family together, no series (name and label set) twice, no label name twice in a sample;
//  - values are Go floats: decimal, "NaN", "+Inf", "-Inf".
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace orvane::testing {

struct PromSample {
    std::string name;
    std::map<std::string, std::string> labels;
    double value = 0;
};

struct PromFamily {
    std::string type = "untyped";
    std::string help;
    bool hasHelp = false, hasType = false;
};

struct PromExposition {
    std::map<std::string, PromFamily> families;
    std::vector<PromSample> samples;

    // The value of the one sample with this name and exactly these labels; NaN when there is none.
    double Value(const std::string& name, const std::map<std::string, std::string>& labels) const {
        for (const PromSample& s : samples)
            if (s.name == name && s.labels == labels) return s.value;
        return std::nan("");
    }
};

class PromParser {
public:
    // False with the 1-based line number and a reason in `error`.
    bool Parse(const std::string& text, PromExposition& out, std::string& error) {
        out = PromExposition{};
        if (!text.empty() && text.back() != '\n') return Fail(0, "the last line does not end with a line feed", error);
        std::size_t start = 0;
        int lineNo = 0;
        std::string current;  // family of the previous sample
        std::set<std::string> finished;
        std::set<std::string> series;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            std::string line = text.substr(start, end - start);
            start = end + 1;
            ++lineNo;
            if (line.empty()) continue;
            if (line[0] == '#') {
                std::string why;
                if (!Comment(line, out, why)) return Fail(lineNo, why, error);
                continue;
            }
            PromSample s;
            std::string why;
            if (!Sample(line, s, why)) return Fail(lineNo, why, error);
            const std::string family = FamilyOf(s.name, out);
            if (family != current) {
                if (finished.count(family)) return Fail(lineNo, "samples of " + family + " are not together", error);
                if (!current.empty()) finished.insert(current);
                current = family;
            }
            std::string key = s.name;
            for (const auto& [k, v] : s.labels) key += "\x01" + k + "=" + v;
            if (!series.insert(key).second) return Fail(lineNo, "series repeated: " + s.name, error);
            out.samples.push_back(std::move(s));
        }
        return true;
    }

private:
    static bool Fail(int line, const std::string& why, std::string& error) {
        error = "line " + std::to_string(line) + ": " + why;
        return false;
    }
    static bool NameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == ':'; }
    static bool NameChar(char c) { return NameStart(c) || std::isdigit(static_cast<unsigned char>(c)); }
    static bool ValidMetricName(const std::string& n) {
        if (n.empty() || !NameStart(n[0])) return false;
        for (char c : n)
            if (!NameChar(c)) return false;
        return true;
    }
    static bool ValidLabelName(const std::string& n) {
        if (n.empty() || n[0] == ':' || !NameStart(n[0])) return false;
        for (char c : n)
            if (!NameChar(c) || c == ':') return false;
        return n.rfind("__", 0) != 0;
    }
    // The family a sample belongs to: histogram and summary samples carry suffixes.
    static std::string FamilyOf(const std::string& name, const PromExposition& out) {
        for (const char* suffix : {"_bucket", "_sum", "_count"}) {
            std::string s = suffix;
            if (name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) {
                auto it = out.families.find(name.substr(0, name.size() - s.size()));
                if (it != out.families.end() && (it->second.type == "histogram" || it->second.type == "summary"))
                    return it->first;
            }
        }
        return name;
    }
    static bool Comment(const std::string& line, PromExposition& out, std::string& why) {
        const bool help = line.rfind("# HELP ", 0) == 0, type = line.rfind("# TYPE ", 0) == 0;
        if (!help && !type) return true;  // a plain comment
        std::string rest = line.substr(7);
        std::size_t sp = rest.find(' ');
        std::string name = rest.substr(0, sp);
        std::string text = sp == std::string::npos ? "" : rest.substr(sp + 1);
        if (!ValidMetricName(name)) return (why = "bad metric name in comment: " + name), false;
        PromFamily& f = out.families[name];
        if (help) {
            if (f.hasHelp) return (why = "second HELP for " + name), false;
            f.hasHelp = true;
            for (std::size_t i = 0; i < text.size(); ++i) {
                if (text[i] != '\\') {
                    f.help += text[i];
                } else if (i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == 'n')) {
                    f.help += text[++i] == 'n' ? '\n' : '\\';
                } else {
                    return (why = "bad escape in HELP of " + name), false;
                }
            }
            return true;
        }
        if (f.hasType) return (why = "second TYPE for " + name), false;
        for (const PromSample& s : out.samples)
            if (FamilyOf(s.name, out) == name) return (why = "TYPE of " + name + " after its samples"), false;
        if (text != "counter" && text != "gauge" && text != "histogram" && text != "summary" && text != "untyped")
            return (why = "unknown type " + text), false;
        f.hasType = true;
        f.type = text;
        return true;
    }
    static bool ParseValue(const std::string& v, double& out) {
        if (v == "NaN") return (out = std::nan("")), true;
        if (v == "+Inf" || v == "Inf") return (out = HUGE_VAL), true;
        if (v == "-Inf") return (out = -HUGE_VAL), true;
        if (v.empty()) return false;
        char* end = nullptr;
        out = std::strtod(v.c_str(), &end);
        return end == v.c_str() + v.size() && v.find_first_of("xXpP") == std::string::npos;
    }
    static bool Sample(const std::string& line, PromSample& s, std::string& why) {
        std::size_t i = 0;
        while (i < line.size() && NameChar(line[i])) ++i;
        s.name = line.substr(0, i);
        if (!ValidMetricName(s.name)) return (why = "bad metric name: " + s.name), false;
        if (i < line.size() && line[i] == '{') {
            ++i;
            while (i < line.size() && line[i] != '}') {
                std::size_t nameStart = i;
                while (i < line.size() && NameChar(line[i])) ++i;
                std::string label = line.substr(nameStart, i - nameStart);
                if (!ValidLabelName(label)) return (why = "bad label name: " + label), false;
                if (i + 1 >= line.size() || line[i] != '=' || line[i + 1] != '"')
                    return (why = "label " + label + " without =\"value\""), false;
                i += 2;
                std::string value;
                for (;; ++i) {
                    if (i >= line.size()) return (why = "unterminated label value"), false;
                    if (line[i] == '"') break;
                    if (line[i] == '\\') {
                        if (i + 1 >= line.size()) return (why = "dangling backslash"), false;
                        char e = line[++i];
                        if (e == 'n') value += '\n';
                        else if (e == '\\' || e == '"') value += e;
                        else return (why = std::string("bad escape \\") + e), false;
                    } else {
                        value += line[i];
                    }
                }
                ++i;  // closing quote
                if (!s.labels.emplace(label, value).second) return (why = "label " + label + " twice"), false;
                if (i < line.size() && line[i] == ',') ++i;
                else if (i >= line.size() || line[i] != '}') return (why = "expected , or } after a label"), false;
            }
            if (i >= line.size()) return (why = "unterminated label set"), false;
            ++i;
        }
        if (i >= line.size() || line[i] != ' ') return (why = "no space before the value"), false;
        std::string rest = line.substr(i + 1);
        std::size_t sp = rest.find(' ');
        std::string value = rest.substr(0, sp);
        if (!ParseValue(value, s.value)) return (why = "bad value: " + value), false;
        if (sp != std::string::npos) {
            std::string ts = rest.substr(sp + 1);
            if (ts.empty() || ts.find_first_not_of("-0123456789") != std::string::npos)
                return (why = "bad timestamp: " + ts), false;
        }
        return true;
    }
};

}  // namespace orvane::testing
