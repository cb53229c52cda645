#include "support/Hash.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>

struct Hash::Impl {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::vector<UCHAR> object;
    DWORD length = 0;
};

Hash::Hash(HashKind kind) : impl_(new Impl)
{
    const wchar_t* name = kind == HashKind::Sha256 ? BCRYPT_SHA256_ALGORITHM : BCRYPT_SHA1_ALGORITHM;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&impl_->algorithm, name, nullptr, 0))) {
        impl_->algorithm = nullptr;
        return;
    }
    DWORD objectSize = 0;
    ULONG got = 0;
    if (!BCRYPT_SUCCESS(BCryptGetProperty(impl_->algorithm, BCRYPT_OBJECT_LENGTH,
                                          reinterpret_cast<PUCHAR>(&objectSize), sizeof objectSize, &got,
                                          0)) ||
        !BCRYPT_SUCCESS(BCryptGetProperty(impl_->algorithm, BCRYPT_HASH_LENGTH,
                                          reinterpret_cast<PUCHAR>(&impl_->length), sizeof impl_->length,
                                          &got, 0)))
        return;
    impl_->object.resize(objectSize);
    if (!BCRYPT_SUCCESS(BCryptCreateHash(impl_->algorithm, &impl_->hash, impl_->object.data(), objectSize,
                                         nullptr, 0, 0)))
        impl_->hash = nullptr;
}

Hash::~Hash()
{
    if (impl_->hash)
        BCryptDestroyHash(impl_->hash);
    if (impl_->algorithm)
        BCryptCloseAlgorithmProvider(impl_->algorithm, 0);
}

bool Hash::ready() const
{
    return impl_->hash != nullptr;
}

void Hash::update(const void* data, std::size_t size)
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

std::vector<unsigned char> Hash::finish()
{
    std::vector<unsigned char> digest(impl_->length);
    BCryptFinishHash(impl_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
    return digest;
}
