#include "support/LogPlatform.h"

#include <share.h>
#include <cstdio>
#include <time.h>

namespace logplatform {

bool toLocalTime(std::time_t time, std::tm& out)
{
    return localtime_s(&out, &time) == 0;
}

std::FILE* openLogFile(const char* path)
{
    // Text mode turns each line feed into CR LF; _SH_DENYNO shares reading and
    // writing but not deletion.
    return _fsopen(path, "wt", _SH_DENYNO);
}

}  // namespace logplatform
