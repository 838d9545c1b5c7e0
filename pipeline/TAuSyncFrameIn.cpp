#include "pipeline/TAuSyncFrameIn.h"

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "pipeline/EAuException.h"
#include "pipeline/TChannelLayout.h"
#include "pipeline/TEventHandler.h"

namespace tarvio {

namespace {

// The libraries read the frame in whole words, a little past its end.
constexpr uint32_t FramePadding = 16;
// Bytes the search looks at at once to pass over a run of zero bytes.
constexpr uint32_t ZeroRun = 4096;

} // namespace

TAuSyncFrameIn::TAuSyncFrameIn(TComponent* AOwner, uint32_t HeaderBytes, uint32_t ConfirmBytes,
                               int64_t SearchOffsets)
    : TAuFileIn(AOwner), FHeaderBytes(HeaderBytes), FConfirmBytes(ConfirmBytes),
      FSearchOffsets(SearchOffsets) {
    FSeekable = false;
}

uint32_t TAuSyncFrameIn::BitRate() {
    OpenFile();
    return FBitRate;
}

bool TAuSyncFrameIn::SeekInternal(int64_t&) {
    return false;
}

void TAuSyncFrameIn::Release() {
    FReader.Attach(nullptr);
    FDemuxer.reset();
    FreeState();
    std::vector<int16_t>().swap(FBlock);
    std::vector<uint8_t>().swap(FrameBuf);
    if (FStreamAssigned) {
        if (FStream) FStream->Seek(0, TSeekOrigin::soBeginning);
    } else {
        ReleaseOwnStream();
    }
}

void TAuSyncFrameIn::OpenFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened != 0) return;
    FValid = false;
    bool loaded = false;
    {
        std::lock_guard<std::recursive_mutex> loadLock(LibraryLoadLock());
        TLibraryLoader& loader = Library();
        loaded = loader.Load() && ResolveEntryPoints(loader);
    }
    if (!loaded) throw EAuException(Library().FileName() + " library could not be loaded.");
    try {
        OpenOwnStream();
    } catch (...) {
        throw EAuException("Failed to open stream");
    }
    if (!FStream) throw EAuException("Failed to open stream");
    try {
        FrameBuf.assign(MaxFrameBytes + FramePadding, 0);
        CreateState();
        FCurrentBlock = 1;
        FBlockCount = 1;
        FBitRate = 0;
        FSilentFrame = FFrameDamaged = false;

        uint8_t head[4] = {};
        FStream->Seek(0, TSeekOrigin::soBeginning);
        const int32_t got = FStream->Read(head, 4);
        FExtract = got == 4 && head[0] == 0 && head[1] == 0 && head[2] == 1 && head[3] == 0xBA;
        FStream->Seek(0, TSeekOrigin::soBeginning);
        if (FExtract) {
            FDemuxer = CreateDemuxer(*FStream);
            FReader.Attach(FDemuxer.get());
        } else {
            FReader.Attach(FStream);
        }
        if (ReadFrame(true) != TSearch::Found) {
            Release();
            return;
        }
        FSize = -1;
        FSeekable = false;
        FFrameBytes = static_cast<uint16_t>((FBPS / 8) * FChan);
        FBlock.assign(size_t{FChan} * 256, 0);
        FBlockPos = 0;
        FBlockEnd = 0;
        FValid = true;
        ++FOpened;
    } catch (...) {
        Release();
        throw;
    }
}

void TAuSyncFrameIn::CloseFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened <= 0) return;
    Release();
    FOpened = 0;
}

TAuSyncFrameIn::TSearch TAuSyncFrameIn::TakeFrame(const THeader& Header, bool Opening) {
    const uint32_t size = static_cast<uint32_t>(Header.Size);
    if (FReader.Read(FrameBuf.data(), size) < size) {
        // The last frame is incomplete: the data ends here, cut short.
        if (!Opening) ReportDamage(dkCutShort, NextFrame());
        return TSearch::End;
    }
    FFrame = Header;
    FBitRate = Header.BitRate;
    if (Opening) {
        FSR = Header.Rate;
        FBPS = 16;
        FChan = Header.Channels;
    }
    return TSearch::Found;
}

bool TAuSyncFrameIn::FollowedByFrame(const THeader& Header) {
    const uint32_t size = static_cast<uint32_t>(Header.Size);
    const uint32_t want = size + FConfirmBytes + FHeaderBytes;
    const uint8_t* data = nullptr;
    const uint32_t got = FReader.Peek(want, data);
    bool found = false;
    THeader next;
    for (uint32_t at = size; !found && at + FHeaderBytes <= got && at <= size + FConfirmBytes; ++at)
        found =
            ReadHeader(data + at, next) && next.Rate == Header.Rate && next.StreamFlags == Header.StreamFlags;
    // A library may keep what it learnt from the last header it saw (libdca: the packing);
    // the first frame's counts.
    ReadHeader(data, next);
    // A frame that the data ends shortly after stands on its own.
    return found || got < want;
}

TAuSyncFrameIn::TSearch TAuSyncFrameIn::SearchFrame(bool Opening) {
    THeader header;
    for (int64_t i = 0; i < FSearchOffsets;) {
        const uint8_t* data = nullptr;
        const uint32_t got = FReader.Peek(ZeroRun, data);
        if (got < FHeaderBytes) return TSearch::End;
        if (data[0] == 0) { // not counted: no packing's sync word starts with a zero byte
            FReader.Skip(static_cast<uint32_t>(
                std::find_if(data, data + got, [](uint8_t b) { return b != 0; }) - data));
            continue;
        }
        if (ReadHeader(data, header) && (!Opening || FollowedByFrame(header))) {
            // Bytes other than silence between two frames: a frame's start was damaged.
            if (i > 0 && !Opening) ReportDamage(dkLostSync, NextFrame());
            return TakeFrame(header, Opening);
        }
        FReader.Skip(1);
        ++i;
    }
    return TSearch::Lost;
}

void TAuSyncFrameIn::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    if (!Busy) throw EAuException("The Stream is not opened");
    // The block buffer exists exactly while the decoder state does.
    if (!FValid || FBlock.empty()) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    if (FBlockPos >= FBlockEnd) {
        for (;;) {
            if (FCurrentBlock > FBlockCount) {
                const TSearch found = ReadFrame(false);
                if (found == TSearch::Lost) throw EAuException("Sync lost");
                // A program stream is whole sectors: a part sector at its end was cut off,
                // though the frames the demultiplexer handed out may have ended whole.
                if (found == TSearch::End && FExtract && Damage(dkCutShort).Count == 0 &&
                    FStream->Size() % TAuVOBDemuxer::SectorSize != 0)
                    ReportDamage(dkCutShort, NextFrame());
                if (found == TSearch::End) {
                    Buffer = nullptr;
                    Bytes = 0;
                    return;
                }
                FCurrentBlock = 1;
            }
            if (FCurrentBlock == 1) {
                TFrameStart start;
                if (FFrame.Rate == FSR) start = StartFrame();
                FSilentFrame = FFrameDamaged = start.Rejected;
                // Nothing decoded waits here: the frame's audio would start at NextFrame.
                if (start.Rejected) ReportDamage(dkBadFrame, NextFrame());
                FBlockCount = std::max(start.Blocks, 0);
                if (FBlockCount == 0) continue; // skipped: fetch the next frame
            }
            const float* samples = FSilentFrame ? nullptr : DecodeBlock();
            if (samples) {
                TChannelLayout::Interleave256(samples, FPlane, FSlot, FChan, FChan, FBlock.data());
            } else {
                // A block the library could not decode stays silent, and so do the rest of
                // its frame, which build on it.
                std::fill(FBlock.begin(), FBlock.end(), int16_t{0});
                if (!FFrameDamaged) ReportDamage(dkBadFrame, NextFrame());
                FFrameDamaged = FSilentFrame = true;
            }
            FBlockPos = 0;
            FBlockEnd = 256u * FFrameBytes;
            ++FCurrentBlock;
            break;
        }
    }
    uint32_t n = Bytes;
    if (n >= FFrameBytes) n -= n % FFrameBytes;
    n = std::min(n, FBlockEnd - FBlockPos);
    Buffer = reinterpret_cast<uint8_t*>(FBlock.data()) + FBlockPos;
    FBlockPos += n;
    Bytes = n;
}

} // namespace tarvio
