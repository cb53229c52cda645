#include "NetTestSupport.h"

namespace nettest {

// The Windows build runs under wine: nginx and our version server are native
// Linux programs that a Windows process cannot start here.
bool ChildProcess::supported() { return false; }

ChildProcess::ChildProcess(const std::vector<std::string>&, const fs::path&) {}

ChildProcess::~ChildProcess() = default;

bool ChildProcess::running() const { return false; }

int ChildProcess::stop() { return status_; }

}  // namespace nettest
