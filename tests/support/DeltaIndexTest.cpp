#include "SupportTestUtil.h"

#include "support/DeltaIndex.h"

using testutil::writeFile;

namespace {

const std::string kSha1A(40, 'a');
const std::string kSha1B(40, 'b');
const std::string kSha256(64, 'c');

DeltaIndex sampleIndex()
{
    DeltaIndex index;
    DeltaFile& pack = index.files["game/pack/data%20one.quiv"];
    pack.size = 123456;
    pack.sha1 = kSha1A;
    pack.patches.push_back({kSha1B, 120000, {"delta/" + kSha256 + ".patch", 2345, kSha256}});
    pack.patches.push_back({kSha1A.substr(1) + "0", 0, {"delta/other.patch", 7, kSha256}});
    pack.blocks = DeltaPiece{"delta/" + kSha256 + ".blocks", 34567, kSha256};
    index.files["small.txt"].sha1 = kSha1B;
    return index;
}

bool read(const std::string& text, DeltaIndex& index, std::string& reason)
{
    writeFile("index.cfg", text);
    return readDeltaIndex(L"index.cfg", index, reason);
}

// `from` replaced by `to` in the sample's text, which must contain it.
std::string edited(const std::string& from, const std::string& to)
{
    std::string text = deltaIndexText(sampleIndex());
    const std::size_t at = text.find(from);
    if (at == std::string::npos)
        throw std::logic_error("not in the sample: " + from);
    return text.replace(at, from.size(), to);
}

bool sameIndex(const DeltaIndex& a, const DeltaIndex& b)
{
    return deltaIndexText(a) == deltaIndexText(b);
}

}  // namespace

TEST_F(TempDirTest, DeltaIndexReadsBackWhatItWrites)
{
    DeltaIndex index;
    std::string reason;
    ASSERT_TRUE(read(deltaIndexText(sampleIndex()), index, reason)) << reason;
    EXPECT_TRUE(sameIndex(sampleIndex(), index));

    const DeltaPatch* patch = findPatch(index, "game/pack/data%20one.quiv", 123456, kSha1A, 120000, kSha1B);
    ASSERT_NE(nullptr, patch);
    EXPECT_EQ("delta/" + kSha256 + ".patch", patch->patch.path);
    EXPECT_EQ(nullptr, findPatch(index, "game/pack/data%20one.quiv", 123456, kSha1A, 119999, kSha1B))
        << "a local copy of another size";
    EXPECT_EQ(nullptr, findPatch(index, "game/pack/data%20one.quiv", 123456, kSha1B, 120000, kSha1B))
        << "an index entry for another version of the file";
    EXPECT_EQ(nullptr, findPatch(index, "small.txt", 0, kSha1B, 0, kSha1A)) << "a file without patches";
}

TEST_F(TempDirTest, DeltaIndexPassesOverUnknownKeysAndPatchesInSegments)
{
    DeltaIndex index;
    std::string reason;
    ASSERT_TRUE(
        read(edited("format 1\n", "format 1\nnews \"later\"\n") + "extra { deep { x 1 } }\n", index, reason))
        << reason;
    EXPECT_TRUE(sameIndex(sampleIndex(), index));

    ASSERT_TRUE(read(
        edited("from_size 0\n", "from_size 0\n        segments\n        {\n            s 1\n        }\n"),
        index, reason))
        << reason;
    EXPECT_EQ(1u, index.files["game/pack/data%20one.quiv"].patches.size());
}

struct RefusedIndex {
    const char* name;
    std::string (*text)();  // made when the row runs: some are megabytes
};

class DeltaIndexRefused : public TempDirTest, public ::testing::WithParamInterface<RefusedIndex> {};

TEST_P(DeltaIndexRefused, IsRefusedWhole)
{
    DeltaIndex index = sampleIndex();
    std::string reason;
    EXPECT_FALSE(read(GetParam().text(), index, reason));
    EXPECT_FALSE(reason.empty());
    EXPECT_TRUE(index.files.empty());
}

namespace {

std::string manyFiles(std::size_t count)
{
    std::string text = "format 1\n";
    for (std::size_t i = 0; i < count; ++i)
        text += "file { path f" + std::to_string(i) + " size 1 sha1 " + kSha1A + " }\n";
    return text;
}

std::string manyPatches(std::size_t count)
{
    std::string text = "format 1\nfile\n{\npath f\nsize 1\nsha1 " + kSha1A + "\n";
    for (std::size_t i = 0; i < count; ++i)
        text += "patch { from_sha1 " + kSha1A + " from_size " + std::to_string(i) +
                " path delta/p size 1 sha256 " + kSha256 + " }\n";
    return text + "}\n";
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Table, DeltaIndexRefused,
    ::testing::Values(
        RefusedIndex{"empty", [] { return std::string(""); }},
        RefusedIndex{"no_format", [] { return std::string(edited("format 1\n", "")); }},
        RefusedIndex{"format_2", [] { return std::string(edited("format 1", "format 2")); }},
        RefusedIndex{"format_twice",
                     [] { return std::string(edited("format 1\n", "format 1\nformat 1\n")); }},
        RefusedIndex{"malformed", [] { return std::string(edited("}\n", "")); }},
        RefusedIndex{
            "include",
            [] { return std::string("#include \"/etc/passwd\"\n" + deltaIndexText(sampleIndex())); }},
        RefusedIndex{"too_long",
                     [] {
                         return std::string(deltaIndexText(sampleIndex()) + ";" +
                                            std::string(kMaxDeltaIndexBytes, 'x'));
                     }},
        RefusedIndex{"too_many_files", [] { return std::string(manyFiles(kMaxDeltaFiles + 1)); }},
        RefusedIndex{"too_many_patches", [] { return std::string(manyPatches(kMaxPatchesPerFile + 1)); }},
        RefusedIndex{"same_file_twice", [] { return std::string(manyFiles(1) + manyFiles(1).substr(9)); }},
        RefusedIndex{"path_twice",
                     [] { return std::string(edited("    size 123456", "    path x\n    size 123456")); }},
        RefusedIndex{"blocks_twice",
                     [] {
                         return std::string(edited(
                             "    blocks\n",
                             "    blocks { path delta/b size 1 sha256 " + kSha256 + " }\n    blocks\n"));
                     }},
        RefusedIndex{"size_missing", [] { return std::string(edited("    size 123456\n", "")); }},
        RefusedIndex{"patch_digest_missing",
                     [] { return std::string(edited("        sha256 " + kSha256 + "\n", "")); }},
        RefusedIndex{"size_signed", [] { return std::string(edited("size 123456", "size +123456")); }},
        RefusedIndex{"size_past_u64",
                     [] { return std::string(edited("size 123456", "size 18446744073709551616")); }},
        RefusedIndex{"size_hex", [] { return std::string(edited("size 2345", "size 0x929")); }},
        RefusedIndex{"sha1_upper_case",
                     [] { return std::string(edited("sha1 " + kSha1A, "sha1 " + std::string(40, 'A'))); }},
        RefusedIndex{"sha1_short",
                     [] { return std::string(edited("sha1 " + kSha1A, "sha1 " + kSha1A.substr(1))); }},
        RefusedIndex{"sha256_long",
                     [] { return std::string(edited("sha256 " + kSha256, "sha256 " + kSha256 + "0")); }},
        RefusedIndex{
            "from_sha1_not_hex",
            [] { return std::string(edited("from_sha1 " + kSha1B, "from_sha1 " + std::string(40, 'g'))); }},
        RefusedIndex{"patch_outside_delta",
                     [] { return std::string(edited("\"delta/other.patch\"", "\"other.patch\"")); }},
        RefusedIndex{"patch_climbs_out",
                     [] { return std::string(edited("\"delta/other.patch\"", "\"delta/../../x.patch\"")); }},
        RefusedIndex{"patch_leaves_delta",
                     [] { return std::string(edited("\"delta/other.patch\"", "\"delta/../x.patch\"")); }},
        RefusedIndex{"patch_is_delta_itself",
                     [] { return std::string(edited("\"delta/other.patch\"", "\"delta/\"")); }},
        RefusedIndex{
            "blocks_rooted",
            [] { return std::string(edited("\"delta/" + kSha256 + ".blocks\"", "\"/delta/x.blocks\"")); }},
        RefusedIndex{"file_path_climbs_out",
                     [] { return std::string(edited("\"small.txt\"", "\"../small.txt\"")); }},
        RefusedIndex{"file_path_drive",
                     [] { return std::string(edited("\"small.txt\"", "\"C:small.txt\"")); }}),
    [](const ::testing::TestParamInfo<RefusedIndex>& info) { return std::string(info.param.name); });
