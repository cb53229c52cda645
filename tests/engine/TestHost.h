#pragma once
// What the tests need to know about the system they run on.

// The Windows build runs under wine, whose programs (cmd.exe among them) differ
// from Windows' own in places; false on POSIX.
bool runningUnderWine();
