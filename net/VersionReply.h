#pragma once
// One file reply of the version server, read from any byte source: the client's
// socket in the program, a plain buffer in the fuzzer.

#include "net/VersionClient.h"
#include "support/StagedFile.h"

#include <cstddef>
#include <cstdint>
#include <string>

class ReplySource {
public:
    virtual ~ReplySource() = default;
    // Reads at least one and at most `size` bytes. False on an error or at the end
    // of the stream, with the error's text in `error`.
    virtual bool readSome(char* buffer, std::size_t size, std::size_t& received, std::string& error) = 0;
    // A read failed because the reply, its head included, came too slowly.
    virtual bool overdue() const { return false; }
    // Gives up the source: what is left unread would put it out of step.
    virtual void abandon() {}
};

// Reads the reply to the request for `name` (sent with `digest`) into `into`,
// where it stays staged for the caller to check and place: an interrupted reply
// never touches the copy already in place. A content that cannot be written is
// still read to its end, so the connection stays in step.
// A content longer than `bound` allows is refused before a byte of it is read.
FetchResult receiveFileReply(ReplySource& source, const std::string& name, const std::string& digest,
                             StagedFile& into, const ReplyBound& bound = ReplyBound());

// Largest piece read into memory at once, whatever length the server announces.
const std::size_t kReplyPiece = 1024 * 1024;
