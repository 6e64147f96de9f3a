#include "installer/file_system.h"

#include "platform/fake/fake_files.h"
#include "support/fake_platform_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vek {
namespace {

using platform::Dword;
using namespace platform::fake;
using Kind = BufferReadStep::Kind;

std::string narrow(std::u16string_view text) {
    std::string out;
    for (char16_t unit : text) out += unit < 0x80 ? static_cast<char>(unit) : '?';
    return out;
}

// --- The growing-buffer rule ---

struct ReadCase {
    Dword size;
    Dword result;
    Dword last_error;
    BufferReadStep expected;
};

class JudgeBufferRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(JudgeBufferRead, DecidesTheNextStep) {
    const ReadCase& c = GetParam();
    BufferReadStep step = judge_buffer_read(c.size, c.result, c.last_error);
    EXPECT_EQ(step.kind, c.expected.kind);
    EXPECT_EQ(step.value, c.expected.value);
}

INSTANTIATE_TEST_SUITE_P(Cases, JudgeBufferRead, ::testing::Values(
    ReadCase{512, 0, 5, {Kind::failed, 5}},
    ReadCase{512, 0, 0, {Kind::done, 0}},
    ReadCase{512, 511, 0, {Kind::done, 511}},
    // A stale code beside a good result is not looked at.
    ReadCase{512, 17, 122, {Kind::done, 17}},
    ReadCase{512, 512, 122, {Kind::retry, 1024}},
    ReadCase{1024, 1024, 122, {Kind::retry, 2048}},
    // A cut with no code set is a cut all the same.
    ReadCase{2048, 2048, 0, {Kind::retry, 4096}},
    ReadCase{512, 700, 0, {Kind::retry, 700}},
    ReadCase{0x80000000, 0x80000000, 122, {Kind::retry, 0xFFFFFFFF}},
    ReadCase{0xC0000000, 0xC0000000, 122, {Kind::retry, 0xFFFFFFFF}},
    // The largest size cut as well: nothing larger can be offered.
    ReadCase{0xFFFFFFFF, 0xFFFFFFFF, 122, {Kind::failed, 122}},
    ReadCase{0xFFFFFFFF, 0xFFFFFFFF, 0, {Kind::failed, 122}},
    ReadCase{0xFFFFFFFF, 0xFFFFFFFE, 0, {Kind::done, 0xFFFFFFFE}}));

// --- own_executable_path against the fake ---

class OwnExecutablePath : public testing::FakePlatformTest {
protected:
    std::vector<std::uint64_t> sizes_offered() {
        std::vector<std::uint64_t> sizes;
        for (const Call& call : calls_of("GetModuleFileNameW")) {
            EXPECT_EQ(call.numbers[0], 0u) << "not the running executable";
            sizes.push_back(call.numbers[1]);
        }
        return sizes;
    }
};

TEST_F(OwnExecutablePath, FitsAtOnce) {
    module_file_name().name = u"C:\\Tools\\setup.exe";
    auto path = own_executable_path();
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, u"C:\\Tools\\setup.exe");
    EXPECT_EQ(sizes_offered(), (std::vector<std::uint64_t>{512}));
}

TEST_F(OwnExecutablePath, GrowsAfterCutResultsUntilTheNameFits) {
    struct Row {
        std::size_t length;
        std::vector<std::uint64_t> sizes;
    };
    for (const Row& row : {Row{511, {512}}, Row{512, {512, 1024}}, Row{700, {512, 1024}},
                           Row{1024, {512, 1024, 2048}}, Row{1500, {512, 1024, 2048}},
                           Row{5000, {512, 1024, 2048, 4096, 8192}}}) {
        SCOPED_TRACE(row.length);
        reset();
        std::u16string name = u"C:\\" + std::u16string(row.length - 3, u'd');
        name.back() = u'e';
        module_file_name().name = name;
        auto path = own_executable_path();
        ASSERT_TRUE(path);
        EXPECT_EQ(*path, name);
        EXPECT_EQ(sizes_offered(), row.sizes);
    }
}

TEST_F(OwnExecutablePath, ZeroWithALastErrorFailsWithThatCode) {
    fail_next("GetModuleFileNameW", 5);
    auto path = own_executable_path();
    ASSERT_FALSE(path);
    EXPECT_EQ(path.error().code(), 5);
    EXPECT_EQ(sizes_offered().size(), 1u);
}

TEST_F(OwnExecutablePath, ZeroWithoutALastErrorIsAnEmptyPath) {
    module_file_name().name = u"";
    // A code left from before must not count: it is cleared before the call.
    platform::SetLastError(87);
    auto path = own_executable_path();
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, u"");
}

TEST_F(OwnExecutablePath, KeepsUnpairedSurrogates) {
    module_file_name().name = u"C:\\\xD800\\a\xDC00.exe";
    auto path = own_executable_path();
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, u"C:\\\xD800\\a\xDC00.exe");
}

// --- The text handed to the platform ---

struct FormCase {
    std::u16string_view path;
    std::u16string_view expected;
};

void PrintTo(const FormCase& row, std::ostream* out) { *out << narrow(row.path); }

class PlatformPathAsIs : public testing::FakePlatformTest,
                         public ::testing::WithParamInterface<std::u16string_view> {};

TEST_P(PlatformPathAsIs, IsHandedOverUnchanged) {
    auto formed = platform_path(GetParam());
    ASSERT_TRUE(formed);
    EXPECT_EQ(*formed, GetParam());
    EXPECT_TRUE(calls_of("GetFullPathNameW").empty());
}

INSTANTIATE_TEST_SUITE_P(Paths, PlatformPathAsIs, ::testing::Values(
    u"C:\\Tools\\vek-system-service.exe", u"C:/Tools/x", u"C:", u"C:\\",
    u"\\\\server\\share\\x", u"//server/share/x", u"\\/x", u"\\\\.\\pipe\\x",
    u"\\\\?\\C:\\Tools\\x", u"\\??\\C:\\Tools\\x", u"\\\\?\\C:\\a\\..\\.\\x",
    // The drive letter may be any one character but a separator.
    u"1:\\x", u"\xD800:\\x", u"\U0001F600:\\x", u"\U0001F600:"));

class PlatformPathFormed : public testing::FakePlatformTest,
                           public ::testing::WithParamInterface<FormCase> {};

TEST_P(PlatformPathFormed, IsMadeAbsoluteAndVerbatim) {
    set_current_directory(u"C:\\Work");
    auto formed = platform_path(GetParam().path);
    ASSERT_TRUE(formed);
    EXPECT_EQ(narrow(*formed), narrow(GetParam().expected));
    auto full_path_calls = calls_of("GetFullPathNameW");
    ASSERT_FALSE(full_path_calls.empty());
    EXPECT_EQ(full_path_calls[0].texts[0], std::u16string(GetParam().path));
    EXPECT_EQ(full_path_calls[0].numbers, (std::vector<std::uint64_t>{512, 0}));
}

INSTANTIATE_TEST_SUITE_P(Paths, PlatformPathFormed, ::testing::Values(
    FormCase{u"x\\vek.exe", u"\\\\?\\C:\\Work\\x\\vek.exe"},
    FormCase{u"..\\vek.exe", u"\\\\?\\C:\\vek.exe"},
    FormCase{u"\\Tools\\vek.exe", u"\\\\?\\C:\\Tools\\vek.exe"},
    FormCase{u"C:vek.exe", u"\\\\?\\C:\\Work\\vek.exe"},
    FormCase{u"D:vek.exe", u"\\\\?\\D:\\vek.exe"}));

class FormingPlatformPath : public testing::FakePlatformTest {};

TEST_F(FormingPlatformPath, GivesEachKindOfAbsoluteFormItsVerbatimPrefix) {
    const std::u16string long_part(300, u'l');
    struct Row {
        std::u16string path;
        std::u16string full;
        std::u16string expected;
    };
    for (const Row& row : {
             Row{u"C:\\" + long_part, u"C:\\" + long_part, u"\\\\?\\C:\\" + long_part},
             Row{u"\\\\server\\share\\" + long_part, u"\\\\server\\share\\" + long_part,
                 u"\\\\?\\UNC\\server\\share\\" + long_part},
             Row{u"\\\\.\\pipe\\" + long_part, u"\\\\.\\pipe\\" + long_part,
                 u"\\\\?\\pipe\\" + long_part},
             Row{u"x", u"\\\\?\\C:\\x", u"\\\\?\\C:\\x"},
             Row{u"y", u"\\??\\C:\\y", u"\\??\\C:\\y"},
             // A form the rule does not know is used as it is.
             Row{u"z", u"odd", u"odd"},
         }) {
        SCOPED_TRACE(narrow(row.path));
        set_full_path(row.path, row.full);
        auto formed = platform_path(row.path);
        ASSERT_TRUE(formed);
        EXPECT_EQ(narrow(*formed), narrow(row.expected));
    }
}

TEST_F(FormingPlatformPath, GrowsTheBufferForALongAbsoluteForm) {
    std::u16string full = u"C:\\" + std::u16string(1000, u'f');
    set_full_path(u"rel", full);
    auto formed = platform_path(u"rel");
    ASSERT_TRUE(formed);
    EXPECT_EQ(*formed, u"\\\\?\\" + full);
    auto sizes = calls_of("GetFullPathNameW");
    ASSERT_EQ(sizes.size(), 2u);
    EXPECT_EQ(sizes[0].numbers[0], 512u);
    EXPECT_EQ(sizes[1].numbers[0], 1004u);
}

TEST_F(FormingPlatformPath, TakesTheLongFormFrom248UnitsWithTheNul) {
    // 246 units and a NUL: short; 247 units and a NUL: long.
    std::u16string short_path = u"C:\\" + std::u16string(243, u'a');
    std::u16string long_path = u"C:\\" + std::u16string(244, u'a');
    ASSERT_EQ(short_path.size() + 1, 247u);
    ASSERT_EQ(long_path.size() + 1, 248u);
    EXPECT_EQ(platform_path(short_path), short_path);
    EXPECT_TRUE(calls_of("GetFullPathNameW").empty());
    EXPECT_EQ(platform_path(long_path), u"\\\\?\\" + long_path);
    EXPECT_EQ(calls_of("GetFullPathNameW").size(), 1u);
}

TEST_F(FormingPlatformPath, IsNoneWhenGetFullPathNameWFails) {
    fail_next("GetFullPathNameW", 3);
    EXPECT_EQ(platform_path(u"relative\\x"), std::nullopt);
}

TEST_F(FormingPlatformPath, IsNoneForAPathHoldingANul) {
    EXPECT_EQ(platform_path(std::u16string_view(u"C:\\a\0b", 6)), std::nullopt);
    EXPECT_TRUE(calls().empty());
}

// --- path_exists against the fake ---

constexpr std::u16string_view service_path = u"C:\\Tools\\vek-system-service.exe";
constexpr std::uint64_t backup_semantics = 0x2000000;
constexpr std::uint64_t not_following = 0x2000000 | 0x200000;
constexpr Dword reparse_point = 0x400;

class PathExists : public testing::FakePlatformTest {
protected:
    void expect_opens(std::u16string_view path, std::vector<std::uint64_t> flags) {
        auto opens = calls_of("CreateFileW");
        ASSERT_EQ(opens.size(), flags.size());
        for (std::size_t i = 0; i < opens.size(); ++i) {
            EXPECT_EQ(opens[i].texts[0], std::u16string(path));
            // Access 0, all three sharing modes, no security attributes,
            // OPEN_EXISTING, the flags, no template.
            EXPECT_EQ(opens[i].numbers,
                      (std::vector<std::uint64_t>{0, 7, 0, 3, flags[i], 0}));
        }
    }
};

TEST_F(PathExists, FindsAFile) {
    add_entry(std::u16string(service_path), FileEntry{});
    EXPECT_TRUE(path_exists(service_path));
    expect_opens(service_path, {backup_semantics});
    EXPECT_EQ(call_names(), (std::vector<std::string>{"CreateFileW", "GetFileInformationByHandle",
                                                      "CloseHandle"}));
}

TEST_F(PathExists, FindsADirectory) {
    add_entry(std::u16string(service_path), FileEntry{.attributes = 0x10});
    EXPECT_TRUE(path_exists(service_path));
}

TEST_F(PathExists, ReadsTheTagOfAReparsePoint) {
    add_entry(std::u16string(service_path),
              FileEntry{.attributes = reparse_point, .reparse_tag = io_reparse_tag_dedup});
    EXPECT_TRUE(path_exists(service_path));
    EXPECT_EQ(call_names(),
              (std::vector<std::string>{"CreateFileW", "GetFileInformationByHandle",
                                        "GetFileInformationByHandleEx", "CloseHandle"}));
    auto tag_read = calls_of("GetFileInformationByHandleEx");
    EXPECT_EQ(tag_read[0].numbers[1], 9u);
    EXPECT_EQ(tag_read[0].numbers[2], 8u);
}

TEST_F(PathExists, SaysNoWhenNothingIsThere) {
    EXPECT_FALSE(path_exists(service_path));
    EXPECT_EQ(call_names(), (std::vector<std::string>{"CreateFileW"}));
}

TEST_F(PathExists, SaysNoOnAnyOtherOpenFailure) {
    add_entry(std::u16string(service_path), FileEntry{.open_failure = 3});
    EXPECT_FALSE(path_exists(service_path));
    EXPECT_EQ(call_names(), (std::vector<std::string>{"CreateFileW"}));
}

struct LookupCase {
    const char* name;
    Dword open_code;
    FileEntry entry;
    bool exists;
    std::vector<std::string> calls;
};

void PrintTo(const LookupCase& row, std::ostream* out) { *out << row.name; }

class PathExistsLookup : public PathExists, public ::testing::WithParamInterface<LookupCase> {};

// An open refused for access or sharing falls back to the directory listing.
TEST_P(PathExistsLookup, AsksTheDirectory) {
    FileEntry entry = GetParam().entry;
    entry.open_failure = GetParam().open_code;
    add_entry(std::u16string(service_path), entry);
    EXPECT_EQ(path_exists(service_path), GetParam().exists);
    EXPECT_EQ(call_names(), GetParam().calls);
    for (const Call& lookup : calls_of("FindFirstFileW"))
        EXPECT_EQ(lookup.texts[0], std::u16string(service_path));
}

const std::vector<std::string> listed = {"CreateFileW", "FindFirstFileW", "FindClose"};
const std::vector<std::string> not_listed = {"CreateFileW", "FindFirstFileW"};

INSTANTIATE_TEST_SUITE_P(Cases, PathExistsLookup, ::testing::Values(
    LookupCase{"denied_then_listed", 5, FileEntry{}, true, listed},
    LookupCase{"shared_then_listed", 32, FileEntry{}, true, listed},
    LookupCase{"denied_and_not_listed", 5, FileEntry{.listed = false}, false, not_listed},
    LookupCase{"shared_and_not_listed", 32, FileEntry{.listed = false}, false, not_listed},
    LookupCase{"denied_and_a_link", 5,
               FileEntry{.attributes = reparse_point, .reparse_tag = io_reparse_tag_symlink},
               false, listed},
    LookupCase{"denied_and_a_reparse_point_that_is_no_link", 5,
               FileEntry{.attributes = reparse_point, .reparse_tag = io_reparse_tag_dedup},
               true, listed},
    // The tag bit counts only on a reparse point.
    LookupCase{"denied_and_a_plain_file", 5, FileEntry{.reparse_tag = io_reparse_tag_symlink},
               true, listed}));

TEST_F(PathExists, AfterCantAccessLooksAtTheEntryItself) {
    add_entry(std::u16string(service_path),
              FileEntry{.attributes = reparse_point,
                        .reparse_tag = io_reparse_tag_dedup,
                        .open_failure = 1920});
    EXPECT_TRUE(path_exists(service_path));
    expect_opens(service_path, {backup_semantics, not_following});
    EXPECT_EQ(call_names(),
              (std::vector<std::string>{"CreateFileW", "CreateFileW", "GetFileInformationByHandle",
                                        "GetFileInformationByHandleEx", "CloseHandle"}));
}

TEST_F(PathExists, AfterCantAccessALinkIsNo) {
    add_entry(std::u16string(service_path),
              FileEntry{.attributes = reparse_point,
                        .reparse_tag = io_reparse_tag_symlink,
                        .open_failure = 1920});
    EXPECT_FALSE(path_exists(service_path));
    expect_opens(service_path, {backup_semantics, not_following});
}

TEST_F(PathExists, AfterCantAccessTheRetryMayAskTheDirectory) {
    add_entry(std::u16string(service_path),
              FileEntry{.open_failure = 1920, .open_failure_not_following = 5});
    EXPECT_TRUE(path_exists(service_path));
    EXPECT_EQ(call_names(), (std::vector<std::string>{"CreateFileW", "CreateFileW",
                                                      "FindFirstFileW", "FindClose"}));
}

TEST_F(PathExists, RetriesOnlyOnce) {
    add_entry(std::u16string(service_path),
              FileEntry{.open_failure = 1920, .open_failure_not_following = 1920});
    EXPECT_FALSE(path_exists(service_path));
    expect_opens(service_path, {backup_semantics, not_following});
}

TEST_F(PathExists, SaysNoWhenTheInformationReadFails) {
    add_entry(std::u16string(service_path), FileEntry{.information_failure = 5});
    EXPECT_FALSE(path_exists(service_path));
    EXPECT_EQ(call_names(), (std::vector<std::string>{"CreateFileW", "GetFileInformationByHandle",
                                                      "CloseHandle"}));
}

TEST_F(PathExists, SaysNoWhenTheTagReadFails) {
    add_entry(std::u16string(service_path),
              FileEntry{.attributes = reparse_point,
                        .reparse_tag = io_reparse_tag_dedup,
                        .tag_information_failure = 87});
    EXPECT_FALSE(path_exists(service_path));
    EXPECT_EQ(call_names(),
              (std::vector<std::string>{"CreateFileW", "GetFileInformationByHandle",
                                        "GetFileInformationByHandleEx", "CloseHandle"}));
}

TEST_F(PathExists, AReadFailingWithCantAccessAlsoLooksAtTheEntryItself) {
    add_entry(std::u16string(service_path), FileEntry{});
    fail_next("GetFileInformationByHandle", 1920);
    EXPECT_TRUE(path_exists(service_path));
    expect_opens(service_path, {backup_semantics, not_following});
}

TEST_F(PathExists, SaysNoWhenGetFullPathNameWFails) {
    fail_next("GetFullPathNameW", 5);
    EXPECT_FALSE(path_exists(u"relative\\vek-system-service.exe"));
    EXPECT_EQ(call_names(), (std::vector<std::string>{"GetFullPathNameW"}));
}

TEST_F(PathExists, SaysNoForAPathHoldingANul) {
    add_entry(u"C:\\a", FileEntry{});
    EXPECT_FALSE(path_exists(std::u16string_view(u"C:\\a\0b", 6)));
    EXPECT_TRUE(calls().empty());
}

TEST_F(PathExists, OpensAPathOf247UnitsWithItsNulAsItIs) {
    std::u16string path = u"C:\\" + std::u16string(243, u'a');
    ASSERT_EQ(path.size() + 1, 247u);
    add_entry(path, FileEntry{});
    EXPECT_TRUE(path_exists(path));
    expect_opens(path, {backup_semantics});
}

TEST_F(PathExists, OpensAPathOf248UnitsWithItsNulInItsVerbatimForm) {
    std::u16string path = u"C:\\" + std::u16string(244, u'a');
    ASSERT_EQ(path.size() + 1, 248u);
    add_entry(u"\\\\?\\" + path, FileEntry{});
    EXPECT_TRUE(path_exists(path));
    expect_opens(u"\\\\?\\" + path, {backup_semantics});
}

TEST_F(PathExists, HandsUnpairedSurrogatesOverUnchanged) {
    std::u16string path = u"C:\\\xD800\\vek-system-service.exe";
    add_entry(path, FileEntry{});
    EXPECT_TRUE(path_exists(path));
    expect_opens(path, {backup_semantics});
}

}  // namespace
}  // namespace vek
