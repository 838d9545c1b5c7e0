#pragma once
// The C interface of the Monkey's Audio library this project builds (libMACDll.so): a
// decompressor handle per open file, its data, seek and information calls, and the
// file's tag in the 128-byte ID3v1 layout. Programs load it at run time by file name.
//
// Units: a "block" is one sample frame (one sample of every channel). PCM comes out
// interleaved and little-endian, 8-bit unsigned, 16, 24 or 32-bit signed, as in a WAVE
// file. A handle serves one thread at a time; GetInfo's position and bit-rate fields may
// also be read from another thread while that thread decodes.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Decompressor handle; 0 = none.
typedef uintptr_t APE_DECOMPRESS_HANDLE;

// Result and error codes.
enum {
    ERROR_SUCCESS = 0,
    ERROR_IO_READ = 1000,
    ERROR_IO_WRITE = 1001,
    ERROR_INVALID_INPUT_FILE = 1002,
    ERROR_INVALID_OUTPUT_FILE = 1003,
    ERROR_INPUT_FILE_TOO_LARGE = 1004,
    ERROR_INPUT_FILE_UNSUPPORTED_BIT_DEPTH = 1005,
    ERROR_INPUT_FILE_UNSUPPORTED_SAMPLE_RATE = 1006,
    ERROR_INPUT_FILE_UNSUPPORTED_CHANNEL_COUNT = 1007,
    ERROR_INPUT_FILE_TOO_SMALL = 1008,
    ERROR_INVALID_CHECKSUM = 1009,
    ERROR_DECOMPRESSING_FRAME = 1010,
    ERROR_INITIALIZING_UNMAC = 1011,
    ERROR_INVALID_FUNCTION_PARAMETER = 1012,
    ERROR_UNSUPPORTED_FILE_TYPE = 1013,
    ERROR_INSUFFICIENT_MEMORY = 2000,
    ERROR_LOADING_APE_DLL = 3000,
    ERROR_LOADING_APE_INFO_DLL = 3001,
    ERROR_LOADING_UNMAC_DLL = 3002,
    ERROR_USER_STOPPED_PROCESSING = 4000,
    ERROR_SKIPPED = 4001,
    ERROR_BAD_PARAMETER = 5000,
    ERROR_APE_COMPRESS_TOO_MUCH_DATA = 6000,
};

// GetInfo fields. Counts of bytes and blocks are 64-bit; bit rates are kilobits per
// second; times are milliseconds. A field the file cannot answer gives 0 (-1 for the
// peak level).
enum {
    APE_INFO_FILE_VERSION = 1000,      // e.g. 3990
    APE_INFO_COMPRESSION_LEVEL = 1001, // 1000 fast, 2000 normal, 3000 high, 4000 extra high, 5000 insane
    APE_INFO_FORMAT_FLAGS = 1002,
    APE_INFO_SAMPLE_RATE = 1003,
    APE_INFO_BITS_PER_SAMPLE = 1004,
    APE_INFO_BYTES_PER_SAMPLE = 1005,
    APE_INFO_CHANNELS = 1006,
    APE_INFO_BLOCK_ALIGN = 1007, // bytes per block
    APE_INFO_BLOCKS_PER_FRAME = 1008,
    APE_INFO_FINAL_FRAME_BLOCKS = 1009,
    APE_INFO_TOTAL_FRAMES = 1010,
    APE_INFO_WAV_HEADER_BYTES = 1011,
    APE_INFO_WAV_TERMINATING_BYTES = 1012,
    APE_INFO_WAV_DATA_BYTES = 1013,
    APE_INFO_WAV_TOTAL_BYTES = 1014,
    APE_INFO_APE_TOTAL_BYTES = 1015, // size of the file
    APE_INFO_TOTAL_BLOCKS = 1016,
    APE_INFO_LENGTH_MS = 1017,
    APE_INFO_AVERAGE_BITRATE = 1018,
    APE_INFO_FRAME_BITRATE = 1019, // nParam1: frame index
    APE_INFO_DECOMPRESSED_BITRATE = 1020,
    APE_INFO_PEAK_LEVEL = 1021,
    APE_INFO_SEEK_BIT = 1022,             // nParam1: frame index
    APE_INFO_SEEK_BYTE = 1023,            // nParam1: frame index; file offset of the frame
    APE_INFO_WAV_HEADER_DATA = 1024,      // nParam1: buffer, nParam2: its size; 0 or -1
    APE_INFO_WAV_TERMINATING_DATA = 1025, // nParam1: buffer, nParam2: its size; 0 or -1
    APE_INFO_WAVEFORMATEX = 1026,         // nParam1: an 18-byte WAVEFORMATEX record; 0 or -1
    APE_INFO_IO_SOURCE = 1027,            // no I/O object is exposed: 0
    APE_INFO_FRAME_BYTES = 1028,          // nParam1: frame index
    APE_INFO_FRAME_BLOCKS = 1029,         // nParam1: frame index
    APE_INFO_TAG = 1030,                  // no tag object is exposed: 0 (see GetID3Tag)
    APE_DECOMPRESS_CURRENT_BLOCK = 2000,  // the next block GetData delivers
    APE_DECOMPRESS_CURRENT_MS = 2001,
    APE_DECOMPRESS_TOTAL_BLOCKS = 2002,
    APE_DECOMPRESS_LENGTH_MS = 2003,
    APE_DECOMPRESS_CURRENT_BITRATE = 2004, // of the frame being delivered
    APE_DECOMPRESS_AVERAGE_BITRATE = 2005,
};

// The tag block GetID3Tag fills (128 bytes): the ID3v1 layout, text in the legacy code
// page (TARVIO_CODEPAGE, CP1251 by default). In the ID3v1.1 layout the comment has 28
// bytes, then a zero byte and the track number; an ID3v1.0 tag copied from a file has a
// 30-byte comment running over both. Genre is the ID3v1 genre number, 255 when unknown.
typedef struct ID3_TAG {
    char Header[3]; // "TAG"
    char Title[30];
    char Artist[30];
    char Album[30];
    char Year[4];
    char Comment[28];
    unsigned char Zero;
    unsigned char Track;
    unsigned char Genre;
} ID3_TAG;

// A byte source given by the caller instead of a file name. Every call comes from the
// thread using the handle. Read returns the bytes read (0 at the end, -1 on an error);
// Seek moves to an absolute byte offset and returns it (-1 when impossible); Size returns
// the size in bytes (-1 when unknown).
typedef struct APE_IO_CALLBACKS {
    int32_t (*Read)(void* User, void* Buffer, int32_t Bytes);
    int64_t (*Seek)(void* User, int64_t Offset);
    int64_t (*Size)(void* User);
} APE_IO_CALLBACKS;

// Opens a file by its UTF-16 name (zero-terminated). Returns the handle, or 0 with
// *pErrorCode set (1000: cannot be read; 1002: not a Monkey's Audio file; 1005, 1007:
// bit depth or channel count this library does not decode).
APE_DECOMPRESS_HANDLE c_APEDecompress_CreateW(const char16_t* pFilename, int* pErrorCode);
// The same over the caller's byte source; Callbacks and User must outlive the handle.
APE_DECOMPRESS_HANDLE c_APEDecompress_CreateIO(const APE_IO_CALLBACKS* Callbacks, void* User,
                                               int* pErrorCode);
void c_APEDecompress_Destroy(APE_DECOMPRESS_HANDLE hAPEDecompress);
// Decodes up to nBlocks blocks into pBuffer (nBlocks × block align bytes). Sets
// *pBlocksRetrieved to the blocks delivered, 0 at the end of the file. Returns 0, or 1010
// when a frame fails to decode (its damaged audio is never delivered; the error stays
// until the next seek).
int c_APEDecompress_GetData(APE_DECOMPRESS_HANDLE hAPEDecompress, char* pBuffer, int32_t nBlocks,
                            int32_t* pBlocksRetrieved);
// Moves to block nBlockOffset (exact; the total block count means the end). Returns 0, or
// 1012 for an offset outside 0 .. total blocks, 1000/1010 when the data cannot be read.
int c_APEDecompress_Seek(APE_DECOMPRESS_HANDLE hAPEDecompress, int64_t nBlockOffset);
intptr_t c_APEDecompress_GetInfo(APE_DECOMPRESS_HANDLE hAPEDecompress, int Field, intptr_t nParam1,
                                 intptr_t nParam2);

// Fills *pID3Tag from the file's ID3v1 tag or, when it has none, from its APEv2 tag.
// pFilename is in the legacy code page. Returns 0 when a tag was found, else -1 (the block
// is then zeroed).
int GetID3Tag(const char* pFilename, ID3_TAG* pID3Tag);
int GetID3TagIO(const APE_IO_CALLBACKS* Callbacks, void* User, ID3_TAG* pID3Tag);

#ifdef __cplusplus
}
#endif
