// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/protocol.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace marvane::web {

namespace {

struct Reader {
    const std::string& s;
    std::size_t i = 0;
    void blanks() {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    }
    bool take(char c) {
        blanks();
        if (i < s.size() && s[i] == c) {
            ++i;
            return true;
        }
        return false;
    }
    bool string(std::string& out) {
        out.clear();
        if (!take('"')) return false;
        while (i < s.size()) {
            const char c = s[i++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i >= s.size()) return false;
            const char e = s[i++];
            switch (e) {
            case '"': case '\\': case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                if (i + 4 > s.size()) return false;
                unsigned code = 0;
                for (int k = 0; k < 4; ++k) {
                    const char h = s[i++];
                    if (!std::isxdigit(static_cast<unsigned char>(h))) return false;
                    code = code * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(h))
                                                                 ? h - '0'
                                                                 : std::tolower(h) - 'a' + 10);
                }
                // Only plain characters matter here; the rest stands as '?'.
                out += code < 0x80 ? static_cast<char>(code) : '?';
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    bool scalar(std::string& out) {
        blanks();
        if (i < s.size() && s[i] == '"') return string(out);
        const std::size_t start = i;
        while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '-' ||
                                s[i] == '+' || s[i] == '.'))
            ++i;
        out = s.substr(start, i - start);
        if (out == "true" || out == "false" || out == "null") return true;
        // A number as JSON writes it: strtod alone would take "nan" and "inf".
        if (out.empty() || out.find_first_not_of("0123456789+-.eE") != std::string::npos ||
            !(std::isdigit(static_cast<unsigned char>(out[0])) || out[0] == '-'))
            return false;
        char* end = nullptr;
        std::strtod(out.c_str(), &end);
        return end != nullptr && *end == '\0';
    }
};

}  // namespace

std::string PageMessage::text(const std::string& key) const {
    const auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
}

bool parsePageMessage(const std::string& json, PageMessage& out) {
    out = PageMessage{};
    if (json.size() > static_cast<std::size_t>(kMaxPageMessage)) return false;
    Reader r{json};
    if (!r.take('{')) return false;
    if (!r.take('}')) {
        do {
            std::string key;
            if (!r.string(key) || !r.take(':')) return false;
            if (out.values.count(key) || out.lists.count(key)) return false;
            if (r.take('[')) {
                std::vector<std::string>& list = out.lists[key];
                if (!r.take(']')) {
                    do {
                        std::string item;
                        if (!r.string(item)) return false;
                        list.push_back(std::move(item));
                    } while (r.take(','));
                    if (!r.take(']')) return false;
                }
            } else {
                std::string value;
                if (!r.scalar(value)) return false;
                out.values[key] = std::move(value);
            }
        } while (r.take(','));
        if (!r.take('}')) return false;
    }
    r.blanks();
    return r.i == json.size();
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

bool leastRoleFor(const std::string& type, Role& least) {
    struct Rule {
        const char* type;
        Role least;
    };
    // What a page may ask, and who may ask it. Control of the radio belongs
    // to an operator only; the station decides again when it acts on it.
    static constexpr Rule rules[] = {
        {"hello", Role::guest},
        {"ping", Role::guest},
        {"transmit", Role::operator_},
        {"release", Role::operator_},
        {"tune", Role::operator_},
        {"stream", Role::operator_},
    };
    for (const Rule& rule : rules)
        if (type == rule.type) {
            least = rule.least;
            return true;
        }
    return false;
}

bool roleAllows(Role role, Role least) {
    return static_cast<int>(role) >= static_cast<int>(least);
}

}  // namespace marvane::web
