// Every platform call on the path of a three-chunk copy fails in turn. Whichever it is,
// the user sees exactly that failure once, nothing else touches the platform before the
// key wait, and the destination holds exactly the chunks written before it: a Load writes
// its first chunk last, so a failure before that leaves the drive's first chunk as it was.
#include "fake_platform.h"
#include "transfer/transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const std::string DRIVE = "\\\\.\\physicaldrive0";
const std::string FILE_NAME = "image.bin";

// A sector other than 0, so the positioning is on the path and misplaced bytes show.
const DWORD SECTOR = 3;
const std::size_t OFFSET = SECTOR * SECTOR_SIZE;

// Two full chunks and part of a third.
const DWORD LENGTH = 2 * CHUNK_SIZE + 1000;

// The drive reaches 4,096 bytes past the copied range; they must never change.
const std::size_t DRIVE_SIZE = OFFSET + LENGTH + 4096;

// The code each injected failure carries, so its report can be told from any other.
const DWORD INJECTED_CODE = 4321;

struct FaultCase {
    const char* name;
    TransferMode mode;
    const char* op;  // the platform call that fails
    int nth;         // which call of that operation, counted from 1
    int chunks_written_before;  // chunks written, in the run's order, when the failure comes
    bool file_created;  // Save: whether the output file exists when the failure comes
};

// Save: open the drive, position it, probe for an existing file (whose failure is not a
// failure: see below), create the file, allocate, read and write three chunks, then flush
// the file. Load: open the file, ask its size, open the drive, ask its size (which, unknown,
// is found by reading), position it, ask whether the drive takes the length, allocate, read
// the first chunk, move past it, ask whether the drive takes it, copy the other two, return
// to the first, ask again and write it, flush the drive. A failed flush comes after every
// byte was written, yet the run must not claim success.
const FaultCase FAULT_CASES[] = {
    {"SaveDriveOpen", Save, "CreateFileA", 1, 0, false},
    {"SavePositioning", Save, "SetFilePointerEx", 1, 0, false},
    {"SaveFileCreate", Save, "CreateFileA", 3, 0, false},
    {"SaveAllocation", Save, "malloc", 1, 0, true},
    {"SaveRead1", Save, "ReadFile", 1, 0, true},
    {"SaveWrite1", Save, "WriteFile", 1, 0, true},
    {"SaveRead2", Save, "ReadFile", 2, 1, true},
    {"SaveWrite2", Save, "WriteFile", 2, 1, true},
    {"SaveRead3", Save, "ReadFile", 3, 2, true},
    {"SaveWrite3", Save, "WriteFile", 3, 2, true},
    {"SaveFlush", Save, "FlushFileBuffers", 1, 3, true},
    {"LoadFileOpen", Load, "CreateFileA", 1, 0, true},
    {"LoadSizeQuery", Load, "GetFileSize", 1, 0, true},
    {"LoadDriveOpen", Load, "CreateFileA", 2, 0, true},
    {"LoadPositioning", Load, "SetFilePointerEx", 1, 0, true},
    {"LoadCheckOfTheLength", Load, "may_write_length", 1, 0, true},
    {"LoadAllocation", Load, "malloc", 1, 0, true},
    {"LoadRead1", Load, "ReadFile", 1, 0, true},
    {"LoadSkipOfChunk1", Load, "SetFilePointerEx", 2, 0, true},
    {"LoadCheckOfChunk1", Load, "may_write_at", 1, 0, true},
    {"LoadRead2", Load, "ReadFile", 2, 0, true},
    {"LoadWrite2", Load, "WriteFile", 1, 0, true},
    {"LoadRead3", Load, "ReadFile", 3, 1, true},
    {"LoadWrite3", Load, "WriteFile", 2, 1, true},
    {"LoadReturnToChunk1", Load, "SetFilePointerEx", 3, 2, true},
    {"LoadRecheckOfChunk1", Load, "may_write_at", 2, 2, true},
    {"LoadWrite1", Load, "WriteFile", 3, 2, true},
    {"LoadFlush", Load, "FlushFileBuffers", 1, 3, true},
};

const std::vector<unsigned char>& drive_bytes()
{
    static const std::vector<unsigned char> bytes = pattern_bytes(DRIVE_SIZE, 7);
    return bytes;
}

const std::vector<unsigned char>& file_bytes()
{
    static const std::vector<unsigned char> bytes = pattern_bytes(LENGTH, 11);
    return bytes;
}

// Puts the drive (and for Load the file) in place and plans the failure.
void arrange(const FaultCase& fault)
{
    fake_reset();
    fake_add_object(DRIVE, drive_bytes());
    if (fault.mode == Load)
        fake_add_object(FILE_NAME, file_bytes());
    fake_fail(fault.op, fault.nth, INJECTED_CODE);
}

// Save names its length; Load takes the file's size, so the size query is on its path.
int run_case(const FaultCase& fault)
{
    if (fault.mode == Save)
        return fake_run_vorlent({"-S", "0", FILE_NAME, std::to_string(SECTOR),
                                 std::to_string(LENGTH)});
    return fake_run_vorlent({"-L", "0", FILE_NAME, std::to_string(SECTOR)});
}

struct ByteRange {
    std::size_t begin, end;
};

// The chunks of the copied range in the order the run writes them.
std::vector<ByteRange> write_order(TransferMode mode)
{
    const ByteRange first = {0, CHUNK_SIZE}, second = {CHUNK_SIZE, 2 * CHUNK_SIZE},
                    third = {2 * CHUNK_SIZE, LENGTH};
    if (mode == Save)
        return {first, second, third};
    return {second, third, first};
}

std::string expected_output(const FaultCase& fault, DWORD code)
{
    std::string output;
    const char* verb = fault.mode == Save ? "Read " : "Write ";
    std::size_t total = 0;
    for (int chunk = 0; chunk < fault.chunks_written_before; ++chunk) {
        ByteRange range = write_order(fault.mode)[static_cast<std::size_t>(chunk)];
        total += range.end - range.begin;
        output += verb + std::to_string(total) + " bytes\r";
    }
    return output + "Error " + fake_error_text(code) + "\nPress any key to exit";
}

// Where the failed call stands in the record, or -1.
long position_of_failure(const FaultCase& fault)
{
    int seen = 0;
    const std::vector<FakeCall>& calls = fake_calls();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].op == fault.op && ++seen == fault.nth)
            return static_cast<long>(i);
    }
    return -1;
}

void PrintTo(const FaultCase& fault, std::ostream* out)
{
    *out << fault.name;
}

// The fake holds what a run allocated until it is reset; resetting after each test leaves
// nothing for the leak check at exit to find.
class FailingCall : public ::testing::TestWithParam<FaultCase> {
protected:
    void TearDown() override { fake_reset(); }
};

class FailingProbe : public ::testing::Test {
protected:
    void TearDown() override { fake_reset(); }
};

TEST_P(FailingCall, IsReportedOnceAndEndsTheRunWithTheChunksBeforeItInPlace)
{
    const FaultCase& fault = GetParam();
    arrange(fault);
    EXPECT_EQ(run_case(fault), 0);

    // A failed allocation has no last error of its own: the run names it.
    bool allocation = std::string(fault.op) == "malloc";
    DWORD code = allocation ? ERROR_NOT_ENOUGH_MEMORY : INJECTED_CODE;
    EXPECT_EQ(fake_output(), expected_output(fault, code));

    long failure = position_of_failure(fault);
    ASSERT_GE(failure, 0) << fault.op << " call " << fault.nth << " was never made";
    std::vector<std::string> after;
    for (std::size_t i = static_cast<std::size_t>(failure) + 1; i < fake_calls().size(); ++i)
        after.push_back(fake_calls()[i].op);
    std::vector<std::string> report = {"GetLastError", "FormatMessageA", "printf_s", "printf_s",
                                       "_getch"};
    // A failed allocation is given its code first; a size query's answer of all ones
    // is a failure only if the last error says so, and a read only if it is not a drive's
    // refusal at its end, which takes one look at it.
    if (allocation)
        report.insert(report.begin(), "SetLastError");
    if (std::string(fault.op) == "GetFileSize" || std::string(fault.op) == "ReadFile")
        report.insert(report.begin(), "GetLastError");
    EXPECT_EQ(after, report);

    // A Save writes from the start of its file, so what it wrote is the start of the copy.
    std::size_t written = 0;
    for (int chunk = 0; chunk < fault.chunks_written_before; ++chunk)
        written = write_order(fault.mode)[static_cast<std::size_t>(chunk)].end;
    if (fault.mode == Save) {
        ASSERT_EQ(fake_has_object(FILE_NAME), fault.file_created);
        if (fault.file_created) {
            std::vector<unsigned char> expected(drive_bytes().begin() + OFFSET,
                                                drive_bytes().begin() + OFFSET + written);
            EXPECT_EQ(fake_object(FILE_NAME).bytes, expected);
        }
        EXPECT_EQ(fake_object(DRIVE).bytes, drive_bytes());
    } else {
        std::vector<unsigned char> expected = drive_bytes();
        for (int chunk = 0; chunk < fault.chunks_written_before; ++chunk) {
            ByteRange range = write_order(Load)[static_cast<std::size_t>(chunk)];
            std::copy(file_bytes().begin() + range.begin, file_bytes().begin() + range.end,
                      expected.begin() + OFFSET + range.begin);
        }
        EXPECT_EQ(fake_object(DRIVE).bytes, expected);
        EXPECT_EQ(fake_object(FILE_NAME).bytes, file_bytes());
    }
}

TEST_P(FailingCall, EndsTheRunAsFailed)
{
    const FaultCase& fault = GetParam();
    arrange(fault);
    TransferRequest request = {};
    request.mode = fault.mode;
    request.sector = SECTOR;
    request.length = fault.mode == Save ? LENGTH : 0;
    snprintf(request.drive_path, sizeof request.drive_path, "%s", DRIVE.c_str());
    snprintf(request.file_name, sizeof request.file_name, "%s", FILE_NAME.c_str());
    EXPECT_EQ(fault.mode == Save ? run_save(request) : run_load(request), Failed);
}

INSTANTIATE_TEST_SUITE_P(EveryCallOnThePath, FailingCall, ::testing::ValuesIn(FAULT_CASES),
                         [](const ::testing::TestParamInfo<FaultCase>& param_info) {
                             return std::string(param_info.param.name);
                         });

// The probe only asks whether the output file exists; its failure means there is nothing
// to ask about, so it is neither reported nor an end to the run.
TEST_F(FailingProbe, IsNotReportedAndTheSaveCompletes)
{
    fake_reset();
    fake_add_object(DRIVE, drive_bytes());
    fake_add_object(FILE_NAME, {1, 2, 3});
    fake_fail("CreateFileA", 2, ERROR_ACCESS_DENIED);
    EXPECT_EQ(fake_run_vorlent({"-S", "0", FILE_NAME, std::to_string(SECTOR),
                                std::to_string(LENGTH)}),
              0);
    std::vector<unsigned char> expected(drive_bytes().begin() + OFFSET,
                                        drive_bytes().begin() + OFFSET + LENGTH);
    EXPECT_EQ(fake_object(FILE_NAME).bytes, expected);
    EXPECT_EQ(fake_output().find("Error "), std::string::npos);
    EXPECT_NE(fake_output().find("The operation completed successfully"), std::string::npos);
}

}  // namespace
