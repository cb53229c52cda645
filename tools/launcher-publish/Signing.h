#pragma once
// The publisher's key pair and the signing of a release ("release.sig" in the
// version server's directory). Failures are publish::Error with the file concerned.

#include "tools/launcher-publish/Publish.h"

#include <boost/filesystem/path.hpp>

#include <cstdint>

namespace publish {

// Writes a new ECDSA P-256 key pair as PEM: the private key (PKCS#8, readable by
// its owner only) and the public key (SubjectPublicKeyInfo) that starters are
// built with. An existing private key file is never overwritten.
void writeKeyPair(const boost::filesystem::path& privateKey, const boost::filesystem::path& publicKey);

// Lists "release.sig" in SERVER-DIR/files.cfg (stored under "updater" by the
// starter), then writes SERVER-DIR/release.sig: release `number`, expiring
// `validDays` days from now, with the size and SHA-256 of files.cfg and of every
// file it lists. Returns the number of files covered. The keys of files.cfg are in
// the starters' `encoding`; the files they name have UTF-8 names. With an
// `httpDirectory` (the download host's root), every file below it is covered too,
// as "http:" and its path on the host, which a starter with a key requires.
std::size_t signRelease(const boost::filesystem::path& serverDirectory,
                        const boost::filesystem::path& privateKey, std::uint64_t number,
                        std::uint64_t validDays, NameEncoding encoding = NameEncoding::Gbk,
                        const boost::filesystem::path& httpDirectory = boost::filesystem::path());

}  // namespace publish
