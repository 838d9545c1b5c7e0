#pragma once
// Shared pieces of the tarvio-cli tests: a scratch folder, the generated media and the
// decoders' own PCM, read in-process through the tool's decoder table.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "CliProcess.h"
#include "decoders/DecoderTestMedia.h"
#include "tools/TDecoderTable.h"

namespace tarvio::test {

namespace fs = std::filesystem;

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        Dir = fs::temp_directory_path() / ("tarvio-cli-test-" + std::to_string(getpid()));
        fs::remove_all(Dir);
        fs::create_directories(Dir);
    }
    void TearDown() override { fs::remove_all(Dir); }

    // Skips the test when this build has no decoder of that name.
    static bool HaveDecoder(const std::string& Name) { return TDecoderTable::ByName(Name) != nullptr; }

    std::string Path(const std::string& Name) const { return (Dir / Name).string(); }

    std::string Write(const std::string& Name, const std::string& Bytes) const {
        std::ofstream f(Dir / Name, std::ios::binary);
        f << Bytes;
        return Path(Name);
    }

    std::string CopyMedia(const std::string& MediaName, const std::string& Name) const {
        fs::copy_file(Media(MediaName), Dir / Name, fs::copy_options::overwrite_existing);
        return Path(Name);
    }

    // What the decoder the table picks for File delivers from Init to the end.
    static TBytes DecoderPcm(const std::string& File, TWave* Format = nullptr) {
        std::string error;
        TOpenedDecoder d = TDecoderTable::Open(File, nullptr, error);
        if (!d.Input) {
            ADD_FAILURE() << File << ": " << error;
            return {};
        }
        if (Format) {
            Format->Channels = d.Input->Channels();
            Format->SampleRate = d.Input->SampleRate();
            Format->Bits = d.Input->BitsPerSample();
        }
        return DecodeAll(*d.Input);
    }

    fs::path Dir;
};

} // namespace tarvio::test
