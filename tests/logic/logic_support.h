// Helpers for testing the logic on the platform in memory: a fresh platform per test and
// compact views of what a run did to it.
#pragma once

#include "fake_platform.h"
#include "screen_texts.h"
#include "transfer/transfer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// The raw name the program forms for Drive 0.
const std::string DRIVE0 = "\\\\.\\physicaldrive0";

const std::string PROMPT = PRESS_ANY_KEY;
const std::string COMPLETION = COMPLETION_TEXT;

// The arguments CreateFileA receives (access, sharing, disposition, attributes, whether
// security attributes and a template were passed) for each role a run opens.
const std::vector<long long> OPEN_SHARED = {GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, 0, 0};
const std::vector<long long> CREATE_OUTPUT = {GENERIC_WRITE, FILE_SHARE_WRITE, CREATE_ALWAYS,
                                              FILE_ATTRIBUTE_NORMAL, 0, 0};
// The probe asks for no access: it only learns whether the file exists.
const std::vector<long long> PROBE = {0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, 0, 0};

class FakePlatformTest : public ::testing::Test {
protected:
    void SetUp() override { fake_reset(); }
    void TearDown() override { fake_reset(); }
};

// Runs the program with these arguments; whatever happens, its status is 0.
inline void run(std::initializer_list<std::string> arguments)
{
    EXPECT_EQ(0, fake_run_vorlent(arguments));
}

// What the screen shows after a failure with `code`: the system's text, which ends in a
// line break of its own, one more line break, then the prompt.
inline std::string error_report(DWORD code)
{
    return "Error " + fake_error_text(code) + "\n" + PROMPT;
}

inline Bytes slice(const Bytes& bytes, std::size_t from, std::size_t count)
{
    return Bytes(bytes.begin() + static_cast<long>(from),
                 bytes.begin() + static_cast<long>(from + count));
}

inline const Bytes& bytes_of(const std::string& name)
{
    return fake_object(name).bytes;
}

// The name a handle was opened on; the fake never hands out a handle twice.
inline std::string name_of(HANDLE handle)
{
    for (const FakeCall& call : fake_calls_of("CreateFileA")) {
        if (call.handle == handle)
            return call.name;
    }
    return "?";
}

// The calls of `ops` in order, one line each: the operation, then what identifies it
// (the object's name, the count asked, the offset, the text printed).
inline std::vector<std::string> trace(const std::set<std::string>& ops)
{
    std::vector<std::string> lines;
    for (const FakeCall& call : fake_calls()) {
        if (ops.count(call.op) == 0)
            continue;
        std::string line = call.op;
        if (call.op == "CreateFileA" || call.op == "printf_s" || call.op == "printf")
            line += " " + call.name;
        else if (call.op == "CloseHandle" || call.op == "GetFileSize" ||
                 call.op == "FlushFileBuffers")
            line += " " + name_of(call.handle);
        else if (call.op == "ReadFile" || call.op == "WriteFile" || call.op == "SetFilePointerEx" ||
                 call.op == "may_write_at")
            line += " " + name_of(call.handle) + " " + std::to_string(call.args[0]);
        else if (call.op == "malloc")
            line += " " + std::to_string(call.args[0]);
        lines.push_back(line);
    }
    return lines;
}

// The run ended with the report of `code`: the last error taken first, its text shown,
// the prompt, and one key wait with no platform call after it.
inline void expect_ends_with_report(DWORD code)
{
    std::vector<std::string> ops = fake_ops();
    ASSERT_GE(ops.size(), 5u);
    EXPECT_THAT(std::vector<std::string>(ops.end() - 5, ops.end()),
                ::testing::ElementsAre("GetLastError", "FormatMessageA", "printf_s", "printf_s",
                                       "_getch"));
    EXPECT_EQ(code, fake_calls_of("FormatMessageA").back().args[1]);
    EXPECT_THAT(fake_output(), ::testing::EndsWith(error_report(code)));
    EXPECT_EQ(1u, fake_calls_of("_getch").size());
}

inline std::size_t count_of(const std::string& op)
{
    return fake_calls_of(op).size();
}

// The operations called after the `nth` call of `op`.
inline std::vector<std::string> ops_after(const std::string& op, int nth)
{
    std::vector<std::string> ops = fake_ops();
    for (std::size_t i = 0; i < ops.size(); ++i) {
        if (ops[i] == op && --nth == 0)
            return std::vector<std::string>(ops.begin() + static_cast<long>(i) + 1, ops.end());
    }
    ADD_FAILURE() << op << " was not called often enough";
    return {};
}
