#pragma once
// Keys read from PEM text with OpenSSL, the POSIX system's cryptography, and
// owning pointers that free OpenSSL's objects with their own routines. POSIX
// only: the Windows build reads its key with CNG (SignatureCheck_win32.cpp).
// Never throws.

#include <openssl/bio.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

namespace openssl {

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using ContextPtr = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX, EVP_MD_CTX_free>>;
using SigPtr = std::unique_ptr<ECDSA_SIG, Freer<ECDSA_SIG, ECDSA_SIG_free>>;
using BioPtr = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;

// The key of a "PUBLIC KEY" PEM text; null when the text holds none.
KeyPtr readPublicKey(const std::string& pem);
// The key of an unencrypted "PRIVATE KEY" PEM text; null when the text holds none.
KeyPtr readPrivateKey(const std::string& pem);

}  // namespace openssl
