#include "tests/engine/TestHost.h"

bool runningUnderWine()
{
    return false;
}
