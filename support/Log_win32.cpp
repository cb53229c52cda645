#include "support/LogPlatform.h"

#include <share.h>
#include <cstdio>
#include <time.h>

namespace logplatform {

bool toLocalTime(std::time_t time, std::tm& out)
{
    return localtime_s(&out, &time) == 0;
}

std::FILE* openLogFile(const std::wstring& path)
{
    // Text mode turns each line feed into CR LF; _SH_DENYNO shares reading and
    // writing but not deletion. The wide call: an installation directory may hold
    // characters the ANSI code page lacks.
    return _wfsopen(path.c_str(), L"wt", _SH_DENYNO);
}

}  // namespace logplatform
