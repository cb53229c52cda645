#include "support/Patch.h"

#include "support/InputFile.h"
#include "support/MappedFile.h"

// The stable output buffer and the frame header reader are in the part of the
// API that Debian's library exports but marks as still settling.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#include <memory>
#include <vector>

namespace {

struct DCtxFree {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

PatchResult outcome(PatchOutcome kind, const std::string& reason)
{
    PatchResult result;
    result.outcome = kind;
    result.reason = reason;
    return result;
}

PatchResult decodingFailure(std::size_t code)
{
    const std::string detail = ZSTD_getErrorName(code);
    switch (ZSTD_getErrorCode(code)) {
    case ZSTD_error_dstSize_tooSmall:
        return outcome(PatchOutcome::PastListedSize, "补丁结果超过文件大小");
    case ZSTD_error_checksum_wrong:
        return outcome(PatchOutcome::WrongResult, "补丁结果校验错误");
    case ZSTD_error_frameParameter_windowTooLarge:
    case ZSTD_error_frameParameter_unsupported:
    case ZSTD_error_prefix_unknown:
    case ZSTD_error_version_unsupported:
        return outcome(PatchOutcome::NotAFrame, "补丁格式不支持: " + detail);
    default:
        return outcome(PatchOutcome::Corrupt, "补丁已损坏: " + detail);
    }
}

}  // namespace

bool patchFitsAddressSpace(std::uint64_t oldSize, std::uint64_t newSize)
{
    if (oldSize > kMaxPatchReference)
        return false;
    // Both sizes are below 2^63 here or the sum is past the bound anyway.
    return sizeof(void*) >= 8 ||
           (newSize <= kMaxMappedPatchBytes32 && oldSize + newSize <= kMaxMappedPatchBytes32);
}

PatchResult applyPatch(const std::wstring& oldPath, const std::wstring& patchPath, std::uint64_t newSize,
                       StagedFile& staged)
{
    MappedFile old;
    MappedFile output;
    // Whatever goes wrong, the staged file goes; the old one was only read.
    const auto fail = [&](PatchOutcome kind, const std::string& reason) {
        output.close();
        staged.discard();
        return outcome(kind, reason);
    };

    InputFile patch(patchPath);
    if (!patch.isOpen())
        return fail(PatchOutcome::PatchUnreadable, "无法打开补丁");
    // The decoder's own input piece: reading more at once buys nothing.
    std::vector<char> piece(ZSTD_DStreamInSize());
    std::int64_t got = patch.read(piece.data(), static_cast<std::int64_t>(piece.size()));
    if (got < 0)
        return fail(PatchOutcome::PatchUnreadable, "无法读取补丁");

    // The header says how long the result is: a frame that says otherwise is
    // refused before a byte is staged.
    ZSTD_frameHeader header;
    const std::size_t needed = ZSTD_getFrameHeader(&header, piece.data(), static_cast<std::size_t>(got));
    if (ZSTD_isError(needed) || (needed == 0 && header.frameType != ZSTD_frame))
        return fail(PatchOutcome::NotAFrame, "补丁格式不支持");
    if (needed != 0)
        return fail(PatchOutcome::Truncated, "补丁不完整");
    if (header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN) {
        if (header.frameContentSize > newSize)
            return fail(PatchOutcome::PastListedSize, "补丁结果超过文件大小");
        if (header.frameContentSize < newSize)
            return fail(PatchOutcome::ShortOfListedSize, "补丁结果小于文件大小");
    }

    std::string reason = old.openForReading(oldPath);
    if (!reason.empty())
        return fail(PatchOutcome::OldUnreadable, "无法映射旧文件: " + reason);
    if (!patchFitsAddressSpace(old.size(), newSize))
        return fail(PatchOutcome::TooLarge, "文件过大，无法应用补丁");

    if (!staged.open(false))
        return fail(PatchOutcome::OutputFailed, "无法打开文件");
    reason = output.openForWriting(staged.path(), newSize);
    if (!reason.empty())
        return fail(PatchOutcome::OutputFailed, "无法映射文件: " + reason);

    std::unique_ptr<ZSTD_DCtx, DCtxFree> context(ZSTD_createDCtx());
    if (!context)
        return fail(PatchOutcome::OutputFailed, "内存不足");
    // The output is the whole mapped file and stays put between calls, so the
    // decoder refers back into it and the mapped old file and keeps no window
    // buffer: any window zstd allows costs no memory here.
    std::size_t status = ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, ZSTD_WINDOWLOG_MAX);
    if (!ZSTD_isError(status))
        status = ZSTD_DCtx_setParameter(context.get(), ZSTD_d_stableOutBuffer, 1);
    if (!ZSTD_isError(status) && old.size() > 0)
        status = ZSTD_DCtx_refPrefix(context.get(), old.data(), static_cast<std::size_t>(old.size()));
    if (ZSTD_isError(status))
        return fail(PatchOutcome::OutputFailed, std::string("无法应用补丁: ") + ZSTD_getErrorName(status));

    char nothing = 0;  // the destination of an empty result, which maps to no memory
    ZSTD_outBuffer out = {newSize > 0 ? output.writableData() : &nothing, static_cast<std::size_t>(newSize),
                          0};
    bool frameEnded = false;
    while (got > 0) {
        ZSTD_inBuffer in = {piece.data(), static_cast<std::size_t>(got), 0};
        while (in.pos < in.size) {
            if (frameEnded)
                return fail(PatchOutcome::TrailingData, "补丁末尾有多余数据");
            status = ZSTD_decompressStream(context.get(), &out, &in);
            if (ZSTD_isError(status))
                return fail(decodingFailure(status).outcome, decodingFailure(status).reason);
            frameEnded = status == 0;
        }
        got = patch.read(piece.data(), static_cast<std::int64_t>(piece.size()));
        if (got < 0)
            return fail(PatchOutcome::PatchUnreadable, "无法读取补丁");
    }
    if (!frameEnded)
        return fail(PatchOutcome::Truncated, "补丁不完整");
    if (out.pos != newSize)
        return fail(PatchOutcome::ShortOfListedSize, "补丁结果小于文件大小");
    reason = output.close();
    if (!reason.empty())
        return fail(PatchOutcome::OutputFailed, "无法写入文件: " + reason);
    return PatchResult();
}
