// Card preparation with the system's programs: the external command runner
// and the exFAT re-partitioning that replaces the quick format and the
// volume rebuild before a burn or restore.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorlane::engine {

// Runs `program` (a path or a bare name looked up in PATH) with `args` and
// returns its standard output and standard error as they arrived; "failed"
// when the pipe or the process cannot be created. A program with a directory
// part runs in that directory. `input`, when given, is written to its
// standard input. `exitCode` (optional) receives the exit status, -1 when
// the program did not run or ended by a signal.
std::string ExecuteCmd(const std::string& program, const std::vector<std::string>& args,
                       int* exitCode = nullptr, const std::string* input = nullptr);

// Result codes of PrepareCardExfat (0 = prepared):
enum PrepareCode : int {
    kPrepareNoCard = 1401,    // no card with that letter in the drive map
    kPrepareTooSmall = 1402,  // the card has no room behind sector 2048
    kPreparePartition = 1403, // sfdisk failed
    kPrepareFormat = 1404,    // mkfs.exfat failed
    kPrepareTempFile = 1405,  // the temporary file system could not be made
    kPrepareCopy = 1406,      // copying the file system onto the card failed
    kPrepareUnmount = 1407,   // a mounted partition of the card could not be unmounted
    kPrepareClear = 1408,     // the first and the last MiB could not be zeroed
};

// First sector of the single exFAT partition.
constexpr uint64_t kExfatFirstSector = 2048;

// Unmounts the card's partitions, zeroes the first and the last MiB, writes a DOS partition table
// with one primary partition of type 0x07 from sector 2048 to the end and makes an exFAT file
// system in it. Block devices get mkfs.exfat on the partition node; virtual cards (and devices
// whose partition node does not appear) get the file system built in a sparse temporary file whose
// written extents are then copied into place. `detail` (optional) receives the reason of a failure.
int PrepareCardExfat(char letter, std::string* detail = nullptr);

// Copies the data extents (SEEK_DATA/SEEK_HOLE) of the file `source` onto the
// card `letter` at byte `offset`; 0 or an errno value.
int CopyFileExtents(const std::string& source, char letter, uint64_t offset);

} // namespace vorlane::engine
