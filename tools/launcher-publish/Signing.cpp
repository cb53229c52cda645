#include "tools/launcher-publish/Signing.h"

#include "support/PemKey.h"
#include "support/SignedRelease.h"
#include "support/TextConvert.h"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/info_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <vector>

namespace fs = boost::filesystem;
namespace pt = boost::property_tree;

namespace publish {

namespace {

using openssl::BioPtr;
using openssl::ContextPtr;
using openssl::KeyPtr;
using openssl::SigPtr;

const char kSignatureName[] = "release.sig";
const char kManifestName[] = "files.cfg";
const std::uint64_t kMaxValidDays = 3650;

std::string pemText(int (*write)(BIO*, EVP_PKEY*), EVP_PKEY* key)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get(), key) != 1)
        throw Error("cannot encode the key");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

int writePrivate(BIO* bio, EVP_PKEY* key)
{
    return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
}

int writePublic(BIO* bio, EVP_PKEY* key)
{
    return PEM_write_bio_PUBKEY(bio, key);
}

// Creates `path` for `content` with the given mode; an existing file is an Error.
void createFile(const fs::path& path, const std::string& content, mode_t mode)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
    if (fd < 0)
        throw Error("cannot create " + quoted(path) + " (it must not exist yet)");
    std::FILE* file = fdopen(fd, "wb");
    const bool ok = file && std::fwrite(content.data(), 1, content.size(), file) == content.size();
    if ((file ? std::fclose(file) : ::close(fd)) != 0 || !ok)
        throw Error("cannot write " + quoted(path));
}

KeyPtr readPrivateKey(const fs::path& path)
{
    std::string pem;
    if (!readSmallFile(path.wstring(), 64 * 1024, pem))
        throw Error("cannot read the private key " + quoted(path));
    KeyPtr key = openssl::readPrivateKey(pem);
    char group[64] = {};
    std::size_t length = 0;
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC ||
        EVP_PKEY_get_utf8_string_param(key.get(), "group", group, sizeof group, &length) != 1 ||
        std::string(group) != "prime256v1")
        throw Error(quoted(path) + " is not an ECDSA P-256 private key");
    return key;
}

// The 64-byte r||s signature of `message`.
std::string sign(EVP_PKEY* key, const std::string& message)
{
    ContextPtr context(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1)
        throw Error("cannot sign");
    std::string der(length, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(&der[0]), &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1)
        throw Error("cannot sign");
    const unsigned char* next = reinterpret_cast<const unsigned char*>(der.data());
    SigPtr sig(d2i_ECDSA_SIG(nullptr, &next, static_cast<long>(length)));
    std::string raw(64, '\0');
    unsigned char* out = reinterpret_cast<unsigned char*>(&raw[0]);
    if (!sig || BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out, 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out + 32, 32) != 32)
        throw Error("cannot sign");
    return raw;
}

// Makes files.cfg list release.sig under "updater"; returns the names it lists.
std::vector<std::string> listSignatureInManifest(const fs::path& manifest)
{
    pt::ptree tree;
    try {
        pt::read_info(manifest.string(), tree);
    } catch (const pt::ptree_error& e) {
        throw Error("cannot read " + quoted(manifest) + ": " + e.what());
    }
    bool changed = true;
    std::vector<std::string> names;
    for (auto& entry : tree) {
        if (entry.first == kSignatureName) {
            changed = entry.second.data() != "updater";
            entry.second.put_value(std::string("updater"));
        } else {
            names.push_back(entry.first);
        }
    }
    if (names.size() + 1 == tree.size() && !changed)
        return names;
    if (names.size() == tree.size())
        tree.push_back(std::make_pair(kSignatureName, pt::ptree("updater")));
    std::ostringstream text;
    pt::write_info(text, tree, pt::info_writer_make_settings(' ', 4));
    writeOutput(manifest, text.str());
    return names;
}

}  // namespace

void writeKeyPair(const fs::path& privateKey, const fs::path& publicKey)
{
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key)
        throw Error("cannot generate a key");
    const std::string privatePem = pemText(writePrivate, key.get());
    const std::string publicPem = pemText(writePublic, key.get());
    createFile(privateKey, privatePem, 0600);
    try {
        writeOutput(publicKey, publicPem);
    } catch (const Error&) {
        boost::system::error_code ignored;
        fs::remove(privateKey, ignored);
        throw;
    }
}

std::size_t signRelease(const fs::path& serverDirectory, const fs::path& privateKey, std::uint64_t number,
                        std::uint64_t validDays, NameEncoding encoding, const fs::path& httpDirectory)
{
    if (validDays == 0 || validDays > kMaxValidDays)
        throw Error("--valid-days must be between 1 and " + std::to_string(kMaxValidDays));
    const KeyPtr key = readPrivateKey(privateKey);
    const fs::path manifest = serverDirectory / kManifestName;
    std::vector<std::string> names = listSignatureInManifest(manifest);
    names.push_back(kManifestName);

    Release release;
    release.number = number;
    release.expires = utcNow() + static_cast<std::int64_t>(validDays) * 86400;
    for (const std::string& name : names) {
        ReleaseFile digest;
        std::string onDisk;
        if (!decodeName(encoding, name, onDisk))
            throw Error("files.cfg lists a name that is not in the starters' encoding");
        if (!fileSha256((serverDirectory / onDisk).wstring(), digest))
            throw Error("cannot read " + quoted(serverDirectory / onDisk) + ", which files.cfg lists");
        release.files[name] = digest;
    }
    // The download host's files, named as the starter asks for them.
    if (!httpDirectory.empty()) {
        for (const std::string& name : listFiles(httpDirectory)) {
            ReleaseFile digest;
            if (!fileSha256((httpDirectory / name).wstring(), digest))
                throw Error("cannot read " + quoted(httpDirectory / name));
            release.files[kSignedHttpPrefix + percentEncodePath(name)] = digest;
        }
    }
    std::string text;
    if (!composeRelease(release, text))
        throw Error("files.cfg lists a name that cannot be signed (empty, or with a line end)");
    writeOutput(serverDirectory / kSignatureName, text + signatureLine(sign(key.get(), text)));
    return release.files.size();
}

}  // namespace publish
