#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "explain/report.h"

namespace hwid {
namespace {

const std::string kIdentifier(64, 'A');

// The fields the comparison reads, and nothing else.
std::string Minimal(const std::string& model = "M", const std::string& extra = "") {
    return "{\"cpu\": {\"signature\": \"0x000306A9\"}, \"drive\": {\"path\": \"/dev/sda\"}, "
           "\"model\": \"" +
           model + "\", \"serial_obtained\": true, \"fold_value\": \"0x12345678\", " + extra +
           "\"identifier\": \"" + kIdentifier + "\"}";
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string ParseError(const std::string& bytes) {
    EarlierReport earlier;
    std::string error;
    return ParseEarlierJson(bytes, earlier, error) ? "" : error;
}

TEST(EarlierJson, ReadsTheFieldsTheComparisonNeeds) {
    EarlierReport earlier;
    std::string error;
    ASSERT_TRUE(ParseEarlierJson(Minimal("DISK \\u00e9\\u0001"), earlier, error)) << error;
    EXPECT_EQ(earlier.cpuSignature, "0x000306A9");
    EXPECT_EQ(earlier.drivePath, "/dev/sda");
    EXPECT_EQ(earlier.model, "DISK \xE9\x01");
    EXPECT_TRUE(earlier.serialObtained);
    EXPECT_EQ(earlier.foldValue, "0x12345678");
    EXPECT_EQ(earlier.identifier, kIdentifier);
}

TEST(EarlierJson, RefusesWhatItCannotUseAndSaysWhy) {
    const std::string base = Minimal();
    const struct {
        std::string bytes;
        const char* error;
    } cases[] = {
        {Minimal("M", "\"model\": \"N\", "), "duplicate key \"model\""},
        {Replace(base, "\"path\": \"/dev/sda\"", "\"path\": \"a\", \"path\": \"b\""),
         "duplicate key \"drive.path\""},
        {Replace(base, "\"identifier\": \"" + kIdentifier + "\"", "\"identifier\": [1]"),
         "\"identifier\" is an array, not a string"},
        {Replace(base, "\"serial_obtained\": true", "\"serial_obtained\": \"true\""),
         "\"serial_obtained\" is a string, not a boolean"},
        {Replace(base, "{\"signature\"", "[{\"signature\""), "not JSON: parse error"},
        {Minimal("M", "\"platform_id\": -2, "),
         "\"platform_id\" is a number, not a whole number of 0 or more"},
        {Minimal("M", "\"smart_probe\": {\"opened\": 1}, "),
         "\"smart_probe.opened\" is a number, not a boolean"},
        {Minimal("A\\u0000B"), "\"model\" holds \\u0000"},
        {Minimal("M", "\"x\\u0000\": 1, "), "a key holds \\u0000"},
        {"[" + base + "]", "the top level is an array, not an object"},
        {"\"text\"", "the top level is a string, not an object"},
        {Replace(base, "\"model\": \"M\", ", ""), "no \"model\""},
        {Replace(base, "\"path\": \"/dev/sda\"", "\"bus\": \"ata\""), "no \"drive.path\""},
        {Replace(base, kIdentifier, "XYZ"), "\"identifier\" is not 64 hexadecimal digits"},
        {Replace(base, "0x12345678", "12345678"),
         "\"fold_value\" is not 0x and eight hexadecimal digits"},
        {Minimal("M", "\"deep\": " + std::string(40, '[') + std::string(40, ']') + ", "),
         "nested more than 32 levels deep"},
        {Minimal("\\u0100"), "\"model\" holds a character above U+00FF, which no drive text has"},
        {"", "not JSON: parse error at line 1, column 1"},
        {base + " trailing", "not JSON: parse error"},
        {std::string("\xFF\xFE{\0", 4) + "x", "the UTF-16 text ends in half a character"},
        {std::string("\xFE\xFF\xDC\x00", 4), "the UTF-16 text holds an unpaired surrogate"},
    };
    for (const auto& c : cases) {
        const std::string error = ParseError(c.bytes);
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.bytes << "\n -> " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(EarlierJson, AcceptsUnknownKeysAndTheUsualEncodings) {
    // An unknown key nested as deep as allowed, too.
    const std::string base =
        Minimal("M\\u00fc", "\"added_later\": {\"x\": [1, 2]}, \"deep\": " + std::string(31, '[') +
                                std::string(31, ']') + ", ");
    std::string utf16le = "\xFF\xFE";
    std::string utf16be = "\xFE\xFF";
    // U+00FC written out raw, and one character above the BMP in an unknown key.
    const std::u16string text =
        u"{\"\U0001F600\": 1, " + std::u16string(base.begin() + 1, base.end());
    for (const char16_t unit : text) {
        utf16le += static_cast<char>(unit & 0xFF);
        utf16le += static_cast<char>(unit >> 8);
        utf16be += static_cast<char>(unit >> 8);
        utf16be += static_cast<char>(unit & 0xFF);
    }
    for (const std::string& bytes : {base, "\xEF\xBB\xBF" + base, utf16le, utf16be}) {
        EarlierReport earlier;
        std::string error;
        EXPECT_TRUE(ParseEarlierJson(bytes, earlier, error)) << error;
        EXPECT_EQ(earlier.model, "M\xFC");
        EXPECT_EQ(earlier.identifier, kIdentifier);
    }
}

TEST(EarlierJson, SizeLimitIsOneMebibyte) {
    const std::string base = Minimal();
    std::string atLimit = base + std::string(kMaxEarlierFileSize - base.size(), ' ');
    ASSERT_EQ(atLimit.size(), 1048576u);
    EXPECT_EQ(ParseError(atLimit), "");
    EXPECT_EQ(ParseError(atLimit + " "), "larger than 1 MiB (1048576 bytes)");
}

class EarlierFile : public ::testing::Test {
  protected:
    EarlierFile() {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        const auto dir =
            std::filesystem::temp_directory_path() / ("earlier_json_test." + std::to_string(now));
        std::filesystem::create_directory(dir);
        dir_ = dir.generic_string();
    }
    ~EarlierFile() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string Write(const char* name, const std::string& bytes) {
        const std::string path = dir_ + "/" + name;
        std::FILE* file = std::fopen(path.c_str(), "wb");
        EXPECT_NE(file, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
        return path;
    }

    std::string ReadError(const std::string& path) {
        EarlierReport earlier;
        std::string error;
        return ReadEarlierJson(path.c_str(), earlier, error) ? "" : error;
    }

    std::string dir_;
};

TEST_F(EarlierFile, NamesTheFileAndTheCause) {
    const std::string base = Minimal();
    const std::string atLimit =
        Write("limit", base + std::string(kMaxEarlierFileSize - base.size(), '\n'));
    const std::string overLimit =
        Write("over", base + std::string(kMaxEarlierFileSize + 1 - base.size(), '\n'));
    const struct {
        std::string path;
        std::string error;
    } cases[] = {
        {Write("good", base), ""},
        {atLimit, ""},
        {overLimit, "cannot read " + overLimit + ": larger than 1 MiB (1048576 bytes)"},
        {dir_ + "/missing", "cannot read " + dir_ + "/missing: No such file or directory"},
        {Write("dup", Minimal("M", "\"model\": \"N\", ")),
         "cannot use " + dir_ + "/dup: duplicate key \"model\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReadError(c.path), c.error) << c.path;
    }
}

#ifndef _WIN32
TEST_F(EarlierFile, RefusesWhatIsNoRegularFileWithoutWaiting) {
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(ReadError(dir_), "cannot read " + dir_ + ": Is a directory");
    // Opened without waiting for a writer, then refused.
    EXPECT_EQ(ReadError(fifo), "cannot read " + fifo + ": not a regular file");
    EXPECT_EQ(ReadError("/dev/null"), "cannot read /dev/null: not a regular file");
}
#endif

}  // namespace
}  // namespace hwid
