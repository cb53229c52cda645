// release.sig as the starter reads and checks it, on any bytes: a text that
// parses is the one text of its release (what was signed can be read only one
// way), and the signature check takes any 64 bytes.

#include "support/SignedRelease.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// The public half of a pair made for these seeds by "launcher-publish keygen";
// the private half was not kept.
const char kPublicKey[] = R"PEM(-----BEGIN PUBLIC KEY-----
MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEp/J1y5beVsPjf5gXM3wlRa6mWDOB
/l/sTd9rQZyuU2zmhUocSTiAHMfqPvQj8Ye6zCTL6XS9xTs8j0/SZsXVCw==
-----END PUBLIC KEY-----
)PEM";

// 2026-12-20T00:00:00Z: the seed "valid" (release 42) is accepted then, "expired"
// and "older" (release 41) are not.
const std::int64_t kNow = 1797724800;
const std::uint64_t kHighestAccepted = 42;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    Release release;
    std::string signedPart;
    std::string signature;
    std::string reason;
    const bool parsed = parseRelease(text, release, signedPart, signature, reason);
    if (parsed) {
        std::string composed;
        if (!composeRelease(release, composed) || composed != signedPart ||
            composed + signatureLine(signature) != text)
            std::abort();
    }
    if (checkRelease(kPublicKey, text, kNow, kHighestAccepted, release, reason) && !parsed)
        std::abort();
    return 0;
}
