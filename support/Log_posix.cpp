#include "support/LogPlatform.h"

#include "support/TextConvert.h"

#include <sys/file.h>

namespace logplatform {

bool toLocalTime(std::time_t time, std::tm& out)
{
    return ::localtime_r(&time, &out) != nullptr;
}

std::FILE* openLogFile(const std::wstring& path)
{
    std::FILE* file = std::fopen(wideToNarrow(path).c_str(), "we");
    // A shared lock lets other logs of the same second write on, but marks the
    // file in use for deletion and for exclusive openers, as on Windows.
    if (file)
        ::flock(fileno(file), LOCK_SH | LOCK_NB);
    return file;
}

}  // namespace logplatform
