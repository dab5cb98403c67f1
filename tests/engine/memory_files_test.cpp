// The memory-backed file calls and the quiet boxes (platform/memory_files.h)
// that the fuzz targets read through: they must answer as the POSIX file
// calls do, so that a reader fed from memory takes its on-disk paths; and
// the read failures they can stage reach the options reader's error rules.
#include "platform/memory_files.h"

#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

HANDLE Open(const char* Name, DWORD Access = GENERIC_READ, DWORD Disposition = OPEN_EXISTING) {
    return CreateFileA(Name, Access, FILE_SHARE_READ, nullptr, Disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// One ReadFile call: its result, the bytes it handed over and the error code.
struct TReadResult {
    BOOL Ok;
    std::string Bytes;
    DWORD Error;
};
TReadResult Read(HANDLE File, DWORD Count) {
    std::vector<char> buffer(Count + 1, '#');
    DWORD got = 12345;
    const BOOL ok = ReadFile(File, buffer.data(), Count, &got, nullptr);
    return {ok, std::string(buffer.data(), got), GetLastError()};
}

class MemoryFiles : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(OpenMemoryHandles(), 0) << "an earlier test left a handle open"; }
    void TearDown() override { ForgetMemoryFiles(); }
    const std::string Ten = "0123456789";
};

TEST_F(MemoryFiles, OpenRefusesWhatTheDiskCallsRefuse) {
    ASSERT_TRUE(ServeMemoryFile("options.txt", Ten.data(), Ten.size()));
    const struct {
        const char* Name;
        DWORD Access, Disposition, Error;
    } refusals[] = {
        {"missing.txt", GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {"Options.txt", GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND}, // names are bytes, not folded
        {"./options.txt", GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND}, // and no folder rules
        {"options.txt", GENERIC_READ | 0x40000000u, OPEN_EXISTING, ERROR_INVALID_PARAMETER}, // write access
        {"options.txt", GENERIC_READ, 1, ERROR_INVALID_PARAMETER},                          // CREATE_NEW
        {nullptr, GENERIC_READ, OPEN_EXISTING, ERROR_INVALID_PARAMETER},
    };
    for (const auto& r : refusals) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(Open(r.Name, r.Access, r.Disposition), INVALID_HANDLE_VALUE) << (r.Name ? r.Name : "null");
        EXPECT_EQ(GetLastError(), r.Error) << (r.Name ? r.Name : "null");
    }
    EXPECT_EQ(OpenMemoryHandles(), 0);
}

TEST_F(MemoryFiles, ReadsFillTheRequestUntilTheDataEnd) {
    ASSERT_TRUE(ServeMemoryFile("f", Ten.data(), Ten.size()));
    HANDLE f = Open("f");
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(OpenMemoryHandles(), 1);
    const struct {
        DWORD Ask;
        const char* Bytes;
    } reads[] = {{0, ""}, {4, "0123"}, {100, "456789"}, {100, ""}, {1, ""}};
    for (const auto& r : reads) {
        const TReadResult got = Read(f, r.Ask);
        EXPECT_TRUE(got.Ok) << r.Ask;
        EXPECT_EQ(got.Bytes, r.Bytes) << r.Ask;
        EXPECT_EQ(got.Error, ERROR_SUCCESS) << r.Ask;
    }
    EXPECT_TRUE(CloseHandle(f));
    EXPECT_EQ(OpenMemoryHandles(), 0);
}

TEST_F(MemoryFiles, HandlesThatAreNotOpenAreInvalid) {
    ASSERT_TRUE(ServeMemoryFile("f", Ten.data(), Ten.size()));
    HANDLE closed = Open("f");
    ASSERT_TRUE(CloseHandle(closed));
    const HANDLE never = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(7));
    for (HANDLE h : {closed, never, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr)}) {
        const TReadResult got = Read(h, 4);
        EXPECT_FALSE(got.Ok);
        EXPECT_EQ(got.Bytes, "");
        EXPECT_EQ(got.Error, ERROR_INVALID_HANDLE);
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(CloseHandle(h));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

TEST_F(MemoryFiles, AnOpenHandleKeepsItsBytesAndEachHasItsOwnPosition) {
    ASSERT_TRUE(ServeMemoryFile("f", Ten.data(), Ten.size()));
    HANDLE a = Open("f");
    HANDLE b = Open("f");
    ASSERT_NE(a, b);
    const std::string other = "abc";
    ASSERT_TRUE(ServeMemoryFile("f", other.data(), other.size())); // served again: replaces for new opens
    EXPECT_EQ(Read(a, 3).Bytes, "012");
    ForgetMemoryFiles();
    EXPECT_EQ(Read(b, 5).Bytes, "01234");
    EXPECT_EQ(Read(a, 3).Bytes, "345");
    EXPECT_EQ(Open("f"), INVALID_HANDLE_VALUE) << "forgotten";
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(CloseHandle(b));
}

TEST_F(MemoryFiles, TablesRunOutLikeTheSystemDoes) {
    std::vector<HANDLE> open;
    ASSERT_TRUE(ServeMemoryFile("f", Ten.data(), Ten.size()));
    for (HANDLE h = Open("f"); h != INVALID_HANDLE_VALUE; h = Open("f")) open.push_back(h);
    EXPECT_EQ(open.size(), 16u);
    EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_OPEN_FILES);
    EXPECT_TRUE(CloseHandle(open.back()));
    open.pop_back();
    EXPECT_NE(open.emplace_back(Open("f")), INVALID_HANDLE_VALUE) << "a closed slot is used again";
    for (HANDLE h : open) EXPECT_TRUE(CloseHandle(h));

    for (int i = 1; i < 8; ++i) EXPECT_TRUE(ServeMemoryFile(std::to_string(i).c_str(), "", 0)) << i;
    EXPECT_FALSE(ServeMemoryFile("nine", "", 0));
    EXPECT_TRUE(ServeMemoryFile("f", "x", 1)) << "serving a served name again needs no new entry";
    EXPECT_FALSE(ServeMemoryFile(std::string(260, 'n').c_str(), "", 0)) << "longer than MAX_PATH";
}

// A staged failure comes after the data, with no bytes, as from a pipe.
TEST_F(MemoryFiles, StagedReadErrorsComeAfterTheData) {
    ASSERT_TRUE(ServeMemoryFile("f", Ten.data(), Ten.size(), ERROR_IO_DEVICE));
    HANDLE f = Open("f");
    TReadResult got = Read(f, 6);
    EXPECT_TRUE(got.Ok);
    EXPECT_EQ(got.Bytes, "012345");
    got = Read(f, 6);
    EXPECT_TRUE(got.Ok) << "a short read hands over what is left";
    EXPECT_EQ(got.Bytes, "6789");
    got = Read(f, 6);
    EXPECT_FALSE(got.Ok);
    EXPECT_EQ(got.Bytes, "");
    EXPECT_EQ(got.Error, ERROR_IO_DEVICE);
    EXPECT_TRUE(CloseHandle(f));
}

// What the options reader decides on a read that fails: a broken pipe ends
// the data (the values read so far stand, the rest are 0); any other code is
// the error number, its low 8 bits. The file is closed either way.
TEST_F(MemoryFiles, OptionsReaderOnFailingReads) {
    const std::string text = "640 480 0 10";
    const struct {
        DWORD Code;
        int Error;
    } cases[] = {{ERROR_BROKEN_PIPE, 0}, {ERROR_IO_DEVICE, 1117 & 0xFF}, {ERROR_ACCESS_DENIED, 5}, {512, 255}};
    for (const auto& c : cases) {
        ASSERT_TRUE(ServeMemoryFile("options.txt", text.data(), text.size(), c.Code));
        TOptionValues v{{-1, -1, -1, -1, -1}};
        EXPECT_EQ(LoadOptions("options.txt", v), c.Error) << c.Code;
        if (c.Error == 0) {
            EXPECT_EQ(std::vector<std::int32_t>(std::begin(v.Value), std::end(v.Value)),
                      (std::vector<std::int32_t>{640, 480, 0, 10, 0}));
        } else {
            EXPECT_EQ(v.Value[0], -1) << "written on success only";
        }
        EXPECT_EQ(OpenMemoryHandles(), 0) << c.Code;
    }
}

TEST(QuietBoxes, CountAndKeepTheLastTextOnly) {
    ResetQuietBoxes();
    EXPECT_EQ(QuietBoxCount(), 0);
    EXPECT_STREQ(LastQuietBoxText(), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxA(nullptr, "first", "BMP Unit", MB_OK), IDOK);
    EXPECT_EQ(MessageBoxA(nullptr, nullptr, nullptr, MB_OK), IDOK);
    const std::string name(400, 'n');
    EXPECT_EQ(MessageBoxA(nullptr, ("Error opening \"" + name).c_str(), "BMP Unit", MB_OK), IDOK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "boxes are swallowed";
    EXPECT_EQ(QuietBoxCount(), 3);
    EXPECT_EQ(std::string(LastQuietBoxText()), ("Error opening \"" + name).substr(0, 255));
    ResetQuietBoxes();
    EXPECT_EQ(QuietBoxCount(), 0);
    EXPECT_STREQ(LastQuietBoxText(), "");
}

} // namespace
