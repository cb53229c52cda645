// release.sig: the signature check of both systems against one fixed key pair
// and signature (made with the openssl command), and the reader's refusals.

#include "SupportTestUtil.h"

#include "support/SignatureCheck.h"
#include "support/SignedRelease.h"

namespace {

const char kKey[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEZHYoYhcNWXtyYZVEBxUbc7iQIqQp\n"
    "I3+bzuDORjhrT5aX8C8PEHa4sEY5Z3ENnZQtqbVsHU425whoKJcPzzboRg==\n"
    "-----END PUBLIC KEY-----\n";
const char kOtherKey[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEnSr52sknWpiWzUtQbMnr8kqwUDzX\n"
    "gIQvTaIDhXpQWyPpSmaAZw51HR23XegETyT45t7HMAlIEX29adbmmThjlw==\n"
    "-----END PUBLIC KEY-----\n";
const char kP384Key[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEVOYajfNLkMr52Y2BOGgh6HOwXFDxvcsc\n"
    "KTPo32Q1SRBbQkIjgXTPSpC3KPPJj4n4+lieddjjTIOo6HPszhGHaY6bEvBfkfZL\n"
    "mOYLJC7OhJdq6Dx7bZAwzuEDmhUSJi3f\n"
    "-----END PUBLIC KEY-----\n";

// Signed by the private half of kKey.
const std::string kSigned =
    "release 7\n"
    "expires 2030-01-01T00:00:00Z\n"
    "file 3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad abc\n";
const std::string kSignatureLine =
    "signature 93a91b4f5d0668753990d870e40a675b41e9d1a798cbe89b301e5e0c5edcb77e"
    "acdbafa1a28aa00a5ff02d0dc4b0a81a14fcc7f52caf96f79aa22050b261abae\n";
const std::int64_t kBeforeExpiry = 1893455999;  // 2029-12-31T23:59:59Z

using fixtures::replaced;

struct CheckCase {
    const char* name;
    std::string key;
    std::string text;
    std::int64_t now;
    std::uint64_t highestAccepted;
    const char* reason;  // empty: the release is accepted
    // Blank lines appended in the test, not in the row: every test process copies
    // the rows while it registers them, and a text of megabytes made each start slow.
    std::uint64_t blankLinesAfter = 0;
};

std::string caseName(const testing::TestParamInfo<CheckCase>& info)
{
    return info.param.name;
}

class ReleaseCheck : public testing::TestWithParam<CheckCase> {};

TEST_P(ReleaseCheck, GivesTheVerdict)
{
    const CheckCase& c = GetParam();
    Release release;
    std::string reason;
    const std::string text = c.text + std::string(c.blankLinesAfter, '\n');
    const bool accepted = checkRelease(c.key, text, c.now, c.highestAccepted, release, reason);
    EXPECT_EQ(std::string(c.reason), reason);
    EXPECT_EQ(std::string(c.reason).empty(), accepted);
    if (accepted) {
        EXPECT_EQ(7u, release.number);
        ASSERT_EQ(1u, release.files.count("abc"));
        EXPECT_EQ(3u, release.files["abc"].size);
    }
}

const std::string kGood = kSigned + kSignatureLine;

INSTANTIATE_TEST_SUITE_P(
    Rows, ReleaseCheck,
    testing::Values(
        CheckCase{"signed", kKey, kGood, kBeforeExpiry, 0, ""},
        CheckCase{"same_release_again", kKey, kGood, kBeforeExpiry, 7, ""},
        CheckCase{"older_than_accepted", kKey, kGood, kBeforeExpiry, 8, "发布编号 7 低于已接受的 8"},
        CheckCase{"expired", kKey, kGood, kBeforeExpiry + 1, 0, "发布已过期 2030-01-01T00:00:00Z"},
        CheckCase{"other_key", kOtherKey, kGood, kBeforeExpiry, 0, "签名不符"},
        CheckCase{"p384_key", kP384Key, kGood, kBeforeExpiry, 0, "无法使用内置公钥"},
        CheckCase{"no_key", "", kGood, kBeforeExpiry, 0, "无法使用内置公钥"},
        CheckCase{"changed_size", kKey, replaced(kGood, "file 3", "file 4"), kBeforeExpiry, 0, "签名不符"},
        CheckCase{"later_expiry", kKey, replaced(kGood, "2030", "2031"), kBeforeExpiry, 0, "签名不符"},
        CheckCase{"changed_signature", kKey, replaced(kGood, "signature 93", "signature 94"), kBeforeExpiry,
                  0, "签名不符"},
        CheckCase{"no_signature", kKey, kSigned, kBeforeExpiry, 0, "release.sig缺少签名"},
        CheckCase{"empty", kKey, "", kBeforeExpiry, 0, "release.sig缺少发布编号"},
        CheckCase{"text_after_signature", kKey, kGood + "file 1 x y\n", kBeforeExpiry, 0,
                  "release.sig签名格式错误"},
        CheckCase{"short_signature", kKey, replaced(kGood, "abae\n", "ab\n"), kBeforeExpiry, 0,
                  "release.sig签名格式错误"},
        CheckCase{"carriage_returns", kKey, replaced(kGood, "7\n", "7\r\n"), kBeforeExpiry, 0,
                  "release.sig缺少发布编号"},
        CheckCase{"number_overflows", kKey, replaced(kGood, "release 7", "release 18446744073709551616"),
                  kBeforeExpiry, 0, "release.sig缺少发布编号"},
        CheckCase{"impossible_date", kKey, replaced(kGood, "2030-01-01", "2030-02-30"), kBeforeExpiry, 0,
                  "release.sig缺少有效期"},
        CheckCase{"size_with_sign", kKey, replaced(kGood, "file 3", "file +3"), kBeforeExpiry, 0,
                  "release.sig格式错误"},
        CheckCase{"upper_case_digest", kKey, replaced(kGood, "ba7816bf", "BA7816BF"), kBeforeExpiry, 0,
                  "release.sig格式错误"},
        CheckCase{"names_out_of_order", kKey,
                  replaced(kGood, "abc\n", "abc\nfile 1 " + std::string(64, '0') + " abb\n"), kBeforeExpiry,
                  0, "release.sig格式错误"},
        CheckCase{"name_twice", kKey,
                  replaced(kGood, "abc\n", "abc\nfile 1 " + std::string(64, '0') + " abc\n"), kBeforeExpiry,
                  0, "release.sig格式错误"},
        CheckCase{"oversized", kKey, kGood, kBeforeExpiry, 0, "release.sig过大", kMaxReleaseText}),
    caseName);

TEST(SignedRelease, ComposedTextIsWhatWasSignedAndReadsBack)
{
    Release release;
    release.number = 7;
    release.expires = kBeforeExpiry + 1;
    release.files["abc"] = ReleaseFile{3, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"};
    std::string text;
    ASSERT_TRUE(composeRelease(release, text));
    EXPECT_EQ(kSigned, text);

    release.files["two\nlines"] = ReleaseFile{1, std::string(64, '0')};
    EXPECT_FALSE(composeRelease(release, text));
}

TEST(SignedRelease, UtcTimesRoundTrip)
{
    const std::pair<std::int64_t, const char*> rows[] = {{0, "1970-01-01T00:00:00Z"},
                                                         {951782399, "2000-02-28T23:59:59Z"},
                                                         {951782400, "2000-02-29T00:00:00Z"},
                                                         {1893456000, "2030-01-01T00:00:00Z"}};
    for (const auto& row : rows) {
        EXPECT_EQ(row.second, formatUtc(row.first));
        std::int64_t seconds = -1;
        EXPECT_TRUE(parseUtc(row.second, seconds)) << row.second;
        EXPECT_EQ(row.first, seconds) << row.second;
    }
    std::int64_t seconds = 0;
    for (const char* bad : {"2030-01-01T24:00:00Z", "2030-13-01T00:00:00Z", "1969-12-31T23:59:59Z",
                            "2030-01-01 00:00:00Z", "2030-01-01T00:00:00", "2030-1-01T00:00:00Z"})
        EXPECT_FALSE(parseUtc(bad, seconds)) << bad;
}

TEST_F(TempDirTest, FileDigestCoversEveryByte)
{
    testutil::writeFile("abc", "abc");
    ReleaseFile digest;
    ASSERT_TRUE(fileSha256(L"abc", digest));
    EXPECT_EQ(3u, digest.size);
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", digest.sha256);
    EXPECT_FALSE(fileSha256(L"missing", digest));

    std::string text;
    EXPECT_TRUE(readSmallFile(L"abc", 3, text));
    EXPECT_EQ("abc", text);
    EXPECT_FALSE(readSmallFile(L"abc", 2, text));
}

}  // namespace
