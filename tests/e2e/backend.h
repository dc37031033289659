// What an end-to-end case needs of the platform the program runs on: how to start the
// program, how to make an image its physical drive N, and the platform's own words for a
// failure. The cases are written against this alone, so the same cases run on every
// backend; VORLENT_E2E_BACKEND picks one ("linux" unless set).
#pragma once

#include "program_run.h"

#include <string>
#include <vector>

// The failures the cases provoke, by meaning rather than by any platform's code.
enum class Failure {
    NotFound,          // no such file, or no such drive
    EndOfFile,         // the source ended before the length was copied
    NameTooLong,       // a formed name needs more than 1,023 characters
    InvalidParameter,  // a Length or Sector that is no decimal count or beyond 64 bits, or a
                       // Sector past a device's end
    DiskFull,          // the drive ended before the length was written
    IsDirectory,       // the output file names a directory
    WriteBackFailed,   // the device took the writes into its cache but could not store them
};

// What only some platforms can show; cases that need one skip elsewhere.
enum class Feature {
    KeysFromAPipe,            // a key wait takes its answer from standard input on a pipe
    KeyWaitsEndWithoutInput,  // with no terminal and no input, a key wait ends at once
    FunctionKeys,             // a function key typed on the terminal answers a key wait
    LongFileNames,            // a file name of 1,023 characters can be created
    LongDriveNames,           // a drive name of 1,023 characters reaches the drive lookup
    UncachedDriveWrites,      // a drive's write returns once the device holds the bytes
    LoadTailsOfAnySize,       // a Load of several chunks may end inside a sector
};

class Backend {
public:
    virtual ~Backend() = default;
    // The argument vector that runs the program with `arguments` (without argv[0]).
    virtual std::vector<std::string> command(const std::vector<std::string>& arguments) const = 0;
    // Makes `image`, an absolute path, physical drive `number`: an image file in a test's
    // scratch directory, or a loop device over one. Drives are attached in increasing
    // number from 0. False if the drive could not be attached.
    virtual bool attach_drive(int number, const std::string& image) = 0;
    virtual void detach_drives() = 0;
    // The text the program shows after "Error ", with its own line break, as shown().
    virtual std::string error_text(Failure failure) const = 0;
    // What a person reads in `written`, the bytes the program put on its terminal or
    // pipe, in the terms the program prints them: line breaks as "\n", no control
    // sequences of a console in between. Where the program's bytes arrive as printed,
    // they are returned as they are, so every byte is compared.
    virtual std::string shown(const std::string& written) const = 0;
    virtual bool supports(Feature feature) const = 0;
    // `run` as the program ended it, where the runner adds a failure of its own after the
    // program's end.
    virtual ProgramRun settled(ProgramRun run) const { return run; }
    // A file every test holds locked while it attaches drives: the drives are shared by
    // every test of one build, whatever runs them.
    virtual std::string lock_file() const = 0;
};

// The backend VORLENT_E2E_BACKEND names, or null for a name no backend has.
Backend* selected_backend();

// The Linux backend: the program built with its drive roots in a tree under the build
// directory, where drive N is a /sys/block entry with a `device` link and a `size`, and
// /dev/<entry> is a symbolic link to the image.
Backend* linux_backend();

// The Linux backend's /sys/block entry of drive `number`, where a case can show more of
// that disk than attach_drive does, such as its partitions.
std::string linux_drive_entry(int number);

// The Wine backend: Vorlent.exe run by Wine in the prefix of the Windows tests, where
// drive N is the link dosdevices/physicaldriveN to the image. Null in a build without
// the Windows tests.
Backend* wine_backend();
