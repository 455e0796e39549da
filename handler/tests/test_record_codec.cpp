/* handler/tests/test_record_codec.cpp: packing and decoding of the handler records */
#include "record_codec.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace {

std::int32_t int_at(const std::string& record, std::size_t offset) {
    std::int32_t value;
    std::memcpy(&value, record.data() + offset, 4);
    return value;
}

TEST(ActionRecord, PacksIntegersIdentifiersAndResultAtTheirOffsets) {
    kinra::ActionFields fields;
    fields.head = {3, 1, 7, 1000, -1, -1, -1, -1};
    fields.cmd_id = "PC1207165601-0";
    fields.dependencies = {"502", "", "", ""};
    std::string record(kinra::action_record_size, '\x55');
    kinra::pack_action(fields, record.data());
    const std::int32_t expected[] = {3, 1, 7, 1000, -1, -1, -1, -1};
    for (int k = 0; k < 8; ++k) EXPECT_EQ(int_at(record, 4 * k), expected[k]);
    EXPECT_EQ(record.substr(32, 14), "PC1207165601-0");
    EXPECT_EQ(record.substr(46, 22), std::string(22, '\0'));
    EXPECT_EQ(record.substr(68, 3), "502");
    EXPECT_EQ(record.substr(71, 141), std::string(141, '\0'));
    EXPECT_EQ(int_at(record, 212), -1);
}

TEST(ActionRecord, CutsLongIdentifiersToTheFieldWidthWithoutTerminator) {
    kinra::ActionFields fields;
    const std::string long_id(40, 'x');
    fields.cmd_id = long_id;
    std::string record(kinra::action_record_size, '\0');
    kinra::pack_action(fields, record.data());
    EXPECT_EQ(record.substr(32, 36), std::string(36, 'x'));
    EXPECT_EQ(record[68], '\0');
}

TEST(Layout, AppliesNativeAlignmentToIntegersAfterTexts) {
    EXPECT_EQ(kinra::action_layout().size(), 216u);
    EXPECT_EQ(kinra::log_layout().size(), 88u);
    const kinra::Layout layout = kinra::Layout::parse("3si 2i");
    EXPECT_EQ(layout.size(), 16u);
    ASSERT_EQ(layout.items().size(), 4u);
    EXPECT_EQ(layout.items()[1].offset, 4u);
    EXPECT_THROW(kinra::Layout::parse("iq"), kinra::LayoutError);
    EXPECT_THROW(kinra::Layout::parse("12"), kinra::LayoutError);
}

TEST(Decode, LogReplyTextLosesEveryNul) {
    std::string record(kinra::log_record_size, '\0');
    kinra::pack_log(13, 2, std::string("1\0" "2", 3), record.data());
    const auto fields = kinra::decode(kinra::log_layout(), record);
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(std::get<std::int32_t>(fields[0]), 13);
    EXPECT_EQ(std::get<std::int32_t>(fields[1]), 2);
    EXPECT_EQ(std::get<std::string>(fields[2]), "12");
}

TEST(Decode, RejectsWrongLengthAndNonAsciiText) {
    EXPECT_THROW(kinra::decode(kinra::action_layout(), std::string(215, '\0')), kinra::DecodeError);
    std::string record(kinra::log_record_size, '\0');
    record[10] = '\xc3';
    try {
        kinra::decode(kinra::log_layout(), record);
        FAIL() << "non-ASCII text decoded";
    } catch (const kinra::DecodeError& e) {
        EXPECT_EQ(e.kind, kinra::DecodeError::Kind::non_ascii);
        EXPECT_EQ(e.field_offset, 8u);
        EXPECT_EQ(e.position, 2u);
    }
}

TEST(Decode, RandomBytesEitherDecodeOrRaiseDecodeError) {
    std::mt19937 random(12345);
    for (int round = 0; round < 5000; ++round) {
        const std::size_t length = random() % 2 ? kinra::action_record_size : random() % 300;
        std::string data(length, '\0');
        for (char& c : data) c = static_cast<char>(random() % (round % 2 ? 128 : 256));
        try {
            const auto fields = kinra::decode(kinra::action_layout(), data);
            EXPECT_EQ(fields.size(), 14u);
        } catch (const kinra::DecodeError&) {
        }
    }
}

}  // namespace
