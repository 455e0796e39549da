/* handler/simulator/tests/test_wire.cpp: request and reply records of the simulator */
#include <gtest/gtest.h>

#include <cstring>

#include "record_codec.hpp"
#include "wire.hpp"

using namespace vemo::sim;

namespace {

const char* cell_yaml = "a: [{KinraID: 1, SlaveNo: 2, Params: {DistanceFactor: 10}}]";

std::string record(std::int32_t module, std::int32_t func, std::string_view id, std::string_view dep = "") {
    kinra::ActionFields f;
    f.head = {module, func, -1, -1, -1, -1, -1, -1};
    f.cmd_id = id;
    f.dependencies = {dep, "", "", ""};  // views with storage: the codec copies from each
    std::string out(kinra::action_record_size, '\0');
    kinra::pack_action(f, out.data());
    return out;
}

std::int32_t result_of(const std::string& r) {
    std::int32_t v;
    std::memcpy(&v, r.data() + 212, 4);
    return v;
}

struct WireTest : ::testing::Test {
    TimePoint t0 = TimePoint{} + std::chrono::hours(1);
    Cell cell{cell_from_settings(kinra::parse_settings(cell_yaml)), CellOptions{}, t0};
};

}  // namespace

TEST_F(WireTest, AcceptedRequestIsEchoedWithResultOne) {
    const std::string in = record(2, 7, "PC1208101010-0", "502");
    const ActionReply r = handle_action_record(cell, in, t0);
    ASSERT_TRUE(r.verdict.accepted) << r.verdict.reason;
    EXPECT_EQ(r.record.substr(0, 212), in.substr(0, 212));
    EXPECT_EQ(result_of(r.record), 1);
    const auto done = cell.take_completions();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(completion_record(done[0]), r.record) << "the published record equals the reply here";
}

TEST_F(WireTest, MalformedRecordsAreRefusedWithoutReachingTheCell) {
    for (std::size_t size : {0u, 1u, 215u, 217u, 432u}) {
        const ActionReply r = handle_action_record(cell, std::string(size, '\x01'), t0);
        EXPECT_FALSE(r.verdict.accepted);
        ASSERT_EQ(r.record.size(), 216u);
        EXPECT_EQ(result_of(r.record), 0);
    }
    std::string bad = record(2, 7, "PC-\xff", "\xfe");
    const ActionReply r = handle_action_record(cell, bad, t0);
    EXPECT_FALSE(r.verdict.accepted);
    // The reply carries no byte above 127, so a client can still decode it.
    EXPECT_NO_THROW(kinra::decode(kinra::action_layout(), r.record));
    EXPECT_EQ(result_of(r.record), 0);
    EXPECT_EQ(cell.unfinished_count(), 0u);
    EXPECT_TRUE(cell.take_completions().empty());
}

TEST_F(WireTest, LogRequestIsAnsweredWithTheValueAsText) {
    std::string in(kinra::log_record_size, '\0');
    kinra::pack_log(1, 2, "", in.data());
    const auto fields = kinra::decode(kinra::log_layout(), handle_log_record(cell, in, t0));
    EXPECT_EQ(std::get<std::int32_t>(fields[0]), 1);
    EXPECT_EQ(std::get<std::int32_t>(fields[1]), 2);
    EXPECT_EQ(std::get<std::string>(fields[2]), "0");

    kinra::pack_log(77, 2, "", in.data());
    EXPECT_EQ(std::get<std::string>(kinra::decode(kinra::log_layout(), handle_log_record(cell, in, t0))[2]), "");

    const auto short_reply = kinra::decode(kinra::log_layout(), handle_log_record(cell, "abc", t0));
    EXPECT_EQ(std::get<std::int32_t>(short_reply[0]), -1);
    EXPECT_EQ(std::get<std::int32_t>(short_reply[1]), -1);
}
