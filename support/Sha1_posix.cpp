#include "support/Sha1.h"

#include <openssl/evp.h>

struct Sha1::Impl {
    EVP_MD_CTX* context = nullptr;
};

Sha1::Sha1() : impl_(new Impl)
{
    impl_->context = EVP_MD_CTX_new();
    if (impl_->context && EVP_DigestInit_ex(impl_->context, EVP_sha1(), nullptr) != 1) {
        EVP_MD_CTX_free(impl_->context);
        impl_->context = nullptr;
    }
}

Sha1::~Sha1()
{
    if (impl_->context)
        EVP_MD_CTX_free(impl_->context);
}

bool Sha1::ready() const
{
    return impl_->context != nullptr;
}

void Sha1::update(const void* data, std::size_t size)
{
    EVP_DigestUpdate(impl_->context, data, size);
}

std::array<unsigned char, 20> Sha1::finish()
{
    std::array<unsigned char, 20> digest = {};
    unsigned int length = 0;
    EVP_DigestFinal_ex(impl_->context, digest.data(), &length);
    return digest;
}
