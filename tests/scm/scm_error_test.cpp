// The client's errors: every message, diagnostic text and cause, and that
// making the code-only variants allocates nothing.
#include "scm/scm_error.h"

#include "errors/chained_error.h"
#include "platform/fake/fake_platform.h"
#include "support/allocation_hooks.h"
#include "support/fake_platform_test.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace vek {
namespace {

struct TextRow {
    const char* name;
    ScmError (*make)();
    const char* message;
    const char* diagnostic;
    const char* cause;  // the cause's message, or nullptr for none
};

class ScmErrorTexts : public vek::testing::FakePlatformTest,
                      public ::testing::WithParamInterface<TextRow> {};

TEST_P(ScmErrorTexts, AreExact) {
    ScmError error = GetParam().make();
    EXPECT_EQ(error.message(), GetParam().message);
    EXPECT_EQ(error.diagnostic_text(), GetParam().diagnostic);
    if (GetParam().cause == nullptr) {
        EXPECT_EQ(error.cause(), nullptr);
    } else {
        ASSERT_NE(error.cause(), nullptr);
        EXPECT_EQ(error.cause()->message(), GetParam().cause);
        EXPECT_EQ(error.cause()->cause(), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Variants, ScmErrorTexts,
    ::testing::Values(
        TextRow{"LaunchArgumentsNotSupported",
                [] { return ScmError(ScmError::LaunchArgumentsNotSupported{}); },
                "kernel drivers do not support launch arguments", "LaunchArgumentsNotSupported",
                nullptr},
        TextRow{"ParseValue",
                [] {
                    return ScmError(ScmError::ParseValue{labels::service_status,
                                                         RawValueError::InvalidInteger{8}});
                },
                "invalid service status value",
                "ParseValue(\"service status\", InvalidInteger(8))",
                "invalid unsigned integer for the target type: 8"},
        TextRow{"ArgumentHasNulByte",
                [] { return ScmError(ScmError::ArgumentHasNulByte{labels::start_argument}); },
                "start argument contains a nul byte", "ArgumentHasNulByte(\"start argument\")",
                nullptr},
        TextRow{"ArgumentArrayElementHasNulByteFirst",
                [] {
                    return ScmError(
                        ScmError::ArgumentArrayElementHasNulByte{labels::launch_argument, 0});
                },
                "launch argument contains a nul byte in element at 0 index",
                "ArgumentArrayElementHasNulByte(\"launch argument\", 0)", nullptr},
        TextRow{"ArgumentArrayElementHasNulByteLargest",
                [] {
                    return ScmError(ScmError::ArgumentArrayElementHasNulByte{
                        labels::launch_argument, SIZE_MAX});
                },
                "launch argument contains a nul byte in element at 18446744073709551615 index",
                "ArgumentArrayElementHasNulByte(\"launch argument\", 18446744073709551615)",
                nullptr},
        TextRow{"Winapi", [] { return ScmError(ScmError::Winapi{OsError(5)}); },
                "IO error in winapi call",
                "Winapi(Os { code: 5, kind: PermissionDenied, message: \"Access is denied.\" })",
                "Access is denied. (os error 5)"}),
    [](const auto& row) { return std::string(row.param.name); });

struct LabelRow {
    std::string_view label;
    const char* message;
};

// Each label of the client, as ArgumentHasNulByte shows it.
TEST(ScmErrorLabels, AreShownAsTheyAre) {
    for (LabelRow row : {LabelRow{labels::service_name, "service name contains a nul byte"},
                         LabelRow{labels::display_name, "display name contains a nul byte"},
                         LabelRow{labels::account_name, "account name contains a nul byte"},
                         LabelRow{labels::account_password, "account password contains a nul byte"},
                         LabelRow{labels::executable_path, "executable path contains a nul byte"},
                         LabelRow{labels::launch_argument, "launch argument contains a nul byte"},
                         LabelRow{labels::dependency, "dependency contains a nul byte"},
                         LabelRow{labels::service_description,
                                  "service description contains a nul byte"},
                         LabelRow{labels::start_argument, "start argument contains a nul byte"},
                         LabelRow{labels::service_status, "service status contains a nul byte"}})
        EXPECT_EQ(ScmError(ScmError::ArgumentHasNulByte{row.label}).message(), row.message);
}

struct RawRow {
    const char* name;
    RawValueError error;
    const char* message;
    const char* diagnostic;
};

class RawValueErrorTexts : public ::testing::TestWithParam<RawRow> {};

TEST_P(RawValueErrorTexts, AreExact) {
    EXPECT_EQ(GetParam().error.message(), GetParam().message);
    EXPECT_EQ(GetParam().error.diagnostic_text(), GetParam().diagnostic);
    EXPECT_EQ(GetParam().error.cause(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, RawValueErrorTexts,
    ::testing::Values(
        RawRow{"InvalidIntegerZero", RawValueError::InvalidInteger{0},
               "invalid unsigned integer for the target type: 0", "InvalidInteger(0)"},
        RawRow{"InvalidIntegerLargest", RawValueError::InvalidInteger{4294967295u},
               "invalid unsigned integer for the target type: 4294967295",
               "InvalidInteger(4294967295)"},
        RawRow{"InvalidIntegerSignedNegative", RawValueError::InvalidIntegerSigned{-5},
               "invalid signed integer for the target type: -5", "InvalidIntegerSigned(-5)"},
        RawRow{"InvalidIntegerSignedSmallest", RawValueError::InvalidIntegerSigned{INT32_MIN},
               "invalid signed integer for the target type: -2147483648",
               "InvalidIntegerSigned(-2147483648)"},
        RawRow{"InvalidIntegerSignedPositive", RawValueError::InvalidIntegerSigned{7},
               "invalid signed integer for the target type: 7", "InvalidIntegerSigned(7)"},
        RawRow{"InvalidGuid", RawValueError::InvalidGuid{"{not-a-guid}"},
               "invalid GUID value for the target type: {not-a-guid}",
               "InvalidGuid(\"{not-a-guid}\")"},
        RawRow{"InvalidGuidWithQuote", RawValueError::InvalidGuid{"a\"b\\c"},
               "invalid GUID value for the target type: a\"b\\c",
               "InvalidGuid(\"a\\\"b\\\\c\")"}),
    [](const auto& row) { return std::string(row.param.name); });

// In a report, ParseValue is followed by its cause and ArgumentHasNulByte is
// not.
TEST(ScmErrorChain, ParseValueHasACauseAndArgumentHasNulByteHasNone) {
    ChainedError parse = ChainedError::from_error(
        ScmError(ScmError::ParseValue{labels::service_status, RawValueError::InvalidInteger{0}}));
    ASSERT_EQ(parse.chain().size(), 2u);
    EXPECT_EQ(parse.chain()[1]->message(), "invalid unsigned integer for the target type: 0");

    ChainedError nul =
        ChainedError::from_error(ScmError(ScmError::ArgumentHasNulByte{labels::service_name}));
    EXPECT_EQ(nul.chain().size(), 1u);
    EXPECT_EQ(nul.report_text().find("Caused by:"), std::string::npos);
}

TEST(ScmErrorLabels, AreReferredToNotCopied) {
    ScmError error = ScmError::ArgumentArrayElementHasNulByte{labels::launch_argument, 1};
    EXPECT_EQ(error.get_if<ScmError::ArgumentArrayElementHasNulByte>()->label.data(),
              labels::launch_argument.data());
}

TEST(ScmErrorAllocation, MakingCodeOnlyVariantsAllocatesNothing) {
    vek::testing::AllocationCounter counter;
    ScmError none = ScmError::LaunchArgumentsNotSupported{};
    ScmError nul = ScmError::ArgumentHasNulByte{labels::service_name};
    ScmError element = ScmError::ArgumentArrayElementHasNulByte{labels::launch_argument, 2};
    ScmError parse = ScmError::ParseValue{labels::service_status, RawValueError::InvalidInteger{0}};
    ScmError winapi = ScmError::Winapi{OsError(1060)};
    ScmError moved = std::move(winapi);
    EXPECT_EQ(counter.count(), 0u);
    EXPECT_NE(moved.get_if<ScmError::Winapi>(), nullptr);
}

}  // namespace
}  // namespace vek
