#pragma once
// SHA-1 through the system's own implementation (OpenSSL on POSIX, CNG on Windows).

#include <array>
#include <cstddef>
#include <memory>

class Sha1 {
public:
    Sha1();
    ~Sha1();
    Sha1(const Sha1&) = delete;
    Sha1& operator=(const Sha1&) = delete;

    // False when the system could not set up a computation; nothing else works then.
    bool ready() const;
    void update(const void* data, std::size_t size);
    std::array<unsigned char, 20> finish();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
