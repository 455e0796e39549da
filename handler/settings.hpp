/* handler/settings.hpp: the handler settings file read into an ordered tree of plain values */
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kinra {

/// One node of a settings tree. Maps keep their keys in file order; a repeated key keeps its first
/// position and takes the later value. Scalars are resolved as YAML 1.1 plain scalars are (null, bool,
/// int, float, else text); an integer beyond 64 bits is kept as its digits with `base`.
struct SettingValue {
    enum class Kind { null, boolean, integer, big_integer, real, text, list, map };

    Kind kind = Kind::null;
    bool boolean = false;
    std::int64_t integer = 0;
    double real = 0.0;
    std::string text;  // text, or the signed digits of a big integer
    int base = 10;     // of a big integer's digits
    std::vector<SettingValue> items;
    std::vector<std::pair<SettingValue, SettingValue>> entries;

    /// The value under a text key of a map, or nullptr.
    const SettingValue* find(std::string_view key) const noexcept;
    bool operator==(const SettingValue& other) const noexcept;
};

/// Bounds that keep a hostile settings file from exhausting the stack or memory.
struct SettingsLimits {
    std::size_t max_depth = 100;       // nesting of lists and maps
    std::size_t max_nodes = 200'000;   // nodes after aliases have been expanded
};

struct SettingsError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// Parses YAML text holding at most one document; an empty text gives null. Throws SettingsError.
SettingValue parse_settings(const std::string& yaml_text, const SettingsLimits& limits = {});

/// Reads and parses a settings file. A file that cannot be read throws SettingsError with the
/// system's reason ("[Errno 2] No such file or directory: 'path'").
SettingValue load_settings(const std::string& path, const SettingsLimits& limits = {});

}  // namespace kinra
