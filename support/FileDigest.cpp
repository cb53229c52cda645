#include "support/FileDigest.h"

#include "support/FileManager.h"
#include "support/InputFile.h"
#include "support/PathSafety.h"
#include "support/Sha1.h"
#include "support/TextConvert.h"

#include <boost/iostreams/categories.hpp>
#include <boost/iostreams/filter/zlib.hpp>
#include <boost/iostreams/filtering_stream.hpp>
#include <boost/uuid/detail/sha1.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ios>
#include <memory>

const char packageMarker[14] = "abc_morvelant";

namespace {

const std::int64_t kDigestBlock = 20 * 1024 * 1024;
const std::streamsize kCopyBlock = 10 * 1024 * 1024;
const std::size_t kMarkerLength = sizeof packageMarker - 1;
// No entry of a real package has a longer name; the bound comes before the
// allocation of a name whose length came from outside.
const std::uint32_t kMaxNameLength = 4096;
// Compressed bytes read from the file, and inflated bytes buffered ahead.
const std::streamsize kSourceBuffer = 256 * 1024;
const std::streamsize kInflateBuffer = 1024 * 1024;

std::string hexDigest(const unsigned char* bytes, std::size_t count)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

// Reads the whole file through `feed`; stops at the first short read.
template <typename Feed>
void readBlocks(const std::wstring& path, Feed feed)
{
    InputFile file(path);
    if (!file.isOpen())
        return;
    std::unique_ptr<char[]> buffer(new char[kDigestBlock]);
    for (;;) {
        std::int64_t got = file.read(buffer.get(), kDigestBlock);
        if (got > 0)
            feed(buffer.get(), static_cast<std::size_t>(got));
        if (got != kDigestBlock)
            break;
    }
}

}  // namespace

std::string computeFileSha1(const std::wstring& path)
{
    Sha1 system;
    if (system.ready()) {
        readBlocks(path, [&](const char* data, std::size_t size) { system.update(data, size); });
        std::array<unsigned char, 20> digest = system.finish();
        return hexDigest(digest.data(), digest.size());
    }
    // The system refused a digest object (out of resources): the portable one is slower but works.
    boost::uuids::detail::sha1 portable;
    readBlocks(path, [&](const char* data, std::size_t size) { portable.process_bytes(data, size); });
    unsigned int words[5];
    portable.get_digest(words);
    unsigned char bytes[20];
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j)
            bytes[i * 4 + j] = static_cast<unsigned char>(words[i] >> (24 - 8 * j));
    return hexDigest(bytes, sizeof bytes);
}

namespace {

// The package file as a Boost.Iostreams source, opened by its wide path.
class PackageSource {
public:
    typedef char char_type;
    typedef boost::iostreams::source_tag category;

    explicit PackageSource(InputFile& file) : file_(&file) {}

    std::streamsize read(char* data, std::streamsize size)
    {
        std::int64_t got = file_->read(data, size);
        if (got < 0)
            throw std::ios_base::failure("package cannot be read");
        return got == 0 ? -1 : static_cast<std::streamsize>(got);
    }

private:
    InputFile* file_;
};

bool readExactly(std::istream& in, char* data, std::streamsize size)
{
    in.read(data, size);
    return in.gcount() == size;
}

std::uint32_t littleEndian32(const char* bytes)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes);
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

std::wstring parentDirectory(const std::wstring& path)
{
    std::wstring::size_type at = path.find_last_of(L"/\\");
    return at == std::wstring::npos ? std::wstring() : path.substr(0, at);
}

class Extraction {
public:
    Extraction(const std::wstring& destination, InputFile& package)
        : destination_(destination), files_(FileManager::instance())
    {
        in_.push(boost::iostreams::zlib_decompressor(boost::iostreams::zlib_params(), kSourceBuffer),
                 kInflateBuffer);
        in_.push(PackageSource(package), kSourceBuffer);
    }

    bool run()
    {
        char marker[kMarkerLength];
        if (!readExactly(in_, marker, kMarkerLength) || std::memcmp(marker, packageMarker, kMarkerLength) != 0)
            return false;
        buffer_.reset(new char[kCopyBlock]);
        for (;;) {
            char length[4];
            in_.read(length, sizeof length);
            if (in_.gcount() == 0)
                return endedCleanly();
            if (in_.gcount() != sizeof length || !extractEntry(littleEndian32(length)))
                return false;
        }
    }

private:
    // The entries end where the inflated stream ends; a stream that breaks off or
    // fails to inflate (its check sum included) is not a complete package.
    bool endedCleanly()
    {
        if (in_.bad())
            return false;
        boost::iostreams::zlib_decompressor* inflater =
            in_.component<boost::iostreams::zlib_decompressor>(0);
        return inflater && inflater->eof();
    }

    bool extractEntry(std::uint32_t nameLength)
    {
        if (nameLength > kMaxNameLength)
            return false;
        std::string name(nameLength, '\0');
        char length[4];
        if (!readExactly(in_, &name[0], nameLength) || !readExactly(in_, length, sizeof length))
            return false;
        std::uint32_t dataLength = littleEndian32(length);
        if (!isConfinedRelativePath(name))
            return false;  // before anything of the entry touches the disk

        std::wstring target = joinPath(destination_, narrowToWide(name));
        if (!files_.createDirectories(parentDirectory(target)))
            return false;
        if (files_.isFile(target) && !files_.deleteFile(target, true))
            return false;
        std::unique_ptr<FileManager::File> out = files_.openFile(target, false);
        if (!out)
            return false;
        std::uint32_t remaining = dataLength;
        while (remaining > 0) {
            std::streamsize want = std::min<std::streamsize>(remaining, kCopyBlock);
            in_.read(buffer_.get(), want);
            std::streamsize got = in_.gcount();
            if (got > 0 && !out->write(buffer_.get(), got))
                return false;
            if (got != want)
                return false;  // the entry runs past the end of the package
            remaining -= static_cast<std::uint32_t>(got);
        }
        return true;
    }

    std::wstring destination_;
    FileManager& files_;
    boost::iostreams::filtering_istream in_;
    std::unique_ptr<char[]> buffer_;
};

}  // namespace

bool extractPackage(const std::wstring& destinationDirectory, const std::wstring& packagePath)
{
    if (!FileManager::instance().createDirectories(destinationDirectory))
        return false;
    InputFile package(packagePath);
    if (!package.isOpen())
        return false;
    try {
        Extraction extraction(destinationDirectory, package);
        return extraction.run();
    } catch (const std::exception&) {
        return false;  // out of memory, or a library error outside the stream
    }
}
