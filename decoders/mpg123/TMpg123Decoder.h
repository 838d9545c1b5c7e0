#pragma once
// MPEG audio (Layers I, II and III; MPEG-1, 2 and 2.5; free format included) decoded by
// libmpg123 from a seekable byte source. Gapless: the encoder delay and padding a LAME/Xing
// header states are removed. Output is interleaved little-endian signed PCM at the stream's
// own rate and channel count, 16 or 24 bits; positions are in frames (one sample of every
// channel) of that output, from the start of the gapless audio.
//
// One decoder is used by one thread at a time; any number may exist at once. No call
// raises; failures are results, and the last library message is kept (ErrorText).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tarvio {

class TMpg123Decoder {
public:
    // Where the bytes come from. Offsets are bytes from the start of the MPEG data's file
    // (byte 0 is where ID3v2 tags or the first frame begin).
    class TSource {
    public:
        virtual ~TSource() = default;
        // Up to Bytes bytes into Buffer; bytes read, 0 at the end, -1 on a failure.
        virtual int64_t Read(void* Buffer, size_t Bytes) = 0;
        // As lseek: Whence is SEEK_SET, SEEK_CUR or SEEK_END; the new offset or -1.
        virtual int64_t Seek(int64_t Offset, int Whence) = 0;
    };

    // What the file's first frame says.
    struct TStreamInfo {
        uint32_t Channels = 0; // 1 or 2
        uint32_t Rate = 0;     // Hz
        int Layer = 0;         // 1, 2 or 3
        int Version = 0;       // 1 for MPEG-1, 2 for MPEG-2, 3 for MPEG-2.5
        bool FreeFormat = false;
        uint32_t Bitrate = 0;      // bits per second the first audio frame states; 0 free format
        bool VBR = false;          // the first frame is a Xing/VBRI header of a VBR or ABR stream
        int64_t Length = -1;       // frames libmpg123 expects (exact with a Xing/Info header)
        int64_t FirstFrameAt = -1; // byte offset of the first audio frame
    };

    TMpg123Decoder();
    ~TMpg123Decoder();
    TMpg123Decoder(const TMpg123Decoder&) = delete;
    TMpg123Decoder& operator=(const TMpg123Decoder&) = delete;

    // Loads libmpg123 (false when it cannot be loaded) and opens the MPEG audio of Source,
    // which is not owned and must outlive the decoder or its Close; reads up to the first
    // frame. False when no frame is found.
    bool Open(TSource& Source);
    // Feed mode, for data that arrives in pieces: opens a stream with 16-bit output and no
    // source (and forgets what an earlier stream was fed). Info is empty (Rate 0) until the
    // first frame decodes. Seek and SetBits are refused.
    bool OpenFeed();
    // Feed mode: hands the next Bytes bytes of the stream to the decoder, which copies them.
    // False when the library refuses them (out of memory).
    bool Feed(const uint8_t* Data, size_t Bytes);
    // Feed mode: Decode returned false because everything fed so far is decoded (a frame
    // whose bytes are not all fed yet waits for them); feed more or close.
    bool NeedsData() const;
    void Close();
    bool IsOpen() const;
    const TStreamInfo& Info() const;

    // Whether libmpg123 can give 24-bit output for this stream.
    bool Supports24() const;
    // 16 or 24; the next data is in that width from the current position. False for other
    // widths or when the library refuses.
    bool SetBits(uint32_t Bits);
    uint32_t Bits() const;

    // The next decoded frame: Data (owned by the decoder, valid to the next call) holds
    // Frames frames; Frames may be 0 (a frame the gapless trim removes whole, or a frame that
    // does not decode before any that does). False at the end of the data or after a failure
    // that ends decoding (ErrorText then says why; also when no frame of the stream decoded).
    bool Decode(const uint8_t*& Data, size_t& Frames);
    // The position of the next frame Decode hands out.
    int64_t Position() const;
    // The next Decode starts exactly at frame Frame (the end when it lies past it).
    bool Seek(int64_t Frame);

    // Damage met since Open: bytes skipped to find the next frame header (each skip counted
    // once) and frames that failed to decode or whose side information the library rejects
    // or cuts (it still hands such a frame out, mostly silent); FirstAt is the output frame
    // where first met.
    struct TDamageCount {
        uint32_t Count = 0;
        int64_t FirstAt = -1;
    };
    TDamageCount LostSync() const;
    TDamageCount Undecodable() const;
    // Frames with a CRC (the protection bit set) that does not match what it covers; they
    // are handed out as libmpg123 decodes them.
    TDamageCount ChecksumMismatch() const;
    // The library's words for the failure that ended decoding; "" when none.
    const std::string& ErrorText() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

} // namespace tarvio
