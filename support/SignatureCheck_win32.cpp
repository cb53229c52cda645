#include "support/SignatureCheck.h"

#include "support/Hash.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <vector>

SignatureCheck checkP256Signature(const std::string& publicKeyPem, const std::string& message,
                                  const std::string& signature)
{
    const std::string point = p256PublicPoint(publicKeyPem);
    if (point.empty())
        return SignatureCheck::KeyUnusable;
    if (signature.size() != kP256SignatureSize)
        return SignatureCheck::Invalid;

    // CNG's public key blob: its header, then X and Y without the form byte.
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 64);
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, point.data() + 1, 64);

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
        return SignatureCheck::KeyUnusable;
    BCRYPT_KEY_HANDLE key = nullptr;
    SignatureCheck result = SignatureCheck::KeyUnusable;
    if (BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                                           static_cast<ULONG>(blob.size()), 0))) {
        Hash hash(HashKind::Sha256);
        if (hash.ready()) {
            hash.update(message.data(), message.size());
            std::vector<unsigned char> digest = hash.finish();
            std::vector<UCHAR> raw(signature.begin(), signature.end());
            const NTSTATUS status =
                BCryptVerifySignature(key, nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                      raw.data(), static_cast<ULONG>(raw.size()), 0);
            result = BCRYPT_SUCCESS(status) ? SignatureCheck::Valid : SignatureCheck::Invalid;
        }
        BCryptDestroyKey(key);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return result;
}
