#include "support/SignatureCheck.h"

#include "support/PemKey.h"

#include <openssl/bn.h>

#include <memory>

using openssl::ContextPtr;
using openssl::KeyPtr;
using openssl::SigPtr;

SignatureCheck checkP256Signature(const std::string& publicKeyPem, const std::string& message,
                                  const std::string& signature)
{
    if (p256PublicPoint(publicKeyPem).empty())
        return SignatureCheck::KeyUnusable;
    const KeyPtr key = openssl::readPublicKey(publicKeyPem);
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
    const int verdict =
        EVP_DigestVerify(context.get(), der, static_cast<std::size_t>(derLength),
                         reinterpret_cast<const unsigned char*>(message.data()), message.size());
    return verdict == 1 ? SignatureCheck::Valid : SignatureCheck::Invalid;
}
