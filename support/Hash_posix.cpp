#include "support/Hash.h"

#include <openssl/evp.h>

struct Hash::Impl {
    EVP_MD_CTX* context = nullptr;
};

Hash::Hash(HashKind kind) : impl_(new Impl)
{
    impl_->context = EVP_MD_CTX_new();
    const EVP_MD* method = kind == HashKind::Sha256 ? EVP_sha256() : EVP_sha1();
    if (impl_->context && EVP_DigestInit_ex(impl_->context, method, nullptr) != 1) {
        EVP_MD_CTX_free(impl_->context);
        impl_->context = nullptr;
    }
}

Hash::~Hash()
{
    if (impl_->context)
        EVP_MD_CTX_free(impl_->context);
}

bool Hash::ready() const
{
    return impl_->context != nullptr;
}

void Hash::update(const void* data, std::size_t size)
{
    EVP_DigestUpdate(impl_->context, data, size);
}

std::vector<unsigned char> Hash::finish()
{
    std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_DigestFinal_ex(impl_->context, digest.data(), &length);
    digest.resize(length);
    return digest;
}
