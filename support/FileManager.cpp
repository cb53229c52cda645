#include "support/FileManager.h"

#include "support/FileManagerCalls.h"
#include "support/TextConvert.h"

#include <algorithm>
#include <vector>

const std::int64_t FileManager::kWritePiece;

FileManager& FileManager::instance()
{
    static FileManager* manager = new FileManager();
    return *manager;
}

void FileManager::setRoot(const std::wstring& root)
{
    root_ = root;
}

std::wstring FileManager::resolve(const std::wstring& path) const
{
    if (root_.empty() || isAbsolute(path))
        return path;
    return joinPath(root_, path);
}

namespace {

// Splits at '/' with runs of separators counting as one; a leading or trailing
// separator still gives an empty first or last component.
std::vector<std::wstring> splitComponents(const std::wstring& path)
{
    std::vector<std::wstring> components;
    std::wstring current;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] != L'/') {
            current += path[i];
            continue;
        }
        if (i > 0 && path[i - 1] == L'/')
            continue;
        components.push_back(current);
        current.clear();
    }
    components.push_back(current);
    return components;
}

}  // namespace

FileResult FileManager::createDirectories(const std::wstring& path)
{
    if (path.empty())
        return FileResult::Done;
    std::wstring work = path;
    std::replace(work.begin(), work.end(), L'\\', L'/');
    std::vector<std::wstring> components = splitComponents(work);

    std::wstring prefix;
    std::size_t next = 0;
    const std::wstring& first = components.front();
    if (first.size() >= 2 && first[0] == L'.' && first[1] == L'.')
        return FileResult::Refused;
    if (first.size() >= 2 && first[1] == L':') {
        if (components.size() == 1)
            return FileResult::Failed;  // a bare drive
        prefix = first + L"/";
        next = 1;
    }
    if (first.empty() && components.size() > 1 && filecalls::kSeparatorStartsAtRoot) {
        prefix = L"/";
        next = 1;
    }
    for (; next < components.size(); ++next) {
        prefix += components[next];
        if (filecalls::makeDirectory(prefix) == filecalls::MakeDirectoryResult::Failed)
            break;
        prefix += L"/";
    }
    return isDirectory(path) ? FileResult::Done : FileResult::Failed;
}

bool FileManager::File::write(const void* data, std::int64_t size)
{
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        std::int64_t piece = std::min(size, kWritePiece);
        failure_ = filecalls::writePiece(handle_, next, static_cast<std::uint32_t>(piece));
        if (!failure_.empty())
            return false;
        next += piece;
        size -= piece;
    }
    return true;
}

std::wstring placeKey(const std::wstring& path)
{
    std::wstring key;
    std::wstring component;
    const auto flush = [&] {
        if (!component.empty() && component != L".")
            key += (key.empty() ? L"" : L"/") + component;
        component.clear();
    };
    for (wchar_t c : path) {
        if (c == L'/' || c == L'\\') {
            flush();
            continue;
        }
        if (filecalls::kNamesIgnoreCase && c >= L'a' && c <= L'z')
            c = wchar_t(c - L'a' + L'A');
        component += c;
    }
    flush();
    return key;
}
