#pragma once
// SHA-1 through the system's own implementation (see Hash.h).

#include "support/Hash.h"

#include <algorithm>
#include <array>
#include <cstddef>

class Sha1 {
public:
    // False when the system could not set up a computation; nothing else works then.
    bool ready() const { return hash_.ready(); }
    void update(const void* data, std::size_t size) { hash_.update(data, size); }
    std::array<unsigned char, 20> finish()
    {
        std::array<unsigned char, 20> digest = {};
        const std::vector<unsigned char> bytes = hash_.finish();
        std::copy_n(bytes.begin(), std::min(bytes.size(), digest.size()), digest.begin());
        return digest;
    }

private:
    Hash hash_{HashKind::Sha1};
};
