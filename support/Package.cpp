#include "support/Package.h"

#include "support/FileManager.h"
#include "support/InputFile.h"
#include "support/PathSafety.h"
#include "support/StagedFile.h"
#include "support/TextConvert.h"

#include <boost/iostreams/categories.hpp>
#include <boost/iostreams/filter/zlib.hpp>
#include <boost/iostreams/read.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ios>
#include <memory>

const char packageMarker[14] = "abc_morvelant";

namespace {

// Inflated bytes go to the file in blocks of one write piece, small enough to stay
// in the processor's cache between the inflater and the write (10 MiB blocks
// made every write copy from main memory, at half the speed).
const std::streamsize kCopyBlock = FileManager::kWritePiece;
const std::size_t kMarkerLength = sizeof packageMarker - 1;
// No entry of a real package has a longer name; the bound comes before the
// allocation of a name whose length came from outside.
const std::uint32_t kMaxNameLength = 4096;
// Compressed bytes read from the file at a time.
const std::streamsize kSourceBuffer = 256 * 1024;

// The package file as a Boost.Iostreams source, opened by its wide path. After
// each buffer of compressed bytes it reports "nothing yet" once, so that the
// inflater hands over what it made of that buffer before it reads the next: the
// inflated bytes then reach the write while they are still in the processor's
// cache. Holding them across the next read made the writes copy from memory, at
// about half the speed.
class PackageSource {
public:
    typedef char char_type;
    typedef boost::iostreams::source_tag category;

    explicit PackageSource(InputFile& file) : file_(&file) {}

    std::streamsize read(char* data, std::streamsize size)
    {
        if (pause_) {
            pause_ = false;
            return 0;
        }
        std::int64_t got = file_->read(data, size);
        if (got < 0)
            throw std::ios_base::failure("package cannot be read");
        pause_ = got > 0;
        return got == 0 ? -1 : static_cast<std::streamsize>(got);
    }

private:
    InputFile* file_;
    bool pause_ = false;
};

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
    Extraction(const std::wstring& destination, InputFile& package, const PackageEntryFilter& leaveOut)
        : leaveOut_(leaveOut),
          destination_(destination),
          files_(FileManager::instance()),
          source_(package),
          inflater_(boost::iostreams::zlib_params(), kSourceBuffer)
    {
    }

    bool refused() const { return refused_; }
    const ExtractionFailure& failure() const { return failure_; }

    bool run()
    {
        char marker[kMarkerLength];
        if (read(marker, kMarkerLength) != static_cast<std::streamsize>(kMarkerLength) ||
            std::memcmp(marker, packageMarker, kMarkerLength) != 0)
            return false;
        buffer_.reset(new char[kCopyBlock]);
        for (;;) {
            char length[4];
            std::streamsize got = read(length, sizeof length);
            if (got == 0)
                return inflater_.eof();  // a stream that broke off is not a complete package
            if (got != sizeof length || !extractEntry(littleEndian32(length)))
                return false;
        }
    }

private:
    // Inflates straight into `data`: the bytes made from the compressed bytes at
    // hand (0 when it needs more), or -1 when the stream has ended. A stream
    // that fails to inflate (its check sum included) throws.
    std::streamsize inflateSome(char* data, std::streamsize size)
    {
        return boost::iostreams::read(inflater_, source_, data, size);
    }

    std::streamsize read(char* data, std::streamsize size)
    {
        std::streamsize total = 0;
        while (total < size) {
            std::streamsize got = inflateSome(data + total, size - total);
            if (got < 0)
                break;
            total += got;
        }
        return total;
    }

    bool extractEntry(std::uint32_t nameLength)
    {
        if (nameLength > kMaxNameLength)
            return false;
        const std::streamsize nameSize = static_cast<std::streamsize>(nameLength);
        std::string name(nameLength, '\0');
        char length[4];
        if (read(&name[0], nameSize) != nameSize || read(length, sizeof length) != sizeof length)
            return false;
        std::uint32_t dataLength = littleEndian32(length);
        const boost::optional<std::wstring> relative = confinedPath(name);
        if (!relative)
            return false;  // before anything of the entry touches the disk

        const std::wstring target = joinPath(destination_, *relative);
        if (leaveOut_ && leaveOut_(*relative))
            return skip(dataLength);
        const FileResult made = files_.createDirectories(parentDirectory(target));
        refused_ = made.refused();
        if (!made)
            return false;
        failure_.entry = target;
        // Beside its place until whole: a cut-off entry never replaces the old file.
        StagedFile staged(target);
        std::unique_ptr<FileManager::File> out = staged.open(false);
        if (!out)
            return false;
        std::uint32_t remaining = dataLength;
        while (remaining > 0) {
            // Sizes go through 32 bits: a stream size is 32-bit on 32-bit Windows.
            std::uint32_t want = std::min(remaining, static_cast<std::uint32_t>(kCopyBlock));
            std::streamsize got = inflateSome(buffer_.get(), static_cast<std::streamsize>(want));
            if (got < 0)
                return false;  // the entry runs past the end of the package
            if (got > 0 && !out->write(buffer_.get(), got)) {
                failure_.reason = out->failure();
                return false;
            }
            remaining -= static_cast<std::uint32_t>(got);
        }
        out.reset();
        failure_.reason = staged.place();
        return failure_.reason.empty();
    }

    // Reads past an entry's data without writing it.
    bool skip(std::uint32_t remaining)
    {
        while (remaining > 0) {
            const std::uint32_t want = std::min(remaining, static_cast<std::uint32_t>(kCopyBlock));
            const std::streamsize got = inflateSome(buffer_.get(), static_cast<std::streamsize>(want));
            if (got < 0)
                return false;
            remaining -= static_cast<std::uint32_t>(got);
        }
        return true;
    }

    const PackageEntryFilter& leaveOut_;
    bool refused_ = false;  // the last entry's directory was refused
    ExtractionFailure failure_;
    std::wstring destination_;
    FileManager& files_;
    PackageSource source_;
    boost::iostreams::zlib_decompressor inflater_;
    std::unique_ptr<char[]> buffer_;
};

}  // namespace

FileResult extractPackage(const std::wstring& destinationDirectory, const std::wstring& packagePath,
                          ExtractionFailure* failure, const PackageEntryFilter& leaveOut)
{
    const FileResult made = FileManager::instance().createDirectories(destinationDirectory);
    if (!made)
        return made;
    InputFile package(packagePath);
    if (!package.isOpen())
        return FileResult::Failed;
    try {
        Extraction extraction(destinationDirectory, package, leaveOut);
        if (extraction.run())
            return FileResult::Done;
        if (failure)
            *failure = extraction.failure();
        return extraction.refused() ? FileResult::Refused : FileResult::Failed;
    } catch (const std::exception&) {
        return FileResult::Failed;  // out of memory, or a library error outside the stream
    }
}
