/* handler/record_codec.hpp: fixed-layout action and log records exchanged with the handler server */
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kinra {

inline constexpr std::string_view action_layout_text = "iiiiiiii36s36s36s36s36si";
inline constexpr std::string_view log_layout_text = "ii80s";
inline constexpr std::size_t action_record_size = 216;
inline constexpr std::size_t log_record_size = 88;
inline constexpr std::size_t action_head_count = 8;  // module_id, func_id and six arguments
inline constexpr std::size_t action_argument_count = 6;
inline constexpr std::size_t action_dependency_count = 4;
inline constexpr std::size_t id_field_width = 36;
inline constexpr std::size_t log_text_width = 80;

/// Everything an action record carries, already converted to wire types.
struct ActionFields {
    std::array<std::int32_t, action_head_count> head{};
    std::string_view cmd_id;
    std::array<std::string_view, action_dependency_count> dependencies;
    std::int32_t result = -1;
};

/// Writes the 216-byte action record to `out`. Texts longer than their field are cut to its width.
void pack_action(const ActionFields& fields, char* out) noexcept;

/// Writes the 88-byte log record to `out`.
void pack_log(std::int32_t kinra_id, std::int32_t idx, std::string_view text, char* out) noexcept;

/// A layout text such as "iiii36s" parsed into items with native sizes and alignment.
class Layout {
public:
    struct Item {
        bool is_integer;
        std::size_t offset;
        std::size_t width;
    };

    /// Throws LayoutError for anything but `i`, `Ni`, `Ns` items (whitespace between items allowed).
    static Layout parse(std::string_view text);

    const std::vector<Item>& items() const noexcept { return items_; }
    std::size_t size() const noexcept { return size_; }

private:
    std::vector<Item> items_;
    std::size_t size_ = 0;
};

struct LayoutError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

/// Raised when a record does not fit its layout: wrong length, or a byte above 127 in a text field.
struct DecodeError : std::runtime_error {
    enum class Kind { length, non_ascii };
    DecodeError(Kind kind, std::string message, std::size_t field_offset = 0, std::size_t position = 0);
    Kind kind;
    std::size_t field_offset;  // start of the offending text field in the record
    std::size_t position;      // offset of the offending byte within that field
};

using FieldValue = std::variant<std::int32_t, std::string>;

/// Splits `data` by `layout`; text fields lose every NUL byte, wherever it stands.
std::vector<FieldValue> decode(const Layout& layout, std::string_view data);

/// The parsed layouts of the two records, built once.
const Layout& action_layout();
const Layout& log_layout();

}  // namespace kinra
