#include "support/DeltaIndex.h"

#include "support/Decimal.h"
#include "support/FileManager.h"
#include "support/InfoFile.h"
#include "support/InputFile.h"
#include "support/PathSafety.h"
#include "support/TextConvert.h"

#include <boost/property_tree/info_parser.hpp>

#include <algorithm>
#include <set>
#include <utility>

namespace {

// Ends the reading at the first broken rule; caught in readDeltaIndex.
struct Refused {
    std::string reason;
};

[[noreturn]] void refuse(const std::string& reason)
{
    throw Refused{reason};
}

bool isLowerHex(const std::string& text, std::size_t length)
{
    if (text.size() != length)
        return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

std::uint64_t number(const std::string& text, const std::string& key)
{
    std::uint64_t value = 0;
    if (!parseDecimal(text, value))
        refuse("增量索引数值错误: " + key + " " + text);
    return value;
}

std::string digest(const std::string& text, std::size_t length, const std::string& key)
{
    if (!isLowerHex(text, length))
        refuse("增量索引摘要错误: " + key + " " + text);
    return text;
}

std::string confined(const std::string& text, bool underDelta)
{
    const std::string prefix = kDeltaDirectory;
    // "delta/../x" is confined to the host's root, but not to delta/.
    std::string segments = "/" + text + "/";
    std::replace(segments.begin(), segments.end(), '\\', '/');
    const bool climbs = segments.find("/../") != std::string::npos;
    if (!isConfinedRelativePath(text) ||
        (underDelta &&
         (climbs || text.compare(0, prefix.size(), prefix) != 0 || text.size() == prefix.size())))
        refuse("增量索引路径不安全: " + text);
    return text;
}

// One set of keys per node, so that a node naming its path twice is refused
// instead of one of the two winning unseen.
class SeenKeys {
public:
    void add(const std::string& key)
    {
        if (!keys_.insert(key).second)
            refuse("增量索引重复的键: " + key);
    }
    bool has(const char* key) const { return keys_.count(key) != 0; }
    void clear() { keys_.clear(); }

private:
    std::set<std::string> keys_;
};

class IndexReader : public InfoEntryVisitor {
public:
    explicit IndexReader(DeltaIndex& index) : index_(index) {}

    void opened(InfoEntryPath& path) override
    {
        const std::size_t depth = path.depth();
        const std::string& key = path.key(depth - 1);
        if (depth == 1) {
            if (key == "file") {
                if (index_.files.size() >= kMaxDeltaFiles)
                    refuse("增量索引文件过多");
                file_ = DeltaFile();
                fileKeys_.clear();
                segmented_ = false;
            } else if (key == "format") {
                topKeys_.add(key);
            }
            return;
        }
        if (path.key(0) != "file")
            return;
        if (depth == 2) {
            if (key == "patch") {
                if (file_.patches.size() >= kMaxPatchesPerFile)
                    refuse("增量索引补丁过多");
                patch_ = DeltaPatch();
                pieceKeys_.clear();
                segmented_ = false;
            } else if (key == "blocks") {
                fileKeys_.add(key);
                blocks_ = DeltaPiece();
                pieceKeys_.clear();
            } else if (key == "path" || key == "size" || key == "sha1") {
                fileKeys_.add(key);
            }
            return;
        }
        if (depth == 3 && (path.key(1) == "patch" || path.key(1) == "blocks")) {
            if (key == "segments")
                segmented_ = true;
            else
                pieceKeys_.add(key);
        }
    }

    void closed(const InfoEntryPath& path) override
    {
        const std::size_t depth = path.depth();
        const std::string& key = path.key(depth - 1);
        const std::string& data = path.data(depth - 1);
        if (depth == 1) {
            if (key == "format" && data != "1")
                refuse("增量索引格式不支持: " + data);
            if (key == "file")
                closeFile();
            return;
        }
        if (path.key(0) != "file")
            return;
        if (depth == 2) {
            if (key == "path")
                filePath_ = confined(data, false);
            else if (key == "size")
                file_.size = number(data, key);
            else if (key == "sha1")
                file_.sha1 = digest(data, 40, key);
            else if (key == "patch")
                closePatch();
            else if (key == "blocks")
                closeBlocks();
            return;
        }
        if (depth != 3)
            return;
        const bool inPatch = path.key(1) == "patch";
        if (!inPatch && path.key(1) != "blocks")
            return;
        DeltaPiece& piece = inPatch ? patch_.patch : blocks_;
        if (key == "path")
            piece.path = confined(data, true);
        else if (key == "size")
            piece.size = number(data, key);
        else if (key == "sha256")
            piece.sha256 = digest(data, 64, key);
        else if (inPatch && key == "from_sha1")
            patch_.fromSha1 = digest(data, 40, key);
        else if (inPatch && key == "from_size")
            patch_.fromSize = number(data, key);
    }

    void finish()
    {
        if (!topKeys_.has("format"))
            refuse("增量索引缺少格式");
    }

private:
    void requireKeys(const SeenKeys& keys, std::initializer_list<const char*> names, const char* node)
    {
        for (const char* name : names) {
            if (!keys.has(name))
                refuse(std::string("增量索引缺少") + node + "的" + name);
        }
    }

    void closePatch()
    {
        requireKeys(pieceKeys_, {"from_sha1", "from_size", "path", "size", "sha256"}, "patch");
        // A patch in pieces is applied piece by piece against windows of the old
        // file, which this starter does not do: it takes the whole file instead.
        if (!segmented_)
            file_.patches.push_back(patch_);
    }

    void closeBlocks()
    {
        requireKeys(pieceKeys_, {"path", "size", "sha256"}, "blocks");
        file_.blocks = blocks_;
    }

    void closeFile()
    {
        requireKeys(fileKeys_, {"path", "size", "sha1"}, "file");
        if (!index_.files.emplace(filePath_, std::move(file_)).second)
            refuse("增量索引重复的文件: " + filePath_);
    }

    DeltaIndex& index_;
    SeenKeys topKeys_;
    SeenKeys fileKeys_;
    SeenKeys pieceKeys_;
    std::string filePath_;
    DeltaFile file_;
    DeltaPatch patch_;
    DeltaPiece blocks_;
    bool segmented_ = false;
};

// The length of the file at `path`, read up to one byte past `limit`; -1 when
// it cannot be read.
std::int64_t boundedLength(const std::wstring& path, std::uint64_t limit)
{
    InputFile file(path);
    if (!file.isOpen())
        return -1;
    std::uint64_t total = 0;
    char buffer[65536];
    for (;;) {
        const std::int64_t got = file.read(buffer, sizeof buffer);
        if (got < 0)
            return -1;
        total += static_cast<std::uint64_t>(got);
        if (got < static_cast<std::int64_t>(sizeof buffer) || total > limit)
            return static_cast<std::int64_t>(total);
    }
}

std::string quotedIndexWord(const std::string& text)
{
    return '"' + boost::property_tree::info_parser::create_escapes(text) + '"';
}

}  // namespace

bool readDeltaIndex(const std::wstring& path, DeltaIndex& index, std::string& reason)
{
    index = DeltaIndex();
    const std::int64_t length = boundedLength(path, kMaxDeltaIndexBytes);
    if (length < 0) {
        reason = "无法读取增量索引";
        return false;
    }
    if (static_cast<std::uint64_t>(length) > kMaxDeltaIndexBytes) {
        reason = "增量索引过大";
        return false;
    }
    if (hasIncludeDirective(path)) {
        reason = "增量索引包含不允许的指令";
        return false;
    }
    DeltaIndex read;
    try {
        IndexReader reader(read);
        readInfoEntries(wideToNarrow(path), reader, std::locale::classic());
        reader.finish();
    } catch (const Refused& refused) {
        reason = refused.reason;
        return false;
    } catch (const boost::property_tree::info_parser_error& e) {
        reason = std::string("增量索引格式错误: ") + e.what();
        return false;
    }
    index = std::move(read);
    return true;
}

std::string deltaIndexText(const DeltaIndex& index)
{
    std::string text = "format 1\n";
    const auto piece = [&text](const DeltaPiece& p) {
        text += "        path " + quotedIndexWord(p.path) + "\n";
        text += "        size " + std::to_string(p.size) + "\n";
        text += "        sha256 " + p.sha256 + "\n";
    };
    for (const auto& entry : index.files) {
        const DeltaFile& file = entry.second;
        text += "file\n{\n";
        text += "    path " + quotedIndexWord(entry.first) + "\n";
        text += "    size " + std::to_string(file.size) + "\n";
        text += "    sha1 " + file.sha1 + "\n";
        for (const DeltaPatch& patch : file.patches) {
            text += "    patch\n    {\n";
            text += "        from_sha1 " + patch.fromSha1 + "\n";
            text += "        from_size " + std::to_string(patch.fromSize) + "\n";
            piece(patch.patch);
            text += "    }\n";
        }
        if (file.blocks) {
            text += "    blocks\n    {\n";
            piece(*file.blocks);
            text += "    }\n";
        }
        text += "}\n";
    }
    return text;
}

const DeltaPatch* findPatch(const DeltaIndex& index, const std::string& hostPath, std::uint64_t size,
                            const std::string& sha1, std::uint64_t localSize, const std::string& localSha1)
{
    const auto it = index.files.find(hostPath);
    if (it == index.files.end() || it->second.size != size || it->second.sha1 != sha1)
        return nullptr;
    for (const DeltaPatch& patch : it->second.patches) {
        if (patch.fromSize == localSize && patch.fromSha1 == localSha1)
            return &patch;
    }
    return nullptr;
}
