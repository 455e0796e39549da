/* handler/settings.cpp: settings reader on yaml-cpp with YAML 1.1 scalar resolution and size bounds */
#include "settings.hpp"

#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <regex>
#include <sstream>

namespace kinra {

const SettingValue* SettingValue::find(std::string_view key) const noexcept {
    if (kind != Kind::map) return nullptr;
    for (const auto& [k, v] : entries) {
        if (k.kind == Kind::text && k.text == key) return &v;
    }
    return nullptr;
}

bool SettingValue::operator==(const SettingValue& o) const noexcept {
    if (kind != o.kind) return false;
    switch (kind) {
        case Kind::null: return true;
        case Kind::boolean: return boolean == o.boolean;
        case Kind::integer: return integer == o.integer;
        case Kind::big_integer: return text == o.text && base == o.base;
        case Kind::real: return real == o.real;
        case Kind::text: return text == o.text;
        case Kind::list: return items == o.items;
        case Kind::map: return entries == o.entries;
    }
    return false;
}

namespace {

constexpr std::string_view yaml_tag = "tag:yaml.org,2002:";
constexpr std::size_t max_resolved_length = 256;

// The implicit resolvers of YAML 1.1, as Python's safe loader applies them.
const std::regex& bool_pattern() {
    static const std::regex re("yes|Yes|YES|no|No|NO|true|True|TRUE|false|False|FALSE|on|On|ON|off|Off|OFF");
    return re;
}
const std::regex& int_pattern() {
    static const std::regex re(
        "[-+]?0b[0-1_]+|[-+]?0[0-7_]+|[-+]?(?:0|[1-9][0-9_]*)|[-+]?0x[0-9a-fA-F_]+|[-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+");
    return re;
}
const std::regex& float_pattern() {
    static const std::regex re(
        "[-+]?(?:[0-9][0-9_]*)\\.[0-9_]*(?:[eE][-+][0-9]+)?|\\.[0-9][0-9_]*(?:[eE][-+][0-9]+)?"
        "|[-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\\.[0-9_]*|[-+]?\\.(?:inf|Inf|INF)|\\.(?:nan|NaN|NAN)");
    return re;
}
bool is_null_text(const std::string& s) { return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL"; }

std::string without_underscores(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s)
        if (c != '_') out.push_back(c);
    return out;
}

SettingValue make_integer(const std::string& raw, const YAML::Mark& mark) {
    std::string digits = without_underscores(raw);
    bool negative = false;
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
        negative = digits[0] == '-';
        digits.erase(0, 1);
    }
    SettingValue v;
    v.kind = SettingValue::Kind::integer;
    if (digits == "0") return v;
    int base = 10;
    if (digits.rfind("0b", 0) == 0) {
        base = 2;
        digits.erase(0, 2);
    } else if (digits.rfind("0x", 0) == 0) {
        base = 16;
        digits.erase(0, 2);
    } else if (digits.find(':') != std::string::npos) {
        // Sexagesimal: 1:30 is 90.
        std::int64_t total = 0;
        std::stringstream parts(digits);
        std::string part;
        while (std::getline(parts, part, ':')) {
            const std::int64_t digit = std::stoll(part);
            if (total > (std::numeric_limits<std::int64_t>::max() - digit) / 60)
                throw SettingsError("settings line " + std::to_string(mark.line + 1) + ": integer " + raw + " is too large");
            total = total * 60 + digit;
        }
        v.integer = negative ? -total : total;
        return v;
    } else if (digits[0] == '0') {
        base = 8;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long magnitude = std::strtoull(digits.c_str(), &end, base);
    const auto limit = static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max());
    if (errno == ERANGE || magnitude > limit + (negative ? 1 : 0) || digits.empty()) {
        v.kind = SettingValue::Kind::big_integer;
        v.text = (negative ? "-" : "") + digits;
        v.base = base;
        return v;
    }
    v.integer = negative ? static_cast<std::int64_t>(0ULL - magnitude) : static_cast<std::int64_t>(magnitude);
    return v;
}

SettingValue make_real(const std::string& raw) {
    std::string s = without_underscores(raw);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    double sign = 1.0;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        if (s[0] == '-') sign = -1.0;
        s.erase(0, 1);
    }
    SettingValue v;
    v.kind = SettingValue::Kind::real;
    if (s == ".inf") {
        v.real = sign * std::numeric_limits<double>::infinity();
    } else if (s == ".nan") {
        v.real = std::numeric_limits<double>::quiet_NaN();
    } else if (s.find(':') != std::string::npos) {
        double total = 0.0;
        std::stringstream parts(s);
        std::string part;
        while (std::getline(parts, part, ':')) total = total * 60.0 + std::strtod(part.c_str(), nullptr);
        v.real = sign * total;
    } else {
        v.real = sign * std::strtod(s.c_str(), nullptr);
    }
    return v;
}

SettingValue make_text(std::string s) {
    SettingValue v;
    v.kind = SettingValue::Kind::text;
    v.text = std::move(s);
    return v;
}

SettingValue make_bool(const std::string& s) {
    SettingValue v;
    v.kind = SettingValue::Kind::boolean;
    v.boolean = s == "yes" || s == "Yes" || s == "YES" || s == "true" || s == "True" || s == "TRUE" || s == "on" ||
                s == "On" || s == "ON";
    return v;
}

std::string where(const YAML::Node& node) {
    return "settings line " + std::to_string(node.Mark().line + 1);
}

class Converter {
public:
    explicit Converter(const SettingsLimits& limits) : limits_(limits) {}

    SettingValue convert(const YAML::Node& node, std::size_t depth) {
        if (++nodes_ > limits_.max_nodes)
            throw SettingsError("settings expand to more than " + std::to_string(limits_.max_nodes) +
                                " nodes (aliases multiply the tree)");
        if (depth > limits_.max_depth)
            throw SettingsError(where(node) + ": nested too deep (more than " + std::to_string(limits_.max_depth) + " levels)");
        switch (node.Type()) {
            case YAML::NodeType::Null: {
                if (node.Tag() == std::string(yaml_tag) + "str") return make_text("");
                return SettingValue{};
            }
            case YAML::NodeType::Scalar: return scalar(node);
            case YAML::NodeType::Sequence: {
                check_collection_tag(node, "seq");
                SettingValue v;
                v.kind = SettingValue::Kind::list;
                v.items.reserve(node.size());
                for (const YAML::Node item : node) v.items.push_back(convert(item, depth + 1));
                return v;
            }
            case YAML::NodeType::Map: {
                check_collection_tag(node, "map");
                SettingValue v;
                v.kind = SettingValue::Kind::map;
                std::vector<std::pair<SettingValue, SettingValue>> own;
                std::vector<std::pair<SettingValue, SettingValue>> merged;
                for (auto it = node.begin(); it != node.end(); ++it) {
                    // The iterator hands out a temporary pair, so the nodes are copied (they are handles).
                    const YAML::Node key = it->first;
                    const YAML::Node value = it->second;
                    if (key.Type() == YAML::NodeType::Scalar && key.Tag() == "?" && key.Scalar() == "<<") {
                        merge_into(merged, value, depth + 1);
                        continue;
                    }
                    if (key.Type() == YAML::NodeType::Sequence || key.Type() == YAML::NodeType::Map)
                        throw SettingsError(where(key) + ": a list or map cannot be a key");
                    SettingValue k = convert(key, depth + 1);
                    own.emplace_back(std::move(k), convert(value, depth + 1));
                }
                // Merged keys come first and the map's own keys override them.
                for (auto& entry : merged) put(v.entries, std::move(entry));
                for (auto& entry : own) put(v.entries, std::move(entry));
                return v;
            }
            case YAML::NodeType::Undefined: break;
        }
        throw SettingsError(where(node) + ": undefined node");
    }

private:
    static void put(std::vector<std::pair<SettingValue, SettingValue>>& entries, std::pair<SettingValue, SettingValue> entry) {
        for (auto& existing : entries) {
            if (existing.first == entry.first) {
                existing.second = std::move(entry.second);
                return;
            }
        }
        entries.push_back(std::move(entry));
    }

    /// The `<<` merge key: a map, or a list of maps; a key merged earlier wins over a later one.
    void merge_into(std::vector<std::pair<SettingValue, SettingValue>>& merged, const YAML::Node& source, std::size_t depth) {
        std::vector<SettingValue> maps;
        if (source.Type() == YAML::NodeType::Map) {
            maps.push_back(convert(source, depth));
        } else if (source.Type() == YAML::NodeType::Sequence) {
            for (const YAML::Node item : source) {
                if (item.Type() != YAML::NodeType::Map)
                    throw SettingsError(where(item) + ": a merge list may hold only maps");
                maps.push_back(convert(item, depth + 1));
            }
        } else {
            throw SettingsError(where(source) + ": a merge key needs a map or a list of maps");
        }
        for (auto& map : maps) {
            for (auto& entry : map.entries) {
                bool present = false;
                for (const auto& existing : merged) present = present || existing.first == entry.first;
                if (!present) merged.push_back(std::move(entry));
            }
        }
    }

    static void check_collection_tag(const YAML::Node& node, std::string_view kind) {
        const std::string& tag = node.Tag();
        if (tag.empty() || tag == "?" || tag == "!" || tag == std::string(yaml_tag) + std::string(kind)) return;
        throw SettingsError(where(node) + ": unsupported tag " + tag);
    }

    static SettingValue scalar(const YAML::Node& node) {
        const std::string& tag = node.Tag();
        const std::string& s = node.Scalar();
        if (tag == "!") return make_text(s);  // quoted, or the non-specific tag
        if (tag == "?" || tag.empty()) {
            // The regex engine recurses per character, so long texts are never numbers or booleans here.
            if (s.size() > max_resolved_length) return make_text(s);
            if (std::regex_match(s, bool_pattern())) return make_bool(s);
            if (std::regex_match(s, float_pattern())) return make_real(s);
            if (std::regex_match(s, int_pattern())) return make_integer(s, node.Mark());
            if (is_null_text(s)) return SettingValue{};
            return make_text(s);
        }
        if (tag.rfind(yaml_tag, 0) == 0) {
            const std::string name = tag.substr(yaml_tag.size());
            if (s.size() > max_resolved_length && name != "str") throw SettingsError(where(node) + ": scalar too long for " + tag);
            if (name == "str") return make_text(s);
            if (name == "int" && std::regex_match(s, int_pattern())) return make_integer(s, node.Mark());
            if (name == "float" && std::regex_match(s, float_pattern())) return make_real(s);
            if (name == "float" && std::regex_match(s, int_pattern())) return make_real(s);
            if (name == "bool" && std::regex_match(s, bool_pattern())) return make_bool(s);
            if (name == "null" && is_null_text(s)) return SettingValue{};
            throw SettingsError(where(node) + ": '" + s + "' is not a valid " + tag);
        }
        throw SettingsError(where(node) + ": unsupported tag " + tag);
    }

    const SettingsLimits& limits_;
    std::size_t nodes_ = 0;
};

}  // namespace

SettingValue parse_settings(const std::string& yaml_text, const SettingsLimits& limits) {
    std::vector<YAML::Node> documents;
    try {
        documents = YAML::LoadAll(yaml_text);
    } catch (const YAML::Exception& e) {
        throw SettingsError(e.what());
    }
    if (documents.empty()) return SettingValue{};
    if (documents.size() > 1) throw SettingsError("settings hold more than one YAML document");
    try {
        return Converter(limits).convert(documents.front(), 0);
    } catch (const YAML::Exception& e) {
        throw SettingsError(e.what());
    }
}

SettingValue load_settings(const std::string& path, const SettingsLimits& limits) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const int err = errno;
        throw SettingsError("[Errno " + std::to_string(err) + "] " + std::strerror(err) + ": '" + path + "'");
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw SettingsError("cannot read " + path);
    return parse_settings(text.str(), limits);
}

}  // namespace kinra
