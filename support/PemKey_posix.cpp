#include "support/PemKey.h"

#include <openssl/pem.h>

namespace openssl {

namespace {

KeyPtr readKey(const std::string& pem, EVP_PKEY* (*read)(BIO*, EVP_PKEY**, pem_password_cb*, void*))
{
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return KeyPtr(bio ? read(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

}  // namespace

KeyPtr readPublicKey(const std::string& pem)
{
    return readKey(pem, PEM_read_bio_PUBKEY);
}

KeyPtr readPrivateKey(const std::string& pem)
{
    return readKey(pem, PEM_read_bio_PrivateKey);
}

}  // namespace openssl
