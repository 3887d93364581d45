// Site key files: what is refused and why, and the two-line form of a
// change of key.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "base/error.h"
#include "base/site_key.h"

using namespace qrv;

namespace {

// base64 of 32 bytes 0x00..0x1f, and of 32 bytes 0xff.
const std::string kKeyA = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
const std::string kKeyB = "//////////////////////////////////////////8=";

struct KeyDir {
    std::string path;
    KeyDir()
    {
        char tmpl[] = "/tmp/qrv-key-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~KeyDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string write(const std::string& name, const std::string& text, mode_t mode = 0600) const
    {
        const std::string file = path + "/" + name;
        std::ofstream(file) << text;
        ::chmod(file.c_str(), mode);
        return file;
    }
};

std::string refusal(const std::string& file)
{
    try {
        SiteKey::read(file);
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(SiteKey, BadFilesAreRefusedWithTheirReason)
{
    KeyDir dir;
    const struct {
        std::string file;
        const char* says;
    } cases[] = {
        {dir.path + "/missing", "cannot be opened"},
        {dir.path, "not a regular file"},
        {dir.write("group", kKeyA + "\n", 0640), "(mode 0640)"},
        {dir.write("world", kKeyA + "\n", 0604), "(mode 0604)"},
        {dir.write("short", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd\n"), "holds 30 bytes"},
        {dir.write("long", kKeyA.substr(0, 43) + "gAAAA\n"), "holds 36 bytes"},
        {dir.write("padded", kKeyA + kKeyA + "\n"), "too long"},
        {dir.write("notbase64", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd!!!=\n"), "not base64"},
        {dir.write("ragged", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8\n"), "not base64"},
        {dir.write("three", kKeyA + "\n" + kKeyB + "\n" + kKeyA + "\n"), "holds 3 lines"},
        {dir.write("empty", "\n"), "holds no key"},
        {dir.write("big", std::string(4096, 'A')), "too long"},
        {dir.write("badsecond", kKeyA + "\nnope\n"), "line 2"},
    };
    for (const auto& c : cases) {
        const std::string why = refusal(c.file);
        EXPECT_NE(why.find(c.says), std::string::npos) << c.file << ": " << why;
        // The reason names the file and never the key's text.
        EXPECT_NE(why.find(c.file), std::string::npos) << why;
        EXPECT_EQ(why.find(kKeyA.substr(0, 20)), std::string::npos) << why;
    }
}

TEST(SiteKey, OneOrTwoLinesOfThirtyTwoBytesAreTaken)
{
    KeyDir dir;
    const SiteKey one = SiteKey::read(dir.write("one", kKeyA + "\n", 0400));
    ASSERT_EQ(one.keys().size(), 1u);
    for (size_t i = 0; i < KeyBytes::kSize; ++i)
        EXPECT_EQ(one.keys()[0].data()[i], i);
    // A change of key: both, the new one first; CR LF endings pass.
    const SiteKey two = SiteKey::read(dir.write("two", kKeyB + "\r\n" + kKeyA + "\r\n"));
    ASSERT_EQ(two.keys().size(), 2u);
    EXPECT_EQ(two.keys()[0].data()[0], 0xff);
    EXPECT_EQ(two.keys()[1].data()[31], 0x1f);
}
