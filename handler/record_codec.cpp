/* handler/record_codec.cpp: packing and decoding of the handler records */
#include "record_codec.hpp"

#include <algorithm>
#include <cstring>

namespace kinra {

namespace {

void put_int(char* out, std::int32_t value) noexcept { std::memcpy(out, &value, sizeof value); }

void put_text(char* out, std::string_view text, std::size_t width) noexcept {
    const std::size_t n = std::min(text.size(), width);
    if (n != 0) std::memcpy(out, text.data(), n);  // an empty view may have no data pointer
    std::memset(out + n, 0, width - n);
}

}  // namespace

void pack_action(const ActionFields& fields, char* out) noexcept {
    char* p = out;
    for (std::int32_t value : fields.head) {
        put_int(p, value);
        p += 4;
    }
    put_text(p, fields.cmd_id, id_field_width);
    p += id_field_width;
    for (std::string_view dep : fields.dependencies) {
        put_text(p, dep, id_field_width);
        p += id_field_width;
    }
    put_int(p, fields.result);
}

void pack_log(std::int32_t kinra_id, std::int32_t idx, std::string_view text, char* out) noexcept {
    put_int(out, kinra_id);
    put_int(out + 4, idx);
    put_text(out + 8, text, log_text_width);
}

Layout Layout::parse(std::string_view text) {
    // Guards against counts that would overflow the offsets; no real record comes near it.
    constexpr std::size_t max_size = std::size_t{1} << 30;
    Layout layout;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            ++i;
            continue;
        }
        std::size_t count = 1;
        bool has_count = false;
        if (c >= '0' && c <= '9') {
            count = 0;
            while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
                count = count * 10 + static_cast<std::size_t>(text[i] - '0');
                if (count > max_size) throw LayoutError("layout " + std::string(text) + ": count too large");
                ++i;
            }
            has_count = true;
        }
        if (i >= text.size()) throw LayoutError("layout " + std::string(text) + ": count without item");
        const char kind = text[i++];
        if (kind == 's') {
            layout.items_.push_back({false, layout.size_, count});
            layout.size_ += count;
        } else if (kind == 'i') {
            for (std::size_t k = 0; k < count; ++k) {
                layout.size_ = (layout.size_ + 3) & ~std::size_t{3};
                layout.items_.push_back({true, layout.size_, 4});
                layout.size_ += 4;
            }
        } else {
            throw LayoutError("layout " + std::string(text) + ": unsupported item '" + std::string(1, kind) + "'" +
                              (has_count ? " after a count" : ""));
        }
        if (layout.size_ > max_size) throw LayoutError("layout " + std::string(text) + ": record too large");
    }
    return layout;
}

DecodeError::DecodeError(Kind k, std::string message, std::size_t offset, std::size_t pos)
    : std::runtime_error(std::move(message)), kind(k), field_offset(offset), position(pos) {}

std::vector<FieldValue> decode(const Layout& layout, std::string_view data) {
    if (data.size() != layout.size()) {
        throw DecodeError(DecodeError::Kind::length, "record of " + std::to_string(data.size()) +
                                                         " bytes does not match its layout of " +
                                                         std::to_string(layout.size()) + " bytes");
    }
    std::vector<FieldValue> fields;
    fields.reserve(layout.items().size());
    for (const Layout::Item& item : layout.items()) {
        const char* p = data.data() + item.offset;
        if (item.is_integer) {
            std::int32_t value;
            std::memcpy(&value, p, sizeof value);
            fields.emplace_back(value);
            continue;
        }
        std::string text;
        text.reserve(item.width);
        for (std::size_t k = 0; k < item.width; ++k) {
            const auto byte = static_cast<unsigned char>(p[k]);
            if (byte > 127) {
                throw DecodeError(DecodeError::Kind::non_ascii,
                                  "'ascii' codec can't decode byte 0x" + std::string(1, "0123456789abcdef"[byte >> 4]) +
                                      std::string(1, "0123456789abcdef"[byte & 15]) + " in position " +
                                      std::to_string(k) + ": ordinal not in range(128)",
                                  item.offset, k);
            }
            if (byte != 0) text.push_back(static_cast<char>(byte));
        }
        fields.emplace_back(std::move(text));
    }
    return fields;
}

const Layout& action_layout() {
    static const Layout layout = Layout::parse(action_layout_text);
    return layout;
}

const Layout& log_layout() {
    static const Layout layout = Layout::parse(log_layout_text);
    return layout;
}

}  // namespace kinra
