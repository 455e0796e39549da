/* handler/tests/test_settings.cpp: settings reader: order, scalar resolution, merges and bounds */
#include "settings.hpp"

#include <gtest/gtest.h>

namespace {

using Kind = kinra::SettingValue::Kind;

TEST(Settings, MapsKeepFileOrderAndScalarsResolveLikeYaml11) {
    const auto tree = kinra::parse_settings(
        "zeta: 1\nalpha: 0x1f\nbeta: 1.5\ngamma: yes\ndelta: ~\neps: '12'\nphi: 1e3\noct: 017\nbig: 123456789012345678901\n");
    ASSERT_EQ(tree.kind, Kind::map);
    ASSERT_EQ(tree.entries.size(), 9u);
    EXPECT_EQ(tree.entries[0].first.text, "zeta");
    EXPECT_EQ(tree.entries[1].second.integer, 31);
    EXPECT_DOUBLE_EQ(tree.entries[2].second.real, 1.5);
    EXPECT_TRUE(tree.entries[3].second.boolean);
    EXPECT_EQ(tree.entries[4].second.kind, Kind::null);
    EXPECT_EQ(tree.entries[5].second.kind, Kind::text);
    EXPECT_EQ(tree.entries[6].second.kind, Kind::text);  // YAML 1.1 floats need a dot
    EXPECT_EQ(tree.entries[7].second.integer, 15);
    EXPECT_EQ(tree.entries[8].second.kind, Kind::big_integer);
}

TEST(Settings, MergeKeysAndAliasesExpand) {
    const auto tree = kinra::parse_settings("base: &b {a: 1, b: 2}\nchild:\n  <<: *b\n  b: 3\n  c: 4\n");
    const kinra::SettingValue* child = tree.find("child");
    ASSERT_NE(child, nullptr);
    ASSERT_EQ(child->entries.size(), 3u);
    EXPECT_EQ(child->find("a")->integer, 1);
    EXPECT_EQ(child->find("b")->integer, 3);
    EXPECT_EQ(child->entries[2].first.text, "c");
}

TEST(Settings, AliasBombAndDeepNestingAreRefused) {
    std::string bomb = "a: &a [x, x, x, x, x, x, x, x, x, x]\n";
    for (char level = 'b'; level <= 'j'; ++level) {
        const char previous = static_cast<char>(level - 1);
        bomb += std::string(1, level) + ": &" + level + " [*" + previous + ", *" + previous + ", *" + previous +
                ", *" + previous + ", *" + previous + ", *" + previous + ", *" + previous + ", *" + previous +
                ", *" + previous + ", *" + previous + "]\n";
    }
    EXPECT_THROW(kinra::parse_settings(bomb), kinra::SettingsError);
    try {
        kinra::parse_settings(std::string(300, '[') + std::string(300, ']'));
        FAIL() << "nesting 300 deep was accepted";
    } catch (const kinra::SettingsError& e) {
        EXPECT_NE(std::string(e.what()).find("nested too deep (more than 100 levels)"), std::string::npos) << e.what();
    }
    EXPECT_THROW(kinra::parse_settings(std::string(500, '[') + std::string(500, ']')), kinra::SettingsError);
    EXPECT_THROW(kinra::parse_settings(std::string(100000, '[')), kinra::SettingsError);
}

TEST(Settings, MissingFileReportsTheSystemReason) {
    try {
        kinra::load_settings("/nonexistent/handler.yaml");
        FAIL() << "missing file loaded";
    } catch (const kinra::SettingsError& e) {
        EXPECT_EQ(std::string(e.what()), "[Errno 2] No such file or directory: '/nonexistent/handler.yaml'");
    }
}

TEST(Settings, ForeignTagsAndCollectionKeysAreRefused) {
    EXPECT_THROW(kinra::parse_settings("a: !!python/object:os.system x\n"), kinra::SettingsError);
    EXPECT_THROW(kinra::parse_settings("? [a, b]\n: c\n"), kinra::SettingsError);
    EXPECT_THROW(kinra::parse_settings("a: 1\n---\nb: 2\n"), kinra::SettingsError);
}

}  // namespace
