#pragma once
// Checks an ECDSA signature on the curve P-256 over SHA-256 with the system's own
// cryptography (OpenSSL on POSIX, CNG on Windows). Never throws.
//
// The signature travels as 64 bytes, r then s, each 32 bytes big-endian: the form
// CNG takes as it is; the POSIX side lets OpenSSL wrap it in its DER form.

#include <cstddef>
#include <string>

enum class SignatureCheck {
    Valid,
    Invalid,      // not made by the key's owner over this message
    KeyUnusable,  // the key text is not a P-256 public key, or the system refused it
};

// `publicKeyPem` is a "PUBLIC KEY" PEM text (SubjectPublicKeyInfo) of a P-256 key.
SignatureCheck checkP256Signature(const std::string& publicKeyPem, const std::string& message,
                                  const std::string& signature);

// The key's point in uncompressed form (0x04, X, Y: 65 bytes), or empty when the
// text is not a P-256 public key PEM. Both systems accept exactly these keys.
std::string p256PublicPoint(const std::string& publicKeyPem);

// Bytes of an r||s signature.
const std::size_t kP256SignatureSize = 64;
