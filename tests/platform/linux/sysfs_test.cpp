// Bounded access to sysfs-like trees: numbers, bounded reads, links, paths.
#include "linux_fixtures.h"

namespace hwid {
namespace {

using namespace linux_fixtures;
using test::FromHex;

struct DecimalCase {
    const char* text;
    bool ok;
    std::uint64_t value;
};

TEST(Decimal, ParsesSysfsNumbersOnly) {
    const DecimalCase cases[] = {
        {"123\n", true, 123},
        {"0", true, 0},
        {"18446744073709551615\n", true, UINT64_MAX},
        {"18446744073709551616", false, 0},
        {"", false, 0},
        {"\n", false, 0},
        {" 1", false, 0},
        {"-1", false, 0},
        {"+1", false, 0},
        {"0x10", false, 0},
        {"12a", false, 0},
        {"1\n\n", false, 0},
    };
    for (const DecimalCase& c : cases) {
        std::uint64_t value = 0;
        EXPECT_EQ(linux_backend::ParseDecimal(std::span(c.text, std::strlen(c.text)), value), c.ok)
            << '"' << c.text << '"';
        if (c.ok) {
            EXPECT_EQ(value, c.value);
        }
    }
}

// Ending the read at a line feed saves a read; it never cuts what one read
// brought.
TEST(BoundedReader, LineFeedEndsTheReadNotTheText) {
    Tree tree;
    tree.File("two-lines", "abc\ndef\n");
    tree.File("no-line-feed", "overlayblk");
    tree.File("number", "512\n4096\n");
    char text[16];
    EXPECT_EQ(linux_backend::ReadTextAttribute(tree.At("two-lines").c_str(), text), 7u);
    EXPECT_STREQ(text, "abc\ndef");
    EXPECT_EQ(linux_backend::ReadTextAttribute(tree.At("no-line-feed").c_str(), text), 10u);
    EXPECT_STREQ(text, "overlayblk");
    std::uint64_t value = 0;
    EXPECT_FALSE(linux_backend::ReadDecimalAttribute(tree.At("number").c_str(), value));
}

struct LinkCase {
    const char* name;
    const char* target;    // nullptr: a directory, no link; "": nothing there
    const char* expected;  // relative to the tree; nullptr: false
};

TEST(SysfsLink, OneStepGivesTheRealPath) {
    const LinkCase cases[] = {
        {"Relative", "../../devices/pci0/block/vda", "sys/devices/pci0/block/vda"},
        {"DotsAndDoubleSlashes", "./..//../devices/./pci0/block/vda/",
         "sys/devices/pci0/block/vda"},
        {"NoLink", nullptr, "sys/dev/block/entry"},
        {"Nothing", "", nullptr},
        // A target that is itself missing still names where it would be.
        {"Dangling", "../../devices/gone", "sys/devices/gone"},
    };
    for (const LinkCase& c : cases) {
        SCOPED_TRACE(c.name);
        Tree tree;
        tree.Dir("sys/devices/pci0/block/vda");
        if (c.target == nullptr) {
            tree.Dir("sys/dev/block/entry");
        } else if (c.target[0] != '\0') {
            tree.LinkText("sys/dev/block/entry", c.target);
        }
        linux_backend::Path out;
        const bool ok =
            linux_backend::ResolveSysfsLink(tree.At("sys/dev/block/entry").c_str(), out);
        ASSERT_EQ(ok, c.expected != nullptr) << out.text;
        if (ok) {
            EXPECT_EQ(std::string(out.text), tree.At(c.expected));
        }
    }
}

TEST(SysfsLink, AbsoluteTargetsAndClimbsAboveTheRoot) {
    Tree tree;
    tree.LinkText("sys/absolute", "/sys/devices/x");
    linux_backend::Path out;
    ASSERT_TRUE(linux_backend::ResolveSysfsLink(tree.At("sys/absolute").c_str(), out));
    EXPECT_STREQ(out.text, "/sys/devices/x");
    std::string climb;
    for (int i = 0; i < 40; ++i) {
        climb += "../";
    }
    tree.LinkText("sys/above", climb + "x");
    EXPECT_FALSE(linux_backend::ResolveSysfsLink(tree.At("sys/above").c_str(), out));
    EXPECT_STREQ(out.text, "");
}

TEST(PathFormat, BuildsFromTextsAndNumbersOnly) {
    linux_backend::Path path;
    ASSERT_TRUE(linux_backend::FormatPath(path.text, "%s/dev/block/%u:%u", "/sys", 259u, 0u));
    EXPECT_STREQ(path.text, "/sys/dev/block/259:0");
    ASSERT_TRUE(linux_backend::FormatPath(path.text, "100%% %u", 4294967295u));
    EXPECT_STREQ(path.text, "100% 4294967295");
    char small[8];
    EXPECT_TRUE(linux_backend::FormatPath(small, "%s", "1234567"));
    EXPECT_STREQ(small, "1234567");
    EXPECT_FALSE(linux_backend::FormatPath(small, "%s", "12345678"));
    EXPECT_STREQ(small, "");
    EXPECT_FALSE(linux_backend::FormatPath(small, "%u", 123456789u));
    EXPECT_STREQ(small, "");
    // A conversion that no path needs is refused, not guessed at.
    EXPECT_FALSE(linux_backend::FormatPath(path.text, "%d", 1));
    EXPECT_STREQ(path.text, "");
}

TEST(BoundedReader, ReportsOversizedAndMissingFiles) {
    Tree tree;
    tree.File("exact", std::string(16, 'a'));
    tree.File("over", std::string(17, 'a'));
    std::uint8_t buffer[16];
    EXPECT_EQ(linux_backend::ReadFileBounded(tree.At("exact").c_str(), buffer).status,
              linux_backend::ReadStatus::kOk);
    EXPECT_EQ(linux_backend::ReadFileBounded(tree.At("exact").c_str(), buffer).length, 16u);
    EXPECT_EQ(linux_backend::ReadFileBounded(tree.At("over").c_str(), buffer).status,
              linux_backend::ReadStatus::kOversized);
    EXPECT_EQ(linux_backend::ReadFileBounded(tree.At("none").c_str(), buffer).status,
              linux_backend::ReadStatus::kMissing);
    EXPECT_EQ(linux_backend::ReadFileBounded(tree.At("sys").c_str(), buffer).status,
              linux_backend::ReadStatus::kMissing);
}

}  // namespace
}  // namespace hwid
