// A platform in memory for testing the logic: drives and files are byte vectors, every
// call is recorded in order with its arguments, and any call can be made to fail.
#pragma once

#include "platform/platform.h"

#include <deque>
#include <string>
#include <vector>

struct FakeCall {
    std::string op;           // the operation's name, e.g. "CreateFileA"
    std::string name;         // CreateFileA: the name opened; printf_s/printf: the text shown
    HANDLE handle;            // the handle operated on, or the one CreateFileA returned
    std::vector<long long> args;  // CreateFileA: access, sharing, disposition, attributes;
                                  // ReadFile/WriteFile: count asked, count done,
                                  //   whether overlapped, buffer address;
                                  // SetFilePointerEx: offset, method; malloc: size;
                                  // may_write_at: position, count, buffer address;
                                  // may_write_length: length;
                                  // FormatMessageA: flags, code, language; SetLastError: code
};

// A volume of a drive: its bytes [begin, end), and whether a file system is mounted on it.
struct FakeVolume {
    unsigned long long begin;
    unsigned long long end;
    bool mounted;
};

struct FakeObject {
    std::vector<unsigned char> bytes;
    bool has_reported_size = false;  // GetFileSize answers with `reported_size` instead
    unsigned long long reported_size = 0;
    // Keeps no bytes, so gigabytes cost nothing: reads give zeros up to `reported_size`,
    // writes only move the position.
    bool hollow = false;
    // A disk under Windows' rules for raw transfers (see refused_by_windows in
    // fake_platform.cpp): whole sectors only, nothing past its end, no write into a mounted
    // volume; a partition table written into sector 0 mounts the volumes it describes.
    bool windows_disk = false;
    unsigned sector_size = 512;
    std::vector<FakeVolume> volumes;
};

// Clears every object, call, key, failure and output of the previous test.
void fake_reset();

// Puts a drive or file of that name (a drive is "\\.\physicaldrive<N>") in the fake.
FakeObject& fake_add_object(const std::string& name, const std::vector<unsigned char>& bytes);
bool fake_has_object(const std::string& name);
FakeObject& fake_object(const std::string& name);

// Makes the `nth` call (counted from 1) of `op` fail with `code` as the last error.
// For "malloc" the code is ignored and the call returns null.
void fake_fail(const std::string& op, int nth, DWORD code);

// Makes the `nth` ReadFile or WriteFile call succeed with at most `count` bytes moved.
void fake_short(const std::string& op, int nth, DWORD count);

// Makes the error code have no text, so FormatMessageA delivers nothing for it.
void fake_without_text(DWORD code);

// The text the fake gives for a code: "System text <code>\n".
std::string fake_error_text(DWORD code);

// Keys _getch returns in order; with none left it returns -1.
void fake_press(const std::string& keys);

const std::vector<FakeCall>& fake_calls();
std::vector<std::string> fake_ops();
std::vector<FakeCall> fake_calls_of(const std::string& op);

// Everything printed, in order.
const std::string& fake_output();

// Runs the entry function with these arguments after the program name.
int fake_run_vorlent(const std::vector<std::string>& arguments);

// Bytes 0, 1, 2 … of a simple pattern that makes misplaced bytes visible.
std::vector<unsigned char> pattern_bytes(std::size_t count, unsigned seed = 1);
