#include "support/SignatureCheck.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace {

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using BioPtr = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using SigPtr = std::unique_ptr<ECDSA_SIG, Freer<ECDSA_SIG, ECDSA_SIG_free>>;
using ContextPtr = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX, EVP_MD_CTX_free>>;

}  // namespace

SignatureCheck checkP256Signature(const std::string& publicKeyPem, const std::string& message,
                                  const std::string& signature)
{
    if (p256PublicPoint(publicKeyPem).empty())
        return SignatureCheck::KeyUnusable;
    BioPtr bio(BIO_new_mem_buf(publicKeyPem.data(), static_cast<int>(publicKeyPem.size())));
    KeyPtr key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key)
        return SignatureCheck::KeyUnusable;
    if (signature.size() != kP256SignatureSize)
        return SignatureCheck::Invalid;

    // OpenSSL checks the DER form; its own routines make it from r and s.
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(signature.data());
    SigPtr sig(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(raw, 32, nullptr);
    BIGNUM* s = BN_bin2bn(raw + 32, 32, nullptr);
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return SignatureCheck::KeyUnusable;
    }
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
    if (derLength <= 0)
        return SignatureCheck::KeyUnusable;
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> derOwner(
        der, [](unsigned char* p) { OPENSSL_free(p); });

    ContextPtr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1)
        return SignatureCheck::KeyUnusable;
    const int verdict = EVP_DigestVerify(context.get(), der, static_cast<std::size_t>(derLength),
                                         reinterpret_cast<const unsigned char*>(message.data()), message.size());
    return verdict == 1 ? SignatureCheck::Valid : SignatureCheck::Invalid;
}
