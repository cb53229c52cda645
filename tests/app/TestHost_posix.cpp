#include "tests/app/TestHost.h"

bool runningUnderWine()
{
    return false;
}
