#pragma once
// "tarvio-cli cd": drive and disc information, ripping tracks to a WAV file, and the disc
// database lookup, on the CD drives or a disc image (--image PATH or TARVIO_CD_IMAGE).

#include <string>
#include <vector>

namespace tarvio {

class TCliCd {
public:
    // Args: what follows "cd" on the command line. Returns the exit status: 0 success, 1 when
    // the drive, the disc or the server fails, 2 on a usage error. Messages go to standard
    // error, results to standard output; lookup shows its progress on standard error.
    static int Run(const std::vector<std::string>& Args);
};

} // namespace tarvio
