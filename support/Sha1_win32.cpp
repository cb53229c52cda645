#include "support/Sha1.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <vector>

struct Sha1::Impl {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::vector<UCHAR> object;
};

Sha1::Sha1() : impl_(new Impl)
{
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&impl_->algorithm, BCRYPT_SHA1_ALGORITHM, nullptr, 0))) {
        impl_->algorithm = nullptr;
        return;
    }
    DWORD objectSize = 0;
    ULONG got = 0;
    if (!BCRYPT_SUCCESS(BCryptGetProperty(impl_->algorithm, BCRYPT_OBJECT_LENGTH,
                                          reinterpret_cast<PUCHAR>(&objectSize), sizeof objectSize, &got, 0)))
        return;
    impl_->object.resize(objectSize);
    if (!BCRYPT_SUCCESS(BCryptCreateHash(impl_->algorithm, &impl_->hash, impl_->object.data(), objectSize,
                                         nullptr, 0, 0)))
        impl_->hash = nullptr;
}

Sha1::~Sha1()
{
    if (impl_->hash)
        BCryptDestroyHash(impl_->hash);
    if (impl_->algorithm)
        BCryptCloseAlgorithmProvider(impl_->algorithm, 0);
}

bool Sha1::ready() const
{
    return impl_->hash != nullptr;
}

void Sha1::update(const void* data, std::size_t size)
{
    // BCryptHashData takes at most 4 GiB - 1 per call.
    const UCHAR* next = static_cast<const UCHAR*>(data);
    while (size > 0) {
        ULONG piece = static_cast<ULONG>(std::min<std::size_t>(size, 0x40000000));
        BCryptHashData(impl_->hash, const_cast<PUCHAR>(next), piece, 0);
        next += piece;
        size -= piece;
    }
}

std::array<unsigned char, 20> Sha1::finish()
{
    std::array<unsigned char, 20> digest = {};
    BCryptFinishHash(impl_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
    return digest;
}
