// The simulated printer's --json report, read into dotted paths:
// "transfer.bytes", "fault.offset", "verdict". Values keep their JSON text
// (strings unquoted); a path that is absent reads as "absent".
#pragma once

#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>

class TReport {
public:
    TReport() = default;
    explicit TReport(const std::string &json) {
        size_t at = 0;
        Value(json, at, "");
        Skip(json, at);
        if (at != json.size())
            throw std::runtime_error("trailing text after the report: " + json);
    }

    std::string Text(const std::string &path) const {
        auto it = values_.find(path);
        return it == values_.end() ? "absent" : it->second;
    }
    bool IsNull(const std::string &path) const { return Text(path) == "null"; }
    long long Int(const std::string &path) const {
        std::string text = Text(path);
        char *end = nullptr;
        long long value = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0')
            throw std::runtime_error(path + " is not an integer: " + text);
        return value;
    }
    double Number(const std::string &path) const {
        std::string text = Text(path);
        char *end = nullptr;
        double value = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0')
            throw std::runtime_error(path + " is not a number: " + text);
        return value;
    }

private:
    static void Skip(const std::string &s, size_t &at) {
        while (at < s.size() && (s[at] == ' ' || s[at] == '\n' || s[at] == '\t' || s[at] == '\r'))
            ++at;
    }
    static void Expect(const std::string &s, size_t &at, char c) {
        Skip(s, at);
        if (at >= s.size() || s[at] != c)
            throw std::runtime_error(std::string("expected '") + c + "' at " + std::to_string(at) +
                                     " in " + s);
        ++at;
    }
    static std::string String(const std::string &s, size_t &at) {
        Expect(s, at, '"');
        std::string text;
        while (at < s.size() && s[at] != '"') {
            if (s[at] == '\\' && at + 1 < s.size()) {
                char e = s[++at];
                if (e == 'u' && at + 4 < s.size()) {
                    unsigned code = unsigned(std::stoul(s.substr(at + 1, 4), nullptr, 16));
                    text += code < 0x80 ? char(code) : '?';
                    at += 4;
                } else {
                    text += e == 'n' ? '\n' : e == 't' ? '\t' : e;
                }
            } else {
                text += s[at];
            }
            ++at;
        }
        Expect(s, at, '"');
        return text;
    }
    void Value(const std::string &s, size_t &at, const std::string &path) {
        Skip(s, at);
        if (at >= s.size())
            throw std::runtime_error("report ends early: " + s);
        if (s[at] == '{') {
            ++at;
            Skip(s, at);
            if (at < s.size() && s[at] == '}') {
                ++at;
                return;
            }
            for (;;) {
                std::string key = String(s, at);
                Expect(s, at, ':');
                Value(s, at, path.empty() ? key : path + "." + key);
                Skip(s, at);
                if (at < s.size() && s[at] == ',') {
                    ++at;
                    continue;
                }
                Expect(s, at, '}');
                return;
            }
        }
        if (s[at] == '"') {
            values_[path] = String(s, at);
            return;
        }
        size_t start = at;
        while (at < s.size() && s[at] != ',' && s[at] != '}' && s[at] != ']')
            ++at;
        values_[path] = s.substr(start, at - start);
        while (!values_[path].empty() && values_[path].back() == ' ')
            values_[path].pop_back();
    }

    std::map<std::string, std::string> values_;
};
